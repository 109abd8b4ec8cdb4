// `check --jobs N` gives the report, the exit status and the progress line of
// one thread, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_veldra.h"

namespace {

veldra_run run(std::vector<std::string> args) {
  veldra_call c;
  c.args = std::move(args);
  return run_veldra(c);
}

TEST(CheckJobs, SameReportOnAnyNumberOfThreads) {
  // The example samples hold matches, equivalents and coverage gaps, more
  // than one window of lines and enough for the progress line.
  const std::string ex = std::string(VELDRA_SOURCE_DIR) + "/examples";
  const std::vector<std::string> base{"check", "-r", ex + "/linux-syslog.rb", "-s",
                                      ex + "/samples.log"};
  for (const std::vector<std::string> &extra :
       {std::vector<std::string>{}, {"-f", "json", "--embed-inputs"}, {"--max", "2500"}}) {
    std::vector<veldra_run> runs;
    for (const char *jobs : {"1", "3"}) {
      std::vector<std::string> args = base;
      args.insert(args.end(), extra.begin(), extra.end());
      args.insert(args.end(), {"--jobs", jobs});
      runs.push_back(run(args));
    }
    EXPECT_NE(runs[0].err.find("/4013 samples"), std::string::npos) << runs[0].err;
    for (size_t i = 1; i < runs.size(); ++i) {
      EXPECT_EQ(runs[i].status, runs[0].status);
      EXPECT_TRUE(runs[i].out == runs[0].out);
      EXPECT_EQ(runs[i].err, runs[0].err);
    }
  }
}

TEST(CheckJobs, BadCountIsAUsageError) {
  for (const char *bad : {"0", "257", "two", ""}) {
    veldra_run r = run({"check", "-r", "x.rb", "-s", "x.log", "--jobs", bad});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, std::string("veldra: --jobs takes a whole number from 1 to 256, not '") + bad +
                         "'\n");
  }
}

} // namespace
