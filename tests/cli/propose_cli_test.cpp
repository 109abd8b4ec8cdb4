// `veldra propose` end to end: the lines it uses, refused input, the parser
// guess from the samples file name and where the proposal goes.
#include <gtest/gtest.h>

#include <string>

#include "run_veldra.h"

namespace {

veldra_run run(const std::vector<std::string> &args, const std::string &in = "") {
  return run_veldra({args, in, "", {}});
}

TEST(ProposeCli, UsesTheFirstLinesAndSaysSo) {
  temp_dir d;
  std::string many;
  for (int i = 0; i < 300; ++i) many += "user=u" + std::to_string(i) + "\n\n";
  spill(d / "many.log", many);
  veldra_run r = run({"propose", "-s", d / "many.log"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "veldra: propose used the first 256 of 300 sample lines\n");
  EXPECT_NE(r.out.find("\"n_lines\":256,\"example\":\"user=u0\""), std::string::npos);

  // All lines used: nothing said. Standard input works as a file does.
  r = run({"propose", "-s", "-", "-o", d / "p.json"}, "user=u1\nuser=u2");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
  EXPECT_NE(slurp(d / "p.json").find("\"n_lines\":2,"), std::string::npos);
}

TEST(ProposeCli, RefusedInput) {
  temp_dir d;
  std::string nul = "user=a\n";
  nul += std::string(70000, 'x') + '\0' + "user=b\n";
  spill(d / "nul.log", nul);
  spill(d / "ok.log", "user=a\n");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"propose", "-s", d / "nul.log"},
       "veldra: " + d / "nul.log" + " holds a zero byte at offset 70007; it is not text and is refused\n"},
      {{"propose", "-s", "-", "--aliases", "-"},
       "veldra: stdin can feed only one input; name a file for the other\n"},
      {{"propose", "-s", d.path}, "veldra: cannot open " + d.path + ": Is a directory\n"},
  };
  for (const Case &c : cases) {
    veldra_run r = run(c.args);
    EXPECT_EQ(r.status, 3) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
}

TEST(ProposeCli, ParserGuessFromTheSamplesName) {
  temp_dir d;
  spill(d / "fw.log.txt", "k=10.0.0.1\n");
  spill(d / "aliases.json", R"({"by_parser":{"fw.log":{"k":"destination.ip"}}})");
  veldra_run r = run({"propose", "-s", d / "fw.log.txt", "--aliases", d / "aliases.json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\"field\":\"destination.ip\""), std::string::npos) << r.out;
  // From standard input nothing is guessed.
  r = run({"propose", "-s", "-", "--aliases", d / "aliases.json"}, "k=10.0.0.1\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\"field\":\"source.ip\""), std::string::npos) << r.out;
}

} // namespace
