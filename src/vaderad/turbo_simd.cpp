// Byte scanners for VaderAD. The byte-wise references come first; the SSE4.2
// block loops follow and hand every tail shorter than 16 bytes to the
// reference, so the two paths cannot disagree on the last partial block.
#include "vaderad/turbo_simd.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LN_SIMD_X86 1
#else
#define LN_SIMD_X86 0
#endif

namespace {

inline bool is_ws(unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); }
inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
inline int hex_val(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct ByteSet {
  bool in[256] = {};
  explicit ByteSet(const char *chars) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(chars); *p; ++p)
      in[*p] = true;
  }
};

bool g_force_bytewise = false;

bool have_sse42() {
#if LN_SIMD_X86
  static const bool yes = __builtin_cpu_supports("sse4.2");
  return yes;
#else
  return false;
#endif
}

inline bool use_sse() { return !g_force_bytewise && have_sse42(); }

const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void set_span(ln_span_t *s, const char *start, size_t len, size_t consumed) {
  s->start = start;
  s->len = len;
  s->consumed = consumed;
}

// Fixed positions of YYYY-MM-DD after the shape was checked.
bool iso_ranges(const char *p) {
  const bool month = (p[5] == '0' && p[6] >= '1' && p[6] <= '9') ||
                     (p[5] == '1' && p[6] >= '0' && p[6] <= '2');
  const bool day = (p[8] == '0' && p[9] >= '1' && p[9] <= '9') ||
                   ((p[8] == '1' || p[8] == '2') && is_digit(p[9])) ||
                   (p[8] == '3' && (p[9] == '0' || p[9] == '1'));
  return month && day;
}

bool iso_shape_bytewise(const char *p) {
  static const int digits[] = {0, 1, 2, 3, 5, 6, 8, 9};
  for (int k : digits)
    if (!is_digit(static_cast<unsigned char>(p[k]))) return false;
  return p[4] == '-' && p[7] == '-';
}

bool rfc5424_shape_bytewise(const char *p) {
  static const int digits[] = {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15};
  for (int k : digits)
    if (!is_digit(static_cast<unsigned char>(p[k]))) return false;
  return p[4] == '-' && p[7] == '-';
}

// The rest of an RFC 5424 timestamp once its first 16 bytes have the shape:
// the separator, the time, an optional fraction and an optional zone.
int rfc5424_rest(const char *b, size_t len, ln_span_t *span) {
  if (!(b[10] == 'T' || b[10] == ' ') || b[13] != ':' || b[16] != ':' ||
      !is_digit(static_cast<unsigned char>(b[17])) || !is_digit(static_cast<unsigned char>(b[18])))
    return LN_SIMD_EFORM;
  size_t i = 19;
  if (i < len && b[i] == '.') {
    ++i;
    while (i < len && is_digit(static_cast<unsigned char>(b[i]))) ++i;
  }
  if (i < len && b[i] == 'Z') {
    ++i;
  } else if (i < len && (b[i] == '+' || b[i] == '-') && len - i >= 6 &&
             is_digit(static_cast<unsigned char>(b[i + 1])) &&
             is_digit(static_cast<unsigned char>(b[i + 2])) && b[i + 3] == ':' &&
             is_digit(static_cast<unsigned char>(b[i + 4])) &&
             is_digit(static_cast<unsigned char>(b[i + 5]))) {
    i += 6; // an incomplete offset stays outside the span
  }
  set_span(span, b, i, i);
  return LN_SIMD_OK;
}

int rfc3164(const char *b, size_t len, ln_span_t *span) {
  if (len < 12) return LN_SIMD_EFORM;
  bool month = false;
  for (const char *m : kMonths)
    if (memcmp(b, m, 3) == 0) month = true;
  if (!month) return LN_SIMD_EFORM;
  size_t i = 3;
  while (i < len && b[i] == ' ') ++i;
  size_t d0 = i;
  while (i < len && is_digit(static_cast<unsigned char>(b[i]))) ++i;
  if (i == d0 || i >= len || b[i] != ' ') return LN_SIMD_EFORM;
  ++i;
  if (len - i >= 5 && is_digit(b[i]) && is_digit(b[i + 1]) && is_digit(b[i + 2]) &&
      is_digit(b[i + 3]) && b[i + 4] == ' ') {
    int y = (b[i] - '0') * 1000 + (b[i + 1] - '0') * 100 + (b[i + 2] - '0') * 10 + (b[i + 3] - '0');
    if (y >= 1971 && y <= 2099) i += 5;
  }
  size_t h0 = i;
  while (i < len && i - h0 < 2 && is_digit(static_cast<unsigned char>(b[i]))) ++i;
  if (i == h0) return LN_SIMD_EFORM;
  if (len - i < 6 || b[i] != ':' || !is_digit(b[i + 1]) || !is_digit(b[i + 2]) || b[i + 3] != ':' ||
      !is_digit(b[i + 4]) || !is_digit(b[i + 5]))
    return LN_SIMD_EFORM;
  i += 6;
  set_span(span, b, i, i);
  return LN_SIMD_OK;
}

// Shared by the public scanners and the references: the composite scanners
// differ only in which find functions they use.
struct Finders {
  size_t (*find_char)(const char *, size_t, char);
  size_t (*find_char_set)(const char *, size_t, const char *);
};

int word_with(const Finders &f, const char *buf, size_t len, ln_span_t *span) {
  if (!buf || !span) return LN_SIMD_EINVAL;
  set_span(span, buf, 0, 0);
  if (len == 0 || buf[0] == ' ') return LN_SIMD_NOTFOUND;
  size_t n = f.find_char(buf, len, ' ');
  set_span(span, buf, n, n);
  return LN_SIMD_OK;
}

int char_to_with(const Finders &f, const char *buf, size_t len, char delim, ln_span_t *span) {
  if (!buf || !span) return LN_SIMD_EINVAL;
  size_t n = f.find_char(buf, len, delim);
  set_span(span, buf, n, n);
  return n < len ? LN_SIMD_OK : LN_SIMD_NOTFOUND;
}

int char_to_set_with(const Finders &f, const char *buf, size_t len, const char *chars,
                     ln_span_t *span) {
  if (!buf || !chars || !span) return LN_SIMD_EINVAL;
  size_t n = f.find_char_set(buf, len, chars);
  set_span(span, buf, n, n);
  return n < len ? LN_SIMD_OK : LN_SIMD_NOTFOUND;
}

int string_to_with(const Finders &f, const char *buf, size_t len, const char *delim,
                   size_t delim_len, ln_span_t *span) {
  if (!buf || !span || !delim || delim_len == 0) return LN_SIMD_EINVAL;
  set_span(span, buf, len, len);
  if (delim_len > len) return LN_SIMD_NOTFOUND;
  const size_t last = len - delim_len; // last possible start of the delimiter
  size_t i = 0;
  while (i <= last) {
    size_t k = i + f.find_char(buf + i, last + 1 - i, delim[0]);
    if (k > last) break;
    if (memcmp(buf + k, delim, delim_len) == 0) {
      set_span(span, buf, k, k);
      return LN_SIMD_OK;
    }
    i = k + 1;
  }
  return LN_SIMD_NOTFOUND;
}

int quoted_with(const Finders &f, const char *buf, size_t len, ln_span_t *span) {
  if (!buf || !span || len < 2) return LN_SIMD_EINVAL;
  const char q = buf[0];
  if (q != '"' && q != '\'') return LN_SIMD_EFORM;
  const char stops[3] = {q, '\\', '\0'};
  size_t i = 1;
  while (i < len) {
    i += f.find_char_set(buf + i, len - i, stops);
    if (i >= len) break;
    if (buf[i] == q) {
      set_span(span, buf + 1, i - 1, i + 1);
      return LN_SIMD_OK;
    }
    i += 2; // a backslash makes the next byte ordinary
  }
  return LN_SIMD_EFORM;
}

int bracketed_with(const Finders &f, const char *buf, size_t len, char open, char close,
                   ln_span_t *span) {
  if (!buf || !span) return LN_SIMD_EINVAL;
  if (len == 0 || buf[0] != open) return LN_SIMD_EFORM;
  if (open == '\0' || close == '\0') {
    // The set form cannot hold a NUL byte; count byte by byte.
    size_t depth = 1;
    for (size_t i = 1; i < len; ++i) {
      if (buf[i] == close) {
        if (--depth == 0) {
          set_span(span, buf + 1, i - 1, i + 1);
          return LN_SIMD_OK;
        }
      } else if (buf[i] == open) {
        ++depth;
      }
    }
    return LN_SIMD_EFORM;
  }
  const char stops[3] = {open, close, '\0'};
  size_t depth = 1, i = 1;
  while (i < len) {
    i += f.find_char_set(buf + i, len - i, stops);
    if (i >= len) break;
    if (buf[i] == close) {
      if (--depth == 0) {
        set_span(span, buf + 1, i - 1, i + 1);
        return LN_SIMD_OK;
      }
    } else {
      ++depth;
    }
    ++i;
  }
  return LN_SIMD_EFORM;
}

size_t unescape_with(const Finders &f, char *buf, size_t len) {
  if (!buf) return 0;
  size_t r = f.find_char(buf, len, '\\'), w = r;
  while (r < len) {
    if (buf[r] != '\\') {
      size_t n = f.find_char(buf + r, len - r, '\\');
      memmove(buf + w, buf + r, n);
      r += n;
      w += n;
      continue;
    }
    if (r + 1 >= len) { // trailing backslash is kept
      buf[w++] = buf[r++];
      break;
    }
    const char e = buf[r + 1];
    switch (e) {
    case '"': case '\'': case '\\': buf[w++] = e; r += 2; continue;
    case '0': buf[w++] = '\0'; r += 2; continue;
    case 'n': buf[w++] = '\n'; r += 2; continue;
    case 'r': buf[w++] = '\r'; r += 2; continue;
    case 't': buf[w++] = '\t'; r += 2; continue;
    case 'x':
      if (r + 3 < len && hex_val(buf[r + 2]) >= 0 && hex_val(buf[r + 3]) >= 0) {
        buf[w++] = static_cast<char>(hex_val(buf[r + 2]) * 16 + hex_val(buf[r + 3]));
        r += 4;
        continue;
      }
      break;
    default:
      break;
    }
    buf[w++] = buf[r++]; // unknown sequence: keep the backslash
  }
  return w;
}

} // namespace

/* ------------------------------------------------------- byte-wise references */

namespace ln_simd_ref {

size_t find_char(const char *buf, size_t len, char c) {
  if (!buf || len == 0) return 0;
  for (size_t i = 0; i < len; ++i)
    if (buf[i] == c) return i;
  return len;
}

size_t find_char_set(const char *buf, size_t len, const char *chars) {
  if (!buf || !chars || !*chars) return len;
  ByteSet set(chars);
  for (size_t i = 0; i < len; ++i)
    if (set.in[static_cast<unsigned char>(buf[i])]) return i;
  return len;
}

size_t find_not_char_set(const char *buf, size_t len, const char *chars) {
  if (!buf || !chars) return len;
  ByteSet set(chars);
  for (size_t i = 0; i < len; ++i)
    if (!set.in[static_cast<unsigned char>(buf[i])]) return i;
  return len;
}

size_t skip_space(const char *buf, size_t len) {
  if (!buf) return 0;
  size_t i = 0;
  while (i < len && is_ws(static_cast<unsigned char>(buf[i]))) ++i;
  return i;
}

size_t find_space(const char *buf, size_t len) {
  if (!buf) return 0;
  for (size_t i = 0; i < len; ++i)
    if (is_ws(static_cast<unsigned char>(buf[i]))) return i;
  return len;
}

static const Finders kRef{find_char, find_char_set};

int word(const char *buf, size_t len, ln_span_t *span) { return word_with(kRef, buf, len, span); }
int char_to(const char *buf, size_t len, char delim, ln_span_t *span) {
  return char_to_with(kRef, buf, len, delim, span);
}
int char_to_set(const char *buf, size_t len, const char *chars, ln_span_t *span) {
  return char_to_set_with(kRef, buf, len, chars, span);
}
int string_to(const char *buf, size_t len, const char *delim, size_t delim_len, ln_span_t *span) {
  return string_to_with(kRef, buf, len, delim, delim_len, span);
}
int quoted(const char *buf, size_t len, ln_span_t *span) { return quoted_with(kRef, buf, len, span); }
int bracketed(const char *buf, size_t len, char open, char close, ln_span_t *span) {
  return bracketed_with(kRef, buf, len, open, close, span);
}

int iso_date(const char *buf, size_t len, ln_span_t *span) {
  if (!buf || !span) return LN_SIMD_EINVAL;
  if (len < 10 || !iso_shape_bytewise(buf) || !iso_ranges(buf)) return LN_SIMD_EFORM;
  set_span(span, buf, 10, 10);
  return LN_SIMD_OK;
}

int timestamp(const char *buf, size_t len, ln_span_t *span, int64_t *epoch_ms) {
  if (!buf || !span) return LN_SIMD_EINVAL;
  if (epoch_ms) *epoch_ms = 0;
  if (len > 0 && is_digit(static_cast<unsigned char>(buf[0]))) {
    if (len < 19 || !rfc5424_shape_bytewise(buf)) return LN_SIMD_EFORM;
    return rfc5424_rest(buf, len, span);
  }
  return rfc3164(buf, len, span);
}

size_t unescape(char *buf, size_t len) { return unescape_with(kRef, buf, len); }

} // namespace ln_simd_ref

/* ------------------------------------------------------------- SSE4.2 blocks */

namespace {

#if LN_SIMD_X86
#define LN_SSE42 __attribute__((target("sse4.2")))

// Needs SSE2 only (every x86-64 has it), so it is inlined where it is called.
// A tail shorter than a block is read as the block ending at the last byte
// when the text is that long, and byte by byte otherwise.
inline size_t sse_find_char(const char *b, size_t len, char c) {
  const __m128i n = _mm_set1_epi8(c);
  size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
    int m = _mm_movemask_epi8(_mm_cmpeq_epi8(v, n));
    if (m) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(m)));
  }
  if (i == len) return len;
  if (len >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + len - 16));
    const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, n))) >> (16 - (len - i));
    return m ? i + static_cast<size_t>(__builtin_ctz(m)) : len;
  }
  return i + ln_simd_ref::find_char(b + i, len - i, c);
}

// Bit k set when byte k of v is one of the set's characters. Sets of up to 64
// characters are compared in passes of 16.
struct SetChunks {
  __m128i chunk[4];
  int len[4];
  int n = 0;
};

LN_SSE42 bool load_set(const char *chars, SetChunks *s) {
  size_t n = strlen(chars);
  if (n > 64) return false;
  for (size_t off = 0; off < n; off += 16) {
    char tmp[16] = {};
    size_t k = n - off < 16 ? n - off : 16;
    memcpy(tmp, chars + off, k);
    s->chunk[s->n] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(tmp));
    s->len[s->n] = static_cast<int>(k);
    ++s->n;
  }
  return true;
}

LN_SSE42 unsigned set_mask(const SetChunks &s, __m128i v) {
  unsigned m = 0;
  for (int k = 0; k < s.n; ++k) {
    __m128i r = _mm_cmpestrm(s.chunk[k], s.len[k], v, 16,
                             _SIDD_UBYTE_OPS | _SIDD_CMP_EQUAL_ANY | _SIDD_BIT_MASK);
    m |= static_cast<unsigned>(_mm_cvtsi128_si32(r)) & 0xFFFFu;
  }
  return m;
}

LN_SSE42 size_t sse_find_char_set(const char *b, size_t len, const char *chars) {
  SetChunks s;
  if (!load_set(chars, &s)) return ln_simd_ref::find_char_set(b, len, chars);
  size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    unsigned m = set_mask(s, _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i)));
    if (m) return i + static_cast<size_t>(__builtin_ctz(m));
  }
  return i + ln_simd_ref::find_char_set(b + i, len - i, chars);
}

LN_SSE42 size_t sse_find_not_char_set(const char *b, size_t len, const char *chars) {
  SetChunks s;
  if (!load_set(chars, &s)) return ln_simd_ref::find_not_char_set(b, len, chars);
  size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    unsigned m = ~set_mask(s, _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i))) & 0xFFFFu;
    if (m) return i + static_cast<size_t>(__builtin_ctz(m));
  }
  return i + ln_simd_ref::find_not_char_set(b + i, len - i, chars);
}

// Whitespace as two ranges for the range mode of the string compare.
LN_SSE42 unsigned space_mask(__m128i v) {
  const __m128i ranges = _mm_setr_epi8(9, 13, 32, 32, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  __m128i r = _mm_cmpestrm(ranges, 4, v, 16, _SIDD_UBYTE_OPS | _SIDD_CMP_RANGES | _SIDD_BIT_MASK);
  return static_cast<unsigned>(_mm_cvtsi128_si32(r)) & 0xFFFFu;
}

LN_SSE42 size_t sse_skip_space(const char *b, size_t len) {
  size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    unsigned m = ~space_mask(_mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i))) & 0xFFFFu;
    if (m) return i + static_cast<size_t>(__builtin_ctz(m));
  }
  return i + ln_simd_ref::skip_space(b + i, len - i);
}

LN_SSE42 size_t sse_find_space(const char *b, size_t len) {
  size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    unsigned m = space_mask(_mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i)));
    if (m) return i + static_cast<size_t>(__builtin_ctz(m));
  }
  return i + ln_simd_ref::find_space(b + i, len - i);
}

// Bits of the 16-byte block that hold a decimal digit, and those equal to '-'.
LN_SSE42 unsigned digit_mask(__m128i v) {
  __m128i ge = _mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1));
  __m128i le = _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(ge, le)));
}
LN_SSE42 unsigned dash_mask(__m128i v) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('-'))));
}

constexpr unsigned kIsoDashNeed = (1u << 4) | (1u << 7);
constexpr unsigned kIsoDigitNeed = 0x0Fu | (1u << 5) | (1u << 6) | (1u << 8) | (1u << 9);
constexpr unsigned kRfc5424DigitNeed =
    kIsoDigitNeed | (1u << 11) | (1u << 12) | (1u << 14) | (1u << 15);

LN_SSE42 bool sse_shape(const char *b, unsigned digits_need) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b));
  return (digit_mask(v) & digits_need) == digits_need && (dash_mask(v) & kIsoDashNeed) == kIsoDashNeed;
}
#endif

size_t find_char_any(const char *b, size_t len, char c) {
#if LN_SIMD_X86
  if (use_sse()) return sse_find_char(b, len, c);
#endif
  return ln_simd_ref::find_char(b, len, c);
}

size_t find_char_set_any(const char *b, size_t len, const char *chars) {
  if (!b || !chars || !*chars) return len;
#if LN_SIMD_X86
  if (use_sse()) return sse_find_char_set(b, len, chars);
#endif
  return ln_simd_ref::find_char_set(b, len, chars);
}

const Finders kAny{find_char_any, find_char_set_any};

} // namespace

/* ---------------------------------------------------------------- public API */

const char *ln_simd_backend_name(void) { return use_sse() ? "sse42" : "bytewise"; }

int ln_simd_force_bytewise(int on) {
  int prev = g_force_bytewise ? 1 : 0;
  g_force_bytewise = on != 0;
  return prev;
}

size_t ln_simd_find_char(const char *buf, size_t len, char c) {
  if (!buf || len == 0) return 0;
  return find_char_any(buf, len, c);
}

size_t ln_simd_find_char_set(const char *buf, size_t len, const char *chars) {
  return find_char_set_any(buf, len, chars);
}

size_t ln_simd_find_not_char_set(const char *buf, size_t len, const char *chars) {
  if (!buf || !chars) return len;
#if LN_SIMD_X86
  if (use_sse()) return sse_find_not_char_set(buf, len, chars);
#endif
  return ln_simd_ref::find_not_char_set(buf, len, chars);
}

size_t ln_simd_skip_chars(const char *buf, size_t len, const char *chars) {
  return ln_simd_find_not_char_set(buf, len, chars);
}

size_t ln_simd_skip_space(const char *buf, size_t len) {
  if (!buf) return 0;
#if LN_SIMD_X86
  if (use_sse()) return sse_skip_space(buf, len);
#endif
  return ln_simd_ref::skip_space(buf, len);
}

size_t ln_simd_find_space(const char *buf, size_t len) {
  if (!buf) return 0;
#if LN_SIMD_X86
  if (use_sse()) return sse_find_space(buf, len);
#endif
  return ln_simd_ref::find_space(buf, len);
}

int ln_simd_word(const char *buf, size_t len, ln_span_t *span) {
  if (!buf || !span) return LN_SIMD_EINVAL;
  set_span(span, buf, 0, 0);
  if (len == 0 || buf[0] == ' ') return LN_SIMD_NOTFOUND;
  const size_t n = find_char_any(buf, len, ' '); // as word_with, without the table
  set_span(span, buf, n, n);
  return LN_SIMD_OK;
}
int ln_simd_char_to(const char *buf, size_t len, char delim, ln_span_t *span) {
  return char_to_with(kAny, buf, len, delim, span);
}
int ln_simd_char_to_set(const char *buf, size_t len, const char *chars, ln_span_t *span) {
  return char_to_set_with(kAny, buf, len, chars, span);
}
int ln_simd_string_to(const char *buf, size_t len, const char *delim, size_t delim_len,
                      ln_span_t *span) {
  return string_to_with(kAny, buf, len, delim, delim_len, span);
}
int ln_simd_quoted(const char *buf, size_t len, ln_span_t *span) {
  return quoted_with(kAny, buf, len, span);
}
int ln_simd_bracketed(const char *buf, size_t len, char open, char close, ln_span_t *span) {
  return bracketed_with(kAny, buf, len, open, close, span);
}
size_t ln_simd_unescape(char *buf, size_t len) { return unescape_with(kAny, buf, len); }

int ln_simd_iso_date(const char *buf, size_t len, ln_span_t *span) {
#if LN_SIMD_X86
  if (buf && span && len >= 16 && use_sse()) {
    if (!sse_shape(buf, kIsoDigitNeed) || !iso_ranges(buf)) return LN_SIMD_EFORM;
    set_span(span, buf, 10, 10);
    return LN_SIMD_OK;
  }
#endif
  return ln_simd_ref::iso_date(buf, len, span);
}

int ln_simd_timestamp(const char *buf, size_t len, ln_span_t *span, int64_t *epoch_ms) {
#if LN_SIMD_X86
  if (buf && span && len >= 19 && use_sse() && is_digit(static_cast<unsigned char>(buf[0]))) {
    if (epoch_ms) *epoch_ms = 0;
    if (!sse_shape(buf, kRfc5424DigitNeed)) return LN_SIMD_EFORM;
    return rfc5424_rest(buf, len, span);
  }
#endif
  return ln_simd_ref::timestamp(buf, len, span, epoch_ms);
}

// Numbers are short: one byte-wise pass.
namespace {
int decimal(const char *buf, size_t len, ln_number_t *r, bool allow_minus) {
  if (!buf || !r) return LN_SIMD_EINVAL;
  *r = ln_number_t{};
  size_t i = 0;
  if (i < len && (buf[i] == '+' || buf[i] == '-')) {
    if (buf[i] == '-') {
      if (!allow_minus) return LN_SIMD_EFORM;
      r->negative = true;
    }
    ++i;
  }
  const size_t d0 = i;
  uint64_t mag = 0;
  bool over = false;
  for (; i < len && is_digit(static_cast<unsigned char>(buf[i])); ++i) {
    uint64_t dig = static_cast<uint64_t>(buf[i] - '0');
    if (!over && (mag > (UINT64_MAX - dig) / 10))
      over = true;
    else if (!over)
      mag = mag * 10 + dig;
  }
  if (i == d0) return LN_SIMD_EFORM;
  r->consumed = i;
  if (!allow_minus) { // unsigned
    r->overflow = over;
    r->value = static_cast<int64_t>(over ? UINT64_MAX : mag);
    return LN_SIMD_OK;
  }
  // Both int64 bounds: a magnitude of 2^63 fits only when negative.
  const uint64_t limit = r->negative ? (1ull << 63) : static_cast<uint64_t>(INT64_MAX);
  if (over || mag > limit) {
    r->overflow = true;
    r->value = r->negative ? INT64_MIN : INT64_MAX;
  } else {
    r->value = r->negative ? static_cast<int64_t>(0 - mag) : static_cast<int64_t>(mag);
  }
  return LN_SIMD_OK;
}
} // namespace

int ln_simd_number(const char *buf, size_t len, ln_number_t *result) {
  return decimal(buf, len, result, true);
}

int ln_simd_unsigned(const char *buf, size_t len, ln_number_t *result) {
  return decimal(buf, len, result, false);
}

int ln_simd_hex(const char *buf, size_t len, ln_number_t *result) {
  if (!buf || !result) return LN_SIMD_EINVAL;
  *result = ln_number_t{};
  size_t i = 0;
  if (len >= 3 && buf[0] == '0' && (buf[1] == 'x' || buf[1] == 'X') && hex_val(buf[2]) >= 0) i = 2;
  const size_t d0 = i;
  uint64_t v = 0;
  for (; i < len && hex_val(static_cast<unsigned char>(buf[i])) >= 0; ++i) {
    if (v >> 60) result->overflow = true;
    v = (v << 4) | static_cast<uint64_t>(hex_val(static_cast<unsigned char>(buf[i])));
  }
  if (i == d0) return LN_SIMD_EFORM;
  result->consumed = i;
  result->value = static_cast<int64_t>(result->overflow ? UINT64_MAX : v);
  return LN_SIMD_OK;
}

int ln_simd_ipv4(const char *buf, size_t len, ln_ipv4_t *result) {
  if (!buf || !result) return LN_SIMD_EINVAL;
  *result = ln_ipv4_t{};
  if (len < 7) return LN_SIMD_EFORM;
  size_t i = 0;
  uint32_t addr = 0;
  for (int g = 0; g < 4; ++g) {
    if (g > 0) {
      if (i >= len || buf[i] != '.') return LN_SIMD_EFORM;
      ++i;
    }
    size_t s = i;
    unsigned v = 0;
    while (i < len && is_digit(static_cast<unsigned char>(buf[i]))) {
      if (i - s == 3) return LN_SIMD_EFORM; // a fourth digit
      v = v * 10 + static_cast<unsigned>(buf[i] - '0');
      ++i;
    }
    if (i == s || v > 255) return LN_SIMD_EFORM;
    result->octets[g] = static_cast<uint8_t>(v);
    addr = (addr << 8) | v;
  }
  result->addr = addr;
  result->consumed = i;
  result->valid = true;
  return LN_SIMD_OK;
}

// A port is ':' and one to five digits of at most 65535; anything else after
// the address leaves the ':' unconsumed and the port 0.
int ln_simd_ipv4_port(const char *buf, size_t len, ln_ipv4_t *ip, uint16_t *port) {
  if (!port) return LN_SIMD_EINVAL;
  *port = 0;
  int r = ln_simd_ipv4(buf, len, ip);
  if (r != LN_SIMD_OK) return r;
  size_t i = ip->consumed;
  if (i < len && buf[i] == ':') {
    size_t s = ++i;
    unsigned v = 0;
    while (i < len && i - s < 5 && is_digit(static_cast<unsigned char>(buf[i])))
      v = v * 10 + static_cast<unsigned>(buf[i++] - '0');
    if (i > s && v <= 65535 && !(i < len && is_digit(static_cast<unsigned char>(buf[i])))) {
      *port = static_cast<uint16_t>(v);
      ip->consumed = i;
    }
  }
  return LN_SIMD_OK;
}
