// The bundled example rulebase against the bundled corpus: every line of both
// real-log files and of the structured fixtures normalizes with the walker,
// and a handful of lines give exactly the expected fields.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "normalizer/context.h"
#include "normalizer/walker.h"

namespace {

const std::string kExamples = std::string(VELDRA_SOURCE_DIR) + "/examples/";

std::string readFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  EXPECT_TRUE(f.good()) << path;
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Sample lines as the check command reads them: split at line feeds, one
// trailing carriage return dropped, empty lines skipped.
std::vector<std::string> sampleLines(const std::string &text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

using Fields = std::map<std::string, std::string>;

// Flattens nested objects to dotted paths; every other value is kept as its
// compact JSON text.
void flatten(struct fjson_object *obj, const std::string &prefix, Fields *out) {
  struct fjson_object_iterator it = fjson_object_iter_begin(obj);
  struct fjson_object_iterator end = fjson_object_iter_end(obj);
  for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it)) {
    const std::string key = prefix + fjson_object_iter_peek_name(&it);
    struct fjson_object *v = fjson_object_iter_peek_value(&it);
    if (v != nullptr && fjson_object_is_type(v, fjson_type_object))
      flatten(v, key + ".", out);
    else
      (*out)[key] = v ? fjson_object_to_json_string_ext(v, FJSON_TO_STRING_PLAIN) : "null";
  }
}

struct Sink {
  std::vector<std::string> msgs;
  static void cb(void *cookie, const char *msg, size_t len) {
    static_cast<Sink *>(cookie)->msgs.emplace_back(msg, len);
  }
};

class ExampleRulebase : public ::testing::Test {
protected:
  static ln_ctx ctx;
  static Sink err;
  static void SetUpTestSuite() {
    ctx = ln_initCtx();
    ASSERT_NE(ctx, nullptr);
    ln_setErrMsgCB(ctx, Sink::cb, &err);
    ASSERT_EQ(ln_loadSamples(ctx, (kExamples + "linux-syslog.rb").c_str()), 0);
  }
  static void TearDownTestSuite() {
    if (ctx) ln_exitCtx(ctx);
    ctx = nullptr;
  }
  static int normalize(const std::string &line, Fields *out) {
    std::vector<char> buf(line.begin(), line.end()); // exact length, no terminator
    struct fjson_object *json = nullptr;
    const int r = ln_normalize(ctx, buf.data(), buf.size(), &json);
    out->clear();
    if (json) {
      flatten(json, "", out);
      fjson_object_put(json);
    }
    return r;
  }
};
ln_ctx ExampleRulebase::ctx = nullptr;
Sink ExampleRulebase::err;

TEST_F(ExampleRulebase, LoadsWithoutMessages) {
  ASSERT_NE(ctx, nullptr);
  EXPECT_TRUE(err.msgs.empty()) << err.msgs.front();
}

// The corpus copies are kept byte for byte: CR LF line ends and no line end
// after the last line.
TEST_F(ExampleRulebase, CorpusCopiesAreVerbatim) {
  for (const char *name : {"corpus/OpenSSH_2k.log", "corpus/Linux_2k.log"}) {
    const std::string text = readFile(kExamples + name);
    ASSERT_FALSE(text.empty()) << name;
    EXPECT_NE(text.back(), '\n') << name;
    size_t lf = 0, crlf = 0;
    for (size_t i = 0; i < text.size(); ++i)
      if (text[i] == '\n') {
        ++lf;
        if (i > 0 && text[i - 1] == '\r') ++crlf;
      }
    EXPECT_EQ(lf, 1999u) << name;
    EXPECT_EQ(crlf, lf) << name;
  }
}

TEST_F(ExampleRulebase, EveryCorpusAndFixtureLineIsParsed) {
  ASSERT_NE(ctx, nullptr);
  std::vector<std::string> all;
  for (const char *name : {"corpus/OpenSSH_2k.log", "corpus/Linux_2k.log", "structured.log"}) {
    const std::vector<std::string> lines = sampleLines(readFile(kExamples + name));
    EXPECT_GE(lines.size(), 10u) << name;
    size_t unparsed = 0;
    for (const std::string &line : lines) {
      Fields f;
      if (normalize(line, &f) != 0) {
        if (++unparsed <= 10) ADD_FAILURE() << name << ": unparsed: " << line;
      } else {
        EXPECT_EQ(f.count("unparsed-data"), 0u) << line;
        // Each line is told apart by its program (or its payload's origin).
        EXPECT_TRUE(f.count("process.name") || f.count("process.pid") ||
                    f.count("cef.record.DeviceVendor") || f.count("asa.connection_id"))
            << line;
      }
    }
    EXPECT_EQ(unparsed, 0u) << name;
    all.insert(all.end(), lines.begin(), lines.end());
  }
  // The demo's sample set is exactly these lines.
  EXPECT_EQ(sampleLines(readFile(kExamples + "samples.log")), all);
}

struct Expected {
  std::string line;
  Fields fields;
};

TEST_F(ExampleRulebase, LinesGiveExactlyTheExpectedFields) {
  ASSERT_NE(ctx, nullptr);
  const std::vector<Expected> cases = {
      {"Dec 10 07:13:43 LabSZ sshd[24227]: Failed password for root from 5.36.59.76 port 42393 ssh2",
       {{"@timestamp", R"("Dec 10 07:13:43")"},
        {"host.hostname", R"("LabSZ")"},
        {"process.name", R"("sshd")"},
        {"process.pid", R"("24227")"},
        {"ssh.method", R"("password")"},
        {"user.name", R"("root")"},
        {"source.ip", R"("5.36.59.76")"},
        {"source.port", R"("42393")"},
        {"network.protocol", R"("ssh2")"},
        {"event.tags", R"(["auth","fail"])"},
        {"event.category", R"("authentication")"},
        {"event.outcome", R"("failure")"}}},
      // A user name that begins with a blank.
      {"Dec 10 08:24:32 LabSZ sshd[24361]: Invalid user  0101 from 5.188.10.180",
       {{"@timestamp", R"("Dec 10 08:24:32")"},
        {"host.hostname", R"("LabSZ")"},
        {"process.name", R"("sshd")"},
        {"process.pid", R"("24361")"},
        {"user.name", R"(" 0101")"},
        {"source.ip", R"("5.188.10.180")"},
        {"event.tags", R"(["auth","fail"])"},
        {"event.category", R"("authentication")"},
        {"event.outcome", R"("failure")"}}},
      // PAM's key=value tail, renamed through the rewrite table.
      {"Dec 10 07:13:31 LabSZ sshd[24227]: pam_unix(sshd:auth): authentication failure; logname= uid=0 "
       "euid=0 tty=ssh ruser= rhost=5.36.59.76.dynamic-dsl-ip.omantel.net.om  user=root",
       {{"@timestamp", R"("Dec 10 07:13:31")"},
        {"host.hostname", R"("LabSZ")"},
        {"process.name", R"("sshd")"},
        {"process.pid", R"("24227")"},
        {"service.name", R"("sshd")"},
        {"user.id", R"("0")"},
        {"user.effective.id", R"("0")"},
        {"pam.tty", R"("ssh")"},
        {"source.user.name", R"("")"},
        {"source.address", R"("5.36.59.76.dynamic-dsl-ip.omantel.net.om")"},
        {"user.name", R"("root")"},
        {"event.tags", R"(["auth","fail","pamkv"])"},
        {"event.category", R"("authentication")"},
        {"event.outcome", R"("failure")"}}},
      {"Jul  9 22:53:19 combo ftpd[24085]: connection from 206.196.21.129 (host129.206.196.21.maximumasp.com) "
       "at Sat Jul  9 22:53:19 2005 ",
       {{"@timestamp", R"("Jul  9 22:53:19")"},
        {"host.hostname", R"("combo")"},
        {"process.name", R"("ftpd")"},
        {"process.pid", R"("24085")"},
        {"source.ip", R"("206.196.21.129")"},
        {"source.domain", R"("host129.206.196.21.maximumasp.com")"},
        {"event.start", R"("Jul  9 22:53:19")"},
        {"event.tags", R"(["net"])"},
        {"event.category", R"("network")"}}},
      {"Jun 15 04:06:18 combo su(pam_unix)[21416]: session opened for user cyrus by (uid=0)",
       {{"@timestamp", R"("Jun 15 04:06:18")"},
        {"host.hostname", R"("combo")"},
        {"process.name", R"("su")"},
        {"pam.module", R"("pam_unix")"},
        {"process.pid", R"("21416")"},
        {"user.name", R"("cyrus")"},
        {"process.user.id", R"("0")"},
        {"event.tags", R"(["session","ok"])"},
        {"event.category", R"("session")"},
        {"event.outcome", R"("success")"}}},
      {"Dec 10 11:00:00 fw01 fwlog: devname=fw01 srcip=10.1.1.5 srcport=51234 dstip=93.184.216.34 "
       "dstport=443 proto=6 action=ACCEPT policyid=12 msg=\"allowed by policy 12\"",
       {{"@timestamp", R"("Dec 10 11:00:00")"},
        {"host.hostname", R"("fw01")"},
        {"process.name", R"("fwlog")"},
        {"observer.name", R"("fw01")"},
        {"source.ip", R"("10.1.1.5")"},
        {"source.port", R"("51234")"},
        {"destination.ip", R"("93.184.216.34")"},
        {"destination.port", R"("443")"},
        {"network.iana_number", R"("6")"},
        {"event.action", R"("accept")"},
        {"rule.id", R"("12")"},
        {"message", R"("allowed by policy 12")"},
        {"event.tags", R"(["fwkv","net"])"},
        {"event.category", R"("network")"}}},
      {R"(Dec 10 11:00:03 sensor01 CEF:0|Acme|Threat Sensor|2.1|200|Login\|failure|5|suser=bob src=192.0.2.77 act=Alert msg=path C:\\temp\\x)",
       {{"@timestamp", R"("Dec 10 11:00:03")"},
        {"host.hostname", R"("sensor01")"},
        {"cef.record.DeviceVendor", R"("Acme")"},
        {"cef.record.DeviceProduct", R"("Threat Sensor")"},
        {"cef.record.DeviceVersion", R"("2.1")"},
        {"cef.record.SignatureID", R"("200")"},
        {"cef.record.Name", R"("Login|failure")"},
        {"cef.record.Severity", R"("5")"},
        {"cef.record.Extensions.source.user.name", R"("bob")"},
        {"cef.record.Extensions.source.ip", R"("192.0.2.77")"},
        {"cef.record.Extensions.event.action", R"("alert")"},
        {"cef.record.Extensions.message", R"("path C:\\temp\\x")"},
        {"event.tags", R"(["ids","cefkv"])"},
        {"event.category", R"("intrusion_detection")"}}},
      {R"(Dec 10 11:00:07 app01 billing[4242]: {"user":{"name":"alice"},"client":{"ip":"10.2.3.4","port":51000},"action":"invoice-view","http":{"status":200},"debug":"dropped"})",
       {{"@timestamp", R"("Dec 10 11:00:07")"},
        {"host.hostname", R"("app01")"},
        {"process.name", R"("billing")"},
        {"process.pid", R"("4242")"},
        {"user.name", R"("alice")"},
        {"source.ip", R"("10.2.3.4")"},
        {"source.port", "51000"},
        {"event.action", R"("invoice-view")"},
        {"http.response.status_code", "200"},
        {"event.tags", R"(["web","appjson"])"},
        {"event.category", R"("web")"}}},
      {"Dec 10 11:00:10 asa01 %ASA-6-302013: Built outbound TCP connection 4513 for outside:198.51.100.9/80 "
       "(198.51.100.9/80) to inside:10.1.1.5/33000 (203.0.113.1/33000) (jdoe)",
       {{"@timestamp", R"("Dec 10 11:00:10")"},
        {"host.hostname", R"("asa01")"},
        {"asa.severity", R"("6")"},
        {"event.code", R"("302013")"},
        {"network.direction", R"("outbound")"},
        {"network.transport", R"("TCP")"},
        {"asa.connection_id", R"("4513")"},
        {"asa.src.interface", R"("outside")"},
        {"asa.src.ip", R"("198.51.100.9")"},
        {"asa.src.port", R"("80")"},
        {"asa.src.ip2", R"("198.51.100.9")"},
        {"asa.src.port2", R"("80")"},
        {"asa.dst.interface", R"("inside")"},
        {"asa.dst.ip", R"("10.1.1.5")"},
        {"asa.dst.port", R"("33000")"},
        {"asa.dst.ip2", R"("203.0.113.1")"},
        {"asa.dst.port2", R"("33000")"},
        {"asa.dst.user", R"("jdoe")"},
        {"event.tags", R"(["net"])"},
        {"event.category", R"("network")"}}},
      {"Dec 10 11:00:12 dns01 resolver[53]: answers 192.0.2.1, 192.0.2.2, 192.0.2.3",
       {{"@timestamp", R"("Dec 10 11:00:12")"},
        {"host.hostname", R"("dns01")"},
        {"process.name", R"("resolver")"},
        {"process.pid", R"("53")"},
        {"dns.resolved_ip", R"(["192.0.2.1","192.0.2.2","192.0.2.3"])"},
        {"event.tags", R"(["net"])"},
        {"event.category", R"("network")"}}},
      {"Jul 27 14:41:57 combo kernel:  BIOS-e820: 0000000000000000 - 00000000000a0000 (usable)",
       {{"@timestamp", R"("Jul 27 14:41:57")"},
        {"host.hostname", R"("combo")"},
        {"process.name", R"("kernel")"},
        {"message", R"x(" BIOS-e820: 0000000000000000 - 00000000000a0000 (usable)")x"},
        {"event.tags", R"(["host"])"},
        {"event.category", R"("host")"}}},
  };
  for (const Expected &c : cases) {
    Fields f;
    EXPECT_EQ(normalize(c.line, &f), 0) << c.line;
    EXPECT_EQ(f, c.fields) << c.line;
  }
}

} // namespace
