// Structured fields on both engines: one fixture per family (rulebase and
// samples in fixtures/struct) must check clean through the comparison run,
// the messages VaderAD cannot write as the walker's object are declined, and
// the names of a structured value outlive the value and the input.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "core/veldra.h"
#include "normalizer/context.h"
#include "vaderad/turbo_json.h"
#include "vaderad/turbo_state.h"

namespace {

const std::string kFixtures = std::string(VELDRA_TEST_DIR) + "/fixtures/struct/";

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Edge cases of every family are in the samples: truncated, unbalanced and
// empty payloads, payloads followed by text, rewrite tables, custom
// separators, repeats with permitted mismatches, zero items, duplicates and
// an item and separator that consume nothing.
TEST(StructFixtures, EveryFamilyChecksClean) {
  for (const char *family : {"cef", "lea", "iptables", "kv", "json", "asa", "repeat"}) {
    SCOPED_TRACE(family);
    char *err = nullptr;
    vdr_config cfg{0, 1, 0};
    vdr_run *run = vdr_run_new_from_file((kFixtures + family + ".rb").c_str(), &cfg, &err);
    ASSERT_NE(run, nullptr) << (err ? err : "");
    ASSERT_EQ(vdr_run_turbo_available(run), 1) << vdr_run_diagnostics(run, VDR_ENGINE_TURBO);
    const std::string samples = read_file(kFixtures + family + ".log");
    vdr_run_samples(run, samples.c_str(), nullptr, nullptr);
    size_t n = 0;
    const vdr_result *res = vdr_run_results(run, &n);
    size_t served = 0;
    for (size_t i = 0; i < n; ++i) {
      const vdr_result &r = res[i];
      EXPECT_TRUE(r.status == VDR_STATUS_MATCH || r.status == VDR_STATUS_EQUIVALENT ||
                  r.status == VDR_STATUS_UNPARSED_BOTH)
          << vdr_status_name(r.status) << ": " << r.line << "\n"
          << (r.legacy_json ? r.legacy_json : "") << "\n" << (r.turbo_json ? r.turbo_json : "");
      served += r.status == VDR_STATUS_MATCH || r.status == VDR_STATUS_EQUIVALENT;
    }
    EXPECT_GE(served, 4u);
    vdr_run_free(run);
    vdr_free(err);
  }
}

// A result whose names the nesting writer cannot give the walker's members is
// declined; the walker serves the message.
TEST(StructFixtures, UnwritableResultsAreDeclined) {
  const char *rb = "version=2\n"
                   "rule=:KV %.:name-value-list%\n"
                   "rule=t:DOT %.:json%\n"
                   "rule=:W %w:word% %.:json%\n";
  struct Case {
    const char *line;
    int status;
  } cases[] = {
      {"KV a.b=1 a=2", VDR_STATUS_COVERAGE_GAP},   // "a" beside "a.b"
      {"DOT [1,2]", VDR_STATUS_COVERAGE_GAP},      // "." with no object
      {"DOT {\"..\":1}", VDR_STATUS_COVERAGE_GAP}, // a member named like an operator
      {"DOT {\"-\":1}", VDR_STATUS_COVERAGE_GAP},
      {"KV tags=1", VDR_STATUS_COVERAGE_GAP},      // the names of the rule tags
      {"DOT {\"tags.z\":1}", VDR_STATUS_COVERAGE_GAP},
      {"DOT {\"event\":{\"tags\":1}}", VDR_STATUS_COVERAGE_GAP},
      {"W x {\"w\":1}", VDR_STATUS_EQUIVALENT},    // a name stored twice: the rule's field wins
      {"KV a=1 b=2", VDR_STATUS_EQUIVALENT},
  };
  std::string samples;
  for (const Case &c : cases) samples += std::string(c.line) + "\n";
  char *err = nullptr;
  vdr_config cfg{0, 1, 0};
  vdr_run *run = vdr_run_new(rb, &cfg, &err);
  ASSERT_NE(run, nullptr) << (err ? err : "");
  vdr_run_samples(run, samples.c_str(), nullptr, nullptr);
  size_t n = 0;
  const vdr_result *res = vdr_run_results(run, &n);
  ASSERT_EQ(n, std::size(cases));
  for (size_t i = 0; i < n; ++i)
    EXPECT_TRUE(res[i].status == cases[i].status ||
                (cases[i].status == VDR_STATUS_EQUIVALENT && res[i].status == VDR_STATUS_MATCH))
        << cases[i].line << ": " << vdr_status_name(res[i].status) << "\n"
        << (res[i].legacy_json ? res[i].legacy_json : "") << "\n"
        << (res[i].turbo_json ? res[i].turbo_json : "");
  vdr_run_free(run);
  vdr_free(err);
}

// The member names of a merged payload are copied into the arena: they stay
// readable (by their length) after the payload's value and the input are gone,
// until the next message.
TEST(StructFixtures, MergedNamesLiveInTheArena) {
  ln_ctx ctx = ln_initCtx();
  ln_setCtxOpts(ctx, LN_CTXOPT_TURBO);
  ASSERT_EQ(ln_loadSamplesFromString(ctx, "version=2\nrule=:%.:json%\nrule=:%kv:name-value-list%\n"), 0);
  ASSERT_TRUE(ln_turbo_is_available(ctx));
  const ln_arena_t &arena = ctx->turbo->arena;
  for (const char *msg : {"{\"outer\":{\"inner_name_long_enough\":\"v\"},\"k\":[1]}", "alpha=1 beta=two"}) {
    SCOPED_TRACE(msg);
    auto input = std::make_unique<std::string>(msg);
    const ln_fast_result_t *r = nullptr;
    ASSERT_EQ(ln_turbo_normalize_raw(ctx, input->data(), input->size(), &r), 0);
    const char *lo = input->data(), *hi = lo + input->size();
    input.reset();
    ASSERT_GE(r->n_fields, 2);
    for (int i = 0; i < r->n_fields; ++i) {
      const ln_fast_field_t &f = r->fields[i];
      EXPECT_FALSE(f.name >= lo && f.name < hi) << "name points into the input";
      const bool in_arena = reinterpret_cast<const uint8_t *>(f.name) >= arena.base &&
                            reinterpret_cast<const uint8_t *>(f.name) < arena.base + arena.capacity;
      const bool is_rule_name = std::string(f.name, f.name_len) == "kv";
      EXPECT_TRUE(in_arena || is_rule_name) << std::string(f.name, f.name_len);
      EXPECT_GT(std::string(f.name, f.name_len).size(), 0u);
    }
  }
  ln_exitCtx(ctx);
}

// Findings of the differential fuzzer: a value with a zero byte reads up to
// it, as the walker's JSON text does; a payload whose dotted member names
// would nest past what a JSON reader takes is declined, not written.
TEST(StructFixtures, ZeroBytesAndDeepNamesFollowTheWalker) {
  ln_ctx ctx = ln_initCtx();
  ln_setCtxOpts(ctx, LN_CTXOPT_TURBO);
  ASSERT_EQ(ln_loadSamplesFromString(ctx, "version=2\nrule=:L %lea:checkpoint-lea%\nrule=:J %j:json%\n"), 0);
  ASSERT_TRUE(ln_turbo_is_available(ctx));
  const std::string lea("L a: x\0y; b: 2;", 15);
  char *text = nullptr;
  size_t n = 0;
  ASSERT_EQ(ln_turbo_normalize_to_str(ctx, lea.data(), lea.size(), &text, &n), 0);
  EXPECT_EQ(std::string(text, n), "{\"lea\":{\"a\":\"x\",\"b\":\"2\"}}");
  free(text);
  std::string deep = "J {\"";
  for (int i = 0; i < 40; ++i) deep += "k.";
  deep += "k\":1}";
  text = nullptr;
  EXPECT_EQ(ln_turbo_normalize_to_str(ctx, deep.data(), deep.size(), &text, &n), -1);
  EXPECT_EQ(text, nullptr);
  ln_exitCtx(ctx);
}

} // namespace
