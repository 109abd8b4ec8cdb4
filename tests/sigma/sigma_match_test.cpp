// The evaluator: predicate semantics (folding, absent versus empty, negation,
// field references, integers, CIDR, regular expressions with their limits),
// selections, postfix conditions with short-circuit, routing, the prefilter
// decision and its edge cases, hits, statistics, and no allocation per event.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <new>
#include <string>

#include "sigma/sigma_internal.h"
#include "sigma/sigma_match.h"
#include "sigma_builder.h"

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<bool> g_count{false};
static std::atomic<uint64_t> g_news{0};
void *operator new(size_t n) {
  if (g_count) g_news++;
  if (void *p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void *operator new[](size_t n) { return operator new(n); }
void *operator new(size_t n, const std::nothrow_t &) noexcept {
  if (g_count) g_news++;
  return std::malloc(n ? n : 1);
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t) noexcept { std::free(p); }

namespace {

using sigma_test::builder;
using sigma_test::event;
using sigma_test::pred_spec;

// A loaded database with its evaluator.
struct loaded {
  sigma_db_t db{};
  sigma_eval_t *ev = nullptr;
  explicit loaded(const builder &b) {
    EXPECT_EQ(sigma_test::load(b.image(), &db), SIGMA_OK);
    ev = sigma_eval_create(&db);
  }
  ~loaded() {
    sigma_eval_free(ev);
    sigma_db_free(&db);
  }
  std::vector<uint32_t> run(const event &e, int mode = SIGMA_PREFILTER_AUTO) {
    sigma_eval_set_prefilter(ev, mode);
    sigma_hit_t hits[64];
    uint32_t n = sigma_eval_run(ev, event::lookup, const_cast<event *>(&e), hits, 64);
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < n && i < 64; i++) ids.push_back(hits[i].rule_id);
    return ids;
  }
};

const uint8_t kNet10[4] = {10, 0, 0, 0};
const uint8_t kNet172[4] = {172, 16, 0, 0};
const uint8_t kNetDoc6[16] = {0x20, 0x01, 0x0d, 0xb8};

TEST(SigmaMatch, PredicateSemantics) {
  struct pred_case {
    const char *name;
    pred_spec p;
    std::vector<std::pair<std::string, std::string>> kv;
    bool expect;
  };
  const uint8_t CS = SIGMA_PF_CASE, NEG = SIGMA_PF_NEGATE, REF = SIGMA_PF_FIELDREF;
  const std::vector<pred_case> cases = {
      // Folding is ASCII only.
      {"eq folds ASCII", {"a", SIGMA_OP_EQ, "CMD.exe"}, {{"a", "cmd.EXE"}}, true},
      {"eq case-sensitive", {"a", SIGMA_OP_EQ, "CMD.exe", CS}, {{"a", "cmd.EXE"}}, false},
      {"eq non-ASCII not folded", {"a", SIGMA_OP_EQ, "\xC3\x89t\xC3\xA9"}, {{"a", "\xC3\xA9t\xC3\xA9"}}, false},
      {"eq length differs", {"a", SIGMA_OP_EQ, "abc"}, {{"a", "abcd"}}, false},
      {"contains", {"a", SIGMA_OP_CONTAINS, "IKAT"}, {{"a", "C:\\mimikatz.exe"}}, true},
      {"contains case-sensitive", {"a", SIGMA_OP_CONTAINS, "IKAT", CS}, {{"a", "mimikatz"}}, false},
      {"contains long haystack",
       {"a", SIGMA_OP_CONTAINS, "needle"},
       {{"a", std::string(40, 'n') + "NEEDLE" + std::string(40, 'e')}},
       true},
      {"contains past the end", {"a", SIGMA_OP_CONTAINS, "xyz"}, {{"a", "abcdefghijklmnopqrstuvwxy"}}, false},
      {"startswith", {"a", SIGMA_OP_STARTSWITH, "POWER"}, {{"a", "powershell -enc"}}, true},
      {"startswith longer than value", {"a", SIGMA_OP_STARTSWITH, "powershell"}, {{"a", "power"}}, false},
      {"endswith", {"a", SIGMA_OP_ENDSWITH, ".EXE"}, {{"a", "x.exe"}}, true},
      {"endswith case-sensitive", {"a", SIGMA_OP_ENDSWITH, ".EXE", CS}, {{"a", "x.exe"}}, false},
      {"empty value is in every value", {"a", SIGMA_OP_CONTAINS, ""}, {{"a", ""}}, true},
      {"empty prefix", {"a", SIGMA_OP_STARTSWITH, ""}, {{"a", "x"}}, true},
      // Absent versus empty.
      {"eq empty on absent field", {"a", SIGMA_OP_EQ, ""}, {}, false},
      {"eq empty on empty field", {"a", SIGMA_OP_EQ, ""}, {{"a", ""}}, true},
      {"exists on empty field", {"a", SIGMA_OP_EXISTS, ""}, {{"a", ""}}, false},
      {"exists", {"a", SIGMA_OP_EXISTS, ""}, {{"a", "x"}}, true},
      {"negated exists on empty field", {"a", SIGMA_OP_EXISTS, "", NEG}, {{"a", ""}}, true},
      {"negated eq on absent field", {"a", SIGMA_OP_EQ, "x", NEG}, {}, true},
      {"negated contains that holds", {"a", SIGMA_OP_CONTAINS, "x", NEG}, {{"a", "axb"}}, false},
      {"integer on absent field", {"a", SIGMA_OP_GT, "", 0, 0, 1}, {}, false},
      // Field-to-field comparison.
      {"field ref equal", {"a", SIGMA_OP_EQ, "b", REF}, {{"a", "Host1"}, {"b", "host1"}}, true},
      {"field ref case-sensitive", {"a", SIGMA_OP_EQ, "b", REF | CS}, {{"a", "Host1"}, {"b", "host1"}}, false},
      {"field ref other absent", {"a", SIGMA_OP_EQ, "b", REF}, {{"a", "x"}}, false},
      {"field ref other absent, negated", {"a", SIGMA_OP_EQ, "b", REF | NEG}, {{"a", "x"}}, true},
      {"field ref endswith", {"a", SIGMA_OP_ENDSWITH, "b", REF}, {{"a", "user@CORP"}, {"b", "corp"}}, true},
      // Integers.
      {"gt", {"n", SIGMA_OP_GT, "", 0, 0, 5}, {{"n", "7"}}, true},
      {"gt equal", {"n", SIGMA_OP_GT, "", 0, 0, 7}, {{"n", "7"}}, false},
      {"gte equal", {"n", SIGMA_OP_GTE, "", 0, 0, 7}, {{"n", "7"}}, true},
      {"lt negative", {"n", SIGMA_OP_LT, "", 0, 0, 0}, {{"n", "-3"}}, true},
      {"lte", {"n", SIGMA_OP_LTE, "", 0, 0, -3}, {{"n", "-3"}}, true},
      {"plus sign", {"n", SIGMA_OP_NUMEQ, "", 0, 0, 7}, {{"n", "+7"}}, true},
      {"trailing text ignored", {"n", SIGMA_OP_NUMEQ, "", 0, 0, 7}, {{"n", "7xyz"}}, true},
      {"lone plus", {"n", SIGMA_OP_LT, "", 0, 0, 100}, {{"n", "+"}}, false},
      {"leading text", {"n", SIGMA_OP_LT, "", 0, 0, 100}, {{"n", "x7"}}, false},
      {"sign then text", {"n", SIGMA_OP_LT, "", 0, 0, 100}, {{"n", "-x"}}, false},
      {"empty is no integer", {"n", SIGMA_OP_LT, "", 0, 0, 100}, {{"n", ""}}, false},
      {"no integer, negated", {"n", SIGMA_OP_GT, "", NEG, 0, 1}, {{"n", "abc"}}, true},
      {"saturates high", {"n", SIGMA_OP_NUMEQ, "", 0, 0, INT64_MAX}, {{"n", "99999999999999999999"}}, true},
      {"saturates low", {"n", SIGMA_OP_NUMEQ, "", 0, 0, INT64_MIN}, {{"n", "-99999999999999999999"}}, true},
      {"int64 min exactly", {"n", SIGMA_OP_NUMEQ, "", 0, 0, INT64_MIN}, {{"n", "-9223372036854775808"}}, true},
      {"int64 max exactly", {"n", SIGMA_OP_NUMEQ, "", 0, 0, INT64_MAX}, {{"n", "9223372036854775807"}}, true},
      // CIDR (cidr 0: 10.0.0.0/8, 1: 172.16.0.0/12, 2: 2001:db8::/32, 3: 0.0.0.0/0).
      {"v4 inside", {"ip", SIGMA_OP_CIDR, "", 0, 0, 0, 0}, {{"ip", "10.200.1.1"}}, true},
      {"v4 outside", {"ip", SIGMA_OP_CIDR, "", 0, 0, 0, 0}, {{"ip", "11.0.0.1"}}, false},
      {"v4 partial byte inside", {"ip", SIGMA_OP_CIDR, "", 0, 0, 0, 1}, {{"ip", "172.31.255.255"}}, true},
      {"v4 partial byte outside", {"ip", SIGMA_OP_CIDR, "", 0, 0, 0, 1}, {{"ip", "172.32.0.0"}}, false},
      {"v6 subject, v4 entry", {"ip", SIGMA_OP_CIDR, "", 0, 0, 0, 0}, {{"ip", "::ffff:10.0.0.1"}}, false},
      {"v6 inside", {"ip", SIGMA_OP_CIDR, "", 0, 0, 0, 2}, {{"ip", "2001:DB8::1"}}, true},
      {"v6 outside", {"ip", SIGMA_OP_CIDR, "", 0, 0, 0, 2}, {{"ip", "2001:db9::1"}}, false},
      {"v4 subject, v6 entry", {"ip", SIGMA_OP_CIDR, "", 0, 0, 0, 2}, {{"ip", "10.0.0.1"}}, false},
      {"prefix 0", {"ip", SIGMA_OP_CIDR, "", 0, 0, 0, 3}, {{"ip", "255.1.2.3"}}, true},
      {"not an address", {"ip", SIGMA_OP_CIDR, "", 0, 0, 0, 0}, {{"ip", "10.0.0.1 "}}, false},
      {"46 bytes", {"ip", SIGMA_OP_CIDR, "", 0, 0, 0, 3}, {{"ip", std::string(46, '1')}}, false},
      {"negated cidr", {"ip", SIGMA_OP_CIDR, "", NEG, 0, 0, 0}, {{"ip", "11.0.0.1"}}, true},
      // Regular expressions.
      {"re anywhere", {"a", SIGMA_OP_RE, "b+c"}, {{"a", "xxabbbcyy"}}, true},
      {"re caseless", {"a", SIGMA_OP_RE, "^abc$"}, {{"a", "ABC"}}, true},
      {"re case-sensitive", {"a", SIGMA_OP_RE, "^abc$", CS}, {{"a", "ABC"}}, false},
      {"re that does not compile", {"a", SIGMA_OP_RE, "a(b"}, {{"a", "a(b"}}, false},
      {"re hitting the match limit", {"a", SIGMA_OP_RE, "^(a+)+$"}, {{"a", std::string(40, 'a') + "b"}}, false},
      {"re with NUL in value", {"a", SIGMA_OP_RE, "a.b"}, {{"a", std::string("a\0b", 3)}}, true},
      {"unknown operator", {"a", 12, "x"}, {{"a", "x"}}, false},
  };
  for (const auto &c : cases) {
    builder b;
    b.cidr(4, 8, kNet10);
    b.cidr(4, 12, kNet172);
    b.cidr(6, 32, kNetDoc6);
    const uint8_t zero[4] = {};
    b.cidr(4, 0, zero);
    b.rule(1, {{c.p}});
    // Pool strings are not terminated: a value followed by more text must
    // not be read past its length.
    b.value("TRAILING(");
    loaded l(b);
    event e;
    for (const auto &[k, v] : c.kv) e.set(k, v);
    uint32_t n = sigma_eval_run_linear(l.ev, event::lookup, &e, nullptr, 0);
    EXPECT_EQ(n, c.expect ? 1u : 0u) << c.name;
  }
}

TEST(SigmaMatch, HelperFunctions) {
  const char *h = "abcABCabd";
  EXPECT_EQ(sigma_memmem_ci(h, 9, "ABD", 3), h + 6);
  const std::string hay = std::string(33, 'x') + "Needle" + "needle";
  EXPECT_EQ(sigma_memmem_ci(hay.data(), hay.size(), "nEEDLE", 6), hay.data() + 33);
  EXPECT_EQ(sigma_memmem_ci(hay.data(), hay.size(), "needlf", 6), nullptr);
  EXPECT_EQ(sigma_memmem_ci(hay.data(), 5, "", 0), hay.data());
  // The needle's last byte is the haystack's last byte, after a whole block.
  const std::string edge = std::string(16, 'y') + "zq";
  EXPECT_EQ(sigma_memmem_ci(edge.data(), edge.size(), "Q", 1), edge.data() + 17);
  // Folding 8 bytes at once agrees with the byte table for every byte value
  // in every lane, whatever its neighbours.
  for (int b = 0; b < 256; b++)
    for (int lane = 0; lane < 8; lane++) {
      uint8_t bytes[8] = {0xFF, 'A', 'z', 0x80, '@', '[', 'Z', 0x7F};
      bytes[lane] = uint8_t(b);
      uint64_t x, want;
      std::memcpy(&x, bytes, 8);
      for (uint8_t &c : bytes) c = sigma_fold(c);
      std::memcpy(&want, bytes, 8);
      ASSERT_EQ(sigma_fold8(x), want) << "byte " << b << " lane " << lane;
    }
  int64_t v = 0;
  EXPECT_TRUE(sigma_parse_int("42abc", 5, &v));
  EXPECT_EQ(v, 42);
  EXPECT_FALSE(sigma_parse_int("-", 1, &v));
  EXPECT_TRUE(sigma_parse_int("-0", 2, &v));
  EXPECT_EQ(v, 0);
}

TEST(SigmaMatch, SelectionGroups) {
  struct sel_case {
    const char *name;
    std::vector<std::pair<std::string, std::string>> kv;
    bool expect;
  };
  // Groups 0, 1, 0: three groups (non-adjacent equal ids are separate).
  builder b;
  b.rule(1, {{{"a", SIGMA_OP_EQ, "x", 0, 0}, {"a", SIGMA_OP_EQ, "y", 0, 0},
              {"b", SIGMA_OP_EQ, "z", 0, 1}, {"c", SIGMA_OP_EQ, "w", 0, 0}}});
  b.rule(2, {{}}); // a selection without predicates never matches
  b.rule(3, {});   // no selections and no condition never fires
  loaded l(b);
  const std::vector<sel_case> cases = {
      {"first alternative", {{"a", "x"}, {"b", "z"}, {"c", "w"}}, true},
      {"second alternative", {{"a", "y"}, {"b", "z"}, {"c", "w"}}, true},
      {"first group fails", {{"a", "q"}, {"b", "z"}, {"c", "w"}}, false},
      {"last group fails", {{"a", "x"}, {"b", "z"}, {"c", "q"}}, false},
      {"middle group fails", {{"a", "x"}, {"b", "q"}, {"c", "w"}}, false},
  };
  for (const auto &c : cases) {
    event e;
    for (const auto &[k, v] : c.kv) e.set(k, v);
    EXPECT_EQ(l.run(e), c.expect ? std::vector<uint32_t>{1} : std::vector<uint32_t>{}) << c.name;
  }
}

TEST(SigmaMatch, ConditionsShortCircuit) {
  using tok = std::pair<uint8_t, uint32_t>;
  const tok S0{SIGMA_C_SEL, 0}, S1{SIGMA_C_SEL, 1}, S9{SIGMA_C_SEL, 9}, AND{SIGMA_C_AND, 0},
      OR{SIGMA_C_OR, 0}, NOT{SIGMA_C_NOT, 0};
  struct cond_case {
    const char *name;
    std::vector<tok> tokens;
    std::vector<std::pair<std::string, std::string>> kv;
    bool fires;
    uint32_t lookups; // fields asked for
  };
  const std::vector<cond_case> cases = {
      {"a or b, a true: b never tested", {S0, S1, OR}, {{"a", "1"}}, true, 1},
      {"a or b, a false", {S0, S1, OR}, {{"b", "1"}}, true, 2},
      {"a and b, a false: b never tested", {S0, S1, AND}, {{"b", "1"}}, false, 1},
      {"a and b", {S0, S1, AND}, {{"a", "1"}, {"b", "1"}}, true, 2},
      {"not a and b, a true", {S0, NOT, S1, AND}, {{"a", "1"}, {"b", "1"}}, false, 1},
      {"not a and b, a absent", {S0, NOT, S1, AND}, {{"b", "1"}}, true, 2},
      {"not (a or b)", {S0, S1, OR, NOT}, {{"c", "1"}}, true, 2},
      {"not not a (operator before operand)", {NOT, NOT, S0}, {{"a", "1"}}, false, 0},
      {"and with one operand", {S0, AND}, {{"a", "1"}}, false, 0},
      {"two values left", {S0, S1}, {{"a", "1"}, {"b", "1"}}, false, 0},
      {"selection out of range", {S9}, {{"a", "1"}}, false, 0},
      {"no tokens: every selection", {}, {{"a", "1"}, {"b", "1"}}, true, 2},
      {"no tokens, first fails", {}, {{"b", "1"}}, false, 1},
  };
  for (const auto &c : cases) {
    builder b;
    b.rule(1, {{{"a", SIGMA_OP_EQ, "1"}}, {{"b", SIGMA_OP_EQ, "1"}}}, c.tokens);
    loaded l(b);
    event e;
    for (const auto &[k, v] : c.kv) e.set(k, v);
    uint32_t n = sigma_eval_run_linear(l.ev, event::lookup, &e, nullptr, 0);
    EXPECT_EQ(n, c.fires ? 1u : 0u) << c.name;
    EXPECT_EQ(e.lookups, c.lookups) << c.name;
  }
  // A condition deeper than the stack does not fire.
  builder b;
  std::vector<tok> deep(65, S0);
  for (int i = 0; i < 64; i++) deep.push_back(AND);
  b.rule(1, {{{"a", SIGMA_OP_EQ, "1"}}}, deep);
  std::vector<tok> ok(64, S0);
  for (int i = 0; i < 63; i++) ok.push_back(AND);
  b.rule(2, {{{"a", SIGMA_OP_EQ, "1"}}}, ok);
  loaded l(b);
  event e;
  e.set("a", "1");
  EXPECT_EQ(l.run(e), std::vector<uint32_t>{2});
}

// Rules 10 (bucket "process"), 11 (buckets "process" and "network"),
// 12 (any-bucket), 13 (no bucket): each fires on x=1.
builder routed_builder() {
  builder b;
  for (uint32_t id = 10; id <= 13; id++) b.rule(id, {{{"x", SIGMA_OP_EQ, "1"}}});
  b.field("event.category");
  b.bucket("process", {0, 1});
  b.bucket("network", {1});
  b.bucket("", {2});
  return b;
}

TEST(SigmaMatch, Routing) {
  builder b = routed_builder();
  loaded l(b);
  ASSERT_NE(l.db.cat_field_id, SIGMA_NONE);
  struct route_case {
    const char *name;
    std::vector<std::pair<std::string, std::string>> kv;
    std::vector<uint32_t> hits;
  };
  const std::vector<route_case> cases = {
      {"unrouted: every rule", {{"x", "1"}}, {10, 11, 12, 13}},
      {"empty routing value is no route", {{"x", "1"}, {"product", ""}}, {10, 11, 12, 13}},
      {"category", {{"x", "1"}, {"event.category", "process"}}, {10, 11, 12}},
      {"rule in two buckets fires once",
       {{"x", "1"}, {"event.category", "process"}, {"event.module", "network"}},
       {10, 11, 12}},
      {"other routing field", {{"x", "1"}, {"log.syslog.appname", "network"}}, {11, 12}},
      {"keys are case-sensitive", {{"x", "1"}, {"product", "Process"}}, {12}},
      {"no bucket: only the any-bucket", {{"x", "1"}, {"techno", "dns"}}, {12}},
  };
  for (const auto &c : cases) {
    event e;
    for (const auto &[k, v] : c.kv) e.set(k, v);
    EXPECT_EQ(l.run(e), c.hits) << c.name;
  }
  // Without an any-bucket, a routed event matching no bucket fires nothing.
  builder nb;
  nb.rule(1, {{{"x", SIGMA_OP_EQ, "1"}}});
  nb.bucket("process", {0});
  loaded ln(nb);
  event e;
  e.set("x", "1").set("product", "dns");
  EXPECT_EQ(ln.run(e), std::vector<uint32_t>{});
  sigma_eval_stats_t st;
  sigma_eval_get_stats(ln.ev, &st);
  EXPECT_EQ(st.events, 1u);
  EXPECT_EQ(st.rules_evaluated, 0u);
}

TEST(SigmaMatch, HitsAndCounts) {
  builder b;
  uint32_t r0 = b.rule(5, {{{"x", SIGMA_OP_EQ, "1"}}});
  b.rule(6, {{{"x", SIGMA_OP_EQ, "1"}}});
  b.rules[r0].verdict = SIGMA_VERDICT_ESCALATE;
  b.rules[r0].severity = 4;
  b.rules[r0].score_x100 = 750;
  b.rules[r0].mitre_id = b.value("T1059.001");
  loaded l(b);
  event e;
  e.set("x", "1");
  EXPECT_EQ(sigma_eval_run(l.ev, event::lookup, &e, nullptr, 0), 2u);
  sigma_hit_t hits[1];
  EXPECT_EQ(sigma_eval_run(l.ev, event::lookup, &e, hits, 1), 2u);
  EXPECT_EQ(hits[0].rule_id, 5u);
  EXPECT_EQ(hits[0].verdict, SIGMA_VERDICT_ESCALATE);
  EXPECT_EQ(hits[0].severity, 4);
  EXPECT_EQ(hits[0].score_x100, 750);
  EXPECT_EQ(std::string(hits[0].mitre, hits[0].mitre_len), "T1059.001");
  sigma_eval_run(l.ev, event::lookup, &e, hits + 0, 1);
  sigma_eval_stats_t st;
  sigma_eval_get_stats(l.ev, &st);
  EXPECT_EQ(st.events, 3u);
  EXPECT_EQ(st.rules_evaluated, 6u);
  sigma_eval_reset_stats(l.ev);
  sigma_eval_get_stats(l.ev, &st);
  EXPECT_EQ(st.events, 0u);
  sigma_eval_get_stats(nullptr, &st);
  EXPECT_EQ(st.rules_considered, 0u);
  EXPECT_EQ(sigma_eval_run(nullptr, event::lookup, &e, nullptr, 0), 0u);
}

// n rules in bucket "process", each "cmd contains needle<i>" with that needle
// as its single clause.
builder prefilter_builder(uint32_t n) {
  builder b;
  std::vector<uint32_t> pos;
  for (uint32_t i = 0; i < n; i++)
    pos.push_back(b.rule(i, {{{"cmd", SIGMA_OP_CONTAINS, "needle" + std::to_string(i)}}}));
  b.bucket("process", pos);
  b.rule_clauses.assign(n, 1);
  for (uint32_t i = 0; i < n; i++) b.needle("needle" + std::to_string(i), {{i, "cmd", 0}});
  return b;
}

TEST(SigmaMatch, PrefilterDecision) {
  struct decision_case {
    uint32_t rules;
    int mode;
    uint64_t runs;
  };
  const std::vector<decision_case> cases = {
      {255, SIGMA_PREFILTER_AUTO, 0}, {256, SIGMA_PREFILTER_AUTO, 1},
      {256, SIGMA_PREFILTER_OFF, 0},  {3, SIGMA_PREFILTER_ALWAYS, 1},
      {3, 7, 1} /* clamped to 2 */,   {256, -1, 0} /* clamped to 0 */,
  };
  for (const auto &c : cases) {
    loaded l(prefilter_builder(c.rules));
    event e;
    e.set("product", "process").set("cmd", "run needle2 and needle20 and NEEDLE2");
    const std::vector<uint32_t> expect =
        c.rules > 20 ? std::vector<uint32_t>{2, 20} : std::vector<uint32_t>{2};
    EXPECT_EQ(l.run(e, c.mode), expect) << c.rules << " rules, mode " << c.mode;
    sigma_eval_stats_t st;
    sigma_eval_get_stats(l.ev, &st);
    EXPECT_EQ(st.prefilter_runs, c.runs) << c.rules << " rules, mode " << c.mode;
    if (c.runs) {
      // needle2 is found twice in the value but counted once; needle20 once.
      EXPECT_EQ(st.literal_hits, c.rules > 20 ? 2u : 1u);
      EXPECT_EQ(st.rules_evaluated, c.rules > 20 ? 2u : 1u);
      EXPECT_GT(st.bytes_scanned, 0u);
    } else {
      EXPECT_EQ(st.rules_evaluated, c.rules);
    }
  }
  // Only the any-bucket as candidate: the prefilter stays off.
  builder b = prefilter_builder(3);
  b.bucket_keys[0] = b.str("");
  loaded l(b);
  event e;
  e.set("product", "dns").set("cmd", "needle1");
  EXPECT_EQ(l.run(e, SIGMA_PREFILTER_ALWAYS), std::vector<uint32_t>{1});
  sigma_eval_stats_t st;
  sigma_eval_get_stats(l.ev, &st);
  EXPECT_EQ(st.prefilter_runs, 0u);
}

// Prefilter data that would make rules unreachable if taken literally: none
// of them may hide a rule that fires.
TEST(SigmaMatch, PrefilterNeverSkipsAFiringRule) {
  builder b;
  std::vector<uint32_t> pos;
  // 0: a one-byte needle is its only clause (too short to index).
  pos.push_back(b.rule(0, {{{"cmd", SIGMA_OP_CONTAINS, "q"}}}));
  // 1: two clauses declared, only clause 0 has a needle.
  pos.push_back(b.rule(1, {{{"cmd", SIGMA_OP_CONTAINS, "run"}}, {{"user", SIGMA_OP_EQ, "root"}}}));
  // 2: no clause, not listed as always-candidate.
  pos.push_back(b.rule(2, {{{"user", SIGMA_OP_EQ, "root"}}}));
  // 3: needle on a field its predicates never test (the bucket field set
  // must still scan it).
  pos.push_back(b.rule(3, {{{"user", SIGMA_OP_EQ, "root"}}}));
  // 4: a clause with one short and one indexable alternative.
  pos.push_back(b.rule(4, {{{"cmd", SIGMA_OP_CONTAINS, "z", 0, 0}, {"cmd", SIGMA_OP_CONTAINS, "zz", 0, 0}}}));
  b.field("host");
  b.bucket("process", pos);
  b.rule_clauses = {1, 2, 0, 1, 1};
  b.needle("q", {{0, "cmd", 0}});
  b.needle("run", {{1, "cmd", 0}});
  b.needle("root", {{3, "host", 0}});
  b.needle("z", {{4, "cmd", 0}});
  b.needle("zz", {{4, "cmd", 0}});
  loaded l(b);
  event e;
  e.set("product", "process").set("cmd", "run q z").set("user", "root").set("host", "root1");
  const std::vector<uint32_t> all = {0, 1, 2, 3, 4};
  EXPECT_EQ(l.run(e, SIGMA_PREFILTER_OFF), all);
  EXPECT_EQ(l.run(e, SIGMA_PREFILTER_ALWAYS), all);
  // The prefilter still rejects rules whose indexable clauses are missing.
  event miss;
  miss.set("product", "process").set("cmd", "q z").set("user", "root").set("host", "x");
  EXPECT_EQ(l.run(miss, SIGMA_PREFILTER_OFF), (std::vector<uint32_t>{0, 2, 3, 4}));
  EXPECT_EQ(l.run(miss, SIGMA_PREFILTER_ALWAYS), (std::vector<uint32_t>{0, 2, 4}));

  // Needles without any clause counts: no rule is skipped.
  builder nc;
  nc.rule(0, {{{"cmd", SIGMA_OP_CONTAINS, "abc"}}});
  nc.bucket("process", {0});
  nc.needle("abc", {});
  loaded lnc(nc);
  event e2;
  e2.set("product", "process").set("cmd", "xabcx");
  EXPECT_EQ(lnc.run(e2, SIGMA_PREFILTER_ALWAYS), std::vector<uint32_t>{0});
}

// Needles of 8 bytes or more are compared on their folded tail first.
TEST(SigmaMatch, LongNeedlesFoldAsciiOnly) {
  struct long_case {
    std::string needle, value;
    bool found;
  };
  const std::vector<long_case> cases = {
      {"PowerShell.EXE", "run powershell.exe -nop", true},
      {"powershell.exe", "POWERSHELL.EX", false},
      {"\\windows\\system32\\", "C:\\WINDOWS\\System32\\cmd", true},
      {"abcdefgh", "xxABCDEFGH", true},
      {"abcdefgh", "abcdefgX", false},
      {"caf\xC3\xA9-latte", "CAF\xC3\xA9-LATTE", true},
      {"caf\xC3\xA9-latte", "caf\xC3\x89-latte", false},
      {"same-prefix-one", "same-prefix-two same-prefix-one", true},
  };
  for (const auto &c : cases) {
    builder b;
    b.rule(0, {{{"cmd", SIGMA_OP_EXISTS, ""}}});
    b.bucket("process", {0});
    b.rule_clauses = {1};
    b.needle("same-prefix-two-x", {{0, "cmd", 0}}); // shares the chain
    b.needle(c.needle, {{0, "cmd", 0}});
    loaded l(b);
    event e;
    e.set("product", "process").set("cmd", c.value);
    EXPECT_EQ(l.run(e, SIGMA_PREFILTER_ALWAYS).size(), c.found ? 1u : 0u) << c.needle << " in " << c.value;
  }
}

TEST(SigmaMatch, LiteralHitsPerField) {
  builder b;
  uint32_t r = b.rule(0, {{{"a", SIGMA_OP_CONTAINS, "evil"}}});
  b.field("b");
  b.bucket("process", {r});
  b.rule_clauses = {1};
  b.needle("evil", {{0, "", 0}}); // any field
  loaded l(b);
  ASSERT_EQ(l.db.lit_any_field, 1);
  event e;
  e.set("product", "process").set("a", "evil evil").set("b", "EVIL");
  EXPECT_EQ(l.run(e, SIGMA_PREFILTER_ALWAYS), std::vector<uint32_t>{0});
  sigma_eval_stats_t st;
  sigma_eval_get_stats(l.ev, &st);
  EXPECT_EQ(st.literal_hits, 2u); // once per field
}

TEST(SigmaMatch, NumericAndNetworkClauses) {
  builder b;
  uint32_t c = b.cidr(4, 8, kNet10);
  b.rule(0, {{{"port", SIGMA_OP_GT, "", 0, 0, 1024}}});
  b.rule(1, {{{"ip", SIGMA_OP_CIDR, "", 0, 0, 0, c}}});
  b.bucket("network", {0, 1});
  b.rule_clauses = {1, 1};
  sigma_fwit_t w{};
  w.rule_idx = 0, w.field_id = uint16_t(b.field("port")), w.op = SIGMA_OP_GT, w.ival = 1024;
  b.fwit.push_back(w);
  w.rule_idx = 1, w.field_id = uint16_t(b.field("ip")), w.op = SIGMA_OP_CIDR, w.ival = c;
  b.fwit.push_back(w);
  loaded l(b);
  struct clause_case {
    std::string port, ip;
    std::vector<uint32_t> hits;
  };
  for (const auto &c2 : std::vector<clause_case>{{"8080", "10.1.1.1", {0, 1}},
                                                {"80", "11.1.1.1", {}},
                                                {"x", "10.0.0.1", {1}},
                                                {"2000", "", {0}}}) {
    event e;
    e.set("product", "network").set("port", c2.port).set("ip", c2.ip);
    EXPECT_EQ(l.run(e, SIGMA_PREFILTER_ALWAYS), c2.hits) << c2.port << " " << c2.ip;
    EXPECT_EQ(l.run(e, SIGMA_PREFILTER_OFF), c2.hits) << c2.port << " " << c2.ip;
  }
}

TEST(SigmaMatch, NoAllocationPerEvent) {
  builder b = prefilter_builder(300);
  b.rule(999, {{{"cmd", SIGMA_OP_RE, "needle1[0-9]"}}});
  b.bucket_idx.push_back(300);
  b.buckets[0].idx_count++;
  b.rule_clauses.push_back(0);
  loaded l(b);
  event e;
  e.set("product", "process").set("cmd", "needle12 needle3").set("user", "u");
  sigma_hit_t hits[8];
  sigma_eval_run(l.ev, event::lookup, &e, hits, 8); // first use creates the match data
  g_news = 0;
  g_count = true;
  uint32_t total = 0;
  for (int i = 0; i < 1000; i++) {
    total += sigma_eval_run(l.ev, event::lookup, &e, hits, 8);
    total += sigma_eval_run_linear(l.ev, event::lookup, &e, hits, 8);
  }
  g_count = false;
  EXPECT_EQ(g_news.load(), 0u);
  EXPECT_EQ(total, 2000u * 4); // rules 1, 3, 12 and 999
}

} // namespace
