// The installation step (what `make install` runs): the tool and its manual
// page land under DESTDIR and PREFIX, and the installed tool works.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>

#include "run_veldra.h"

namespace {

TEST(Install, IntoATemporaryDestdirAndRunTheInstalledTool) {
  temp_dir dest;
  std::string build = VELDRA_BIN;
  build = build.substr(0, build.rfind('/'));
  const std::string cmd = "DESTDIR='" + dest.path + "' cmake --install '" + build +
                          "' --prefix /opt/veldra-test > '" + dest.path + "/log' 2>&1";
  ASSERT_EQ(system(cmd.c_str()), 0) << slurp(dest / "log");

  const std::string root = dest / "opt/veldra-test";
  EXPECT_EQ(slurp(root + "/share/man/man1/veldra.1"),
            slurp(std::string(VELDRA_SOURCE_DIR) + "/docs/veldra.1"));

  temp_dir work;
  spill(work / "r.rb", "version=2\nrule=:%host:word% says %msg:rest%\n");
  spill(work / "in.log", "a says x\n");
  const std::string run = "'" + root + "/bin/veldra' normalize -r '" + (work / "r.rb") + "' -s '" +
                          (work / "in.log") + "' > '" + (work / "out") + "' 2>&1";
  ASSERT_EQ(system(run.c_str()), 0) << slurp(work / "out");
  EXPECT_EQ(slurp(work / "out"), "{\"host\":\"a\",\"msg\":\"x\"}\n");
}

// Every command, long option and exit status of the usage text is in the
// manual.
TEST(Install, ManualCoversEveryCommandAndExitStatus) {
  const std::string man = slurp(std::string(VELDRA_SOURCE_DIR) + "/docs/veldra.1");
  for (const char *word : {"check", "normalize", "extract", "triad", "spec", "propose",
                           "translate", "ecs", "sigma compile", "sigma match", "sigma correlate",
                           "sigma lint", "\\-\\-version"})
    EXPECT_NE(man.find(std::string(".B veldra ") + word), std::string::npos) << word;
  // Every long option the usage text names, written as troff spells it.
  const std::string usage = slurp(fixtures() + "/usage.txt");
  for (size_t at = usage.find("--"); at != std::string::npos; at = usage.find("--", at + 2)) {
    size_t end = at + 2;
    while (end < usage.size() && (isalnum(static_cast<unsigned char>(usage[end])) || usage[end] == '-'))
      ++end;
    std::string troff;
    for (char c : usage.substr(at, end - at)) troff += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(man.find(troff), std::string::npos) << usage.substr(at, end - at);
  }
  for (const char *status : {".B 0\n", ".B 1\n", ".B 2\n", ".B 3\n", ".B 4\n", ".B 5\n", ".B 6\n"})
    EXPECT_NE(man.find(status), std::string::npos) << status;
}

} // namespace
