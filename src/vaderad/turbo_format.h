// VaderAD program format: the contract between the compiler (turbo.cpp) and
// the VM (turbo_vm). A program is a flat array of 64-byte instructions plus one
// string pool; execution starts at instruction 0.
//
// Everything a producer or consumer of a program must know is here:
//   - the instruction record ln_instr_t and its operand layouts (data union),
//   - the flag bits and what `aux` means for each opcode,
//   - the opcode table LN_OPCODE_TABLE: value, name, whether the compiler
//     emits it, operand layout and listing format, in one row per opcode,
//   - the string pool (interning) and the program descriptor ln_program_t,
//   - the text listing of an instruction and of a program.
//
// Opcode values are part of the format and never change. Unused bytes of an
// instruction are zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct ln_rw_tab; // a bound rewrite table (normalizer/rewrite.h)
struct ln_ctx_s;    // the normalizer context (normalizer/context.h)
struct ln_parser_s; // one edge of the parse DAG (normalizer/pdag.h)

// ---------------------------------------------------------------------------
// Flag bits of ln_instr_t.flags
// ---------------------------------------------------------------------------
// STATIC_FIELD: the value replaces the latest field of the same name instead
// of being appended (annotation fields).
#define LN_IF_REPLACE 0x01u
// FIELD_CHAR_TO: the terminator is a set of bytes in the pool at
// char_to.set_off; aux is the set's length.
#define LN_IF_CHARSET 0x02u
// The instruction stores a field under its name. SKIP_SPACE: the skipped
// whitespace is stored.
#define LN_IF_STORE 0x04u
// FIELD_CHAR_TO: char-separated semantics (an empty value is accepted and the
// end of input counts as a terminator).
#define LN_IF_CHARSEP 0x08u
// The name is in the string pool: the first uint32 of data is its offset
// (data.name_pool.off). Layout members after that first word keep their place.
#define LN_IF_POOLED_NAME 0x10u
// FIELD_INT, FIELD_HEX: store the value as an integer. FIELD_FLOAT: store the
// text as a raw JSON number.
#define LN_IF_AS_NUMBER 0x20u
// STATIC_FIELD: key and value are in the pool (kv_pool). REPEAT: a mismatch
// inside the body is permitted.
#define LN_IF_POOLED_KV 0x40u
#define LN_IF_PERMIT_MISMATCH 0x40u
// FIELD_DATE: convert the timestamp (aux low byte = format mode, high byte =
// 1 for RFC 5424, 0 for RFC 3164).
#define LN_IF_DATE_CONVERT 0x80u

// ---------------------------------------------------------------------------
// Instruction record
// ---------------------------------------------------------------------------
// Longest name kept inline per layout (one byte stays for the terminator).
#define LN_INLINE_STR 59
#define LN_INLINE_CHAR_TO 51
#define LN_INLINE_REPEAT 51
#define LN_INLINE_STR_TO 55
#define LN_INLINE_KV 29
#define LN_LITERAL_MAX 60 // LITERAL: bytes in data.str, counted by aux (no terminator needed)

// Offset value returned by a failed pool interning.
#define LN_POOL_FAIL 0xFFFFFFFFu

struct ln_instr_t {
  uint8_t op;    // ln_opcode_t
  uint8_t flags; // LN_IF_* bits
  uint16_t aux;  // small operand, meaning per opcode (see the table)
  union {
    char str[60];    // inline text: literal bytes, name, tag, rule id; NUL-padded
    uint8_t bytes[60];
    struct {
      int32_t offset; // target = index of this instruction + offset
      uint8_t pad[56];
    } jump; // JUMP, FORK, CALL
    struct {
      char name[52];
      uint32_t set_off; // pool offset of the terminator set (flag 0x02)
      uint8_t delim;    // FIELD_CHAR_TO, CHECKPOINT_LEA: terminator; FIELD_NAME_VALUE: separator (0 = whitespace)
      uint8_t ass;      // FIELD_NAME_VALUE: assignment character (0 = '=')
      uint8_t ignore_ws; // FIELD_NAME_VALUE: skip whitespace around names and values
      uint8_t pad;
    } char_to;
    struct {
      char name[56];
      uint32_t delim_off; // pool offset of the delimiter; aux = its length
    } str_to;
    struct {
      char key[30];
      char val[30];
    } kv; // STATIC_FIELD, inline
    struct {
      uint32_t key_off; // aux = key length
      uint32_t val_off;
      uint32_t val_len;
      uint8_t pad[48];
    } kv_pool; // STATIC_FIELD with flag 0x40
    struct {
      char name[52];
      int32_t parser_off; // body starts at index of the REPEAT + parser_off
      int32_t while_off;  // loop condition starts at index of the REPEAT + while_off
    } repeat;
    struct {
      uint32_t off;
      uint32_t len;
      uint32_t name_off; // with flag 0x04: pool offset of the field name
      uint8_t pad[48];
    } lit_pool; // LITERAL_EXT
    struct {
      uint32_t off; // pool offset of the name when flag 0x10 is set
      uint8_t pad[56];
    } name_pool;
  } data;
};

static_assert(sizeof(ln_instr_t) == 64, "an instruction is exactly 64 bytes");
static_assert(offsetof(ln_instr_t, op) == 0);
static_assert(offsetof(ln_instr_t, flags) == 1);
static_assert(offsetof(ln_instr_t, aux) == 2);
static_assert(offsetof(ln_instr_t, data) == 4);
static_assert(sizeof(ln_instr_t::data) == 60);
static_assert(offsetof(ln_instr_t, data.char_to.set_off) == 4 + 52);
static_assert(offsetof(ln_instr_t, data.char_to.delim) == 4 + 56);
static_assert(offsetof(ln_instr_t, data.char_to.ass) == 4 + 57);
static_assert(offsetof(ln_instr_t, data.char_to.ignore_ws) == 4 + 58);
static_assert(offsetof(ln_instr_t, data.str_to.delim_off) == 4 + 56);
static_assert(offsetof(ln_instr_t, data.kv.val) == 4 + 30);
static_assert(offsetof(ln_instr_t, data.kv_pool.val_off) == 4 + 4);
static_assert(offsetof(ln_instr_t, data.kv_pool.val_len) == 4 + 8);
static_assert(offsetof(ln_instr_t, data.repeat.parser_off) == 4 + 52);
static_assert(offsetof(ln_instr_t, data.repeat.while_off) == 4 + 56);
static_assert(offsetof(ln_instr_t, data.lit_pool.len) == 4 + 4);
static_assert(offsetof(ln_instr_t, data.lit_pool.name_off) == 4 + 8);

// ---------------------------------------------------------------------------
// What the opcodes mean
// ---------------------------------------------------------------------------
// Every field opcode accepts exactly what the walker's parser of the same
// kind accepts and stores the same value; the compiler emits an opcode only
// for parser options it can express here, and declines the rulebase
// otherwise. Name: the field name (inline, or pooled with flag 0x10); "-"
// keeps no value, "." merges an object value into the enclosing context.
//
//   LITERAL, LITERAL_EXT   the bytes, exactly. LITERAL_EXT with flag 0x04 is a
//                          named literal: the matched bytes are also stored as
//                          an ordinary text field (context-prefixed, like any
//                          field) whose name is the pooled text at
//                          lit_pool.name_off.
//   FIELD_WORD             aux 0: the walker's "word" (one or more bytes up to
//                          a space or the end); aux 1: one or more hexadecimal
//                          digits; aux 2: the walker's "alpha" (one or more
//                          ASCII letters).
//   FIELD_INT              "number"; aux = maxval (0 = no limit).
//   FIELD_FLOAT            "float".  FIELD_HEX: "hexnumber", aux = maxval.
//   FIELD_QUOTED           aux 0/1: "op-quoted-string" without/with escape;
//                          aux 2: "quoted-string".
//   FIELD_CHAR_TO          "char-to": one or more bytes up to a terminator,
//                          which must be present and is not consumed. With
//                          flag 0x08 "char-sep": zero or more bytes up to a
//                          terminator or the end. The terminator is
//                          char_to.delim, or with flag 0x02 any byte of the
//                          pooled set of aux bytes at char_to.set_off.
//   FIELD_STR_TO           "string-to": one or more bytes up to the pooled
//                          delimiter of aux (>= 2) bytes, not consumed.
//   FIELD_DATE             aux 1 (no flag 0x80): "date-iso". Otherwise the
//                          high byte of aux selects "date-rfc3164" (0) or
//                          "date-rfc5424" (1); with flag 0x80 the low byte is
//                          the format mode (2 Unix seconds, 3 Unix ms).
//   FIELD_TIME             aux 0 "time-24hr", 1 "time-12hr", 2 "duration".
//   FIELD_JSON             "json" (skipempty included); aux = rewrite table
//                          when the name is ".".
//   FIELD_NAME_VALUE       "name-value-list"; CEF_HDR "cef"; CHECKPOINT_LEA
//                          "checkpoint-lea"; V2_IPTABLES "v2-iptables";
//                          CEE_SYSLOG "cee-syslog"; CISCO_IFACE
//                          "cisco-interface-spec"; FIELD_KERNEL_TS
//                          "kernel-timestamp"; FIELD_MAC "mac48"; FIELD_IPV4,
//                          FIELD_IPV6, FIELD_REST, SKIP_SPACE ("whitespace")
//                          as their walker parsers.
//   TAG, MATCH             the tag / rule id: inline, or pooled with flag 0x10.
//   CALL ... RET           a user-defined type: the body is run like the
//                          walker runs a type (partial match, first success
//                          wins, no backtracking into the body afterwards).
//   REPEAT                 "repeat": body at +parser_off, loop condition at
//                          +while_off; both end in RET.

// ---------------------------------------------------------------------------
// Opcode table
// ---------------------------------------------------------------------------
// Operand layouts (which member of data an opcode reads).
enum ln_operand_layout {
  LN_LAYOUT_NONE,     // no operand in data
  LN_LAYOUT_STR,      // data.str (name, tag, rule id, literal bytes, one byte)
  LN_LAYOUT_JUMP,     // data.jump
  LN_LAYOUT_CHAR_TO,  // data.char_to
  LN_LAYOUT_STR_TO,   // data.str_to
  LN_LAYOUT_KV,       // data.kv, or data.kv_pool with flag 0x40
  LN_LAYOUT_REPEAT,   // data.repeat
  LN_LAYOUT_LIT_POOL, // data.lit_pool
};

// Listing formats (how ln_instr_disasm prints an opcode).
enum ln_listing_format {
  LN_LIST_PLAIN,      // NAME
  LN_LIST_NAME,       // NAME "name"
  LN_LIST_JUMP,       // NAME +offset
  LN_LIST_LITERAL,    // NAME "bytes" (aux bytes)
  LN_LIST_LIT_POOL,   // NAME pool+off/len "bytes"
  LN_LIST_CHAR,       // NAME 'c' or NAME 0xNN
  LN_LIST_CHAR_TO,    // NAME "name" delim='c' (set="..." with flag 0x02)
  LN_LIST_STR_TO,     // NAME "name" delim=+off/len "delimiter"
  LN_LIST_NAME_VALUE, // NAME "name" sep=ws|'c' ass='c'
  LN_LIST_COUNT,      // NAME aux
  LN_LIST_STATIC,     // NAME "key"="value" or NAME pool+k=pool+v "key"="value"
  LN_LIST_LEA,        // NAME "name" term='c'
  LN_LIST_REPEAT,     // NAME "name" body=+n while=+m
};

// X(value, enumerator, name, compiled, layout, listing, aux meaning)
// `compiled` is 1 when the compiler emits the opcode; the VM implements all.
#define LN_OPCODE_TABLE(X)                                                                       \
  /* control */                                                                                  \
  X(0, OP_HALT, "HALT", 1, NONE, PLAIN, "-")             /* fail the current path */             \
  X(1, OP_MATCH, "MATCH", 1, STR, NAME, "-")             /* success; str = rule id */            \
  X(2, OP_JUMP, "JUMP", 1, JUMP, JUMP, "-")              /* continue at target */                \
  X(3, OP_FORK, "FORK", 1, JUMP, JUMP, "-")              /* push target as alternative */        \
  X(4, OP_FAIL, "FAIL", 1, NONE, PLAIN, "-")             /* fail the current path */             \
  X(5, OP_CALL, "CALL", 1, JUMP, JUMP, "-")              /* push return index, go to target */   \
  X(6, OP_RET, "RET", 1, NONE, PLAIN, "-")               /* return; drop alternatives of call */ \
  /* text */                                                                                     \
  X(16, OP_LITERAL, "LITERAL", 1, STR, LITERAL, "length (<= 60)")                                \
  X(17, OP_LITERAL_EXT, "LITERAL_EXT", 1, LIT_POOL, LIT_POOL, "length, 0 when >= 65536")         \
  X(18, OP_LITERAL_CI, "LITERAL_CI", 0, STR, LITERAL, "length (<= 60)")                          \
  X(19, OP_CHAR, "CHAR", 0, STR, CHAR, "-")              /* str[0] */                            \
  X(20, OP_ANY, "ANY", 0, NONE, PLAIN, "-")                                                      \
  X(21, OP_CHARSET, "CHARSET", 0, NONE, PLAIN, "-")      /* always fails */                      \
  /* fields */                                                                                   \
  X(32, OP_FIELD_WORD, "FIELD_WORD", 1, STR, NAME, "0 word, 1 hex-digit run, 2 letter run")      \
  X(33, OP_FIELD_INT, "FIELD_INT", 1, STR, NAME, "maximum value, 0 = none")                      \
  X(34, OP_FIELD_UINT, "FIELD_UINT", 0, STR, NAME, "-")                                          \
  X(35, OP_FIELD_FLOAT, "FIELD_FLOAT", 1, STR, NAME, "-")                                        \
  X(36, OP_FIELD_IPV4, "FIELD_IPV4", 1, STR, NAME, "-")                                          \
  X(37, OP_FIELD_IPV6, "FIELD_IPV6", 1, STR, NAME, "-")                                          \
  X(38, OP_FIELD_HEX, "FIELD_HEX", 1, STR, NAME, "maximum value, 0 = none")                      \
  X(39, OP_FIELD_QUOTED, "FIELD_QUOTED", 1, STR, NAME,                                           \
    "0 op-quoted, 1 op-quoted with escapes, 2 quoted only")                                      \
  X(40, OP_FIELD_CHAR_TO, "FIELD_CHAR_TO", 1, CHAR_TO, CHAR_TO, "set length (flag 0x02)")        \
  X(41, OP_FIELD_STR_TO, "FIELD_STR_TO", 1, STR_TO, STR_TO, "delimiter length")                  \
  X(42, OP_FIELD_REST, "FIELD_REST", 1, STR, NAME, "-")                                          \
  X(43, OP_FIELD_JSON, "FIELD_JSON", 1, STR, NAME, "rewrite table number, 0 = none")             \
  X(44, OP_FIELD_MAC, "FIELD_MAC", 1, STR, NAME, "-")                                            \
  X(45, OP_FIELD_DATE, "FIELD_DATE", 1, STR, NAME,                                               \
    "0 RFC 3164/5424 text, 1 ISO date; with flag 0x80: low byte format mode, high byte 5424")    \
  X(46, OP_FIELD_REGEX, "FIELD_REGEX", 0, NONE, PLAIN, "-") /* always fails */                  \
  X(47, OP_FIELD_NAME_VALUE, "FIELD_NAME_VALUE", 1, CHAR_TO, NAME_VALUE,                         \
    "rewrite table number, 0 = none")                                                            \
  /* skipping */                                                                                 \
  X(64, OP_SKIP_SPACE, "SKIP_SPACE", 1, STR, NAME, "-")  /* name listed only with flag 0x04 */   \
  X(65, OP_SKIP_SPACE1, "SKIP_SPACE1", 0, NONE, PLAIN, "-")                                      \
  X(66, OP_SKIP_N, "SKIP_N", 0, NONE, COUNT, "byte count")                                       \
  X(67, OP_SKIP_TO, "SKIP_TO", 0, STR, CHAR, "-")                                                \
  X(68, OP_SKIP_PAST, "SKIP_PAST", 0, STR, CHAR, "-")                                            \
  X(69, OP_SKIP_LINE, "SKIP_LINE", 0, NONE, PLAIN, "-")                                          \
  /* result */                                                                                   \
  X(80, OP_TAG, "TAG", 1, STR, NAME, "-")                                                        \
  X(81, OP_RULE_ID, "RULE_ID", 0, STR, NAME, "-")                                                \
  X(82, OP_STATIC_FIELD, "STATIC_FIELD", 1, KV, STATIC, "key length")                           \
  X(88, OP_CTX_PUSH, "CTX_PUSH", 1, STR, NAME, "-")                                              \
  X(89, OP_CTX_POP, "CTX_POP", 1, NONE, PLAIN, "-")                                              \
  X(90, OP_CTX_NEST, "CTX_NEST", 0, STR, NAME, "-")                                              \
  X(91, OP_CTX_UNNEST, "CTX_UNNEST", 0, NONE, PLAIN, "-")                                        \
  /* assertions */                                                                               \
  X(96, OP_ASSERT_CHAR, "ASSERT_CHAR", 0, STR, CHAR, "-")                                        \
  X(97, OP_ASSERT_END, "ASSERT_END", 1, NONE, PLAIN, "-")                                        \
  X(98, OP_ASSERT_START, "ASSERT_START", 0, NONE, PLAIN, "-")                                    \
  /* structured handlers */                                                                      \
  X(112, OP_SYSLOG_PRI, "SYSLOG_PRI", 0, NONE, PLAIN, "-")                                       \
  X(113, OP_SYSLOG_TS, "SYSLOG_TS", 0, STR, NAME, "-")   /* name, empty = "timestamp" */         \
  X(114, OP_CEF_HDR, "CEF_HDR", 1, STR, NAME, "rewrite table number, 0 = none")                  \
  X(115, OP_V2_IPTABLES, "V2_IPTABLES", 1, STR, NAME, "-")                                       \
  X(116, OP_CEE_SYSLOG, "CEE_SYSLOG", 1, STR, NAME, "-")                                         \
  X(117, OP_CHECKPOINT_LEA, "CHECKPOINT_LEA", 1, CHAR_TO, LEA, "-")                              \
  X(118, OP_FIELD_TIME, "FIELD_TIME", 1, STR, NAME, "0 24-hour, 1 12-hour, 2 duration")          \
  X(119, OP_FIELD_KERNEL_TS, "FIELD_KERNEL_TS", 1, STR, NAME, "-")                               \
  X(120, OP_CISCO_IFACE, "CISCO_IFACE", 1, STR, NAME, "-")                                       \
  X(121, OP_REPEAT, "REPEAT", 1, REPEAT, REPEAT, "1 = duplicate field names fail the repeat")    \
  /* misc */                                                                                     \
  X(240, OP_NOP, "NOP", 1, NONE, PLAIN, "-")                                                     \
  X(254, OP_DEBUG, "DEBUG", 0, NONE, PLAIN, "-")                                                 \
  X(255, OP_INVALID, "INVALID", 0, NONE, PLAIN, "-")

enum ln_opcode_t : uint8_t {
#define LN_OPCODE_ENUM(v, e, n, c, lay, lst, aux) e = v,
  LN_OPCODE_TABLE(LN_OPCODE_ENUM)
#undef LN_OPCODE_ENUM
};

// One row of the opcode table, for code that dispatches on data (the listing,
// pool validation, tests).
struct ln_opcode_info {
  uint8_t value;
  const char *name;
  uint8_t compiled;
  enum ln_operand_layout layout;
  enum ln_listing_format listing;
  const char *aux_meaning;
};

// The row of op, or null for a value that is no opcode.
const struct ln_opcode_info *ln_opcode_info_of(unsigned op);
// Name of op; "UNKNOWN" for a value that is no opcode.
const char *ln_opcode_name(unsigned op);

// ---------------------------------------------------------------------------
// String pool
// ---------------------------------------------------------------------------
// One growable byte buffer. Interning appends the n bytes and a NUL and returns
// the offset of the first byte; equal strings are not shared; the capacity
// starts at 256 and doubles until the entry fits. LN_POOL_FAIL when memory is
// short or the pool would pass 4 GiB; nothing changes then.
uint32_t ln_strpool_intern(char **pool, uint32_t *len, uint32_t *cap, const char *s, size_t n);
// The NUL-terminated text at off when it lies wholly inside the pool, else null.
const char *ln_strpool_cstr(const char *pool, uint32_t pool_len, uint32_t off);
// True when [off, off+n) lies inside the pool and a NUL byte follows it there.
bool ln_strpool_span_ok(const char *pool, uint32_t pool_len, uint32_t off, uint64_t n);

// ---------------------------------------------------------------------------
// Program descriptor
// ---------------------------------------------------------------------------
// The execution view of a compiled program, built per call by its user; it
// owns nothing.
struct ln_program_t {
  const ln_instr_t *code;
  uint32_t code_len;
  const char *name;    // the VaderAD context passes "turbo"
  uint32_t flags;      // always 0
  const char *strpool; // may be null when nothing was pooled
  // The context's rewrite tables: table number k (aux of FIELD_JSON,
  // FIELD_NAME_VALUE, CEF_HDR; 0 = none) is rw_tabs[k - 1], for k <= n_rw_tabs.
  struct ln_rw_tab *const *rw_tabs;
  uint32_t n_rw_tabs;
  uint32_t strpool_len; // bytes in strpool; bounds every pool reference
  // The DAG edge each structured opcode was compiled from, indexed by
  // instruction (null elsewhere), and the context owning the DAG. The
  // structured handlers run the walker's own parser of that edge on the
  // payload; without an edge (a hand-built program) they only probe.
  struct ln_ctx_s *walker_ctx;
  struct ln_parser_s *const *edges;
  uint32_t n_edges;
};

// Checks every pool reference and every jump target of a program, in
// instruction order: a pooled name (flag 0x10), a pooled static field key and
// value (flag 0x40), a pooled literal and a named literal's name, a string-to
// delimiter, a char-to terminator set (flag 0x02) must lie inside the pool
// with a NUL behind them; JUMP, FORK, CALL and REPEAT targets must be
// instructions of the program. 0 when all hold; -1 for the first bad pool
// reference, -2 for the first bad target, with its description in err
// ("pooled literal at instruction 7 points outside the string pool").
int ln_program_validate(const ln_program_t *prog, char *err, size_t errlen);

// ---------------------------------------------------------------------------
// Listing
// ---------------------------------------------------------------------------
// One instruction's text into buf (snprintf semantics); returns snprintf's
// result, or 0 without writing when inst or buf is null or len is 0. Pooled
// operands are printed as "pool+offset" only.
int ln_instr_disasm(const ln_instr_t *inst, char *buf, size_t len);
// As ln_instr_disasm, and pooled names, literals, delimiters, sets and static
// fields are printed from the pool. Bytes below 0x20, 0x7f, '"' and '\' inside
// quoted text are escaped (\xNN, \", \\).
int ln_instr_disasm_pool(const ln_instr_t *inst, const char *pool, uint32_t pool_len, char *buf,
                         size_t len);
// "=== Program: NAME ===", "Instructions: N", an empty line, one "[%4u] text"
// line per instruction and a final empty line. No output when prog or fp is
// null.
void ln_program_disasm(const ln_program_t *prog, FILE *fp);
