// `check`, `extract` and `ecs` end to end, on rulebases that load: exit
// statuses from the tally, the report's destination, --max, the flag
// conflicts, the progress line and relative includes.
//
// These need the comparison run, the normalizer's loader, the reports and the
// ECS lint. While any of them is still a placeholder in this tree the tests
// are skipped (with the reason); once every placeholder is gone they run, and
// a rulebase that then fails to load is a failure, not a skip.
#include <gtest/gtest.h>

#include <libfastjson/json.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "core/veldra.h"
#include "run_veldra.h"

namespace {

bool file_exists(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

// Empty when the whole check flow works in-process; otherwise why not.
std::string flow_missing() {
  const std::string rb = fixtures() + "/v2.rb";
  char *err = nullptr;
  vdr_run *run = vdr_run_new_from_file(rb.c_str(), nullptr, &err);
  std::string why;
  if (!run) {
    why = std::string("the fixture rulebase does not load: ") + (err ? err : "(no message)");
  } else {
    vdr_ecs_report ecs{};
    if (vdr_ecs_lint("version=2\n", 0, &ecs) != 0) why = "the ECS lint does not run";
    char *rep = why.empty() ? vdr_report_json(run, 0, &ecs) : nullptr;
    if (why.empty() && !rep) why = "the JSON report is not built";
    vdr_free(rep);
    vdr_ecs_report_free(&ecs);
  }
  vdr_free(err);
  vdr_run_free(run);
  return why;
}

bool placeholders_left() {
  const std::string src = VELDRA_SOURCE_DIR;
  for (const char *p : {"/src/core/pending_check.cpp", "/src/normalizer/pending_dag.cpp",
                        "/src/normalizer/pending_walker.cpp", "/src/normalizer/pending_fields.cpp"})
    if (file_exists(src + p)) return true;
  return false;
}

class CheckFlow : public testing::Test {
 protected:
  void SetUp() override {
    static const std::string why = flow_missing();
    if (!why.empty()) {
      if (placeholders_left()) GTEST_SKIP() << "not available in this tree yet: " << why;
      FAIL() << why;
    }
  }

  static veldra_run check(std::vector<std::string> extra, const std::string &stdin_text = "",
                          const std::string &cwd = fixtures()) {
    std::vector<std::string> args = {"check"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_veldra({args, stdin_text, cwd, {}});
  }
};

// The parsed JSON report; null (and a test failure) when it does not parse.
struct json_doc {
  fjson_object *root = nullptr;
  explicit json_doc(const std::string &text) {
    root = fjson_tokener_parse(text.c_str());
    EXPECT_NE(root, nullptr) << text;
  }
  ~json_doc() {
    if (root) fjson_object_put(root);
  }
  fjson_object *at(const char *a, const char *b = nullptr) const {
    fjson_object *o = nullptr;
    if (!root || !fjson_object_object_get_ex(root, a, &o)) return nullptr;
    if (b && !fjson_object_object_get_ex(o, b, &o)) return nullptr;
    return o;
  }
  std::string str(const char *a, const char *b = nullptr) const {
    fjson_object *o = at(a, b);
    return o ? fjson_object_get_string(o) : "<absent>";
  }
  long num(const char *a, const char *b = nullptr) const {
    fjson_object *o = at(a, b);
    return o ? static_cast<long>(fjson_object_get_int64(o)) : -1;
  }
};

// The exit status the report's verdict stands for, without the strict options.
int status_for_verdict(const std::string &verdict) {
  if (verdict == "clean") return 0;
  if (verdict == "no-bytecode" || verdict == "coverage-gap") return 1;
  if (verdict == "divergence") return 2;
  return -1;
}

const char *const kNoBytecode =
    "veldra: warning: this rulebase did not compile to bytecode; every sample will read as a "
    "coverage gap\n";

// v2.rb compiles: both engines match the two "says" lines the same way and
// neither matches the third, a clean run.
TEST_F(CheckFlow, ExitStatusFollowsTheTally) {
  veldra_run r = check({"-r", "v2.rb", "-s", "samples.log", "-f", "json"});
  json_doc rep(r.out);
  EXPECT_EQ(rep.str("verdict"), "clean");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(rep.num("summary", "samples"), 3); // the blank line is no sample
  EXPECT_EQ(rep.num("summary", "match"), 2);
  EXPECT_EQ(rep.num("summary", "unparsed"), 1);
  EXPECT_EQ(r.err, "\r");

  // --strict-unparsed turns a clean run with an unparsed sample into 4.
  veldra_run strict = check({"-r", "v2.rb", "-s", "samples.log", "--strict-unparsed"});
  EXPECT_EQ(strict.status, 4);
}

// A rulebase VaderAD does not compile: every walker match is a coverage gap
// (exit 1), and the warning and the compiler's reason go to standard error.
TEST_F(CheckFlow, NoBytecodeIsACoverageGap) {
  temp_dir d;
  spill(d / "nb.rb", "version=2\nrule=:n %n:number{\"maxval\":70000}%\n");
  spill(d / "nb.log", "n 5\n");
  veldra_run r = check({"-r", "nb.rb", "-s", "nb.log", "-f", "json"}, "", d.path);
  json_doc rep(r.out);
  EXPECT_EQ(rep.str("verdict"), "no-bytecode");
  EXPECT_EQ(rep.num("summary", "coverage-gap"), 1);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string(kNoBytecode) +
                       "veldra: bytecode compiler: turbo: number field 'n' has maxval 70000, "
                       "above the 65535 the VM serves\n\r");
}

TEST_F(CheckFlow, MarkdownByDefaultAndTheSameReportIntoAFile) {
  veldra_run to_stdout = check({"-r", "v2.rb", "-s", "samples.log"});
  EXPECT_EQ(to_stdout.out.rfind("# veldra report\n\n", 0), 0u) << to_stdout.out;

  // The report path is relative to where veldra was started, not to the
  // rulebase's directory it visits while loading.
  temp_dir d;
  veldra_run to_file =
      check({"-r", fixtures() + "/v2.rb", "-s", fixtures() + "/samples.log", "-o", "r.md"}, "", d.path);
  EXPECT_EQ(to_file.status, to_stdout.status);
  EXPECT_EQ(to_file.out, "");
  EXPECT_EQ(slurp(d / "r.md"), to_stdout.out);
  EXPECT_FALSE(file_exists(fixtures() + "/r.md"));
}

TEST_F(CheckFlow, UnwritableReportPathLeavesNothing) {
  temp_dir d;
  const std::string out = d / "no/such/dir/r.json";
  veldra_run r = check({"-r", "v2.rb", "-s", "samples.log", "-f", "json", "-o", out});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  const std::string msg = "veldra: cannot write " + out + ": No such file or directory\n";
  ASSERT_GE(r.err.size(), msg.size());
  EXPECT_EQ(r.err.substr(r.err.size() - msg.size()), msg);
  veldra_run dir = check({"-r", "v2.rb", "-s", "samples.log", "-o", d.path});
  EXPECT_EQ(dir.status, 3);
  EXPECT_NE(dir.err.find("veldra: cannot write " + d.path + ": Is a directory\n"), std::string::npos);
}

TEST_F(CheckFlow, MaxLimitsOnlyFromOneTo2147483646) {
  struct {
    const char *max;
    long samples;
  } cases[] = {{"1", 1}, {"2", 2}, {"2147483646", 3}, {"0", 3}, {"-5", 3}, {"2147483647", 3},
               {"99999999999999999999", 3}, {"abc", 3}, {"2x", 2}};
  for (const auto &c : cases) {
    veldra_run r = check({"-r", "v2.rb", "-s", "samples.log", "-f", "json", "--max", c.max});
    json_doc rep(r.out);
    EXPECT_EQ(rep.num("summary", "samples"), c.samples) << "--max " << c.max;
  }
}

TEST_F(CheckFlow, FlagConflictsAfterTheRun) {
  std::string many;
  for (int i = 0; i < 600; ++i) many += "host" + std::to_string(i) + " says hi\n";
  veldra_run r = check({"-r", "v2.rb", "-s", "-", "--embed-inputs", "--summary-only"}, many);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  // The run went through every sample before the conflict was seen.
  EXPECT_NE(r.err.find("\rveldra: 600/600 samples\r"), std::string::npos) << r.err;
  const std::string msg = "veldra: --embed-inputs contradicts --summary-only\n";
  EXPECT_EQ(r.err.substr(r.err.size() - msg.size()), msg);

  veldra_run both = check(
      {"-r", "v2.rb", "-s", "samples.log", "--summary-only", "--redact-values", "--embed-inputs"});
  EXPECT_EQ(both.status, 3);
  EXPECT_NE(both.err.find("veldra: --embed-inputs contradicts --redact-values\n"), std::string::npos);
  EXPECT_EQ(both.err.find("summary-only"), std::string::npos);
}

TEST_F(CheckFlow, ProgressLineFromFiveHundredSamples) {
  std::string lines;
  for (int i = 0; i < 499; ++i) lines += "h says x\n";
  veldra_run few = check({"-r", "v2.rb", "-s", "-", "-f", "json"}, lines);
  EXPECT_EQ(few.err.find("samples"), std::string::npos) << few.err;
  lines += "h says x\n";
  veldra_run enough = check({"-r", "v2.rb", "-s", "-", "-f", "json"}, lines);
  EXPECT_NE(enough.err.find("\rveldra: 500/500 samples\rveldra: 500/500 samples\r"), std::string::npos)
      << enough.err;
}

TEST_F(CheckFlow, StdinSamplesReadLikeAFile) {
  veldra_run file = check({"-r", "v2.rb", "-s", "samples.log", "-f", "json"});
  veldra_run in = check({"-r", "v2.rb", "-s", "-", "-f", "json"}, slurp(fixtures() + "/samples.log"));
  EXPECT_EQ(in.status, file.status);
  EXPECT_EQ(in.out, file.out);
}

// A rulebase on standard input has no file to load by path: its text is
// loaded, with the same outcome as the file.
TEST_F(CheckFlow, RulebaseFromStdin) {
  const std::string text = slurp(fixtures() + "/v2.rb");
  veldra_run file = check({"-r", "v2.rb", "-s", "samples.log", "-f", "json"});
  veldra_run in = check({"-r", "-", "-s", "samples.log", "-f", "json"}, text);
  EXPECT_EQ(in.status, file.status) << in.err;
  EXPECT_EQ(in.out, file.out);

  veldra_run ex_file = run_veldra({{"extract", "-r", "v2.rb", "-s", "samples.log"}, "", fixtures(), {}});
  veldra_run ex_in = run_veldra({{"extract", "-r", "-", "-s", "samples.log"}, text, fixtures(), {}});
  EXPECT_EQ(ex_in.status, 0) << ex_in.err;
  EXPECT_EQ(ex_in.out, ex_file.out);
}

TEST_F(CheckFlow, RelativeIncludesResolveAgainstTheRulebase) {
  temp_dir d;
  veldra_run r = check({"-r", fixtures() + "/inc/main.rb", "-s", fixtures() + "/samples.log", "-f", "json"},
                       "", d.path);
  json_doc rep(r.out);
  EXPECT_EQ(r.status, status_for_verdict(rep.str("verdict"))) << r.err;
  // The walker sees the included rule just as in the single-file rulebase
  // (the ECS lint reads only the outer text, so only the tallies compare).
  veldra_run direct = check({"-r", "v2.rb", "-s", "samples.log", "-f", "json"});
  json_doc same(direct.out);
  ASSERT_NE(rep.at("summary"), nullptr);
  ASSERT_NE(same.at("summary"), nullptr);
  EXPECT_STREQ(fjson_object_to_json_string(rep.at("summary")),
               fjson_object_to_json_string(same.at("summary")));
  EXPECT_EQ(rep.num("summary", "unparsed"), 1);
}

TEST_F(CheckFlow, LoadFailure) {
  veldra_run r = check({"-r", "broken.rb", "-s", "samples.log"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("veldra: ", 0), 0u);
  veldra_run quiet = check({"-r", "broken.rb", "-s", "samples.log", "--summary-only"});
  EXPECT_EQ(quiet.status, 3);
  EXPECT_EQ(quiet.err, "veldra: rulebase failed to load (details withheld by --summary-only)\n");
}

TEST_F(CheckFlow, ExtractWritesOneLinePerSample) {
  veldra_run r = run_veldra({{"extract", "-r", "v2.rb", "-s", "samples.log", "--keep-line"}, "", fixtures(), {}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const char *lines[] = {"alpha says hello", "beta says hi", "no match here"};
  size_t pos = 0;
  for (const char *line : lines) {
    size_t eol = r.out.find('\n', pos);
    ASSERT_NE(eol, std::string::npos);
    json_doc doc(r.out.substr(pos, eol - pos));
    EXPECT_EQ(doc.str("line"), line);
    EXPECT_NE(doc.at("fields"), nullptr);
    EXPECT_NE(doc.str("status"), "<absent>");
    pos = eol + 1;
  }
  EXPECT_EQ(pos, r.out.size());
  json_doc first(r.out.substr(0, r.out.find('\n')));
  EXPECT_EQ(first.str("fields", "host"), "alpha");
}

// A rulebase that does not load from its file (its basic-types include names
// no file) loads from its text, where that include becomes the fixed prelude.
// check loads only by path and fails.
TEST_F(CheckFlow, ExtractFallsBackToTheRulebaseText) {
  veldra_run r = run_veldra(
      {{"extract", "-r", "basic_types_include.rb", "-s", "-"}, "from 10.1.2.3\nfrom x\n", fixtures(), {}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const size_t eol = r.out.find('\n');
  ASSERT_NE(eol, std::string::npos);
  json_doc first(r.out.substr(0, eol));
  fjson_object *src = first.at("fields", "src");
  ASSERT_NE(src, nullptr) << r.out;
  fjson_object *ip = nullptr;
  ASSERT_TRUE(fjson_object_object_get_ex(src, "net_src_ip4", &ip)) << r.out;
  EXPECT_STREQ(fjson_object_get_string(ip), "10.1.2.3");
  json_doc second(r.out.substr(eol + 1));
  EXPECT_EQ(second.str("status"), "unparsed");

  veldra_run c = check({"-r", "basic_types_include.rb", "-s", "samples.log"});
  EXPECT_EQ(c.status, 3);
  EXPECT_EQ(c.err.rfind("veldra: rulebase failed to load on the legacy walker:\n", 0), 0u) << c.err;
}

TEST_F(CheckFlow, EcsPrintsOneLineAndExitsByVerdict) {
  veldra_run r = run_veldra({{"ecs", "-r", "-"}, slurp(fixtures() + "/v2.rb"), fixtures(), {}});
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.back(), '\n');
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
  json_doc doc(r.out);
  const std::string verdict = doc.str("verdict");
  EXPECT_EQ(r.status, verdict == "fail" ? 6 : verdict == "ok" ? 0 : -1) << verdict;
  EXPECT_EQ(r.out.rfind("{\"verdict\":", 0), 0u);
}

TEST_F(CheckFlow, EcsLineListsErrorsAndWarnings) {
  veldra_run fail = run_veldra(
      {{"ecs", "-r", "-"},
       "version=2\nrule=:%source.ip:ipv4% %foo:word% %agent.ephemeral_id:word%\n", fixtures(), {}});
  EXPECT_EQ(fail.status, 6);
  EXPECT_EQ(fail.out,
            "{\"verdict\":\"fail\",\"schema\":\"9.5.0\",\"errors\":[\"field 'foo' is not in ECS "
            "9.5.0\",\"no event.category (field or annotate=)\"],\"warnings\":[\"field "
            "'agent.ephemeral_id' is ECS 9.5.0 extended\"]}\n");
  veldra_run ok = run_veldra(
      {{"ecs", "-r", "-"},
       "version=2\nannotate=t:+event.category=\"x\"\nrule=t:%source.ip:ipv4%\n", fixtures(), {}});
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out, "{\"verdict\":\"ok\",\"schema\":\"9.5.0\",\"errors\":[],\"warnings\":[]}\n");
}

}  // namespace
