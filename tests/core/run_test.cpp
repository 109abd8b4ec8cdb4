// The comparison run: version header, text preparation, loading both
// engines, one pass over the samples, classification and the tally.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/veldra.h"
#include "vaderad/turbo.h"

// Exposed by src/core/engine.cpp for tests.
vdr_status vdr_classify(bool legacy_unparsed, bool turbo_unparsed, size_t n_diffs, uint32_t shape,
                        int dup_names);
char *vdr_prepare_rulebase_text(const char *text);
int vdr_count_dup_names(fjson_object *ev);
char *vdr_load_failure_message(bool legacy_failed, bool turbo_failed, const char *diag_legacy,
                               const char *diag_turbo);

namespace {

const char *const k_rb = "version=2\n"
                         "rule=login:user %user.name:word% from %source.ip:ipv4%\n";

TEST(RunHeader, VersionTwoDetection) {
  struct Case {
    const char *text;
    int v2;
  } cases[] = {
      {"version=2\n", 1},
      {"  version=2\t\r\nrule=:x\n", 1},
      {"# comment\n\n \t\n\tversion=2", 1},
      {"version=2 # note\n", 0},
      {"version=20\n", 0},
      {"version=1\nversion=2\n", 0},
      {"rule=:x\nversion=2\n", 0},
      {"# only a comment\n", 0},
      {"", 0},
      {nullptr, 0},
  };
  for (const Case &k : cases)
    EXPECT_EQ(vdr_rulebase_is_v2(k.text), k.v2) << (k.text ? k.text : "null");
}

TEST(RunHeader, PreparedText) {
  const std::string prelude = "type=@IPaddr:%net_src_ip4:ipv4%\n"
                              "type=@IPaddr:%net_src_ip6:ipv6%\n"
                              "type=@ip:%..:ipv4%\n"
                              "type=@ip:%..:ipv6%\n";
  struct Case {
    const char *text;
    std::string want;
  } cases[] = {
      {"version=2\nrule=:a", "#        \nrule=:a\n"},
      {"# c\n  version=2\t\r\nrule=:a\n", "# c\n#            \nrule=:a\n"},
      {"version=2\ninclude= /opt/rb/basic_types.rb \t\r\nrule=:a\n",
       "#        \n" + prelude + "rule=:a\n"},
      {"version=2\n  include=my_basic_types.rb\n", "#        \n" + prelude},
      {"version=2\ninclude=types.rb\n", "#        \ninclude=types.rb\n"},
      {"version=2\ninclude=basic_types.r\n", "#        \ninclude=basic_types.r\n"},
      // The 14-character name alone is long enough.
      {"version=2\ninclude=basic_types.rb\n", "#        \n" + prelude},
      {"version=2\n# include=/x/basic_types.rb\n", "#        \n# include=/x/basic_types.rb\n"},
  };
  for (const Case &k : cases) {
    char *p = vdr_prepare_rulebase_text(k.text);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p), k.want) << k.text;
    vdr_free(p);
  }
}

TEST(RunClassify, FirstRuleThatApplies) {
  struct Case {
    bool lu, tu;
    size_t n;
    uint32_t shape;
    int dups;
    vdr_status want;
  } cases[] = {
      {true, true, 0, 0, 0, VDR_STATUS_UNPARSED_BOTH},
      {false, true, 0, 0, 3, VDR_STATUS_COVERAGE_GAP},
      {true, false, 0, 0, 0, VDR_STATUS_TURBO_ONLY},
      {false, false, 0, 0, 0, VDR_STATUS_MATCH},
      {false, false, 0, 2, 0, VDR_STATUS_EQUIVALENT},
      {false, false, 0, 0, 1, VDR_STATUS_MATCH},
      {false, false, 1, 0, 1, VDR_STATUS_DUP_FIELD},
      {false, false, 2, 0, 2, VDR_STATUS_DUP_FIELD},
      {false, false, 3, 0, 2, VDR_STATUS_DIVERGENCE},
      {false, false, 1, 0, 0, VDR_STATUS_DIVERGENCE},
  };
  for (const Case &k : cases)
    EXPECT_EQ(vdr_classify(k.lu, k.tu, k.n, k.shape, k.dups), k.want)
        << k.lu << k.tu << " n=" << k.n << " shape=" << k.shape << " dups=" << k.dups;
}

TEST(RunClassify, DuplicateNamesInTheWalkerEvent) {
  struct Case {
    std::vector<const char *> names;
    int dups;
  } cases[] = {
      {{"a", "b"}, 0},
      {{"msg", "a", "msg"}, 1},
      {{"msg", "msg", "msg", "x", "x"}, 3},
      {{}, 0},
  };
  for (const Case &k : cases) {
    fjson_object *o = fjson_object_new_object();
    for (const char *n : k.names)
      fjson_object_object_add_ex(o, n, fjson_object_new_int(1), FJSON_OBJECT_ADD_KEY_IS_NEW);
    EXPECT_EQ(vdr_count_dup_names(o), k.dups) << k.names.size();
    fjson_object_put(o);
  }
  // Past 64 members the count goes through a hash table; same answer.
  fjson_object *big = fjson_object_new_object();
  for (int i = 0; i < 200; ++i)
    fjson_object_object_add_ex(big, ("f" + std::to_string(i % 150)).c_str(),
                               fjson_object_new_int(i), FJSON_OBJECT_ADD_KEY_IS_NEW);
  EXPECT_EQ(vdr_count_dup_names(big), 50);
  fjson_object_put(big);
  EXPECT_EQ(vdr_count_dup_names(nullptr), 0);
}

struct RunHolder {
  vdr_run *run = nullptr;
  char *err = nullptr;
  RunHolder(const char *text, vdr_config *cfg = nullptr) { run = vdr_run_new(text, cfg, &err); }
  ~RunHolder() {
    vdr_run_free(run);
    vdr_free(err);
  }
};

struct Calls {
  std::vector<std::pair<size_t, size_t>> seen;
  static void cb(size_t done, size_t total, void *user) {
    static_cast<Calls *>(user)->seen.emplace_back(done, total);
  }
};

// The status a walker-matched sample of k_rb gets: both engines match it, and
// VaderAD nests the dotted names into objects, so the two results are
// equivalent rather than identical.
vdr_status matched_status(const vdr_run *run) {
  EXPECT_EQ(vdr_run_turbo_available(run), 1);
  return VDR_STATUS_EQUIVALENT;
}

// A walker result nested deeper than the JSON library's default depth of 32
// (user types inside user types) is still a matched result, not unparsed.
// VaderAD's call stack holds LN_VM_MAX_CALLS (16) user-type levels, so at
// these depths it declines the sample and the walker alone serves it: a
// coverage gap, where a walker side read as unparsed would give unparsed.
TEST(RunSamples, DeeplyNestedResultsStayMatched) {
  for (int depth : {31, 40, 400}) {
    std::string rb = "version=2\ntype=@t0:%v:number%\n";
    for (int i = 1; i <= depth; ++i)
      rb += "type=@t" + std::to_string(i) + ":(%v:@t" + std::to_string(i - 1) + "%)\n";
    rb += "rule=:x %p:@t" + std::to_string(depth) + "%\n";
    const std::string line = "x " + std::string(depth, '(') + "7" + std::string(depth, ')');
    RunHolder r(rb.c_str());
    ASSERT_NE(r.run, nullptr) << r.err;
    ASSERT_EQ(vdr_run_samples(r.run, line.c_str(), nullptr, nullptr), 1u);
    size_t n = 0;
    const vdr_result *res = vdr_run_results(r.run, &n);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(vdr_run_turbo_available(r.run), 1);
    EXPECT_EQ(res[0].status, VDR_STATUS_COVERAGE_GAP) << depth;
  }
}

TEST(RunSamples, LinesRecordsAndTally) {
  RunHolder r(k_rb);
  ASSERT_NE(r.run, nullptr) << (r.err ? r.err : "");
  std::string big(2 * 1024 * 1024, 'x');
  std::string samples = "user alice from 10.0.0.1\r\n" // CRLF
                        "\n\r\n"                       // blank lines
                        "garbage \x01\xff bytes\n" +   // binary bytes, unparsed
                        big +
                        "\n" +                    // one line of megabytes
                        "user bob from 10.0.0.2"; // no line end
  Calls calls;
  EXPECT_EQ(vdr_run_samples(r.run, samples.c_str(), Calls::cb, &calls), 4u);
  size_t n = 0;
  const vdr_result *res = vdr_run_results(r.run, &n);
  ASSERT_EQ(n, 4u);
  EXPECT_STREQ(res[0].line, "user alice from 10.0.0.1");
  EXPECT_STREQ(res[1].line, "garbage \x01\xff bytes");
  EXPECT_EQ(strlen(res[2].line), big.size());
  EXPECT_STREQ(res[3].line, "user bob from 10.0.0.2");
  const vdr_status m = matched_status(r.run);
  const vdr_status want[] = {m, VDR_STATUS_UNPARSED_BOTH, VDR_STATUS_UNPARSED_BOTH, m};
  for (size_t i = 0; i < n; ++i) {
    EXPECT_EQ(res[i].index, i);
    EXPECT_EQ(res[i].status, want[i]) << i;
    EXPECT_EQ(res[i].legacy_json, nullptr) << "JSON texts are kept only on request";
    EXPECT_EQ(res[i].turbo_json, nullptr);
  }
  const size_t *t = vdr_run_tally(r.run);
  EXPECT_EQ(t[m], 2u);
  EXPECT_EQ(t[VDR_STATUS_UNPARSED_BOTH], 2u);
  // Total counts every line, blank ones included: 5 line feeds plus the last line.
  ASSERT_EQ(calls.seen.size(), 1u);
  EXPECT_EQ(calls.seen[0], std::make_pair(size_t{4}, size_t{6}));
}

TEST(RunSamples, CountingEdgeCases) {
  RunHolder r(k_rb);
  ASSERT_NE(r.run, nullptr);
  Calls calls;
  EXPECT_EQ(vdr_run_samples(r.run, "a\r\n\r\n\nb", Calls::cb, &calls), 2u);
  ASSERT_EQ(calls.seen.size(), 1u);
  EXPECT_EQ(calls.seen[0], std::make_pair(size_t{2}, size_t{4}));
  EXPECT_EQ(vdr_run_samples(r.run, nullptr, nullptr, nullptr), 0u);

  RunHolder empty(k_rb);
  Calls c2;
  EXPECT_EQ(vdr_run_samples(empty.run, "", Calls::cb, &c2), 0u);
  ASSERT_EQ(c2.seen.size(), 1u);
  EXPECT_EQ(c2.seen[0], std::make_pair(size_t{0}, size_t{0}));
}

TEST(RunSamples, MaxSamplesStopsEarly) {
  vdr_config cfg{};
  cfg.max_samples = 2;
  RunHolder r(k_rb, &cfg);
  ASSERT_NE(r.run, nullptr);
  EXPECT_EQ(vdr_run_samples(r.run, "a\nb\nc\nd\ne\n", nullptr, nullptr), 2u);
  size_t n = 0;
  vdr_run_results(r.run, &n);
  EXPECT_EQ(n, 2u);
}

TEST(RunSamples, ProgressEvery500AndAtTheEnd) {
  RunHolder r(k_rb);
  ASSERT_NE(r.run, nullptr);
  std::string samples;
  for (int i = 0; i < 1000; ++i)
    samples += "user u" + std::to_string(i) + " from 10.0.0.1\n";
  Calls calls;
  EXPECT_EQ(vdr_run_samples(r.run, samples.c_str(), Calls::cb, &calls), 1000u);
  std::vector<std::pair<size_t, size_t>> want = {{500, 1000}, {1000, 1000}, {1000, 1000}};
  EXPECT_EQ(calls.seen, want);
  EXPECT_EQ(vdr_run_tally(r.run)[matched_status(r.run)], 1000u);
}

TEST(RunSamples, KeepJsonKeepsTheWalkerText) {
  vdr_config cfg{};
  cfg.keep_json = 1;
  RunHolder r(k_rb, &cfg);
  ASSERT_NE(r.run, nullptr);
  ASSERT_EQ(vdr_run_samples(r.run, "user alice from 10.0.0.1\nnothing\n", nullptr, nullptr), 2u);
  const vdr_result *res = vdr_run_results(r.run, nullptr);
  ASSERT_NE(res[0].legacy_json, nullptr);
  fjson_object *o = fjson_tokener_parse(res[0].legacy_json);
  ASSERT_NE(o, nullptr);
  fjson_object *v = nullptr;
  ASSERT_TRUE(fjson_object_object_get_ex(o, "user.name", &v));
  EXPECT_STREQ(fjson_object_get_string(v), "alice");
  fjson_object_put(o);
  ASSERT_NE(res[1].legacy_json, nullptr);
  EXPECT_NE(strstr(res[1].legacy_json, "unparsed-data"), nullptr);
}

TEST(RunNew, RefusalsAndLoadFailures) {
  RunHolder v1("rule=:x\n");
  EXPECT_EQ(v1.run, nullptr);
  ASSERT_NE(v1.err, nullptr);
  EXPECT_STREQ(v1.err,
               "not a version=2 rulebase: the first non-comment line must be 'version=2'. v1 "
               "rulebases are out of scope for veldra and must be migrated first.");

  // An include that is not the basic-types file is passed on and fails to
  // load on both engines; each part carries that engine's own messages.
  RunHolder inc("version=2\ninclude=/nonexistent/veldra/types.rb\nrule=:x\n");
  EXPECT_EQ(inc.run, nullptr);
  ASSERT_NE(inc.err, nullptr);
  std::string e = inc.err;
  const std::string l = "rulebase failed to load on the legacy walker:\n";
  const std::string t = "rulebase failed to load on VaderAD:\n";
  ASSERT_EQ(e.compare(0, l.size(), l), 0) << e;
  size_t tpos = e.find(t);
  ASSERT_NE(tpos, std::string::npos) << e;
  EXPECT_EQ(e.substr(l.size(), tpos - l.size()), e.substr(tpos + t.size())) << e;
  EXPECT_NE(e.find("types.rb"), std::string::npos) << e;

  // The basic-types include is expanded into the prelude, so no file is read.
  RunHolder bt("version=2\ninclude=/nonexistent/veldra/basic_types.rb\nrule=:from %src:@ip%\n");
  ASSERT_NE(bt.run, nullptr) << (bt.err ? bt.err : "");
  EXPECT_EQ(vdr_run_samples(bt.run, "from 10.1.2.3\n", nullptr, nullptr), 1u);
  EXPECT_EQ(vdr_run_results(bt.run, nullptr)[0].status, VDR_STATUS_MATCH); // no dotted names

  // Without a message pointer nothing leaks and nothing is returned.
  EXPECT_EQ(vdr_run_new("rule=:x\n", nullptr, nullptr), nullptr);
}

TEST(RunNew, LoadFailureOnOneEngineNamesOnlyThatEngine) {
  struct Case {
    bool l, t;
    const char *want;
  } cases[] = {
      {true, false, "rulebase failed to load on the legacy walker:\nL1\n"},
      {false, true, "rulebase failed to load on VaderAD:\nT1\nT2\n"},
      {true, true,
       "rulebase failed to load on the legacy walker:\nL1\nrulebase failed to load on "
       "VaderAD:\nT1\nT2\n"},
  };
  for (const Case &k : cases) {
    char *m = vdr_load_failure_message(k.l, k.t, "L1\n", "T1\nT2\n");
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m, k.want);
    vdr_free(m);
  }
}

TEST(RunNew, FromFileResolvesNothingButThePath) {
  std::string dir = testing::TempDir();
  std::string path = dir + "/veldra_run_test.rb";
  {
    std::ofstream out(path);
    out << k_rb;
  }
  char *err = nullptr;
  vdr_run *run = vdr_run_new_from_file(path.c_str(), nullptr, &err);
  ASSERT_NE(run, nullptr) << (err ? err : "");
  EXPECT_EQ(err, nullptr);
  EXPECT_STREQ(vdr_run_diagnostics(run, VDR_ENGINE_LEGACY), "");
  EXPECT_EQ(vdr_run_samples(run, "user carol from 192.168.1.1\n", nullptr, nullptr), 1u);
  EXPECT_EQ(vdr_run_tally(run)[matched_status(run)], 1u);
  vdr_run_free(run);
  std::remove(path.c_str());

  vdr_run *missing = vdr_run_new_from_file((dir + "/veldra_no_such.rb").c_str(), nullptr, &err);
  EXPECT_EQ(missing, nullptr);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(std::string(err).rfind("rulebase failed to load on the legacy walker:\n", 0), 0u)
      << err;
  vdr_free(err);

  vdr_run_free(nullptr);
  EXPECT_STREQ(vdr_run_diagnostics(nullptr, VDR_ENGINE_TURBO), "");
  EXPECT_EQ(vdr_run_turbo_available(nullptr), 0);
}

} // namespace
