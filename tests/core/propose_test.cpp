// Rule proposal: spans and their types, naming, clusters, the proposal JSON,
// and that each proposed rule matches its cluster's example line on both
// engines with the names the proposal lists.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/propose.h"
#include "core/veldra.h"
#include "../cli/run_veldra.h"

namespace {

// A parsed proposal, freed on scope exit.
struct Proposal {
  std::string text;
  fjson_object *root = nullptr;
  explicit Proposal(const std::string &samples, const char *overlay = nullptr,
                    const char *parser = nullptr) {
    char *p = vdr_spec_propose(samples.c_str(), overlay, parser);
    EXPECT_NE(p, nullptr);
    if (!p) return;
    text = p;
    vdr_free(p);
    root = fjson_tokener_parse(text.c_str());
    EXPECT_NE(root, nullptr) << text;
  }
  ~Proposal() {
    if (root) fjson_object_put(root);
  }
  fjson_object *get(fjson_object *o, const char *k) const {
    fjson_object *v = nullptr;
    return o && fjson_object_object_get_ex(o, k, &v) ? v : nullptr;
  }
  fjson_object *clusters() const { return get(root, "clusters"); }
  size_t n_clusters() const { return clusters() ? static_cast<size_t>(fjson_object_array_length(clusters())) : 0; }
  fjson_object *cluster(size_t i) const { return fjson_object_array_get_idx(clusters(), i); }
  std::string str(fjson_object *o, const char *k) const {
    fjson_object *v = get(o, k);
    return v ? fjson_object_get_string(v) : "";
  }
  std::string rulebase() const { return str(root, "rulebase"); }
  // The field segments of cluster i as "type:text=field" words.
  std::string fields(size_t i) const {
    std::string s;
    fjson_object *segs = get(cluster(i), "segments");
    for (size_t k = 0; k < static_cast<size_t>(fjson_object_array_length(segs)); ++k) {
      fjson_object *seg = fjson_object_array_get_idx(segs, k);
      if (str(seg, "kind") != "field") continue;
      if (!s.empty()) s += ' ';
      s += str(seg, "type") + ":" + str(seg, "text") + "=" + str(seg, "field");
    }
    return s;
  }
};

TEST(Propose, EmptyInput) {
  for (const char *in : {"", "\n\r\n\n"}) {
    char *p = vdr_spec_propose(in, nullptr, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "{\"ok\":true,\"namer\":\"alias-first\",\"clusters\":[],\"lines\":[],"
                    "\"rulebase\":\"\",\"refused\":[],\"shadowed\":[]}");
    vdr_free(p);
  }
  char *p = vdr_spec_propose(nullptr, nullptr, nullptr);
  ASSERT_NE(p, nullptr);
  vdr_free(p);
}

TEST(Propose, SpansTakeWhatTheirParsersConsume) {
  struct Case {
    const char *line, *fields;
  } cases[] = {
      {"10:20:30 2001:db8::1", "time-24hr:10:20:30=message ipv6:2001:db8::1=source.ip"},
      {"aa-bb-cc-dd-ee-ff aa:bb:cc:dd:ee:ff",
       "mac48:aa-bb-cc-dd-ee-ff=source.mac mac48:aa:bb:cc:dd:ee:ff=destination.mac"},
      {"2024-01-02T03:04:05.123+01:00 x", "date-rfc5424:2024-01-02T03:04:05.123+01:00=@timestamp "
                                          "word:x=user.name"},
      {"2024-01-02T03:04:05Z 2024-01-02 2024-13-02",
       "date-rfc5424:2024-01-02T03:04:05Z=@timestamp date-iso:2024-01-02=event.created "
       "number:2024=network.bytes word:-13-02=user.name"},
      {"a,b c", "word:a,b=host.name word:c=message"},
      {"Dec 10 2020 06:55:46: x", "date-rfc3164:Dec 10 2020 06:55:46:=@timestamp word:x=user.name"},
      {"Jan 32 06:55:46 z", "word:Jan=host.name number:32=network.bytes time-24hr:06:55:46=message "
                            "word:z=event.action"},
      {"\"open quote here", "word:\"open=host.name word:quote=event.action word:here=message"},
      {"12,34 1.5", "number:12=network.bytes number:34=source.bytes word:1.5=user.name"},
      {"<13>x", "number:13=log.syslog.priority word:x=user.name"},
      {"k=v n=7 ip=10.0.0.1 q=\"a b\"", "word:v=user.name number:7=network.bytes "
                                         "ipv4:10.0.0.1=source.ip quoted-string:\"a b\"=observer.name"},
  };
  for (const Case &c : cases) {
    Proposal p(std::string(c.line) + "\n");
    ASSERT_EQ(p.n_clusters(), 1u) << c.line;
    EXPECT_EQ(p.fields(0), c.fields) << c.line;
  }
}

TEST(Propose, NamingScoresAndClusters) {
  Proposal p("n=1 w=abc\nm=22 x=def\n<34>Deny DENY tcp\nuser=u1 a=10.1.2.3\n");
  ASSERT_EQ(p.n_clusters(), 3u);
  EXPECT_EQ(p.str(p.cluster(0), "signature"), "L|number|L|L|word");
  EXPECT_EQ(fjson_object_get_int(p.get(p.cluster(0), "n_lines")), 2);
  // Priority between two literals, the lexicon in any case, and two words that
  // would both be event.action end with different names.
  EXPECT_EQ(p.fields(1), "number:34=log.syslog.priority word:Deny=event.action "
                         "word:DENY=event.outcome word:tcp=network.transport");
  fjson_object *segs = p.get(p.cluster(1), "segments");
  EXPECT_EQ(p.str(fjson_object_array_get_idx(segs, 0), "literal"), "<");
  EXPECT_EQ(p.str(fjson_object_array_get_idx(segs, 2), "literal"), ">");
  EXPECT_NE(p.text.find("\"field\":\"log.syslog.priority\",\"type\":\"number\",\"key\":\"priority\","
                        "\"text\":\"34\",\"score\":0.95"),
            std::string::npos);
  EXPECT_NE(p.text.find("\"text\":\"DENY\",\"score\":0.85"), std::string::npos);
  // An alias names the key; an IP whose key has none is the first IP: source.ip, 0.9.
  EXPECT_EQ(p.fields(2), "word:u1=user.name ipv4:10.1.2.3=source.ip");
  EXPECT_NE(p.text.find("\"key\":\"user\",\"text\":\"u1\",\"score\":0.92"), std::string::npos);
  EXPECT_NE(p.text.find("\"key\":\"a\",\"text\":\"10.1.2.3\",\"score\":0.90"), std::string::npos);

  // An overlay alias for the parser comes first.
  Proposal o("a=10.1.2.3\n", R"({"by_parser":{"fw":{"a":"destination.ip"}}})", "fw");
  EXPECT_EQ(o.fields(0), "ipv4:10.1.2.3=destination.ip");
}

TEST(Propose, LongLinesCutsAndFullSignatures) {
  // Signatures that agree for far more than 511 characters still part.
  std::string a, b;
  for (int i = 0; i < 40; ++i) a += "\"q\" ";
  b = a + "word\n";
  a += "12\n";
  Proposal two(a + b);
  EXPECT_EQ(two.n_clusters(), 2u);

  // More spans than fit end in a rest span, and more than the emitter takes
  // end the rule in a rest field; the rule still matches the line.
  std::string many;
  for (int i = 0; i < 100; ++i) many += "x" + std::to_string(i) + " ";
  many += "end";
  Proposal p(many + "\n");
  ASSERT_EQ(p.n_clusters(), 1u);
  fjson_object *segs = p.get(p.cluster(0), "segments");
  ASSERT_EQ(static_cast<size_t>(fjson_object_array_length(segs)), 128u);
  EXPECT_EQ(p.str(fjson_object_array_get_idx(segs, 127), "type"), "rest");
  EXPECT_NE(p.rulebase().find(":rest%\n"), std::string::npos);

  // Texts are cut on character boundaries: 126 ASCII bytes, then "é".
  std::string utf = std::string(126, 'a') + "\xc3\xa9" + std::string(200, 'b');
  Proposal u(utf + "\n");
  EXPECT_NE(u.text.find("\"text\":\"" + std::string(126, 'a') + "\""), std::string::npos);
  EXPECT_NE(u.text.find("\"example\":\"" + std::string(126, 'a') + "\xc3\xa9" +
                        std::string(127, 'b') + "\""),
            std::string::npos);
}

// The proposal for the samples loads; each cluster's example line is matched
// by its own rule with every listed name; over all samples neither engine
// disagrees with the other.
void expect_rules_match(const std::string &samples) {
  Proposal p(samples);
  ASSERT_GT(p.n_clusters(), 0u);
  EXPECT_EQ(p.text.find("\"refused\":[]"), p.text.find("\"refused\":"));
  EXPECT_NE(p.text.find("\"shadowed\":[]"), std::string::npos);
  const std::string rb = p.rulebase();
  vdr_config cfg{};
  cfg.keep_json = 1;
  char *err = nullptr;
  vdr_run *run = vdr_run_new(rb.c_str(), &cfg, &err);
  ASSERT_NE(run, nullptr) << (err ? err : "") << rb;
  vdr_free(err);
  std::string examples;
  for (size_t i = 0; i < p.n_clusters(); ++i) examples += p.str(p.cluster(i), "example") + "\n";
  vdr_run_samples(run, examples.c_str(), nullptr, nullptr);
  size_t n = 0;
  const vdr_result *r = vdr_run_results(run, &n);
  ASSERT_EQ(n, p.n_clusters());
  for (size_t i = 0; i < n; ++i) {
    const std::string tag = p.str(p.cluster(i), "tag");
    EXPECT_TRUE(r[i].status == VDR_STATUS_MATCH || r[i].status == VDR_STATUS_EQUIVALENT ||
                r[i].status == VDR_STATUS_COVERAGE_GAP)
        << vdr_status_name(r[i].status) << " " << r[i].line;
    fjson_object *got = fjson_tokener_parse(r[i].legacy_json ? r[i].legacy_json : "{}");
    fjson_object *tags = p.get(got, "event.tags");
    ASSERT_NE(tags, nullptr) << r[i].line;
    EXPECT_EQ(fjson_object_get_string(fjson_object_array_get_idx(tags, 0)), tag) << r[i].line;
    fjson_object *segs = p.get(p.cluster(i), "segments");
    for (size_t k = 0; k < static_cast<size_t>(fjson_object_array_length(segs)); ++k) {
      fjson_object *seg = fjson_object_array_get_idx(segs, k);
      const std::string f = p.str(seg, "field");
      if (p.str(seg, "kind") == "field" && f != "-") {
        EXPECT_NE(p.get(got, f.c_str()), nullptr) << f << " in " << r[i].line;
      }
    }
    fjson_object_put(got);
  }
  vdr_run_free(run);

  // Every sample, through both engines.
  run = vdr_run_new(rb.c_str(), &cfg, nullptr);
  ASSERT_NE(run, nullptr);
  vdr_run_samples(run, samples.c_str(), nullptr, nullptr);
  const size_t *tally = vdr_run_tally(run);
  EXPECT_EQ(tally[VDR_STATUS_DIVERGENCE], 0u);
  EXPECT_EQ(tally[VDR_STATUS_TURBO_ONLY], 0u);
  vdr_run_free(run);
}

TEST(Propose, RulesMatchTheirExamplesOnRealFormats) {
  const std::string src = VELDRA_SOURCE_DIR;
  for (const char *f : {"/examples/corpus/Linux_2k.log", "/examples/corpus/OpenSSH_2k.log",
                        "/examples/samples.log", "/examples/structured.log"}) {
    SCOPED_TRACE(f);
    std::string s = slurp(src + f);
    ASSERT_FALSE(s.empty());
    // The lines a proposal uses.
    size_t pos = 0;
    for (int i = 0; i < 256 && pos != std::string::npos; ++i) pos = s.find('\n', pos + 1);
    if (pos != std::string::npos) s.resize(pos + 1);
    expect_rules_match(s);
  }
  SCOPED_TRACE("firewall key=value, JSON lines, tabs");
  expect_rules_match(
      "date=2024-05-01 time=10:20:30 devname=FG1 type=traffic action=deny srcip=10.0.0.1 "
      "srcport=51000 dstip=192.0.2.7 dstport=443 proto=6 service=\"HTTPS\" sentbyte=120\n"
      "date=2024-05-01 time=10:20:31 devname=FG1 type=traffic action=accept srcip=10.0.0.2 "
      "srcport=51001 dstip=192.0.2.8 dstport=80 proto=6 service=\"HTTP\" sentbyte=4400\n"
      "<134>May  1 10:20:32 fw01 kernel: IN=eth0 OUT= MAC=00:11:22:33:44:55:66:77:88:99:aa:bb:08:00 "
      "SRC=203.0.113.9 DST=198.51.100.2 LEN=60 PROTO=TCP SPT=4444 DPT=22\n"
      "{\"ts\":\"2024-05-01T10:20:33Z\",\"user\":\"alice\",\"ok\":true}\n"
      "[1,2,3] trailing\n"
      "12\tfoo\t \tbar\n"
      "id=7,name=x,\"q\" 99\n");
}

} // namespace
