// Building and releasing the literal prefilter tables.
#include <new>

#include "sigma/sigma_internal.h"

sigma_teddy_t *sigma_teddy_build(const sigma_db_t *db, const uint32_t *ids, uint32_t n) {
  auto *t = new (std::nothrow) sigma_teddy_t{};
  if (!t) return nullptr;
  try {
    // Heads: the next power of two at or above 2n, between 16 and 16384.
    uint32_t bits = 4;
    while (bits < 14 && (1u << bits) < 2 * uint64_t{n}) bits++;
    t->bits = bits;
    t->long_head.assign(size_t{1} << bits, SIGMA_NONE);
    t->short_head.assign(size_t{1} << bits, SIGMA_NONE);
    t->needles.reserve(n);
    for (uint32_t k = 0; k < n; k++) {
      const sigma_str_t &s = db->litndl[ids[k]];
      const uint8_t *b = reinterpret_cast<const uint8_t *>(db->strpool) + s.off;
      sigma_teddy_needle nd{b, s.len, ids[k], SIGMA_NONE, 0xFFFF};
      uint8_t b0 = sigma_fold(b[0]);
      t->lo_nib[b0 & 15] = 1;
      t->hi_nib[b0 >> 4] = 1;
      uint8_t up = (b0 >= 'a' && b0 <= 'z') ? uint8_t(b0 - 32) : b0;
      t->lo_nib[up & 15] = 1;
      t->hi_nib[up >> 4] = 1;
      uint32_t key = b0 + 256u * sigma_fold(b[1]);
      uint32_t local = uint32_t(t->needles.size());
      if (s.len >= 3) {
        nd.third = sigma_fold(b[2]);
        key += 65536u * nd.third;
        uint32_t slot = sigma_teddy_slot(key, bits);
        nd.next = t->long_head[slot];
        t->long_head[slot] = local;
      } else {
        uint32_t slot = sigma_teddy_slot(key, bits);
        nd.next = t->short_head[slot];
        t->short_head[slot] = local;
        t->n_short++;
      }
      t->needles.push_back(nd);
    }
    for (int b = 0; b < 256; b++) t->first_ok[b] = t->lo_nib[b & 15] & t->hi_nib[b >> 4];
  } catch (const std::bad_alloc &) {
    delete t;
    return nullptr;
  }
  return t;
}

void sigma_teddy_free(sigma_teddy_t *t) { delete t; }
