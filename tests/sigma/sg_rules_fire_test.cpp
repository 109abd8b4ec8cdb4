// Compiled rules fire on the events a reader of the YAML expects: small
// rules for each modifier, wildcard and escape, and a corpus of rules written
// against ECS field names with events that must (or must not) fire them.
#include <gtest/gtest.h>

#include <libfastjson/json.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sigma/compile.h"
#include "sigma/sigma_format.h"
#include "sigma/sigma_match.h"

namespace {

std::string fixture(const std::string &name) {
  std::ifstream in(std::string(VELDRA_TEST_DIR) + "/fixtures/" + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

using event = std::map<std::string, std::string>;

const char *lookup(void *ctx, const char *name, uint32_t len, size_t *out_len) {
  const event &e = *static_cast<const event *>(ctx);
  auto it = e.find(std::string(name, len));
  if (it == e.end()) return nullptr;
  *out_len = it->second.size();
  return it->second.data();
}

// A compiled YAML text, loaded, with an evaluator.
struct engine {
  sigma_db_t db{};
  sigma_eval_t *ev = nullptr;
  std::string err;
  explicit engine(const std::string &yaml) {
    uint8_t *img = nullptr;
    size_t n = 0;
    char *e = nullptr;
    if (sg_compile_n(yaml.data(), yaml.size(), &img, &n, nullptr, nullptr, &e) != 0) {
      err = e ? e : "?";
      free(e);
      return;
    }
    if (sigma_db_load_buffer(img, n, &db) != SIGMA_OK) {
      free(img);
      err = "load failed";
      return;
    }
    ev = sigma_eval_create(&db);
  }
  ~engine() {
    sigma_eval_free(ev);
    sigma_db_free(&db);
  }
  // Rule ids that fire, sorted; the routed and the linear run must agree.
  std::vector<uint32_t> fire(const event &e) {
    sigma_hit_t hits[64];
    uint32_t n = sigma_eval_run(ev, lookup, const_cast<event *>(&e), hits, 64);
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < std::min(n, 64u); ++i) ids.push_back(hits[i].rule_id);
    std::sort(ids.begin(), ids.end());
    return ids;
  }
  bool fires(const event &e) {
    sigma_hit_t hit;
    return sigma_eval_run_linear(ev, lookup, const_cast<event *>(&e), &hit, 1) == 1;
  }
};

// Runs every event of a JSON-lines fixture ("_expect": the rule ids that must
// fire, every other key a field) and returns how many were checked.
int check_events(engine &E, const std::string &name) {
  std::istringstream lines(fixture(name));
  std::string line;
  int checked = 0;
  while (std::getline(lines, line)) {
    fjson_object *o = fjson_tokener_parse(line.c_str());
    EXPECT_TRUE(o) << line;
    if (!o) continue;
    event e;
    std::vector<uint32_t> want;
    fjson_object_iterator it = fjson_object_iter_begin(o), end = fjson_object_iter_end(o);
    for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it)) {
      std::string k = fjson_object_iter_peek_name(&it);
      fjson_object *v = fjson_object_iter_peek_value(&it);
      if (k == "_expect") {
        for (int i = 0; i < fjson_object_array_length(v); ++i)
          want.push_back(static_cast<uint32_t>(fjson_object_get_int(fjson_object_array_get_idx(v, i))));
      } else {
        e[k] = fjson_object_get_string(v);
      }
    }
    fjson_object_put(o);
    EXPECT_EQ(E.fire(e), want) << name << ": " << line;
    ++checked;
  }
  return checked;
}

TEST(SigmaRulesFire, EachModifierWildcardAndEscapeMeansWhatTheYamlSays) {
  const event absent = {{"other", "x"}};
  struct {
    const char *selection;
    std::vector<event> fire, quiet;
  } cases[] = {
      {"f|contains: 'a*b'", {{{"f", "xxAyyB"}}, {{"f", "ab"}}}, {{{"f", "ba"}}, absent}},
      {"f|startswith: 'C:\\Windows\\'",
       {{{"f", "C:\\Windows\\system32\\x.exe"}}},
       {{{"f", "C:\\Windows*"}}, {{"f", "C:\\Windowsx"}}}},
      {"f|endswith: '\\'", {{{"f", "C:\\dir\\"}}}, {{{"f", "C:\\dir"}}}},
      {"f: 'x\\*y'", {{{"f", "x*y"}}}, {{{"f", "xzy"}}}},
      {"f: 'x\\\\*'", {{{"f", "x\\tail"}}}, {{{"f", "xtail"}}}},
      {"f: 'a?c'", {{{"f", "abc"}}, {{"f", "A.C"}}}, {{{"f", "abbc"}}, {{"f", "ac"}}}},
      {"f: '*'", {{{"f", "anything"}}, {{"f", ""}}}, {absent}},
      {"f: '*.exe'", {{{"f", "C:\\a.EXE"}}}, {{{"f", "a.exe.txt"}}}},
      {"f: null", {absent}, {{{"f", "v"}}}},
      {"f: ~", {absent}, {{{"f", "v"}}}},
      {"f:", {absent}, {{{"f", "v"}}}},
      {"f: ''", {{{"f", ""}}}, {absent, {{"f", "v"}}}},
      {"f|not: null", {{{"f", "v"}}}, {absent}},
      {"f|exists: false", {absent}, {{{"f", "v"}}}},
      {"f|cased: MiXed", {{{"f", "MiXed"}}}, {{{"f", "mixed"}}}},
      {"f: MiXed", {{{"f", "mixed"}}}, {{{"f", "mixe"}}}},
      {"f|re: '^Ab'", {{{"f", "Abc"}}}, {{{"f", "abc"}}}},
      {"f|re|i: '^Ab'", {{{"f", "abc"}}}, {{{"f", "xab"}}}},
      {"f|cidr: 10.1.2.3/8", {{{"f", "10.200.0.1"}}}, {{{"f", "11.0.0.1"}}, {{"f", "x"}}}},
      {"f|gte: 10", {{{"f", "10"}}, {{"f", "11"}}}, {{{"f", "9"}}, {{"f", "abc"}}}},
      {"f|lt: -5", {{{"f", "-6"}}}, {{{"f", "-5"}}}},
      {"f|not: bad", {{{"f", "good"}}, absent}, {{{"f", "BAD"}}}},
      {"f:\n      - a\n      - b", {{{"f", "b"}}}, {{{"f", "c"}}}},
      {"f: one\n    g: two", {{{"f", "one"}, {"g", "two"}}}, {{{"f", "one"}}}},
      {"f|endswith: '.exe'\n    f|contains: temp",  // one field: alternatives
       {{{"f", "a.exe"}}, {{"f", "temp.txt"}}},
       {{{"f", "x.txt"}}}},
  };
  for (const auto &k : cases) {
    std::string yaml = std::string("title: t\ntaxonomy: ecs\ndetection:\n  sel:\n    ") +
                       k.selection + "\n  condition: sel\n";
    engine E(yaml);
    ASSERT_TRUE(E.ev) << yaml << E.err;
    for (const event &e : k.fire) EXPECT_TRUE(E.fires(e)) << k.selection << " on " << e.begin()->second;
    for (const event &e : k.quiet)
      EXPECT_FALSE(E.fires(e)) << k.selection << " on " << e.begin()->second;
  }
}

TEST(SigmaRulesFire, ConditionsCombineSelectionsAsWritten) {
  const std::string sels = "  a:\n    x: 1\n  b:\n    y: 1\n  c:\n    z: 1\n";
  struct {
    const char *condition;
    std::vector<std::string> fire, quiet; // which of x, y, z are set
  } cases[] = {
      {"a and not b", {"x", "xz"}, {"xy", "", "z"}},
      {"a or b and c", {"x", "yz", "xyz"}, {"y", "z", ""}},
      {"not (a or b)", {"", "z"}, {"x", "y"}},
      {"not not a", {"x"}, {""}},
  };
  for (const auto &k : cases) {
    engine E("title: t\ntaxonomy: ecs\ndetection:\n" + sels + "  condition: " + k.condition + "\n");
    ASSERT_TRUE(E.ev) << E.err;
    auto ev = [](const std::string &set) {
      event e{{"w", "0"}};
      for (char c : set) e[std::string(1, c)] = "1";
      return e;
    };
    for (const std::string &s : k.fire) EXPECT_TRUE(E.fires(ev(s))) << k.condition << " with " << s;
    for (const std::string &s : k.quiet) EXPECT_FALSE(E.fires(ev(s))) << k.condition << " with " << s;
  }
  // A condition list is the OR of its items.
  engine L("title: t\ntaxonomy: ecs\ndetection:\n" + sels + "  condition:\n    - a and b\n    - c\n");
  ASSERT_TRUE(L.ev) << L.err;
  EXPECT_TRUE(L.fires({{"x", "1"}, {"y", "1"}}));
  EXPECT_TRUE(L.fires({{"z", "1"}}));
  EXPECT_FALSE(L.fires({{"x", "1"}}));
}

// The CRLF golden file: routing by logsource and the any-bucket.
TEST(SigmaRulesFire, GoldenRulesRouteByLogsource) {
  engine E(fixture("golden_crlf.yml"));
  ASSERT_TRUE(E.ev) << E.err;
  EXPECT_EQ(E.fire({{"event.category", "process"}, {"process.name", "bash"}}),
            (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(E.fire({{"event.category", "process_creation"}, {"process.name", "BASH"}}),
            (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(E.fire({{"event.category", "web"}, {"process.name", "bash"}}),
            (std::vector<uint32_t>{}));
  // Unrouted: every rule is evaluated.
  EXPECT_EQ(E.fire({{"process.name", "bash"}}), (std::vector<uint32_t>{1, 2}));
}

TEST(SigmaRulesFire, CorpusCompilesLintsCleanAndFiresOnItsEvents) {
  const std::string yaml = fixture("corpus.yml");
  char *lint = sg_lint_json(yaml.c_str(), nullptr, nullptr);
  ASSERT_TRUE(lint);
  EXPECT_STREQ(lint, "{\"ok\":true,\"marks\":[]}");
  sg_str_free(lint);

  uint8_t *img = nullptr;
  size_t n = 0;
  char *corr = nullptr, *err = nullptr;
  ASSERT_EQ(sg_compile(yaml.c_str(), &img, &n, &corr, nullptr, &err), 0) << err;
  free(img);
  ASSERT_TRUE(corr);
  // Both correlations resolve their base rules (by name, or by id).
  fjson_object *cj = fjson_tokener_parse(corr);
  ASSERT_TRUE(cj);
  fjson_object *list = nullptr;
  ASSERT_TRUE(fjson_object_object_get_ex(cj, "correlations", &list));
  ASSERT_EQ(fjson_object_array_length(list), 2);
  EXPECT_STREQ(fjson_object_to_json_string(fjson_object_array_get_idx(list, 1)),
               "{ \"id\": \"password_spray\", \"title\": \"Password spray\", \"type\": "
               "\"value_count\", \"base_rule_ids\": [ 11, 12 ], \"group_by\": [ \"source.ip\" ], "
               "\"timespan_s\": 3600, \"condition\": { \"op\": \"gte\", \"count\": 5, \"field\": "
               "\"user.name\" }, \"level\": \"high\" }");
  fjson_object_put(cj);
  free(corr);

  engine E(yaml);
  ASSERT_TRUE(E.ev) << E.err;
  ASSERT_EQ(E.db.n_rules, 23u);
  EXPECT_EQ(check_events(E, "corpus_events.jsonl"), 27);
}

// Rules in the forms Sigma authors use beyond a plain mapping per selection
// (lists of mappings, contains|all, windash, 1 of / all of, quoted blanks,
// doubled and trailing backslashes, empty strings) fire on exactly the
// events a reader of standard Sigma expects, and lint clean.
TEST(SigmaRulesFire, StandardSigmaFormsFireAsWritten) {
  const std::string yaml = fixture("forms.yml");
  char *lint = sg_lint_json(yaml.c_str(), nullptr, nullptr);
  ASSERT_TRUE(lint);
  EXPECT_STREQ(lint, "{\"ok\":true,\"marks\":[]}");
  sg_str_free(lint);
  engine E(yaml);
  ASSERT_TRUE(E.ev) << E.err;
  ASSERT_EQ(E.db.n_rules, 10u);
  EXPECT_EQ(check_events(E, "forms_events.jsonl"), 46);

  // The same rules under Sigma's own field taxonomy stay refused.
  std::string sigma_tax = yaml;
  for (size_t at; (at = sigma_tax.find("taxonomy: ecs\n")) != std::string::npos;)
    sigma_tax.erase(at, 14);
  engine S(sigma_tax);
  EXPECT_FALSE(S.ev);
  EXPECT_NE(S.err.find("in-tab compiler is taxonomy: ecs only"), std::string::npos) << S.err;
}

} // namespace
