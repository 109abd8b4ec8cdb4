// VaderAD's face to the rest of the system: the normalize entry points that run
// the VM over one message, the accessors of the flat result, and the JSON
// writer that turns a result into text.
//
// A result returned by ln_turbo_normalize_raw points into the context's arena,
// program and input and stays valid until the next message on that context.
#pragma once

#include <cstddef>
#include <cstdint>

#include "normalizer/context.h"
#include "vaderad/turbo_state.h"
#include "vaderad/turbo_vm.h"

// 0 with a newly allocated NUL-terminated JSON text (caller frees) and its
// length; -1 with *json_str null when VaderAD does not serve the message.
int ln_turbo_normalize_to_str(ln_ctx ctx, const char *str, size_t len, char **json_str,
                              size_t *json_len);
// As above, parsed with libfastjson: 0 with the object, -1 with null.
int ln_turbo_normalize(ln_ctx ctx, const char *str, size_t len, struct fjson_object **json);
// 0 with a pointer to the context's result (no truncation check, no JSON);
// -1 with null.
int ln_turbo_normalize_raw(ln_ctx ctx, const char *str, size_t len, const ln_fast_result_t **result);

// Runtime members of the VaderAD state (VM, result, JSON buffer); called by
// ln_turbo_ctx_init and ln_turbo_ctx_free. Init returns 0 or -1.
int ln_turbo_runtime_init(ln_turbo_ctx_t *t);
void ln_turbo_runtime_free(ln_turbo_ctx_t *t);
// Forgets everything that knows the program's names by address: the JSON
// layouts of the result shapes seen so far and the VM's clean shapes. Called
// when the program is discarded or replaced.
void ln_turbo_json_shapes_clear(ln_turbo_ctx_t *t);

// Accessors. Names and texts are returned with their lengths: a value may hold
// a zero byte and names are not NUL-terminated in general.
int ln_fast_result_field_count(const ln_fast_result_t *r);
int ln_fast_result_is_truncated(const ln_fast_result_t *r);
int ln_fast_result_get_field(const ln_fast_result_t *r, int idx, const char **name, size_t *nlen,
                             const char **value, size_t *vlen);
int ln_fast_result_get_field_typed(const ln_fast_result_t *r, int idx, const char **name,
                                   size_t *nlen, int *type, int *flags, const char **sval,
                                   size_t *slen, int64_t *ival, double *dval);
int ln_fast_result_get_string(const ln_fast_result_t *r, const char *name, const char **value,
                              size_t *vlen);
int ln_fast_result_get_int(const ln_fast_result_t *r, const char *name, int64_t *value);
int ln_fast_result_tag_count(const ln_fast_result_t *r);
const char *ln_fast_result_get_tag(const ln_fast_result_t *r, int idx);
int ln_fast_result_has_tag(const ln_fast_result_t *r, const char *tag);
const char *ln_fast_result_get_rule_id(const ln_fast_result_t *r);

// Upper bound of the JSON text size, terminating NUL included.
size_t ln_fast_json_estimate(const ln_fast_result_t *r);
// 0 with the JSON text in buf and its length (without the NUL) in *outlen;
// -1 when buflen <= 2, the text does not fit, or the result cannot be written
// as valid JSON (a non-finite number, invalid raw JSON, a name of more than 64
// dotted components).
int ln_fast_to_json(const ln_fast_result_t *r, char *buf, size_t buflen, size_t *outlen);
// As ln_fast_to_json into a new heap buffer the caller frees.
int ln_fast_to_json_alloc(const ln_fast_result_t *r, char **json_str, size_t *json_len);

// True when text[0, len) is exactly one JSON value (RFC 8259 grammar, nesting
// up to 256 levels), optionally surrounded by whitespace.
bool ln_json_text_valid(const char *text, size_t len);
