// The compiler from parse DAG to bytecode: golden listings of the program
// shapes, every parser's emission and its options, declines with their
// reasons, pool references, and the bounds on depth and program size.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../normalizer/load_helpers.h"
#include "vaderad/turbo.h"
#include "vaderad/turbo_state.h"

namespace {

// A VaderAD context loaded from rulebase text.
struct Compiled : TestCtx {
  int rc;
  explicit Compiled(const std::string &rb) : TestCtx(LN_CTXOPT_TURBO) {
    rc = load("version=2\n" + rb);
  }
  bool available() const { return ln_turbo_is_available(ctx) == 1; }
  std::string reason() const { return ln_turbo_compile_reason(ctx); }
  std::string listing() const {
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    ln_turbo_disasm(ctx, fp, nullptr);
    fclose(fp);
    std::string s(buf, len);
    free(buf);
    return s;
  }
  // The instruction lines only, without the header and the final HALT.
  std::string body() const {
    std::string s = listing(), out;
    size_t p = s.find("\n\n");
    if (p == std::string::npos) return s;
    p += 2;
    while (p < s.size()) {
      size_t e = s.find('\n', p);
      if (e == std::string::npos) break;
      std::string l = s.substr(p, e - p);
      if (l.size() > 7) out += l.substr(7) + "\n"; // drop "[NNNN] "
      p = e + 1;
    }
    const std::string halt = "HALT\n";
    if (out.size() >= halt.size() && out.compare(out.size() - halt.size(), halt.size(), halt) == 0)
      out.erase(out.size() - halt.size());
    return out;
  }
  const ln_turbo_ctx_t *t() const { return ctx->turbo; }
};

TEST(TurboCompile, LiteralChainListing) {
  Compiled c("rule=:user %u:word% logged in\n");
  ASSERT_EQ(c.rc, 0);
  ASSERT_TRUE(c.available()) << c.reason();
  EXPECT_EQ(c.reason(), "");
  EXPECT_TRUE(c.hasDebug("turbo VM ready"));
  EXPECT_TRUE(c.hasDebug("turbo: compiled 6 instructions, 1 rules, 0 branches"));
  EXPECT_EQ(c.listing(), "=== Program: turbo ===\n"
                         "Instructions: 6\n"
                         "\n"
                         "[   0] LITERAL \"user \"\n"
                         "[   1] FIELD_WORD \"u\"\n"
                         "[   2] LITERAL \" logged in\"\n"
                         "[   3] ASSERT_END\n"
                         "[   4] MATCH \"0\"\n"
                         "[   5] HALT\n"
                         "\n");
  ln_turbo_stats_t st{};
  ASSERT_EQ(ln_turbo_get_stats(c.ctx, &st), 0);
  EXPECT_EQ(st.n_instructions, 6u);
  EXPECT_EQ(st.n_rules, 1u);
}

} // namespace
