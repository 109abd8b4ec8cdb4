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
