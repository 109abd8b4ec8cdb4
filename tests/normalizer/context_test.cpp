// Normalizer context: life cycle, bad handles, options and VaderAD state,
// message formatting and location prefix, unparsed binary data, version.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "load_helpers.h"
#include "normalizer/annot.h"
#include "normalizer/rewrite.h"

namespace {

TEST(Context, InitCreatesRootAndSets) {
  TestCtx t;
  ASSERT_NE(t.ctx, nullptr);
  EXPECT_EQ(t.ctx->objID, LN_OBJID_CTX);
  ASSERT_NE(t.ctx->pdag, nullptr);
  EXPECT_EQ(t.ctx->pdag->refcnt, 1);
  EXPECT_NE(t.ctx->pas, nullptr);
  EXPECT_NE(t.ctx->rewrites, nullptr);
  EXPECT_EQ(t.ctx->turbo, nullptr);
  EXPECT_EQ(t.ctx->nNodes, 1u);
  EXPECT_STREQ(ln_version(), "2.1.1");
  EXPECT_EQ(ln_hasAdvancedStats(), 0);
}

TEST(Context, BadHandleIsRefused) {
  struct ln_ctx_s fake;
  memset(&fake, 0, sizeof(fake));
  EXPECT_EQ(ln_exitCtx(&fake), -1);
  EXPECT_EQ(ln_exitCtx(nullptr), -1);
  EXPECT_EQ(ln_setCtxOpts(&fake, 4), -1);
  EXPECT_EQ(ln_setDebugCB(&fake, nullptr, nullptr), -1);
  EXPECT_EQ(ln_setErrMsgCB(&fake, nullptr, nullptr), -1);
  EXPECT_EQ(ln_loadSamples(&fake, "x"), -1);
  EXPECT_EQ(ln_loadSamplesFromString(&fake, "rule=:a"), -1);
  EXPECT_EQ(fake.opts, 0u);
}

TEST(Context, OptionsOnlyAddAndTurboStateIsCreatedOnce) {
  TestCtx t;
  EXPECT_EQ(ln_setCtxOpts(t.ctx, 0x04), 0);
  EXPECT_EQ(ln_setCtxOpts(t.ctx, 0x20), 0);
  ln_turbo_ctx_t *first = t.ctx->turbo;
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(ln_setCtxOpts(t.ctx, 0x20), 0);
  EXPECT_EQ(t.ctx->turbo, first);
  EXPECT_EQ(ln_getCtxOpts(t.ctx), 0x24u);
  ln_enableDebug(t.ctx, 3);
  EXPECT_EQ(t.ctx->debug, 1);
  ln_enableDebug(t.ctx, 2);
  EXPECT_EQ(t.ctx->debug, 0);
}

TEST(Context, TurboCompileAfterLoadIsReportedOnDebugOnly) {
  TestCtx t(LN_CTXOPT_TURBO);
  EXPECT_EQ(t.load("rule=:a\n"), 0);
  EXPECT_TRUE(t.errors.empty());
  EXPECT_TRUE(t.hasDebug("turbo VM compilation failed, using recursive walker") ||
              t.hasDebug("turbo VM ready"));
  TestCtx plain;
  EXPECT_EQ(plain.load("rule=:a\n"), 0);
  EXPECT_FALSE(plain.hasDebug("turbo VM compilation failed, using recursive walker"));
}

TEST(Context, MessageFormatting) {
  TestCtx t;
  ln_errprintf(t.ctx, 0, "%s", std::string(9000, 'x').c_str());
  ASSERT_EQ(t.errors.size(), 1u);
  EXPECT_EQ(t.errors[0].size(), 8191u);
  EXPECT_EQ(t.errors[0].substr(8187), "...\n");
  EXPECT_EQ(t.errors[0].substr(0, 10), std::string(10, 'x'));
  // errors are repeated on the debug sink
  ASSERT_FALSE(t.debug.empty());
  EXPECT_EQ(t.debug.back(), t.errors[0]);

  t.errors.clear();
  ln_errprintf(t.ctx, ENOENT, "open %s", "f");
  EXPECT_EQ(t.errors, std::vector<std::string>{"open f: No such file or directory"});

  t.debug.clear();
  ln_dbgprintf(t.ctx, "n=%d", 5);
  EXPECT_EQ(t.debug, std::vector<std::string>{"n=5"});

  // no sinks: nothing happens
  ln_setErrMsgCB(t.ctx, nullptr, nullptr);
  ln_setDebugCB(t.ctx, nullptr, nullptr);
  ln_errprintf(t.ctx, 0, "dropped");
  ln_dbgprintf(t.ctx, "dropped");
  EXPECT_EQ(t.debug, std::vector<std::string>{"n=5"});
}

TEST(Context, LocationPrefixOnlyWhileLoading) {
  TestCtx t;
  EXPECT_EQ(t.load("rule=:a\nrule=:b\nbad\n"), 0);
  EXPECT_EQ(t.errors,
            std::vector<std::string>{"rulebase file --NO-FILE--[3]: invalid record type detected: 'bad'"});
  EXPECT_EQ(t.ctx->conf_file, nullptr);
  EXPECT_EQ(t.ctx->include_level, 0);
  t.errors.clear();
  ln_errprintf(t.ctx, 0, "after");
  EXPECT_EQ(t.errors, std::vector<std::string>{"after"});
}

TEST(Context, UnparsedDataBinary) {
  struct Case {
    std::string rest;
    uint32_t opts;
    const char *hex; // null: no member
  };
  const std::vector<Case> cases = {
      {"ab", 0, nullptr},
      {std::string("a\x01", 2), 0, "6101"},
      {std::string("\x7f", 1), 0, "7f"},
      {std::string("x\tY", 3), 0, "780959"},
      {std::string("a\x01", 2), LN_CTXOPT_NO_UNPARSED_BINARY, nullptr},
      {"", 0, nullptr},
      {"\xff\xfe", 0, nullptr}, // high bytes are not control bytes
  };
  for (const auto &c : cases) {
    TestCtx t(c.opts);
    fjson_object *json = fjson_object_new_object();
    EXPECT_EQ(ln_addUnparsedDataBinaryField(t.ctx, c.rest.data(), c.rest.size(), json), 0);
    fjson_object *v = nullptr;
    const bool has = fjson_object_object_get_ex(json, "unparsed-data-binary", &v);
    EXPECT_EQ(has, c.hex != nullptr) << c.rest;
    if (has && c.hex) {
      EXPECT_STREQ(fjson_object_get_string(v), c.hex);
    }
    fjson_object_put(json);
  }
}

TEST(Context, ExitFreesEverything) {
  // Run under the address sanitizer: types, annotations, rewrite rules,
  // prefix and VaderAD state are all released.
  ln_ctx ctx = ln_initCtx();
  ln_setCtxOpts(ctx, LN_CTXOPT_TURBO);
  ASSERT_EQ(ln_loadSamplesFromString(ctx,
                                     "prefix=x\ntype=@t:%a:word%\nrule=web:%b:@t% %c:rest%\n"
                                     "annotate=web:+k=\"v\"\n"),
            0);
  EXPECT_EQ(ln_exitCtx(ctx), 0);
}

} // namespace
