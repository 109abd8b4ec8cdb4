// End to end: `veldra spec` and `veldra triad` as a user runs them: exact
// messages and exit statuses, no output left by a refusal, and a kit that
// reads back (meta.yaml through a YAML parser) and is never left mixed.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <set>
#include <string>

#include "../core/yaml_read.h"
#include "run_veldra.h"

namespace {

veldra_run run(const std::vector<std::string> &args, const std::string &stdin_text = "") {
  return run_veldra({args, stdin_text, "", {}});
}

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The names in a directory, dot files included.
std::set<std::string> listing(const std::string &dir) {
  std::set<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

const char k_spec[] =
    R"({"tag":"linux_sshd","segments":[{"literal":"Failed password for "},{"field":"user.name"},)"
    R"({"literal":" from "},{"field":"source.ip","type":"ipv4"}],)"
    R"("annotations":{"event.category":"authentication","event.outcome":"failure",)"
    R"("event.severity":"high"}})";

const char k_rulebase[] = "version=2\n"
                          "rule=linux_sshd:Failed password for %user.name:word% from "
                          "%source.ip:ipv4%\n"
                          "annotate=linux_sshd:+event.category=\"authentication\"\n"
                          "annotate=linux_sshd:+event.outcome=\"failure\"\n"
                          "annotate=linux_sshd:+event.severity=\"high\"\n";

TEST(SpecFlow, WritesTheRulebase) {
  temp_dir t;
  spill(t / "spec.json", k_spec);
  veldra_run r = run({"spec", "--spec", t / "spec.json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, k_rulebase);
  EXPECT_EQ(r.err, "");

  r = run({"spec", "--spec", "-", "-o", t / "out.rb"}, k_spec);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(slurp(t / "out.rb"), k_rulebase);
}

TEST(SpecFlow, RefusalsLeaveNoFile) {
  temp_dir t;
  spill(t / "bad.json", R"({"tag":"t","segments":[{"field":"srcip"}]})");
  std::string nul = std::string(k_spec, 20) + '\0' + (k_spec + 20);
  spill(t / "nul.json", nul);
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"spec"}, "veldra: spec needs --spec\n"},
      {{"spec", "-o", t / "out.rb"}, "veldra: spec needs --spec\n"},
      {{"spec", "-o", t / "out.rb", "--spec"}, "veldra: unknown option '--spec'\n"},
      {{"spec", "--spec", t / "bad.json", "-o", t / "out.rb"},
       "veldra: segment 0: field 'srcip' is not in ECS 9.5.0\n"},
      {{"spec", "--spec", t / "nul.json", "-o", t / "out.rb"},
       "veldra: " + t / "nul.json" +
           " holds a zero byte at offset 20; it is not text and is refused\n"},
      {{"spec", "--spec", t / "missing.json", "-o", t / "out.rb"},
       "veldra: cannot open " + t / "missing.json" + ": No such file or directory\n"},
  };
  for (const Case &c : cases) {
    veldra_run r = run(c.args);
    EXPECT_EQ(r.status, 3) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(exists(t / "out.rb")) << c.err;
  }
}

TEST(TriadFlow, WritesAKitThatReadsBackAndRebuildsTheSame) {
  temp_dir t;
  // The rulebase as spec writes it, without its last newline.
  spill(t / "in.rb", std::string(k_rulebase, sizeof k_rulebase - 2));
  veldra_run r = run({"triad", "-r", t / "in.rb", "-o", t / "kit", "--label", "SSH \"gate\""});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "wrote parser.rulebase and meta.yaml for linux-sshd in " + t / "kit" + "\n");
  EXPECT_EQ(listing(t / "kit"), (std::set<std::string>{"meta.yaml", "parser.rulebase"}));
  EXPECT_EQ(slurp(t / "kit/parser.rulebase"), k_rulebase);
  const std::string meta = slurp(t / "kit/meta.yaml");
  ynode y;
  std::string err;
  ASSERT_TRUE(yaml_read(meta, &y, &err)) << err << "\n" << meta;
  EXPECT_EQ(y["id"].scalar, "linux-sshd");
  EXPECT_EQ(y["title"].scalar, "SSH \"gate\"");
  EXPECT_EQ(y["ocsf"]["class"].scalar, "3002");
  EXPECT_EQ(y["entity_keys"].scalars(),
            (std::vector<std::string>{"src_host:source.ip", "user:user.name", "outcome:event.outcome:auth"}));
  EXPECT_EQ(y["collection"]["path"].scalar, "/var/log/auth.log");

  // The kit's own rulebase gives the same kit; an existing kit is replaced.
  r = run({"triad", "-r", t / "kit/parser.rulebase", "-o", t / "kit", "--label",
                   "SSH \"gate\""});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(t / "kit/meta.yaml"), meta);
  EXPECT_EQ(listing(t / "kit"), (std::set<std::string>{"meta.yaml", "parser.rulebase"}));
}

TEST(TriadFlow, RefusalsLeaveNoKit) {
  temp_dir t;
  spill(t / "ok.rb", k_rulebase);
  spill(t / "v1.rb", "rule=:%user.name:word%\n");
  spill(t / "nul.rb", std::string(k_rulebase, 30) + '\0' + (k_rulebase + 30));
  spill(t / "noecs.rb", "version=2\nrule=acme_box:%srcip:word%\n");
  spill(t / "inc.rb", std::string(k_rulebase) + "include=more.rb\n");
  spill(t / "detect.rb", "version=2\nrule=ssh_fail:%source.ip:ipv4%\n"
                         "annotate=ssh_fail:+event.category=\"authentication\"\n"
                         "annotate=ssh_fail:+event.outcome=\"failure\"\n");
  const std::string kit = t / "kit";
  const std::string build_msg =
      "veldra: failed to build the exchange kit (set --source-id techno-product, e.g. "
      "linux-sshd; facility is [a-z0-9], path is absolute, input-type is imfile/imudp/imtcp)\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"triad"}, 3, "veldra: triad needs --rulebase and --out\n"},
      {{"triad", "-r", t / "ok.rb"}, 3, "veldra: triad needs --rulebase and --out\n"},
      {{"triad", "-r", t / "ok.rb", "--out"}, 3, "veldra: unknown option '--out'\n"},
      {{"triad", "-r", t / "v1.rb", "-o", kit}, 5,
       "veldra: " + t / "v1.rb" +
           " is not a version=2 rulebase; it must be migrated before either engine can load it\n"},
      {{"triad", "-r", t / "nul.rb", "-o", kit}, 3,
       "veldra: " + t / "nul.rb" + " holds a zero byte at offset 30; it is not text and is refused\n"},
      {{"triad", "-r", t / "ok.rb", "-o", kit, "--source-id", "sshd"}, 3,
       "veldra: --source-id must be techno-product (linux-sshd); the index is "
       "customer-techno-product\n"},
      {{"triad", "-r", t / "noecs.rb", "-o", kit}, 6,
       "veldra: ECS lint failed; triad export refused\n"
       "  field 'srcip' is not in ECS 9.5.0\n"
       "  no event.category (field or annotate=)\n"
       "  no entity-capable field (address, account, host, domain, or hash)\n"},
      {{"triad", "-r", t / "ok.rb", "-o", kit, "--facility", "LOCAL0"}, 3, build_msg},
      {{"triad", "-r", t / "ok.rb", "-o", kit, "--input-type", "imudp", "--input-path", "08"}, 3,
       build_msg},
      {{"triad", "-r", t / "detect.rb", "-o", kit}, 3,
       "veldra: ssh_fail: is a detection rule and has no lexicon severity (log.level is not a "
       "band)\n"},
      {{"triad", "-r", t / "inc.rb", "-o", kit}, 3,
       "veldra: the rulebase has include= lines, and an exchange kit carries parser.rulebase "
       "alone; inline the included rules first\n"},
      {{"triad", "-r", t / "ok.rb", "-o", kit, "--label", "two\nlines"}, 3,
       "veldra: --label must be printable UTF-8 text (no control bytes, DEL or invalid UTF-8)\n"},
      {{"triad", "-r", t / "ok.rb", "-o", kit, "--label", "bad \xff byte"}, 3,
       "veldra: --label must be printable UTF-8 text (no control bytes, DEL or invalid UTF-8)\n"},
      {{"triad", "-r", t / "ok.rb", "-o", t / "ok.rb/kit"}, 3,
       "veldra: cannot create " + t / "ok.rb/kit" + ": Not a directory\n"},
  };
  for (const Case &c : cases) {
    veldra_run r = run(c.args);
    EXPECT_EQ(r.status, c.status) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(exists(kit)) << c.err;
  }
  // --allow-non-ecs exports what the lint refuses.
  veldra_run r = run({"triad", "-r", t / "noecs.rb", "-o", kit, "--allow-non-ecs"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(exists(kit + "/meta.yaml"));
}

TEST(TriadFlow, AFailedWriteLeavesTheOldKitWhole) {
  temp_dir t;
  spill(t / "ok.rb", k_rulebase);
  ASSERT_EQ(mkdir((t / "kit").c_str(), 0755), 0);
  spill(t / "kit/parser.rulebase", "old rulebase\n");
  // meta.yaml cannot be written: the new parser.rulebase must not land alone.
  ASSERT_EQ(mkdir((t / "kit/meta.yaml").c_str(), 0755), 0);
  veldra_run r = run({"triad", "-r", t / "ok.rb", "-o", t / "kit"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "veldra: cannot write " + t / "kit/meta.yaml" + ": Is a directory\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(slurp(t / "kit/parser.rulebase"), "old rulebase\n");
  EXPECT_EQ(listing(t / "kit"), (std::set<std::string>{"meta.yaml", "parser.rulebase"}));
}

} // namespace
