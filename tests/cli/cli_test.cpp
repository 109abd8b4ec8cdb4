// The command-line front end, run as a user runs it: every command word,
// option, message and exit status that does not need a loaded rulebase.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "run_veldra.h"

namespace {

struct cli_case {
  const char *name;
  std::vector<std::string> args;
  const char *stdin_text;
  int status;
  const char *out; // "@USAGE@" stands for the usage text
  const char *err; // "@USAGE@" likewise
};

const std::string &usage() {
  static const std::string text = slurp(fixtures() + "/usage.txt");
  return text;
}

std::string expand(const char *s) {
  std::string t = s;
  const std::string mark = "@USAGE@";
  size_t at = t.find(mark);
  if (at != std::string::npos) t.replace(at, mark.size(), usage());
  return t;
}

const char *const kNotV2 =
    "veldra: v20.rb is not a version=2 rulebase; it must be migrated before either engine can "
    "load it\n";

// Run in the fixture directory, so paths in messages are the short names.
const cli_case kCases[] = {
    // Dispatch, usage and version.
    {"NoArgument", {}, "", 3, "", "@USAGE@"},
    {"ShortHelp", {"-h"}, "", 0, "@USAGE@", ""},
    {"LongHelp", {"--help"}, "", 0, "@USAGE@", ""},
    {"Version", {"--version"}, "", 0, "veldra (normalizer 2.1.1, turbo supported, pcre supported)\n", ""},
    {"VersionIgnoresTheRest", {"--version", "--bogus", "x"}, "", 0,
     "veldra (normalizer 2.1.1, turbo supported, pcre supported)\n", ""},
    {"UnknownCommand", {"bogus"}, "", 3, "", "veldra: unknown command 'bogus'\n\n@USAGE@"},
    {"CommandWordsAreExact", {"Check"}, "", 3, "", "veldra: unknown command 'Check'\n\n@USAGE@"},
    {"OptionAsCommand", {"-r"}, "", 3, "", "veldra: unknown command '-r'\n\n@USAGE@"},

    // check: options.
    {"CheckNoOptions", {"check"}, "", 3, "", "veldra: --rulebase and --samples are both required\n"},
    {"CheckOnlyRulebase", {"check", "-r", "v2.rb"}, "", 3, "",
     "veldra: --rulebase and --samples are both required\n"},
    {"CheckShortValueLast", {"check", "-r"}, "", 3, "", "veldra: -r needs a value\n"},
    {"CheckLongValueLast", {"check", "-s", "x", "--max"}, "", 3, "", "veldra: --max needs a value\n"},
    {"CheckUnknownOption", {"check", "--bogus"}, "", 3, "", "veldra: unknown option '--bogus'\n"},
    {"CheckNoCombinedShorts", {"check", "-rs", "v2.rb"}, "", 3, "", "veldra: unknown option '-rs'\n"},
    {"CheckHelpAmongOptions", {"check", "-r", "v2.rb", "-h"}, "", 0, "@USAGE@", ""},
    {"CheckHelpTakenAsValue", {"check", "-r", "-h"}, "", 3, "",
     "veldra: --rulebase and --samples are both required\n"},
    {"CheckFormatUpperCase", {"check", "-r", "v2.rb", "-s", "samples.log", "-f", "JSON"}, "", 3, "",
     "veldra: --format must be json or markdown\n"},
    {"CheckFormatTestedBeforeReading", {"check", "-r", "nope.rb", "-s", "nope.log", "--format", "md"}, "", 3,
     "", "veldra: --format must be json or markdown\n"},

    // check: inputs.
    {"CheckMissingRulebase", {"check", "-r", "nope.rb", "-s", "samples.log"}, "", 3, "",
     "veldra: cannot open nope.rb: No such file or directory\n"},
    {"CheckMissingSamples", {"check", "-r", "v2.rb", "-s", "nope.log"}, "", 3, "",
     "veldra: cannot open nope.log: No such file or directory\n"},
    {"CheckDirectoryAsRulebase", {"check", "-r", ".", "-s", "samples.log"}, "", 3, "",
     "veldra: cannot open .: Is a directory\n"},
    {"CheckDirectoryAsSamples", {"check", "-r", "v2.rb", "-s", ".."}, "", 3, "",
     "veldra: cannot open ..: Is a directory\n"},
    {"CheckNotV2", {"check", "-r", "v20.rb", "-s", "samples.log"}, "", 5, "", kNotV2},
    {"CheckNotV2StillNeedsReadableSamples", {"check", "-r", "v20.rb", "-s", "nope.log"}, "", 3, "",
     "veldra: cannot open nope.log: No such file or directory\n"},
    {"CheckVersionWithTrailingText", {"check", "-r", "v2_trailing_text.rb", "-s", "samples.log"}, "", 5, "",
     "veldra: v2_trailing_text.rb is not a version=2 rulebase; it must be migrated before either "
     "engine can load it\n"},
    {"CheckLaterOptionWins", {"check", "-r", "nope.rb", "-s", "samples.log", "--rulebase", "v20.rb"}, "", 5,
     "", kNotV2},
    {"CheckSamplesFromStdin", {"check", "-r", "v20.rb", "-s", "-"}, "a says b\n", 5, "", kNotV2},
    {"CheckRulebaseFromStdin", {"check", "-r", "-", "-s", "samples.log"}, "version=20\n", 5, "",
     "veldra: - is not a version=2 rulebase; it must be migrated before either engine can load "
     "it\n"},
    {"CheckStdinForBothInputs", {"check", "-r", "-", "-s", "-"}, "version=2\n", 3, "",
     "veldra: stdin can feed only one input; name a file for the other\n"},
    {"CheckValueMayStartWithDash", {"check", "-r", "v20.rb", "-s", "--max"}, "", 3, "",
     "veldra: cannot open --max: No such file or directory\n"},

    // triad.
    {"TriadNoOptions", {"triad"}, "", 3, "", "veldra: triad needs --rulebase and --out\n"},
    {"TriadNoOut", {"triad", "-r", "v2.rb"}, "", 3, "", "veldra: triad needs --rulebase and --out\n"},
    {"TriadOutAsLastArgument", {"triad", "-r", "v2.rb", "--out"}, "", 3, "",
     "veldra: unknown option '--out'\n"},
    {"TriadUnknownOption", {"triad", "--bogus"}, "", 3, "", "veldra: unknown option '--bogus'\n"},
    {"TriadHelp", {"triad", "--help"}, "", 0, "@USAGE@", ""},
    {"TriadMissingRulebase", {"triad", "-r", "nope.rb", "-o", "kit"}, "", 3, "",
     "veldra: cannot open nope.rb: No such file or directory\n"},

    // The spec command.
    {"SpecNoOptions", {"spec"}, "", 3, "", "veldra: spec needs --spec\n"},
    {"SpecValueLast", {"spec", "--spec"}, "", 3, "", "veldra: unknown option '--spec'\n"},
    {"SpecOnlyOut", {"spec", "-o", "x.rb"}, "", 3, "", "veldra: spec needs --spec\n"},
    {"SpecMissingFile", {"spec", "--spec", "nope.json"}, "", 3, "",
     "veldra: cannot open nope.json: No such file or directory\n"},
    {"SpecHelp", {"spec", "-h"}, "", 0, "@USAGE@", ""},

    // propose.
    {"ProposeNoOptions", {"propose"}, "", 3, "", "veldra: propose needs --samples\n"},
    {"ProposeValueLast", {"propose", "-s"}, "", 3, "", "veldra: unknown option '-s'\n"},
    {"ProposeMissingSamples", {"propose", "-s", "nope.log"}, "", 3, "",
     "veldra: cannot open nope.log: No such file or directory\n"},
    {"ProposeMissingOverlay", {"propose", "-s", "samples.log", "--aliases", "nope.json"}, "", 3, "",
     "veldra: cannot open nope.json: No such file or directory\n"},
    {"ProposeDirectoryOverlay", {"propose", "-s", "-", "--aliases", "."}, "x\n", 3, "",
     "veldra: cannot open .: Is a directory\n"},

    // extract.
    {"ExtractNoOptions", {"extract"}, "", 3, "", "veldra: extract needs --rulebase and --samples\n"},
    {"ExtractOnlySamples", {"extract", "-s", "samples.log"}, "", 3, "",
     "veldra: extract needs --rulebase and --samples\n"},
    {"ExtractValueLast", {"extract", "-r", "v2.rb", "-s"}, "", 3, "", "veldra: -s needs a value\n"},
    {"ExtractUnknownOption", {"extract", "--max", "3"}, "", 3, "", "veldra: unknown option '--max'\n"},
    {"ExtractNotV2", {"extract", "-r", "v20.rb", "-s", "samples.log"}, "", 5, "",
     "veldra: not a version=2 rulebase\n"},
    {"ExtractMissingSamples", {"extract", "-r", "v20.rb", "-s", "nope.log"}, "", 3, "",
     "veldra: cannot open nope.log: No such file or directory\n"},
    {"ExtractHelp", {"extract", "-h"}, "", 0, "@USAGE@", ""},

    // translate.
    {"TranslateNoOptions", {"translate"}, "", 3, "", "veldra: translate needs --rulebase\n"},
    {"TranslateOnlyAliases", {"translate", "--aliases", "a.json"}, "", 3, "",
     "veldra: translate needs --rulebase\n"},
    {"TranslateMissingRulebase", {"translate", "-r", "nope.rb"}, "", 3, "",
     "veldra: cannot open nope.rb: No such file or directory\n"},
    {"TranslateMissingOverlay", {"translate", "-r", "v2.rb", "--aliases", "nope.json"}, "", 3, "",
     "veldra: cannot open nope.json: No such file or directory\n"},

    // ecs.
    {"EcsNoOptions", {"ecs"}, "", 3, "", "veldra: ecs needs --rulebase\n"},
    {"EcsValueLast", {"ecs", "-r"}, "", 3, "", "veldra: -r needs a value\n"},
    {"EcsUnknownOption", {"ecs", "-s", "x"}, "", 3, "", "veldra: unknown option '-s'\n"},
    {"EcsMissingRulebase", {"ecs", "--rulebase", "nope.rb"}, "", 3, "",
     "veldra: cannot open nope.rb: No such file or directory\n"},
    {"EcsDirectory", {"ecs", "-r", "."}, "", 3, "", "veldra: cannot open .: Is a directory\n"},

    // sigma: subcommands and their arguments.
    {"SigmaNoSubcommand", {"sigma"}, "", 3, "", "veldra sigma compile|match|correlate|lint ...\n"},
    {"SigmaUnknownSubcommand", {"sigma", "bogus"}, "", 3, "",
     "veldra sigma: unknown subcommand 'bogus'\n"},
    {"SigmaHelpIsNoSubcommand", {"sigma", "-h"}, "", 3, "", "veldra sigma: unknown subcommand '-h'\n"},
    {"SigmaCompileNoYaml", {"sigma", "compile"}, "", 3, "", "veldra sigma compile: YAML file required\n"},
    {"SigmaCompileIgnoresUnknownDashed", {"sigma", "compile", "--bogus"}, "", 3, "",
     "veldra sigma compile: YAML file required\n"},
    {"SigmaCompileOutValueIsNoYaml", {"sigma", "compile", "-o", "x.sigmac"}, "", 3, "",
     "veldra sigma compile: YAML file required\n"},
    {"SigmaCompileValueOptionLastIgnored", {"sigma", "compile", "-o"}, "", 3, "",
     "veldra sigma compile: YAML file required\n"},
    {"SigmaCompileMissingYaml", {"sigma", "compile", "nope.yml"}, "", 3, "",
     "veldra: cannot open nope.yml: No such file or directory\n"},
    {"SigmaCompileLastYamlCounts", {"sigma", "compile", "nope.yml", "--bogus", "gone.yml"}, "", 3, "",
     "veldra: cannot open gone.yml: No such file or directory\n"},
    {"SigmaMatchNeedsBoth", {"sigma", "match", "--sigmac", "x.sigmac"}, "", 3, "",
     "veldra sigma match: --sigmac and --events required\n"},
    {"SigmaCorrelateNeedsBoth", {"sigma", "correlate", "--events", "events.jsonl"}, "", 3, "",
     "veldra sigma correlate: --sigmac and --events required\n"},
    {"SigmaLintNoYaml", {"sigma", "lint", "--source-id", "linux-sshd"}, "", 3, "",
     "veldra sigma lint: YAML file required\n"},
    {"SigmaLintMissingYaml", {"sigma", "lint", "nope.yml"}, "", 3, "",
     "veldra: cannot open nope.yml: No such file or directory\n"},
};

// Names the case instead of dumping its bytes in test listings.
void PrintTo(const cli_case &c, std::ostream *os) { *os << c.name; }

class Cli : public testing::TestWithParam<cli_case> {};

TEST_P(Cli, StatusAndStreams) {
  const cli_case &c = GetParam();
  veldra_run r = run_veldra({c.args, c.stdin_text, fixtures(), {}});
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.out, expand(c.out));
  EXPECT_EQ(r.err, expand(c.err));
}

INSTANTIATE_TEST_SUITE_P(Front, Cli, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<cli_case> &i) { return std::string(i.param.name); });

// A header preceded by comments and blank lines, with trailing blanks, is
// version 2 for the front end: whatever the load then says, the command does
// not refuse it with its own version message.
TEST(CliVersionHeader, CommentsBeforeTheHeaderAreAccepted) {
  veldra_run r = run_veldra({{"check", "-r", "comment_v2.rb", "-s", "samples.log"}, "", fixtures(), {}});
  EXPECT_NE(r.status, 5);
  EXPECT_EQ(r.err.find("is not a version=2 rulebase; it must be migrated"), std::string::npos) << r.err;
  r = run_veldra({{"extract", "-r", "comment_v2.rb", "-s", "samples.log"}, "", fixtures(), {}});
  EXPECT_NE(r.status, 5);
  EXPECT_EQ(r.err.find("veldra: not a version=2 rulebase\n"), std::string::npos) << r.err;
}

// compile --full hands the YAML path to the outside converter named by
// VELDRA_PYTHON and maps its outcome to the exit status.
TEST(CliSigmaFull, ConverterArgumentsAndOutcome) {
  const std::string fake = fixtures() + "/fake_converter.sh";
  veldra_run ok = run_veldra({{"sigma", "compile", "--full", "rule.yml", "-o", "/tmp/out.sigmac"},
                              "", fixtures(), {{"VELDRA_PYTHON", fake}}});
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out, "-m sigma.backends.libtallis.cli -o /tmp/out.sigmac -- rule.yml\n");
  EXPECT_EQ(ok.err, "");

  veldra_run failed = run_veldra(
      {{"sigma", "compile", "rule.yml", "--full"}, "", fixtures(), {{"VELDRA_PYTHON", "false"}}});
  EXPECT_EQ(failed.status, 3);
  EXPECT_EQ(failed.err,
            "veldra sigma compile --full: failed; it needs pysigma-backend-libtallis>=0.1,<0.2 in "
            "false\n");

  veldra_run missing = run_veldra({{"sigma", "compile", "rule.yml", "--full"}, "", fixtures(),
                                   {{"VELDRA_PYTHON", "/nonexistent/python"}}});
  EXPECT_EQ(missing.status, 3);
  EXPECT_EQ(missing.err, "veldra sigma compile --full: cannot run /nonexistent/python\n");

  // The YAML must be readable before anything is started.
  veldra_run unreadable = run_veldra(
      {{"sigma", "compile", "--full", "nope.yml"}, "", fixtures(), {{"VELDRA_PYTHON", fake}}});
  EXPECT_EQ(unreadable.status, 3);
  EXPECT_EQ(unreadable.out, "");
  EXPECT_EQ(unreadable.err, "veldra: cannot open nope.yml: No such file or directory\n");
}

// Without -o the converter is told to write the default database name.
TEST(CliSigmaFull, DefaultDatabaseName) {
  veldra_run r = run_veldra({{"sigma", "compile", "--full", "rule.yml"}, "", fixtures(),
                             {{"VELDRA_PYTHON", fixtures() + "/fake_converter.sh"}}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "-m sigma.backends.libtallis.cli -o rules.sigmac -- rule.yml\n");
}

// A text with a zero byte ends at that byte: what follows is never looked at.
TEST(CliInput, ZeroByteEndsTheText) {
  // The header after the zero byte is not seen: the text has no header.
  std::string hidden = std::string("# x\n") + '\0' + "version=2\n";
  veldra_run r = run_veldra({{"check", "-r", "-", "-s", "samples.log"}, hidden, fixtures(), {}});
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err,
            "veldra: warning: stdin holds a zero byte at offset 4; the text after it is ignored\n"
            "veldra: - is not a version=2 rulebase; it must be migrated before either engine can "
            "load it\n");
}

// An unreadable file (permissions) gives the open message; root reads
// everything, so this only runs for other users.
TEST(CliInput, UnreadableFile) {
  if (geteuid() == 0) GTEST_SKIP() << "root can read any file";
  temp_dir d;
  spill(d / "secret.rb", "version=2\n");
  chmod((d / "secret.rb").c_str(), 0);
  veldra_run r = run_veldra({{"check", "-r", d / "secret.rb", "-s", "x"}, "", "", {}});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "veldra: cannot open " + (d / "secret.rb") + ": Permission denied\n");
}

}  // namespace
