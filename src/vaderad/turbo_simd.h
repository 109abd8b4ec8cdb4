// Byte scanners over counted (not NUL-terminated) input for VaderAD's field
// opcodes. Each scanner walks the input 16 bytes at a time with SSE4.2 when
// the processor has it and finishes the last partial block with its byte-wise
// reference (namespace ln_simd_ref), so both paths give the same answer and no
// load reaches past buf + len. On a processor without SSE4.2 the byte-wise
// references serve every call.
//
// Whitespace here is tab, line feed, vertical tab, form feed, carriage return
// (9 to 13) and space (32).
//
// Return codes of the span and number scanners: 0 found; -1 invalid
// arguments; -2 not found (the span then covers the whole input); -4 the input
// does not have the required form.
#pragma once

#include <cstddef>
#include <cstdint>

struct ln_span_t {
  const char *start;
  size_t len;      // length of the extracted value
  size_t consumed; // bytes to advance the input position
};

struct ln_number_t {
  int64_t value;   // int64, or the bit pattern of a uint64 (unsigned, hex)
  size_t consumed;
  bool negative;
  bool overflow;   // value does not fit; value is then clamped to the bound
};

struct ln_ipv4_t {
  uint32_t addr;      // host order
  uint8_t octets[4];  // in text order
  size_t consumed;
  bool valid;
};

#define LN_SIMD_OK 0
#define LN_SIMD_EINVAL (-1)
#define LN_SIMD_NOTFOUND (-2)
#define LN_SIMD_EFORM (-4)

// "sse42" when the scanners use SSE4.2, "bytewise" otherwise.
const char *ln_simd_backend_name(void);

size_t ln_simd_find_char(const char *buf, size_t len, char c);
size_t ln_simd_find_char_set(const char *buf, size_t len, const char *chars);
size_t ln_simd_find_not_char_set(const char *buf, size_t len, const char *chars);
size_t ln_simd_skip_chars(const char *buf, size_t len, const char *chars);
size_t ln_simd_skip_space(const char *buf, size_t len);
size_t ln_simd_find_space(const char *buf, size_t len);
int ln_simd_word(const char *buf, size_t len, ln_span_t *span);
int ln_simd_char_to(const char *buf, size_t len, char delim, ln_span_t *span);
int ln_simd_char_to_set(const char *buf, size_t len, const char *chars, ln_span_t *span);
int ln_simd_string_to(const char *buf, size_t len, const char *delim, size_t delim_len,
                      ln_span_t *span);
int ln_simd_quoted(const char *buf, size_t len, ln_span_t *span);
int ln_simd_bracketed(const char *buf, size_t len, char open, char close, ln_span_t *span);
int ln_simd_number(const char *buf, size_t len, ln_number_t *result);
int ln_simd_unsigned(const char *buf, size_t len, ln_number_t *result);
int ln_simd_hex(const char *buf, size_t len, ln_number_t *result);
int ln_simd_ipv4(const char *buf, size_t len, ln_ipv4_t *result);
int ln_simd_ipv4_port(const char *buf, size_t len, ln_ipv4_t *ip, uint16_t *port);
int ln_simd_iso_date(const char *buf, size_t len, ln_span_t *span);
int ln_simd_timestamp(const char *buf, size_t len, ln_span_t *span, int64_t *epoch_ms);
size_t ln_simd_unescape(char *buf, size_t len);

// Byte-wise references: the same contracts, one byte at a time. The vector
// paths hand their tails to these, and the tests hold every primitive to them.
namespace ln_simd_ref {
size_t find_char(const char *buf, size_t len, char c);
size_t find_char_set(const char *buf, size_t len, const char *chars);
size_t find_not_char_set(const char *buf, size_t len, const char *chars);
size_t skip_space(const char *buf, size_t len);
size_t find_space(const char *buf, size_t len);
int word(const char *buf, size_t len, ln_span_t *span);
int char_to(const char *buf, size_t len, char delim, ln_span_t *span);
int char_to_set(const char *buf, size_t len, const char *chars, ln_span_t *span);
int string_to(const char *buf, size_t len, const char *delim, size_t delim_len, ln_span_t *span);
int quoted(const char *buf, size_t len, ln_span_t *span);
int bracketed(const char *buf, size_t len, char open, char close, ln_span_t *span);
int iso_date(const char *buf, size_t len, ln_span_t *span);
int timestamp(const char *buf, size_t len, ln_span_t *span, int64_t *epoch_ms);
size_t unescape(char *buf, size_t len);
} // namespace ln_simd_ref

// Test hook: 1 forces the byte-wise references for every call, 0 restores the
// build's choice. Returns the previous setting.
int ln_simd_force_bytewise(int on);
