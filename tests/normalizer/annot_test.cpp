// Annotations: loading annotate records, merging per tag, and the order in
// which ln_annotate applies operations and tags.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "load_helpers.h"
#include "normalizer/annot.h"

namespace {

// Applies the annotations of rulebase text to an empty object for the tags.
std::string annotate(const std::string &rules, const char *tagsJson, int *rc = nullptr) {
  TestCtx t;
  EXPECT_EQ(t.load(rules), 0) << rules;
  fjson_object *json = fjson_object_new_object();
  fjson_object *tags = tagsJson ? fjson_tokener_parse(tagsJson) : nullptr;
  const int r = ln_annotate(t.ctx, json, tags);
  if (rc) *rc = r;
  std::string out = fjson_object_to_json_string_ext(json, FJSON_TO_STRING_PLAIN);
  fjson_object_put(json);
  if (tags) fjson_object_put(tags);
  return out;
}

TEST(Annot, ApplyOrder) {
  struct Case {
    const char *name;
    std::string rules;
    const char *tags;
    const char *want;
  };
  const std::vector<Case> cases = {
      {"two adds", "annotate=web:+a=\"1\" +b=\"2\"\n", "[\"web\"]", "{\"b\":\"2\",\"a\":\"1\"}"},
      {"two lines, first wins", "annotate=web:+a=\"1\"\nannotate=web:+a=\"2\"\n", "[\"web\"]",
       "{\"a\":\"1\"}"},
      {"one line, first wins", "annotate=web:+a=\"1\" +a=\"2\"\n", "[\"web\"]", "{\"a\":\"1\"}"},
      {"first tag wins", "annotate=web:+source=\"w\"\nannotate=fw:+source=\"f\"\n",
       "[\"web\",\"fw\"]", "{\"source\":\"w\"}"},
      {"empty value", "annotate=web:+a=\"\"\n", "[\"web\"]", "{\"a\":\"\"}"},
      {"no tags", "annotate=web:+a=\"1\"\n", nullptr, "{}"},
      {"other tag", "annotate=web:+a=\"1\"\n", "[\"db\"]", "{}"},
      {"empty set", "rule=:x\n", "[\"web\"]", "{}"},
      {"trailing blanks and comment", "annotate=web : +a= \"x y\"   # note\n", "[\"web\"]",
       "{\"a\":\"x y\"}"},
      {"trailing blanks end the list", "annotate=web:+a=\"1\"   \n", "[\"web\"]", "{\"a\":\"1\"}"},
      {"unclosed quote takes the rest", "annotate=web:+a=\"x y\n", "[\"web\"]", "{\"a\":\"x y\"}"},
      {"dotted names", "annotate=a.b_c:+event.kind=\"k\"\n", "[\"a.b_c\"]", "{\"event.kind\":\"k\"}"},
  };
  for (const auto &c : cases) EXPECT_EQ(annotate(c.rules, c.tags), c.want) << c.name;
}

TEST(Annot, UnusableTagFails) {
  int rc = 0;
  annotate("annotate=web:+a=\"1\"\n", "[\"web\",null]", &rc);
  EXPECT_EQ(rc, -1);
}

TEST(Annot, SetMergesByExactTag) {
  TestCtx t;
  ASSERT_EQ(t.load("annotate=web:+a=\"1\"\nannotate=webx:+b=\"2\"\nannotate=web:+c=\"3\"\n"), 0);
  es_str_t *web = es_newStrFromCStr("web", 3);
  ln_annot *a = ln_findAnnot(t.ctx->pas, web);
  es_deleteStr(web);
  ASSERT_NE(a, nullptr);
  std::vector<std::string> names;
  for (ln_annot_op *op = a->oproot; op; op = op->next)
    names.emplace_back(reinterpret_cast<char *>(es_getBufAddr(op->name)), es_strlen(op->name));
  EXPECT_EQ(names, (std::vector<std::string>{"c", "a"}));
  es_str_t *we = es_newStrFromCStr("we", 2);
  EXPECT_EQ(ln_findAnnot(t.ctx->pas, we), nullptr);
  es_deleteStr(we);
}

} // namespace
