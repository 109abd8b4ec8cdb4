// `veldra sigma compile` and `veldra sigma lint` run end to end: files
// written, messages, exit statuses, and no output file after a failure.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "run_veldra.h"
#include "sigma/sigma_format.h"

namespace {

const std::string kRule =
    "title: Root login\nname: root_login\ntaxonomy: ecs\nlevel: high\nhark_verdict: alert\n"
    "# hark-tier: STRONG\nlogsource:\n  product: linux\n  service: sshd\n"
    "detection:\n  sel:\n    user.name: root\n  condition: sel\n";
const std::string kCorr =
    "---\ntitle: Many\nname: many\ncorrelation:\n  type: event_count\n  rules: root_login\n"
    "  timespan: 10m\n  condition:\n    gte: 3\n";

bool exists(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

TEST(CliSigmaCompile, WritesTheDatabaseAndItsCorrelationFile) {
  temp_dir d;
  spill(d / "r.yml", kRule + kCorr);
  veldra_run r = run_veldra({{"sigma", "compile", "r.yml", "-o", "out.sigmac"}, "", d.path, {}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string img = slurp(d / "out.sigmac");
  EXPECT_EQ(r.out, "wrote " + std::to_string(img.size()) + " bytes\n");
  sigma_db_t db{};
  ASSERT_EQ(sigma_db_load_file((d / "out.sigmac").c_str(), &db), SIGMA_OK);
  EXPECT_EQ(db.n_rules, 1u);
  sigma_db_free(&db);
  EXPECT_EQ(slurp(d / "out.sigmac.corr.json"),
            "{\"version\":1,\"correlations\":[{\"id\":\"many\",\"title\":\"Many\",\"type\":"
            "\"event_count\",\"base_rule_ids\":[1],\"group_by\":[],\"timespan_s\":600,"
            "\"condition\":{\"op\":\"gte\",\"count\":3},\"level\":\"medium\"}]}");

  // Without -o: rules.sigmac in the working directory and no side file.
  r = run_veldra({{"sigma", "compile", "r.yml"}, "", d.path, {}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(d / "rules.sigmac"), img);
  EXPECT_FALSE(exists(d / "rules.sigmac.corr.json"));
}

TEST(CliSigmaCompile, AFailureWritesNothingAndKeepsAnEarlierDatabase) {
  temp_dir d;
  spill(d / "bad.yml", "title: t\ntaxonomy: ecs\ndetection:\n  sel:\n    f|gt: abc\n");
  veldra_run r = run_veldra({{"sigma", "compile", "bad.yml", "-o", "new.sigmac"}, "", d.path, {}});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "veldra sigma compile: document 1 (\"t\"), line 5: key 'f|gt': 'abc' is not a whole "
            "number in the 64-bit range\n");
  EXPECT_FALSE(exists(d / "new.sigmac"));

  // A rule with Sigma's own field names: refused, pointing at --full.
  spill(d / "std.yml", "title: t\ndetection:\n  sel:\n    - Image|endswith: '\\x.exe'\n"
                       "    - CommandLine|contains|all:\n        - a\n        - b\n"
                       "  condition: 1 of sel*\n");
  r = run_veldra({{"sigma", "compile", "std.yml", "-o", "std.sigmac"}, "", d.path, {}});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err,
            "veldra sigma compile: document 1 (\"t\"), line 1: in-tab compiler is taxonomy: ecs "
            "only; use native sigmac for SigmaHQ\nveldra sigma compile: rules with other field "
            "names compile with 'veldra sigma compile --full std.yml'\n");
  EXPECT_FALSE(exists(d / "std.sigmac"));

  spill(d / "keep.sigmac", "earlier");
  spill(d / "tabs.yml", "title: t\ndetection:\n\tsel: x\n");
  r = run_veldra({{"sigma", "compile", "tabs.yml", "-o", "keep.sigmac"}, "", d.path, {}});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err,
            "veldra sigma compile: document 1, line 3: tab in indentation (YAML indents with "
            "spaces only)\n");
  EXPECT_EQ(slurp(d / "keep.sigmac"), "earlier");

  // An output that cannot be written.
  spill(d / "r.yml", kRule);
  r = run_veldra({{"sigma", "compile", "r.yml", "-o", d / "no/such/dir/x.sigmac"}, "", d.path, {}});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("veldra sigma compile: write failed\n"), std::string::npos) << r.err;

  // Binary input.
  std::string binary(300, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 37 + 1);
  spill(d / "b.yml", binary);
  r = run_veldra({{"sigma", "compile", "b.yml", "-o", "b.sigmac"}, "", d.path, {}});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("this is not a YAML text"), std::string::npos) << r.err;
  EXPECT_FALSE(exists(d / "b.sigmac"));

  // A valid rule followed by a zero byte and more text.
  spill(d / "z.yml", kRule + std::string(1, '\0') + "junk");
  r = run_veldra({{"sigma", "compile", "z.yml", "-o", "z.sigmac"}, "", d.path, {}});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("veldra sigma compile: z.yml holds a zero byte; this is not a YAML text\n"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(exists(d / "z.sigmac"));
}

TEST(CliSigmaLint, PrintsTheMarksAsOneJsonLine) {
  temp_dir d;
  spill(d / "r.yml", kRule);
  veldra_run r = run_veldra({{"sigma", "lint", "r.yml", "--source-id", "linux-sshd"}, "", d.path, {}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{\"ok\":true,\"marks\":[]}\n");
  r = run_veldra({{"sigma", "lint", "r.yml", "--source-id", "windows-security"}, "", d.path, {}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "{\"ok\":true,\"marks\":[{\"kind\":\"ecs-warn\",\"token\":\"logsource\",\"msg\":"
            "\"logsource product/service may not match this source_id; matcher routes on "
            "techno/product\"}]}\n");
  EXPECT_EQ(r.err, "");
}

} // namespace
