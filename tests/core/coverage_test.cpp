// Which rule each sample went through on each engine (the loader's rule
// table, the walker and VaderAD agreeing on one index), and the SARIF log
// built from it: its structure and the file:line of every kind of finding on
// a rulebase with includes.
#include <gtest/gtest.h>

#include <libfastjson/json.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "core/veldra.h"
#include "../cli/run_veldra.h"
#include "normalizer/rules.h"

// Test hook of the comparison run (engine.cpp).
int vdr_run_push_for_test(vdr_run *run, vdr_result *r, int turbo_available);

namespace {

const std::string k_dir = std::string(VELDRA_SOURCE_DIR) + "/tests/cli/fixtures/coverage";

// Runs the fixture from its own directory (relative includes and relative
// paths in the outputs), as check does for the load.
struct in_fixture_dir {
  char saved[PATH_MAX];
  in_fixture_dir() {
    EXPECT_NE(getcwd(saved, sizeof saved), nullptr);
    EXPECT_EQ(chdir(k_dir.c_str()), 0);
  }
  ~in_fixture_dir() { EXPECT_EQ(chdir(saved), 0); }
};

vdr_run *fixture_run() {
  char *err = nullptr;
  vdr_run *run = vdr_run_new_from_file("main.rb", nullptr, &err);
  EXPECT_NE(run, nullptr) << (err ? err : "");
  vdr_free(err);
  if (run) vdr_run_samples(run, slurp("samples.log").c_str(), nullptr, nullptr);
  return run;
}

fjson_object *get(fjson_object *o, const char *key) {
  fjson_object *v = nullptr;
  return o && fjson_object_object_get_ex(o, key, &v) ? v : nullptr;
}

std::string str(fjson_object *o) { return o ? fjson_object_get_string(o) : "<missing>"; }

TEST(RuleCoverage, BothEnginesNameTheRuleByTheLoadersIndex) {
  in_fixture_dir here;
  vdr_run *run = fixture_run();
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(vdr_run_turbo_available(run));

  // Load order: an include's rules where the include stands.
  const struct {
    const char *file;
    uint32_t line;
    const char *tags;
  } want_rules[] = {{"main.rb", 4, "login"}, {"inc/more.rb", 3, "port"},
                    {"inc/more.rb", 4, ""},  {"main.rb", 6, "kv"},
                    {"main.rb", 7, "dead,old"}};
  ASSERT_EQ(vdr_run_rule_count(run), 5u);
  for (uint32_t i = 0; i < 5; ++i) {
    const ln_rule_info *ri = vdr_run_rule(run, i + 1);
    ASSERT_NE(ri, nullptr);
    EXPECT_EQ(std::string(ri->file), want_rules[i].file) << i;
    EXPECT_EQ(ri->line, want_rules[i].line) << i;
    std::string tags;
    for (int t = 0; ri->tags && t < fjson_object_array_length(ri->tags); ++t)
      tags += (t ? "," : "") + str(fjson_object_array_get_idx(ri->tags, t));
    EXPECT_EQ(tags, want_rules[i].tags) << i;
  }
  // The include's path is known absolutely; the main file was named relative.
  const std::string inc_path = vdr_run_rule(run, 2)->path ? vdr_run_rule(run, 2)->path : "";
  EXPECT_EQ(inc_path, k_dir + "/inc/more.rb");
  EXPECT_EQ(vdr_run_rule(run, 0), nullptr);
  EXPECT_EQ(vdr_run_rule(run, 6), nullptr);

  const struct {
    size_t line_no;
    vdr_status status;
    uint32_t legacy_rule, turbo_rule;
  } want[] = {{1, VDR_STATUS_EQUIVALENT, 1, 1}, {2, VDR_STATUS_EQUIVALENT, 2, 2},
              {4, VDR_STATUS_COVERAGE_GAP, 4, 0}, {5, VDR_STATUS_UNPARSED_BOTH, 0, 0},
              {6, VDR_STATUS_EQUIVALENT, 2, 2}};
  size_t n = 0;
  const vdr_result *res = vdr_run_results(run, &n);
  ASSERT_EQ(n, 5u);
  for (size_t i = 0; i < n; ++i) {
    EXPECT_EQ(res[i].line_no, want[i].line_no) << i;
    EXPECT_EQ(res[i].status, want[i].status) << i;
    EXPECT_EQ(res[i].legacy_rule, want[i].legacy_rule) << i;
    EXPECT_EQ(res[i].turbo_rule, want[i].turbo_rule) << i;
  }
  vdr_run_free(run);
}

TEST(RuleCoverage, LaterRuleWithTheSameTextTakesTheNodeAndTheEarlierOneIsDead) {
  vdr_run *run = vdr_run_new("version=2\nrule=a:x %n:number%\nrule=b:x %n:number%\n", nullptr,
                             nullptr);
  ASSERT_NE(run, nullptr);
  vdr_run_samples(run, "x 1\n", nullptr, nullptr);
  size_t n = 0;
  const vdr_result *res = vdr_run_results(run, &n);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(res[0].legacy_rule, 2u);
  EXPECT_EQ(res[0].turbo_rule, 2u);
  vdr_run_free(run);
}

TEST(RuleCoverage, ARuleIsLocatedAtTheLineItBeginsOn) {
  // A rule whose field descriptor spans two lines, and a last rule without a
  // line feed at the end of the file.
  vdr_run *run = vdr_run_new_from_text(
      "version=2\n# c\nrule=a:x %n:\nnumber%\n\nrule=b:y %n:number%", "mem.rb", 0, nullptr,
      nullptr);
  ASSERT_NE(run, nullptr);
  ASSERT_EQ(vdr_run_rule_count(run), 2u);
  EXPECT_EQ(vdr_run_rule(run, 1)->line, 3u);
  EXPECT_EQ(vdr_run_rule(run, 2)->line, 6u);
  EXPECT_STREQ(vdr_run_rule(run, 2)->file, "mem.rb");
  vdr_run_free(run);
}

// Appends a record for a finding that needs both engines to disagree.
void push(vdr_run *run, vdr_status status, size_t line_no, uint32_t legacy_rule,
          uint32_t turbo_rule, const char *legacy, const char *turbo) {
  vdr_result r{};
  r.line = vdr_strdup_checked("synthetic sample line");
  r.status = status;
  r.line_no = line_no;
  r.legacy_rule = legacy_rule;
  r.turbo_rule = turbo_rule;
  if (legacy) {
    vdr_canon l{}, t{};
    fjson_object *lo = fjson_tokener_parse(legacy), *to = fjson_tokener_parse(turbo);
    vdr_canon_build(lo, &l);
    vdr_canon_build(to, &t);
    uint32_t shape = 0;
    vdr_diff_compute(&l, &t, &r.diffs, &r.n_diffs, &shape);
    fjson_object_put(lo);
    fjson_object_put(to);
    vdr_canon_free(&l);
    vdr_canon_free(&t);
  }
  ASSERT_EQ(vdr_run_push_for_test(run, &r, 1), 0);
}

TEST(Sarif, StructureAndTheFileAndLineOfEveryKindOfFinding) {
  in_fixture_dir here;
  vdr_run *run = fixture_run();
  ASSERT_NE(run, nullptr);
  push(run, VDR_STATUS_DIVERGENCE, 7, 1, 1, "{\"user.name\":\"a\",\"n\":\"1\"}",
       "{\"user.name\":\"b\",\"n\":\"1\"}");
  push(run, VDR_STATUS_DUP_FIELD, 8, 2, 2, "{\"msg\":\"2\"}", "{\"msg\":\"1\"}");
  push(run, VDR_STATUS_TURBO_ONLY, 9, 0, 3, nullptr, nullptr);

  const std::string text = slurp("main.rb");
  vdr_ecs_report ecs{};
  ASSERT_EQ(vdr_ecs_lint(text.c_str(), 0, &ecs), 0);
  const vdr_sarif_input in{"main.rb", text.c_str(), "samples.log"};
  char *sarif = vdr_report_sarif(run, VDR_REPORT_RULE_COVERAGE, &ecs, &in);
  ASSERT_NE(sarif, nullptr);
  fjson_object *root = fjson_tokener_parse(sarif);
  ASSERT_NE(root, nullptr) << sarif;

  EXPECT_EQ(str(get(root, "version")), "2.1.0");
  EXPECT_NE(str(get(root, "$schema")).find("sarif-schema-2.1.0.json"), std::string::npos);
  fjson_object *runs = get(root, "runs");
  ASSERT_EQ(fjson_object_array_length(runs), 1);
  fjson_object *r0 = fjson_object_array_get_idx(runs, 0);
  fjson_object *driver = get(get(r0, "tool"), "driver");
  EXPECT_EQ(str(get(driver, "name")), "veldra");
  EXPECT_EQ(str(get(driver, "version")), ln_version());

  // ruleId -> level, uri:line, and a piece of the message.
  const struct {
    const char *id, *level, *where, *says;
  } want[] = {
      {"coverage-gap", "warning", "main.rb:6", "line 4 of samples.log"},
      {"unparsed", "warning", "samples.log:5", "line 5 of samples.log"},
      {"divergence", "error", "main.rb:4", "line 7 of samples.log: both engines matched"},
      {"duplicate-field-name", "error", "inc/more.rb:3", "differing fields: msg"},
      {"turbo-only", "error", "inc/more.rb:4", "line 9 of samples.log"},
      {"ecs-error", "error", "main.rb:1", "no event.category"},
      {"ecs-warning", "warning", "main.rb:7", "field 'acme.count'"},
      {"never-matched", "note", "main.rb:7", "No sample matched"},
  };
  fjson_object *results = get(r0, "results");
  ASSERT_EQ(fjson_object_array_length(results), static_cast<int>(std::size(want))) << sarif;
  for (size_t i = 0; i < std::size(want); ++i) {
    fjson_object *res = fjson_object_array_get_idx(results, static_cast<int>(i));
    EXPECT_EQ(str(get(res, "ruleId")), want[i].id) << i;
    EXPECT_EQ(str(get(res, "level")), want[i].level) << i;
    const std::string msg = str(get(get(res, "message"), "text"));
    EXPECT_NE(msg.find(want[i].says), std::string::npos) << want[i].id << ": " << msg;
    fjson_object *loc = get(fjson_object_array_get_idx(get(res, "locations"), 0), "physicalLocation");
    const std::string where = str(get(get(loc, "artifactLocation"), "uri")) + ":" +
                              std::to_string(fjson_object_get_int(get(get(loc, "region"), "startLine")));
    EXPECT_EQ(where, want[i].where) << want[i].id;
    EXPECT_EQ(msg.find("synthetic sample line"), std::string::npos) << "no sample without embedding";
  }
  // The divergence names the differing path, never a value.
  const std::string div = str(get(get(fjson_object_array_get_idx(results, 2), "message"), "text"));
  EXPECT_NE(div.find("user.name"), std::string::npos) << div;
  EXPECT_EQ(std::string(sarif).find("synthetic sample line"), std::string::npos);
  fjson_object_put(root);
  vdr_free(sarif);

  // Embedding puts each sample line into the result's properties; without
  // --rule-coverage there is no never-matched note.
  sarif = vdr_report_sarif(run, VDR_REPORT_EMBED_INPUTS, &ecs, &in);
  ASSERT_NE(sarif, nullptr);
  EXPECT_NE(std::string(sarif).find("\"properties\":{\"sample\":\"synthetic sample line\"}"),
            std::string::npos);
  EXPECT_EQ(std::string(sarif).find("never-matched\",\"ruleIndex"), std::string::npos);
  vdr_free(sarif);
  vdr_ecs_report_free(&ecs);
  vdr_run_free(run);
}

} // namespace
