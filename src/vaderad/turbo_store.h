// Writing one field of a flat result: the pieces the VM's stores and the
// structured handlers share, inline because a payload stores many fields.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vaderad/turbo_shape.h"
#include "vaderad/turbo_vm.h"

// Whether s[0, n) holds a '.': a word at a time (names are short).
inline bool ln_has_dot(const char *s, size_t n) {
  if (n < 8) return ln_dot_bytes(ln_head_word(s, n)) != 0;
  for (size_t i = 0; i + 8 < n; i += 8)
    if (ln_dot_bytes(ln_load8(s + i))) return true;
  return ln_dot_bytes(ln_load8(s + n - 8)) != 0;
}

static_assert(LN_FAST_INLINE_MAX <= 48, "ln_copy_short moves at most 48 bytes");

// Gives f the text v[0, len) (raw: a JSON value written unquoted), keeping
// the flags that describe its name. Short texts are copied into the field;
// longer ones are referenced and must outlive the result.
__attribute__((always_inline)) inline void ln_set_text(ln_fast_field_t *f, const char *v, size_t len,
                                                      bool raw) {
  f->flags = static_cast<uint8_t>(
      (f->flags & (LN_FF_NAME_STATIC | LN_FF_NAME_PROGRAM | LN_FF_DOTTED | LN_FF_SUPERSEDES)) |
      LN_FF_TEXT | (raw ? LN_FF_RAW_JSON : 0));
  if (len <= LN_FAST_INLINE_MAX) {
    f->type = LN_FTYPE_STRING_INLINE;
    ln_copy_short(f->v.inl, v, len);
    f->v.inl[len] = '\0';
    f->inl_len = static_cast<uint32_t>(len);
  } else {
    f->type = LN_FTYPE_STRING;
    f->v.str.ptr = v;
    f->v.str.len = static_cast<uint32_t>(len);
    f->v.str.reserved = 0;
    f->inl_len = 0;
  }
}

// Appends a text field named name[0, nlen) to r, which must have room; the
// name must outlive the result. dotted: whether the name holds a '.'.
__attribute__((always_inline)) inline ln_fast_field_t *ln_push_text(ln_fast_result_t *r, const char *name,
                                                                   size_t nlen, bool dotted, const char *v,
                                                                   size_t vlen, bool raw) {
  ln_fast_field_t *f = &r->fields[r->n_fields++];
  f->name = name;
  f->name_len = static_cast<uint16_t>(nlen);
  f->flags = static_cast<uint8_t>(LN_FF_NAME_STATIC | (dotted ? LN_FF_DOTTED : 0));
  f->inl_len = 0;
  ln_set_text(f, v, vlen, raw);
  return f;
}
