// The Sigma front end's reports: match rows, routing and KPI, explanations,
// correlation over event times, and the error objects.
#include <gtest/gtest.h>

#include <libfastjson/json.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "sigma/quarry.h"
#include "sigma_builder.h"

namespace {

using sigma_test::builder;
using sigma_test::pred_desc;

// A parsed report; fails the test when the text is not one JSON object.
struct report {
  fjson_object *root = nullptr;
  std::string text;
  explicit report(char *t) {
    text = t ? t : "";
    sg_str_free(t);
    root = fjson_tokener_parse(text.c_str());
    EXPECT_NE(root, nullptr) << text;
    EXPECT_TRUE(root && fjson_object_is_type(root, fjson_type_object)) << text;
  }
  ~report() {
    if (root) fjson_object_put(root);
  }
  // A member by a path of names and indexes: at("rows", 0, "hits").
  template <typename... P> fjson_object *at(P... path) const {
    fjson_object *o = root;
    (step(o, path), ...);
    return o;
  }
  static void step(fjson_object *&o, const char *name) {
    fjson_object *v = nullptr;
    o = o && fjson_object_object_get_ex(o, name, &v) ? v : nullptr;
  }
  static void step(fjson_object *&o, int i) {
    o = o && fjson_object_is_type(o, fjson_type_array) ? fjson_object_array_get_idx(o, i) : nullptr;
  }
  template <typename... P> std::string str(P... path) const {
    fjson_object *o = at(path...);
    return o ? fjson_object_get_string(o) : "<absent>";
  }
  template <typename... P> int64_t num(P... path) const {
    fjson_object *o = at(path...);
    return o ? fjson_object_get_int64(o) : -999;
  }
  template <typename... P> size_t len(P... path) const {
    fjson_object *o = at(path...);
    return o && fjson_object_is_type(o, fjson_type_array) ? fjson_object_array_length(o) : 0;
  }
};

sg_engine *load(const builder &b) {
  std::vector<uint8_t> img = b.image();
  char *err = nullptr;
  sg_engine *e = sg_load_mem(img.data(), img.size(), &err);
  EXPECT_NE(e, nullptr) << (err ? err : "");
  free(err);
  return e;
}

// Rule 1 "Login" for product sshd; rule 2 (any bucket) with a negated
// case-sensitive test; rule 3 for product "web" only.
builder small_db() {
  builder b;
  uint32_t r1 = b.rule(1, {{{"event.action", SIGMA_OP_EQ, "login"}}});
  b.rules[r1].name_id = b.value("Login \"quoted\"");
  b.rules[r1].mitre_id = b.value("T1078");
  b.rules[r1].score_x100 = 150;
  b.rules[r1].severity = 3;
  uint32_t r2 = b.rule(2, {{{"user.name", SIGMA_OP_EQ, "Root", SIGMA_PF_CASE | SIGMA_PF_NEGATE},
                            {"process.name", SIGMA_OP_EXISTS, "", 0, 1}}});
  b.rules[r2].verdict = SIGMA_VERDICT_BENIGN;
  uint32_t r3 = b.rule(3, {{{"url", SIGMA_OP_CONTAINS, "/admin"}}});
  b.rules[r3].verdict = SIGMA_VERDICT_ESCALATE;
  b.bucket("sshd", {r1});
  b.bucket("", {r2});
  b.bucket("web", {r3});
  return b;
}

TEST(SgQuarry, MatchRowsRoutingAndKpi) {
  sg_engine *e = load(small_db());
  ASSERT_NE(e, nullptr);
  const char *events =
      "{\"product\":\"sshd\",\"event\":{\"action\":\"LOGIN\"},\"user\":{\"name\":\"root\"},\"process\":{\"name\":\"sh\"}}\n"
      "{\"product\":\"db\"}\n"
      "{\"url\":\"/admin/x\"}\n"
      "{\"event\":{\"category\":\"web\"},\"url\":\"/home\"}\n";
  report r(sg_match_json(e, events, nullptr, nullptr));
  EXPECT_EQ(r.str("ok"), "true");
  EXPECT_EQ(r.num("n_rules"), 3);
  EXPECT_EQ(r.num("n_events"), 4);
  // Event 0: routed to sshd and the any-bucket; both rules fire.
  EXPECT_EQ(r.str("rows", 0, "route"), "product=sshd");
  EXPECT_EQ(r.num("rows", 0, "n_hits"), 2);
  EXPECT_EQ(r.str("rows", 0, "hits", 0, "title"), "Login \"quoted\"");
  EXPECT_EQ(r.str("rows", 0, "hits", 0, "mitre"), "T1078");
  EXPECT_EQ(r.str("rows", 0, "hits", 0, "score"), "1.5");
  EXPECT_EQ(r.str("rows", 0, "hits", 1, "verdict"), "benign");
  EXPECT_EQ(r.str("rows", 0, "hits", 1, "tier_preview"), "context");
  EXPECT_EQ(r.str("rows", 0, "hits", 1, "mitre"), "");
  EXPECT_EQ(r.at("rows", 0, "why"), nullptr); // rows with hits explain nothing
  // Event 1: routed, only the any-bucket selected, nothing fires.
  EXPECT_EQ(r.num("rows", 1, "n_hits"), 0);
  EXPECT_EQ(r.str("rows", 1, "why", 0, "in_scope"), "false");
  EXPECT_EQ(r.str("rows", 1, "why", 1, "in_scope"), "true");
  // Event 2: not routed, every rule evaluated.
  EXPECT_EQ(r.str("rows", 2, "had_route"), "false");
  EXPECT_EQ(r.num("rows", 2, "hits", 0, "rule_id"), 3);
  EXPECT_EQ(r.str("rows", 2, "hits", 0, "tier_preview"), "confirmed");
  EXPECT_EQ(r.num("kpi", "hits"), 3);
  EXPECT_EQ(r.num("kpi", "alert"), 1);
  EXPECT_EQ(r.num("kpi", "benign"), 1);
  EXPECT_EQ(r.num("kpi", "escalate"), 1);
  EXPECT_EQ(r.num("kpi", "route_empty_hits"), 2);
  EXPECT_EQ(r.num("kpi", "events_routed"), 3);
  sg_free(e);
}

TEST(SgQuarry, WhyOnlyForSmallDatabases) {
  for (uint32_t n : {16u, 17u}) {
    builder b;
    for (uint32_t i = 0; i < n; ++i) b.rule(i + 1, {{{"f", SIGMA_OP_EQ, "x"}}});
    sg_engine *e = load(b);
    ASSERT_NE(e, nullptr);
    report r(sg_match_json(e, "[{\"f\":\"y\"}]", nullptr, nullptr));
    EXPECT_EQ(r.len("rows", 0, "why"), n == 16 ? 16u : 0u) << n;
    sg_free(e);
  }
}

TEST(SgQuarry, ExplanationsAreExact) {
  sg_engine *e = load(small_db());
  ASSERT_NE(e, nullptr);
  // Case-sensitive "Root" against "root", negated: the predicate fires.
  report m(sg_match_json(e, "[{\"user\":{\"name\":\"root\"},\"process\":{\"name\":\"sh\"}}]", nullptr,
                         nullptr, SG_MATCH_EXPLAIN));
  EXPECT_EQ(m.num("rows", 0, "hits", 0, "rule_id"), 2);
  EXPECT_EQ(m.str("rows", 0, "hits", 0, "explain", 0, "matched"), "true");
  EXPECT_EQ(m.str("rows", 0, "hits", 0, "explain", 0, "preds", 0, "fired"), "true");
  EXPECT_EQ(m.str("rows", 0, "hits", 0, "explain", 0, "preds", 0, "negate"), "true");
  EXPECT_EQ(m.str("rows", 0, "hits", 0, "explain", 0, "preds", 1, "op"), "exists");

  // "Root" exactly: negated equality is false, so rule 2 does not fire and
  // its explanation says why.
  report x(sg_explain_json(e, "{\"user\":{\"name\":\"Root\"},\"process\":{\"name\":\"sh\"}}", 2,
                           nullptr, nullptr));
  EXPECT_EQ(x.str("hit"), "false");
  EXPECT_EQ(x.str("why"), "in scope but selection did not fire");
  EXPECT_EQ(x.str("preds", 0, "fired"), "false");
  EXPECT_EQ(x.str("preds", 0, "got"), "Root");
  // Routed elsewhere: out of scope.
  report y(sg_explain_json(e, "{\"product\":\"web\",\"event\":{\"action\":\"login\"}}", 1,
                           nullptr, nullptr));
  EXPECT_EQ(y.str("in_scope"), "false");
  EXPECT_EQ(y.str("why").rfind("Skipped:", 0), 0u);
  report z(sg_explain_json(e, "{\"a\":1}", 99, nullptr, nullptr));
  EXPECT_EQ(z.str("title"), "");
  EXPECT_EQ(z.len("preds"), 0u);
  sg_free(e);
}

TEST(SgQuarry, ErrorObjects) {
  sg_engine *e = load(small_db());
  ASSERT_NE(e, nullptr);
  struct error_case {
    char *text;
    const char *want;
  } cases[] = {
      {sg_match_json(nullptr, "[]", nullptr, nullptr), "no engine"},
      {sg_match_json(e, "garbage", nullptr, nullptr), "events must be JSON or JSONL"},
      {sg_match_json(e, "{\"a\":1}\n{\"a\":\n", nullptr, nullptr), "event JSON parse failed"},
      {sg_match_json(e, "[{\"a\":1}", nullptr, nullptr), "events JSON is not an array"},
      {sg_explain_json(e, "[]", 1, nullptr, nullptr), "no event"},
      {sg_correlate_json(e, "", "[]", nullptr, nullptr), "no corr json"},
      {sg_correlate_json(e, "{\"version\":2}", "[]", nullptr, nullptr), "corr json rejected"},
  };
  for (error_case &c : cases) {
    report r(c.text);
    EXPECT_EQ(r.str("ok"), "false") << r.text;
    EXPECT_EQ(r.str("error"), c.want) << r.text;
  }
  char *err = nullptr;
  EXPECT_EQ(sg_load_mem(nullptr, 0, &err), nullptr);
  EXPECT_STREQ(err, "empty .sigmac");
  free(err);
  const uint8_t junk[16] = {1, 2, 3};
  EXPECT_EQ(sg_load_mem(junk, sizeof junk, &err), nullptr);
  EXPECT_STREQ(err, "sigmac load status -3");
  free(err);
  EXPECT_EQ(sg_load_file("/nonexistent/x.sigmac", &err), nullptr);
  EXPECT_STREQ(err, "cannot open .sigmac");
  free(err);
  sg_free(e);
}

TEST(SgQuarry, CorrelationUsesEventTimes) {
  builder b;
  b.rule(1, {{{"event.action", SIGMA_OP_EQ, "fail"}}});
  sg_engine *e = load(b);
  ASSERT_NE(e, nullptr);
  const char *corr = R"({"version":1,"correlations":[
      {"id":"brute","title":"Brute","type":"event_count","base_rule_ids":[1],"group_by":["source.ip"],
       "timespan_s":60,"condition":{"count":3}},
      {"id":"never","type":"event_count","base_rule_ids":[1],"timespan_s":60,"condition":{"count":100000}}]})";
  auto events = [](int step_s) {
    std::string s;
    for (int i = 0; i < 3; ++i)
      s += "{\"@timestamp\":\"2024-03-01T12:0" + std::to_string(i * step_s / 60) + ":" +
           (i * step_s % 60 < 10 ? "0" : "") + std::to_string(i * step_s % 60) +
           "Z\",\"event\":{\"action\":\"fail\"},\"source\":{\"ip\":\"10.0.0.9\"}}\n";
    return s;
  };
  // Three failures 20 s apart fire; 2 minutes apart they do not (same year).
  report near(sg_correlate_json(e, corr, events(20).c_str(), nullptr, nullptr));
  EXPECT_EQ(near.num("n_corr"), 1); // the unreachable threshold is refused
  EXPECT_EQ(near.num("n_rejected"), 1);
  EXPECT_EQ(near.num("caps_max_groups"), 512);
  ASSERT_EQ(near.len("fires"), 1u);
  EXPECT_EQ(near.num("fires", 0, "event"), 2);
  EXPECT_EQ(near.str("fires", 0, "corr_id"), "brute");
  EXPECT_EQ(near.str("fires", 0, "group"), "10.0.0.9");
  EXPECT_EQ(near.num("fires", 0, "observed"), 3);
  report far(sg_correlate_json(e, corr, events(120).c_str(), nullptr, nullptr));
  EXPECT_EQ(far.len("fires"), 0u);
  // Without times the event index is the clock.
  report idx(sg_correlate_json(
      e, corr, "[{\"event\":{\"action\":\"fail\"},\"source\":{\"ip\":\"a\"}},{\"event\":{\"action\":\"fail\"},\"source\":{\"ip\":\"a\"}},{\"event\":{\"action\":\"fail\"},\"source\":{\"ip\":\"a\"}}]",
      nullptr, nullptr));
  EXPECT_EQ(idx.len("fires"), 1u);
  sg_free(e);
}

} // namespace
