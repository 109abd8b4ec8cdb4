// `check --rule-coverage` and `check --sarif` end to end: the rule section of
// both reports (and that nothing else in them changes), the bundled example's
// counts against its tally, and the SARIF file as an output.
#include <gtest/gtest.h>

#include <libfastjson/json.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "run_veldra.h"

namespace {

const std::string k_src = VELDRA_SOURCE_DIR;

veldra_run check(std::vector<std::string> extra, const std::string &cwd = fixtures()) {
  std::vector<std::string> args = {"check", "-r", "coverage/main.rb", "-s", "coverage/samples.log"};
  args.insert(args.end(), extra.begin(), extra.end());
  return run_veldra({args, "", cwd, {}});
}

fjson_object *get(fjson_object *o, const char *key) {
  fjson_object *v = nullptr;
  return o && fjson_object_object_get_ex(o, key, &v) ? v : nullptr;
}

size_t num(fjson_object *o, const char *key) {
  return static_cast<size_t>(fjson_object_get_int64(get(o, key)));
}

TEST(RuleCoverageCli, JsonRowsInFileOrderWithIncludesResolved) {
  const veldra_run r = check({"-f", "json", "--rule-coverage"});
  ASSERT_EQ(r.status, 1) << r.err; // the key=value sample is a coverage gap
  fjson_object *root = fjson_tokener_parse(r.out.c_str());
  ASSERT_NE(root, nullptr) << r.out;
  fjson_object *rules = get(root, "rules");
  const struct {
    const char *file;
    int line;
    const char *tags;
    size_t legacy, turbo;
    bool dead;
    const char *first_legacy;
    size_t match, equivalent, gap;
  } want[] = {
      {"coverage/main.rb", 4, "[\"login\"]", 1, 1, false, "[0]", 0, 1, 0},
      {"coverage/inc/more.rb", 3, "[\"port\"]", 2, 2, false, "[1,4]", 0, 2, 0},
      {"coverage/inc/more.rb", 4, "[]", 0, 0, true, "[]", 0, 0, 0},
      {"coverage/main.rb", 6, "[\"kv\"]", 1, 0, false, "[2]", 0, 0, 1},
      {"coverage/main.rb", 7, "[\"dead\",\"old\"]", 0, 0, true, "[]", 0, 0, 0},
  };
  ASSERT_EQ(fjson_object_array_length(rules), 5) << r.out;
  for (int i = 0; i < 5; ++i) {
    fjson_object *row = fjson_object_array_get_idx(rules, i);
    EXPECT_STREQ(fjson_object_get_string(get(row, "file")), want[i].file) << i;
    EXPECT_EQ(fjson_object_get_int(get(row, "line")), want[i].line) << i;
    EXPECT_STREQ(fjson_object_to_json_string_ext(get(row, "tags"), FJSON_TO_STRING_PLAIN),
                 want[i].tags) << i;
    EXPECT_EQ(num(get(row, "legacy"), "count"), want[i].legacy) << i;
    EXPECT_EQ(num(get(row, "turbo"), "count"), want[i].turbo) << i;
    EXPECT_EQ(fjson_object_get_boolean(get(row, "never_matched")), want[i].dead) << i;
    EXPECT_STREQ(fjson_object_to_json_string_ext(get(get(row, "legacy"), "first_samples"),
                                                 FJSON_TO_STRING_PLAIN),
                 want[i].first_legacy) << i;
    fjson_object *st = get(row, "statuses");
    EXPECT_EQ(num(st, "match"), want[i].match) << i;
    EXPECT_EQ(num(st, "equivalent"), want[i].equivalent) << i;
    EXPECT_EQ(num(st, "coverage-gap"), want[i].gap) << i;
    EXPECT_EQ(get(st, "unparsed"), nullptr) << "unparsed samples have no rule";
  }
  fjson_object_put(root);
}

// Without the option the reports are what they were; with it, the only change
// is the added section (JSON: the last member; Markdown: after the status
// table).
TEST(RuleCoverageCli, AddsOnlyItsSectionToEitherReport) {
  for (const std::vector<std::string> &flags :
       {std::vector<std::string>{}, {"--summary-only"}, {"--redact-values"}}) {
    for (const char *fmt : {"json", "markdown"}) {
      std::vector<std::string> base = {"-f", fmt};
      base.insert(base.end(), flags.begin(), flags.end());
      const veldra_run plain = check(base);
      std::vector<std::string> with = base;
      with.push_back("--rule-coverage");
      const veldra_run cov = check(with);
      ASSERT_EQ(plain.status, cov.status);
      std::string stripped = cov.out;
      if (std::string(fmt) == "json") {
        const size_t at = stripped.rfind(",\"rules\":[");
        ASSERT_NE(at, std::string::npos) << cov.out;
        stripped.erase(at, stripped.size() - 2 - at); // keeps "}\n"
      } else {
        const size_t at = stripped.find("## Rule coverage\n\n");
        ASSERT_NE(at, std::string::npos) << cov.out;
        const size_t end = stripped.find("|\n\n", stripped.find("| rule |", at));
        ASSERT_NE(end, std::string::npos);
        stripped.erase(at, end + 3 - at);
      }
      EXPECT_EQ(stripped, plain.out) << fmt << " " << (flags.empty() ? "" : flags[0]);
    }
  }
}

TEST(RuleCoverageCli, MarkdownNamesDeadRulesFirstAndHonoursTheFlags) {
  const veldra_run r = check({"--rule-coverage"});
  ASSERT_EQ(r.status, 1) << r.err;
  const std::string &m = r.out;
  const size_t sec = m.find("## Rule coverage\n\n2 of 5 rule(s) never matched any sample.\n\n"
                            "- never matched: `coverage/inc/more.rb:4`\n"
                            "- never matched: `coverage/main.rb:7` `dead,old`\n\n");
  ASSERT_NE(sec, std::string::npos) << m;
  EXPECT_LT(m.find("| duplicate-field-name | 0 |"), sec) << "after the status table";
  EXPECT_NE(m.find("| `coverage/inc/more.rb:3` | `port` | 2: 2, 5 | 2: 2, 5 | 0 | 2 | 0 | 0 | 0 | 0 |\n"),
            std::string::npos)
      << m;
  EXPECT_NE(m.find("| `coverage/main.rb:7` never matched | `dead,old` | 0 | 0 |"), std::string::npos);

  // Summary-only keeps file:line and counts, and drops tags and sample lines.
  const veldra_run s = check({"--rule-coverage", "--summary-only"});
  EXPECT_NE(s.out.find("- never matched: `coverage/main.rb:7`\n"), std::string::npos) << s.out;
  EXPECT_NE(s.out.find("| `coverage/inc/more.rb:3` | 2 | 2 | 0 | 2 |"), std::string::npos) << s.out;
  EXPECT_EQ(s.out.find("dead,old"), std::string::npos);
  const veldra_run sj = check({"--rule-coverage", "--summary-only", "-f", "json"});
  EXPECT_EQ(sj.out.find("\"tags\""), std::string::npos) << sj.out;
  EXPECT_EQ(sj.out.find("first_samples"), std::string::npos) << sj.out;
  EXPECT_NE(sj.out.find("{\"file\":\"coverage/main.rb\",\"line\":7,\"never_matched\":true,"
                        "\"legacy\":{\"count\":0},\"turbo\":{\"count\":0}"),
            std::string::npos)
      << sj.out;
}

TEST(RuleCoverageCli, BundledExampleRowsAddUpToTheTally) {
  const veldra_run r = run_veldra({{"check", "-r", k_src + "/examples/linux-syslog.rb", "-s",
                                    k_src + "/examples/samples.log", "-f", "json",
                                    "--rule-coverage"},
                                   "", "", {}});
  ASSERT_LE(r.status, 2) << r.err;
  fjson_object *root = fjson_tokener_parse(r.out.c_str());
  ASSERT_NE(root, nullptr);
  // Every rule record of the file is a row.
  std::ifstream rb(k_src + "/examples/linux-syslog.rb");
  int rule_lines = 0;
  for (std::string line; std::getline(rb, line);)
    if (line.rfind("rule=", 0) == 0) ++rule_lines;
  fjson_object *rules = get(root, "rules");
  ASSERT_GT(rule_lines, 10);
  EXPECT_EQ(fjson_object_array_length(rules), rule_lines);

  fjson_object *summary = get(root, "summary");
  const char *statuses[] = {"match", "equivalent", "coverage-gap", "turbo-only", "divergence",
                            "duplicate-field-name"};
  size_t attributed = 0, legacy = 0;
  for (const char *s : statuses) {
    size_t sum = 0;
    for (int i = 0; i < fjson_object_array_length(rules); ++i)
      sum += num(get(fjson_object_array_get_idx(rules, i), "statuses"), s);
    EXPECT_EQ(sum, num(summary, s)) << s;
    attributed += sum;
  }
  for (int i = 0; i < fjson_object_array_length(rules); ++i)
    legacy += num(get(fjson_object_array_get_idx(rules, i), "legacy"), "count");
  EXPECT_EQ(attributed + num(summary, "unparsed"), num(summary, "samples"));
  EXPECT_EQ(legacy, num(summary, "samples") - num(summary, "unparsed") - num(summary, "turbo-only"));
  fjson_object_put(root);
}

TEST(SarifCli, WrittenBesideTheReportWithPathsRelativeToTheWorkingDirectory) {
  temp_dir tmp;
  const veldra_run r = check({"--sarif", tmp / "out.sarif", "--rule-coverage", "-o", tmp / "r.md"});
  ASSERT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, "");
  const std::string sarif = slurp(tmp / "out.sarif");
  fjson_object *root = fjson_tokener_parse(sarif.c_str());
  ASSERT_NE(root, nullptr) << sarif;
  fjson_object_put(root);
  for (const char *uri : {"\"uri\":\"coverage/main.rb\"},\"region\":{\"startLine\":6}",
                          "\"uri\":\"coverage/samples.log\"},\"region\":{\"startLine\":5}",
                          "\"uri\":\"coverage/inc/more.rb\"},\"region\":{\"startLine\":4}"})
    EXPECT_NE(sarif.find(uri), std::string::npos) << uri << "\n" << sarif;
  EXPECT_EQ(sarif.find("nothing here"), std::string::npos) << "no sample line unless embedded";
  EXPECT_NE(slurp(tmp / "r.md").find("## Rule coverage"), std::string::npos);
}

TEST(SarifCli, FailedWriteIsExit3AndLeavesNothing) {
  temp_dir tmp;
  const veldra_run r = check({"--sarif", tmp / "missing/out.sarif"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("veldra: cannot write " + tmp / "missing/out.sarif"), std::string::npos)
      << r.err;
  struct stat st;
  EXPECT_NE(stat((tmp / "missing").c_str(), &st), 0);

  const veldra_run both = check({"--sarif", "-"});
  EXPECT_EQ(both.status, 3);
  EXPECT_EQ(both.out, "");
  EXPECT_NE(both.err.find("--sarif and the report cannot go to the same place"), std::string::npos);

  const veldra_run missing = check({"--sarif"});
  EXPECT_EQ(missing.status, 3);
  EXPECT_EQ(missing.err, "veldra: --sarif needs a value\n");
}

} // namespace
