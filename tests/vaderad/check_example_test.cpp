// Both engines on the bundled example rulebase and samples, through the
// comparison run: every sample the walker parses, structured payloads
// included, is a match or an equivalent; nothing is a divergence or
// VaderAD-only, also on samples with a few bytes changed.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/veldra.h"
#include "normalizer/context.h"
#include "normalizer/walker.h"
#include "vaderad/turbo_json.h"

namespace {

const std::string kExamples = std::string(VELDRA_SOURCE_DIR) + "/examples/";

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// The field types of the rule the walker matched, read from its rule
// mock-up ("%name:type%" per field); empty when the line is unparsed.
std::set<std::string> rule_types(ln_ctx ctx, const std::string &line, bool *parsed) {
  std::set<std::string> types;
  fjson_object *json = nullptr;
  *parsed = ln_normalize(ctx, line.data(), line.size(), &json) == 0;
  fjson_object *meta = nullptr, *rule = nullptr, *mock = nullptr;
  if (*parsed && fjson_object_object_get_ex(json, "metadata", &meta) &&
      fjson_object_object_get_ex(meta, "rule", &rule) &&
      fjson_object_object_get_ex(rule, "mockup", &mock)) {
    std::string m = fjson_object_get_string(mock);
    for (size_t p = m.find('%'); p != std::string::npos;) {
      size_t q = m.find('%', p + 1);
      if (q == std::string::npos) break;
      std::string tok = m.substr(p + 1, q - p - 1);
      types.insert(tok.substr(tok.rfind(':') + 1));
      p = m.find('%', q + 1);
    }
  }
  fjson_object_put(json);
  return types;
}

TEST(CheckExample, ParsedSamplesMatchOrAreEquivalent) {
  const std::set<std::string> simple = {
      "date-rfc3164", "date-rfc5424", "number", "float", "hexnumber", "kernel-timestamp",
      "whitespace", "ipv4", "ipv6", "word", "alpha", "rest", "op-quoted-string",
      "quoted-string", "date-iso", "time-24hr", "time-12hr", "duration", "mac48",
      "string-to", "char-to", "char-sep", "string", "USER-DEFINED"};
  char *err = nullptr;
  vdr_config cfg{};
  cfg.keep_json = 1;
  vdr_run *run = vdr_run_new_from_file((kExamples + "linux-syslog.rb").c_str(), &cfg, &err);
  ASSERT_NE(run, nullptr) << (err ? err : "");
  ASSERT_EQ(vdr_run_turbo_available(run), 1) << vdr_run_diagnostics(run, VDR_ENGINE_TURBO);
  const std::string samples = read_file(kExamples + "samples.log");
  vdr_run_samples(run, samples.c_str(), nullptr, nullptr);

  ln_ctx walker = ln_initCtx();
  ln_setCtxOpts(walker, LN_CTXOPT_ADD_RULE);
  ASSERT_EQ(ln_loadSamples(walker, (kExamples + "linux-syslog.rb").c_str()), 0);

  size_t n = 0, simple_lines = 0, structured_lines = 0;
  const vdr_result *res = vdr_run_results(run, &n);
  ASSERT_GT(n, 4000u);
  for (size_t i = 0; i < n; ++i) {
    const vdr_result &r = res[i];
    EXPECT_NE(r.status, VDR_STATUS_DIVERGENCE) << r.line << "\n" << r.legacy_json << "\n" << (r.turbo_json ? r.turbo_json : "");
    EXPECT_NE(r.status, VDR_STATUS_TURBO_ONLY) << r.line;
    bool parsed = false;
    std::set<std::string> types = rule_types(walker, r.line, &parsed);
    if (!parsed) continue;
    bool only_simple = true;
    for (const std::string &t : types) only_simple = only_simple && simple.count(t);
    simple_lines += only_simple;
    structured_lines += !only_simple;
    EXPECT_TRUE(r.status == VDR_STATUS_MATCH || r.status == VDR_STATUS_EQUIVALENT)
        << vdr_status_name(r.status) << ": " << r.line;
  }
  EXPECT_GT(simple_lines, 3000u);
  EXPECT_GE(structured_lines, 13u);
  ln_exitCtx(walker);
  vdr_run_free(run);
  vdr_free(err);
}

// Samples with one to three bytes deleted, inserted or replaced (seeded):
// near misses of every rule. VaderAD may decline but never disagrees.
TEST(CheckExample, MutatedSamplesNeverDiverge) {
  const std::string text = read_file(kExamples + "samples.log");
  std::vector<std::string> lines;
  std::istringstream is(text);
  for (std::string l; std::getline(is, l);) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    if (!l.empty()) lines.push_back(l);
  }
  ASSERT_FALSE(lines.empty());
  std::mt19937 rng(2024); // fixed seed: the same samples on every run
  const std::string bytes = " :[]-.0123456789aZ\"\\=x\t";
  std::string samples;
  for (int i = 0; i < 3000; ++i) {
    std::string m = lines[rng() % lines.size()];
    for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k) {
      size_t p = m.size() > 16 ? 16 + rng() % (m.size() - 15) : rng() % (m.size() + 1);
      const char c = bytes[rng() % bytes.size()];
      switch (rng() % 3) {
      case 0: if (p < m.size()) m.erase(p, 1); break;
      case 1: m.insert(m.begin() + static_cast<long>(p), c); break;
      default: if (p < m.size()) m[p] = c;
      }
    }
    samples += m + "\n";
  }
  char *err = nullptr;
  vdr_config cfg{};
  cfg.keep_json = 1;
  vdr_run *run = vdr_run_new_from_file((kExamples + "linux-syslog.rb").c_str(), &cfg, &err);
  ASSERT_NE(run, nullptr) << (err ? err : "");
  vdr_run_samples(run, samples.c_str(), nullptr, nullptr);
  size_t n = 0;
  const vdr_result *res = vdr_run_results(run, &n);
  for (size_t i = 0; i < n; ++i)
    EXPECT_TRUE(res[i].status != VDR_STATUS_DIVERGENCE && res[i].status != VDR_STATUS_TURBO_ONLY &&
                res[i].status != VDR_STATUS_DUP_FIELD)
        << vdr_status_name(res[i].status) << ": " << res[i].line << "\n" << res[i].legacy_json
        << "\n" << (res[i].turbo_json ? res[i].turbo_json : "");
  const size_t *tally = vdr_run_tally(run);
  EXPECT_GT(tally[VDR_STATUS_MATCH] + tally[VDR_STATUS_EQUIVALENT], 300u);
  vdr_run_free(run);
  vdr_free(err);
}

// The JSON text of a result whose shape was seen before is written from the
// cached layout of that shape; it must be the full writer's text, byte for
// byte, whatever the values (escapes, numbers, lengths) of that message.
TEST(CheckExample, LayoutTextsAreTheFullWritersTexts) {
  ln_ctx ctx = ln_initCtx();
  ASSERT_NE(ctx, nullptr);
  ln_setCtxOpts(ctx, LN_CTXOPT_TURBO);
  ASSERT_EQ(ln_loadSamples(ctx, (kExamples + "linux-syslog.rb").c_str()), 0);
  std::string all = read_file(kExamples + "samples.log") + read_file(kExamples + "structured.log") +
                    read_file(kExamples + "corpus/Linux_2k.log") +
                    read_file(kExamples + "corpus/OpenSSH_2k.log");
  std::vector<std::string> lines;
  for (size_t p = 0; p < all.size();) {
    size_t e = all.find('\n', p);
    if (e == std::string::npos) e = all.size();
    if (e > p) lines.push_back(all.substr(p, e - p));
    p = e + 1;
  }
  // Twice over, so that the second pass takes every shape from the cache;
  // values varied on the second pass reach the layouts' value slots.
  size_t served = 0;
  for (int pass = 0; pass < 2; ++pass) {
    for (std::string line : lines) {
      if (pass == 1)
        for (char &c : line)
          if (c >= '0' && c <= '8') ++c;
      char *text = nullptr;
      size_t n = 0;
      if (ln_turbo_normalize_to_str(ctx, line.data(), line.size(), &text, &n) != 0) continue;
      const ln_fast_result_t *r = nullptr;
      ASSERT_EQ(ln_turbo_normalize_raw(ctx, line.data(), line.size(), &r), 0);
      char *full = nullptr;
      size_t fn = 0;
      ASSERT_EQ(ln_fast_to_json_alloc(r, &full, &fn), 0);
      EXPECT_EQ(std::string(text, n), std::string(full, fn)) << line;
      free(text);
      free(full);
      ++served;
    }
  }
  EXPECT_GT(served, 5000u);
  ln_exitCtx(ctx);
}

} // namespace
