// The VaderAD entry points on a normalizer context: JSON text, parsed object
// and flat result, statistics, the reasons VaderAD declines a message, and
// ln_normalize_to_str serving a VaderAD context with and without strict mode.
#include <gtest/gtest.h>

#include <string>

#include "normalizer/walker.h"
#include "turbo_ctx_helpers.h"
#include "vaderad/turbo_json.h"

namespace {

// "user <name> from <ipv4>" with the tag "auth".
Prog login_program() {
  Prog p;
  p.literal("user ");
  p.field(OP_FIELD_WORD, "user.name");
  p.literal(" from ");
  p.field(OP_FIELD_IPV4, "source.ip");
  p.add(OP_ASSERT_END);
  p.str(OP_TAG, "auth");
  p.match("login");
  return p;
}

TEST(TurboNormalize, JsonTextObjectAndRawResult) {
  TurboCtx t(login_program());
  const std::string msg = "user alice from 10.0.0.7";
  char *json = nullptr;
  size_t n = 0;
  ASSERT_EQ(ln_turbo_normalize_to_str(t.ctx, msg.data(), msg.size(), &json, &n), 0);
  EXPECT_EQ(std::string(json, n),
            R"({"source":{"ip":"10.0.0.7"},"user":{"name":"alice"},"tags":["auth"]})");
  free(json);

  fjson_object *o = nullptr;
  ASSERT_EQ(ln_turbo_normalize(t.ctx, msg.data(), msg.size(), &o), 0);
  EXPECT_EQ(fjson_object_object_length(o), 3);
  fjson_object_put(o);

  const ln_fast_result_t *r = nullptr;
  ASSERT_EQ(ln_turbo_normalize_raw(t.ctx, msg.data(), msg.size(), &r), 0);
  EXPECT_STREQ(ln_fast_result_get_rule_id(r), "login");
  const char *v = nullptr;
  size_t vl = 0;
  ASSERT_EQ(ln_fast_result_get_string(r, "user.name", &v, &vl), 0);
  EXPECT_EQ(std::string(v, vl), "alice");
  EXPECT_EQ(ln_fast_result_has_tag(r, "auth"), 1);
  EXPECT_EQ(ln_fast_result_get_int(r, "user.name", nullptr), -1);

  ln_turbo_stats_t st{};
  ASSERT_EQ(ln_turbo_get_stats(t.ctx, &st), 0);
  EXPECT_EQ(st.messages_processed, 3u);
  EXPECT_EQ(st.total_bytes, 3 * msg.size());

  EXPECT_EQ(ln_turbo_normalize_to_str(t.ctx, "user bob", 8, &json, &n), -1);
  EXPECT_EQ(json, nullptr);
  EXPECT_TRUE(t.logged("turbo VM exec returned -1, error: (none)"));
  ASSERT_EQ(ln_turbo_get_stats(t.ctx, &st), 0);
  EXPECT_EQ(st.messages_processed, 3u); // failures are not counted
}

TEST(TurboNormalize, TruncatedResultIsDeclinedButRawServesIt) {
  Prog p;
  for (int i = 0; i < 129; ++i) p.kv("k", "v");
  p.match();
  TurboCtx t(p);
  char *json = nullptr;
  EXPECT_EQ(ln_turbo_normalize_to_str(t.ctx, "", 0, &json, nullptr), -1);
  EXPECT_TRUE(t.logged("turbo: result truncated at 128 fields, falling back to the walker"));
  const ln_fast_result_t *r = nullptr;
  ASSERT_EQ(ln_turbo_normalize_raw(t.ctx, "", 0, &r), 0);
  EXPECT_EQ(ln_fast_result_is_truncated(r), 1);
}

TEST(TurboNormalize, LimitsDeclineTheMessage) {
  Prog loop;
  loop.jump(OP_JUMP, 0);
  TurboCtx t(loop);
  t.ctx->turbo->vm.instr_limit = 1000;
  char *json = nullptr;
  EXPECT_EQ(ln_turbo_normalize_to_str(t.ctx, "x", 1, &json, nullptr), -1);
  EXPECT_TRUE(t.logged("turbo VM exec returned -3, error: instruction limit exceeded"));

  Prog rest;
  rest.field(OP_FIELD_REST, "r");
  rest.match();
  t.install(rest);
  std::string big(8388609, 'x'); // twice that passes the arena's 16 MiB cap
  EXPECT_EQ(ln_turbo_normalize_to_str(t.ctx, big.data(), big.size(), &json, nullptr), -1);
  big.pop_back();
  ASSERT_EQ(ln_turbo_normalize_to_str(t.ctx, big.data(), big.size(), &json, nullptr), 0);
  free(json);
}

TEST(TurboNormalize, NormalizeToStrTriesVaderadFirst) {
  const std::string hit = "user alice from 10.0.0.7", miss = "other";
  {
    TurboCtx t(login_program());
    char *json = nullptr;
    size_t n = 0;
    ASSERT_EQ(ln_normalize_to_str(t.ctx, hit.data(), hit.size(), &json, &n), 0);
    EXPECT_NE(std::string(json, n).find("\"tags\":[\"auth\"]"), std::string::npos);
    free(json);
    // Declined: the walker serves the message (its rule takes one word).
    ASSERT_EQ(ln_normalize_to_str(t.ctx, miss.data(), miss.size(), &json, &n), 0);
    EXPECT_EQ(std::string(json, n), R"({"w":"other"})");
    free(json);
    EXPECT_TRUE(t.logged("turbo normalize_to_str failed, fallback to walker"));
  }
  {
    TurboCtx t(login_program(), LN_CTXOPT_TURBO_STRICT);
    char *json = nullptr;
    EXPECT_NE(ln_normalize_to_str(t.ctx, miss.data(), miss.size(), &json, nullptr), 0);
    EXPECT_EQ(json, nullptr);
    EXPECT_TRUE(t.logged("turbo normalize_to_str failed and strict mode is on, not falling back"));
  }
}

TEST(TurboNormalize, NoProgramNoService) {
  ln_ctx ctx = ln_initCtx();
  ln_setCtxOpts(ctx, LN_CTXOPT_TURBO);
  char *json = nullptr;
  EXPECT_EQ(ln_turbo_normalize_to_str(ctx, "x", 1, &json, nullptr), -1);
  const ln_fast_result_t *r = nullptr;
  EXPECT_EQ(ln_turbo_normalize_raw(ctx, "x", 1, &r), -1);
  EXPECT_EQ(r, nullptr);
  ln_exitCtx(ctx);
  EXPECT_EQ(ln_turbo_normalize_to_str(nullptr, "x", 1, &json, nullptr), -1);
}

} // namespace
