// The shape of a flat result: the sequence of its field names and tags.
// Everything that depends only on the names (the JSON writer's ordering and
// nesting, the check that no name is a dotted prefix of another) can be
// worked out once per shape and reused by later results of that shape. Also
// the word-at-a-time helpers the name code shares (with normalizer/words.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "normalizer/words.h"
#include "vaderad/turbo_vm.h"

// The high bit of every byte of w that is a '.', and of no other (exact,
// unlike the borrow trick, so the lowest and the count are right too); zero
// padding is never a dot.
inline uint64_t ln_dot_bytes(uint64_t w) {
  constexpr uint64_t low7 = 0x7f7f7f7f7f7f7f7full;
  const uint64_t x = w ^ 0x2e2e2e2e2e2e2e2eull;
  return ~(((x & low7) + low7) | x | low7);
}

// Copies n <= 48 bytes with a few fixed-size moves (they may overlap, and
// read and write only [0, n)) instead of a call: most names and values are a
// few bytes long.
inline __attribute__((always_inline)) void ln_copy_short(char *d, const char *s, size_t n) {
  if (n >= 16) {
    memcpy(d, s, 16);
    if (n > 32) memcpy(d + 16, s + 16, 16);
    memcpy(d + n - 16, s + n - 16, 16);
  } else if (n >= 8) {
    memcpy(d, s, 8);
    memcpy(d + n - 8, s + n - 8, 8);
  } else if (n >= 4) {
    memcpy(d, s, 4);
    memcpy(d + n - 4, s + n - 4, 4);
  } else if (n) {
    d[0] = s[0];
    d[n / 2] = s[n / 2];
    d[n - 1] = s[n - 1];
  }
}

// Copies n bytes: short texts with ln_copy_short, longer ones with memcpy.
inline __attribute__((always_inline)) void ln_copy_text(char *d, const char *s, size_t n) {
  if (n <= 48)
    ln_copy_short(d, s, n);
  else
    memcpy(d, s, n);
}

// One name of a shape identity. Names stored one after the other in one
// block, one byte apart (a payload's members, each followed by a zero byte),
// are compared as one span: the names of a run of n fields and the bytes
// between them lie at bytes[off, off + span) when run is n (n > 1).
struct ln_shape_name {
  const char *ptr; // the stable name, or null: compare bytes[off, off + len)
  uint32_t off;
  uint32_t len;
  uint32_t run;  // fields in the run this name starts (0 inside a run, 1 alone)
  uint32_t span; // bytes of the run, separators included
};

// Whether g's name follows f's in memory after one separator byte (the
// run's span, separators included, is compared as a whole).
inline bool ln_name_follows(const ln_fast_field_t &f, const ln_fast_field_t &g) {
  // As addresses: no pointer is formed past the end of f's storage. Heap
  // blocks lie further apart than one byte, so names one byte apart share
  // one block, and the byte between them can be read.
  return f.name && g.name &&
         reinterpret_cast<uintptr_t>(g.name) == reinterpret_cast<uintptr_t>(f.name) + f.name_len + 1;
}

// Equal for results of one identity; a few instructions a field.
uint64_t ln_shape_hash(const ln_fast_result_t *r);

// A shape's identity. A name that lies in the program (LN_FF_NAME_PROGRAM)
// is known by its address; any other name (built in the arena, found in the
// message) by its bytes. Tags are only ever stored from the program, so they
// are known by their addresses. Whoever keeps identities must drop them with
// the program.
struct ln_shape_id {
  bool used = false;
  uint64_t hash = 0;
  uint64_t serial = 0; // set by the owner: tells this identity from every other it held
  std::vector<ln_shape_name> names;
  std::vector<const char *> tags;
  std::string bytes;

  // Whether r has this identity (h is ln_shape_hash(r)).
  bool holds(uint64_t h, const ln_fast_result_t *r) const { return hash == h && same(r); }
  // The same without the hash, for a caller that has a likely identity.
  bool same(const ln_fast_result_t *r) const {
    if (!used || r->n_fields != names.size() || r->n_tags != tags.size()) return false;
    for (size_t i = 0; i < names.size(); ++i) {
      const ln_shape_name &e = names[i];
      const ln_fast_field_t &f = r->fields[i];
      if (e.ptr) { // the same address in the program: the same bytes
        if (f.name != e.ptr || f.name_len != e.len) return false;
      } else if (e.run > 1) { // the same lengths, one after the other: one span
        if (f.name_len != e.len) return false;
        for (size_t k = i + 1; k < i + e.run; ++k)
          if (r->fields[k].name_len != names[k].len || !ln_name_follows(r->fields[k - 1], r->fields[k]))
            return false;
        if (memcmp(bytes.data() + e.off, f.name, e.span) != 0) return false;
        i += e.run - 1;
      } else {
        const size_t n = f.name ? f.name_len : 0;
        if (n != e.len || !ln_same_bytes(bytes.data() + e.off, f.name, n)) return false;
      }
    }
    for (size_t t = 0; t < tags.size(); ++t)
      if (r->tags[t].tag != tags[t]) return false;
    return true;
  }
  // Takes r's identity (hash h). May throw std::bad_alloc, leaving it unused.
  void take(uint64_t h, const ln_fast_result_t *r);
};
