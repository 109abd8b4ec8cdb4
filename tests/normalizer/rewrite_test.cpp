// Rewrite tables: line syntax and its messages, binding to structured-payload
// rules with its errors, hash lookup, and the renaming merge.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "load_helpers.h"
#include "normalizer/rewrite.h"

namespace {

const std::string P = "rulebase file --NO-FILE--";
const std::string kJsonRule = "rule=fw:%.:json%\n";

TEST(Rewrite, LineSyntax) {
  struct Case {
    std::string line;
    int rc;
    std::string error;
  };
  const std::string n512(512, 'n');
  const std::vector<Case> cases = {
      {"rewrite=fw:src=a\n", 0, ""},
      {"rewrite= \tfw: src = a |LOWER # note\n", 0, ""},
      {"rewrite=fw :a=b\n", -1, P + "[1]: rewrite: expected <tag>:<src>=<dst>"},
      {"rewrite=:a=b\n", -1, P + "[1]: rewrite: expected <tag>:<src>=<dst>"},
      {"rewrite=fw,x:a=b\n", -1, P + "[1]: rewrite: expected <tag>:<src>=<dst>"},
      {"rewrite=fw:=b\n", -1, P + "[1]: rewrite: expected <src>=<dst> after tag"},
      {"rewrite=fw:a\n", -1, P + "[1]: rewrite: expected <src>=<dst> after tag"},
      {"rewrite=fw:" + n512 + "=b\n", -1, P + "[1]: rewrite: expected <src>=<dst> after tag"},
      {"rewrite=fw:a=\n", -1, P + "[1]: rewrite: empty destination name"},
      {"rewrite=fw:a=" + n512 + "\n", -1, P + "[1]: rewrite: empty destination name"},
      {"rewrite=fw:a=b|low\n", -1, P + "[1]: rewrite: unknown modifier (only |lower)"},
      {"rewrite=fw:a=b|lowest\n", -1, P + "[1]: rewrite: unknown modifier (only |lower)"},
      {"rewrite=fw:a=b x\n", -1, P + "[1]: rewrite: trailing junk"},
      {"rewrite=fw:src=a\nrewrite=fw:src=a\n", 0, ""},
      {"rewrite=fw:src=a\nrewrite=fw:src=a|lower\n", -1, P + "[2]: rewrite: 'src' mapped twice for one tag"},
      {"rewrite=fw:src=a\nrewrite=fw:src=b\n", -1, P + "[2]: rewrite: 'src' mapped twice for one tag"},
  };
  for (const auto &c : cases) {
    TestCtx t;
    EXPECT_EQ(t.load(c.line + kJsonRule), c.rc) << c.line;
    if (c.error.empty())
      EXPECT_TRUE(t.errors.empty()) << c.line << (t.errors.empty() ? "" : t.errors[0]);
    else
      EXPECT_EQ(t.errors, std::vector<std::string>{c.error}) << c.line;
  }
}

// Binding runs after the whole rulebase was read; its errors still name the
// file and the line of the rewrite line or rule concerned.
TEST(Rewrite, BindingErrors) {
  struct Case {
    const char *text;
    std::string error;
  };
  const std::string P = "rulebase file --NO-FILE--";
  const std::vector<Case> cases = {
      {"rewrite=fw:a=b\nrule=fw:%x:word%\n",
       P + "[1]: rewrite tag 'fw' is not on one %.:json%, %:cef% or %:name-value-list% rule"},
      {"# c\nrule=fw:%x:json%\nrewrite=fw:a=b\n",
       P + "[3]: rewrite tag 'fw' is not on one %.:json%, %:cef% or %:name-value-list% rule"},
      {"rewrite=fw:a=b\nrule=fw:%.:json%\nrule=fw:%.:json% tail\n",
       P + "[2]: rewrite: open-key rule is a prefix of a longer rule"},
      {"rewrite=a:s=x\nrewrite=b:s=y\nrule=a,b:%.:json%\n",
       P + "[3]: rewrite: 's' mapped to two destinations by the tags of one rule"},
  };
  for (const auto &c : cases) {
    TestCtx t;
    EXPECT_EQ(t.load(c.text), -1) << c.text;
    EXPECT_EQ(t.errors, std::vector<std::string>{c.error}) << c.text;
    EXPECT_EQ(t.ctx->conf_file, nullptr); // no location left behind
  }
}

TEST(Rewrite, BindBuildsOneTablePerTerminal) {
  TestCtx t;
  ASSERT_EQ(t.load("rewrite=fw:src_ip=source.ip|lower\nrewrite=fw:dpt=destination.port\n"
                   "rewrite=kv:user=user.name\n"
                   "rule=fw:%.:json%\n"
                   "rule=kv,fw:kv %x:name-value-list%\n"
                   "rule=fw:cef %y:cef%!\n"
                   "rule=other:plain %.:json%\n"),
            0);
  EXPECT_TRUE(t.errors.empty());
  uint32_t count = 0;
  ln_rw_tab **tabs = ln_rewrite_tabs(t.ctx, &count);
  ASSERT_EQ(count, 3u);
  ASSERT_NE(tabs, nullptr);
  // every eligible edge finds its terminal's table
  std::vector<uint32_t> ids;
  std::vector<const ln_parser_t *> eligible;
  std::vector<struct ln_pdag *> stack{t.ctx->pdag};
  while (!stack.empty()) {
    struct ln_pdag *n = stack.back();
    stack.pop_back();
    for (int i = 0; i < n->nparsers; ++i) {
      const ln_parser_t *p = &n->parsers[i];
      if (p->prsid == PRS_JSON || p->prsid == PRS_CEF || p->prsid == PRS_NAME_VALUE_LIST)
        eligible.push_back(p);
      stack.push_back(p->node);
    }
  }
  ASSERT_EQ(eligible.size(), 4u);
  int withTable = 0;
  for (const ln_parser_t *p : eligible) {
    const ln_rw_tab *tab = ln_rewrite_tab_for_parser(t.ctx, p);
    if (tab == nullptr) continue; // the rule tagged "other"
    ++withTable;
    EXPECT_EQ(tab, ln_rewrite_tab(t.ctx, ln_rewrite_id_for_parser(p)));
    const ln_rw_ent *e = ln_rw_lookup(tab, "dpt", 3);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::string(e->dst, e->dlen), "destination.port");
    EXPECT_EQ(e->lower, 0);
    e = ln_rw_lookup(tab, "src_ip", 6);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->lower, 1);
    EXPECT_EQ(ln_rw_lookup(tab, "src_i", 5), nullptr);
    const bool kv = p->prsid == PRS_NAME_VALUE_LIST;
    EXPECT_EQ(ln_rw_lookup(tab, "user", 4) != nullptr, kv);
    EXPECT_EQ(tab->n, kv ? 3u : 2u);
    EXPECT_EQ(tab->mask, kv ? 7u : 3u);
  }
  EXPECT_EQ(withTable, 3);
  EXPECT_EQ(ln_rewrite_tab(t.ctx, 0), nullptr);
  EXPECT_EQ(ln_rewrite_tab(t.ctx, 4), nullptr);
  // binding again rebuilds from scratch
  ASSERT_EQ(ln_rewrite_bind(t.ctx), 0);
  ln_rewrite_tabs(t.ctx, &count);
  EXPECT_EQ(count, 3u);
}

TEST(Rewrite, LookupInALargerTable) {
  TestCtx t;
  std::string text;
  for (int i = 0; i < 40; ++i) text += "rewrite=fw:k" + std::to_string(i) + "=d" + std::to_string(i) + "\n";
  ASSERT_EQ(t.load(text + kJsonRule), 0);
  const ln_rw_tab *tab = ln_rewrite_tab(t.ctx, 1);
  ASSERT_NE(tab, nullptr);
  EXPECT_EQ(tab->mask, 127u);
  for (int i = 0; i < 40; ++i) {
    const std::string k = "k" + std::to_string(i);
    const ln_rw_ent *e = ln_rw_lookup(tab, k.data(), k.size());
    ASSERT_NE(e, nullptr) << k;
    EXPECT_EQ(std::string(e->dst, e->dlen), "d" + std::to_string(i));
  }
  EXPECT_EQ(ln_rw_lookup(tab, "k40", 3), nullptr);
  EXPECT_EQ(ln_rw_lookup(tab, "", 0), nullptr);
}

std::string merge(ln_ctx ctx, const char *dstJson, const char *srcJson, int failDup, int *rc) {
  fjson_object *dst = fjson_tokener_parse(dstJson);
  fjson_object *src = fjson_tokener_parse(srcJson);
  *rc = ln_rewrite_merge(dst, src, ln_rewrite_tab(ctx, 1), failDup);
  std::string out = fjson_object_to_json_string_ext(dst, FJSON_TO_STRING_PLAIN);
  fjson_object_put(dst);
  fjson_object_put(src);
  return out;
}

TEST(Rewrite, RenamingMerge) {
  TestCtx t;
  ASSERT_EQ(t.load("rewrite=fw:a.b=n|lower\nrewrite=fw:e=m\nrewrite=fw:s=keep\n" + kJsonRule), 0);
  int rc = 0;
  EXPECT_EQ(merge(t.ctx, "{}", "{\"a\":{\"b\":\"X\"},\"c\":1}", 0, &rc), "{\"n\":\"x\"}");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(merge(t.ctx, "{\"n\":1}", "{\"e\":{},\"a\":{\"b\":\"Q\"},\"s\":5}", 0, &rc),
            "{\"n\":\"q\",\"m\":{},\"keep\":5}");
  EXPECT_EQ(rc, 0);
  // a duplicate with fail_dup leaves the destination unchanged
  EXPECT_EQ(merge(t.ctx, "{\"keep\":0}", "{\"a\":{\"b\":\"Q\"},\"s\":5}", 1, &rc), "{\"keep\":0}");
  EXPECT_EQ(rc, -1);
  fjson_object *o = fjson_object_new_object();
  EXPECT_EQ(ln_rewrite_merge(o, nullptr, ln_rewrite_tab(t.ctx, 1), 0), -1);
  EXPECT_EQ(ln_rewrite_merge(o, o, nullptr, 0), -1);
  fjson_object_put(o);
}

} // namespace
