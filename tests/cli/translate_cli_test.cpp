// `veldra translate` end to end: messages, exit statuses, the parser guess
// and where the rewritten rulebase goes.
#include <gtest/gtest.h>

#include <string>

#include "run_veldra.h"

namespace {

veldra_run run(const std::vector<std::string> &args, const std::string &in = "") {
  return run_veldra({args, in, "", {}});
}

const char k_rb[] = "version=2\nrule=:%src:ipv4% %srcip:ipv4%\n";
const char k_overlay[] = R"({"by_parser":{"fortigate":{"srcip":"client.ip"}}})";

TEST(TranslateCli, MessagesAndExitStatus) {
  temp_dir d;
  spill(d / "fortigate.rb", k_rb);
  spill(d / "bad.json", "{\"by_parser\":");
  spill(d / "nul.rb", std::string("version=2\nrule=:%srcip:ipv4%\n\0rule=:x\n", 38));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"translate"}, 3, "veldra: translate needs --rulebase\n"},
      {{"translate", "--aliases", d / "bad.json"}, 3, "veldra: translate needs --rulebase\n"},
      {{"translate", "-r", d / "fortigate.rb", "--aliases", d / "bad.json", "--parser", "x"}, 3,
       "veldra: translate failed (bad aliases JSON?)\n"},
      {{"translate", "-r", d / "missing.rb"}, 3, "veldra: cannot open " + d / "missing.rb" +
                                                     ": No such file or directory\n"},
      {{"translate", "-r", d / "nul.rb"}, 3,
       "veldra: " + d / "nul.rb" +
           " holds a zero byte at offset 29; it is not text and is refused\n"},
      {{"translate", "-r"}, 3, "veldra: -r needs a value\n"},
  };
  for (const Case &c : cases) {
    veldra_run r = run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args.back();
    EXPECT_EQ(r.err, c.err) << c.args.back();
    EXPECT_EQ(r.out, "") << c.args.back();
  }
}

TEST(TranslateCli, ParserGuessFromTheFileName) {
  temp_dir d;
  spill(d / "fortigate.rb", k_rb);
  spill(d / "other.rb", k_rb);
  spill(d / "aliases.json", k_overlay);
  const std::string mapped = "version=2\nrule=ecsnet:%source.ip:ipv4% %client.ip:ipv4%\n"
                             "annotate=ecsnet:+event.category=\"network\"\n";
  const std::string baked = "version=2\nrule=ecsnet:%source.ip:ipv4% %source.address:ipv4%\n"
                            "annotate=ecsnet:+event.category=\"network\"\n";

  veldra_run r = run({"translate", "-r", d / "fortigate.rb", "--aliases", d / "aliases.json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "translate: parser=fortigate\n");
  EXPECT_EQ(r.out, mapped);

  r = run({"translate", "-r", d / "other.rb", "--aliases", d / "aliases.json", "--parser", "auto"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "translate: parser=(baked+hints)\n");
  EXPECT_EQ(r.out, baked);

  // A named key is used as given; from standard input nothing is guessed.
  r = run({"translate", "-r", d / "other.rb", "--aliases", d / "aliases.json", "--parser",
           "fortigate"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, mapped);
  r = run({"translate", "-r", "-", "--aliases", d / "aliases.json"}, k_rb);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, baked);

  // Without an overlay the built-in table serves; -o writes the file.
  r = run({"translate", "-r", d / "fortigate.rb", "-o", d / "out.rb"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(slurp(d / "out.rb"), baked);
}

} // namespace
