// The recursive walker on small rulebases loaded from text: edge order,
// backtracking, value storing, tags and annotations, metadata options, the
// unparsed result and behaviour on hostile input.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "normalizer/context.h"
#include "normalizer/walker.h"

namespace {

struct Ctx {
  ln_ctx ctx = nullptr;
  Ctx(const char *rulebase, uint32_t opts = 0) {
    ctx = ln_initCtx();
    EXPECT_NE(ctx, nullptr);
    if (!ctx) return;
    if (opts) ln_setCtxOpts(ctx, opts);
    EXPECT_EQ(ln_loadSamplesFromString(ctx, rulebase), 0) << rulebase;
  }
  ~Ctx() {
    if (ctx) ln_exitCtx(ctx);
  }
  // Normalizes a copy of line held in a buffer of exactly its length.
  int norm(const std::string &line, std::string *out) {
    std::vector<char> buf(line.begin(), line.end());
    fjson_object *json = nullptr;
    int r = ln_normalize(ctx, buf.empty() ? "" : buf.data(), buf.size(), &json);
    out->clear();
    if (json) {
      *out = fjson_object_to_json_string_ext(json, FJSON_TO_STRING_PLAIN);
      fjson_object_put(json);
    }
    return r;
  }
};

constexpr int NM = LN_RC_NO_MATCH;

struct Case {
  const char *what;
  const char *rulebase;
  uint32_t opts;
  std::string line;
  int rc;
  const char *json; // whole result, compact
};

void run_cases(const std::vector<Case> &cases) {
  for (const Case &c : cases) {
    Ctx x(c.rulebase, c.opts);
    if (!x.ctx) return;
    std::string out;
    EXPECT_EQ(x.norm(c.line, &out), c.rc) << c.what;
    EXPECT_EQ(out, c.json) << c.what;
  }
}

TEST(Walker, MatchingAndOrder) {
  run_cases({
      // Values are stored while the recursion unwinds: last field first.
      {"fields", "rule=:%a:word% %b:number%", 0, "foo 42", 0, R"({"b":"42","a":"foo"})"},
      {"prefix is no match", "rule=:abc", 0, "abcd", NM,
       R"({"originalmsg":"abcd","unparsed-data":"d"})"},
      {"empty message, literal rule", "rule=:abc", 0, "", NM,
       R"({"originalmsg":"","unparsed-data":""})"},
      {"empty message, zero-length field", "rule=:%r:rest%", 0, "", 0, R"({"r":""})"},
      {"number before word", "rule=:%w:word%\nrule=:%n:number%", 0, "42", 0, R"({"n":"42"})"},
      {"earlier edge wins over more fields",
       "rule=:%a:word% %b:word%\nrule=:%{\"type\":\"rest\",\"name\":\"all\",\"priority\":1}%", 0,
       "x y", 0, R"({"all":"x y"})"},
      {"backtracking to the next edge", "rule=:%n:number% y\nrule=:%w:word% x", 0, "12 x", 0,
       R"({"w":"12"})"},
      {"unnamed and discarded fields keep nothing", "rule=:%-:word% %-:number%", 0, "a 1", 0,
       "{}"},
      {"duplicate names are both kept", "rule=:%a:word% %a:word%", 0, "x y", 0,
       R"({"a":"y","a":"x"})"},
  });
}

TEST(Walker, UserDefinedTypesAndMerges) {
  const char *kv = "type=@kv:%k:char-to:=%=%v:word%\n";
  run_cases({
      {"type under a name", (std::string(kv) + "rule=:x %kv:@kv%").c_str(), 0, "x a=b", 0,
       R"({"kv":{"v":"b","k":"a"}})"},
      {"type merged with '.'", (std::string(kv) + "rule=:%.:@kv% %z:word%").c_str(), 0, "a=b c",
       0, R"({"z":"c","v":"b","k":"a"})"},
      {"type discarded with '-'", (std::string(kv) + "rule=:%-:@kv% end").c_str(), 0,
       "a=b end", 0, "{}"},
      {"'..' member replaces the object", "type=@w:%..:word%\nrule=:%x:@w%", 0, "abc", 0,
       R"({"x":"abc"})"},
      {"type matches a prefix of the rest", "type=@n:%n:number%\nrule=:%t:@n%x", 0, "12x", 0,
       R"({"t":{"n":"12"}})"},
      {"'.' on a non-object value", "rule=:%.:word%", 0, "abc", 0, R"({".":"abc"})"},
  });
}

// Repeat bodies with option.failOnDuplicate: an edge whose name the item
// already holds is skipped, and a name stored twice on one path or met again
// by a "." merge is a conflict; each ends the item, and with
// permitMismatchInParser the repeat keeps the items before it.
TEST(Walker, FailOnDuplicate) {
  const std::string opts =
      R"(,"while":{"type":"literal","text":","},"option.permitMismatchInParser":true)";
  const std::string dup = opts + R"(,"option.failOnDuplicate":true}%%r:rest%)";
  const std::string num = R"(rule=:%.:repeat{"parser":{"type":"number","name":"n"})";
  const std::string alt =
      R"(rule=:%.:repeat{"parser":{"type":"alternative","parser":[)"
      R"({"type":"number","name":"n","priority":1},{"type":"number","name":"m"}]})";
  const std::string kv = "type=@kv:%k:char-to:=%=%v:char-sep:,%\n"
                         R"(rule=:%.:repeat{"parser":{"type":"@kv","name":"."})" + dup;
  const std::string twice =
      R"(rule=:%l:repeat{"parser":[{"type":"char-to","name":"a","extradata":":"},)"
      R"({"type":"literal","text":":"},{"type":"word","name":"a"}])";
  run_cases({
      {"merged name replaced without the option", (num + opts + "}%%r:rest%").c_str(), 0, "1,2",
       0, R"({"r":"","n":"2"})"},
      {"edge skipped when its name is held", (alt + dup).c_str(), 0, "1,2,3", 0,
       R"({"r":",3","n":"1","m":"2"})"},
      {"'.' merge conflict", kv.c_str(), 0, "a=1,b=2", 0, R"({"r":",b=2","v":"1","k":"a"})"},
      {"one name twice on a path", (twice + dup).c_str(), 0, "x:y", 0, R"({"r":"x:y","l":[]})"},
      {"one name twice without the option", (twice + opts + "}%").c_str(), 0, "x:y", 0,
       R"({"l":[{"a":"y","a":"x"}]})"},
  });
}

// Leaves its copy of the rulebase text alive for the context's lifetime.
std::string joined(std::initializer_list<const char *> lines) {
  std::string s;
  for (const char *l : lines) s += std::string(l) + "\n";
  return s;
}

TEST(Walker, UnparsedResult) {
  run_cases({
      // The furthest parser match counts, even on an abandoned branch.
      {"furthest offset", "rule=:%n:number% %x:word% END\nrule=:%w:word%", 0, "12 abc def",
       NM, R"({"originalmsg":"12 abc def","unparsed-data":" def"})"},
      {"hex copy of control bytes", "rule=:abc", 0, std::string("ab\x01" "c", 4), NM,
       R"({"originalmsg":"ab\u0001c","unparsed-data":"ab\u0001c","unparsed-data-binary":"61620163"})"},
      {"no hex copy with 0x40", "rule=:abc", LN_CTXOPT_NO_UNPARSED_BINARY,
       std::string("ab\x01" "c", 4), NM,
       R"({"originalmsg":"ab\u0001c","unparsed-data":"ab\u0001c"})"},
      {"no rule at all", "", 0, "x", NM, R"({"originalmsg":"x","unparsed-data":"x"})"},
  });
}

TEST(Walker, OptionsAndMetadata) {
  run_cases({
      {"originalmsg on a match", "rule=:%a:word%", LN_CTXOPT_ADD_ORIGINALMSG, "x", 0,
       R"({"a":"x","originalmsg":"x"})"},
      {"rule mock-up", "type=@n:%n:number%\nrule=:id %a:word% %-:@n%", LN_CTXOPT_ADD_RULE,
       "id x 5", 0,
       R"({"a":"x","metadata":{"rule":{"mockup":"id %a:word% %-:USER-DEFINED%%n:number%"}}})"},
      // What an abandoned branch appended (here inside a type) is cut off.
      {"mock-up after backtracking", "type=@n:%n:number%\nrule=:%x:@n% a\nrule=:%y:word% b",
       LN_CTXOPT_ADD_RULE, "12 b", 0,
       R"({"y":"12","metadata":{"rule":{"mockup":"%y:word% b"}}})"},
  });
  Ctx x("rule=:%a:word%", LN_CTXOPT_ADD_RULE_LOCATION);
  if (!x.ctx) return;
  fjson_object *json = nullptr;
  ASSERT_EQ(ln_normalize(x.ctx, "x", 1, &json), 0);
  fjson_object *meta, *rule, *loc, *file, *line;
  ASSERT_TRUE(fjson_object_object_get_ex(json, "metadata", &meta));
  ASSERT_TRUE(fjson_object_object_get_ex(meta, "rule", &rule));
  EXPECT_FALSE(fjson_object_object_get_ex(rule, "mockup", nullptr));
  ASSERT_TRUE(fjson_object_object_get_ex(rule, "location", &loc));
  ASSERT_TRUE(fjson_object_object_get_ex(loc, "file", &file));
  ASSERT_TRUE(fjson_object_object_get_ex(loc, "line", &line));
  EXPECT_STREQ(fjson_object_get_string(file), "--NO-FILE--");
  EXPECT_TRUE(fjson_object_is_type(line, fjson_type_int));
  fjson_object_put(json);
}

TEST(Walker, TagsWithAnnotations) {
  std::string rb = joined({"annotate=web:+product=\"apache\" +tier=\"front\"",
                           "rule=web,linux:%a:word%"});
  Ctx x(rb.c_str());
  if (!x.ctx) return;
  fjson_object *json = nullptr;
  ASSERT_EQ(ln_normalize(x.ctx, "x", 1, &json), 0);
  fjson_object *v = nullptr;
  ASSERT_TRUE(fjson_object_object_get_ex(json, "event.tags", &v));
  EXPECT_STREQ(fjson_object_to_json_string_ext(v, FJSON_TO_STRING_PLAIN), R"(["web","linux"])");
  ASSERT_TRUE(fjson_object_object_get_ex(json, "product", &v));
  EXPECT_STREQ(fjson_object_get_string(v), "apache");
  ASSERT_TRUE(fjson_object_object_get_ex(json, "tier", &v));
  EXPECT_STREQ(fjson_object_get_string(v), "front");
  ASSERT_TRUE(fjson_object_object_get_ex(json, "a", &v));
  fjson_object_put(json);
}

// A root-level JSON payload of a rule with a rewrite tag is merged through
// the rule's rewrite table; without a tag it is merged as it is.
TEST(Walker, JsonMergeThroughRewriteTable) {
  std::string rb = joined({"rewrite=fw:src_ip=source.ip|lower", "rule=fw:FW %.:json%",
                           "rule=:RAW %.:json%"});
  Ctx x(rb.c_str());
  if (!x.ctx) return;
  std::string out;
  ASSERT_EQ(x.norm(R"(FW {"src_ip":"ABC"})", &out), 0);
  fjson_object *json = fjson_tokener_parse(out.c_str());
  fjson_object *v = nullptr;
  ASSERT_TRUE(fjson_object_object_get_ex(json, "source.ip", &v)) << out;
  EXPECT_STREQ(fjson_object_get_string(v), "abc");
  EXPECT_FALSE(fjson_object_object_get_ex(json, "src_ip", nullptr)) << out;
  fjson_object_put(json);
  ASSERT_EQ(x.norm(R"(RAW {"src_ip":"ABC","n":1})", &out), 0);
  EXPECT_EQ(out, R"({"src_ip":"ABC","n":1})");
}

TEST(Walker, StatisticsAndCallerObject) {
  Ctx x("rule=:%n:number% y\nrule=:%w:word% x");
  if (!x.ctx) return;
  fjson_object *json = fjson_object_new_object();
  fjson_object_object_add(json, "pre", fjson_object_new_int(1));
  ASSERT_EQ(ln_normalize(x.ctx, "12 x", 4, &json), 0);
  EXPECT_STREQ(fjson_object_to_json_string_ext(json, FJSON_TO_STRING_PLAIN),
               R"({"pre":1,"w":"12"})");
  fjson_object_put(json);
  EXPECT_EQ(x.ctx->pdag->stats.called, 1u);
  EXPECT_EQ(x.ctx->pdag->stats.backtracked, 1u);
}

TEST(Walker, NormalizeToStr) {
  Ctx x("rule=:%a:word% %b:number%");
  if (!x.ctx) return;
  char *s = nullptr;
  size_t n = 0;
  ASSERT_EQ(ln_normalize_to_str(x.ctx, "foo 42", 6, &s, &n), 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::string(s, n), R"({"b":"42","a":"foo"})");
  EXPECT_EQ(strlen(s), n);
  free(s);
  s = reinterpret_cast<char *>(1);
  EXPECT_EQ(ln_normalize_to_str(x.ctx, "foo", 3, &s, &n), NM);
  EXPECT_EQ(s, nullptr);
}

// Hostile lines against a rulebase using every scalar parser: each either
// matches or reports unparsed data; nothing reads out of bounds.
TEST(Walker, HostileLines) {
  std::string rb = joined({
      "rule=:%a:word% %b:quoted-string%",
      "rule=:%a:op-quoted-string% %b:string%",
      "rule=:%{\"type\":\"op-quoted-string\",\"name\":\"q\",\"escape\":true}% %r:rest%",
      "rule=:%n:number%.%f:float% %h:hexnumber% %s:char-sep:,%,%t:string-to:--%--%u:char-to:;%;",
      "rule=:%w:whitespace%%x:alpha%",
  });
  Ctx x(rb.c_str());
  if (!x.ctx) return;
  std::vector<std::string> lines = {
      "a \"unterminated",
      "\"ab\\",
      "\"a\\\"b c",
      "1.2 0x1F x,y--z;",
      std::string("\0\1\2\xff\xfe \"\xc3(", 9),
      std::string(300000, 'x'),
      std::string(200000, 'x') + " \"" + std::string(100000, 'y'),
      std::string(100000, ' ') + "\\",
  };
  for (const std::string &l : lines) {
    std::string out;
    int r = x.norm(l, &out);
    EXPECT_TRUE(r == 0 || r == NM);
    EXPECT_FALSE(out.empty());
  }
  std::string out;
  EXPECT_EQ(x.norm("1.2 0x1F x,y--z;", &out), 0);
  EXPECT_EQ(out, R"({"u":"z","t":"y","s":"x","h":"0x1F","f":"2","n":"1"})");
}

// A self-recursive type over a long line: the walk is bounded and ends as a
// mismatch instead of overflowing the stack.
TEST(Walker, DeepRecursionIsBounded) {
  Ctx x("type=@list:%w:word%\ntype=@list:%w:word% %r:@list%\nrule=:%l:@list%");
  if (!x.ctx) return;
  std::string out;
  std::string shortl;
  for (int i = 0; i < 500; ++i) shortl += i ? " a" : "a";
  EXPECT_EQ(x.norm(shortl, &out), 0);
  std::string longl;
  for (int i = 0; i < 200000; ++i) longl += i ? " a" : "a";
  EXPECT_EQ(x.norm(longl, &out), NM);
}

// The same walk on a thread with a small stack: the stack bound, not the
// depth bound, ends it.
TEST(Walker, DeepRecursionOnSmallThreadStack) {
  Ctx x("type=@list:%w:word%\ntype=@list:%w:word% %r:@list%\nrule=:%l:@list%");
  if (!x.ctx) return;
  struct Job {
    Ctx *x;
    int short_rc = 1, long_rc = 1;
  } job{&x};
  auto body = [](void *p) -> void * {
    auto *j = static_cast<Job *>(p);
    std::string out, l;
    for (int i = 0; i < 10; ++i) l += i ? " a" : "a";
    j->short_rc = j->x->norm(l, &out);
    for (int i = 0; i < 100000; ++i) l += " a";
    j->long_rc = j->x->norm(l, &out);
    return nullptr;
  };
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 1024 * 1024);
  pthread_t t;
  ASSERT_EQ(pthread_create(&t, &attr, body, &job), 0);
  pthread_join(t, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(job.short_rc, 0);
  EXPECT_EQ(job.long_rc, NM);
}

// A type that refers to itself at the same offset recurses without consuming
// anything; the depth bound ends it.
TEST(Walker, LeftRecursionEnds) {
  Ctx x("type=@z:%n:number%\ntype=@z:%x:@z%\nrule=:%z:@z%");
  if (!x.ctx) return;
  std::string out;
  EXPECT_EQ(x.norm("abc", &out), NM);
  EXPECT_EQ(x.norm("12", &out), 0);
}

// Two left-recursive alternatives would re-walk each other exponentially;
// re-entering a type at the offset it started at is cut, so a failing line
// costs a handful of node visits, and a matching one still matches.
TEST(Walker, LeftRecursionStaysCheap) {
  Ctx x("type=@z:%n:number%\ntype=@z:%x:@z%\ntype=@z:%y:@z%\nrule=:%z:@z%");
  if (!x.ctx) return;
  std::string out;
  EXPECT_EQ(x.norm("abc", &out), NM);
  const uint32_t called = x.ctx->type_pdags[0].pdag->stats.called;
  EXPECT_LT(called, 100u);
  EXPECT_EQ(x.norm("12", &out), 0);
}

} // namespace

namespace {

// k alternatives in a row whose branches share their successor node: a line
// that fails at the end would be re-walked 2^k times; remembered failures keep
// the walk linear, and a later edge still matches.
TEST(Walker, AmbiguousAlternativesStayLinear) {
  const int k = 13;
  std::string rb = "rule=:";
  std::string line;
  for (int i = 0; i < k; ++i) {
    rb += R"(%{"type":"alternative","parser":[{"type":"word","name":"x"},)"
          R"({"type":"word","name":"y"}]}% )";
    line += "w ";
  }
  rb += "END\nrule=:%{\"type\":\"rest\",\"name\":\"all\",\"priority\":40000}%\n";
  Ctx x(rb.c_str());
  if (!x.ctx) return;
  std::string out;
  ASSERT_EQ(x.norm(line + "END", &out), 0);
  EXPECT_EQ(out.rfind(R"({"x":"w")", 0), 0u) << out;
  EXPECT_EQ(x.norm(line + "XYZ", &out), 0);
  EXPECT_EQ(out, R"({"all":")" + line + R"(XYZ"})");
  // Node visits along the first branch chain: about two per node once the
  // memo is on, instead of 2^k.
  uint64_t calls = 0;
  for (ln_pdag *n = x.ctx->pdag; n; n = n->nparsers ? n->parsers[0].node : nullptr)
    calls += n->stats.called;
  EXPECT_LT(calls, 8000u);
}

} // namespace
