// Field parsers for timestamps, times of day, durations and network
// addresses. Every parser stays inside npb->str[0, strLen): messages are not
// NUL-terminated, so each byte access is preceded by a bounds check.
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>

#include "normalizer/json_text.h"
#include "normalizer/parser.h"

namespace {

// Digit runs of the date parsers have no length limit; the accumulated value
// saturates here so that long runs cannot overflow (any saturated value fails
// every range check that follows).
constexpr int kDigitCap = 100000000;

inline bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool isHex(unsigned char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Reads a run of digits (possibly empty) starting at i; returns its value and
// advances i past it.
int readDigits(const char *s, size_t len, size_t &i, size_t *ndigits = nullptr) {
  int v = 0;
  size_t n = 0;
  while (i < len && isDigit(static_cast<unsigned char>(s[i]))) {
    if (v < kDigitCap) v = v * 10 + (s[i] - '0');
    ++i;
    ++n;
  }
  if (ndigits) *ndigits = n;
  return v;
}

inline bool expectChar(const char *s, size_t len, size_t &i, char c) {
  if (i >= len || s[i] != c) return false;
  ++i;
  return true;
}

// Unix time of the last second of year 1967 + k, for k = 0 .. 132.
constexpr int64_t lastSecondOfYear(int year) {
  int64_t days = 0; // days from 1970-01-01 to (year + 1)-01-01
  if (year + 1 >= 1970) {
    for (int y = 1970; y <= year; ++y)
      days += ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0) ? 366 : 365;
  } else {
    for (int y = year + 1; y < 1970; ++y)
      days -= ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0) ? 366 : 365;
  }
  return days * 86400 - 1;
}

struct YearTable {
  int64_t v[133];
  constexpr YearTable() : v() {
    for (int k = 0; k < 133; ++k) v[k] = lastSecondOfYear(1967 + k);
  }
};
constexpr YearTable yearInSecs;
static_assert(yearInSecs.v[2] == -1);
static_assert(yearInSecs.v[3] == 31535999);
static_assert(yearInSecs.v[132] == 4102444799LL);

constexpr int daysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// Reads the "format" option of the two syslog date types.
int readDateFormat(ln_ctx ctx, struct fjson_object *json, const char *type, enum FMT_MODE *mode) {
  if (json == nullptr) return 0;
  struct fjson_object_iterator it = fjson_object_iter_begin(json);
  struct fjson_object_iterator end = fjson_object_iter_end(json);
  for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it)) {
    const char *key = fjson_object_iter_peek_name(&it);
    struct fjson_object *val = fjson_object_iter_peek_value(&it);
    if (strcmp(key, "format") == 0) {
      const char *f = fjson_object_is_type(val, fjson_type_string) ? fjson_object_get_string(val)
                                                                   : nullptr;
      if (f != nullptr && strcmp(f, "string") == 0)
        *mode = FMT_AS_STRING;
      else if (f != nullptr && strcmp(f, "timestamp-unix") == 0)
        *mode = FMT_AS_TIMESTAMP_UX;
      else if (f != nullptr && strcmp(f, "timestamp-unix-ms") == 0)
        *mode = FMT_AS_TIMESTAMP_UX_MS;
      else
        ln_errprintf(ctx, 0, "invalid value for %s:format %s", type, f == nullptr ? "null" : f);
    } else if (strcmp(key, "name") == 0 && fjson_object_is_type(val, fjson_type_string) &&
               strcmp(fjson_object_get_string(val), "-") == 0) {
      // "-" keeps no value; nothing to configure
    } else {
      ln_errprintf(ctx, 0, "invalid param for %s %s", type, key);
    }
  }
  return 0;
}

// The two-digit fields of the fixed-shape types.
inline bool d(const char *s, size_t i) { return isDigit(static_cast<unsigned char>(s[i])); }
inline bool minuteOrSecond(const char *s, size_t i) { return s[i] >= '0' && s[i] <= '5' && d(s, i + 1); }

// Four dotted groups of one to three digits; returns the bytes consumed, or 0
// for no match.
size_t matchIPv4(const char *s, size_t len, size_t offs) {
  if (offs > len || len - offs < 7) return 0;
  size_t i = offs;
  for (int g = 0; g < 4; ++g) {
    if (g > 0 && !expectChar(s, len, i, '.')) return 0;
    size_t start = i;
    int v = 0;
    while (i < len && i - start < 3 && isDigit(static_cast<unsigned char>(s[i]))) {
      v = v * 10 + (s[i] - '0');
      ++i;
    }
    if (i == start) return 0;
    if (i - start == 3 && v > 255) return 0;
  }
  return i - offs;
}

} // namespace

int64_t syslogTime2time_t(int year, int month, int day, int hour, int minute, int second,
                          int OffsetHour, int OffsetMinute, char OffsetMode) {
  if (year < 1970 || year > 2100 || month < 1 || month > 12) return 0;
  int64_t t = yearInSecs.v[year - 1968];
  int64_t days = daysBeforeMonth[month - 1] + static_cast<int64_t>(day) - 1;
  if (month > 2 && year % 4 == 0 && (year % 100 != 0 || year == 2000)) ++days;
  t += days * 86400 + 1;
  t += static_cast<int64_t>(hour) * 3600 + static_cast<int64_t>(minute) * 60 + second;
  const int64_t offset = static_cast<int64_t>(OffsetHour) * 3600 + static_cast<int64_t>(OffsetMinute) * 60;
  if (OffsetMode == '+')
    t -= offset;
  else
    t += offset;
  return t;
}

// ---------------------------------------------------------------- date-rfc5424

int ln_constructRFC5424Date(ln_ctx ctx, struct fjson_object *json, void **pdata) {
  try {
    auto *data = new data_RFC5424Date{FMT_AS_STRING};
    readDateFormat(ctx, json, "date-rfc5424", &data->fmt_mode);
    *pdata = data;
    return 0;
  } catch (const std::bad_alloc &) {
    return LN_RC_NO_MEMORY;
  }
}

void ln_destructRFC5424Date(ln_ctx, void *pdata) { delete static_cast<data_RFC5424Date *>(pdata); }

int ln_v2_parseRFC5424Date(npb_t *npb, size_t *offs, void *pdata, const char *, size_t *parsed,
                           struct fjson_object **value) {
  *parsed = 0;
  const char *s = npb->str;
  const size_t len = npb->strLen;
  size_t i = *offs;
  if (i >= len) return LN_RC_NO_MATCH;

  const int year = readDigits(s, len, i);
  if (!expectChar(s, len, i, '-')) return LN_RC_NO_MATCH;
  const int month = readDigits(s, len, i);
  if (month < 1 || month > 12 || !expectChar(s, len, i, '-')) return LN_RC_NO_MATCH;
  const int day = readDigits(s, len, i);
  if (day < 1 || day > 31 || !expectChar(s, len, i, 'T')) return LN_RC_NO_MATCH;
  const int hour = readDigits(s, len, i);
  if (hour > 23 || !expectChar(s, len, i, ':')) return LN_RC_NO_MATCH;
  const int minute = readDigits(s, len, i);
  if (minute > 59 || !expectChar(s, len, i, ':')) return LN_RC_NO_MATCH;
  const int second = readDigits(s, len, i);
  if (second > 60) return LN_RC_NO_MATCH;

  int msec = 0;
  if (i < len && s[i] == '.') {
    ++i;
    size_t n = 0;
    while (i < len && isDigit(static_cast<unsigned char>(s[i]))) {
      if (n < 3) msec = msec * 10 + (s[i] - '0');
      ++n;
      ++i;
    }
    if (n == 0 || i >= len) return LN_RC_NO_MATCH;
    for (; n < 3; ++n) msec *= 10;
  }

  if (i >= len) return LN_RC_NO_MATCH;
  int offHour = 0, offMinute = 0;
  char offMode = '+';
  if (s[i] == 'Z') {
    ++i;
  } else if (s[i] == '+' || s[i] == '-') {
    offMode = s[i++];
    offHour = readDigits(s, len, i);
    if (offHour > 23 || !expectChar(s, len, i, ':')) return LN_RC_NO_MATCH;
    offMinute = readDigits(s, len, i);
    if (offMinute > 59) return LN_RC_NO_MATCH;
  } else {
    return LN_RC_NO_MATCH;
  }
  if (i < len && s[i] != ' ') return LN_RC_NO_MATCH;

  *parsed = i - *offs;
  if (value == nullptr) return 0;
  const auto *data = static_cast<const data_RFC5424Date *>(pdata);
  const enum FMT_MODE mode = data ? data->fmt_mode : FMT_AS_STRING;
  if (mode == FMT_AS_TIMESTAMP_UX || mode == FMT_AS_TIMESTAMP_UX_MS) {
    int64_t t = syslogTime2time_t(year, month, day, hour, minute, second, offHour, offMinute, offMode);
    if (mode == FMT_AS_TIMESTAMP_UX_MS) t = t * 1000 + msec;
    *value = fjson_object_new_int64(t);
    return *value == nullptr ? LN_RC_NO_MEMORY : 0;
  }
  return ln_json_put_string(value, s + *offs, *parsed);
}

// ---------------------------------------------------------------- date-rfc3164

int ln_constructRFC3164Date(ln_ctx ctx, struct fjson_object *json, void **pdata) {
  try {
    auto *data = new data_RFC3164Date{FMT_AS_STRING};
    readDateFormat(ctx, json, "date-rfc3164", &data->fmt_mode);
    *pdata = data;
    return 0;
  } catch (const std::bad_alloc &) {
    return LN_RC_NO_MEMORY;
  }
}

void ln_destructRFC3164Date(ln_ctx, void *pdata) { delete static_cast<data_RFC3164Date *>(pdata); }

int ln_v2_parseRFC3164Date(npb_t *npb, size_t *offs, void *pdata, const char *, size_t *parsed,
                           struct fjson_object **value) {
  static const char months[12][4] = {"jan", "feb", "mar", "apr", "may", "jun",
                                     "jul", "aug", "sep", "oct", "nov", "dec"};
  *parsed = 0;
  const char *s = npb->str;
  const size_t len = npb->strLen;
  size_t i = *offs;
  if (i > len || len - i < 3) return LN_RC_NO_MATCH;

  int month = 0;
  for (int m = 0; m < 12; ++m) {
    bool eq = true;
    for (int k = 0; k < 3 && eq; ++k) {
      char c = s[i + k];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      eq = c == months[m][k];
    }
    if (eq) {
      month = m + 1;
      break;
    }
  }
  if (month == 0) return LN_RC_NO_MATCH;
  i += 3;
  if (!expectChar(s, len, i, ' ')) return LN_RC_NO_MATCH;
  if (i < len && s[i] == ' ') ++i; // padding before a one-digit day

  size_t n = 0;
  const int day = readDigits(s, len, i, &n);
  if (n == 0 || day < 1 || day > 31 || !expectChar(s, len, i, ' ')) return LN_RC_NO_MATCH;

  // An optional year between the day and the time is skipped.
  {
    size_t j = i;
    const int y = readDigits(s, len, j, &n);
    if (n > 0 && y > 1970 && y < 2100) {
      if (!expectChar(s, len, j, ' ')) return LN_RC_NO_MATCH;
      i = j;
    }
  }

  const int hour = readDigits(s, len, i, &n);
  if (n == 0 || hour > 23 || !expectChar(s, len, i, ':')) return LN_RC_NO_MATCH;
  const int minute = readDigits(s, len, i, &n);
  if (n == 0 || minute > 59 || !expectChar(s, len, i, ':')) return LN_RC_NO_MATCH;
  const int second = readDigits(s, len, i, &n);
  if (n == 0 || second > 60) return LN_RC_NO_MATCH;
  if (i < len && s[i] == ':') ++i;

  *parsed = i - *offs;
  if (value == nullptr) return 0;
  const auto *data = static_cast<const data_RFC3164Date *>(pdata);
  const enum FMT_MODE mode = data ? data->fmt_mode : FMT_AS_STRING;
  if (mode == FMT_AS_TIMESTAMP_UX || mode == FMT_AS_TIMESTAMP_UX_MS) {
    const time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    int64_t t = syslogTime2time_t(tm.tm_year + 1900, month, day, hour, minute, second, 0, 0, '+');
    if (mode == FMT_AS_TIMESTAMP_UX_MS) t *= 1000;
    *value = fjson_object_new_int64(t);
    return *value == nullptr ? LN_RC_NO_MEMORY : 0;
  }
  return ln_json_put_string(value, s + *offs, *parsed);
}

// ------------------------------------------------------------ fixed-shape types

int ln_v2_parseKernelTimestamp(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                               struct fjson_object **value) {
  *parsed = 0;
  const char *s = npb->str;
  const size_t len = npb->strLen;
  size_t i = *offs;
  if (i > len || len - i < 14) return LN_RC_NO_MATCH;
  if (s[i++] != '[') return LN_RC_NO_MATCH;
  size_t n = 0;
  while (i < len && n < 12 && isDigit(static_cast<unsigned char>(s[i]))) {
    ++i;
    ++n;
  }
  if (n < 5 || !expectChar(s, len, i, '.')) return LN_RC_NO_MATCH;
  for (n = 0; n < 6; ++n, ++i)
    if (i >= len || !isDigit(static_cast<unsigned char>(s[i]))) return LN_RC_NO_MATCH;
  if (!expectChar(s, len, i, ']')) return LN_RC_NO_MATCH;
  *parsed = i - *offs;
  return ln_json_put_string(value, s + *offs, *parsed);
}

int ln_v2_parseISODate(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                       struct fjson_object **value) {
  *parsed = 0;
  const char *s = npb->str;
  const size_t i = *offs;
  if (i > npb->strLen || npb->strLen - i < 10) return LN_RC_NO_MATCH;
  const char *p = s + i;
  if (!(d(p, 0) && d(p, 1) && d(p, 2) && d(p, 3) && p[4] == '-')) return LN_RC_NO_MATCH;
  const bool monthOk = (p[5] == '0' && p[6] >= '1' && p[6] <= '9') ||
                       (p[5] == '1' && p[6] >= '0' && p[6] <= '2');
  if (!monthOk || p[7] != '-') return LN_RC_NO_MATCH;
  const bool dayOk = (p[8] == '0' && p[9] >= '1' && p[9] <= '9') ||
                     ((p[8] == '1' || p[8] == '2') && d(p, 9)) ||
                     (p[8] == '3' && (p[9] == '0' || p[9] == '1'));
  if (!dayOk) return LN_RC_NO_MATCH;
  *parsed = 10;
  return ln_json_put_string(value, s + i, 10);
}

namespace {
// "HH:MM:SS" with the hour checked by hourOk.
int parseClock(npb_t *npb, size_t *offs, size_t *parsed, struct fjson_object **value,
               bool (*hourOk)(const char *)) {
  *parsed = 0;
  const size_t i = *offs;
  if (i > npb->strLen || npb->strLen - i < 8) return LN_RC_NO_MATCH;
  const char *p = npb->str + i;
  if (!hourOk(p) || p[2] != ':' || !minuteOrSecond(p, 3) || p[5] != ':' || !minuteOrSecond(p, 6))
    return LN_RC_NO_MATCH;
  *parsed = 8;
  return ln_json_put_string(value, npb->str + i, 8);
}
} // namespace

int ln_v2_parseTime24hr(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                        struct fjson_object **value) {
  return parseClock(npb, offs, parsed, value, [](const char *p) {
    return ((p[0] == '0' || p[0] == '1') && d(p, 1)) || (p[0] == '2' && p[1] >= '0' && p[1] <= '3');
  });
}

int ln_v2_parseTime12hr(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                        struct fjson_object **value) {
  return parseClock(npb, offs, parsed, value, [](const char *p) {
    return (p[0] == '0' && d(p, 1)) || (p[0] == '1' && p[1] >= '0' && p[1] <= '2');
  });
}

int ln_v2_parseDuration(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                        struct fjson_object **value) {
  *parsed = 0;
  const char *s = npb->str;
  const size_t len = npb->strLen;
  size_t i = *offs;
  if (i >= len || !isDigit(static_cast<unsigned char>(s[i]))) return LN_RC_NO_MATCH;
  ++i;
  if (i < len && isDigit(static_cast<unsigned char>(s[i]))) ++i;
  if (!expectChar(s, len, i, ':')) return LN_RC_NO_MATCH;
  if (len - i < 5 || !minuteOrSecond(s, i) || s[i + 2] != ':' || !minuteOrSecond(s, i + 3))
    return LN_RC_NO_MATCH;
  i += 5;
  *parsed = i - *offs;
  return ln_json_put_string(value, s + *offs, *parsed);
}

int ln_v2_parseMAC48(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                     struct fjson_object **value) {
  *parsed = 0;
  const size_t i = *offs;
  if (i > npb->strLen || npb->strLen - i < 17) return LN_RC_NO_MATCH;
  const auto *p = reinterpret_cast<const unsigned char *>(npb->str + i);
  const unsigned char delim = p[2];
  if (delim != ':' && delim != '-') return LN_RC_NO_MATCH;
  for (int k = 0; k < 6; ++k) {
    if (!isHex(p[3 * k]) || !isHex(p[3 * k + 1])) return LN_RC_NO_MATCH;
    if (k < 5 && p[3 * k + 2] != delim) return LN_RC_NO_MATCH;
  }
  *parsed = 17;
  return ln_json_put_string(value, npb->str + i, 17);
}

// ------------------------------------------------------------------ addresses

int ln_v2_parseIPv4(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                    struct fjson_object **value) {
  *parsed = 0;
  const size_t n = matchIPv4(npb->str, npb->strLen, *offs);
  if (n == 0) return LN_RC_NO_MATCH;
  *parsed = n;
  return ln_json_put_string(value, npb->str + *offs, n);
}

int ln_v2_parseIPv6(npb_t *npb, size_t *offs, void *, const char *, size_t *parsed,
                    struct fjson_object **value) {
  *parsed = 0;
  const char *s = npb->str;
  const size_t len = npb->strLen;
  const size_t start = *offs;
  if (start > len || len - start < 2) return LN_RC_NO_MATCH;
  if (!isHex(static_cast<unsigned char>(s[start])) && !(s[start] == ':' && s[start + 1] == ':'))
    return LN_RC_NO_MATCH;

  size_t i = start;
  int blocks = 0;
  bool abbreviated = false;
  bool endsInSingleColon = false;
  while (blocks < 8) {
    const size_t blockStart = i;
    while (i < len && i - blockStart < 4 && isHex(static_cast<unsigned char>(s[i]))) ++i;
    ++blocks;
    if (i > blockStart) endsInSingleColon = false;
    if (i >= len) break;
    if (s[i] == ':') {
      if (blocks == 8) break;
      ++i;
      if (i < len && s[i] == ':') {
        if (abbreviated) return LN_RC_NO_MATCH;
        abbreviated = true;
        ++i;
        endsInSingleColon = false;
      } else {
        if (i >= len) return LN_RC_NO_MATCH;
        endsInSingleColon = true;
      }
    } else if (s[i] == '.') {
      if (blockStart == start) return LN_RC_NO_MATCH;
      const size_t n = matchIPv4(s, len, blockStart);
      if (n == 0) return LN_RC_NO_MATCH;
      i = blockStart + n;
      endsInSingleColon = false;
      break;
    } else {
      break;
    }
  }
  if ((abbreviated && blocks == 8) || endsInSingleColon) return LN_RC_NO_MATCH;
  *parsed = i - start;
  return ln_json_put_string(value, s + start, *parsed);
}
