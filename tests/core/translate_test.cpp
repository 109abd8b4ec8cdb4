// Field alias translation: the built-in table, overlay lookups, the parser
// guess, the rewrite of field names, and what the rewrite must preserve when
// both rulebases run over the same samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/translate.h"
#include "core/veldra.h"
#include "../cli/run_veldra.h"

namespace {

std::string fixture(const std::string &name) {
  return slurp(std::string(VELDRA_TEST_DIR) + "/fixtures/translate/" + name);
}

// The translation as a string; "<null>" when the call gave null.
std::string translate(const char *rb, const char *overlay = nullptr, const char *parser = nullptr) {
  char *t = vdr_ecs_translate(rb, overlay, parser);
  if (!t) return "<null>";
  std::string s(t);
  vdr_free(t);
  return s;
}

TEST(AliasTable, IsTheCsvSortedWithTheRequiredRows) {
  std::ifstream in(std::string(VELDRA_SOURCE_DIR) + "/data/ecs/aliases.csv");
  ASSERT_TRUE(in);
  std::string row;
  std::getline(in, row);
  EXPECT_EQ(row, "from,to");
  size_t rows = 0;
  while (std::getline(in, row)) {
    if (row.empty()) continue;
    size_t comma = row.find(',');
    ASSERT_NE(comma, std::string::npos) << row;
    const vdr_ecs_alias_ent *e = vdr_ecs_alias_row(rows);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(row.substr(0, comma), e->from);
    EXPECT_EQ(row.substr(comma + 1), e->to);
    ++rows;
  }
  EXPECT_EQ(rows, 5372u);
  ASSERT_EQ(vdr_ecs_alias_rows(), rows);
  EXPECT_EQ(vdr_ecs_alias_row(rows), nullptr);
  for (size_t i = 1; i < rows; ++i)
    ASSERT_LT(strcmp(vdr_ecs_alias_row(i - 1)->from, vdr_ecs_alias_row(i)->from), 0) << i;

  const char *const required[][2] = {
      {"$rawmsg", "event.original"}, {"@event_type", "event.action"},
      {"srcip", "source.ip"},        {"dstip", "destination.ip"},
      {"user", "user.name"},         {"action", "event.action"},
      {"msg", "message"},            {"zone", "observer.ingress.zone"},
      {"failure_reason", "cisco.router.failure_reason"},
  };
  for (const auto &r : required) EXPECT_STREQ(vdr_ecs_alias_builtin(r[0]), r[1]) << r[0];
  EXPECT_EQ(vdr_ecs_alias_builtin("no-such-vendor-key"), nullptr);
  EXPECT_EQ(vdr_ecs_alias_builtin(""), nullptr);
  EXPECT_EQ(vdr_ecs_alias_builtin(nullptr), nullptr);
}

TEST(AliasLookup, OverlayThenGlobalThenBuiltin) {
  fjson_object *root = fjson_tokener_parse(
      R"({"by_parser":{"fw":{"srcip":"client.ip","zz_num":7,"event_data!Logon":"event.code"}},)"
      R"("global":{"srcip":"host.ip","custom":"labels.custom"}})");
  ASSERT_NE(root, nullptr);
  struct Case {
    const char *parser, *var, *by_parser, *any;
  } cases[] = {
      {"fw", "srcip", "client.ip", "client.ip"},
      {"other", "srcip", nullptr, "host.ip"},
      {nullptr, "srcip", nullptr, "host.ip"},
      {"", "srcip", nullptr, "host.ip"},
      {"fw", "custom", nullptr, "labels.custom"},
      {"fw", "dstip", nullptr, "destination.ip"}, // built-in row
      {"fw", "zz_num", nullptr, nullptr},         // not a string
      {"fw", "event_data!Logon", "event.code", "event.code"},
      {"fw", "-", nullptr, nullptr},
      {"fw", ".", nullptr, nullptr},
      {"fw", "..", nullptr, nullptr},
      {"fw", "", nullptr, nullptr},
      {"fw", nullptr, nullptr, nullptr},
  };
  for (const Case &c : cases) {
    const char *bp = vdr_alias_lookup_parser(root, c.parser, c.var);
    const char *any = vdr_alias_lookup(root, c.parser, c.var);
    EXPECT_STREQ(bp, c.by_parser) << (c.parser ? c.parser : "null") << " " << (c.var ? c.var : "null");
    EXPECT_STREQ(any, c.any) << (c.var ? c.var : "null");
  }
  EXPECT_EQ(vdr_alias_lookup_parser(nullptr, "fw", "srcip"), nullptr);
  EXPECT_STREQ(vdr_alias_lookup(nullptr, "fw", "srcip"), "source.ip");
  fjson_object_put(root);
}

TEST(GuessParser, CandidatesInOrder) {
  const char *overlay = R"({"by_parser":{"fortigate":{},"palo-alto":{},"sshd_ecs":{},"x-ecs":{}}})";
  struct Case {
    const char *stem, *want;
  } cases[] = {
      {"fortigate", "fortigate"},   {"palo_alto", "palo-alto"}, {"sshd", "sshd_ecs"},
      {"fortigate-ecs", "fortigate"}, {"x", "x-ecs"},          {"unknown", nullptr},
      {"", nullptr},
  };
  for (const Case &c : cases) {
    char *g = vdr_ecs_guess_parser(overlay, c.stem);
    if (c.want) EXPECT_STREQ(g, c.want) << c.stem;
    else EXPECT_EQ(g, nullptr) << c.stem;
    vdr_free(g);
  }
  EXPECT_EQ(vdr_ecs_guess_parser("{not json", "fortigate"), nullptr);
  EXPECT_EQ(vdr_ecs_guess_parser(R"({"global":{}})", "fortigate"), nullptr);
  EXPECT_EQ(vdr_ecs_guess_parser(nullptr, "fortigate"), nullptr);
  EXPECT_EQ(vdr_ecs_guess_parser(overlay, nullptr), nullptr);
}

// Rulebases that already name event.category, so the network annotation is
// not added and each case shows the rewrite alone.
TEST(Translate, RewritesNamesAndKeepsThemUniquePerRule) {
  const std::string head = "version=2\nannotate=x:+event.category=\"network\"\n";
  struct Case {
    const char *what, *in, *want;
  } cases[] = {
      {"two fields with one target: the second takes the next free candidate",
       "rule=:%srcip:ipv4% %src:ipv4%\n", "rule=:%source.ip:ipv4% %source.address:ipv4%\n"},
      {"an ECS name in the rule is kept and taken before a vendor name is mapped",
       "rule=:%srcip:ipv4% %source.ip:ipv4%\n", "rule=:%source.address:ipv4% %source.ip:ipv4%\n"},
      {"ECS names are kept, not moved under labels",
       "rule=:%message:word% %@timestamp:word% %tags:word%\n",
       "rule=:%message:word% %@timestamp:word% %tags:word%\n"},
      {"every candidate taken: the name stays; '-' is never picked",
       "rule=:%source.ip:word% %source.address:word% %labels.srcip:word% %srcip:word% %unknown:word%\n",
       "rule=:%source.ip:word% %source.address:word% %labels.srcip:word% %srcip:word% "
       "%labels.unknown:word%\n"},
      {"'-' and '.' are never renamed", "rule=:%-:word% %.:word% %..:word%\n",
       "rule=:%-:word% %.:word% %..:word%\n"},
      {"one name twice in a rule keeps one target",
       "rule=:%{\"type\":\"alternative\",\"parser\":[{\"type\":\"ipv4\",\"name\":\"srcip\"},"
       "{\"type\":\"word\",\"name\" : \"srcip\"}]}%\n",
       "rule=:%{\"type\":\"alternative\",\"parser\":[{\"type\":\"ipv4\",\"name\":\"source.ip\"},"
       "{\"type\":\"word\",\"name\" : \"source.ip\"}]}%\n"},
      {"the prefix's names are not produced again",
       "prefix=%srcip:ipv4% \nrule=:%src:ipv4%\n",
       "prefix=%source.ip:ipv4% \nrule=:%source.address:ipv4%\n"},
      {"a prefix does not take a name its rules keep",
       "prefix=%srcip:ipv4% \nrule=:%source.ip:word%\n",
       "prefix=%source.address:ipv4% \nrule=:%source.ip:word%\n"},
      {"inline types count with their names",
       "type=@ep:%srcip:ipv4%\nrule=:%.:@ep% %src:ipv4%\n",
       "type=@ep:%source.ip:ipv4%\nrule=:%.:@ep% %source.address:ipv4%\n"},
      {"comments, literal text and annotate values stay byte-identical",
       "# %srcip:ipv4% and tz:+0100\nrule=:tz:+0100 %msg:rest%\nannotate=t:+msg=\"tz:+0100 x:+y=1\"\n",
       "# %srcip:ipv4% and tz:+0100\nrule=:tz:+0100 %message:rest%\n"
       "annotate=t:+message=\"tz:+0100 x:+y=1\"\n"},
      {"every annotate operation is rewritten; names that annotate cannot carry are skipped",
       "annotate=t:+user=\"a\" +timestamp=\"b\" # +msg=\"c\"\n",
       "annotate=t:+user.name=\"a\" +event.created=\"b\" # +msg=\"c\"\n"},
      {"a percent run, extra data and JSON parameters",
       "rule=:100%% %user:char-to:,% %dstip:x{\"name\":\"srcip\"}%\n",
       "rule=:100%% %user.name:char-to:,% %destination.ip:x{\"name\":\"source.ip\"}%\n"},
      {"a descriptor open over a line feed is one record",
       "rule=:%{\"type\":\"word\",\n\"name\":\"srcip\"}% %src:ipv4%\n",
       "rule=:%{\"type\":\"word\",\n\"name\":\"source.ip\"}% %source.address:ipv4%\n"},
      {"an over-long name is not rewritten", nullptr, nullptr},
      {"other records are copied", "rewrite=t:uid=user.id\ninclude=srcip.rb\n  rule=:%srcip:ipv4%\n",
       "rewrite=t:uid=user.id\ninclude=srcip.rb\n  rule=:%srcip:ipv4%\n"},
  };
  for (const Case &c : cases) {
    if (!c.in) continue;
    EXPECT_EQ(translate((head + c.in).c_str()), head + c.want) << c.what;
  }
  const std::string long_name(200, 'a');
  const std::string rb = head + "rule=:%" + long_name + ":word% %" + long_name.substr(0, 127) + ":word%\n";
  EXPECT_EQ(translate(rb.c_str()),
            head + "rule=:%" + long_name + ":word% %labels." + long_name.substr(0, 127) + ":word%\n");
}

TEST(Translate, NetworkCategory) {
  struct Case {
    const char *in, *want;
  } cases[] = {
      {"version=2\nrule=:%srcip:ipv4%\nrule=a,ecsnet:x\nrule=b:y",
       "version=2\nrule=ecsnet:%source.ip:ipv4%\nrule=a,ecsnet:x\nrule=b,ecsnet:y\n"
       "annotate=ecsnet:+event.category=\"network\"\n"},
      {"version=2\nrule=:%event.category:word%\n", "version=2\nrule=:%event.category:word%\n"},
      {"version=2\n# no rules\n", "version=2\n# no rules\n"},
      {"", ""},
  };
  for (const Case &c : cases) EXPECT_EQ(translate(c.in), c.want) << c.in;
  EXPECT_EQ(translate(nullptr), "");
}

TEST(Translate, Overlay) {
  const char *rb = "version=2\nannotate=x:+event.category=\"n\"\n"
                   "rule=:%srcip:ipv4% %src:ipv4% %Logon:word% %mine:word%\n";
  const char *overlay = R"({"by_parser":{"fw":{"src":"source.ip","event_data!Logon":"acme.logon",)"
                        R"("mine":"NotEcs"}},"global":{"mine":"host.name"}})";
  // by_parser wins over the built-in row and claims its target first; its
  // targets need only be acceptable; a global alias counts when it is ECS.
  EXPECT_EQ(translate(rb, overlay, "fw"),
            "version=2\nannotate=x:+event.category=\"n\"\n"
            "rule=:%source.address:ipv4% %source.ip:ipv4% %acme.logon:word% %host.name:word%\n");
  EXPECT_EQ(translate(rb, "{\"by_parser\":", "fw"), "<null>");
  EXPECT_EQ(translate(rb, "[1]", "fw"), "<null>");
  EXPECT_EQ(translate(rb, "{} x", "fw"), "<null>");
  EXPECT_NE(translate(rb, "", "fw"), "<null>");
}

// Field values of one sample's walker result, sorted, without the category
// the translation may add, then the number of distinct field names (two
// values under one name would lose one of them).
std::vector<std::string> values_of(const char *json) {
  std::vector<std::string> v;
  if (!json) return v;
  std::vector<std::string> paths;
  fjson_object *o = fjson_tokener_parse(json);
  vdr_canon c{};
  EXPECT_EQ(vdr_canon_build(o, &c), 0);
  for (size_t i = 0; i < c.n; ++i)
    if (strcmp(c.fields[i].path, "event.category") != 0) {
      v.push_back(std::string(c.fields[i].value) + ":" + vdr_type_name(c.fields[i].type));
      paths.push_back(c.fields[i].path);
    }
  vdr_canon_free(&c);
  fjson_object_put(o);
  std::sort(v.begin(), v.end());
  std::sort(paths.begin(), paths.end());
  v.push_back("distinct names: " + std::to_string(std::unique(paths.begin(), paths.end()) - paths.begin()));
  return v;
}

// Runs both rulebases over the samples; every sample must yield the same
// values under the renamed keys and the same status on both engines.
void expect_same_values(const std::string &original, const std::string &translated,
                        const std::string &samples) {
  vdr_config cfg{};
  cfg.keep_json = 1;
  char *err = nullptr;
  vdr_run *a = vdr_run_new(original.c_str(), &cfg, &err);
  ASSERT_NE(a, nullptr) << (err ? err : "");
  vdr_free(err);
  vdr_run *b = vdr_run_new(translated.c_str(), &cfg, &err);
  ASSERT_NE(b, nullptr) << (err ? err : "");
  vdr_free(err);
  vdr_run_samples(a, samples.c_str(), nullptr, nullptr);
  vdr_run_samples(b, samples.c_str(), nullptr, nullptr);
  size_t na = 0, nb = 0;
  const vdr_result *ra = vdr_run_results(a, &na);
  const vdr_result *rb = vdr_run_results(b, &nb);
  ASSERT_EQ(na, nb);
  ASSERT_GT(na, 0u);
  for (size_t i = 0; i < na; ++i) {
    EXPECT_EQ(values_of(ra[i].legacy_json), values_of(rb[i].legacy_json)) << ra[i].line;
    // Match and equivalent are one verdict here: the ECS names carry dots,
    // which VaderAD writes as nested objects.
    auto verdict = [](vdr_status st) {
      return st == VDR_STATUS_EQUIVALENT ? VDR_STATUS_MATCH : st;
    };
    EXPECT_EQ(verdict(ra[i].status), verdict(rb[i].status)) << ra[i].line;
    EXPECT_NE(rb[i].status, VDR_STATUS_DIVERGENCE) << ra[i].line;
  }
  vdr_run_free(a);
  vdr_run_free(b);
}

// Lines of a text, split at line feeds.
std::vector<std::string> lines_of(const std::string &s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  std::string l;
  while (std::getline(in, l)) v.push_back(l);
  return v;
}

TEST(Translate, PreservesValuesIsStableAndLeavesOtherLinesAlone) {
  struct Set {
    std::string rb, samples;
  } sets[] = {
      {fixture("vendor.rb"), fixture("vendor.log")},
      {slurp(std::string(VELDRA_SOURCE_DIR) + "/examples/linux-syslog.rb"),
       slurp(std::string(VELDRA_SOURCE_DIR) + "/examples/samples.log")},
  };
  for (const Set &s : sets) {
    ASSERT_FALSE(s.rb.empty());
    const std::string once = translate(s.rb.c_str());
    ASSERT_NE(once, "<null>");
    EXPECT_EQ(translate(once.c_str()), once);
    expect_same_values(s.rb, once, s.samples);

    // Line by line: a line without a field name is byte-identical, apart
    // from the "ecsnet" tag a rule may gain.
    std::vector<std::string> a = lines_of(s.rb), b = lines_of(once);
    ASSERT_GE(b.size(), a.size());
    for (size_t i = 0; i < a.size(); ++i) {
      if (a[i].find('%') != std::string::npos || a[i].rfind("annotate=", 0) == 0) continue;
      std::string t = b[i];
      for (const char *tag : {",ecsnet:", "ecsnet:"}) {
        size_t at = t.find(tag);
        if (t.rfind("rule=", 0) == 0 && at != std::string::npos && at < t.find(':')+1) {
          t.erase(at, strlen(tag) - 1);
          break;
        }
      }
      EXPECT_EQ(t, a[i]);
    }
  }
}

} // namespace
