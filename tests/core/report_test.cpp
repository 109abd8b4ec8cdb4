// The check report: end-to-end runs of the built tool against expected
// report texts, and the Markdown pieces that carry data.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "core/report_md.h"
#include "core/veldra.h"

// Exposed by src/core/engine.cpp for tests.
int vdr_run_push_for_test(vdr_run *run, vdr_result *r, int turbo_available);

namespace {

const std::string k_fix = std::string(VELDRA_TEST_DIR) + "/fixtures/report/";

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs the tool with stderr discarded; returns its standard output.
std::string run_tool(const std::string &args, int *status) {
  std::string cmd = std::string(VELDRA_BIN) + " " + args + " 2>/dev/null";
  FILE *p = popen(cmd.c_str(), "r");
  std::string out;
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    out.append(buf, n);
  int st = pclose(p);
  *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

TEST(ReportEndToEnd, MatchesExpectedTexts) {
  // VaderAD compiles login.rb: the port line is a match, the login lines are
  // equivalent, the key=value line ("a" beside "a.b") is a coverage gap
  // (exit 1); no samples at all is a clean run (exit 0).
  struct Case {
    const char *samples, *flags, *expected;
    int status;
  } cases[] = {
      {"samples.txt", "", "samples.md", 1},
      {"samples.txt", "--redact-values", "samples.redact.md", 1},
      {"samples.txt", "--summary-only", "samples.summary.md", 1},
      {"samples.txt", "-f json", "samples.json", 1},
      {"samples.txt", "-f json --embed-inputs", "samples.embed.json", 1},
      {"samples.txt", "-f json --redact-values", "samples.redact.json", 1},
      {"samples.txt", "-f json --summary-only", "samples.summary.json", 1},
      {"empty.txt", "", "empty.md", 0},
      {"empty.txt", "-f json", "empty.json", 0},
  };
  for (const Case &k : cases) {
    int status = -1;
    std::string args = "check -r " + k_fix + "login.rb -s " + k_fix + k.samples + " " + k.flags;
    std::string got = run_tool(args, &status);
    // Load diagnostics name the rulebase by its absolute path.
    for (size_t at; (at = got.find(k_fix)) != std::string::npos;)
      got.replace(at, k_fix.size(), "@FIXTURES@/");
    std::string want = slurp(k_fix + k.expected);
    ASSERT_FALSE(want.empty()) << k.expected;
    EXPECT_EQ(got, want) << args;
    EXPECT_EQ(status, k.status) << args;
  }
}

std::string span(const char *s, bool table) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  vdr_md_code_span(&sb, s, table);
  char *t = vdr_sb_release(&sb);
  std::string r = t ? t : "(oom)";
  vdr_free(t);
  return r;
}

TEST(ReportMarkdown, CodeSpansCarryAnyValue) {
  struct Case {
    const char *value;
    bool table;
    const char *want;
  } cases[] = {
      {"plain", true, "`plain`"},
      {"-", true, "`-`"},
      {"a|b", true, "`a\\|b`"},
      {"a|b", false, "`a|b`"},
      {"x`y", true, "``x`y``"},
      {"``two``", true, "``` ``two`` ```"},
      {"`lead", true, "`` `lead ``"},
      {"line1\nline2\r", true, "`line1\\nline2\\r`"},
      {" padded ", true, "`  padded  `"},
      {"   ", true, "`   `"},
      {"CEF:0|Acme|`x`|5", true, "``CEF:0\\|Acme\\|`x`\\|5``"},
      // Control bytes reach no terminal: escape sequences, DEL, the C1
      // controls and bytes of broken UTF-8 are shown as \xNN; a tab and
      // well-formed UTF-8 stay.
      {"\x1b[31mred\x1b[0m", true, "`\\x1b[31mred\\x1b[0m`"},
      {"\x1b]0;title\x07", false, "`\\x1b]0;title\\x07`"},
      {"a\tb\x7f\x08", true, "`a\tb\\x7f\\x08`"},
      {"\xc2\x9b" "2J \xc3\xa9 \xff\xc3", true, "`\\xc2\\x9b" "2J \xc3\xa9 \\xff\\xc3`"},
  };
  for (const Case &k : cases)
    EXPECT_EQ(span(k.value, k.table), k.want) << k.value;
}

TEST(ReportMarkdown, FenceOutgrowsBackquoteRuns) {
  struct Case {
    const char *body;
    const char *want;
  } cases[] = {
      {"plain", "```\n"},
      {"a ``` b", "````\n"},
      {"`````", "``````\n"},
      {"", "```\n"},
  };
  for (const Case &k : cases) {
    vdr_sb sb;
    vdr_sb_init(&sb);
    vdr_md_fence(&sb, k.body);
    char *t = vdr_sb_release(&sb);
    EXPECT_STREQ(t, k.want) << k.body;
    vdr_free(t);
  }
  EXPECT_EQ(vdr_md_backquote_run(nullptr), 0u);
  EXPECT_EQ(vdr_md_backquote_run("a`b``c`"), 2u);
}

// Compares a report with its expected file; on a mismatch the actual text is
// written next to the test's temporary files for inspection.
void expect_report(const std::string &got, const std::string &name) {
  std::string want = slurp(k_fix + name);
  if (got == want) return;
  std::string out = testing::TempDir() + "/" + name;
  std::ofstream(out, std::ios::binary) << got;
  ADD_FAILURE() << name << " differs; actual report written to " << out;
}

struct Sample {
  const char *line;
  vdr_status status;
  uint32_t shape;
  const char *legacy, *turbo; // results to diff, or null
  const char *legacy_json, *turbo_json;
};

char *dup(const char *s) { return s ? vdr_strdup_checked(s) : nullptr; }

// A run whose records stand for findings that need both engines: every
// status, every difference kind, values with pipes, backquotes and line feeds.
vdr_run *synthetic_run() {
  vdr_run *run = vdr_run_new("version=2\nrule=:x %a:word%\n", nullptr, nullptr);
  if (!run) return nullptr;
  const Sample samples[] = {
      {"user a", VDR_STATUS_MATCH, 0, nullptr, nullptr, nullptr, nullptr},
      {"user b", VDR_STATUS_EQUIVALENT, 3, nullptr, nullptr, nullptr, nullptr},
      {"CEF:0|Acme|FW|`x`|5", VDR_STATUS_DIVERGENCE, 3,
       "{\"msg\":\"a|b\",\"n\":\"5\",\"a\":{},\"v\":\"l1\\nl2\",\"tags\":[\"x\"]}",
       "{\"msg\":\"`a`b\",\"n\":5,\"p|q\":\"q\",\"v\":\"l1\\nl3\",\"tags\":[\"x\",\"y\"]}",
       "{\"event.severity\":\"high\"}", "{\"msg\":\"`a`b\"}"},
      {"gap | line", VDR_STATUS_COVERAGE_GAP, 0, nullptr, nullptr, nullptr, nullptr},
      {"only turbo", VDR_STATUS_TURBO_ONLY, 0, nullptr, nullptr, nullptr, nullptr},
      {"dup msg", VDR_STATUS_DUP_FIELD, 0, "{\"msg\":\"2\"}", "{\"msg\":\"1\"}", nullptr,
       nullptr},
      {"nothing", VDR_STATUS_UNPARSED_BOTH, 0, nullptr, nullptr, nullptr, nullptr},
  };
  for (const Sample &s : samples) {
    vdr_result r{};
    r.line = dup(s.line);
    r.status = s.status;
    r.shape = s.shape;
    r.legacy_json = dup(s.legacy_json);
    r.turbo_json = dup(s.turbo_json);
    if (s.legacy) {
      vdr_canon l{}, t{};
      fjson_object *lo = fjson_tokener_parse(s.legacy), *to = fjson_tokener_parse(s.turbo);
      vdr_canon_build(lo, &l);
      vdr_canon_build(to, &t);
      uint32_t shape = 0;
      vdr_diff_compute(&l, &t, &r.diffs, &r.n_diffs, &shape);
      fjson_object_put(lo);
      fjson_object_put(to);
      vdr_canon_free(&l);
      vdr_canon_free(&t);
    }
    vdr_run_push_for_test(run, &r, 1);
  }
  return run;
}

TEST(ReportDirect, EveryFindingAndFlag) {
  vdr_run *run = synthetic_run();
  ASSERT_NE(run, nullptr);
  char warn[] = "field 'acme.x' is a custom namespace (not in ECS 9.5.0)";
  char *warnings[] = {warn};
  vdr_ecs_report ecs{VDR_ECS_OK, nullptr, nullptr, 0, warnings, 1};
  struct Case {
    bool json;
    unsigned flags;
    const char *expected;
  } cases[] = {
      {false, 0, "synthetic.md"},
      {false, VDR_REPORT_REDACT_VALUES, "synthetic.redact.md"},
      {true, 0, "synthetic.json"},
      {true, VDR_REPORT_EMBED_INPUTS, "synthetic.embed.json"},
      {true, VDR_REPORT_REDACT_VALUES, "synthetic.redact.json"},
  };
  for (const Case &k : cases) {
    char *text = k.json ? vdr_report_json(run, k.flags, &ecs) : vdr_report_markdown(run, k.flags, &ecs);
    ASSERT_NE(text, nullptr);
    expect_report(text, k.expected);
    vdr_free(text);
  }
  vdr_run_free(run);
}

TEST(ReportDirect, RunWithoutSamples) {
  vdr_run *run = vdr_run_new("version=2\nrule=:x %a:word%\n", nullptr, nullptr);
  ASSERT_NE(run, nullptr);
  char *md = vdr_report_markdown(run, 0, nullptr);
  ASSERT_NE(md, nullptr);
  std::string m = md;
  EXPECT_NE(m.find("- samples: 0\n"), std::string::npos);
  EXPECT_EQ(m.find("- ECS:"), std::string::npos) << "no lint report, no ECS line";
  EXPECT_EQ(m.substr(m.size() - 28), "No sample needed attention.\n");
  char *js = vdr_report_json(run, 0, nullptr);
  ASSERT_NE(js, nullptr);
  std::string j = js;
  EXPECT_NE(j.find("\"summary\":{\"samples\":0,\"match\":0,"), std::string::npos) << j;
  EXPECT_NE(j.find("\"turbo_coverage_pct\":0.00}"), std::string::npos) << j;
  EXPECT_EQ(j.find("\"ecs\""), std::string::npos);
  EXPECT_EQ(j.substr(j.size() - 14), "\"samples\":[]}\n") << j;
  vdr_free(md);
  vdr_free(js);
  vdr_run_free(run);
}

} // namespace
