// Field parsers for structured payloads: JSON, CEE, name=value lists, CEF,
// Check Point LEA, iptables field lists, Cisco interface specs and the
// "repeat" combinator. Every parser stays inside npb->str[0, strLen): messages
// are not NUL-terminated, and libfastjson's tokener is always given an
// explicit length.
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include <strings.h>
#include <sys/types.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "normalizer/json_text.h"
#include "normalizer/parser.h"
#include "normalizer/parser_members.h"
#include "normalizer/rewrite.h"

namespace {

// Byte classes by table: the payload scanners test every byte.
enum : uint8_t { kSpaceByte = 1, kAlnumByte = 2, kNvNameByte = 4, kCefKeyByte = 8 };
struct ByteClasses {
  uint8_t of[256] = {};
  constexpr ByteClasses() {
    for (const char c : {' ', '\t', '\n', '\v', '\f', '\r'}) of[static_cast<unsigned char>(c)] |= kSpaceByte;
    for (int c = 0; c < 256; ++c)
      if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        of[c] |= kAlnumByte | kNvNameByte | kCefKeyByte;
    for (const char c : {'-', '.', '_'}) of[static_cast<unsigned char>(c)] |= kNvNameByte;
    for (const char c : {'_', '.'}) of[static_cast<unsigned char>(c)] |= kCefKeyByte;
  }
};
constexpr ByteClasses kBytes;

// The first i' >= i with s[i'] == a or s[i'] == b, or len: sixteen bytes at
// a time where the scanners pass over long runs of ordinary bytes.
inline size_t findEither(const char *s, size_t i, size_t len, char a, char b) {
#ifdef __SSE2__
  const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b);
  for (; i + 16 <= len; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
    const unsigned m =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb))));
    if (m) return i + static_cast<size_t>(__builtin_ctz(m));
  }
#endif
  while (i < len && s[i] != a && s[i] != b) ++i;
  return i;
}

inline bool isSpace(char c) { return kBytes.of[static_cast<unsigned char>(c)] & kSpaceByte; }

// The first i' >= i with s[i'] a space byte (' ', '\t', '\n', '\v', '\f',
// '\r') or, with backslash, a '\\'; or len.
inline size_t findSpace(const char *s, size_t i, size_t len, bool backslash) {
#ifdef __SSE2__
  const __m128i blank = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t'), four = _mm_set1_epi8(4),
                bs = _mm_set1_epi8(backslash ? '\\' : ' ');
  for (; i + 16 <= len; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
    const __m128i t = _mm_sub_epi8(v, tab); // '\t'..'\r' become 0..4
    const __m128i ctl = _mm_cmpeq_epi8(_mm_min_epu8(t, four), t);
    const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_or_si128(ctl, _mm_or_si128(_mm_cmpeq_epi8(v, blank), _mm_cmpeq_epi8(v, bs)))));
    if (m) return i + static_cast<size_t>(__builtin_ctz(m));
  }
#endif
  while (i < len && !isSpace(s[i]) && !(backslash && s[i] == '\\')) ++i;
  return i;
}

inline bool isBlank(char c) { return c == ' '; }
inline bool isDigit(char c) { return c >= '0' && c <= '9'; }
inline bool isAlnum(char c) { return kBytes.of[static_cast<unsigned char>(c)] & kAlnumByte; }

struct JsonDeleter {
  void operator()(struct fjson_object *o) const { fjson_object_put(o); }
};
using JsonPtr = std::unique_ptr<struct fjson_object, JsonDeleter>;

// Adds a string member, replacing an existing one of the same name. Without
// a rewrite table the key is used as it is; with one, a key without an entry
// is dropped and the others are renamed (and lower-cased when asked).
// Returns false when memory runs out.
bool addRewritten(struct fjson_object *obj, const ln_rw_tab *tab, std::string_view key,
                  std::string_view val) {
  std::string name, lowered;
  std::string_view text = val;
  if (tab != nullptr) {
    const struct ln_rw_ent *ent = ln_rw_lookup(tab, key.data(), key.size());
    if (ent == nullptr) return true;
    name.assign(ent->dst, ent->dlen);
    if (ent->lower) {
      lowered.assign(val);
      for (char &c : lowered)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      text = lowered;
    }
  } else {
    name.assign(key);
  }
  struct fjson_object *v = ln_json_string(text.data(), text.size());
  if (v == nullptr) return false;
  fjson_object_object_add(obj, name.c_str(), v);
  return true;
}

const ln_rw_tab *rewriteTable(npb_t *npb) {
  if (npb->prs == nullptr || npb->ctx == nullptr) return nullptr;
  return ln_rewrite_tab_for_parser(npb->ctx, npb->prs);
}

// The walker's sink: members go into the libfastjson objects of the value
// and of cef's "Extensions", through the rewrite table of the edge for the
// group rw_group, replacing a member of the same name. The objects and the
// table are looked up only once a member comes: most attempts of an edge
// fail before that.
class ObjectSink final : public ln_member_sink {
public:
  ObjectSink(npb_t *npb, bool rewrite, int rw_group) : npb_(npb), rewrite_(rewrite), rw_group_(rw_group) {}

  int member(int group, std::string_view key, const char *val, size_t vlen) override {
    JsonPtr &target = group == LN_MEMBERS_CEF_EXT ? ext_ : obj_;
    if (!target && !(target = JsonPtr(fjson_object_new_object()))) return LN_RC_NO_MEMORY;
    if (val == nullptr) {
      fjson_object_object_add(target.get(), std::string(key).c_str(), nullptr);
      return 0;
    }
    const ln_rw_tab *tab = nullptr;
    if (rewrite_ && group == rw_group_) {
      if (!tab_looked_up_) {
        tab_ = rewriteTable(npb_);
        tab_looked_up_ = true;
      }
      tab = tab_;
    }
    return addRewritten(target.get(), tab, key, std::string_view(val, vlen)) ? 0 : LN_RC_NO_MEMORY;
  }

  // The value of a matched payload: the object (empty when no member came),
  // with cef's "Extensions" member when cef is set. 0 or LN_RC_NO_MEMORY.
  int take(struct fjson_object **value, bool cef) {
    if (!obj_ && !(obj_ = JsonPtr(fjson_object_new_object()))) return LN_RC_NO_MEMORY;
    if (cef) {
      if (!ext_ && !(ext_ = JsonPtr(fjson_object_new_object()))) return LN_RC_NO_MEMORY;
      fjson_object_object_add(obj_.get(), "Extensions", ext_.release());
    }
    *value = obj_.release();
    return 0;
  }

private:
  npb_t *npb_;
  bool rewrite_;
  int rw_group_;
  bool tab_looked_up_ = false;
  const ln_rw_tab *tab_ = nullptr;
  JsonPtr obj_, ext_;
};

// The walker's value of a flat payload: core (a parse core bound to its
// arguments) run with an ObjectSink, or with no sink when only a match is
// asked for.
template <class Core>
int parse_object(npb_t *npb, struct fjson_object **value, bool rewrite, int rw_group, bool cef,
                 Core core) {
  if (value == nullptr) return core(nullptr);
  try {
    ObjectSink sink(npb, rewrite, rw_group);
    const int r = core(&sink);
    return r != 0 ? r : sink.take(value, cef);
  } catch (const std::bad_alloc &) {
    return LN_RC_NO_MEMORY;
  }
}

// Position of the first quote `q` at or after i that is not preceded by an odd
// number of backslashes, or len when there is none.
size_t findUnescapedQuote(const char *s, size_t len, size_t i, char q) {
  size_t backslashes = 0;
  for (; i < len; ++i) {
    if (s[i] == q && backslashes % 2 == 0) return i;
    backslashes = s[i] == '\\' ? backslashes + 1 : 0;
  }
  return len;
}

// Single-character option value (exactly one byte).
bool oneChar(struct fjson_object *v, char *out) {
  if (v == nullptr || !fjson_object_is_type(v, fjson_type_string) ||
      fjson_object_get_string_len(v) != 1)
    return false;
  *out = fjson_object_get_string(v)[0];
  return true;
}

} // namespace

// ----------------------------------------------------------------------- json

namespace {
// Copy of v without empty strings, nulls, empty arrays and empty objects
// (recursively). Returns null for a value that is empty as a whole; sets oom
// when memory runs out.
struct fjson_object *pruneEmpty(struct fjson_object *v, bool &oom) {
  if (v == nullptr) return nullptr;
  switch (fjson_object_get_type(v)) {
  case fjson_type_null:
    return nullptr;
  case fjson_type_string:
    return fjson_object_get_string_len(v) == 0 ? nullptr : fjson_object_get(v);
  case fjson_type_array: {
    JsonPtr out(fjson_object_new_array());
    if (!out) {
      oom = true;
      return nullptr;
    }
    const int n = fjson_object_array_length(v);
    for (int k = 0; k < n; ++k) {
      struct fjson_object *e = pruneEmpty(fjson_object_array_get_idx(v, k), oom);
      if (oom) return nullptr;
      if (e != nullptr && fjson_object_array_add(out.get(), e) != 0) {
        fjson_object_put(e);
        oom = true;
        return nullptr;
      }
    }
    return fjson_object_array_length(out.get()) == 0 ? nullptr : out.release();
  }
  case fjson_type_object: {
    JsonPtr out(fjson_object_new_object());
    if (!out) {
      oom = true;
      return nullptr;
    }
    struct fjson_object_iterator it = fjson_object_iter_begin(v);
    struct fjson_object_iterator end = fjson_object_iter_end(v);
    for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it)) {
      struct fjson_object *e = pruneEmpty(fjson_object_iter_peek_value(&it), oom);
      if (oom) return nullptr;
      if (e != nullptr) fjson_object_object_add(out.get(), fjson_object_iter_peek_name(&it), e);
    }
    return fjson_object_object_length(out.get()) == 0 ? nullptr : out.release();
  }
  default:
    return fjson_object_get(v);
  }
}
} // namespace

int ln_constructJSON(ln_ctx ctx, struct fjson_object *json, void **pdata) {
  try {
    auto data = std::make_unique<data_JSON>();
    data->skipempty = 0;
    struct fjson_object *ed = nullptr;
    if (json != nullptr && fjson_object_object_get_ex(json, "extradata", &ed)) {
      const char *flag = fjson_object_get_string(ed);
      if (flag == nullptr || strcasecmp(flag, "skipempty") != 0) {
        ln_errprintf(ctx, 0, "invalid flag for JSON parser: %s", flag ? flag : "null");
        return LN_RC_BAD_CONFIG;
      }
      data->skipempty = 1;
    }
    *pdata = data.release();
    return 0;
  } catch (const std::bad_alloc &) {
    return LN_RC_NO_MEMORY;
  }
}

void ln_destructJSON(ln_ctx, void *pdata) { delete static_cast<data_JSON *>(pdata); }

int ln_v2_parseJSON(npb_t *npb, size_t *offs, void *pdata, const char *, size_t *parsed,
                    struct fjson_object **value) {
  *parsed = 0;
  const size_t i = *offs;
  if (i >= npb->strLen || (npb->str[i] != '{' && npb->str[i] != '[')) return LN_RC_NO_MATCH;
  size_t end = 0;
  JsonPtr v(ln_json_parse_prefix(npb->str + i, npb->strLen - i, &end));
  if (!v) return LN_RC_NO_MATCH;
  const auto *data = static_cast<const data_JSON *>(pdata);
  if (data != nullptr && data->skipempty) {
    bool oom = false;
    JsonPtr pruned(pruneEmpty(v.get(), oom));
    if (oom) return LN_RC_NO_MATCH;
    v = std::move(pruned);
  }
  // The tokener also swallows whitespace after the value; that text belongs
  // to whatever follows the field.
  while (end > 0 && isSpace(npb->str[i + end - 1])) --end;
  *parsed = end;
  if (value != nullptr) *value = v.release();
  return 0;
}

// ----------------------------------------------------------------- cee-syslog

int ln_cee_object_start(const npb_t *npb, size_t offs, size_t *start) {
  const char *s = npb->str;
  const size_t len = npb->strLen;
  size_t i = offs;
  if (i > len || len - i < 7 || memcmp(s + i, "@cee:", 5) != 0) return LN_RC_NO_MATCH;
  i += 5;
  while (i < len && isSpace(s[i])) ++i;
  if (i >= len || s[i] != '{') return LN_RC_NO_MATCH;
  *start = i;
  return 0;
}

int ln_v2_parseCEESyslog(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                         struct fjson_object **value) {
  *parsed = 0;
  const size_t len = npb->strLen;
  size_t i = 0;
  if (ln_cee_object_start(npb, *offs, &i) != 0) return LN_RC_NO_MATCH;
  size_t end = 0;
  JsonPtr v(ln_json_parse_prefix(npb->str + i, len - i, &end));
  if (!v || !fjson_object_is_type(v.get(), fjson_type_object) || i + end != len)
    return LN_RC_NO_MATCH;
  *parsed = len - *offs;
  if (value != nullptr) *value = v.release();
  return 0;
}

// ------------------------------------------------------------ name-value-list

int ln_constructNameValue(ln_ctx ctx, struct fjson_object *json, void **pdata) {
  try {
    auto data = std::make_unique<data_NameValue>();
    data->sep = 0;
    data->ass = 0;
    data->ignore_whitespaces = 0;
    if (json != nullptr) {
      struct fjson_object_iterator it = fjson_object_iter_begin(json);
      struct fjson_object_iterator end = fjson_object_iter_end(json);
      for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it)) {
        const char *key = fjson_object_iter_peek_name(&it);
        struct fjson_object *val = fjson_object_iter_peek_value(&it);
        if (strcmp(key, "extradata") == 0) {
          if (!oneChar(val, &data->sep)) {
            ln_errprintf(ctx, 0, "name-value-list's extradata should only be 1 character");
            return LN_RC_BAD_CONFIG;
          }
        } else if (strcmp(key, "separator") == 0) {
          if (!oneChar(val, &data->sep)) {
            ln_errprintf(ctx, 0, "name-value-list's 'separator' field should only be 1 character");
            return LN_RC_BAD_CONFIG;
          }
        } else if (strcmp(key, "assignator") == 0) {
          if (!oneChar(val, &data->ass)) {
            ln_errprintf(ctx, 0, "name-value-list's 'assignator' field should only be 1 character");
            return LN_RC_BAD_CONFIG;
          }
        } else if (strcmp(key, "ignore_whitespaces") == 0) {
          if (!fjson_object_is_type(val, fjson_type_boolean)) {
            ln_errprintf(ctx, 0, "name-value-list's 'ignore_whitespaces' field should be boolean");
            return LN_RC_BAD_CONFIG;
          }
          data->ignore_whitespaces = fjson_object_get_boolean(val) ? 1 : 0;
        }
      }
    }
    *pdata = data.release();
    return 0;
  } catch (const std::bad_alloc &) {
    return LN_RC_NO_MEMORY;
  }
}

void ln_destructNameValue(ln_ctx, void *pdata) { delete static_cast<data_NameValue *>(pdata); }

namespace {
struct NvPair {
  std::string_view name, value;
};

inline bool nvNameChar(char c) { return kBytes.of[static_cast<unsigned char>(c)] & kNvNameByte; }

// Parses one pair at i; on success sets the pair and moves i past it.
bool parseNvPair(const char *s, size_t len, size_t &i, const data_NameValue &cfg, NvPair &pair) {
  const bool iws = cfg.ignore_whitespaces != 0;
  size_t p = i;
  if (iws)
    while (p < len && isSpace(s[p])) ++p;
  const size_t nameStart = p;
  size_t nameEnd;
  if (cfg.ass != 0) {
    while (p < len && s[p] != cfg.ass) ++p;
    if (p >= len || p == nameStart) return false;
    nameEnd = p;
    if (iws)
      while (nameEnd > nameStart && isSpace(s[nameEnd - 1])) --nameEnd;
    ++p; // assignment byte
  } else {
    while (p < len && nvNameChar(s[p])) ++p;
    if (p == nameStart) return false;
    nameEnd = p;
    if (iws)
      while (p < len && isSpace(s[p])) ++p;
    if (p >= len || s[p] != '=') return false;
    ++p;
  }
  if (iws)
    while (p < len && isSpace(s[p])) ++p;

  size_t valStart = p, valEnd;
  if (p < len && (s[p] == '"' || s[p] == '\'')) {
    const size_t close = findUnescapedQuote(s, len, p + 1, s[p]);
    if (close >= len) return false;
    valStart = p + 1;
    valEnd = close;
    p = close + 1;
  } else {
    if (cfg.sep == '\\') {
      while (p < len && s[p] != '\\') ++p;
    } else {
      // The value ends at a separator after an even run of backslashes (none
      // included); an odd run escapes the byte after it.
      for (;;) {
        if (cfg.sep != 0)
          p = findEither(s, p, len, cfg.sep, '\\');
        else
          p = findSpace(s, p, len, true);
        if (p >= len || s[p] != '\\') break;
        const size_t run = p;
        while (p < len && s[p] == '\\') ++p;
        if ((p - run) % 2 == 1 && p < len) ++p;
      }
    }
    valEnd = p;
    if (iws)
      while (valEnd > valStart && isSpace(s[valEnd - 1])) --valEnd;
  }
  pair.name = std::string_view(s + nameStart, nameEnd - nameStart);
  pair.value = std::string_view(s + valStart, valEnd - valStart);
  i = p;
  return true;
}
} // namespace

int ln_members_NameValue(npb_t *npb, size_t *offs, const data_NameValue &cfg, size_t *parsed,
                         ln_member_sink *sink) {
  *parsed = 0;
  const char *s = npb->str;
  const size_t len = npb->strLen;
  if (*offs > len) return LN_RC_NO_MATCH;
  size_t i = *offs;
  while (i < len) {
    NvPair pair;
    size_t p = i;
    if (!parseNvPair(s, len, p, cfg, pair)) break;
    if (sink != nullptr) {
      const int r = sink->member(LN_MEMBERS_TOP, pair.name, pair.value.data(), pair.value.size());
      if (r != 0) return r;
    }
    i = p;
    size_t q = p;
    if (cfg.sep != 0 && cfg.ignore_whitespaces)
      while (q < len && isSpace(s[q])) ++q;
    if (q >= len) {
      i = q;
      break;
    }
    const auto sepAt = [&](size_t k) { return cfg.sep != 0 ? s[k] == cfg.sep : isSpace(s[k]); };
    if (!sepAt(q)) break;
    while (q < len && sepAt(q)) ++q;
    i = q;
  }
  *parsed = i - *offs;
  return 0;
}

int ln_v2_parseNameValue(npb_t *npb, size_t *offs, void *pdata, const char *, size_t *parsed,
                         struct fjson_object **value) {
  static const data_NameValue defaults{0, 0, 0};
  const data_NameValue &cfg = pdata ? *static_cast<const data_NameValue *>(pdata) : defaults;
  *parsed = 0;
  return parse_object(npb, value, true, LN_MEMBERS_TOP, false, [&](ln_member_sink *sink) {
    return ln_members_NameValue(npb, offs, cfg, parsed, sink);
  });
}

// ------------------------------------------------------------------------ cef

namespace {
inline bool cefKeyChar(char c) { return kBytes.of[static_cast<unsigned char>(c)] & kCefKeyByte; }

// Unescapes a CEF extension value; false on a backslash before a byte other
// than "=", backslash, "n", "r" or "/".
bool cefUnescapeValue(std::string_view in, std::string &out) {
  out.clear();
  for (size_t k = 0; k < in.size(); ++k) {
    if (in[k] != '\\') {
      out.push_back(in[k]);
      continue;
    }
    if (k + 1 >= in.size()) return false;
    const char c = in[++k];
    if (c == '=' || c == '\\' || c == '/')
      out.push_back(c);
    else if (c == 'n')
      out.push_back('\n');
    else if (c == 'r')
      out.push_back('\r');
    else
      return false;
  }
  return true;
}
} // namespace

int ln_members_CEF(npb_t *npb, size_t *offs, size_t *parsed, ln_member_sink *sink) {
  static const char *const headerNames[6] = {"DeviceVendor", "DeviceProduct", "DeviceVersion",
                                             "SignatureID",  "Name",          "Severity"};
  *parsed = 0;
  const char *s = npb->str;
  const size_t len = npb->strLen;
  size_t i = *offs;
  if (i > len || len - i < 17 || memcmp(s + i, "CEF:0|", 6) != 0) return LN_RC_NO_MATCH;
  i += 6;
  try {
    // A header field without escapes is handed out as the bytes of the
    // message; the unescaped text of the others lies in hbuf, one after the
    // other (hs and he are then offsets into it).
    std::string hbuf;
    size_t hs[6], he[6];
    bool escaped[6] = {};
    for (int k = 0; k < 6; ++k) {
      hs[k] = i;
      for (;;) {
        // Until an escape, only '|' and '\\' matter.
        if (!escaped[k]) i = findEither(s, i, len, '|', '\\');
        if (i >= len) return LN_RC_NO_MATCH;
        const char c = s[i];
        if (c == '|') {
          he[k] = escaped[k] ? hbuf.size() : i;
          ++i;
          break;
        }
        if (c == '\\') {
          if (i + 1 >= len || (s[i + 1] != '\\' && s[i + 1] != '|')) return LN_RC_NO_MATCH;
          if (!escaped[k]) {
            const size_t at = hbuf.size();
            hbuf.append(s + hs[k], i - hs[k]);
            hs[k] = at;
          }
          escaped[k] = true;
          hbuf.push_back(s[i + 1]);
          i += 2;
          continue;
        }
        if (escaped[k]) hbuf.push_back(c);
        ++i;
      }
    }
    while (i < len && isBlank(s[i])) ++i;
    if (sink != nullptr) {
      for (int k = 0; k < 6; ++k) {
        const char *base = escaped[k] ? hbuf.data() : s;
        const int r = sink->member(LN_MEMBERS_TOP, headerNames[k], base + hs[k], he[k] - hs[k]);
        if (r != 0) return r;
      }
    }

    std::string unescaped;
    while (i < len) {
      while (i < len && isBlank(s[i])) ++i;
      if (i >= len) break;
      const size_t keyStart = i;
      while (i < len && cefKeyChar(s[i])) ++i;
      if (i == keyStart || i >= len || s[i] != '=') return LN_RC_NO_MATCH;
      const std::string_view key(s + keyStart, i - keyStart);
      ++i;
      const size_t valStart = i;
      size_t valEnd = len;
      size_t next = len;
      bool backslash = false;
      while (i < len) {
        // Only '\\' and '=' matter inside a value.
        i = findEither(s, i, len, '\\', '=');
        if (i >= len) break;
        if (s[i] == '\\') {
          if (i + 1 >= len) return LN_RC_NO_MATCH;
          backslash = true;
          i += 2;
          continue;
        }
        if (s[i] == '=') {
          // Walk back over the word in front of this "=".
          size_t w = i;
          while (w > valStart && cefKeyChar(s[w - 1])) --w;
          if (w < i && w > valStart && isBlank(s[w - 1])) {
            valEnd = w - 1;
            next = w;
          } else {
            valEnd = i;
            next = i;
          }
          break;
        }
        ++i;
      }
      if (i >= len) {
        valEnd = len;
        next = len;
      }
      const std::string_view raw(s + valStart, valEnd - valStart);
      if (backslash) {
        if (!cefUnescapeValue(raw, unescaped)) return LN_RC_NO_MATCH;
        if (sink != nullptr) {
          const int r = sink->member(LN_MEMBERS_CEF_EXT, key, unescaped.data(), unescaped.size());
          if (r != 0) return r;
        }
      } else if (sink != nullptr) {
        const int r = sink->member(LN_MEMBERS_CEF_EXT, key, raw.data(), raw.size());
        if (r != 0) return r;
      }
      i = next;
    }
    *parsed = len - *offs;
    return 0;
  } catch (const std::bad_alloc &) {
    return LN_RC_NO_MEMORY;
  }
}

int ln_v2_parseCEF(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                   struct fjson_object **value) {
  *parsed = 0;
  return parse_object(npb, value, true, LN_MEMBERS_CEF_EXT, true, [&](ln_member_sink *sink) {
    return ln_members_CEF(npb, offs, parsed, sink);
  });
}

// ------------------------------------------------------------- checkpoint-lea

int ln_constructCheckpointLEA(ln_ctx ctx, struct fjson_object *json, void **pdata) {
  try {
    auto data = std::make_unique<data_CheckpointLEA>();
    data->terminator = 0;
    struct fjson_object *t = nullptr;
    if (json != nullptr && fjson_object_object_get_ex(json, "terminator", &t)) {
      if (!oneChar(t, &data->terminator)) {
        const char *txt = fjson_object_get_string(t);
        ln_errprintf(ctx, 0, "terminator must be exactly one character but is: '%s'",
                     txt ? txt : "null");
        return LN_RC_BAD_CONFIG;
      }
    }
    *pdata = data.release();
    return 0;
  } catch (const std::bad_alloc &) {
    return LN_RC_NO_MEMORY;
  }
}

void ln_destructCheckpointLEA(ln_ctx, void *pdata) { delete static_cast<data_CheckpointLEA *>(pdata); }

int ln_members_CheckpointLEA(npb_t *npb, size_t *offs, char term, size_t *parsed,
                             ln_member_sink *sink) {
  *parsed = 0;
  const char *s = npb->str;
  const size_t len = npb->strLen;
  size_t i = *offs;
  if (i > len) return LN_RC_NO_MATCH;
  const auto isTerm = [&](size_t k) { return term != 0 && s[k] == term; };
  int npairs = 0;
  for (;;) {
    if (i >= len) break;
    while (i < len && isBlank(s[i])) ++i;
    if (i >= len) {
      if (npairs == 0) return LN_RC_NO_MATCH;
      break;
    }
    if (isTerm(i)) break;
    // Name: up to the last colon of the first run of colons.
    size_t c = findEither(s, i, len, ':', ':');
    if (c >= len) return LN_RC_NO_MATCH;
    while (c + 1 < len && s[c + 1] == ':') ++c;
    const std::string_view name(s + i, c - i);
    i = c + 1;
    while (i < len && isBlank(s[i])) ++i;
    size_t vs, ve;
    if (i < len && s[i] == '"') {
      const size_t close = findUnescapedQuote(s, len, i + 1, '"');
      if (close >= len) return LN_RC_NO_MATCH;
      vs = i + 1;
      ve = close;
      i = close + 1;
    } else {
      vs = i;
      i = findEither(s, i, len, ';', term != 0 ? term : ';');
      ve = i;
      while (ve > vs && isBlank(s[ve - 1])) --ve;
    }
    while (i < len && isBlank(s[i])) ++i;
    if (i >= len) return LN_RC_NO_MATCH;
    if (s[i] == ';')
      ++i;
    else if (!isTerm(i))
      return LN_RC_NO_MATCH;
    ++npairs;
    if (sink != nullptr) {
      const int r = sink->member(LN_MEMBERS_TOP, name, s + vs, ve - vs);
      if (r != 0) return r;
    }
  }
  *parsed = i - *offs;
  return 0;
}

int ln_v2_parseCheckpointLEA(npb_t *npb, size_t *offs, void *pdata, const char *, size_t *parsed,
                             struct fjson_object **value) {
  *parsed = 0;
  const char term = pdata ? static_cast<const data_CheckpointLEA *>(pdata)->terminator : 0;
  return parse_object(npb, value, false, LN_MEMBERS_TOP, false, [&](ln_member_sink *sink) {
    return ln_members_CheckpointLEA(npb, offs, term, parsed, sink);
  });
}

// ---------------------------------------------------------------- v2-iptables

int ln_members_v2IPTables(npb_t *npb, size_t *offs, size_t *parsed, ln_member_sink *sink) {
  *parsed = 0;
  const char *s = npb->str;
  const size_t len = npb->strLen;
  size_t i = *offs;
  if (i >= len) return LN_RC_NO_MATCH;
  for (;;) {
    const size_t nameStart = i;
    while (i < len && s[i] >= 'A' && s[i] <= 'Z') ++i;
    if (i == nameStart) return LN_RC_NO_MATCH;
    const std::string_view name(s + nameStart, i - nameStart);
    const char *v = nullptr;
    size_t vlen = 0;
    if (i < len && s[i] == '=') {
      const size_t vs = ++i;
      i = findSpace(s, i, len, false);
      v = s + vs;
      vlen = i - vs;
    } else if (i < len && !isBlank(s[i])) {
      return LN_RC_NO_MATCH;
    }
    if (sink != nullptr) {
      const int r = sink->member(LN_MEMBERS_TOP, name, v, vlen);
      if (r != 0) return r;
    }
    // Fields are separated by exactly one blank; one trailing blank ends
    // the list as the kernel writes it.
    if (i >= len) break;
    if (!isBlank(s[i])) return LN_RC_NO_MATCH;
    ++i;
    if (i >= len) break;
  }
  *parsed = len - *offs;
  return 0;
}

int ln_v2_parsev2IPTables(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                          struct fjson_object **value) {
  *parsed = 0;
  return parse_object(npb, value, false, LN_MEMBERS_TOP, false, [&](ln_member_sink *sink) {
    return ln_members_v2IPTables(npb, offs, parsed, sink);
  });
}

// ------------------------------------------------------- cisco-interface-spec

namespace {
size_t matchIPv4At(npb_t *npb, size_t at) {
  size_t off = at, n = 0;
  if (ln_v2_parseIPv4(npb, &off, nullptr, nullptr, &n, nullptr) != 0) return 0;
  return n;
}
size_t digitRun(const char *s, size_t len, size_t i) {
  size_t n = 0;
  while (i + n < len && isDigit(s[i + n])) ++n;
  return n;
}
} // namespace

int ln_v2_parseCiscoInterfaceSpec(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                                  struct fjson_object **value) {
  *parsed = 0;
  const char *s = npb->str;
  const size_t len = npb->strLen;
  size_t i = *offs;
  if (i >= len || s[i] == ':' || isSpace(s[i])) return LN_RC_NO_MATCH;

  size_t ifStart = i, ifEnd = i;
  bool hasIf = false;
  size_t n = matchIPv4At(npb, i);
  if (n == 0) {
    size_t c = i;
    while (c < len && s[c] != ':' && !isSpace(s[c])) ++c;
    if (c >= len || s[c] != ':') return LN_RC_NO_MATCH;
    hasIf = true;
    ifEnd = c;
    i = c + 1;
    n = matchIPv4At(npb, i);
    if (n == 0) return LN_RC_NO_MATCH;
  }
  const size_t ipStart = i, ipEnd = i + n;
  i = ipEnd;
  if (i >= len || s[i] != '/') return LN_RC_NO_MATCH;
  ++i;
  n = digitRun(s, len, i);
  if (n == 0) return LN_RC_NO_MATCH;
  const size_t portStart = i, portEnd = i + n;
  i = portEnd;

  // Optional " (ip2/port2)".
  bool has2 = false;
  size_t ip2s = 0, ip2e = 0, p2s = 0, p2e = 0;
  if (len - i >= 6 && s[i] == ' ' && s[i + 1] == '(') {
    size_t j = i + 2;
    const size_t m = matchIPv4At(npb, j);
    if (m != 0 && j + m < len && s[j + m] == '/') {
      ip2s = j;
      ip2e = j + m;
      j = ip2e + 1;
      const size_t pd = digitRun(s, len, j);
      if (pd != 0 && j + pd < len && s[j + pd] == ')') {
        p2s = j;
        p2e = j + pd;
        has2 = true;
        i = p2e + 1;
      }
    }
  }

  // Optional "(user)" or " (user)".
  bool hasUser = false;
  size_t us = 0, ue = 0;
  {
    size_t j = i;
    if (j < len && s[j] == ' ') ++j;
    if (j + 1 < len && s[j] == '(' && !isSpace(s[j + 1])) {
      size_t k = j + 1;
      while (k < len && s[k] != ')' && !isSpace(s[k])) ++k;
      if (k < len && s[k] == ')') {
        hasUser = true;
        us = j + 1;
        ue = k;
        i = k + 1;
      }
    }
  }

  *parsed = i - *offs;
  if (value == nullptr) return 0;
  JsonPtr obj(fjson_object_new_object());
  if (!obj) return LN_RC_NO_MEMORY;
  const auto put = [&](const char *key, size_t a, size_t b) {
    struct fjson_object *v = ln_json_string(s + a, b - a);
    if (v == nullptr) return false;
    fjson_object_object_add(obj.get(), key, v);
    return true;
  };
  if ((hasIf && !put("interface", ifStart, ifEnd)) || !put("ip", ipStart, ipEnd) ||
      !put("port", portStart, portEnd) || (has2 && (!put("ip2", ip2s, ip2e) || !put("port2", p2s, p2e))) ||
      (hasUser && !put("user", us, ue)))
    return LN_RC_NO_MEMORY;
  *value = obj.release();
  return 0;
}

// --------------------------------------------------------------------- repeat

namespace {
// Builds a one-item sub-DAG from a descriptor: a fresh root, the descriptor
// attached, its end node terminal.
int buildSubDag(ln_ctx ctx, struct fjson_object *desc, struct ln_pdag **root) {
  *root = ln_newPDAG(ctx);
  if (*root == nullptr) return LN_RC_NO_MEMORY;
  struct ln_pdag *end = *root;
  const int r = ln_pdagAddParser(ctx, &end, fjson_object_get(desc));
  if (r != 0) {
    ln_pdagDelete(*root);
    *root = nullptr;
    return r;
  }
  end->flags.isTerminal = 1;
  return 0;
}
} // namespace

int ln_constructRepeat(ln_ctx ctx, struct fjson_object *json, void **pdata) {
  struct fjson_object *parserDesc = nullptr, *whileDesc = nullptr;
  int permit = 0, failDup = 0;
  if (json != nullptr) {
    struct fjson_object_iterator it = fjson_object_iter_begin(json);
    struct fjson_object_iterator end = fjson_object_iter_end(json);
    for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it)) {
      const char *key = fjson_object_iter_peek_name(&it);
      struct fjson_object *val = fjson_object_iter_peek_value(&it);
      if (strcmp(key, "parser") == 0)
        parserDesc = val;
      else if (strcmp(key, "while") == 0)
        whileDesc = val;
      else if (strcmp(key, "option.permitMismatchInParser") == 0)
        permit = fjson_object_get_boolean(val) ? 1 : 0;
      else if (strcmp(key, "option.failOnDuplicate") == 0)
        failDup = fjson_object_get_boolean(val) ? 1 : 0;
      else if (strcmp(key, "name") != 0)
        ln_errprintf(ctx, 0, "invalid param for repeat: %s", key);
    }
  }
  if (parserDesc == nullptr || whileDesc == nullptr) {
    ln_errprintf(ctx, 0, "repeat parser needs 'parser','while' parameters");
    return LN_RC_BAD_CONFIG;
  }
  if (fjson_object_is_type(parserDesc, fjson_type_array)) {
    int named = 0;
    bool dot = false;
    const int n = fjson_object_array_length(parserDesc);
    for (int k = 0; k < n; ++k) {
      struct fjson_object *e = fjson_object_array_get_idx(parserDesc, k);
      struct fjson_object *nm = nullptr;
      if (e != nullptr && fjson_object_is_type(e, fjson_type_object) &&
          fjson_object_object_get_ex(e, "name", &nm)) {
        ++named;
        const char *t = fjson_object_get_string(nm);
        if (t != nullptr && strcmp(t, ".") == 0) dot = true;
      }
    }
    if (named > 1 && dot) {
      ln_errprintf(ctx, 0,
                   "'repeat' parser supports dot name only if single parser is used in 'parser' "
                   "part, invalid construct: %s",
                   fjson_object_to_json_string(parserDesc));
      return LN_RC_BAD_CONFIG;
    }
  }
  data_Repeat *data = new (std::nothrow) data_Repeat{nullptr, nullptr, permit, failDup};
  if (data == nullptr) return LN_RC_NO_MEMORY;
  int r = buildSubDag(ctx, parserDesc, &data->parser);
  if (r == 0) r = buildSubDag(ctx, whileDesc, &data->while_cond);
  if (r != 0) {
    ln_destructRepeat(ctx, data);
    return r;
  }
  *pdata = data;
  return 0;
}

void ln_destructRepeat(ln_ctx, void *pdata) {
  auto *data = static_cast<data_Repeat *>(pdata);
  if (data == nullptr) return;
  if (data->parser) ln_pdagDelete(data->parser);
  if (data->while_cond) ln_pdagDelete(data->while_cond);
  delete data;
}

int ln_v2_parseRepeat(npb_t *npb, size_t *offs, void *pdata, const char *name, size_t *parsed,
                      struct fjson_object **value) {
  *parsed = 0;
  const auto *data = static_cast<const data_Repeat *>(pdata);
  if (data == nullptr || data->parser == nullptr || data->while_cond == nullptr || *offs > npb->strLen)
    return LN_RC_NO_MATCH;
  const bool merged = name != nullptr && strcmp(name, ".") == 0;
  const size_t savedParsedTo = npb->parsedTo;
  const size_t savedLongest = npb->longestParsedTo;

  JsonPtr result(merged ? fjson_object_new_object() : fjson_object_new_array());
  if (!result) return LN_RC_NO_MEMORY;

  size_t start = *offs;        // start of the item being tried
  size_t lastEnd = *offs;      // end of the last complete item
  size_t prevStart = *offs;    // start of the last complete item
  int rc = 0;
  for (;;) {
    JsonPtr item;
    struct fjson_object *target = result.get();
    if (!merged) {
      item.reset(fjson_object_new_object());
      if (!item) {
        rc = LN_RC_NO_MEMORY;
        break;
      }
      target = item.get();
    }
    struct ln_pdag *endNode = nullptr;
    npb->parsedTo = start;
    const int r = ln_normalizeRec(npb, data->parser, start, 1, target, &endNode, data->failOnDuplicate,
                                  target, name);
    if (r != 0) {
      if (r == LN_RC_NO_MEMORY) {
        rc = r;
      } else if (!data->permitMismatchInParser) {
        npb->longestParsedTo = savedLongest > prevStart ? savedLongest : prevStart;
        rc = LN_RC_NO_MATCH;
      } else {
        ln_dbgprintf(npb->ctx, "mismatch in repeat, parse ptr back to %zd", static_cast<ssize_t>(lastEnd));
      }
      break;
    }
    const size_t itemEnd = npb->parsedTo > start ? npb->parsedTo : start;
    if (!merged) {
      struct fjson_object *add = item.get();
      struct fjson_object_iterator it = fjson_object_iter_begin(item.get());
      struct fjson_object_iterator iend = fjson_object_iter_end(item.get());
      for (; !fjson_object_iter_equal(&it, &iend); fjson_object_iter_next(&it))
        if (strcmp(fjson_object_iter_peek_name(&it), ".") == 0) add = fjson_object_iter_peek_value(&it);
      fjson_object_get(add);
      if (fjson_object_array_add(result.get(), add) != 0) {
        fjson_object_put(add);
        rc = LN_RC_NO_MEMORY;
        break;
      }
    }
    prevStart = start;
    lastEnd = itemEnd;

    npb->parsedTo = itemEnd;
    endNode = nullptr;
    const int w = ln_normalizeRec(npb, data->while_cond, itemEnd, 1, nullptr, &endNode, 0, nullptr, name);
    if (w != 0) break;
    const size_t next = npb->parsedTo > itemEnd ? npb->parsedTo : itemEnd;
    // An item and separator that consumed nothing would repeat forever.
    if (next <= start) break;
    start = next;
  }
  npb->parsedTo = savedParsedTo;
  if (rc != 0) return rc;
  *parsed = lastEnd - *offs;
  if (value != nullptr) *value = result.release();
  return 0;
}
