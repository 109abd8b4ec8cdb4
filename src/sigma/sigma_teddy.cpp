// Building and releasing the literal prefilter tables.
#include <new>

#include "sigma/sigma_internal.h"

sigma_teddy_t *sigma_teddy_build(const sigma_db_t *db, const uint32_t *ids, uint32_t n) {
  auto *t = new (std::nothrow) sigma_teddy_t{};
  if (!t) return nullptr;
  try {
    // Heads: the next power of two at or above 4n, between 16 and 16384.
    uint32_t bits = 4;
    while (bits < 14 && (1u << bits) < 4 * uint64_t{n}) bits++;
    t->bits = bits;
    t->long_head.assign(size_t{1} << bits, SIGMA_NONE);
    t->short_head.assign(size_t{1} << bits, SIGMA_NONE);
    uint32_t pl = 9;
    while (pl < 16 && (1u << pl) < 32 * uint64_t{n}) pl++;
    t->key_bits_log2 = pl;
    t->long_bits.assign((size_t{1} << pl) / 64, 0);
    t->short_bits.assign((size_t{1} << pl) / 64, 0);
    t->needles.reserve(n);
    for (uint32_t k = 0; k < n; k++) {
      const sigma_str_t &s = db->litndl[ids[k]];
      const uint8_t *b = reinterpret_cast<const uint8_t *>(db->strpool) + s.off;
      sigma_teddy_needle nd{b, s.len, ids[k], SIGMA_NONE, 0xFFFF, 0};
      if (s.len >= 8) {
        uint64_t x;
        std::memcpy(&x, b + s.len - 8, 8);
        nd.tail8 = sigma_fold8(x);
      }
      uint8_t b0 = sigma_fold(b[0]);
      uint32_t key = b0 + 256u * sigma_fold(b[1]);
      uint32_t local = uint32_t(t->needles.size());
      if (s.len >= 3) {
        nd.third = sigma_fold(b[2]);
        key += 65536u * nd.third;
        uint32_t slot = sigma_teddy_slot(key, bits);
        uint32_t ks = sigma_teddy_key_slot(key, pl);
        t->long_bits[ks >> 6] |= uint64_t{1} << (ks & 63);
        nd.next = t->long_head[slot];
        t->long_head[slot] = local;
      } else {
        uint32_t slot = sigma_teddy_slot(key, bits);
        uint32_t ks = sigma_teddy_key_slot(key, pl);
        t->short_bits[ks >> 6] |= uint64_t{1} << (ks & 63);
        nd.next = t->short_head[slot];
        t->short_head[slot] = local;
        t->n_short++;
      }
      t->needles.push_back(nd);
    }
  } catch (const std::bad_alloc &) {
    delete t;
    return nullptr;
  }
  return t;
}

void sigma_teddy_free(sigma_teddy_t *t) { delete t; }
