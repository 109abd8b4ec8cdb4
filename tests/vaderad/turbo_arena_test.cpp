// The per-message arena: capacities, alignment of absolute addresses, a full
// arena, marks, growth and statistics.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "vaderad/turbo_arena.h"

namespace {

struct Arena {
  ln_arena_t a{};
  ~Arena() { ln_arena_destroy(&a); }
};

size_t off(const Arena &x, const void *p) {
  return static_cast<size_t>(static_cast<const uint8_t *>(p) - x.a.base);
}

TEST(TurboArena, InitCapacities) {
  struct {
    size_t want, got;
  } cases[] = {{0, 64}, {1, 64}, {64, 64}, {100, 128}, {16384, 16384}, {20000000, 16777216}};
  for (const auto &c : cases) {
    Arena x;
    ASSERT_EQ(ln_arena_init_sized(&x.a, c.want), 0);
    EXPECT_EQ(x.a.capacity, c.got) << c.want;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(x.a.base) % 64, 0u);
    EXPECT_EQ(x.a.flags, LN_ARENA_OWNED);
  }
  Arena d;
  ASSERT_EQ(ln_arena_init(&d.a), 0);
  EXPECT_EQ(d.a.capacity, 16384u);
  EXPECT_EQ(ln_arena_init(nullptr), -1);
  uint8_t buf[64];
  ln_arena_t s;
  EXPECT_EQ(ln_arena_init_static(&s, buf, 63), -1);
  EXPECT_EQ(ln_arena_init_static(&s, nullptr, 64), -1);
  EXPECT_EQ(ln_arena_init_static(&s, buf, 64), 0);
  EXPECT_EQ(s.flags, LN_ARENA_STATIC);
  ln_arena_destroy(&s); // never frees the caller's block
  EXPECT_EQ(s.base, nullptr);
}

TEST(TurboArena, AllocationsAndAFullArena) {
  Arena x;
  ASSERT_EQ(ln_arena_init_sized(&x.a, 64), 0);
  void *p0 = ln_arena_alloc(&x.a, 1);
  void *p1 = ln_arena_alloc(&x.a, 1);
  EXPECT_EQ(off(x, p0), 0u);
  EXPECT_EQ(off(x, p1), 8u);
  void *z = ln_arena_alloc(&x.a, 0); // served as one byte, distinct
  EXPECT_EQ(off(x, z), 16u);
  EXPECT_EQ(x.a.alloc_count, 3u);
  EXPECT_EQ(ln_arena_memdup(&x.a, "a", 0), nullptr);
  // Exactly to the end fits; one byte more fails and changes nothing.
  const size_t used = x.a.used;
  EXPECT_EQ(ln_arena_alloc(&x.a, 64 - 24 + 1), nullptr);
  EXPECT_EQ(x.a.used, used);
  void *last = ln_arena_alloc(&x.a, 64 - 24);
  EXPECT_EQ(off(x, last), 24u);
  EXPECT_EQ(x.a.used, 64u);
  EXPECT_EQ(ln_arena_alloc(&x.a, 1), nullptr);
  EXPECT_EQ(ln_arena_strdup(&x.a, "x"), nullptr);
  EXPECT_EQ(x.a.alloc_count, 4u);
  // Overflowing sizes fail cleanly.
  ln_arena_reset(&x.a);
  EXPECT_EQ(ln_arena_alloc(&x.a, SIZE_MAX), nullptr);
  EXPECT_EQ(ln_arena_alloc_array(&x.a, SIZE_MAX / 2, 3), nullptr);
  EXPECT_EQ(ln_arena_strndup(&x.a, "abc", SIZE_MAX), nullptr);
  EXPECT_EQ(ln_arena_alloc_aligned(&x.a, SIZE_MAX - 4, 8), nullptr);
  EXPECT_EQ(x.a.used, 0u);
  EXPECT_EQ(x.a.peak, 64u) << "peak survives the reset";
}

TEST(TurboArena, CopiesKeepEveryByte) {
  Arena x;
  ASSERT_EQ(ln_arena_init(&x.a), 0);
  char *s = ln_arena_strndup(&x.a, "a\0b", 3);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(memcmp(s, "a\0b\0", 4), 0);
  EXPECT_STREQ(ln_arena_strdup(&x.a, "hello"), "hello");
  EXPECT_EQ(ln_arena_strdup(&x.a, nullptr), nullptr);
  auto *c = static_cast<unsigned char *>(ln_arena_calloc(&x.a, 32));
  ASSERT_NE(c, nullptr);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(c[i], 0);
  void *m = ln_arena_memdup(&x.a, "xyz", 3);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(memcmp(m, "xyz", 3), 0);
}

// Alignment applies to the absolute address, also in a caller's block that
// starts off any boundary, for every power of two up to 4096.
TEST(TurboArena, AlignsAbsoluteAddresses) {
  alignas(4096) static uint8_t block[3 * 4096 + 64];
  for (size_t shift : {0u, 1u, 3u, 17u}) {
    ln_arena_t a;
    ASSERT_EQ(ln_arena_init_static(&a, block + shift, sizeof block - shift), 0);
    for (size_t al = 1; al <= 4096; al *= 2) {
      ln_arena_reset(&a);
      ASSERT_NE(ln_arena_alloc(&a, 1), nullptr);
      void *p = ln_arena_alloc_aligned(&a, 5, al);
      ASSERT_NE(p, nullptr) << al;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % al, 0u) << "shift " << shift << " align " << al;
      void *q = ln_arena_alloc(&a, 3);
      ASSERT_NE(q, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(q) % 8, 0u);
    }
    for (size_t bad : {0u, 3u, 8192u}) EXPECT_EQ(ln_arena_alloc_aligned(&a, 1, bad), nullptr) << bad;
  }
  // An alignment the rest of the block cannot reach fails and changes nothing.
  ln_arena_t small;
  ASSERT_EQ(ln_arena_init_static(&small, block + 1, 100), 0);
  ASSERT_NE(ln_arena_alloc(&small, 1), nullptr);
  const size_t used = small.used;
  EXPECT_EQ(ln_arena_alloc_aligned(&small, 1, 4096), nullptr);
  EXPECT_EQ(small.used, used);
}

TEST(TurboArena, MarksEnsureAndStats) {
  Arena x;
  ASSERT_EQ(ln_arena_init_sized(&x.a, 128), 0);
  ln_arena_mark_t m;
  ln_arena_alloc(&x.a, 10);
  ln_arena_save(&x.a, &m);
  ln_arena_alloc(&x.a, 10);
  ln_arena_restore(&x.a, &m);
  EXPECT_EQ(x.a.used, 10u);
  EXPECT_EQ(x.a.alloc_count, 1u);
  ln_arena_alloc(&x.a, 30);
  ln_arena_save(&x.a, &m);
  ln_arena_restore(&x.a, &m);
  ln_arena_reset(&x.a);
  ln_arena_restore(&x.a, &m); // never forward
  EXPECT_EQ(x.a.used, 0u);

  ln_arena_alloc(&x.a, 1);
  EXPECT_EQ(ln_arena_ensure(&x.a, 100), 0) << "already large enough";
  EXPECT_EQ(ln_arena_ensure(&x.a, 1000), -3) << "a block in use is never moved";
  ln_arena_reset(&x.a);
  EXPECT_EQ(ln_arena_ensure(&x.a, 1000), 0);
  EXPECT_EQ(x.a.capacity, 1024u);
  EXPECT_EQ(ln_arena_ensure(&x.a, 16777217), -3);
  EXPECT_EQ(ln_arena_ensure(nullptr, 1), -1);
  uint8_t buf[128];
  ln_arena_t s;
  ln_arena_init_static(&s, buf, sizeof buf);
  EXPECT_EQ(ln_arena_ensure(&s, 200), -3);

  ln_arena_alloc(&x.a, 256);
  ln_arena_stats_t st;
  ln_arena_get_stats(&x.a, &st);
  EXPECT_EQ(st.capacity, 1024u);
  EXPECT_EQ(st.used, 256u);
  EXPECT_EQ(st.available, 768u);
  EXPECT_EQ(st.peak, 256u);
  EXPECT_EQ(st.alloc_count, 1u);
  EXPECT_EQ(st.reset_count, 0u);
  EXPECT_DOUBLE_EQ(st.utilization, 0.25);
  ln_arena_get_stats(nullptr, &st);
  EXPECT_EQ(st.capacity, 0u);
  EXPECT_EQ(st.utilization, 0.0);
}

} // namespace
