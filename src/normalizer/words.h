// Word-at-a-time helpers for short texts (names, keys, short values): a few
// overlapping loads instead of a byte loop or a call. Shared by the rewrite
// tables and VaderAD's name code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline uint64_t ln_load8(const char *s) {
  uint64_t x;
  memcpy(&x, s, 8);
  return x;
}

// The first eight bytes of s (fewer for a shorter text), zero-padded, in
// memory order; overlapping loads instead of a byte loop or a call.
inline __attribute__((always_inline)) uint64_t ln_head_word(const char *s, size_t n) {
  if (n >= 8) return ln_load8(s);
  if (n >= 4) {
    uint32_t lo, hi;
    memcpy(&lo, s, 4);
    memcpy(&hi, s + n - 4, 4);
    return static_cast<uint64_t>(lo) | static_cast<uint64_t>(hi) << (8 * (n - 4));
  }
  if (n >= 2) {
    uint16_t lo;
    memcpy(&lo, s, 2);
    return lo | static_cast<uint64_t>(static_cast<unsigned char>(s[n - 1])) << (8 * (n - 1));
  }
  return n ? static_cast<unsigned char>(s[0]) : 0;
}

// a[0, n) == b[0, n), by whole words and one word (or half word) ending at
// the last byte, which may overlap bytes already compared.
inline bool ln_same_bytes(const char *a, const char *b, size_t n) {
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8)
      if (ln_load8(a + i) != ln_load8(b + i)) return false;
    return ln_load8(a + n - 8) == ln_load8(b + n - 8);
  }
  if (n >= 4) {
    uint32_t x0, y0, x1, y1;
    memcpy(&x0, a, 4);
    memcpy(&y0, b, 4);
    memcpy(&x1, a + n - 4, 4);
    memcpy(&y1, b + n - 4, 4);
    return x0 == y0 && x1 == y1;
  }
  return ln_head_word(a, n) == ln_head_word(b, n);
}
