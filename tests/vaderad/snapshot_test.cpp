// Snapshots of a flat result outlive the next message, the input buffer and
// the arena: run under the sanitizer build, every read below would be a
// use-after-free if a name or text still pointed at the freed input.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "normalizer/context.h"
#include "vaderad/turbo_json.h"
#include "vaderad/turbo_snapshot.h"

namespace {

std::string name_of(const ln_fast_field_t &f) { return std::string(f.name, f.name_len); }

std::string text_of(const ln_fast_result_t *r, int i) {
  const char *n, *v;
  size_t nl, vl;
  if (ln_fast_result_get_field(r, i, &n, &nl, &v, &vl) != 0 || !v) return "(none)";
  return std::string(v, vl);
}

TEST(Snapshot, OutlivesTheNextMessageAndTheInput) {
  ln_ctx ctx = ln_initCtx();
  ln_setCtxOpts(ctx, LN_CTXOPT_TURBO);
  ASSERT_EQ(ln_loadSamplesFromString(ctx, "version=2\n"
                                          "rule=t:kv %.:name-value-list%\n"
                                          "rule=t:w %word:word% %rest:rest%\n"),
            0);
  ASSERT_TRUE(ln_turbo_is_available(ctx));
  const std::string long_value(80, 'v'); // held by pointer, not inline
  auto input = std::make_unique<std::string>("w first " + long_value);
  const ln_fast_result_t *r = nullptr;
  ASSERT_EQ(ln_turbo_normalize_raw(ctx, input->data(), input->size(), &r), 0);
  ln_fast_result_snapshot_t *a = ln_turbo_snapshot_result(ctx);
  ASSERT_NE(a, nullptr);

  auto input2 = std::make_unique<std::string>("kv alpha=" + long_value + " beta=2");
  ASSERT_EQ(ln_turbo_normalize_raw(ctx, input2->data(), input2->size(), &r), 0);
  ln_fast_result_snapshot_t *b = ln_turbo_snapshot_result(ctx);
  ASSERT_NE(b, nullptr);
  input.reset();
  input2.reset();
  // The context moves on and overwrites its arena.
  const std::string third = "kv gamma=" + std::string(200, 'x');
  ASSERT_EQ(ln_turbo_normalize_raw(ctx, third.data(), third.size(), &r), 0);

  const ln_fast_result_t *ra = ln_fast_result_snapshot_get(a);
  ASSERT_EQ(ra->n_fields, 2);
  EXPECT_EQ(ra->arena, nullptr);
  EXPECT_EQ(name_of(ra->fields[0]), "word");
  EXPECT_EQ(text_of(ra, 0), "first");
  EXPECT_EQ(name_of(ra->fields[1]), "rest");
  EXPECT_EQ(text_of(ra, 1), long_value);
  EXPECT_STREQ(ra->rule_id, "w %word:word% %rest:rest%");

  const ln_fast_result_t *rb = ln_fast_result_snapshot_get(b);
  ASSERT_EQ(rb->n_fields, 2);
  EXPECT_EQ(name_of(rb->fields[0]), "alpha");
  EXPECT_EQ(text_of(rb, 0), long_value);
  EXPECT_EQ(name_of(rb->fields[1]), "beta");
  EXPECT_EQ(text_of(rb, 1), "2");
  ASSERT_EQ(rb->n_tags, 1);
  EXPECT_STREQ(rb->tags[0].tag, "t");
  char *json = nullptr;
  size_t n = 0;
  ASSERT_EQ(ln_fast_to_json_alloc(rb, &json, &n), 0);
  EXPECT_EQ(std::string(json, n), "{\"alpha\":\"" + long_value + "\",\"beta\":\"2\",\"tags\":[\"t\"]}");
  free(json);
  ln_fast_result_snapshot_free(a);
  ln_fast_result_snapshot_free(b);
  ln_exitCtx(ctx);
}

// Names are kept by address, not by flag: a name marked static that points
// into a caller's buffer is copied, one inside the program is kept, and names
// are read by their length (no terminator behind them).
TEST(Snapshot, KeepsOnlyProgramNamesAndCopiesTheRest) {
  static const char program_name[] = "prog.name";
  const ln_instr_t code[1] = {};
  const char pool[] = "pooled\0";
  const ln_program_t prog{code, 1, "t", 0, pool, nullptr, 0, sizeof pool, nullptr, nullptr, 0};
  auto buffer = std::make_unique<char[]>(64);
  memcpy(buffer.get(), "msgnameXmsgvalue-long-enough-to-be-held-by-pointer-not-inline!!", 64);
  ln_fast_result_t r{};
  ln_fast_field_t &f0 = r.fields[0];
  f0.name = buffer.get();
  f0.name_len = 7; // "msgname", followed by 'X', not by a terminator
  f0.flags = LN_FF_NAME_STATIC | LN_FF_TEXT;
  f0.type = LN_FTYPE_STRING;
  f0.v.str.ptr = buffer.get() + 8;
  f0.v.str.len = 56;
  ln_fast_field_t &f1 = r.fields[1];
  f1.name = pool;
  f1.name_len = 6;
  f1.flags = LN_FF_NAME_STATIC | LN_FF_TEXT;
  f1.type = LN_FTYPE_STRING_INLINE;
  memcpy(f1.v.inl, "x", 2);
  f1.inl_len = 1;
  r.n_fields = 2;
  r.rule_id = program_name;
  ln_fast_result_snapshot_t *s = ln_fast_result_snapshot_create_for(&r, nullptr, &prog);
  ASSERT_NE(s, nullptr);
  const std::string value(buffer.get() + 8, 56);
  buffer.reset();
  const ln_fast_result_t *c = ln_fast_result_snapshot_get(s);
  EXPECT_EQ(name_of(c->fields[0]), "msgname");
  EXPECT_EQ(std::string(c->fields[0].v.str.ptr, c->fields[0].v.str.len), value);
  EXPECT_EQ(c->fields[1].name, pool); // inside the pool: kept
  EXPECT_EQ(c->rule_id[0], 'p');      // outside the program: copied
  EXPECT_NE(c->rule_id, program_name);
  ln_fast_result_snapshot_free(s);
  EXPECT_EQ(ln_fast_result_snapshot_create(nullptr, nullptr), nullptr);
}

} // namespace
