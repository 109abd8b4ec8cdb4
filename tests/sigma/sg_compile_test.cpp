// The Sigma compiler: golden rule files decoded record by record through the
// database loader, every refusal with its message, the limits, bad input and
// the capacity for a real rule set.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sigma/compile.h"
#include "sigma/sigma_format.h"

namespace {

std::string fixture(const std::string &name) {
  std::ifstream in(std::string(VELDRA_TEST_DIR) + "/fixtures/" + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct compiled {
  int rc = -1;
  std::vector<uint8_t> img;
  std::string corr, side, err;
  bool has_corr = false;
};

compiled compile(const std::string &yaml) {
  compiled c;
  uint8_t *img = nullptr;
  size_t n = 0;
  char *corr = nullptr, *side = nullptr, *err = nullptr;
  c.rc = sg_compile_n(yaml.data(), yaml.size(), &img, &n, &corr, &side, &err);
  if (img) c.img.assign(img, img + n);
  if (corr) c.corr = corr, c.has_corr = true;
  if (side) c.side = side;
  if (err) c.err = err;
  free(img);
  free(corr);
  free(side);
  free(err);
  if (c.rc != 0) {
    EXPECT_TRUE(c.img.empty() && !c.has_corr && c.side.empty());
  }
  return c;
}

// A loaded image, freed with the database.
struct loaded {
  sigma_db_t db{};
  int rc = -1;
  explicit loaded(const std::vector<uint8_t> &img) {
    uint8_t *buf = static_cast<uint8_t *>(malloc(img.size()));
    memcpy(buf, img.data(), img.size());
    rc = sigma_db_load_buffer(buf, img.size(), &db);
    if (rc != SIGMA_OK) free(buf);
  }
  ~loaded() { sigma_db_free(&db); }
  std::string str(const sigma_str_t &s) const { return std::string(db.strpool + s.off, s.len); }
  std::string value(uint32_t id) const { return id == SIGMA_NONE ? "<none>" : str(db.values[id]); }

  // One predicate as text: field, group, operator, flags and value.
  std::string pred(const sigma_pred_t &p) const {
    static const char *ops[] = {"EQ", "CONTAINS", "STARTSWITH", "ENDSWITH", "EXISTS", "GT",
                                "GTE", "LT", "LTE", "RE", "CIDR", "NUMEQ"};
    std::string s = str(db.fields[p.field_id]) + " g" + std::to_string(p.group_id) + " " +
                    ops[p.op] + " f" + std::to_string(p.flags);
    if (p.op == SIGMA_OP_CIDR) s += " #" + std::to_string(p.value_id);
    else if (p.op >= SIGMA_OP_GT && p.op <= SIGMA_OP_LTE) s += " " + std::to_string(p.ival);
    else if (p.value_id != SIGMA_NONE) s += " '" + value(p.value_id) + "'";
    if (p.op != SIGMA_OP_CIDR && p.op != SIGMA_OP_EQ && p.op != SIGMA_OP_CONTAINS &&
        p.op != SIGMA_OP_STARTSWITH && p.op != SIGMA_OP_ENDSWITH && p.op != SIGMA_OP_RE)
    {
      EXPECT_EQ(p.value_id, SIGMA_NONE) << s;
    }
    return s;
  }
  std::vector<std::string> sel(uint32_t i) const {
    std::vector<std::string> out;
    for (uint32_t k = 0; k < db.sels[i].pred_count; ++k)
      out.push_back(pred(db.preds[db.sels[i].pred_start + k]));
    return out;
  }
  std::string cond(const sigma_rule_t &r) const {
    static const char *kinds[] = {"", "AND", "OR", "NOT"};
    std::string s;
    for (uint32_t k = 0; k < r.cond_count; ++k) {
      const sigma_ctok_t &t = db.cond[r.cond_start + k];
      if (!s.empty()) s += " ";
      s += t.kind == SIGMA_C_SEL ? std::to_string(t.sel_idx) : kinds[t.kind];
    }
    return s;
  }
  std::string buckets() const {
    std::string s;
    for (uint32_t b = 0; b < db.n_buckets; ++b) {
      s += "[" + str(db.bucket_keys[b]) + ":";
      for (uint32_t k = 0; k < db.buckets[b].idx_count; ++k)
        s += " " + std::to_string(db.bucket_idx[db.buckets[b].idx_start + k]);
      s += "]";
    }
    return s;
  }
};

using V = std::vector<std::string>;

TEST(SigmaCompileGolden, EveryModifierWildcardEscapeAndNullDecodesExactly) {
  compiled c = compile(fixture("golden_modifiers.yml"));
  ASSERT_EQ(c.rc, 0) << c.err;
  ASSERT_GE(c.img.size(), 148u);
  EXPECT_EQ(memcmp(c.img.data(), "AMGS\x05\0\0\0", 8), 0);
  loaded L(c.img);
  ASSERT_EQ(L.rc, SIGMA_OK);
  ASSERT_EQ(L.db.n_rules, 1u);
  const sigma_rule_t &r = L.db.rules[0];
  EXPECT_EQ(r.rule_id, 1u);
  EXPECT_EQ(r.sel_start, 0u);
  ASSERT_EQ(r.sel_count, 7u);
  EXPECT_EQ(r.verdict, SIGMA_VERDICT_ALERT); // level low without hark_verdict
  EXPECT_EQ(r.severity, 1);
  EXPECT_EQ(r.score_x100, 10);
  EXPECT_EQ(L.value(r.name_id), "Modifiers");
  EXPECT_EQ(L.value(r.mitre_id), "T1059.004");
  // (sel_str or sel_wild) and not sel_null or sel_num and sel_re and sel_net and sel_list
  EXPECT_EQ(L.cond(r), "0 1 OR 5 NOT AND 2 3 AND 4 AND 6 AND OR");

  EXPECT_EQ(L.sel(0), (V{"a.eq g0 EQ f0 'plain'", "b.c g1 CONTAINS f0 'mid'",
                         "c.s g2 STARTSWITH f0 'C:\\Windows\\'", "d.e g3 ENDSWITH f0 '.exe'",
                         "e.cased g4 EQ f1 'MiXed'", "f.not g5 EQ f2 'bad'"}));
  EXPECT_EQ(L.sel(1), (V{"w.lead g0 ENDSWITH f0 '.exe'", "w.trail g1 STARTSWITH f0 'cmd'",
                         "w.bare g2 ENDSWITH f0 ''", "w.mid g3 RE f0 '^.*a.*b.*$'",
                         "w.q g4 RE f0 '^a.c$'", "w.esc g5 CONTAINS f0 'a*b'",
                         "w.bs g6 STARTSWITH f0 'x\\'", "w.dot g7 RE f0 '^a\\.b.*c$'"}));
  EXPECT_EQ(L.sel(2), (V{"n.gt g0 GT f0 10", "n.gte g1 GTE f0 -5", "n.lt g2 LT f0 100",
                         "n.lte g3 LTE f0 7"}));
  EXPECT_EQ(L.sel(3), (V{"r.plain g0 RE f1 '^ab+$'", "r.i g1 RE f0 'x'",
                         "r.ms g2 RE f1 '(?ms)y\\d'", "r.long g3 RE f0 '(?ms)z'"}));
  EXPECT_EQ(L.sel(4), (V{"ip g0 CIDR f0 #0", "ip6 g1 CIDR f0 #1", "egress g2 CIDR f0 #2",
                         "ip2 g3 CIDR f0 #0"}));
  EXPECT_EQ(L.sel(5), (V{"x.null g0 EXISTS f2", "x.tilde g1 EXISTS f2", "x.empty g2 EXISTS f2",
                         "x.quoted_empty g3 EQ f0 ''", "x.notnull g4 EXISTS f0",
                         "x.exists g5 EXISTS f0", "x.absent g6 EXISTS f2"}));
  // One field's values form one run of alternatives, whatever their modifiers.
  EXPECT_EQ(L.sel(6), (V{"l.f g0 EQ f0 'one'", "l.f g0 EQ f0 'two'", "l.f g0 EXISTS f2",
                         "l.f g0 ENDSWITH f0 'three'", "l.g g1 EQ f0 'solo'"}));

  ASSERT_EQ(L.db.n_cidrs, 3u);
  const uint8_t v4[16] = {10}, v6[16] = {0x20, 0x01, 0x0d, 0xb8},
                bc[16] = {255, 255, 255, 255};
  EXPECT_EQ(L.db.cidrs[0].family, 4);
  EXPECT_EQ(L.db.cidrs[0].prefix, 8);
  EXPECT_EQ(memcmp(L.db.cidrs[0].net, v4, 16), 0);
  EXPECT_EQ(L.db.cidrs[1].family, 6);
  EXPECT_EQ(L.db.cidrs[1].prefix, 32);
  EXPECT_EQ(memcmp(L.db.cidrs[1].net, v6, 16), 0);
  EXPECT_EQ(L.db.cidrs[2].prefix, 32);
  EXPECT_EQ(memcmp(L.db.cidrs[2].net, bc, 16), 0);

  EXPECT_EQ(L.buckets(), "[authentication: 0][sshd: 0]");
  EXPECT_EQ(L.db.av_bucket, SIGMA_NONE);
  EXPECT_EQ(L.db.cat_field_id, SIGMA_NONE);
  EXPECT_EQ(L.db.n_litndl, 0u);
  EXPECT_EQ(L.db.rule_clauses, nullptr);
  EXPECT_FALSE(c.has_corr);
  EXPECT_EQ(c.side, "{\"n_rules\":1,\"n_preds\":38,\"n_sels\":7,\"rules\":[{\"id\":1}]}");
}

TEST(SigmaCompileGolden, CrlfRulesBucketsAndCorrelation) {
  compiled c = compile(fixture("golden_crlf.yml"));
  ASSERT_EQ(c.rc, 0) << c.err;
  loaded L(c.img);
  ASSERT_EQ(L.rc, SIGMA_OK);
  ASSERT_EQ(L.db.n_rules, 3u);
  const sigma_rule_t *r = L.db.rules;
  EXPECT_EQ(L.sel(0), V{"process.name g0 EQ f0 'bash'"});
  EXPECT_EQ(L.sel(1), V{"process.name g0 EQ f0 'sh'"});
  EXPECT_EQ(L.sel(2), V{"event.category g0 EQ f0 'process'"});
  EXPECT_EQ(L.cond(r[0]), "0");
  EXPECT_EQ(L.cond(r[1]), "0 0 NOT OR"); // a list of conditions is their OR
  EXPECT_EQ(r[2].cond_count, 0u);        // no condition: all selections
  EXPECT_EQ(r[0].verdict, SIGMA_VERDICT_BENIGN); // informational
  EXPECT_EQ(r[0].score_x100, 5);
  EXPECT_EQ(r[1].verdict, SIGMA_VERDICT_ESCALATE);
  EXPECT_EQ(r[1].severity, 4);
  EXPECT_EQ(r[1].score_x100, 50);
  EXPECT_EQ(r[2].verdict, SIGMA_VERDICT_BENIGN);
  EXPECT_EQ(r[2].severity, 2);
  EXPECT_EQ(L.value(r[2].name_id), "Anywhere");
  EXPECT_EQ(r[2].mitre_id, SIGMA_NONE);
  EXPECT_EQ(L.buckets(), "[process: 0 1][process_creation: 0 1][linux: 0][: 2]");
  EXPECT_EQ(L.db.av_bucket, 3u);
  EXPECT_EQ(L.str(L.db.fields[L.db.cat_field_id]), "event.category");
  EXPECT_EQ(c.corr,
            "{\"version\":1,\"correlations\":[{\"id\":\"distinct_users\",\"title\":\"Distinct "
            "users\",\"type\":\"value_count\",\"base_rule_ids\":[1,2],\"group_by\":[\"host.name\","
            "\"source.ip\"],\"timespan_s\":7200,\"condition\":{\"op\":\"gt\",\"count\":4,"
            "\"field\":\"user.name\"},\"mitre\":\"T1110\",\"level\":\"high\"}]}");
  EXPECT_EQ(c.side,
            "{\"n_rules\":3,\"n_preds\":3,\"n_sels\":3,\"rules\":[{\"id\":1},{\"id\":2},{\"id\":3}]}");
}

// A rule around one detection block, for the tables below.
std::string rule(const std::string &detection, const std::string &head = "") {
  return "title: T\ntaxonomy: ecs\n" + head + "detection:\n" + detection;
}

TEST(SigmaCompile, ConditionsCompileToPostfix) {
  struct {
    const char *cond, *postfix;
  } cases[] = {
      {"a and not b", "0 1 NOT AND"},
      {"a or b and c", "0 1 2 AND OR"},
      {"not not a", "0 NOT NOT"},
      {"not (a or b) and c", "0 1 OR NOT 2 AND"},
      {"( a )", "0"},
      {"a-b or a", "3 0 OR"},
      // Quantifiers: the OR or AND of the matching selections, as one operand.
      {"1 of a*", "0 3 OR"},
      {"all of them", "0 1 AND 2 AND 3 AND"},
      {"not 1 of a* and c", "0 3 OR NOT 2 AND"},
      {"1 of b", "1"},
      {"all of *-b", "3"},
  };
  for (const auto &k : cases) {
    compiled c = compile(rule("  a:\n    f: 1\n  b:\n    f: 2\n  c:\n    f: 3\n  a-b:\n    f: 4\n"
                              "  condition: " + std::string(k.cond) + "\n"));
    ASSERT_EQ(c.rc, 0) << k.cond << ": " << c.err;
    loaded L(c.img);
    EXPECT_EQ(L.cond(L.db.rules[0]), k.postfix) << k.cond;
  }
}

// Standard Sigma forms decoded: a list of mappings is one selection per
// mapping ORed under its name; "all" gives each value a group of its own;
// windash spells out each dash, or writes one pattern past two dashes.
TEST(SigmaCompile, ListsOfMappingsAllAndWindashDecodeExactly) {
  compiled c = compile(rule("  a:\n    - f: 1\n      g: 2\n    - f: 3\n  b:\n    h: 4\n"
                            "  condition: a and not b\n"));
  ASSERT_EQ(c.rc, 0) << c.err;
  loaded L(c.img);
  ASSERT_EQ(L.rc, SIGMA_OK);
  ASSERT_EQ(L.db.n_sels, 3u);
  EXPECT_EQ(L.sel(0), (V{"f g0 EQ f0 '1'", "g g1 EQ f0 '2'"}));
  EXPECT_EQ(L.sel(1), (V{"f g0 EQ f0 '3'"}));
  EXPECT_EQ(L.sel(2), (V{"h g0 EQ f0 '4'"}));
  EXPECT_EQ(L.cond(L.db.rules[0]), "0 1 OR 2 NOT AND");

  compiled q = compile(rule("  s:\n    f|contains: z\n    f|contains|all:\n      - x\n      - y\n"
                            "    g|windash|contains|all:\n      - ' -a '\n      - '-b-c-d'\n"
                            "    h|windash: '*-x-y'\n"
                            "  condition: s\n"));
  ASSERT_EQ(q.rc, 0) << q.err;
  loaded Q(q.img);
  ASSERT_EQ(Q.rc, SIGMA_OK);
  const std::string en = "\xE2\x80\x93", em = "\xE2\x80\x94", bar = "\xE2\x80\x95";
  V want = {"f g0 CONTAINS f0 'z'", "f g1 CONTAINS f0 'x'", "f g2 CONTAINS f0 'y'"};
  for (const std::string &d : {std::string("-"), std::string("/"), en, em, bar})
    want.push_back("g g3 CONTAINS f0 ' " + d + "a '");
  want.push_back("g g4 RE f0 '^.*(?:-|/|" + en + "|" + em + "|" + bar + ")b(?:-|/|" + en + "|" +
                 em + "|" + bar + ")c(?:-|/|" + en + "|" + em + "|" + bar + ")d.*$'");
  // Two dashes: 25 spellings, the first dash varying fastest.
  const std::string dashes[] = {"-", "/", en, em, bar};
  for (const std::string &second : dashes)
    for (const std::string &first : dashes)
      want.push_back("h g5 ENDSWITH f0 '" + first + "x" + second + "y'");
  EXPECT_EQ(Q.sel(0), want);
}

TEST(SigmaCompile, RefusalsNameTheLineAndTheProblem) {
  const std::string two = "  a:\n    f: 1\n  b:\n    f: 2\n";
  struct {
    std::string yaml, message;
  } cases[] = {
      // YAML outside the subset.
      {rule("  a:\n    f: [x, y]\n"), "document 1, line 5: flow collections"},
      {rule("  a: {f: x}\n"), "line 4: flow collections"},
      {rule("  a:\n    f: |\n      x\n"), "line 5: block scalars"},
      {rule("  a: &anchor\n    f: x\n"), "line 4: anchors"},
      {rule("  a:\n    f: *anchor\n"), "line 5: aliases"},
      {rule("  a:\n    f: one\n      two\n"), "line 6: unexpected indentation (multi-line"},
      {rule("  a:\n    f: x\n  continued text\n"), "line 6: expected 'key: value'"},
      {rule("  a:\n\tf: x\n"), "line 5: tab in indentation"},
      {rule("  a:\n    f: 'open\n"), "line 5: unterminated single-quoted value"},
      {rule("  a:\n    f: \"open\n"), "line 5: unterminated double-quoted value"},
      {rule("  a:\n    f: 'x' y\n"), "line 5: text after the closing quote"},
      {rule("  a:\n    f: x: y\n"), "line 5: ': ' inside a plain value"},
      {rule("  a:\n    f: x\n    f: y\n"), "line 6: duplicate key 'f'"},
      {rule("  a:\n    f: \"\\q\"\n"), "line 5: unknown escape \\q"},
      {"title: x\ndetection:\n   a: 1\n  b: 2\n", "line 4: unexpected indentation"},
      {"title: \x01\n", "line 1: control byte 0x01"},
      {"a: b\ntitle: \xff\xfe\n", "line 2: invalid UTF-8"},
      {"--- x: y\n", "line 1: content on the '---' line"},
      // Documents.
      {"# only a comment\n---\n\n", "no YAML documents"},
      {"title: x\ndetection:\n  a:\n    f: 1\n", "document 1 (\"x\"), line 1: in-tab compiler is "
                                                  "taxonomy: ecs only; use native sigmac for SigmaHQ"},
      {rule("  condition: a\n"), "detection has no selections"},
      {"title: c\ncorrelation:\n  type: event_count\n  rules: a\n", "no selection rules"},
      {rule("  a:\n    - x\n    - y\n"), "line 4: selection 'a' is a keyword selection"},
      {rule("  a: x\n"), "selection 'a' is a keyword selection"},
      {rule("  a:\n    - f: x\n    - y\n"), "line 6: selection 'a': every item of a list of mappings must be"},
      {rule("  a:\n    - f: x\n    -\n"), "every item of a list of mappings must be a mapping"},
      {rule("  a:\n"), "selection 'a' is empty"},
      {rule("  a:\n    f:\n      g: x\n"), "key 'f': a field takes a value or a list"},
      {rule("  a:\n    f: x\n  timeframe: 5m\n"), "'timeframe' is not supported"},
      // Modifiers and values.
      {rule("  a:\n    f|any: x\n"), "line 5: key 'f|any': unsupported field modifier 'any'"},
      {rule("  a:\n    f|windash|re: x\n"), "key 'f|windash|re': windash applies to text comparisons"},
      {rule("  a:\n    f|windash|cidr: 10.0.0.0/8\n"), "windash applies to text comparisons"},
      {rule("  a:\n    f|i|re: x\n"), "unsupported field modifier 'i'"},
      {rule("  a:\n    '|contains': x\n"), "key '|contains' has no field name"},
      {rule("  a:\n    f|gt: abc\n"), "key 'f|gt': 'abc' is not a whole number"},
      {rule("  a:\n    f|gte: 12abc\n"), "'12abc' is not a whole number"},
      {rule("  a:\n    f|lt: 9223372036854775808\n"), "not a whole number in the 64-bit range"},
      {rule("  a:\n    f|exists: maybe\n"), "exists takes true or false"},
      {rule("  a:\n    f|cidr: 10.0.0.0/abc\n"), "invalid ipv4 cidr ('10.0.0.0/abc')"},
      {rule("  a:\n    f|cidr: 10.0.0.0/33\n"), "invalid ipv4 cidr"},
      {rule("  a:\n    f|cidr: 10.0.0/8\n"), "invalid ipv4 cidr"},
      {rule("  a:\n    f|cidr: '::1/129'\n"), "invalid ipv6 cidr"},
      {rule("  a:\n    f|cidr: 10.0.0.0\n"), "cidr needs address/prefix"},
      {rule("  a:\n    f|cidr: ''\n"), "empty cidr"},
      {rule("  a:\n    f|expand: x\n"), "|expand value is not a %placeholder%"},
      {rule("  a:\n    f|expand: '%other%'\n"), "unresolved |expand placeholder: other"},
      {rule("  a:\n    f|re: 'a('\n"), "key 'f|re': invalid regular expression"},
      // Conditions.
      {rule(two + "  condition: a b\n"), "'b' follows an operand; 'and' or 'or' is missing"},
      {rule(two + "  condition: a and\n"), "ends where a selection name was expected"},
      {rule(two + "  condition: and a\n"), "'and' where a selection name was expected"},
      {rule(two + "  condition: a and c\n"), "condition names a missing selection 'c'"},
      {rule(two + "  condition: a AND b\n"), "'AND' follows an operand"},
      {rule(two + "  condition: a and b*\n"), "bad token in condition at '*'"},
      {rule(two + "  condition: 2 of a*\n"), "'2 of' is not supported; write '1 of' or 'all of'"},
      {rule(two + "  condition: 1 of z*\n"), "'1 of z*' matches no selection"},
      {rule("  _a:\n    f: 1\n  condition: all of them\n"), "'all of them' matches no selection"},
      {rule(two + "  condition: 1 of\n"), "'1 of' needs a selection pattern or 'them'"},
      {rule(two + "  condition: 1 of(a)\n"), "'1 of' needs a selection pattern or 'them'"},
      {rule(two + "  condition: a 1 of b\n"), "'1' follows an operand"},
      {rule(two + "  condition: a or offset\n"), "condition names a missing selection 'offset'"},
      {rule(two + "  condition: (a\n"), "unbalanced ( in condition"},
      {rule(two + "  condition: a)\n"), "unbalanced ) in condition"},
      {rule(two + "  condition: ()\n"), "')' where a selection name was expected"},
      {rule(two + "  condition: a not b\n"), "'not' follows an operand"},
      {rule(two + "  condition: " + std::string(70, '(') + "a" + std::string(70, ')') + "\n"),
       "nested too deeply (limit 64)"},
      // Correlations.
      {rule(two, "name: r\n") + "---\ncorrelation:\n  type: event_count\n  rules: [r]\n",
       "flow collections"},
      {rule(two, "name: r\n") + "---\ncorrelation:\n  type: event_count\n  rules: nope\n",
       "document 2, line 12: correlation names unknown rule 'nope'"},
      {rule(two, "name: r\n") + "---\ncorrelation:\n  type: event_count\n  rules: r\n"
                                "  timespan: 5ms\n",
       "timespan '5ms' is not a number followed by s, m, h or d"},
      {rule(two, "name: r\n") + "---\n" + rule(two, "name: r\n") +
           "---\ncorrelation:\n  rules: r\n",
       "document 3, line 20: correlation names rule 'r', which several rules share"},
      {rule(two, "name: r\n") + "---\ncorrelation:\n  type: chain\n  rules: r\n",
       "unknown correlation type 'chain'"},
      {rule(two, "name: r\n") + "---\ncorrelation:\n  type: value_count\n  rules: r\n",
       "correlation type value_count needs 'field'"},
      {rule(two, "name: r\n") + "---\ncorrelation:\n  rules: r\n  condition:\n    gte: 1\n"
                                "    lte: 5\n",
       "takes one comparison"},
      {rule(two, "name: r\n") + "---\ncorrelation:\n  rules: r\n  condition:\n    gte: ten\n",
       "needs a whole number, not 'ten'"},
      {rule(two, "name: r\n") + "---\ncorrelation:\n  rules: r\n  aliases:\n    x: y\n",
       "unsupported correlation key 'aliases'"},
  };
  for (const auto &k : cases) {
    compiled c = compile(k.yaml);
    EXPECT_EQ(c.rc, -1) << k.yaml;
    EXPECT_NE(c.err.find(k.message), std::string::npos)
        << "input:\n" << k.yaml << "\nmessage: " << c.err << "\nwanted: " << k.message;
  }
}

TEST(SigmaCompile, EveryLimitIsAnErrorNamingDocumentKeyAndLimit) {
  auto many = [](int n, const std::string &fmt_head, const std::string &item) {
    std::string s = fmt_head;
    for (int i = 0; i < n; ++i) {
      std::string line = item;
      for (size_t p; (p = line.find("%d")) != std::string::npos;) line.replace(p, 2, std::to_string(i));
      s += line;
    }
    return s;
  };
  struct {
    std::string yaml, message;
  } cases[] = {
      {rule(many(33, "", "  s%d:\n    f: x\n")),
       "document 1 (\"T\"), line 68: more than 32 selections in one rule (limit 32)"},
      {rule(many(33, "  a:\n", "    f%d: x\n")),
       "line 37: selection 'a' has more than 32 values (limit 32)"},
      {rule(many(33, "  a:\n    f:\n", "      - v%d\n")), "selection 'a' has more than 32 values"},
      {rule("  a:\n    " + std::string(60, 'k') + "|gte: 1\n"),
       "key '" + std::string(60, 'k') + "|gte' is longer than 63 characters (limit 63)"},
      {rule("  a:\n    f: " + std::string(256, 'v') + "\n"),
       "line 5: value of 'f' is longer than 255 characters (limit 255)"},
      {rule("  a:\n    f: '" + std::string(1 << 20, 'v') + "'\n"), "longer than 255 characters"},
      {rule("  a:\n    f: 1\n  condition: " + std::string(128, '(') + std::string(1, 'a') +
            std::string(128, ')') + "\n"),
       "line 6: value of 'condition' is longer than 255 characters (limit 255)"},
      {"title: " + std::string(128, 't') + "\n", "'title' is longer than 127 characters"},
      {rule("  a:\n    f: 1\n", "name: r\n") +
           many(9, "---\ncorrelation:\n  rules:\n", "    - r\n"),
       "document 2, line 18: more than 8 items in 'rules' (limit 8)"},
      {rule("  a:\n    f: 1\n", "name: r\n") +
           many(9, "---\ncorrelation:\n  rules: r\n  group-by:\n", "    - g%d\n"),
       "more than 8 items in 'group-by' (limit 8)"},
      {many(SG_MAX_DOCS + 1, "", "---\ntitle: d%d\n"), "more than 8192 documents (limit 8192)"},
  };
  for (const auto &k : cases) {
    compiled c = compile(k.yaml);
    EXPECT_EQ(c.rc, -1);
    EXPECT_NE(c.err.find(k.message), std::string::npos)
        << "message: " << c.err << "\nwanted: " << k.message;
  }
}

TEST(SigmaCompile, BinaryAndHostileInputIsRefusedCleanly) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 131 + 7) & 0xFF);
  std::string deep = "title: x\n";
  for (int i = 0; i < 200; ++i) deep += std::string(i, ' ') + "k" + std::to_string(i) + ":\n";
  std::string docs;
  for (int i = 0; i < 10000; ++i) docs += "---\ntitle: d\n";
  for (const std::string &in : {binary, deep, docs, std::string("\0\0\0", 3),
                                std::string("title: x\0detection: y", 20)}) {
    compiled c = compile(in);
    EXPECT_EQ(c.rc, -1);
    EXPECT_FALSE(c.err.empty());
  }
  EXPECT_NE(compile(deep).err.find("nesting deeper than 64 levels"), std::string::npos);
  // Many keys in one mapping: read in linear time.
  std::string wide = "title: w\ntaxonomy: ecs\n";
  for (int i = 0; i < 200000; ++i) wide += "k" + std::to_string(i) + ": v\n";
  EXPECT_NE(compile(wide).err.find("detection has no selections"), std::string::npos);
}

// Mutated rule files (a fixed sequence of edits, no randomness between runs):
// every one either compiles to an image that loads, or fails with a message;
// lint always answers with its JSON shape.
TEST(SigmaCompile, MutatedRuleFilesNeverCrashOrYieldBadImages) {
  // The golden files, and the rules in standard Sigma forms (lists of
  // mappings, all, windash, quantified conditions).
  const std::string bases[] = {
      fixture("golden_modifiers.yml") + "---\n" + fixture("golden_crlf.yml"), fixture("forms.yml")};
  const char inserts[] = {':', '-', '\'', '"', '#', '[', '\t', ' ', '\n', '*', '\\', '|', '%'};
  uint32_t x = 12345;
  auto next = [&x] { return x = x * 1103515245u + 12345u, x >> 8; };
  int compiled_ok = 0;
  for (int round = 0; round < 1000; ++round) {
    std::string y = bases[round < 600 ? 0 : 1];
    for (int edits = 1 + next() % 3; edits > 0; --edits) {
      size_t at = next() % y.size();
      switch (next() % 4) {
      case 0: y[at] = inserts[next() % sizeof inserts]; break;
      case 1: y.insert(at, 1, inserts[next() % sizeof inserts]); break;
      case 2: y.erase(at, 1 + next() % 8); break;
      default: y.insert(at, y.substr(next() % y.size(), next() % 40)); break;
      }
      if (y.empty()) y = "x";
    }
    compiled c = compile(y);
    if (c.rc == 0) {
      ++compiled_ok;
      loaded L(c.img);
      ASSERT_EQ(L.rc, SIGMA_OK) << y;
    } else {
      ASSERT_FALSE(c.err.empty()) << y;
    }
    char *t = sg_lint_json(y.c_str(), "linux-sshd", nullptr);
    ASSERT_TRUE(t);
    ASSERT_EQ(std::string(t).rfind("{\"ok\":true,\"marks\":[", 0), 0u);
    sg_str_free(t);
  }
  EXPECT_GT(compiled_ok, 0); // some edits (in comments, inside values) still compile
}

TEST(SigmaCompile, YamlFormsInsideTheSubsetReadAsYamlDoes) {
  // Comments, a list at the key's own indentation, quoted keys, escapes in
  // double quotes, '' in single quotes, a value holding '#' and ':' without
  // a blank, and a byte-order mark.
  compiled c = compile(
      "\xEF\xBB\xBFtitle: 'It''s'   # trailing comment\n"
      "taxonomy: ecs\n"
      "tags:\n- attack.t1003\n"
      "detection:\n"
      "  # an indented comment: not a key\n"
      "  sel:\n"
      "    'url.path|contains': a#b\n"
      "    url.full: http://x\n"
      "    d.q: \"tab\\there \\u00e9\"\n"
      "  condition: sel\n");
  ASSERT_EQ(c.rc, 0) << c.err;
  loaded L(c.img);
  EXPECT_EQ(L.value(L.db.rules[0].name_id), "It's");
  EXPECT_EQ(L.value(L.db.rules[0].mitre_id), "T1003");
  EXPECT_EQ(L.sel(0), (V{"url.path g0 CONTAINS f0 'a#b'", "url.full g1 EQ f0 'http://x'",
                         "d.q g2 EQ f0 'tab\there \xc3\xa9'"}));
}

TEST(SigmaCompile, TwoThousandRulesOfTypicalShapeFitOneDatabase) {
  std::string yaml;
  for (int i = 0; i < 2000; ++i) {
    std::string n = std::to_string(i);
    yaml += "---\ntitle: Rule " + n + "\ntaxonomy: ecs\nlevel: high\nlogsource:\n"
            "  category: process_creation\n  product: windows\ndetection:\n";
    for (const char *s : {"sel_a", "sel_b", "filter"})
      yaml += std::string("  ") + s + ":\n    process.name|endswith: '\\p" + n +
              ".exe'\n    process.command_line|contains:\n      - '-x" + n +
              "'\n      - '/y'\n";
    yaml += "  condition: sel_a and sel_b and not filter\n";
  }
  compiled c = compile(yaml);
  ASSERT_EQ(c.rc, 0) << c.err;
  loaded L(c.img);
  ASSERT_EQ(L.rc, SIGMA_OK);
  EXPECT_EQ(L.db.n_rules, 2000u);
  EXPECT_EQ(L.db.n_sels, 6000u);
  EXPECT_EQ(L.db.n_preds, 18000u);
  EXPECT_EQ(L.db.n_cond, 12000u);
  // Rules sharing routing keys: one contiguous run per key, in rule order.
  ASSERT_EQ(L.db.n_buckets, 3u);
  EXPECT_EQ(L.db.n_bucket_idx, 6000u);
  for (uint32_t b = 0; b < 3; ++b) {
    ASSERT_EQ(L.db.buckets[b].idx_count, 2000u);
    for (uint32_t k = 0; k < 2000; ++k)
      ASSERT_EQ(L.db.bucket_idx[L.db.buckets[b].idx_start + k], k);
  }
  EXPECT_EQ(L.value(L.db.rules[1999].name_id), "Rule 1999");
}

} // namespace
