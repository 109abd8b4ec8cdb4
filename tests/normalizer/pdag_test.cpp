// Parse DAG: edge creation, merging, sequences and alternatives, edge order,
// literal compaction, path IDs, statistics, Graphviz text, limits and long
// rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "load_helpers.h"
#include "normalizer/walker.h"

namespace {

struct ln_pdag *child(struct ln_pdag *n, int i) { return n->parsers[i].node; }

std::string ptr(const void *p) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%p", p);
  return buf;
}

TEST(Pdag, TypeNamesAndIds) {
  EXPECT_EQ(ln_parserName2ID("literal"), PRS_LITERAL);
  EXPECT_EQ(ln_parserName2ID("string"), PRS_STRING);
  EXPECT_EQ(ln_parserName2ID("name-value-list"), PRS_NAME_VALUE_LIST);
  EXPECT_EQ(ln_parserName2ID("Word"), PRSID_NONE);
  EXPECT_EQ(ln_parserName2ID(""), PRSID_NONE);
  EXPECT_STREQ(ln_parserName(PRS_IPV4), "ipv4");
  EXPECT_STREQ(ln_parserName(PRSID_USER_DEFINED), "USER-DEFINED");
  EXPECT_STREQ(ln_parserName(200), "INVALID");
}

TEST(Pdag, NewParserTakesTypePriorityAndName) {
  TestCtx t;
  struct Case {
    const char *json;
    prsid_t id;
    int prio;
    const char *name;
    bool nameKeyStays;
  };
  const std::vector<Case> cases = {
      {"{\"type\":\"word\",\"name\":\"x\"}", PRS_WORD, 30000 * 256 + 32, "x", false},
      {"{\"type\":\"word\",\"name\":\"-\"}", PRS_WORD, 30000 * 256 + 32, nullptr, true},
      {"{\"type\":\"word\"}", PRS_WORD, 30000 * 256 + 32, nullptr, false},
      {"{\"type\":\"rest\",\"name\":\"r\",\"priority\":10}", PRS_REST, 10 * 256 + 255, "r", false},
      {"{\"type\":\"word\",\"priority\":-5}", PRS_WORD, -5 * 256 + 32, nullptr, false},
      // a huge priority saturates instead of overflowing the key
      {"{\"type\":\"word\",\"priority\":2147483647}", PRS_WORD, 2147483647, nullptr, false},
  };
  for (const auto &c : cases) {
    fjson_object *d = fjson_tokener_parse(c.json);
    ln_parser_t *p = ln_newParser(t.ctx, d);
    ASSERT_NE(p, nullptr) << c.json;
    EXPECT_EQ(p->prsid, c.id) << c.json;
    EXPECT_EQ(p->prio, c.prio) << c.json;
    EXPECT_EQ(p->custType, -1);
    if (c.name)
      EXPECT_STREQ(p->name, c.name);
    else
      EXPECT_EQ(p->name, nullptr);
    EXPECT_STREQ(p->conf, c.json);
    EXPECT_FALSE(fjson_object_object_get_ex(d, "type", nullptr));
    EXPECT_FALSE(fjson_object_object_get_ex(d, "priority", nullptr));
    EXPECT_EQ(fjson_object_object_get_ex(d, "name", nullptr), c.nameKeyStays) << c.json;
    free(p->name);
    free(p->conf);
    free(p);
    fjson_object_put(d);
  }
  EXPECT_TRUE(t.errors.empty());
}

TEST(Pdag, SharedPrefixesAndStatistics) {
  TestCtx t;
  ASSERT_EQ(t.load("rule=:a %x:word%b\nrule=:a %x:word%c\nrule=:a %y:word%d\n"), 0);
  struct ln_pdag *root = t.ctx->pdag;
  ASSERT_EQ(edgeList(t.ctx, root), std::vector<std::string>{"literal:'a '"});
  struct ln_pdag *n = child(root, 0);
  EXPECT_EQ(edgeList(t.ctx, n), (std::vector<std::string>{"word:x", "word:y"}));
  EXPECT_EQ(edgeList(t.ctx, child(n, 0)), (std::vector<std::string>{"literal:'b'", "literal:'c'"}));
  EXPECT_EQ(statsText(t.ctx),
            "User-Defined Types\n==================\nnumber types: 0\n"
            "\nMain PDAG\n=========\n"
            "nodes.............:    7\n"
            "terminal nodes....:    3\n"
            "parsers entries...:    6\n"
            "longest path......:    4\n"
            "Parser Type Counts:\n"
            "\t             literal: 4\n"
            "\t                word: 2\n"
            "Parsers per Node:\n"
            "\tmax:\t   2\n"
            "\t0:\t   3\n"
            "\t1:\t   2\n"
            "\t2:\t   2\n");
}

TEST(Pdag, EdgeOrderByPriority) {
  TestCtx t;
  ASSERT_EQ(t.load("type=@t:%v:word%\n"
                   "rule=:%a:rest%\nrule=:%b:quoted-string%\nrule=:%c:word%\nrule=:%d:number%\n"
                   "rule=:%e:date-rfc5424%\nrule=:%f:ipv4%\nrule=:x\nrule=:%g:@t%\n"),
            0);
  EXPECT_EQ(edgeList(t.ctx, t.ctx->pdag),
            (std::vector<std::string>{"ipv4:f", "literal:'x'", "date-rfc5424:e", "number:d",
                                      "USER-DEFINED:g", "word:c", "quoted-string:b", "rest:a"}));
  TestCtx p;
  ASSERT_EQ(p.load("rule=:x\nrule=:%{\"type\":\"word\",\"name\":\"w\",\"priority\":10}%\n"), 0);
  EXPECT_EQ(edgeList(p.ctx, p.ctx->pdag), (std::vector<std::string>{"word:w", "literal:'x'"}));
}

TEST(Pdag, LiteralCompaction) {
  struct Case {
    const char *text;
    std::vector<std::string> root, next;
  };
  const std::vector<Case> cases = {
      {"rule=:abc\n", {"literal:'abc'"}, {}},
      {"rule=:ab\nrule=:abc\n", {"literal:'ab'"}, {"literal:'c'"}},         // terminal stops it
      {"rule=:abc\nrule=:abd\n", {"literal:'ab'"}, {"literal:'c'", "literal:'d'"}}, // branch
      {"rule=:ab%n:word%\n", {"literal:'ab'"}, {"word:n"}},
      {"rule=:a%{\"type\":\"literal\",\"text\":\"b\",\"name\":\"l\"}%c\n", {"literal:'a'"}, {"literal:'b'"}},
  };
  for (const auto &c : cases) {
    TestCtx t;
    ASSERT_EQ(t.load(c.text), 0) << c.text;
    EXPECT_EQ(edgeList(t.ctx, t.ctx->pdag), c.root) << c.text;
    EXPECT_EQ(edgeList(t.ctx, child(t.ctx->pdag, 0)), c.next) << c.text;
  }
}

TEST(Pdag, PathIds) {
  TestCtx t;
  ASSERT_EQ(t.load("type=@t:%v:word%\n"
                   "rule=:a %src:ipv4% %-:word%%{\"type\":\"literal\",\"text\":\"x\",\"name\":\"n\"}%"
                   "%u:@t%\n"),
            0);
  std::vector<std::string> ids;
  for (struct ln_pdag *n = t.ctx->pdag;; n = child(n, 0)) {
    ids.push_back(n->rb_id ? n->rb_id : "(null)");
    if (n->nparsers == 0) break;
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"", "a ", "a %src:ipv4%", "a %src:ipv4% ",
                                           "a %src:ipv4% %-:word%",
                                           "a %src:ipv4% %-:word%%n:literal:x%",
                                           "a %src:ipv4% %-:word%%n:literal:x%%u:USER-DEFINED%"}));
  EXPECT_STREQ(child(t.ctx->type_pdags[0].pdag, 0)->rb_id, "%v:word%");
}

TEST(Pdag, AlternativesShareOneSuccessorAndCombineIds) {
  TestCtx t;
  ASSERT_EQ(t.load("rule=:%{\"type\":\"alternative\",\"parser\":[{\"type\":\"literal\",\"text\":\"x\"},"
                   "[{\"type\":\"word\",\"name\":\"w\"},{\"type\":\"literal\",\"text\":\"-\"}]]}%!\n"),
            0);
  struct ln_pdag *root = t.ctx->pdag;
  ASSERT_EQ(edgeList(t.ctx, root), (std::vector<std::string>{"literal:'x'", "word:w"}));
  struct ln_pdag *shared = child(root, 0);
  EXPECT_EQ(child(child(root, 1), 0), shared);
  EXPECT_EQ(shared->refcnt, 2);
  EXPECT_EQ(edgeList(t.ctx, shared), std::vector<std::string>{"literal:'!'"});
  EXPECT_STREQ(shared->rb_id, "[x|%w:word%-]");
  EXPECT_STREQ(child(shared, 0)->rb_id, "[x|%w:word%-]!");
}

TEST(Pdag, LaterAlternativeDoesNotMergeIntoAnotherRulesPath) {
  // The second alternative equals an edge that already leads elsewhere; it
  // must still reach the shared successor, or "y!" would never match.
  TestCtx t;
  ASSERT_EQ(t.load("rule=:y1\n"
                   "rule=:%{\"type\":\"alternative\",\"parser\":[{\"type\":\"literal\",\"text\":\"x\"},"
                   "{\"type\":\"literal\",\"text\":\"y\"}]}%!\n"),
            0);
  struct ln_pdag *root = t.ctx->pdag;
  ASSERT_EQ(edgeList(t.ctx, root),
            (std::vector<std::string>{"literal:'y1'", "literal:'x'", "literal:'y'"}));
  EXPECT_EQ(child(root, 1), child(root, 2));
  EXPECT_EQ(edgeList(t.ctx, child(root, 2)), std::vector<std::string>{"literal:'!'"});
}

// Which of the lines each rulebase matches; a line matched by no rule of the
// rulebase must stay unmatched.
TEST(Pdag, AlternativesDoNotLeakIntoOtherRules) {
  const std::string alt = "%{\"type\":\"alternative\",\"parser\":[";
  const std::string lit = "{\"type\":\"literal\",\"text\":\"";
  struct Case {
    const char *name;
    std::string rules;
    std::vector<std::string> match, noMatch;
  };
  const std::vector<Case> cases = {
      {"first alternative equals another rule's edge",
       "rule=:x1\nrule=:" + alt + lit + "x\"}," + lit + "y\"}]}%!\n",
       {"x1", "x!", "y!"},
       {"y1"}},
      {"later rule continues behind a join node",
       "rule=:" + alt + lit + "a\"}," + lit + "z\"}]}%1\nrule=:ab\n",
       {"a1", "z1", "ab"},
       {"zb"}},
      {"group covering only part of a join",
       "rule=:" + alt + lit + "a\"}," + lit + "b\"}]}%1\nrule=:" + alt + lit + "a\"}]}%2\n",
       {"a1", "b1", "a2"},
       {"b2"}},
      {"sequence alternative over another rule's path",
       "rule=:ab1\nrule=:" + alt + "[" + lit + "a\"}," + lit + "b\"}]," + lit + "c\"}]}%!\n",
       {"ab1", "ab!", "c!"},
       {"c1", "cb1"}},
  };
  for (const auto &c : cases) {
    TestCtx t;
    ASSERT_EQ(t.load(c.rules), 0) << c.name;
    for (const auto &m : c.match) {
      fjson_object *j = nullptr;
      EXPECT_EQ(ln_normalize(t.ctx, m.data(), m.size(), &j), 0) << c.name << ": " << m;
      if (j) fjson_object_put(j);
    }
    for (const auto &m : c.noMatch) {
      fjson_object *j = nullptr;
      EXPECT_NE(ln_normalize(t.ctx, m.data(), m.size(), &j), 0) << c.name << ": " << m;
      if (j) fjson_object_put(j);
    }
  }
}

TEST(Pdag, IdenticalAlternativeGroupsAreShared) {
  // A prefix with alternatives is repeated in front of every rule; the group
  // is built once, so many rules never exhaust the edges of the root.
  TestCtx t;
  std::string text = "prefix=%{\"type\":\"alternative\",\"parser\":[{\"type\":\"ipv4\",\"name\":\"h\"},"
                     "{\"type\":\"word\",\"name\":\"h\"}]}% \n";
  for (int i = 0; i < 300; ++i) text += "rule=:r" + std::to_string(i) + "\n";
  ASSERT_EQ(t.load(text), 0);
  ASSERT_EQ(edgeList(t.ctx, t.ctx->pdag), (std::vector<std::string>{"ipv4:h", "word:h"}));
  struct ln_pdag *join = child(t.ctx->pdag, 0);
  EXPECT_EQ(child(t.ctx->pdag, 1), join);
  EXPECT_EQ(join->refcnt, 2);
  EXPECT_EQ(edgeList(t.ctx, join), std::vector<std::string>{"literal:' r'"});
  EXPECT_EQ(child(join, 0)->nparsers, 10); // one branch per first digit
}

TEST(Pdag, AttachFailureKeepsEarlierEdges) {
  TestCtx t;
  struct ln_pdag *node = t.ctx->pdag;
  fjson_object *seq = fjson_tokener_parse(
      "[{\"type\":\"literal\",\"text\":\"a\"},{\"type\":\"foo\"},{\"type\":\"literal\",\"text\":\"b\"}]");
  EXPECT_EQ(ln_pdagAddParser(t.ctx, &node, seq), LN_RC_BAD_CONFIG);
  EXPECT_EQ(t.errors, std::vector<std::string>{"invalid field type 'foo'"});
  EXPECT_EQ(edgeList(t.ctx, t.ctx->pdag), std::vector<std::string>{"literal:'a'"});
  node = t.ctx->pdag;
  EXPECT_EQ(ln_pdagAddParser(t.ctx, &node, fjson_object_new_string("x")), LN_RC_BAD_CONFIG);
  EXPECT_EQ(t.errors.back(), "bug: prscnf object of wrong type. Object: '\"x\"'");
}

TEST(Pdag, EdgeCountNeverWraps) {
  TestCtx t;
  std::string text;
  for (int i = 0; i < 256; ++i) text += "rule=:%n" + std::to_string(i) + ":word%\n";
  EXPECT_EQ(t.load(text), LN_RC_BAD_CONFIG);
  EXPECT_EQ(t.ctx->pdag->nparsers, 255);
  EXPECT_EQ(t.errors, std::vector<std::string>{
                          "rulebase file --NO-FILE--[256]: too many edges at one DAG node: a node "
                          "holds at most 255, cannot add {\"name\":\"n255\",\"type\":\"word\"}"});
}

TEST(Pdag, LongRulesDoNotExhaustTheStack) {
  TestCtx t;
  // A 65000-character literal is a chain of 65000 nodes until compaction.
  ASSERT_EQ(t.load("rule=:" + std::string(65000, 'q') + "\n"), 0);
  ASSERT_EQ(t.ctx->pdag->nparsers, 1);
  EXPECT_EQ(std::string(ln_DataForDisplayLiteral(t.ctx, t.ctx->pdag->parsers[0].parser_data)).size(),
            65000u);
  // A long chain that is never optimised is still deleted, counted and drawn.
  struct ln_pdag *root = ln_newPDAG(t.ctx);
  struct ln_pdag *node = root;
  fjson_object *seq = fjson_object_new_array();
  for (int i = 0; i < 100000; ++i) {
    fjson_object *d = fjson_object_new_object();
    fjson_object_object_add(d, "type", fjson_object_new_string("whitespace"));
    fjson_object_array_add(seq, d);
  }
  ASSERT_EQ(ln_pdagAddParser(t.ctx, &node, seq), 0);
  es_str_t *dot = nullptr;
  ln_genDotPDAGGraph(root, &dot);
  ASSERT_NE(dot, nullptr);
  es_deleteStr(dot);
  ln_pdagDelete(root);
  // A rule of many fields: optimise, IDs and statistics walk it iteratively.
  std::string rule = "rule=:";
  for (int i = 0; i < 1500; ++i) rule += "%-:word% ";
  TestCtx f;
  ASSERT_EQ(f.load(rule + "\n"), 0);
  EXPECT_NE(statsText(f.ctx).find("longest path......: 3001\n"), std::string::npos);
  // path IDs are cut at 4096 bytes instead of growing with every field
  struct ln_pdag *end = f.ctx->pdag;
  while (end->nparsers > 0) end = child(end, 0);
  EXPECT_EQ(std::string(end->rb_id).size(), 4096u);
  EXPECT_EQ(std::string(end->rb_id).substr(0, 18), "%-:word% %-:word% ");
}

TEST(Pdag, ChainedAlternativesLoadInBoundedWork) {
  // 30 alternative groups in a row: 2^30 paths reach the last node. Path IDs
  // stop combining after a fixed amount of repeated work instead of hanging.
  std::string rule = "rule=:";
  for (int i = 0; i < 30; ++i)
    rule += "%{\"type\":\"alternative\",\"parser\":[{\"type\":\"literal\",\"text\":\"a\"},"
            "{\"type\":\"literal\",\"text\":\"b\"}]}%";
  TestCtx t;
  ASSERT_EQ(t.load(rule + "\n"), 0);
  struct ln_pdag *n = t.ctx->pdag;
  int depth = 0;
  while (n->nparsers > 0) {
    ASSERT_EQ(n->nparsers, 2);
    EXPECT_EQ(child(n, 0), child(n, 1));
    ASSERT_NE(n->rb_id, nullptr);
    n = child(n, 0);
    ++depth;
  }
  EXPECT_EQ(depth, 30);
  EXPECT_TRUE(n->flags.isTerminal);
  EXPECT_NE(n->rb_id, nullptr);
  EXPECT_NE(statsText(t.ctx).find("nodes.............:   31\n"), std::string::npos);
}

TEST(Pdag, GraphvizText) {
  TestCtx t;
  ASSERT_EQ(t.load("rule=:a\"\\\\b\n"), 0);
  struct ln_pdag *root = t.ctx->pdag;
  struct ln_pdag *end = child(root, 0);
  es_str_t *dot = nullptr;
  ln_genDotPDAGGraph(root, &dot);
  ASSERT_NE(dot, nullptr);
  const std::string got(reinterpret_cast<char *>(es_getBufAddr(dot)), es_strlen(dot));
  es_deleteStr(dot);
  EXPECT_EQ(got, "digraph pdag {\nl" + ptr(root) + " [ label=\"1\"]\nl" + ptr(root) + " -> l" +
                     ptr(end) + " [label=\"literal:ab\" style=\"dotted\"]\nl" + ptr(end) +
                     " [ label=\"1\" style=\"bold\"]\n}\n");

  root->stats.called = 2;
  root->stats.backtracked = 1;
  end->stats.called = 1;
  char *buf = nullptr;
  size_t len = 0;
  FILE *fp = open_memstream(&buf, &len);
  ln_fullPDagStatsDOT(t.ctx, fp);
  fclose(fp);
  EXPECT_EQ(std::string(buf, len), "digraph pdag {\nl" + ptr(root) + " [ label=\"2:1\"]\nl" + ptr(root) +
                                       " -> l" + ptr(end) + " [label=\"ab\" style=\"dotted\"]\nl" +
                                       ptr(end) + " [ label=\"1:0\" style=\"bold\"]\n}\n");
  free(buf);
  const std::string ext = statsText(t.ctx, 1);
  EXPECT_NE(ext.find("Usage Statistics:\n-----------------\ncalled, backtracked, rule\n2, 1, \n1, 0, a\"\\b\n"),
            std::string::npos)
      << ext;
}

TEST(Pdag, TypesAndDebugDump) {
  TestCtx t;
  ln_enableDebug(t.ctx, 1);
  ASSERT_EQ(t.load("type=@t:%v:word%\nrule=:ab%x:@t%\n"), 0);
  EXPECT_EQ(ln_pdagFindType(t.ctx, "@t", 0), 0);
  EXPECT_EQ(ln_pdagFindType(t.ctx, "@u", 0), -1);
  EXPECT_TRUE(t.hasDebug("custom type '@t' does not yet exist, adding..."));
  EXPECT_TRUE(t.hasDebug("custom type '@u' not found"));
  EXPECT_TRUE(t.hasDebug("---AFTER OPTIMIZATION------------------"));
  EXPECT_TRUE(t.hasDebug("field type 'literal', name '-': 'ab':"));
  EXPECT_TRUE(t.hasDebug("  field type 'USER-DEFINED', name 'x': 'UNKNOWN':"));
  EXPECT_TRUE(t.hasDebug("======================================="));
  const std::string stats = statsText(t.ctx);
  EXPECT_EQ(stats.rfind("User-Defined Types\n==================\nnumber types: 1\ntype: @t\n\ntype PDAG: "
                        "@t\n----------\nnodes.............:    2\n",
                        0),
            0u)
      << stats;
}

} // namespace
