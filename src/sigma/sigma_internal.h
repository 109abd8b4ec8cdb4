// Run-time structures shared by the database loader and the evaluator. Not
// part of the public contract.
#pragma once

#include <cstdint>
#include <cstring>
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
  uint64_t tail8;       // needles of 8 or more bytes: their last 8 bytes, folded
};

// Folds the ASCII letters of 8 bytes at once ('A'..'Z' to 'a'..'z').
inline uint64_t sigma_fold8(uint64_t x) {
  const uint64_t ones = 0x0101010101010101ull, high = 0x8080808080808080ull;
  const uint64_t x7 = x & ~high; // no carry between bytes below
  const uint64_t ge_a = x7 + ones * (0x80 - 'A');
  const uint64_t gt_z = x7 + ones * (0x80 - 'Z' - 1);
  const uint64_t upper = ge_a & ~gt_z & ~x & high;
  return x | (upper >> 2);
}

// Literal prefilter over a set of needles: a bit filter on the folded key of
// each position, then hash chains keyed on the first three (long needles) or
// two (short needles) folded bytes. Every table is sized to its own number
// of needles (head tables: 4 entries per needle, 16 to 16384), so a table
// over few needles is small.
struct sigma_teddy_t {
  uint32_t bits;
  // Filters on the folded key of every needle (first three bytes of a long
  // needle, first two of a short one): one bit per hashed key, 32 to 64 bits
  // per needle (512 to 65536 bits), so that a scan touches the chain heads
  // only at positions where some needle may begin.
  uint32_t key_bits_log2;
  std::vector<uint64_t> long_bits;
  std::vector<uint64_t> short_bits;
  uint32_t n_short;
  std::vector<uint32_t> long_head;
  std::vector<uint32_t> short_head;
  std::vector<sigma_teddy_needle> needles;
};

inline uint32_t sigma_teddy_key_slot(uint32_t key, uint32_t log2) {
  return (key * 0x85EBCA6Bu) >> (32 - log2);
}
inline bool sigma_teddy_test(const uint64_t *bits, uint32_t key, uint32_t log2) {
  const uint32_t s = sigma_teddy_key_slot(key, log2);
  return (bits[s >> 6] >> (s & 63)) & 1;
}

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
