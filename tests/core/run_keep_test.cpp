// A run that keeps only some records still counts every sample: the tally,
// the sample count and the record indexes are those of a run keeping all.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/veldra.h"

namespace {

const char kRulebase[] = "version=2\nrule=:%host:word% says %msg:rest%\n";
const char kSamples[] = "a says x\nno match\n\nb says y\nnothing\nc says z\n";

TEST(RunKeep, RecordsKeptPerModeAndEverySampleCounted) {
  struct mode_case {
    vdr_keep keep;
    std::vector<size_t> indexes; // of the records kept
  } cases[] = {
      {VDR_KEEP_ALL, {0, 1, 2, 3, 4}},
      {VDR_KEEP_ATTENTION, {1, 3}},
      {VDR_KEEP_NONE, {}},
  };
  for (const mode_case &c : cases) {
    vdr_config cfg{};
    cfg.keep = c.keep;
    char *err = nullptr;
    vdr_run *run = vdr_run_new(kRulebase, &cfg, &err);
    ASSERT_NE(run, nullptr) << (err ? err : "");
    EXPECT_EQ(vdr_run_samples(run, kSamples, nullptr, nullptr), 5u);
    EXPECT_EQ(vdr_run_sample_count(run), 5u);
    const size_t *tally = vdr_run_tally(run);
    EXPECT_EQ(tally[VDR_STATUS_UNPARSED_BOTH], 2u);
    size_t all = 0;
    for (int s = 0; s < VDR_STATUS__COUNT; ++s) all += tally[s];
    EXPECT_EQ(all, 5u);
    size_t n = 0;
    const vdr_result *res = vdr_run_results(run, &n);
    std::vector<size_t> got;
    for (size_t i = 0; i < n; ++i) got.push_back(res[i].index);
    EXPECT_EQ(got, c.indexes) << c.keep;
    if (c.keep == VDR_KEEP_ATTENTION) {
      ASSERT_EQ(n, 2u);
      EXPECT_STREQ(res[0].line, "no match");
      EXPECT_STREQ(res[1].line, "nothing");
    }
    vdr_run_free(run);
    vdr_free(err);
  }
}

} // namespace
