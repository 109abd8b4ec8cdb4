// check on a rulebase VaderAD declines to compile: the warning names the
// compiler's reason on standard error and both reports carry it in VaderAD's
// diagnostics; a rulebase that compiles gets no warning.
#include <gtest/gtest.h>

#include <string>

#include "run_veldra.h"

namespace {

const char *const kWarning =
    "veldra: warning: this rulebase did not compile to bytecode; every sample will read as a "
    "coverage gap\n";
const char *const kReason = "turbo: number field 'n' has maxval 70000, above the 65535 the VM serves";

struct Fixture {
  temp_dir d;
  Fixture() {
    spill(d / "declined.rb", "version=2\nrule=:id %n:number{\"maxval\":70000}%\n");
    spill(d / "fine.rb", "version=2\nrule=:id %n:number%\n");
    spill(d / "samples.log", "id 7\n");
  }
  veldra_run check(const std::string &rb, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"check", "-r", d / rb, "-s", d / "samples.log"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_veldra({args, "", d.path, {}});
  }
};

TEST(CheckCompile, TheReasonReachesStderrAndBothReports) {
  Fixture f;
  const std::string why = std::string("veldra: bytecode compiler: ") + kReason + "\n";
  const std::string diag = std::string("VaderAD did not compile this rulebase: ") + kReason;

  veldra_run md = f.check("declined.rb");
  EXPECT_EQ(md.status, 1);
  EXPECT_EQ(md.err.rfind(std::string(kWarning) + why, 0), 0u) << md.err;
  EXPECT_NE(md.out.find("- VaderAD compiled for this rulebase: no\n"), std::string::npos);
  EXPECT_NE(md.out.find("### VaderAD\n\n```\n" + diag + "\n```\n"), std::string::npos) << md.out;

  veldra_run js = f.check("declined.rb", {"-f", "json"});
  EXPECT_EQ(js.status, 1);
  EXPECT_NE(js.out.find("\"turbo\":\"" + diag + "\\n\""), std::string::npos) << js.out;
  EXPECT_NE(js.out.find("\"verdict\":\"no-bytecode\""), std::string::npos);

  // --summary-only withholds the compiler's words, as it does load errors.
  veldra_run quiet = f.check("declined.rb", {"--summary-only"});
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.err.rfind(kWarning, 0), 0u) << quiet.err;
  EXPECT_EQ(quiet.err.find("bytecode compiler"), std::string::npos) << quiet.err;
}

TEST(CheckCompile, ACompiledRulebaseHasNoWarning) {
  Fixture f;
  veldra_run r = f.check("fine.rb", {"-f", "json"});
  EXPECT_EQ(r.err.find("did not compile"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("\"turbo_available\":true"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"diagnostics\":{\"legacy\":\"\",\"turbo\":\"\"}"), std::string::npos)
      << r.out;
}

} // namespace
