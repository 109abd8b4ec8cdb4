// The shape of a flat result: the sequence of its field names and tags, byte
// for byte. Everything that depends only on the names (the JSON writer's
// ordering and nesting, the check that no name is a dotted prefix of another)
// can be worked out once per shape and reused by later results of that shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "vaderad/turbo_vm.h"

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
  uint64_t w = 0;
  for (size_t i = 0; i < n; ++i) w |= static_cast<uint64_t>(static_cast<unsigned char>(s[i])) << (8 * i);
  return w;
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
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// Hash of r's shape from the length and the first and last eight bytes of
// each name and tag: cheap, and equal for equal shapes (ln_shape_is decides).
uint64_t ln_shape_hash(const ln_fast_result_t *r);
// Writes r's shape into key: each name, then each tag, length-prefixed.
void ln_shape_key(const ln_fast_result_t *r, std::string &key);
// True when r has exactly the shape written in key.
bool ln_shape_is(const std::string &key, const ln_fast_result_t *r);

// One slot of a direct-mapped cache keyed by shape: the shape itself. What
// is cached for the shape is up to the owner of the slot.
struct ln_shape_slot {
  bool used = false;
  uint64_t hash = 0;
  std::string key;

  bool holds(uint64_t h, const ln_fast_result_t *r) const {
    return used && hash == h && ln_shape_is(key, r);
  }
  // Takes r's shape, whose hash is h. May throw std::bad_alloc, leaving the
  // slot unused.
  void take(uint64_t h, const ln_fast_result_t *r) {
    used = false;
    hash = h;
    ln_shape_key(r, key);
    used = true;
  }
};
