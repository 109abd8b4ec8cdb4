// Result shapes: hashes and identities.
#include "vaderad/turbo_shape.h"

namespace {

// One step per word; the bits are spread once at the end.
inline uint64_t mix(uint64_t h, uint64_t v) { return (h ^ v) * 0x100000001b3ull; }

} // namespace

uint64_t ln_shape_hash(const ln_fast_result_t *r) {
  uint64_t h = 0x9e3779b97f4a7c15ull ^ static_cast<uint64_t>(r->n_fields) << 32 ^ r->n_tags;
  for (int i = 0; i < r->n_fields; ++i) {
    const ln_fast_field_t &f = r->fields[i];
    if (f.flags & LN_FF_NAME_PROGRAM) {
      h = mix(h, reinterpret_cast<uintptr_t>(f.name) ^ static_cast<uint64_t>(f.name_len) << 48);
      continue;
    }
    const size_t n = f.name ? f.name_len : 0;
    h = mix(h, n);
    if (!n) continue;
    h = mix(h, ln_head_word(f.name, n));
    if (n > 8) h = mix(h, ln_load8(f.name + n - 8));
  }
  for (int t = 0; t < r->n_tags && t < LN_FAST_MAX_TAGS; ++t)
    h = mix(h, reinterpret_cast<uintptr_t>(r->tags[t].tag));
  h ^= h >> 29;
  h *= 0xff51afd7ed558ccdull;
  return h ^ (h >> 33);
}

void ln_shape_id::take(uint64_t h, const ln_fast_result_t *r) {
  used = false;
  names.clear();
  tags.clear();
  bytes.clear();
  for (int i = 0; i < r->n_fields;) {
    const ln_fast_field_t &f = r->fields[i];
    const uint32_t n = f.name ? f.name_len : 0;
    if (f.flags & LN_FF_NAME_PROGRAM) {
      names.push_back(ln_shape_name{f.name, 0, n, 1, n});
      ++i;
      continue;
    }
    // The run of names that follow this one in memory (none in the program).
    int j = i + 1;
    while (j < r->n_fields && !(r->fields[j].flags & LN_FF_NAME_PROGRAM) &&
           ln_name_follows(r->fields[j - 1], r->fields[j]))
      ++j;
    const ln_fast_field_t &last = r->fields[j - 1];
    const uint32_t span = j - i > 1 ? static_cast<uint32_t>(last.name + last.name_len - f.name) : n;
    names.push_back(ln_shape_name{nullptr, static_cast<uint32_t>(bytes.size()), n,
                                  static_cast<uint32_t>(j - i), span});
    bytes.append(f.name ? f.name : "", span);
    for (int k = i + 1; k < j; ++k)
      names.push_back(ln_shape_name{nullptr, 0, r->fields[k].name_len, 0, 0});
    i = j;
  }
  for (int t = 0; t < r->n_tags && t < LN_FAST_MAX_TAGS; ++t) tags.push_back(r->tags[t].tag);
  hash = h;
  used = true;
}
