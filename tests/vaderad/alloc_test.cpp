// Heap allocations per message: none on the raw path, exactly the returned
// copy on the JSON path. malloc, calloc and realloc of this executable are
// counted (the sanitizers replace them, so the test is skipped there).
#include <gtest/gtest.h>

#include <string>

#include "turbo_ctx_helpers.h"
#include "vaderad/turbo_json.h"

#if defined(__SANITIZE_ADDRESS__)
#define VELDRA_COUNT_ALLOCS 0
#else
#define VELDRA_COUNT_ALLOCS 1
#endif

namespace {
bool g_counting = false;
size_t g_allocs = 0;
} // namespace

#if VELDRA_COUNT_ALLOCS
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *malloc(size_t n) {
  if (g_counting) ++g_allocs;
  return __libc_malloc(n);
}
void *calloc(size_t a, size_t b) {
  if (g_counting) ++g_allocs;
  return __libc_calloc(a, b);
}
void *realloc(void *p, size_t n) {
  if (g_counting) ++g_allocs;
  return __libc_realloc(p, n);
}
}
#endif

namespace {

// Words, a number, an address, a context, a quoted value with escapes and a
// tag: every kind of store the VM makes.
Prog program() {
  Prog p;
  uint32_t fork = p.jump(OP_FORK, 0);
  p.literal("never ");
  p.match("other");
  p.patch(fork, p.here());
  p.str(OP_CTX_PUSH, "event");
  p.field(OP_FIELD_WORD, "action");
  p.add(OP_CTX_POP);
  p.literal(" ");
  p.field(OP_FIELD_INT, "pid", 0, LN_IF_AS_NUMBER);
  p.literal(" ");
  p.field(OP_FIELD_IPV4, "ip");
  p.literal(" ");
  p.field(OP_FIELD_QUOTED, "msg", 1);
  p.add(OP_ASSERT_END);
  p.str(OP_TAG, "t");
  p.match("r");
  return p;
}

TEST(TurboAllocations, NoneOnRawOnlyTheCopyOnJson) {
  if (!VELDRA_COUNT_ALLOCS) GTEST_SKIP() << "allocation counting is off under the sanitizers";
  TurboCtx t(program());
  std::vector<std::string> msgs;
  for (int i = 0; i < 1000; ++i)
    msgs.push_back("login " + std::to_string(i) + " 10.0.0." + std::to_string(i % 256) +
                   " \"say \\\"hi\\\" " + std::string(i % 60, 'x') + "\"");
  const ln_fast_result_t *r = nullptr;
  ASSERT_EQ(ln_turbo_normalize_raw(t.ctx, msgs[0].data(), msgs[0].size(), &r), 0); // warm up

  g_allocs = 0;
  g_counting = true;
  int ok = 0;
  for (const std::string &m : msgs) ok += ln_turbo_normalize_raw(t.ctx, m.data(), m.size(), &r) == 0;
  g_counting = false;
  EXPECT_EQ(ok, 1000);
  EXPECT_EQ(g_allocs, 0u);

  std::vector<char *> out;
  out.reserve(msgs.size());
  // The first JSON text builds the layout cache of the context (once).
  char *first = nullptr;
  ASSERT_EQ(ln_turbo_normalize_to_str(t.ctx, msgs[0].data(), msgs[0].size(), &first, nullptr), 0);
  free(first);
  g_allocs = 0;
  g_counting = true;
  for (const std::string &m : msgs) {
    char *json = nullptr;
    if (ln_turbo_normalize_to_str(t.ctx, m.data(), m.size(), &json, nullptr) == 0) out.push_back(json);
  }
  g_counting = false;
  EXPECT_EQ(out.size(), 1000u);
  EXPECT_EQ(g_allocs, 1000u);
  for (char *j : out) free(j);
}

} // namespace
