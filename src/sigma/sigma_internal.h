// Run-time structures shared by the database loader and the evaluator. Not
// part of the public contract.
#pragma once

#include <cstdint>
#include <vector>

#include "sigma/sigma_format.h"

// ASCII case folding: 'A'..'Z' to 'a'..'z', every other byte unchanged.
extern const uint8_t sigma_fold_table[256];
inline uint8_t sigma_fold(uint8_t b) { return sigma_fold_table[b]; }

// One needle of a literal prefilter table.
struct sigma_teddy_needle {
  const uint8_t *bytes; // into the string pool
  uint32_t len;         // at least 2
  uint32_t id;          // position in litndl
  uint32_t next;        // next needle of the same chain, or SIGMA_NONE
  uint32_t third;       // folded third byte of a long needle; 0xFFFF for a short one
};

// Literal prefilter over a set of needles: a nibble filter on the first byte,
// then hash chains keyed on the first three (long needles) or two (short
// needles) folded bytes. The head tables have 1 << bits entries, sized to the
// number of needles (at most 16384), so a table over few needles is small.
struct sigma_teddy_t {
  uint8_t lo_nib[16];
  uint8_t hi_nib[16];
  uint8_t first_ok[256]; // lo_nib[b & 15] && hi_nib[b >> 4], per byte b
  uint32_t bits;
  uint32_t n_short;
  std::vector<uint32_t> long_head;
  std::vector<uint32_t> short_head;
  std::vector<sigma_teddy_needle> needles;
};

inline uint32_t sigma_teddy_slot(uint32_t key, uint32_t bits) {
  return (key * 0x9E3779B1u) >> (32 - bits);
}

// Builds a table over the needles of litndl whose positions are listed in
// ids (each at least 2 bytes long, validated against the pool). Null when
// memory runs out.
sigma_teddy_t *sigma_teddy_build(const sigma_db_t *db, const uint32_t *ids, uint32_t n);
void sigma_teddy_free(sigma_teddy_t *t);

// Compiled regular expressions, one slot per predicate (null = unusable).
struct sigma_re_table_t {
  std::vector<void *> code; // pcre2_code_8 *
};
