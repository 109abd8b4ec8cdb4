// Result shapes: keys, hashes and comparison.
#include "vaderad/turbo_shape.h"

namespace {

void append_counted(std::string &key, const char *s, size_t n) {
  const uint32_t len = static_cast<uint32_t>(n);
  key.append(reinterpret_cast<const char *>(&len), sizeof len);
  key.append(s, n);
}

inline const char *tag_text(const ln_fast_result_t *r, int t) {
  return r->tags[t].tag ? r->tags[t].tag : "";
}

} // namespace

void ln_shape_key(const ln_fast_result_t *r, std::string &key) {
  key.clear();
  for (int i = 0; i < r->n_fields; ++i) {
    const ln_fast_field_t &f = r->fields[i];
    append_counted(key, f.name ? f.name : "", f.name ? f.name_len : 0);
  }
  key.push_back('\xff'); // no length prefix starts with it: names end here
  for (int t = 0; t < r->n_tags && t < LN_FAST_MAX_TAGS; ++t) {
    const char *tag = tag_text(r, t);
    append_counted(key, tag, strlen(tag));
  }
}

uint64_t ln_shape_hash(const ln_fast_result_t *r) {
  uint64_t h = 0x9e3779b97f4a7c15ull ^ static_cast<uint64_t>(r->n_fields) << 32 ^
               static_cast<uint64_t>(r->n_tags);
  const auto mix = [&h](uint64_t v) {
    h = (h ^ v) * 0x100000001b3ull;
    h ^= h >> 31;
  };
  const auto name = [&mix](const char *s, size_t n) {
    mix(n);
    if (!n) return;
    mix(ln_head_word(s, n));
    if (n > 8) mix(ln_load8(s + n - 8));
  };
  for (int i = 0; i < r->n_fields; ++i) {
    const ln_fast_field_t &f = r->fields[i];
    name(f.name ? f.name : "", f.name ? f.name_len : 0);
  }
  for (int t = 0; t < r->n_tags && t < LN_FAST_MAX_TAGS; ++t) {
    const char *tag = tag_text(r, t);
    name(tag, strlen(tag));
  }
  return h;
}

bool ln_shape_is(const std::string &key, const ln_fast_result_t *r) {
  const char *k = key.data(), *end = k + key.size();
  const auto same = [&k, end](const char *s, size_t n) {
    uint32_t len;
    if (static_cast<size_t>(end - k) < sizeof len + n) return false;
    memcpy(&len, k, sizeof len);
    if (len != n || !ln_same_bytes(k + sizeof len, s, n)) return false;
    k += sizeof len + n;
    return true;
  };
  for (int i = 0; i < r->n_fields; ++i) {
    const ln_fast_field_t &f = r->fields[i];
    if (!same(f.name ? f.name : "", f.name ? f.name_len : 0)) return false;
  }
  if (k >= end || *k++ != '\xff') return false;
  for (int t = 0; t < r->n_tags && t < LN_FAST_MAX_TAGS; ++t) {
    const char *tag = tag_text(r, t);
    if (!same(tag, strlen(tag))) return false;
  }
  return k == end;
}
