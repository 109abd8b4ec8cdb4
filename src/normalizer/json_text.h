// Small libfastjson helpers for byte ranges that are not zero-terminated,
// shared by the loader, the walker and the field parsers.
#pragma once

#include <climits>
#include <cstddef>

#include <libfastjson/json.h>

#include "normalizer/context.h"

// A JSON string holding the n bytes at s; null when out of memory or when n
// does not fit the library's int lengths.
inline struct fjson_object *ln_json_string(const char *s, size_t n) {
  if (n > static_cast<size_t>(INT_MAX)) return nullptr;
  return fjson_object_new_string_len(s, static_cast<int>(n));
}

// Hands out the n bytes at s as a JSON string value when the caller wants
// one (value not null): 0, or LN_RC_NO_MEMORY.
inline int ln_json_put_string(struct fjson_object **value, const char *s, size_t n) {
  if (value == nullptr) return 0;
  *value = ln_json_string(s, n);
  return *value != nullptr ? 0 : LN_RC_NO_MEMORY;
}

// Parses one JSON value from the start of s, reading at most len bytes. The
// value is returned only when it is complete; *end is the offset where the
// tokener stopped, also on failure (it may include blanks after the value).
// Throws std::bad_alloc when no tokener can be had.
struct fjson_object *ln_json_parse_prefix(const char *s, size_t len, size_t *end);
