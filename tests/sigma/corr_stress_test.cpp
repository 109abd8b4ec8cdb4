// Several threads feed one correlation engine at once, with caps small enough
// that groups are evicted and swept while other threads' fires still carry
// their values. Built also under ThreadSanitizer by `make tsan-test`.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sigma/classify_corr.h"

namespace {

struct ev {
  char host[16];
  char user[16];
  char ms[16];
};

const char *lookup(void *ctx, const char *name) {
  ev *e = static_cast<ev *>(ctx);
  if (strcmp(name, "host") == 0) return e->host;
  if (strcmp(name, "user") == 0) return e->user;
  if (strcmp(name, "ms") == 0) return e->ms;
  return nullptr;
}

TEST(CorrStress, ConcurrentFeedersWithEvictionAndSweep) {
  const std::string text = R"({"version":1,"correlations":[
    {"id":"ec","type":"event_count","base_rule_ids":[1,2],"group_by":["host"],"timespan_s":20,"condition":{"count":3}},
    {"id":"vc","type":"value_count","base_rule_ids":[1],"group_by":["host"],"timespan_s":20,"condition":{"count":3,"field":"user"}},
    {"id":"p","type":"value_percentile","base_rule_ids":[2],"group_by":["host"],"timespan_s":20,"condition":{"count":50,"field":"ms","percentile":90}},
    {"id":"m","type":"value_median","base_rule_ids":[1,2],"group_by":["user"],"timespan_s":20,"condition":{"count":40,"field":"ms"}},
    {"id":"t","type":"temporal","base_rule_ids":[1,2],"group_by":["host","user"],"timespan_s":20},
    {"id":"o","type":"temporal_ordered","base_rule_ids":[1,2],"group_by":["host"],"timespan_s":20}
  ]})";
  corr_artifact_view view;
  corr_artifact_t *art = corr_artifact_parse(text.data(), text.size(), &view);
  ASSERT_NE(art, nullptr);
  corr_caps_t caps = corr_caps_default();
  caps.max_groups = 16;
  caps.max_distinct = 8;
  caps.max_events_per_group = 32;
  caps.sweep_interval_s = 0.5;
  corr_engine_t *eng = corr_engine_new(view.rules, view.n, &caps);
  ASSERT_NE(eng, nullptr);
  ASSERT_EQ(corr_engine_rule_count(eng), 6u);

  constexpr int kThreads = 4, kEvents = 8000;
  std::atomic<uint64_t> fires{0}, checked{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; ++t)
    pool.emplace_back([&, t] {
      uint32_t seed = 12345u + static_cast<uint32_t>(t);
      corr_fire_t out[16];
      char *scratch[64];
      for (int i = 0; i < kEvents; ++i) {
        seed = seed * 1103515245u + 12345u;
        ev e;
        snprintf(e.host, sizeof e.host, "h%u", (seed >> 8) % 40);
        snprintf(e.user, sizeof e.user, "u%u", (seed >> 16) % 12);
        snprintf(e.ms, sizeof e.ms, "%u", (seed >> 4) % 100);
        uint32_t ids[2] = {1 + (seed >> 20) % 2, 2};
        const double now = i * 0.01 + t * 0.003;
        size_t n = corr_on_event(eng, ids, 1 + (seed >> 24) % 2, lookup, &e, now, out, 16, scratch, 64);
        fires += n;
        // Read every value of every fire after the engine let go of it.
        for (size_t k = 0; k < std::min<size_t>(n, 16); ++k)
          for (size_t v = 0; v < out[k].n_group; ++v)
            if (out[k].group[v][0] == 'h' || out[k].group[v][0] == 'u') ++checked;
        corr_fires_release(out, std::min<size_t>(n, 16));
      }
    });
  for (auto &th : pool) th.join();

  corr_stats_t st;
  corr_engine_stats(eng, &st);
  EXPECT_GT(fires.load(), 0u);
  EXPECT_GT(checked.load(), 0u);
  EXPECT_GT(st.groups_evicted, 0u);
  EXPECT_LE(corr_engine_total_groups(eng), 6u * caps.max_groups);
  corr_engine_free(eng);
  corr_artifact_free(art);
}

} // namespace
