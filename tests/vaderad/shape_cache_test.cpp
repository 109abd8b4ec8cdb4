// What VaderAD works out once per result shape (the names and tags of a
// result) and reuses: a shape remembered as free of name clashes or with a
// JSON layout must not let a result of other names through, whatever order
// the messages come in.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "normalizer/context.h"
#include "vaderad/turbo.h"
#include "vaderad/turbo_json.h"

namespace {

struct Ctx {
  ln_ctx ctx = ln_initCtx();
  explicit Ctx(const char *rulebase) {
    ln_setCtxOpts(ctx, LN_CTXOPT_TURBO);
    EXPECT_EQ(ln_loadSamplesFromString(ctx, rulebase), 0);
    EXPECT_TRUE(ln_turbo_is_available(ctx));
  }
  ~Ctx() { ln_exitCtx(ctx); }
  // VaderAD's JSON text, or "declined".
  std::string run(const std::string &line) {
    char *json = nullptr;
    size_t n = 0;
    if (ln_turbo_normalize_to_str(ctx, line.data(), line.size(), &json, &n) != 0) return "declined";
    std::string s(json, n);
    free(json);
    return s;
  }
};

TEST(ShapeCache, RememberedShapesDoNotHideAClash) {
  Ctx c("version=2\nrule=kv:kv: %.:name-value-list%\n");
  struct {
    std::string line, want;
  } steps[] = {
      {"kv: a=1 b=2", R"({"a":"1","b":"2","tags":["kv"]})"},
      {"kv: a=1 a.b=2", "declined"}, // "a" beside "a.b"
      {"kv: a=3 b=4", R"({"a":"3","b":"4","tags":["kv"]})"},
      {"kv: a.b=1 a=2", "declined"},
      {"kv: tags=1", "declined"},
      {"kv: a=5 b=6", R"({"a":"5","b":"6","tags":["kv"]})"},
      {"kv: a=1 a.b=2", "declined"},
      {"kv: b=\"x\\\"y\" a=\"\"", R"({"a":"","b":"x\\\"y","tags":["kv"]})"},
  };
  // Twice through, so that every shape is met again once remembered.
  for (int pass = 0; pass < 2; ++pass)
    for (const auto &s : steps) EXPECT_EQ(c.run(s.line), s.want) << s.line << " pass " << pass;
}

} // namespace

namespace {

// The full writer's text for ctx's result of line.
std::string full_text(ln_ctx ctx, const std::string &line) {
  const ln_fast_result_t *r = nullptr;
  if (ln_turbo_normalize_raw(ctx, line.data(), line.size(), &r) != 0) return "declined";
  char *s = nullptr;
  size_t n = 0;
  if (ln_fast_to_json_alloc(r, &s, &n) != 0) return "unwritable";
  std::string out(s, n);
  free(s);
  return out;
}

} // namespace

// A value written from a layout is tested for escapes in whole blocks of its
// inline copy: bytes past its end (left by a longer value before it) must not
// count, and a byte that needs an escape must be found at every position.
TEST(ShapeCache, LayoutValuesAreEscapedAtEveryPositionAndLength) {
  Ctx c("version=2\nrule=:v=%a:rest%\n");
  int checked = 0;
  for (const char bad : {'"', '\\', '\n', '\x01', '\x1f'}) {
    for (size_t len = 0; len <= 47; ++len) {
      // A long value full of the byte first, then clean and escaped values
      // of this length.
      c.run("v=" + std::string(47, bad));
      std::vector<std::string> values = {std::string(len, 'x')};
      for (size_t at = 0; at < len; ++at) {
        std::string v(len, '\xc3');
        v[at] = bad;
        values.push_back(v);
      }
      for (const std::string &v : values) {
        const std::string line = "v=" + v;
        ASSERT_EQ(c.run(line), full_text(c.ctx, line)) << "length " << len;
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 5000);
}

// A layout writes its pieces and clean short values without checking room
// while the buffer is large enough for all of them, and with checks from the
// first value that takes the general writer on: a long or escaped value at
// any place, and results that outgrow the context's buffer.
TEST(ShapeCache, LayoutTextsWhateverValueTakesTheGeneralWriter) {
  Ctx c("version=2\nrule=:%a:word% %b:word% %c:word% %d:rest%\n");
  const std::string longv(300, 'L'), escaped = "q\\\"x", huge(200000, 'H');
  const std::vector<std::string> values = {"s", longv, escaped, huge};
  int checked = 0;
  for (const std::string &a : values)
    for (const std::string &b : values)
      for (const std::string &d : values) {
        const std::string line = a + " " + b + " c " + d;
        ASSERT_EQ(c.run(line), full_text(c.ctx, line)) << line.substr(0, 80);
        ++checked;
      }
  EXPECT_EQ(checked, 64);
}

// One rule whose results take several shapes in turn (the members of a
// payload vary): every text written from a remembered layout is the full
// writer's text for that very result, whichever shape the rule had last.
TEST(ShapeCache, ARuleOfManyShapesWritesEachItsOwnLayout) {
  Ctx c("version=2\nrule=kv:kv: %.:name-value-list%\nrule=plain:x %a:word% %b.c:word%\n");
  const std::vector<std::string> lines = {"kv: a=1 b=2", "kv: a=1 c=2", "kv: b=1 a=2",   "kv: a=1",
                                          "kv: a=1 b=2", "x 1 2",        "kv: b.c=1 a=2", "kv: a=1 c=2",
                                          "kv: a=3 b=4", "x 3 4",        "kv: c=1 a=2 b=3"};
  for (int pass = 0; pass < 3; ++pass)
    for (const std::string &line : lines) ASSERT_EQ(c.run(line), full_text(c.ctx, line)) << line;
}
