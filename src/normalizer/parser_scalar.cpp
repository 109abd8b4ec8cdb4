// Field parsers for single tokens: literals, numbers, words, character runs,
// quoted strings and the configurable "string" parser.
//
// Every matching function works on npb->str[0, npb->strLen) only; no parser
// relies on a terminating zero byte behind the message.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "normalizer/json_text.h"
#include "normalizer/parser.h"

namespace {

// "C" locale character classes, spelled out so that a changed locale or a
// byte above 0x7f can never widen them.
inline bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool is_alpha(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline bool is_xdigit(unsigned char c) {
  return is_digit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
inline int hexval(unsigned char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

char *dup_bytes(const char *s, size_t len) {
  char *p = static_cast<char *>(malloc(len + 1));
  if (!p) return nullptr;
  if (len) memcpy(p, s, len);
  p[len] = '\0';
  return p;
}

bool ieq(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::string_view str_of(fjson_object *o) {
  const char *s = fjson_object_get_string(o);
  if (!s) return {};
  return {s, static_cast<size_t>(fjson_object_get_string_len(o))};
}

// Reads "maxval" as a signed 64-bit integer: a JSON integer, or a string that
// holds nothing but a decimal integer.
bool read_int64(fjson_object *v, int64_t *out) {
  if (fjson_object_is_type(v, fjson_type_int)) {
    *out = fjson_object_get_int64(v);
    return true;
  }
  if (fjson_object_is_type(v, fjson_type_string)) {
    std::string s(str_of(v));
    if (s.empty()) return false;
    errno = 0;
    char *end = nullptr;
    long long x = strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *out = x;
    return true;
  }
  return false;
}

// Shared constructor of "number", "float" and "hexnumber": keys "maxval"
// (when has_max) and "format"; every problem is reported, none fails.
template <class D>
void read_num_params(ln_ctx ctx, fjson_object *json, const char *tname, bool has_max, D *d,
                     int64_t *maxval) {
  if (!json || !fjson_object_is_type(json, fjson_type_object)) return;
  struct fjson_object_iterator it = fjson_object_iter_begin(json);
  struct fjson_object_iterator end = fjson_object_iter_end(json);
  while (!fjson_object_iter_equal(&it, &end)) {
    const char *key = fjson_object_iter_peek_name(&it);
    fjson_object *val = fjson_object_iter_peek_value(&it);
    if (has_max && !strcmp(key, "maxval")) {
      int64_t m = 0;
      if (read_int64(val, &m))
        *maxval = m;
      else
        ln_errprintf(ctx, 0, "param 'maxval' must be integer but is: %s",
                     fjson_object_to_json_string(val));
    } else if (!strcmp(key, "format")) {
      const char *f = fjson_object_get_string(val);
      if (f && !strcmp(f, "number"))
        d->fmt_mode = FMT_AS_NUMBER;
      else if (f && !strcmp(f, "string"))
        d->fmt_mode = FMT_AS_STRING;
      else
        ln_errprintf(ctx, 0, "invalid value for %s:format %s", tname, f ? f : "(null)");
    } else if (!strcmp(key, "name") && fjson_object_is_type(val, fjson_type_string) &&
               str_of(val) == "-") {
      // a discarded field keeps its "name" key; nothing to do
    } else {
      ln_errprintf(ctx, 0, "invalid param for %s: %s", tname, key);
    }
    fjson_object_iter_next(&it);
  }
}

// Required text parameter of "string-to", "char-to" and "char-sep".
bool get_extradata(fjson_object *json, std::string_view *out) {
  fjson_object *v = nullptr;
  if (!json || !fjson_object_object_get_ex(json, "extradata", &v) || !v ||
      !fjson_object_is_type(v, fjson_type_string))
    return false;
  *out = str_of(v);
  return true;
}

} // namespace

/* ------------------------------------------------------------------ literal */

int ln_constructLiteral(ln_ctx ctx, struct fjson_object *json, void **pdata) {
  *pdata = nullptr;
  fjson_object *text = nullptr;
  if (!json || !fjson_object_object_get_ex(json, "text", &text) || !text) {
    ln_errprintf(ctx, 0, "literal type needs 'text' parameter");
    return LN_RC_BAD_CONFIG;
  }
  auto *d = static_cast<data_Literal *>(calloc(1, sizeof(data_Literal)));
  if (!d) return LN_RC_NO_MEMORY;
  std::string_view t = str_of(text);
  if (!fjson_object_is_type(text, fjson_type_string)) t = fjson_object_get_string(text);
  d->lit = dup_bytes(t.data(), t.size());
  d->len = t.size();
  const char *conf = fjson_object_to_json_string(json);
  d->json_conf = dup_bytes(conf, strlen(conf));
  if (!d->lit || !d->json_conf) {
    ln_destructLiteral(ctx, d);
    return LN_RC_NO_MEMORY;
  }
  *pdata = d;
  return 0;
}

void ln_destructLiteral(ln_ctx, void *pdata) {
  auto *d = static_cast<data_Literal *>(pdata);
  if (!d) return;
  free(d->lit);
  free(d->json_conf);
  free(d);
}

int ln_v2_parseLiteral(npb_t *npb, size_t *offs, void *pdata, const char *, size_t *parsed,
                       struct fjson_object **value) {
  *parsed = 0;
  auto *d = static_cast<data_Literal *>(pdata);
  if (!d) return LN_RC_NO_MATCH;
  size_t o = *offs;
  if (o > npb->strLen || npb->strLen - o < d->len) return LN_RC_NO_MATCH;
  if (d->len && memcmp(npb->str + o, d->lit, d->len) != 0) return LN_RC_NO_MATCH;
  *parsed = d->len;
  return ln_json_put_string(value, d->lit, d->len);
}

const char *ln_DataForDisplayLiteral(ln_ctx, void *pdata) {
  auto *d = static_cast<data_Literal *>(pdata);
  return d && d->lit ? d->lit : "";
}

const char *ln_JsonConfLiteral(ln_ctx, void *pdata) {
  auto *d = static_cast<data_Literal *>(pdata);
  return d && d->json_conf ? d->json_conf : "";
}

int ln_combineData_Literal(void *org, void *add) {
  auto *o = static_cast<data_Literal *>(org);
  auto *a = static_cast<data_Literal *>(add);
  if (!o || !a) return -1;
  char *n = static_cast<char *>(realloc(o->lit, o->len + a->len + 1));
  if (!n) return -1;
  if (a->len) memcpy(n + o->len, a->lit, a->len);
  o->len += a->len;
  n[o->len] = '\0';
  o->lit = n;
  return 0;
}

/* ------------------------------------------------------ number and friends */

int ln_constructNumber(ln_ctx ctx, struct fjson_object *json, void **pdata) {
  auto *d = static_cast<data_Number *>(calloc(1, sizeof(data_Number)));
  if (!d) return LN_RC_NO_MEMORY;
  int64_t maxval = 0;
  read_num_params(ctx, json, "number", true, d, &maxval);
  d->maxval = maxval;
  *pdata = d;
  return 0;
}

void ln_destructNumber(ln_ctx, void *pdata) { free(pdata); }

// Digits 0-9 as a signed 64-bit value. A run whose value does not fit is a
// match only where no number is needed (text format without a limit); it
// never yields a wrapped value.
int ln_v2_parseNumber(npb_t *npb, size_t *offs, void *pdata, const char *, size_t *parsed,
                      struct fjson_object **value) {
  *parsed = 0;
  auto *d = static_cast<data_Number *>(pdata);
  const char *c = npb->str;
  size_t i = *offs;
  int64_t val = 0;
  bool overflow = false;
  for (; i < npb->strLen && is_digit(static_cast<unsigned char>(c[i])); ++i) {
    int dig = c[i] - '0';
    if (!overflow) {
      if (val > (INT64_MAX - dig) / 10)
        overflow = true;
      else
        val = val * 10 + dig;
    }
  }
  if (i == *offs) return LN_RC_NO_MATCH;
  int64_t maxval = d ? d->maxval : 0;
  int mode = d ? d->fmt_mode : FMT_AS_STRING;
  if (maxval > 0 && (overflow || val > maxval)) {
    if (!overflow)
      ln_dbgprintf(npb->ctx, "number parser: val too large (max %lu, actual %lu)",
                   static_cast<unsigned long>(maxval), static_cast<unsigned long>(val));
    return LN_RC_NO_MATCH;
  }
  if (overflow && mode == FMT_AS_NUMBER) return LN_RC_NO_MATCH;
  *parsed = i - *offs;
  if (!value) return 0;
  if (mode == FMT_AS_NUMBER) {
    *value = fjson_object_new_int64(val);
    return *value ? 0 : LN_RC_NO_MEMORY;
  }
  return ln_json_put_string(value, c + *offs, *parsed);
}

int ln_constructFloat(ln_ctx ctx, struct fjson_object *json, void **pdata) {
  auto *d = static_cast<data_Float *>(calloc(1, sizeof(data_Float)));
  if (!d) return LN_RC_NO_MEMORY;
  read_num_params(ctx, json, "float", false, d, nullptr);
  *pdata = d;
  return 0;
}

void ln_destructFloat(ln_ctx, void *pdata) { free(pdata); }

// Optional '-', then digits with at most one '.'. In number format the value
// needs at least one digit (a lone "-" or "." is no number), and a text that
// is not valid JSON number syntax ("5.", ".5", "007") is written in its
// canonical form so that the serialised result stays valid JSON.
int ln_v2_parseFloat(npb_t *npb, size_t *offs, void *pdata, const char *, size_t *parsed,
                     struct fjson_object **value) {
  *parsed = 0;
  auto *d = static_cast<data_Float *>(pdata);
  int mode = d ? d->fmt_mode : FMT_AS_STRING;
  const char *c = npb->str;
  size_t start = *offs, i = start;
  if (i >= npb->strLen) return LN_RC_NO_MATCH;
  bool neg = false, seen_dot = false;
  size_t int_b = 0, int_e = 0, frac_b = 0, frac_e = 0;
  if (c[i] == '-') {
    neg = true;
    ++i;
  }
  int_b = int_e = i;
  double val = 0, div = 1;
  for (; i < npb->strLen; ++i) {
    unsigned char ch = static_cast<unsigned char>(c[i]);
    if (ch == '.') {
      if (seen_dot) break;
      seen_dot = true;
      frac_b = frac_e = i + 1;
      continue;
    }
    if (!is_digit(ch)) break;
    if (seen_dot) {
      div *= 10;
      val += (ch - '0') / div;
      frac_e = i + 1;
    } else {
      val = val * 10 + (ch - '0');
      int_e = i + 1;
    }
  }
  if (i == start) return LN_RC_NO_MATCH;
  size_t ndig = (int_e - int_b) + (seen_dot ? frac_e - frac_b : 0);
  if (mode == FMT_AS_NUMBER && ndig == 0) return LN_RC_NO_MATCH;
  *parsed = i - start;
  if (!value) return 0;
  if (mode != FMT_AS_NUMBER) return ln_json_put_string(value, c + start, *parsed);
  if (neg) val = -val;
  try {
    std::string txt(c + start, *parsed);
    // JSON number: -?(0|[1-9][0-9]*)(.[0-9]+)?
    size_t ilen = int_e - int_b, flen = seen_dot ? frac_e - frac_b : 0;
    bool valid = ilen > 0 && (ilen == 1 || c[int_b] != '0') && (!seen_dot || flen > 0);
    if (!valid) {
      txt.clear();
      if (neg) txt += '-';
      size_t k = int_b;
      while (k + 1 < int_e && c[k] == '0') ++k; // drop leading zeros, keep one
      if (k < int_e)
        txt.append(c + k, int_e - k);
      else
        txt += '0';
      if (flen) {
        txt += '.';
        txt.append(c + frac_b, flen);
      }
    }
    *value = fjson_object_new_double_s(val, txt.c_str());
  } catch (const std::bad_alloc &) {
    *value = nullptr;
  }
  return *value ? 0 : LN_RC_NO_MEMORY;
}

int ln_constructHexNumber(ln_ctx ctx, struct fjson_object *json, void **pdata) {
  auto *d = static_cast<data_HexNumber *>(calloc(1, sizeof(data_HexNumber)));
  if (!d) return LN_RC_NO_MEMORY;
  int64_t maxval = 0;
  read_num_params(ctx, json, "hexnumber", true, d, &maxval);
  d->maxval = static_cast<uint64_t>(maxval);
  *pdata = d;
  return 0;
}

void ln_destructHexNumber(ln_ctx, void *pdata) { free(pdata); }

// "0x" and hex digits, followed by whitespace. As for "number", a value that
// does not fit (in number format: above the largest JSON integer, 2^63-1)
// does not match instead of wrapping.
int ln_v2_parseHexNumber(npb_t *npb, size_t *offs, void *pdata, const char *, size_t *parsed,
                         struct fjson_object **value) {
  *parsed = 0;
  auto *d = static_cast<data_HexNumber *>(pdata);
  const char *c = npb->str;
  size_t i = *offs;
  if (npb->strLen < 2 || i > npb->strLen - 2 || c[i] != '0' || c[i + 1] != 'x')
    return LN_RC_NO_MATCH;
  i += 2;
  uint64_t val = 0;
  bool overflow = false;
  for (; i < npb->strLen && is_xdigit(static_cast<unsigned char>(c[i])); ++i) {
    if (val >> 60) overflow = true;
    if (!overflow) val = (val << 4) | static_cast<uint64_t>(hexval(static_cast<unsigned char>(c[i])));
  }
  if (i >= npb->strLen || !is_space(static_cast<unsigned char>(c[i]))) return LN_RC_NO_MATCH;
  uint64_t maxval = d ? d->maxval : 0;
  int mode = d ? d->fmt_mode : FMT_AS_STRING;
  if (maxval != 0 && (overflow || val > maxval)) {
    if (!overflow)
      ln_dbgprintf(npb->ctx, "hexnumber parser: val too large (max %lu, actual %lu)",
                   static_cast<unsigned long>(maxval), static_cast<unsigned long>(val));
    return LN_RC_NO_MATCH;
  }
  if (mode == FMT_AS_NUMBER && (overflow || val > static_cast<uint64_t>(INT64_MAX)))
    return LN_RC_NO_MATCH;
  *parsed = i - *offs;
  if (!value) return 0;
  if (mode == FMT_AS_NUMBER) {
    *value = fjson_object_new_int64(static_cast<int64_t>(val));
    return *value ? 0 : LN_RC_NO_MEMORY;
  }
  return ln_json_put_string(value, c + *offs, *parsed);
}

/* --------------------------------------------------------------- char runs */

int ln_v2_parseWhitespace(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                          struct fjson_object **value) {
  *parsed = 0;
  size_t i = *offs;
  while (i < npb->strLen && is_space(static_cast<unsigned char>(npb->str[i]))) ++i;
  if (i == *offs) return LN_RC_NO_MATCH;
  *parsed = i - *offs;
  return ln_json_put_string(value, npb->str + *offs, *parsed);
}

int ln_v2_parseWord(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                    struct fjson_object **value) {
  *parsed = 0;
  size_t i = *offs;
  if (i < npb->strLen) {
    const void *sp = memchr(npb->str + i, ' ', npb->strLen - i);
    i = sp ? static_cast<size_t>(static_cast<const char *>(sp) - npb->str) : npb->strLen;
  }
  if (i <= *offs) return LN_RC_NO_MATCH;
  *parsed = i - *offs;
  return ln_json_put_string(value, npb->str + *offs, *parsed);
}

int ln_v2_parseAlpha(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                     struct fjson_object **value) {
  *parsed = 0;
  size_t i = *offs;
  while (i < npb->strLen && is_alpha(static_cast<unsigned char>(npb->str[i]))) ++i;
  if (i == *offs) return LN_RC_NO_MATCH;
  *parsed = i - *offs;
  return ln_json_put_string(value, npb->str + *offs, *parsed);
}

int ln_v2_parseRest(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                    struct fjson_object **value) {
  *parsed = 0;
  if (*offs > npb->strLen) return LN_RC_NO_MATCH;
  *parsed = npb->strLen - *offs;
  return ln_json_put_string(value, npb->str + *offs, *parsed);
}

/* ---------------------------------------------------------------- string-to */

int ln_constructStringTo(ln_ctx ctx, struct fjson_object *json, void **pdata) {
  std::string_view ed;
  if (!get_extradata(json, &ed)) {
    ln_errprintf(ctx, 0, "string-to type needs 'extradata' parameter");
    return LN_RC_BAD_CONFIG;
  }
  auto *d = static_cast<data_StringTo *>(calloc(1, sizeof(data_StringTo)));
  if (!d) return LN_RC_NO_MEMORY;
  d->toFind = dup_bytes(ed.data(), ed.size());
  d->len = ed.size();
  if (!d->toFind) {
    free(d);
    return LN_RC_NO_MEMORY;
  }
  *pdata = d;
  return 0;
}

void ln_destructStringTo(ln_ctx, void *pdata) {
  auto *d = static_cast<data_StringTo *>(pdata);
  if (!d) return;
  free(d->toFind);
  free(d);
}

int ln_v2_parseStringTo(npb_t *npb, size_t *offs, void *pdata, const char *, size_t *parsed,
                        struct fjson_object **value) {
  *parsed = 0;
  auto *d = static_cast<data_StringTo *>(pdata);
  if (!d || d->len < 2) return LN_RC_NO_MATCH;
  size_t o = *offs;
  if (o >= npb->strLen) return LN_RC_NO_MATCH;
  std::string_view hay(npb->str + o + 1, npb->strLen - o - 1);
  size_t pos = hay.find(std::string_view(d->toFind, d->len));
  if (pos == std::string_view::npos) return LN_RC_NO_MATCH;
  *parsed = pos + 1;
  return ln_json_put_string(value, npb->str + o, *parsed);
}

/* ------------------------------------------------------ char-to / char-sep */

namespace {
template <class D>
int construct_terms(ln_ctx ctx, fjson_object *json, void **pdata, const char *msg) {
  std::string_view ed;
  if (!get_extradata(json, &ed)) {
    ln_errprintf(ctx, 0, "%s", msg);
    return LN_RC_BAD_CONFIG;
  }
  auto *d = static_cast<D *>(calloc(1, sizeof(D)));
  if (!d) return LN_RC_NO_MEMORY;
  d->term_chars = dup_bytes(ed.data(), ed.size());
  if (!d->term_chars) {
    free(d);
    return LN_RC_NO_MEMORY;
  }
  d->n_term_chars = ed.size();
  for (unsigned char ch : ed) d->term[ch] = true;
  *pdata = d;
  return 0;
}
} // namespace

int ln_constructCharTo(ln_ctx ctx, struct fjson_object *json, void **pdata) {
  return construct_terms<data_CharTo>(ctx, json, pdata, "char-to type needs 'extradata' parameter");
}

void ln_destructCharTo(ln_ctx, void *pdata) {
  auto *d = static_cast<data_CharTo *>(pdata);
  if (!d) return;
  free(d->term_chars);
  free(d->data_for_display);
  free(d);
}

int ln_v2_parseCharTo(npb_t *npb, size_t *offs, void *pdata, const char *, size_t *parsed,
                      struct fjson_object **value) {
  *parsed = 0;
  auto *d = static_cast<data_CharTo *>(pdata);
  if (!d) return LN_RC_NO_MATCH;
  size_t i = *offs;
  while (i < npb->strLen && !d->term[static_cast<unsigned char>(npb->str[i])]) ++i;
  if (i == *offs || i >= npb->strLen) return LN_RC_NO_MATCH;
  *parsed = i - *offs;
  return ln_json_put_string(value, npb->str + *offs, *parsed);
}

const char *ln_DataForDisplayCharTo(ln_ctx, void *pdata) {
  auto *d = static_cast<data_CharTo *>(pdata);
  if (!d) return "malloc error";
  if (!d->data_for_display) {
    size_t n = d->n_term_chars;
    char *p = static_cast<char *>(malloc(n + 10));
    if (!p) return "malloc error";
    memcpy(p, "char-to{", 8);
    if (n) memcpy(p + 8, d->term_chars, n);
    p[8 + n] = '}';
    p[9 + n] = '\0';
    d->data_for_display = p;
  }
  return d->data_for_display;
}

int ln_constructCharSeparated(ln_ctx ctx, struct fjson_object *json, void **pdata) {
  return construct_terms<data_CharSeparated>(ctx, json, pdata,
                                             "char-separated type needs 'extradata' parameter");
}

void ln_destructCharSeparated(ln_ctx, void *pdata) {
  auto *d = static_cast<data_CharSeparated *>(pdata);
  if (!d) return;
  free(d->term_chars);
  free(d);
}

int ln_v2_parseCharSeparated(npb_t *npb, size_t *offs, void *pdata, const char *, size_t *parsed,
                             struct fjson_object **value) {
  *parsed = 0;
  auto *d = static_cast<data_CharSeparated *>(pdata);
  if (!d || *offs > npb->strLen) return LN_RC_NO_MATCH;
  size_t i = *offs;
  while (i < npb->strLen && !d->term[static_cast<unsigned char>(npb->str[i])]) ++i;
  *parsed = i - *offs;
  return ln_json_put_string(value, npb->str + *offs, *parsed);
}

/* ------------------------------------------------------------ quoted texts */

int ln_v2_parseQuotedString(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                            struct fjson_object **value) {
  *parsed = 0;
  size_t o = *offs;
  if (o >= npb->strLen || npb->strLen - o < 2 || npb->str[o] != '"') return LN_RC_NO_MATCH;
  const void *q = memchr(npb->str + o + 1, '"', npb->strLen - o - 1);
  if (!q) return LN_RC_NO_MATCH;
  size_t close = static_cast<size_t>(static_cast<const char *>(q) - npb->str);
  *parsed = close + 1 - o;
  return ln_json_put_string(value, npb->str + o + 1, close - o - 1);
}

int ln_constructOpQuotedString(ln_ctx ctx, struct fjson_object *json, void **pdata) {
  bool esc = false;
  fjson_object *v = nullptr;
  if (json && fjson_object_object_get_ex(json, "escape", &v)) {
    if (!v || !fjson_object_is_type(v, fjson_type_boolean)) {
      ln_errprintf(ctx, 0, "op-quoted-string's 'escape' field should be boolean");
      return LN_RC_BAD_CONFIG;
    }
    esc = fjson_object_get_boolean(v);
  }
  auto *d = static_cast<data_OpQuotedString *>(calloc(1, sizeof(data_OpQuotedString)));
  if (!d) return LN_RC_NO_MEMORY;
  d->escape = esc;
  *pdata = d;
  return 0;
}

void ln_destructOpQuotedString(ln_ctx, void *pdata) { free(pdata); }

int ln_v2_parseOpQuotedString(npb_t *npb, size_t *offs, void *pdata, const char *name,
                              size_t *parsed, struct fjson_object **value) {
  *parsed = 0;
  auto *d = static_cast<data_OpQuotedString *>(pdata);
  const char *c = npb->str;
  size_t n = npb->strLen, o = *offs;
  if (o >= n) return LN_RC_NO_MATCH;
  if (c[o] != '"') return ln_v2_parseWord(npb, offs, nullptr, name, parsed, value);
  size_t i = o + 1;
  if (!d || !d->escape) {
    const void *q = i < n ? memchr(c + i, '"', n - i) : nullptr;
    if (!q) return LN_RC_NO_MATCH;
    size_t close = static_cast<size_t>(static_cast<const char *>(q) - c);
    *parsed = close + 1 - o;
    return ln_json_put_string(value, c + i, close - i);
  }
  // The closing quote is the first one after an even run of backslashes.
  size_t bs = 0;
  for (; i < n; ++i) {
    if (c[i] == '\\') {
      ++bs;
    } else {
      if (c[i] == '"' && bs % 2 == 0) break;
      bs = 0;
    }
  }
  if (i >= n) return LN_RC_NO_MATCH;
  size_t close = i;
  *parsed = close + 1 - o;
  if (!value) return 0;
  try {
    std::string v;
    v.reserve(close - o - 1);
    for (size_t k = o + 1; k < close; ++k) {
      if (c[k] == '\\' && k + 1 < close && (c[k + 1] == '\\' || c[k + 1] == '"')) {
        v += c[k + 1];
        ++k;
      } else {
        v += c[k];
      }
    }
    return ln_json_put_string(value, v.data(), v.size());
  } catch (const std::bad_alloc &) {
    *parsed = 0;
    return LN_RC_NO_MEMORY;
  }
}

/* ------------------------------------------------------------------- string */

namespace {
void permit_class(ln_ctx ctx, data_String *d, std::string_view cls) {
  auto range = [d](int a, int b) {
    for (int ch = a; ch <= b; ++ch) d->perm_chars[ch] = true;
  };
  if (ieq(cls, "digit")) {
    range('0', '9');
  } else if (ieq(cls, "hexdigit")) {
    range('0', '9');
    range('A', 'F');
    range('a', 'f');
  } else if (ieq(cls, "alpha")) {
    range('A', 'Z');
    range('a', 'z');
  } else if (ieq(cls, "alnum")) {
    range('0', '9');
    range('A', 'Z');
    range('a', 'z');
  } else {
    ln_errprintf(ctx, 0, "invalid character class '%s'", std::string(cls).c_str());
  }
}

void permit_chars(data_String *d, std::string_view chars) {
  for (unsigned char ch : chars) d->perm_chars[ch] = true;
}

int string_option(ln_ctx ctx, data_String *d, const char *key, fjson_object *val,
                  bool *last_mode_none) {
  std::string_view k(key);
  std::string sval(str_of(val));
  if (ieq(k, "quoting.mode")) {
    if (ieq(sval, "auto"))
      d->quoteMode = ST_QUOTE_AUTO;
    else if (ieq(sval, "none"))
      d->quoteMode = ST_QUOTE_NONE;
    else if (ieq(sval, "required"))
      d->quoteMode = ST_QUOTE_REQD;
    else {
      ln_errprintf(ctx, 0, "invalid quoting.mode for string parser: %s", sval.c_str());
      return LN_RC_BAD_CONFIG;
    }
    *last_mode_none = d->quoteMode == ST_QUOTE_NONE;
  } else if (ieq(k, "quoting.escape.mode")) {
    if (ieq(sval, "none"))
      d->flags.esc_md = 0;
    else if (ieq(sval, "backslash"))
      d->flags.esc_md = ST_ESC_BACKSLASH;
    else if (ieq(sval, "double"))
      d->flags.esc_md = ST_ESC_DOUBLE;
    else if (ieq(sval, "both"))
      d->flags.esc_md = ST_ESC_BACKSLASH | ST_ESC_DOUBLE;
    else {
      ln_errprintf(ctx, 0, "invalid quoting.escape.mode for string parser: %s", sval.c_str());
      return LN_RC_BAD_CONFIG;
    }
  } else if (ieq(k, "quoting.char.begin") || ieq(k, "quoting.char.end")) {
    bool begin = ieq(k, "quoting.char.begin");
    if (sval.size() != 1) {
      ln_errprintf(ctx, 0,
                   begin ? "quoting.char.begin must be exactly one character but is: '%s'"
                         : "quoting.char.end must be exactly one character but is: '%s'",
                   sval.c_str());
      return LN_RC_BAD_CONFIG;
    }
    (begin ? d->qchar_begin : d->qchar_end) = sval[0];
  } else if (ieq(k, "matching.mode")) {
    if (ieq(sval, "strict"))
      d->matching = ST_MATCH_EXACT;
    else if (ieq(sval, "lazy"))
      d->matching = ST_MATCH_LAZY;
    else {
      ln_errprintf(ctx, 0, "invalid matching.mode for string parser: %s", sval.c_str());
      return LN_RC_BAD_CONFIG;
    }
  } else if (ieq(k, "option.dashIsEmpty")) {
    d->dashIsEmpty = fjson_object_get_boolean(val) ? 1 : 0;
  } else if (ieq(k, "matching.permitted")) {
    memset(d->perm_chars, 0, sizeof d->perm_chars);
    if (fjson_object_is_type(val, fjson_type_string)) {
      permit_chars(d, str_of(val));
    } else if (fjson_object_is_type(val, fjson_type_array)) {
      int n = fjson_object_array_length(val);
      for (int i = 0; i < n; ++i) {
        fjson_object *el = fjson_object_array_get_idx(val, i);
        if (!el || !fjson_object_is_type(el, fjson_type_object)) continue;
        fjson_object *x = nullptr;
        if (fjson_object_object_get_ex(el, "chars", &x) && x) permit_chars(d, str_of(x));
        if (fjson_object_object_get_ex(el, "class", &x) && x) permit_class(ctx, d, str_of(x));
      }
    } else {
      ln_errprintf(ctx, 0, "matching.permitted is invalid object type, given as '%s",
                   fjson_object_to_json_string(val));
    }
  } else if (k == "name" && sval == "-") {
    // A discarded field keeps its "-" name among the parameters; like the
    // other parsers, accept it without a message.
  } else {
    ln_errprintf(ctx, 0, "invalid param for string: %s", key);
  }
  return 0;
}
} // namespace

int ln_constructString(ln_ctx ctx, struct fjson_object *json, void **pdata) {
  *pdata = nullptr;
  auto *d = static_cast<data_String *>(calloc(1, sizeof(data_String)));
  if (!d) return LN_RC_NO_MEMORY;
  d->quoteMode = ST_QUOTE_AUTO;
  d->flags.strip_quotes = 1;
  d->flags.esc_md = ST_ESC_BACKSLASH | ST_ESC_DOUBLE;
  d->matching = ST_MATCH_EXACT;
  d->qchar_begin = d->qchar_end = '"';
  memset(d->perm_chars, 1, sizeof d->perm_chars);
  bool last_mode_none = false;
  int r = 0;
  try {
    if (json && fjson_object_is_type(json, fjson_type_object)) {
      struct fjson_object_iterator it = fjson_object_iter_begin(json);
      struct fjson_object_iterator end = fjson_object_iter_end(json);
      while (r == 0 && !fjson_object_iter_equal(&it, &end)) {
        r = string_option(ctx, d, fjson_object_iter_peek_name(&it),
                          fjson_object_iter_peek_value(&it), &last_mode_none);
        fjson_object_iter_next(&it);
      }
    }
  } catch (const std::bad_alloc &) {
    r = LN_RC_NO_MEMORY;
  }
  if (r != 0) {
    free(d);
    return r;
  }
  if (last_mode_none) d->flags.esc_md = 0;
  *pdata = d;
  return 0;
}

void ln_destructString(ln_ctx, void *pdata) { free(pdata); }

int ln_v2_parseString(npb_t *npb, size_t *offs, void *pdata, const char *, size_t *parsed,
                      struct fjson_object **value) {
  *parsed = 0;
  auto *d = static_cast<data_String *>(pdata);
  if (!d) return LN_RC_NO_MATCH;
  const char *c = npb->str;
  const size_t n = npb->strLen, o = *offs;
  if (o >= n) return LN_RC_NO_MATCH;
  const bool esc_bs = d->flags.esc_md & ST_ESC_BACKSLASH;
  const bool esc_dq = d->flags.esc_md & ST_ESC_DOUBLE;
  bool quoted = false;
  if (d->quoteMode == ST_QUOTE_REQD) {
    if (c[o] != d->qchar_begin) return LN_RC_NO_MATCH;
    quoted = true;
  } else if (d->quoteMode == ST_QUOTE_AUTO) {
    quoted = c[o] == d->qchar_begin;
  }
  size_t i = quoted ? o + 1 : o;
  const size_t vbeg = i;
  bool has_esc = false, closed = false;
  while (i < n) {
    unsigned char ch = static_cast<unsigned char>(c[i]);
    if (quoted && c[i] == d->qchar_end) {
      if (esc_dq && i + 1 < n && c[i + 1] == d->qchar_end) {
        has_esc = true;
        i += 2;
        continue;
      }
      closed = true;
      break;
    }
    if (ch == '\\' && esc_bs && i + 1 < n) {
      has_esc = true;
      ++i;
      ch = static_cast<unsigned char>(c[i]);
    }
    if (!quoted && ch == ' ') break;
    if (!d->perm_chars[ch]) {
      if (quoted) return LN_RC_NO_MATCH;
      break;
    }
    ++i;
  }
  if (quoted && !closed) return LN_RC_NO_MATCH;
  const size_t vend = i;
  if (!quoted && vend == vbeg) return LN_RC_NO_MATCH;
  const size_t fend = quoted ? vend + 1 : vend; // end of the whole field
  if (d->matching == ST_MATCH_EXACT && fend < n && c[fend] != ' ') return LN_RC_NO_MATCH;
  *parsed = fend - o;
  if (!value) return 0;
  if (d->dashIsEmpty && vend - vbeg == 1 && c[vbeg] == '-') return ln_json_put_string(value, "", 0);
  if (!has_esc) return ln_json_put_string(value, c + vbeg, vend - vbeg);
  try {
    std::string v;
    v.reserve(vend - vbeg);
    for (size_t k = vbeg; k < vend; ++k) {
      if (quoted && esc_dq && c[k] == d->qchar_end && k + 1 < vend && c[k + 1] == d->qchar_end) {
        v += c[k];
        ++k;
      } else if (esc_bs && c[k] == '\\' && k + 1 < vend) {
        v += c[k + 1];
        ++k;
      } else {
        v += c[k];
      }
    }
    return ln_json_put_string(value, v.data(), v.size());
  } catch (const std::bad_alloc &) {
    *parsed = 0;
    return LN_RC_NO_MEMORY;
  }
}
