#include "normalizer/json_text.h"

#include <libfastjson/json_tokener.h>

#include <new>

struct fjson_object *ln_json_parse_prefix(const char *s, size_t len, size_t *end) {
  // One tokener per thread, reset for every value: creating one per field
  // would cost an allocation on every json field of every message.
  struct Holder {
    fjson_tokener *tok = nullptr;
    ~Holder() {
      if (tok) fjson_tokener_free(tok);
    }
  };
  thread_local Holder h;
  *end = 0;
  if (!h.tok && !(h.tok = fjson_tokener_new())) throw std::bad_alloc();
  fjson_tokener_reset(h.tok);
  const int n = len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
  struct fjson_object *v = fjson_tokener_parse_ex(h.tok, s, n);
  if (h.tok->char_offset > 0) *end = static_cast<size_t>(h.tok->char_offset);
  if (*end > len) *end = len;
  if (v != nullptr && fjson_tokener_get_error(h.tok) != fjson_tokener_success) {
    fjson_object_put(v);
    v = nullptr;
  }
  return v;
}
