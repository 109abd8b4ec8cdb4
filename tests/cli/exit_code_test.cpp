// The exit status of `check` from a run's tally: first rule that applies.
#include <gtest/gtest.h>

#include <array>

#include "cli/exit_code.h"

namespace {

struct tally_case {
  const char *name;
  int turbo;
  std::array<size_t, VDR_STATUS__COUNT> tally; // match, equiv, unparsed, gap, turbo-only, diverge, dup
  int strict_unparsed;
  int strict_ecs;
  vdr_ecs_verdict verdict;
  int expected;
};

const tally_case kCases[] = {
    {"Clean", 1, {5, 2, 0, 0, 0, 0, 0}, 0, 0, VDR_ECS_OK, 0},
    {"NoSamplesIsClean", 1, {0, 0, 0, 0, 0, 0, 0}, 1, 1, VDR_ECS_OK, 0},
    {"NoBytecodeEvenWhenAllMatch", 0, {5, 0, 0, 0, 0, 0, 0}, 0, 0, VDR_ECS_OK, 1},
    {"NoBytecodeBeatsDivergence", 0, {0, 0, 0, 0, 0, 3, 0}, 1, 1, VDR_ECS_FAIL, 1},
    {"Divergence", 1, {5, 0, 0, 1, 0, 1, 0}, 0, 0, VDR_ECS_OK, 2},
    {"TurboOnly", 1, {5, 0, 0, 0, 1, 0, 0}, 0, 0, VDR_ECS_OK, 2},
    {"DivergenceBeatsFailedLint", 1, {0, 0, 0, 0, 0, 1, 0}, 0, 1, VDR_ECS_FAIL, 2},
    {"CoverageGap", 1, {5, 0, 2, 1, 0, 0, 0}, 1, 0, VDR_ECS_OK, 1},
    {"CoverageGapBeatsFailedLint", 1, {0, 0, 0, 1, 0, 0, 0}, 0, 1, VDR_ECS_FAIL, 1},
    {"UnparsedOnlyWhenStrict", 1, {5, 0, 2, 0, 0, 0, 0}, 0, 0, VDR_ECS_OK, 0},
    {"UnparsedStrict", 1, {5, 0, 2, 0, 0, 0, 0}, 1, 0, VDR_ECS_OK, 4},
    {"UnparsedStrictBeatsFailedLint", 1, {5, 0, 2, 0, 0, 0, 0}, 1, 1, VDR_ECS_FAIL, 4},
    {"FailedLintOnlyWhenStrict", 1, {5, 0, 0, 0, 0, 0, 0}, 0, 0, VDR_ECS_FAIL, 0},
    {"FailedLintStrict", 1, {5, 0, 0, 0, 0, 0, 0}, 0, 1, VDR_ECS_FAIL, 6},
    {"DuplicateFieldsAreClean", 1, {0, 0, 0, 0, 0, 0, 4}, 1, 1, VDR_ECS_OK, 0},
};

// Names the case instead of dumping its bytes in test listings.
void PrintTo(const tally_case &c, std::ostream *os) { *os << c.name; }

class ExitCode : public testing::TestWithParam<tally_case> {};

TEST_P(ExitCode, FirstRuleThatApplies) {
  const tally_case &c = GetParam();
  EXPECT_EQ(exit_code_for(c.turbo, c.tally.data(), c.strict_unparsed, c.strict_ecs, c.verdict),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(Check, ExitCode, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<tally_case> &i) { return std::string(i.param.name); });

TEST(CheckMax, OnlyOneTo2147483646Limits) {
  struct {
    const char *text;
    int limit;
  } cases[] = {{nullptr, 0},      {"1", 1},           {"2147483646", 2147483646},
               {"2147483647", 0}, {"2147483648", 0},  {"0", 0},
               {"-1", 0},         {"-5", 0},          {"99999999999999999999", 0},
               {"abc", 0},        {"12x", 12},        {"-9223372036854775808", 0}};
  for (const auto &c : cases)
    EXPECT_EQ(max_samples_from(c.text), c.limit) << (c.text ? c.text : "(none)");
}

}  // namespace
