// Text builder, JSON string writer and small string helpers.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/veldra.h"

void vdr_sb_init(vdr_sb *sb) { *sb = vdr_sb{}; }

// Makes room for n more bytes (n counts the terminator). Sets the latch and
// fails on overflow or allocation failure; the old text stays in place.
static int sb_grow(vdr_sb *sb, size_t n) {
  if (sb->oom) return -1;
  if (n > SIZE_MAX - sb->len) {
    sb->oom = 1;
    return -1;
  }
  size_t need = sb->len + n;
  if (sb->buf && sb->cap >= need) return 0;
  size_t size = sb->cap > 256 ? sb->cap : 256;
  while (size < need) {
    if (size > static_cast<size_t>(INT64_MAX) / 2) {
      sb->oom = 1;
      return -1;
    }
    size *= 2;
  }
  char *p = static_cast<char *>(realloc(sb->buf, size));
  if (!p) {
    sb->oom = 1;
    return -1;
  }
  sb->buf = p;
  sb->cap = size;
  return 0;
}

int vdr_sb_putn(vdr_sb *sb, const char *s, size_t n) {
  if (n == SIZE_MAX) { // the terminator would not fit in any size
    sb->oom = 1;
    return -1;
  }
  // Appending part of the buffer's own text must survive the reallocation.
  const uintptr_t at = reinterpret_cast<uintptr_t>(s), base = reinterpret_cast<uintptr_t>(sb->buf);
  const bool inside = sb->buf && at >= base && at < base + sb->cap;
  const size_t off = inside ? at - base : 0;
  if (sb_grow(sb, n + 1) != 0) return -1;
  if (inside) s = sb->buf + off;
  if (n) memmove(sb->buf + sb->len, s, n);
  sb->len += n;
  sb->buf[sb->len] = '\0';
  return 0;
}

int vdr_sb_puts(vdr_sb *sb, const char *s) {
  if (!s) return 0;
  return vdr_sb_putn(sb, s, strlen(s));
}

int vdr_sb_putc(vdr_sb *sb, char c) { return vdr_sb_putn(sb, &c, 1); }

int vdr_sb_printf(vdr_sb *sb, const char *fmt, ...) {
  if (sb->oom) return -1;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (n < 0) {
    sb->oom = 1;
    return -1;
  }
  const size_t need = static_cast<size_t>(n) + 1;
  if (sb->buf && sb->cap - sb->len >= need) {
    va_start(ap, fmt);
    vsnprintf(sb->buf + sb->len, need, fmt, ap);
    va_end(ap);
    sb->len += static_cast<size_t>(n);
    return 0;
  }
  // The buffer must move, and an argument may point into it: format into a
  // separate text first, then append that.
  char *tmp = static_cast<char *>(malloc(need));
  if (!tmp) {
    sb->oom = 1;
    return -1;
  }
  va_start(ap, fmt);
  vsnprintf(tmp, need, fmt, ap);
  va_end(ap);
  int rc = vdr_sb_putn(sb, tmp, static_cast<size_t>(n));
  free(tmp);
  return rc;
}

static int json_stringn(vdr_sb *sb, const char *s, size_t n);

int vdr_sb_json_stringn(vdr_sb *sb, const char *s, size_t n) {
  if (sb->oom) return -1;
  if (!s) n = 0; // a null text is the empty text
  // Quoting the buffer's own text: work from a copy, as every append may
  // move the buffer.
  const uintptr_t at = reinterpret_cast<uintptr_t>(s), base = reinterpret_cast<uintptr_t>(sb->buf);
  if (n && sb->buf && at >= base && at < base + sb->cap) {
    char *copy = static_cast<char *>(malloc(n));
    if (!copy) {
      sb->oom = 1;
      return -1;
    }
    memcpy(copy, s, n);
    int rc = json_stringn(sb, copy, n);
    free(copy);
    return rc;
  }
  return json_stringn(sb, s, n);
}

size_t vdr_utf8_len(const char *s, size_t n) {
  if (n == 0) return 0;
  const auto *u = reinterpret_cast<const unsigned char *>(s);
  const unsigned c = u[0];
  if (c < 0x80) return 1;
  size_t k;
  unsigned lo = 0x80, hi = 0xBF; // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    k = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    k = 3;
    if (c == 0xE0) lo = 0xA0;      // no overlong forms
    else if (c == 0xED) hi = 0x9F; // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    k = 4;
    if (c == 0xF0) lo = 0x90;      // no overlong forms
    else if (c == 0xF4) hi = 0x8F; // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (n < k || u[1] < lo || u[1] > hi) return 0;
  for (size_t j = 2; j < k; ++j)
    if ((u[j] & 0xC0) != 0x80) return 0;
  return k;
}

int vdr_sb_json_text(vdr_sb *sb, const char *s, size_t n) {
  static const char hex[] = "0123456789abcdef";
  size_t i = 0, run = 0;
  while (i < n) {
    // Eight ASCII bytes at a time: they are copied as they are.
    uint64_t w;
    if (n - i >= 8 && (memcpy(&w, s + i, 8), (w & 0x8080808080808080ull) == 0)) {
      run += 8;
      i += 8;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t k = c < 0x80 ? 1 : vdr_utf8_len(s + i, n - i);
    if (k) {
      run += k;
      i += k;
      continue;
    }
    if (run && vdr_sb_putn(sb, s + i - run, run) != 0) return -1;
    run = 0;
    const char esc[7] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15], '\0'};
    if (vdr_sb_puts(sb, esc) != 0) return -1;
    ++i;
  }
  if (run && vdr_sb_putn(sb, s + n - run, run) != 0) return -1;
  return sb->oom ? -1 : 0;
}

static int json_stringn(vdr_sb *sb, const char *s, size_t n) {
  if (vdr_sb_putc(sb, '"') != 0) return -1;
  static const char hex[] = "0123456789abcdef";
  size_t run = 0; // bytes copied unchanged, flushed in one append
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    const char *esc = nullptr;
    char ubuf[7];
    switch (c) {
      case '\b': esc = "\\b"; break;
      case '\t': esc = "\\t"; break;
      case '\n': esc = "\\n"; break;
      case '\f': esc = "\\f"; break;
      case '\r': esc = "\\r"; break;
      case '"': esc = "\\\""; break;
      case '\\': esc = "\\\\"; break;
      default:
        if (c >= 0x80) {
          // A well-formed UTF-8 sequence is copied whole; a byte that does
          // not begin one is written as the escape of its value, so the
          // output is always valid UTF-8.
          const size_t k = vdr_utf8_len(s + i, n - i);
          if (k) {
            run += k;
            i += k - 1;
            continue;
          }
        }
        if (c < 32 || c >= 0x80) {
          memcpy(ubuf, "\\u00", 4);
          ubuf[4] = hex[c >> 4];
          ubuf[5] = hex[c & 15];
          ubuf[6] = '\0';
          esc = ubuf;
        }
    }
    if (!esc) {
      ++run;
      continue;
    }
    if (run && vdr_sb_putn(sb, s + i - run, run) != 0) return -1;
    run = 0;
    if (vdr_sb_puts(sb, esc) != 0) return -1;
  }
  if (run && vdr_sb_putn(sb, s + n - run, run) != 0) return -1;
  return vdr_sb_putc(sb, '"');
}

int vdr_sb_json_string(vdr_sb *sb, const char *s) {
  return vdr_sb_json_stringn(sb, s ? s : "", s ? strlen(s) : 0);
}

int vdr_sb_json_string_array(vdr_sb *sb, char *const *items, size_t n) {
  vdr_sb_putc(sb, '[');
  for (size_t i = 0; i < n; ++i) {
    if (i) vdr_sb_putc(sb, ',');
    vdr_sb_json_string(sb, items[i]);
  }
  return vdr_sb_putc(sb, ']');
}

char *vdr_sb_release(vdr_sb *sb) {
  if (sb->oom) {
    vdr_sb_free(sb);
    return nullptr;
  }
  char *p = sb->buf;
  if (!p) p = static_cast<char *>(calloc(1, 1));
  *sb = vdr_sb{};
  return p;
}

void vdr_sb_free(vdr_sb *sb) {
  free(sb->buf);
  *sb = vdr_sb{};
}

void vdr_free(void *p) { free(p); }

char *vdr_strdup_checked(const char *s) { return s ? strdup(s) : nullptr; }

char *vdr_strjoin_path(const char *prefix, const char *key) {
  if (!prefix) return vdr_strdup_checked(key);
  if (!key) key = "";
  size_t a = strlen(prefix), b = strlen(key);
  char *p = static_cast<char *>(malloc(a + b + 2));
  if (!p) return nullptr;
  memcpy(p, prefix, a);
  p[a] = '.';
  memcpy(p + a + 1, key, b + 1);
  return p;
}

char *vdr_strjoin_index(const char *prefix, size_t i) {
  if (!prefix) prefix = "";
  int n = snprintf(nullptr, 0, "%s[%zu]", prefix, i);
  if (n < 0) return nullptr;
  char *p = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
  if (p) snprintf(p, static_cast<size_t>(n) + 1, "%s[%zu]", prefix, i);
  return p;
}

const char *vdr_type_name(int t) {
  static const char *const names[] = {"null", "boolean", "double", "int",
                                      "object", "array", "string"};
  return (t >= 0 && t <= 6) ? names[t] : "unknown";
}
