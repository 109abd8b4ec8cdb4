// The correlation artifact reader and the correlation engine: every type on
// small hand-made streams, windows, eviction, suppression, the sweep, the
// reorder buffer and the statistics.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sigma/classify_corr.h"
#include "sigma/corr_format.h"

namespace {

using fields = std::map<std::string, std::string>;

const char *lookup(void *ctx, const char *name) {
  auto *f = static_cast<fields *>(ctx);
  auto it = f->find(name);
  return it == f->end() ? nullptr : it->second.c_str();
}

// One artifact and one engine over it; feeds events and keeps the fires.
struct harness {
  corr_artifact_t *art = nullptr;
  corr_artifact_view view{};
  corr_engine_t *eng = nullptr;
  std::vector<std::string> fired_groups; // "rule:v1,v2" of each fire written
  std::vector<int64_t> observed;

  harness(const std::string &correlations, corr_caps_t caps = corr_caps_default()) {
    std::string text = "{\"version\":1,\"correlations\":[" + correlations + "]}";
    art = corr_artifact_parse(text.data(), text.size(), &view);
    if (art) eng = corr_engine_new(view.rules, view.n, &caps);
  }
  ~harness() {
    corr_engine_free(eng);
    corr_artifact_free(art);
  }
  size_t record(corr_fire_t *f, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      std::string s = f[i].rule_id;
      s += ':';
      for (size_t k = 0; k < f[i].n_group; ++k) s += (k ? "," : "") + std::string(f[i].group[k]);
      fired_groups.push_back(s);
      observed.push_back(f[i].observed);
    }
    corr_fires_release(f, n);
    return n;
  }
  // Feeds one event; returns the number of fires.
  size_t event(std::vector<uint32_t> ids, double now, fields f = {}) {
    corr_fire_t fires[8];
    char *scratch[32];
    size_t n = corr_on_event(eng, ids.data(), ids.size(), lookup, &f, now, fires, 8, scratch, 32);
    record(fires, std::min<size_t>(n, 8));
    return n;
  }
  size_t flush() {
    corr_fire_t fires[8];
    char *scratch[32];
    size_t n = corr_flush(eng, fires, 8, scratch, 32);
    record(fires, std::min<size_t>(n, 8));
    return n;
  }
  corr_stats_t stats() const {
    corr_stats_t s;
    corr_engine_stats(eng, &s);
    return s;
  }
};

TEST(CorrArtifact, RootChecksAndRejectedElements) {
  corr_artifact_view v;
  for (const char *bad : {"{\"version\":2,\"correlations\":[]}", "{\"version\":1}",
                          "{\"version\":\"1\",\"correlations\":[]}", "[1]", "{\"version\":1,",
                          "{\"version\":1,\"correlations\":[]} trailing"}) {
    EXPECT_EQ(corr_artifact_parse(bad, strlen(bad), &v), nullptr) << bad;
  }
  const std::string text = R"({"version":1,"correlations":[
    {"title":"no id","type":"event_count","base_rule_ids":[1]},
    7,
    {"id":"a","type":"event_count","base_rule_ids":[1,-1,4294967296,2.5,3],
     "group_by":["f0","f1","f2","f3","f4","f5","f6","f7","f8",9],
     "timespan_s":1e300,"condition":{"op":"gt","count":1e300,"n_buckets":-1e300}},
    {"id":"b","type":"temporal","base_rule_ids":[1,2],"condition_rpn":[{"k":"sel","r":2}]},
    {"id":"c","type":"temporal","base_rule_ids":[1,2],
     "condition_rpn":[{"k":"sel","r":0},{"k":"sel","r":1.0},{"k":"and"}]},
    {"id":"d","base_rule_ids":[1],"alias_group_by":[["x"]]}
  ]})";
  corr_artifact_t *a = corr_artifact_parse(text.data(), text.size(), &v);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(v.n, 2u);
  EXPECT_EQ(v.load.rules_rejected, 4u); // no id, not an object, bad rpn, alias without group_by
  EXPECT_EQ(v.load.groupby_truncated, 2u);
  EXPECT_EQ(v.load.rids_dropped, 3u);
  const corr_rule_t &r = v.rules[0];
  EXPECT_STREQ(r.id, "a");
  ASSERT_EQ(r.n_base_rule_ids, 2u);
  EXPECT_EQ(r.base_rule_ids[1], 3u);
  EXPECT_EQ(r.n_group_by, 8u);
  EXPECT_EQ(r.timespan_s, INT32_MAX);
  EXPECT_EQ(r.cond_count, INT64_MAX);
  EXPECT_EQ(r.cond_op, CORR_OP_GT);
  EXPECT_EQ(r.beacon_n_buckets, INT32_MIN);
  EXPECT_EQ(v.rules[1].n_cond, 3u);
  EXPECT_EQ(v.rules[1].cond[1].rid_idx, 1u);
  corr_artifact_free(a);
}

TEST(CorrEngine, RefusesRulesThatCouldNeverFire) {
  corr_caps_t caps = corr_caps_default();
  caps.max_events_per_group = 100;
  caps.max_distinct = 10;
  harness h(R"({"id":"ring","type":"event_count","base_rule_ids":[1],"timespan_s":60,"condition":{"count":101}},
               {"id":"ring-ok","type":"event_count","base_rule_ids":[1],"timespan_s":60,"condition":{"count":100}},
               {"id":"ring-gt","type":"event_count","base_rule_ids":[1],"timespan_s":60,"condition":{"op":"gt","count":100}},
               {"id":"distinct","type":"value_count","base_rule_ids":[1],"timespan_s":60,"condition":{"count":11,"field":"u"}},
               {"id":"no-span","type":"event_count","base_rule_ids":[1],"condition":{"count":1}},
               {"id":"kind","type":"bogus","base_rule_ids":[1],"timespan_s":60},
               {"id":"beacon","type":"beaconing","base_rule_ids":[1],"timespan_s":60,"condition":{"count":2,"cv_permille":100}})",
            caps);
  ASSERT_NE(h.eng, nullptr);
  EXPECT_EQ(corr_engine_rule_count(h.eng), 1u);
  EXPECT_STREQ(corr_engine_rule_at(h.eng, 0)->id, "ring-ok");
  EXPECT_EQ(h.stats().rules_rejected, 6u);
}

TEST(CorrEngine, EventCountWindowAndSuppression) {
  harness h(R"({"id":"ec","type":"event_count","base_rule_ids":[7],"group_by":["host"],
               "timespan_s":60,"condition":{"op":"gte","count":3}})");
  fields a{{"host", "a"}}, b{{"host", "b"}};
  EXPECT_EQ(h.event({7}, 0, a), 0u);
  EXPECT_EQ(h.event({7}, 30, a), 0u);
  EXPECT_EQ(h.event({7}, 30, b), 0u); // another group
  EXPECT_EQ(h.event({7}, 60, a), 1u); // third within [0, 60]: the window edge counts
  ASSERT_EQ(h.fired_groups.size(), 1u);
  EXPECT_EQ(h.fired_groups[0], "ec:a");
  EXPECT_EQ(h.observed[0], 3);
  EXPECT_EQ(h.event({7}, 61, a), 0u);  // suppressed until 120
  EXPECT_EQ(h.event({7}, 119, a), 0u); // suppressed
  EXPECT_EQ(h.stats().fires_suppressed, 2u);
  EXPECT_EQ(h.event({7}, 120, a), 1u); // 61, 119, 120 in the window, suppression over
  EXPECT_EQ(h.event({8}, 121, a), 0u); // not a base rule
  // Window expiry: three events spread over more than the window never fire.
  EXPECT_EQ(h.event({7}, 1000, b), 0u);
  EXPECT_EQ(h.event({7}, 1040, b), 0u);
  EXPECT_EQ(h.event({7}, 1101, b), 0u);
  fields none;
  EXPECT_EQ(h.event({7}, 1102, none), 0u);
  EXPECT_EQ(h.stats().group_field_missing, 1u);
}

TEST(CorrEngine, ValueCountDistinctValuesExpireAndEvict) {
  corr_caps_t caps = corr_caps_default();
  caps.max_distinct = 3;
  harness h(R"({"id":"vc","type":"value_count","base_rule_ids":[1],"timespan_s":10,
               "condition":{"count":3,"field":"user"}})",
            caps);
  EXPECT_EQ(h.event({1}, 0, {{"user", "x"}}), 0u);
  EXPECT_EQ(h.event({1}, 1, {{"user", "x"}}), 0u); // same value
  EXPECT_EQ(h.event({1}, 2, {{"user", "y"}}), 0u);
  EXPECT_EQ(h.event({1}, 3, {}), 0u);               // no value: no
  EXPECT_EQ(h.event({1}, 20, {{"user", "z"}}), 0u); // x and y left the window
  EXPECT_EQ(h.event({1}, 21, {{"user", "y"}}), 0u);
  EXPECT_EQ(h.event({1}, 22, {{"user", "x"}}), 1u);
  EXPECT_EQ(h.observed[0], 3);
  EXPECT_EQ(h.event({1}, 23, {{"user", "w"}}), 0u); // suppressed; evicts the oldest
  EXPECT_EQ(h.stats().distinct_evicted, 1u);
}

TEST(CorrEngine, TemporalAllRulesAndCondition) {
  harness h(R"({"id":"t","type":"temporal","base_rule_ids":[1,2,3],"timespan_s":60},
               {"id":"tc","type":"temporal","base_rule_ids":[1,2,3],"timespan_s":60,
                "condition_rpn":[{"k":"sel","r":0},{"k":"sel","r":2},{"k":"not"},{"k":"and"}]})");
  EXPECT_EQ(h.event({1}, 0), 1u); // tc: 1 and not 3
  EXPECT_EQ(h.fired_groups[0], "tc:");
  EXPECT_EQ(h.event({2}, 10), 0u);
  EXPECT_EQ(h.event({3}, 70), 0u); // 1 left the window of t
  EXPECT_EQ(h.event({1}, 80), 0u); // tc: 3 is in its window now
  EXPECT_EQ(h.event({2}, 90), 1u); // t: 1, 2, 3 within [30, 90]
  EXPECT_EQ(h.fired_groups.back(), "t:");
  EXPECT_EQ(h.observed.back(), 3);
}

TEST(CorrEngine, OrderedSequences) {
  harness h(R"({"id":"o","type":"temporal_ordered","base_rule_ids":[1,2],"timespan_s":60})");
  EXPECT_EQ(h.event({2}, 0), 0u); // B then A is no sequence
  EXPECT_EQ(h.event({1}, 5), 0u);
  EXPECT_EQ(h.event({2}, 10), 1u); // A at 5, B at 10
  // A repeated first step restarts the sequence.
  EXPECT_EQ(h.event({1}, 100), 0u);
  EXPECT_EQ(h.event({1}, 150), 0u);
  EXPECT_EQ(h.event({2}, 170), 1u);
  // A whose window passed is dropped.
  EXPECT_EQ(h.event({1}, 300), 0u);
  EXPECT_EQ(h.event({2}, 361), 0u);
  // Both steps in one event.
  EXPECT_EQ(h.event({2, 1}, 500), 1u);

  corr_caps_t caps = corr_caps_default();
  caps.event_time_ordering = 1;
  harness t(R"({"id":"o","type":"temporal_ordered","base_rule_ids":[1,2],"timespan_s":60})", caps);
  EXPECT_EQ(t.event({1}, 50), 0u);
  EXPECT_EQ(t.event({2}, 40), 0u); // stamped before the A: does not advance
  EXPECT_EQ(t.event({2}, 55), 1u);
}

TEST(CorrEngine, ReorderBufferAndWatermark) {
  corr_caps_t caps = corr_caps_default();
  caps.event_time_ordering = 1;
  caps.watermark_s = 10;
  const char *rule = R"({"id":"o","type":"temporal_ordered","base_rule_ids":[1,2],"timespan_s":60})";
  harness h(rule, caps);
  EXPECT_EQ(h.event({2}, 105), 0u); // arrives first, stamped after the A
  EXPECT_EQ(h.event({1}, 100), 0u); // within the watermark: buffered, put in order
  EXPECT_EQ(h.event({3}, 110), 0u); // not a base rule: the rule does not see it
  EXPECT_EQ(h.event({1}, 116), 1u); // high mark 116 releases 100 (A) and 105 (B)
  EXPECT_EQ(h.event({1}, 90), 0u);  // later than the watermark: applied at once
  EXPECT_EQ(h.stats().late_events, 1u);

  // At the end of the stream the buffer is flushed, not lost.
  harness f(rule, caps);
  EXPECT_EQ(f.event({1}, 200), 0u);
  EXPECT_EQ(f.event({2}, 201), 0u);
  EXPECT_EQ(f.flush(), 1u);
  EXPECT_EQ(f.flush(), 0u);
}

TEST(CorrEngine, Beaconing) {
  harness h(R"({"id":"b","type":"beaconing","base_rule_ids":[1],"timespan_s":1000,
               "condition":{"count":4,"cv_permille":1}},
               {"id":"bb","type":"beaconing","base_rule_ids":[2],"timespan_s":100,
               "condition":{"count":3,"cv_permille":100,"n_buckets":10}})");
  EXPECT_EQ(h.event({1}, 0), 0u);
  EXPECT_EQ(h.event({1}, 60), 0u);
  EXPECT_EQ(h.event({1}, 120), 0u); // three held, count asks for four
  EXPECT_EQ(h.event({1}, 180), 1u);
  EXPECT_EQ(h.observed.back(), 4);
  harness j(R"({"id":"b","type":"beaconing","base_rule_ids":[1],"timespan_s":1000,
               "condition":{"count":3,"cv_permille":100}})");
  for (double t : {0.0, 10.0, 100.0, 105.0}) EXPECT_EQ(j.event({1}, t), 0u) << t;

  // Bucket mode: width 10 s; buckets 1, 2, 3, 4 are regular.
  for (double t : {15.0, 25.0}) EXPECT_EQ(h.event({2}, t), 0u);
  EXPECT_EQ(h.event({2}, 35), 1u);
  EXPECT_EQ(h.observed.back(), 3);
  // Times no bucket number can hold are refused, not converted.
  EXPECT_EQ(h.event({2}, 1e300), 0u);
  EXPECT_EQ(h.event({2}, -5), 0u);
  EXPECT_EQ(h.event({2}, std::numeric_limits<double>::infinity()), 0u);
  EXPECT_EQ(h.event({2}, std::nan("")), 0u);
}

TEST(CorrEngine, ValueAggregates) {
  harness h(R"({"id":"sum","type":"value_sum","base_rule_ids":[1],"timespan_s":60,"condition":{"count":100,"field":"bytes"}},
               {"id":"avg","type":"value_avg","base_rule_ids":[2],"timespan_s":60,"condition":{"op":"gt","count":10,"field":"ms"}},
               {"id":"med","type":"value_median","base_rule_ids":[3],"timespan_s":60,"condition":{"op":"eq","count":2,"field":"v"}},
               {"id":"p90","type":"value_percentile","base_rule_ids":[4],"timespan_s":60,"condition":{"count":9,"field":"v","percentile":90}})");
  EXPECT_EQ(h.event({1}, 0, {{"bytes", "60"}}), 0u);
  EXPECT_EQ(h.event({1}, 1, {{"bytes", "40.5kb"}}), 1u); // number prefix
  EXPECT_EQ(h.observed.back(), 100);
  EXPECT_EQ(h.event({2}, 0, {{"ms", "slow"}}), 0u);
  EXPECT_EQ(h.event({2}, 0, {{"ms", "nan"}}), 0u);
  EXPECT_EQ(h.event({2}, 0, {{"ms", "1e999"}}), 0u);
  EXPECT_EQ(h.stats().non_numeric, 3u);
  EXPECT_EQ(h.event({2}, 1, {{"ms", "10"}}), 0u);
  EXPECT_EQ(h.event({2}, 2, {{"ms", "12"}}), 1u); // average 11
  for (const char *v : {"4", "1", "3"}) EXPECT_EQ(h.event({3}, 0, {{"v", v}}), 0u);
  EXPECT_EQ(h.event({3}, 0, {{"v", "2"}}), 1u); // 1 2 3 4: index 1
  for (int i = 1; i <= 8; ++i) EXPECT_EQ(h.event({4}, i, {{"v", std::to_string(i)}}), 0u);
  EXPECT_EQ(h.event({4}, 9, {{"v", "9"}}), 1u); // ceil(9 x 0.9) - 1 = 8: the value 9
  EXPECT_EQ(h.observed.back(), 9);
  // A huge sum saturates the observed number instead of overflowing it.
  harness big(R"({"id":"sum","type":"value_sum","base_rule_ids":[1],"timespan_s":60,"condition":{"count":1,"field":"b"}})");
  EXPECT_EQ(big.event({1}, 0, {{"b", "1e308"}}), 1u);
  EXPECT_EQ(big.observed.back(), INT64_MAX);
}

TEST(CorrEngine, GroupEvictionSweepAndLastSeen) {
  corr_caps_t caps = corr_caps_default();
  caps.max_groups = 2;
  caps.sweep_interval_s = 1;
  harness h(R"({"id":"ec","type":"event_count","base_rule_ids":[1],"group_by":["h"],
               "timespan_s":60,"condition":{"count":2}})",
            caps);
  h.event({1}, 0, {{"h", "a"}});
  h.event({1}, 1, {{"h", "b"}});
  h.event({1}, 2, {{"h", "a"}}); // fires for a; b is now least recently used
  ASSERT_EQ(h.fired_groups.size(), 1u);
  h.event({1}, 3, {{"h", "c"}}); // evicts b
  EXPECT_EQ(h.stats().groups_evicted, 1u);
  EXPECT_EQ(corr_engine_groups_for(h.eng, "ec"), 2u);
  EXPECT_EQ(h.event({1}, 4, {{"h", "b"}}), 0u); // b starts again from nothing
  EXPECT_EQ(h.fired_groups[0], "ec:a");          // the fire's copy outlived nothing it points to

  // A late event does not move a group's last-seen time back, so the sweep
  // keeps the group.
  harness s(R"({"id":"ec","type":"event_count","base_rule_ids":[1],"group_by":["h"],
               "timespan_s":60,"condition":{"count":5}})",
            caps);
  s.event({1}, 100, {{"h", "a"}});
  s.event({1}, 0, {{"h", "a"}});
  s.event({1}, 150, {{"h", "b"}}); // sweep: a last seen at 100 >= 90
  EXPECT_EQ(corr_engine_groups_for(s.eng, "ec"), 2u);
  s.event({1}, 500, {{"h", "c"}}); // sweep frees a and b
  EXPECT_EQ(corr_engine_groups_for(s.eng, "ec"), 1u);
  EXPECT_EQ(corr_engine_total_groups(s.eng), 1u);
}

TEST(CorrEngine, FireValuesAndDroppedFires) {
  harness h(R"({"id":"x","type":"event_count","base_rule_ids":[1],"group_by":["a","b"],"timespan_s":60,"condition":{"count":1}},
               {"id":"y","type":"event_count","base_rule_ids":[1],"group_by":["a"],"timespan_s":60,"condition":{"count":1}})");
  fields f{{"a", "1"}, {"b", "2"}};
  corr_fire_t fires[1];
  char *scratch[2];
  uint32_t id = 1;
  size_t n = corr_on_event(h.eng, &id, 1, lookup, &f, 0, fires, 1, scratch, 2);
  EXPECT_EQ(n, 2u); // both fire, one written
  ASSERT_EQ(fires[0].n_group, 2u);
  EXPECT_STREQ(fires[0].group[1], "2");
  EXPECT_STREQ(fires[0].level, "medium");
  EXPECT_EQ(fires[0].tier, CORR_TIER_WEAK);
  corr_fires_release(fires, 1);
  EXPECT_EQ(h.stats().fires_dropped, 1u);
  // A scratch too small for the group values leaves the group out.
  fields g{{"a", "3"}, {"b", "4"}};
  n = corr_on_event(h.eng, &id, 1, lookup, &g, 0, fires, 1, scratch, 1);
  EXPECT_EQ(fires[0].group, nullptr);
  EXPECT_EQ(h.stats().group_values_dropped, 1u);
}

TEST(CorrEngine, ContributionsExpireWithTheirWindow) {
  harness h(R"({"id":"ec","type":"event_count","base_rule_ids":[1],"group_by":["h"],"timespan_s":60,"condition":{"count":5}},
               {"id":"t","type":"temporal","base_rule_ids":[3,4],"timespan_s":60})");
  const char *vals[] = {"a"};
  corr_contrib_t c{};
  c.kind = CORR_CONTRIB_COUNT;
  c.rule_id = "ec";
  c.values = vals;
  c.n_values = 1;
  c.ts = 0;
  c.count = 4;
  corr_fire_t fire;
  char *scratch[4];
  EXPECT_EQ(corr_on_contribution(h.eng, &c, nullptr, nullptr, &fire, 1, scratch, 4), 0u);
  // Four contributed at 0 have left the window by 100.
  EXPECT_EQ(h.event({1}, 100, {{"h", "a"}}), 0u);
  c.ts = 101;
  EXPECT_EQ(corr_on_contribution(h.eng, &c, nullptr, nullptr, &fire, 1, scratch, 4), 1u);
  EXPECT_EQ(fire.remote, 1);
  EXPECT_EQ(fire.observed, 5);
  corr_fires_release(&fire, 1);
  c.count = INT32_MAX; // cannot wrap the count
  for (int i = 0; i < 4; ++i) corr_on_contribution(h.eng, &c, nullptr, nullptr, nullptr, 0, nullptr, 0);
  c.n_values = 0;
  EXPECT_EQ(corr_on_contribution(h.eng, &c, nullptr, nullptr, &fire, 1, scratch, 4), 0u);
  EXPECT_EQ(h.stats().group_field_missing, 1u);
  corr_contrib_t m{};
  m.kind = CORR_CONTRIB_RIDMASK;
  m.rule_id = "t";
  m.rid_mask = 2; // base rule 4 seen elsewhere
  m.ts = 5;
  EXPECT_EQ(corr_on_contribution(h.eng, &m, nullptr, nullptr, &fire, 1, scratch, 4), 0u);
  EXPECT_EQ(h.event({3}, 6), 1u);
  EXPECT_EQ(corr_contrib_kind_for(CORR_TEMPORAL_ORDERED), -1);
  EXPECT_EQ(corr_contrib_kind_for(CORR_VALUE_AVG), 2);
}

TEST(CorrEngine, OwnerKeyIndexTierAndCondition) {
  const char *vals[] = {"h1", "u"};
  char buf[16];
  EXPECT_EQ(corr_owner_key(buf, sizeof buf, "rule", vals, 2), 9u);
  EXPECT_STREQ(buf, "rule\th1\tu");
  EXPECT_EQ(corr_owner_key(buf, 9, "rule", vals, 2), 0u); // no room for the terminator
  EXPECT_EQ(corr_owner_index("rule", vals, 2, 0), 0u);
  EXPECT_LT(corr_owner_index("rule", vals, 2, 7), 7u);
  EXPECT_EQ(corr_owner_index("rule", vals, 2, 7), corr_owner_index("rule", vals, 2, 7));
  EXPECT_EQ(corr_tier_for(CORR_EVENT_COUNT, "HIGH"), CORR_TIER_STRONG);
  EXPECT_EQ(corr_tier_for(CORR_EVENT_COUNT, nullptr), CORR_TIER_WEAK);
  EXPECT_EQ(corr_tier_for(CORR_BEACONING, "low"), CORR_TIER_STRONG);
  corr_ctok_t bad[] = {{0, {}, 0}, {1, {}, 0}};
  EXPECT_EQ(corr_cond_eval(bad, 2, ~0ull), 0);
  corr_ctok_t or_[] = {{0, {}, 0}, {0, {}, 5}, {2, {}, 0}};
  EXPECT_EQ(corr_cond_eval(or_, 3, 1ull << 5), 1);
  EXPECT_EQ(corr_cond_eval(or_, 3, 2), 0);
}

} // namespace
