// VaderAD entry points, result accessors and the JSON writer.
//
// The writer only ever produces valid JSON: names are taken by their length,
// numbers are written in a form that reads back to the same value, raw JSON
// values are validated before they are copied, and whatever cannot be written
// that way makes the writer fail, so VaderAD declines the message instead of
// handing out broken text.
#include "vaderad/turbo_json.h"

#include <libfastjson/json.h>
#include <libfastjson/json_tokener.h>

#include <climits>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "normalizer/rewrite.h"
#include "vaderad/turbo.h"
#include "vaderad/turbo_shape.h"

namespace {

constexpr size_t kJsonBufInitial = 8192;
constexpr int kMaxPathComponents = 64;

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool is_hex(unsigned char c) { return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

// ---------------------------------------------------------------- validation

struct Validator {
  const char *p, *end;
  int depth = 0;

  void ws() {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
  }
  bool lit(const char *w, size_t n) {
    if (static_cast<size_t>(end - p) < n || memcmp(p, w, n) != 0) return false;
    p += n;
    return true;
  }
  bool string() {
    if (p >= end || *p != '"') return false;
    ++p;
    while (p < end) {
      unsigned char c = static_cast<unsigned char>(*p++);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (p >= end) return false;
      char e = *p++;
      if (e == 'u') {
        for (int k = 0; k < 4; ++k, ++p)
          if (p >= end || !is_hex(static_cast<unsigned char>(*p))) return false;
      } else if (!strchr("\"\\/bfnrt", e) || e == '\0') {
        return false;
      }
    }
    return false;
  }
  bool number() {
    if (p < end && *p == '-') ++p;
    if (p >= end || !is_digit(*p)) return false;
    if (*p == '0')
      ++p;
    else
      while (p < end && is_digit(*p)) ++p;
    if (p < end && *p == '.') {
      ++p;
      if (p >= end || !is_digit(*p)) return false;
      while (p < end && is_digit(*p)) ++p;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
      ++p;
      if (p < end && (*p == '+' || *p == '-')) ++p;
      if (p >= end || !is_digit(*p)) return false;
      while (p < end && is_digit(*p)) ++p;
    }
    return true;
  }
  bool value() {
    ws();
    if (p >= end) return false;
    switch (*p) {
    case '"': return string();
    case 't': return lit("true", 4);
    case 'f': return lit("false", 5);
    case 'n': return lit("null", 4);
    case '{': case '[': {
      const char close = *p == '{' ? '}' : ']';
      const bool obj = *p == '{';
      if (++depth > 256) return false;
      ++p;
      ws();
      if (p < end && *p == close) {
        ++p;
        --depth;
        return true;
      }
      for (;;) {
        if (obj) {
          ws();
          if (!string()) return false;
          ws();
          if (p >= end || *p++ != ':') return false;
        }
        if (!value()) return false;
        ws();
        if (p >= end) return false;
        if (*p == ',') {
          ++p;
          continue;
        }
        if (*p++ != close) return false;
        --depth;
        return true;
      }
    }
    default: return number();
    }
  }
};

// ---------------------------------------------------------------- writer

struct Out {
  char *buf;
  size_t cap; // the terminating NUL needs one byte of it
  size_t pos = 0;
  bool ok = true;

  bool room(size_t n) {
    if (!ok || cap - pos < n + 1) ok = false;
    return ok;
  }
  void put(char c) {
    if (room(1)) buf[pos++] = c;
  }
  void put(const char *s, size_t n) {
    if (room(n)) {
      memcpy(buf + pos, s, n);
      pos += n;
    }
  }
};

// The 34 bytes a JSON string cannot hold as they are.
struct EscapeTable {
  bool needs[256] = {};
  constexpr EscapeTable() {
    for (int c = 0; c < 0x20; ++c) needs[c] = true;
    needs['"'] = needs['\\'] = true;
  }
};
constexpr EscapeTable kEscape;

// Eight bytes at once: a non-zero result when one of them is below 0x20, '"'
// or '\\' (the usual "has a byte less than / equal to" word tricks; exact as a
// test for "any", which is all it is used for).
inline uint64_t escape_bits(uint64_t x) {
  constexpr uint64_t ones = 0x0101010101010101ull, high = 0x8080808080808080ull;
  const uint64_t q = x ^ (ones * '"'), b = x ^ (ones * '\\');
  return ((x - ones * 0x20) | (q - ones) | (b - ones)) & ~x & high;
}


// Writes the escape sequence of byte c at w; returns the new end.
inline char *escape_byte(char *w, unsigned char c) {
  static const char hex[] = "0123456789abcdef";
  *w++ = '\\';
  switch (c) {
  case '"': *w++ = '"'; break;
  case '\\': *w++ = '\\'; break;
  case '\b': *w++ = 'b'; break;
  case '\t': *w++ = 't'; break;
  case '\n': *w++ = 'n'; break;
  case '\f': *w++ = 'f'; break;
  case '\r': *w++ = 'r'; break;
  default:
    *w++ = 'u';
    *w++ = '0';
    *w++ = '0';
    *w++ = hex[c >> 4];
    *w++ = hex[c & 15];
  }
  return w;
}

// The checked writer, for the end of a buffer: run by run.
__attribute__((noinline)) void write_escaped_checked(Out &o, const char *s, size_t n) {
  o.put('"');
  size_t i = 0;
  while (i < n && o.ok) {
    size_t run = i;
    while (run < n && !kEscape.needs[static_cast<unsigned char>(s[run])]) ++run;
    o.put(s + i, run - i);
    if (run >= n) break;
    char e[6];
    const size_t k = static_cast<size_t>(escape_byte(e, static_cast<unsigned char>(s[run])) - e);
    o.put(e, k);
    i = run + 1;
  }
  o.put('"');
}

// A JSON string.
__attribute__((always_inline)) inline void write_escaped_string(Out &o, const char *s, size_t n) {
  if (!o.ok || o.cap - o.pos <= 6 * n + 16) return write_escaped_checked(o, s, n);
  // Room for the worst case: no per-byte checks; clean runs of eight bytes
  // are copied as one word.
  char *w = o.buf + o.pos;
  *w++ = '"';
  if (n >= 4 && n < 8) {
    // Two overlapping four-byte halves cover a short text.
    uint32_t lo, hi;
    memcpy(&lo, s, 4);
    memcpy(&hi, s + n - 4, 4);
    if (!escape_bits(static_cast<uint64_t>(hi) << 32 | lo)) {
      memcpy(w, &lo, 4);
      memcpy(w + n - 4, &hi, 4);
      w += n;
      *w++ = '"';
      o.pos = static_cast<size_t>(w - o.buf);
      return;
    }
  }
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint64_t x = ln_load8(s + i);
    if (!escape_bits(x)) {
      memcpy(w, &x, 8);
      w += 8;
      continue;
    }
    for (size_t k = i; k < i + 8; ++k) {
      const unsigned char c = static_cast<unsigned char>(s[k]);
      if (kEscape.needs[c])
        w = escape_byte(w, c);
      else
        *w++ = static_cast<char>(c);
    }
  }
  if (i < n && n >= 8 && !escape_bits(ln_load8(s + n - 8))) {
    // A clean tail: one word ending at the last byte (it overlaps bytes
    // already written with the same values).
    memcpy(w - (i - (n - 8)), s + n - 8, 8);
    w += n - i;
    i = n;
  }
  for (; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (kEscape.needs[c])
      w = escape_byte(w, c);
    else
      *w++ = static_cast<char>(c);
  }
  *w++ = '"';
  o.pos = static_cast<size_t>(w - o.buf);
}

constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

void write_int(Out &o, int64_t v) {
  char tmp[24];
  char *e = tmp + sizeof tmp, *p = e;
  uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  while (u >= 100) {
    const unsigned k = static_cast<unsigned>(u % 100) * 2;
    u /= 100;
    *--p = kDigitPairs[k + 1];
    *--p = kDigitPairs[k];
  }
  if (u >= 10) {
    const unsigned k = static_cast<unsigned>(u) * 2;
    *--p = kDigitPairs[k + 1];
    *--p = kDigitPairs[k];
  } else {
    *--p = static_cast<char>('0' + u);
  }
  if (v < 0) *--p = '-';
  o.put(p, static_cast<size_t>(e - p));
}

// Shortest of %.15g to %.17g that reads back to the same double; false for a
// value JSON cannot hold.
bool write_double(Out &o, double d) {
  if (!std::isfinite(d)) return false;
  char tmp[40];
  int n = 0;
  for (int prec = 15; prec <= 17; ++prec) {
    n = snprintf(tmp, sizeof tmp, "%.*g", prec, d);
    if (n <= 0 || n >= static_cast<int>(sizeof tmp)) return false;
    if (strtod(tmp, nullptr) == d) break;
  }
  if (!ln_json_text_valid(tmp, static_cast<size_t>(n))) return false;
  o.put(tmp, static_cast<size_t>(n));
  return true;
}

bool write_value(Out &o, const ln_fast_field_t &f) {
  switch (f.type) {
  case LN_FTYPE_STRING:
  case LN_FTYPE_STRING_INLINE: {
    const char *s = f.type == LN_FTYPE_STRING ? f.v.str.ptr : f.v.inl;
    const size_t n = f.type == LN_FTYPE_STRING ? f.v.str.len : f.inl_len;
    if (f.flags & LN_FF_RAW_JSON) {
      if (!ln_json_text_valid(s, n)) return false;
      o.put(s, n);
    } else {
      write_escaped_string(o, s, n);
    }
    return true;
  }
  case LN_FTYPE_INT: write_int(o, f.v.i); return true;
  case LN_FTYPE_DOUBLE: return write_double(o, f.v.d);
  case LN_FTYPE_BOOL:
    if (f.v.b)
      o.put("true", 4);
    else
      o.put("false", 5);
    return true;
  case LN_FTYPE_NULL: o.put("null", 4); return true;
  default: return false;
  }
}

// Upper bound of the bytes write_value writes for f.
size_t value_estimate(const ln_fast_field_t &f) {
  switch (f.type) {
  case LN_FTYPE_STRING: return 6 * static_cast<size_t>(f.v.str.len) + 2;
  case LN_FTYPE_STRING_INLINE: return 290;
  case LN_FTYPE_INT: return 21;
  case LN_FTYPE_DOUBLE: return 32;
  default: return 6;
  }
}

// Byte-wise order of the names, eight bytes at a time: names of one payload
// share long prefixes ("cef.record.Extensions."). from is where the bytes
// may first differ (both names are at least that long).
int name_cmp(const ln_fast_field_t &a, const ln_fast_field_t &b, size_t from = 0) {
  const size_t n = a.name_len < b.name_len ? a.name_len : b.name_len;
  size_t i = from;
  for (; i + 8 <= n; i += 8) {
    const uint64_t x = ln_load8(a.name + i), y = ln_load8(b.name + i);
    if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y) ? -1 : 1;
  }
  const unsigned char *x = reinterpret_cast<const unsigned char *>(a.name);
  const unsigned char *y = reinterpret_cast<const unsigned char *>(b.name);
  for (; i < n; ++i)
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  return a.name_len < b.name_len ? -1 : a.name_len > b.name_len ? 1 : 0;
}

// The first eight bytes of a name as a big-endian number, zero-padded: keys
// that differ order their names as name_cmp does (a shorter name padded with
// zeros is a prefix of the other up to the first differing byte); equal keys
// leave the order to the full comparison.
uint64_t name_key(const char *s, size_t n) { return __builtin_bswap64(ln_head_word(s, n)); }

// The first 24 bytes of a name as three such numbers: the names of one
// payload share long prefixes ("iptables.fields.", "cef.record.Extensions.")
// that would otherwise send most comparisons to the bytes.
constexpr size_t kKeyBytes = 24;

struct SortEnt {
  uint64_t key[3];
  const ln_fast_field_t *f;
};

SortEnt sort_ent(const ln_fast_field_t &f) {
  SortEnt e{{0, 0, 0}, &f};
  for (size_t w = 0; w < 3 && 8 * w < f.name_len; ++w)
    e.key[w] = name_key(f.name + 8 * w, f.name_len - 8 * w);
  return e;
}

inline int ent_cmp(const SortEnt &a, const SortEnt &b) {
  for (int w = 0; w < 3; ++w)
    if (a.key[w] != b.key[w]) return a.key[w] < b.key[w] ? -1 : 1;
  // Equal keys: the first 24 bytes are equal when both names have them.
  const bool long_names = a.f->name_len >= kKeyBytes && b.f->name_len >= kKeyBytes;
  return name_cmp(*a.f, *b.f, long_names ? kKeyBytes : 0);
}

inline bool same_key(const SortEnt &a, const SortEnt &b) {
  return a.key[0] == b.key[0] && a.key[1] == b.key[1] && a.key[2] == b.key[2];
}

// The first '.' in [s, end), or end.
const char *find_dot(const char *s, const char *end) {
  for (; end - s >= 8; s += 8)
    if (const uint64_t m = ln_dot_bytes(ln_load8(s))) return s + (__builtin_ctzll(m) >> 3);
  while (s < end && *s != '.') ++s;
  return s;
}

// Bytes the two names share from the start.
size_t common_bytes(const char *a, const char *b, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint64_t x = ln_load8(a + i) ^ ln_load8(b + i);
    if (x) return i + (static_cast<size_t>(__builtin_ctzll(x)) >> 3);
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// Where the writer put one field's value: text[before, after) of the output.
struct ValueCut {
  size_t before, after;
  int field;
};

// Writes r as JSON into buf. With cuts, also records where each value went,
// from which the layout of the result's shape is taken.
int to_json(const ln_fast_result_t *r, char *buf, size_t buflen, size_t *outlen,
            std::vector<ValueCut> *cuts = nullptr) {
  if (outlen) *outlen = 0;
  if (!r || !buf || buflen <= 2) return -1;
  Out o{buf, buflen};

  // The named fields, ordered by name; equal names keep their storing order
  // (insertion sort on the name keys, at most 128 entries).
  SortEnt ents[LN_FAST_MAX_FIELDS];
  int n = 0;
  for (int i = 0; i < r->n_fields && i < LN_FAST_MAX_FIELDS; ++i) {
    const ln_fast_field_t &f = r->fields[i];
    if (!f.name || f.name_len == 0) continue;
    const SortEnt e = sort_ent(f);
    int j = n++;
    while (j > 0 && ent_cmp(ents[j - 1], e) > 0) {
      ents[j] = ents[j - 1];
      --j;
    }
    ents[j] = e;
  }

  o.put('{');
  // The open objects are the parents of the name written last (prev): the
  // object at depth d ends at byte open_end[d] of it. Sorted names share long
  // prefixes, so each name is split only from where it leaves prev.
  size_t open_end[kMaxPathComponents];
  bool has_member[kMaxPathComponents + 1] = {};
  int depth = 0;
  const ln_fast_field_t *prev = nullptr;
  for (int a = 0; a < n && o.ok;) {
    // A run of equal names is written newest first.
    int b = a + 1;
    while (b < n && same_key(ents[b], ents[a]) && ents[b].f->name_len == ents[a].f->name_len &&
           ln_same_bytes(ents[b].f->name, ents[a].f->name, ents[a].f->name_len))
      ++b;
    for (int k = b - 1; k >= a && o.ok; --k) {
      const ln_fast_field_t &f = *ents[k].f;
      const char *name = f.name, *end = f.name + f.name_len;
      // Open objects whose name ends inside the bytes shared with prev are
      // parents of this name too (the '.' after them is shared as well).
      const size_t lcp =
          prev ? common_bytes(prev->name, name, prev->name_len < f.name_len ? prev->name_len : f.name_len) : 0;
      int common = 0;
      while (common < depth && open_end[common] < lcp) ++common;
      while (depth > common) {
        o.put('}');
        --depth;
      }
      const char *start = depth ? name + open_end[depth - 1] + 1 : name;
      for (const char *dot; (dot = find_dot(start, end)) != end; start = dot + 1) {
        if (depth + 1 >= kMaxPathComponents) return -1;
        if (has_member[depth]) o.put(',');
        has_member[depth] = true;
        write_escaped_string(o, start, static_cast<size_t>(dot - start));
        o.put(":{", 2);
        open_end[depth] = static_cast<size_t>(dot - name);
        has_member[++depth] = false;
      }
      if (has_member[depth]) o.put(',');
      has_member[depth] = true;
      write_escaped_string(o, start, static_cast<size_t>(end - start));
      o.put(':');
      const size_t before = o.pos;
      if (!write_value(o, f)) return -1;
      if (cuts) cuts->push_back(ValueCut{before, o.pos, static_cast<int>(&f - r->fields)});
      prev = &f;
    }
    a = b;
  }
  while (depth > 0) {
    o.put('}');
    --depth;
  }
  if (r->n_tags > 0) {
    if (has_member[0]) o.put(',');
    o.put("\"tags\":[", 8);
    for (int t = 0; t < r->n_tags && t < LN_FAST_MAX_TAGS; ++t) {
      if (t) o.put(',');
      const char *tag = r->tags[t].tag ? r->tags[t].tag : "";
      write_escaped_string(o, tag, strlen(tag));
    }
    o.put(']');
  }
  o.put('}');
  if (!o.ok) return -1;
  buf[o.pos] = '\0';
  if (outlen) *outlen = o.pos;
  return 0;
}

// ---------------------------------------------------------------- layouts

// Most messages of a rule store the same names in the same order, and
// everything the writer does apart from the values (ordering the names,
// splitting them into nested objects, escaping them, the tags) depends only
// on those names and the tags. A shape is that sequence of names and tags,
// byte for byte; its layout is the text of the writer's output with the
// values cut out. A result whose shape has a layout is written from it: the
// literal pieces copied, the values written between them.
struct ShapeSeg {
  uint32_t lit_end; // the literal text[previous lit_end, lit_end) comes first
  int32_t field;    // then this field's value; -1 for the closing piece
};

// The literal text is followed by kLitPad spare bytes, so that each piece is
// copied in whole 16-byte moves.
constexpr size_t kLitPad = 16;

struct Shape {
  ln_shape_id id;
  // The VM's clean shape the layout was taken for (its serial; 0: none): a
  // result the VM found to have that shape has this identity too.
  uint64_t vm_serial = 0;
  std::string text; // the literal pieces, then kLitPad bytes of padding
  std::vector<ShapeSeg> segs;
};

} // namespace

struct ln_json_shapes {
  static constexpr size_t kSlots = 256; // two-way sets by hash: set k is slots 2k, 2k + 1
  Shape slot[kSlots];
  uint8_t recent[kSlots / 2] = {}; // the way of each set used last
  // The shape each rule's results had last (by the rule id's address): most
  // rules always give one shape, which is then found without hashing.
  Shape *by_rule[kSlots] = {};
  std::vector<ValueCut> cuts; // scratch of a layout being taken
};

namespace {

// Takes the layout of a shape from the text the writer produced for it and
// the places of its values.
void take_layout(Shape &sh, const char *out, size_t n, const std::vector<ValueCut> &cuts) {
  sh.text.clear();
  sh.segs.clear();
  size_t from = 0;
  for (const ValueCut &c : cuts) {
    sh.text.append(out + from, c.before - from);
    sh.segs.push_back(ShapeSeg{static_cast<uint32_t>(sh.text.size()), c.field});
    from = c.after;
  }
  sh.text.append(out + from, n - from);
  sh.segs.push_back(ShapeSeg{static_cast<uint32_t>(sh.text.size()), -1});
  sh.text.append(kLitPad, '\0');
}

// Copies the literal piece s[0, n) in 16-byte moves: s is readable for
// kLitPad bytes past n, and the output must have room for them too.
inline void put_piece(Out &o, const char *s, size_t n) {
  if (!o.room(n + kLitPad)) return;
  char *w = o.buf + o.pos;
  for (size_t k = 0; k < n; k += 16) memcpy(w + k, s + k, 16);
  o.pos += n;
}

// Writes the text of an inline value that needs no escape, quoted, and
// returns true; false (nothing written) when a byte needs one. The inline
// buffer is 48 bytes whatever the length, so it is tested in whole 16-byte
// blocks, and the output needs room for 50 bytes.
// kRoomKnown: the caller knows the output has that room.
template <bool kRoomKnown = false> inline bool put_clean_inline(Out &o, const ln_fast_field_t &f) {
#ifdef __SSE2__
  static_assert(sizeof f.v.inl == 48, "three blocks");
  const size_t n = f.inl_len;
  if (n > LN_FAST_INLINE_MAX || (!kRoomKnown && o.cap - o.pos < 64)) return false;
  const __m128i limit = _mm_set1_epi8(0x1f), quote = _mm_set1_epi8('"'), bs = _mm_set1_epi8('\\');
  const auto bad = [&](__m128i x) {
    const __m128i low = _mm_cmpeq_epi8(_mm_max_epu8(x, limit), limit); // bytes <= 0x1f
    return static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_or_si128(low, _mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, bs)))));
  };
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(f.v.inl));
  uint64_t mask = bad(a);
  __m128i b = a, c = a;
  if (n > 16) {
    b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(f.v.inl + 16));
    mask |= static_cast<uint64_t>(bad(b)) << 16;
    if (n > 32) {
      c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(f.v.inl + 32));
      mask |= static_cast<uint64_t>(bad(c)) << 32;
    }
  }
  if (mask & ((1ull << n) - 1)) return false;
  char *w = o.buf + o.pos;
  *w = '"';
  _mm_storeu_si128(reinterpret_cast<__m128i *>(w + 1), a);
  if (n > 16) _mm_storeu_si128(reinterpret_cast<__m128i *>(w + 17), b);
  if (n > 32) _mm_storeu_si128(reinterpret_cast<__m128i *>(w + 33), c);
  w[n + 1] = '"';
  o.pos += n + 2;
  return true;
#else
  (void)o;
  (void)f;
  return false;
#endif
}

// Writes r from its shape's layout; -1 when a value cannot be written.
int write_layout(const Shape &sh, const ln_fast_result_t *r, char *buf, size_t buflen,
                 size_t *outlen) {
  Out o{buf, buflen};
  uint32_t from = 0;
  const ShapeSeg *seg = sh.segs.data(), *const end = seg + sh.segs.size();
  // While only pieces (each with its padding) and clean inline values (64
  // bytes each at most) are written, a buffer of this size has room for all
  // of them: no checks until a value takes the general writer.
  const size_t n_segs = sh.segs.size();
  if (buflen > sh.text.size() + (kLitPad + 64) * n_segs) {
    for (; seg != end; ++seg) {
      const size_t n = seg->lit_end - from;
      const char *p = sh.text.data() + from;
      char *w = buf + o.pos;
      for (size_t k = 0; k < n; k += 16) memcpy(w + k, p + k, 16);
      o.pos += n;
      from = seg->lit_end;
      if (seg->field < 0) continue;
      const ln_fast_field_t &f = r->fields[seg->field];
      if (f.type == LN_FTYPE_STRING_INLINE && !(f.flags & LN_FF_RAW_JSON) && put_clean_inline<true>(o, f))
        continue;
      if (!write_value(o, f)) return -1;
      ++seg;
      break; // the rest is written with checks
    }
  }
  for (; seg != end; ++seg) {
    put_piece(o, sh.text.data() + from, seg->lit_end - from);
    from = seg->lit_end;
    if (seg->field < 0) continue;
    const ln_fast_field_t &f = r->fields[seg->field];
    if (f.type == LN_FTYPE_STRING_INLINE && !(f.flags & LN_FF_RAW_JSON) && o.ok && put_clean_inline(o, f))
      continue;
    if (!write_value(o, f)) return -1;
  }
  if (!o.ok) return -1;
  buf[o.pos] = '\0';
  *outlen = o.pos;
  return 0;
}

// Makes room for n bytes in the context's output buffer.
bool reserve_json_buf(ln_turbo_ctx_t *t, size_t n) {
  if (t->json_buf_cap >= n) return true;
  char *nb = static_cast<char *>(realloc(t->json_buf, n + 1024));
  if (!nb) return false;
  t->json_buf = nb;
  t->json_buf_cap = n + 1024;
  return true;
}

// The JSON text of the context's result in t->json_buf: from the layout of
// its shape when one is cached, else by the full writer (and the layout is
// kept for next time). -1 when the result cannot be written.
int result_to_json(ln_turbo_ctx_t *t, size_t *n) {
  const ln_fast_result_t *r = &t->result;
  ln_json_shapes *shapes = t->shapes;
  if (!shapes) {
    try {
      shapes = t->shapes = new ln_json_shapes;
    } catch (const std::bad_alloc &) {
      shapes = nullptr;
    }
  }
  if (!shapes) {
    if (!reserve_json_buf(t, ln_fast_json_estimate(r))) return -1;
    return to_json(r, t->json_buf, t->json_buf_cap, n);
  }
  Shape **hint = &shapes->by_rule[(reinterpret_cast<uintptr_t>(r->rule_id) >> 4) % ln_json_shapes::kSlots];
  const uint64_t vm_serial = t->vm.shape_serial;
  Shape *known = nullptr;
  if (*hint && ((vm_serial && (*hint)->vm_serial == vm_serial) || (*hint)->id.same(r))) known = *hint;
  const uint64_t hash = known ? 0 : t->vm.shape_hash_set ? t->vm.shape_hash : ln_shape_hash(r);
  const size_t set = hash % (ln_json_shapes::kSlots / 2);
  if (!known) {
    for (uint8_t way = 0; way < 2 && !known; ++way) {
      if (!shapes->slot[2 * set + way].id.holds(hash, r)) continue;
      known = &shapes->slot[2 * set + way];
      shapes->recent[set] = way;
    }
  }
  if (!known) { // the way not used last takes the new shape
    shapes->recent[set] ^= 1;
  }
  Shape &sh = known ? *known : shapes->slot[2 * set + shapes->recent[set]];
  if (known) {
    *hint = &sh;
    // The buffer nearly always has room; when it has not, it is sized for
    // the worst case and the text written again.
    if (write_layout(sh, r, t->json_buf, t->json_buf_cap, n) == 0) return 0;
    size_t est = sh.text.size() + 1;
    for (const ShapeSeg &seg : sh.segs)
      est += kLitPad + (seg.field >= 0 ? value_estimate(r->fields[seg.field]) : 0);
    if (!reserve_json_buf(t, est)) return -1;
    return write_layout(sh, r, t->json_buf, t->json_buf_cap, n);
  }
  if (!reserve_json_buf(t, ln_fast_json_estimate(r))) return -1;
  shapes->cuts.clear();
  try {
    shapes->cuts.reserve(static_cast<size_t>(r->n_fields));
  } catch (const std::bad_alloc &) {
    return to_json(r, t->json_buf, t->json_buf_cap, n);
  }
  if (to_json(r, t->json_buf, t->json_buf_cap, n, &shapes->cuts) != 0) return -1;
  try {
    sh.vm_serial = 0;
    sh.id.take(hash, r);
    take_layout(sh, t->json_buf, *n, shapes->cuts);
    sh.vm_serial = vm_serial;
    *hint = &sh;
  } catch (const std::bad_alloc &) {
    sh.id.used = false; // the text is written; only the layout is lost
  }
  return 0;
}

// ---------------------------------------------------------------- running

bool turbo_ready(ln_ctx ctx) {
  return ctx && ctx->objID == LN_OBJID_CTX && ctx->turbo && ctx->turbo->enabled &&
         ctx->turbo->code && ctx->turbo->code_len > 0 && ctx->turbo->json_buf;
}

// Steps shared by the entry points: clear, size the arena, run the VM. 0 when
// the program matched.
int run_message(ln_ctx ctx, const char *str, size_t len) {
  ln_turbo_ctx_t *t = ctx->turbo;
  if (!str && len) return -1;
  if (!str) str = "";
  ln_fast_result_clear(&t->result);
  t->result.arena = &t->arena;
  ln_arena_reset(&t->arena);
  ln_vm_reset(&t->vm);
  if (len > SIZE_MAX / 2 || (t->arena.capacity < 2 * len && ln_arena_ensure(&t->arena, 2 * len) != 0))
    return -1;
  ln_program_t prog;
  ln_turbo_program(ctx, &prog);
  if (t->index.code != prog.code || t->index.code_len != prog.code_len) {
    ln_vm_index_free(&t->index);
    ln_vm_index_build(&t->index, &prog); // without it FORK only looks less far ahead
  }
  t->vm.index = &t->index;
  int rc = ln_vm_exec(&t->vm, &prog, str, len, &t->result);
  if (rc != LN_VM_MATCH) {
    ln_dbgprintf(ctx, "turbo VM exec returned %d, error: %s", rc,
                 t->vm.error ? t->vm.error : "(none)");
    return -1;
  }
  return 0;
}

void count_message(ln_turbo_ctx_t *t, size_t len) {
  ++t->stats.messages_processed;
  t->stats.total_bytes += len;
}

int normalize_to_str(ln_ctx ctx, const char *str, size_t len, char **json_str, size_t *json_len) {
  if (!turbo_ready(ctx) || !json_str) return -1;
  ln_turbo_ctx_t *t = ctx->turbo;
  if (run_message(ctx, str, len) != 0) return -1;
  if (t->result.flags & LN_RF_TRUNCATED) {
    ln_dbgprintf(ctx, "turbo: result truncated at %d fields, falling back to the walker",
                 static_cast<int>(t->result.n_fields));
    return -1;
  }
  size_t n = 0;
  if (result_to_json(t, &n) != 0) {
    ln_dbgprintf(ctx, "turbo: the result cannot be written as JSON, declining the message");
    return -1;
  }
  char *copy = static_cast<char *>(malloc(n + 1));
  if (!copy) return -1;
  memcpy(copy, t->json_buf, n + 1);
  *json_str = copy;
  if (json_len) *json_len = n;
  count_message(t, len);
  return 0;
}

} // namespace

bool ln_json_text_valid(const char *text, size_t len) {
  if (!text) return false;
  Validator v{text, text + len};
  if (!v.value()) return false;
  v.ws();
  return v.p == v.end;
}

int ln_turbo_runtime_init(ln_turbo_ctx_t *t) {
  if (!t) return -1;
  if (ln_vm_init(&t->vm, &t->arena) != 0) return -1;
  t->index = ln_vm_index_t{};
  memset(&t->result, 0, sizeof t->result);
  t->result.arena = &t->arena;
  t->json_buf = static_cast<char *>(malloc(kJsonBufInitial));
  if (!t->json_buf) return -1;
  t->json_buf_cap = kJsonBufInitial;
  return 0;
}

void ln_turbo_json_shapes_clear(ln_turbo_ctx_t *t) {
  if (!t) return;
  delete t->shapes;
  t->shapes = nullptr;
  ln_vm_forget_shapes(&t->vm);
}

void ln_turbo_runtime_free(ln_turbo_ctx_t *t) {
  if (!t) return;
  ln_turbo_json_shapes_clear(t);
  ln_vm_destroy(&t->vm);
  ln_vm_index_free(&t->index);
  free(t->json_buf);
  t->json_buf = nullptr;
  t->json_buf_cap = 0;
}

int ln_turbo_normalize_to_str(ln_ctx ctx, const char *str, size_t len, char **json_str,
                              size_t *json_len) {
  if (json_str) *json_str = nullptr;
  if (json_len) *json_len = 0;
  return normalize_to_str(ctx, str, len, json_str, json_len);
}

int ln_turbo_normalize(ln_ctx ctx, const char *str, size_t len, struct fjson_object **json) {
  if (!json) return -1;
  *json = nullptr;
  char *text = nullptr;
  size_t n = 0;
  if (ln_turbo_normalize_to_str(ctx, str, len, &text, &n) != 0) return -1;
  fjson_tokener *tok = fjson_tokener_new();
  fjson_object *o = tok && n <= static_cast<size_t>(INT_MAX)
                        ? fjson_tokener_parse_ex(tok, text, static_cast<int>(n))
                        : nullptr;
  if (o && fjson_tokener_get_error(tok) != fjson_tokener_success) {
    fjson_object_put(o);
    o = nullptr;
  }
  if (tok) fjson_tokener_free(tok);
  free(text);
  *json = o;
  return o ? 0 : -1;
}

int ln_turbo_normalize_raw(ln_ctx ctx, const char *str, size_t len, const ln_fast_result_t **result) {
  if (!result) return -1;
  *result = nullptr;
  if (!turbo_ready(ctx) || run_message(ctx, str, len) != 0) return -1;
  *result = &ctx->turbo->result;
  count_message(ctx->turbo, len);
  return 0;
}

// ---------------------------------------------------------------- accessors

int ln_fast_result_field_count(const ln_fast_result_t *r) { return r ? r->n_fields : 0; }

int ln_fast_result_is_truncated(const ln_fast_result_t *r) {
  return r && (r->flags & LN_RF_TRUNCATED) ? 1 : 0;
}

static bool text_of(const ln_fast_field_t &f, const char **s, size_t *n) {
  if (f.type == LN_FTYPE_STRING) {
    *s = f.v.str.ptr;
    *n = f.v.str.len;
    return true;
  }
  if (f.type == LN_FTYPE_STRING_INLINE) {
    *s = f.v.inl;
    *n = f.inl_len;
    return true;
  }
  *s = nullptr;
  *n = 0;
  return false;
}

int ln_fast_result_get_field(const ln_fast_result_t *r, int idx, const char **name, size_t *nlen,
                             const char **value, size_t *vlen) {
  if (!r || idx < 0 || idx >= r->n_fields) return -1;
  const ln_fast_field_t &f = r->fields[idx];
  if (name) *name = f.name;
  if (nlen) *nlen = f.name_len;
  const char *s;
  size_t n;
  text_of(f, &s, &n);
  if (value) *value = s;
  if (vlen) *vlen = n;
  return 0;
}

int ln_fast_result_get_field_typed(const ln_fast_result_t *r, int idx, const char **name,
                                   size_t *nlen, int *type, int *flags, const char **sval,
                                   size_t *slen, int64_t *ival, double *dval) {
  if (!r || idx < 0 || idx >= r->n_fields) return -1;
  const ln_fast_field_t &f = r->fields[idx];
  if (name) *name = f.name;
  if (nlen) *nlen = f.name_len;
  if (type) *type = f.type;
  if (flags) *flags = f.flags & (LN_FF_DOTTED | LN_FF_RAW_JSON);
  const char *s;
  size_t n;
  text_of(f, &s, &n);
  if (sval) *sval = s;
  if (slen) *slen = n;
  if (ival) *ival = f.type == LN_FTYPE_INT ? f.v.i : f.type == LN_FTYPE_BOOL ? (f.v.b ? 1 : 0) : 0;
  if (dval) *dval = f.type == LN_FTYPE_DOUBLE ? f.v.d : 0.0;
  return 0;
}

static int newest(const ln_fast_result_t *r, const char *name) {
  if (!r || !name) return -1;
  const size_t n = strlen(name);
  for (int i = r->n_fields - 1; i >= 0; --i)
    if (r->fields[i].name_len == n && memcmp(r->fields[i].name, name, n) == 0) return i;
  return -1;
}

int ln_fast_result_get_string(const ln_fast_result_t *r, const char *name, const char **value,
                              size_t *vlen) {
  int i = newest(r, name);
  const char *s;
  size_t n;
  if (i < 0 || !text_of(r->fields[i], &s, &n)) return -1;
  if (value) *value = s;
  if (vlen) *vlen = n;
  return 0;
}

int ln_fast_result_get_int(const ln_fast_result_t *r, const char *name, int64_t *value) {
  if (!r || !name) return -1;
  const size_t n = strlen(name);
  for (int i = r->n_fields - 1; i >= 0; --i) {
    const ln_fast_field_t &f = r->fields[i];
    if (f.type == LN_FTYPE_INT && f.name_len == n && memcmp(f.name, name, n) == 0) {
      if (value) *value = f.v.i;
      return 0;
    }
  }
  return -1;
}

int ln_fast_result_tag_count(const ln_fast_result_t *r) { return r ? r->n_tags : 0; }

const char *ln_fast_result_get_tag(const ln_fast_result_t *r, int idx) {
  return r && idx >= 0 && idx < r->n_tags ? r->tags[idx].tag : nullptr;
}

int ln_fast_result_has_tag(const ln_fast_result_t *r, const char *tag) {
  if (!r || !tag) return 0;
  for (int i = 0; i < r->n_tags; ++i)
    if (r->tags[i].tag && strcmp(r->tags[i].tag, tag) == 0) return 1;
  return 0;
}

const char *ln_fast_result_get_rule_id(const ln_fast_result_t *r) { return r ? r->rule_id : nullptr; }

// ---------------------------------------------------------------- JSON

size_t ln_fast_json_estimate(const ln_fast_result_t *r) {
  if (!r) return 66;
  size_t est = 2;
  for (int i = 0; i < r->n_fields; ++i) {
    const ln_fast_field_t &f = r->fields[i];
    if (!f.name || f.name_len == 0) continue;
    est += 9 + 6 * static_cast<size_t>(f.name_len) + value_estimate(f);
  }
  if (r->n_tags > 0) {
    est += 20;
    for (int t = 0; t < r->n_tags; ++t)
      est += 6 * (r->tags[t].tag ? strlen(r->tags[t].tag) : 0) + 3;
  }
  return est + 64;
}

int ln_fast_to_json(const ln_fast_result_t *r, char *buf, size_t buflen, size_t *outlen) {
  return to_json(r, buf, buflen, outlen);
}

int ln_fast_to_json_alloc(const ln_fast_result_t *r, char **json_str, size_t *json_len) {
  if (!json_str) return -1;
  *json_str = nullptr;
  if (json_len) *json_len = 0;
  if (!r) return -1;
  const size_t est = ln_fast_json_estimate(r);
  char *buf = static_cast<char *>(malloc(est));
  if (!buf) return -1;
  if (to_json(r, buf, est, json_len) != 0) {
    free(buf);
    return -1;
  }
  *json_str = buf;
  return 0;
}
