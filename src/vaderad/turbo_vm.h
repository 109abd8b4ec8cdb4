// VaderAD's virtual machine: a backtracking matcher that runs a compiled
// program (turbo_format.h) over one message and fills a flat result.
//
// FORK records an alternative; a failing instruction resumes the newest one
// and drops every field and tag stored after it; MATCH ends the run. Values are
// spans of the input, inline copies of short texts, or arena memory; a run
// allocates nothing from the heap.
//
// The field opcodes accept exactly the text the walker's parser of the same
// field type accepts and yield the same values: the walker is the reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <locale.h>

#include "vaderad/turbo_arena.h"
#include "vaderad/turbo_format.h"

struct fjson_object;

#define LN_VM_MAX_FORKS 64
#define LN_VM_MAX_CALLS 16
#define LN_VM_MAX_FIELD_CTX 16
#define LN_FAST_MAX_FIELDS 128
#define LN_FAST_MAX_TAGS 16
#define LN_VM_INSTR_LIMIT 100000000ull

// Run results of ln_vm_exec.
#define LN_VM_MATCH 0
#define LN_VM_NOMATCH (-1)
#define LN_VM_ERROR (-2)     // bad program, stack overflow, arena exhausted, unsupported opcode
#define LN_VM_LIMIT (-3)     // instruction limit exceeded

enum ln_ftype_t : uint8_t {
  LN_FTYPE_NULL = 0,
  LN_FTYPE_STRING = 1,        // pointer and length
  LN_FTYPE_STRING_INLINE = 2, // copied into v.inl, NUL-terminated, length in inl_len
  LN_FTYPE_INT = 3,
  LN_FTYPE_DOUBLE = 4,
  LN_FTYPE_BOOL = 5,
};

// Field flags.
#define LN_FF_NAME_STATIC 0x01u // name storage belongs to the program or the arena
#define LN_FF_TEXT 0x02u        // text value
#define LN_FF_DOTTED 0x04u      // the name contains '.'
#define LN_FF_RAW_JSON 0x08u    // the text is a JSON value, written unquoted
#define LN_FF_SUPERSEDES 0x80u  // replaces an earlier field of the same name at MATCH

// Result flags.
#define LN_RF_MATCHED 0x01u
#define LN_RF_TRUNCATED 0x08u   // a field or tag did not fit
#define LN_RF_SUPERSEDES 0x80u  // some field supersedes an earlier one

#define LN_FAST_INLINE_MAX 47   // longest text copied inline

struct ln_fast_field_t {
  const char *name; // full field name (dotted path), not NUL-terminated in general
  uint16_t name_len;
  uint8_t type;     // ln_ftype_t
  uint8_t flags;    // LN_FF_*
  uint32_t inl_len; // length of an inline text (it may hold a zero byte)
  union {
    struct {
      const char *ptr;
      uint32_t len;
      uint32_t reserved;
    } str;
    char inl[48];
    int64_t i;
    double d;
    bool b;
  } v;
};
static_assert(sizeof(ln_fast_field_t) == 64);

struct ln_tag_entry_t {
  const char *tag; // NUL-terminated
  uint32_t hash;   // 32-bit FNV-1a of the tag text
};

struct ln_fast_result_t {
  ln_fast_field_t fields[LN_FAST_MAX_FIELDS];
  uint8_t n_fields;
  ln_tag_entry_t tags[LN_FAST_MAX_TAGS];
  uint8_t tag_hash[32]; // entry (hash mod 32) is 1 when some tag has that hash
  uint8_t n_tags;
  const char *rule_id;  // null when none
  uint8_t flags;        // LN_RF_*
  const char *original; // not recorded by the VM
  uint32_t original_len;
  ln_arena_t *arena;    // holds values of this result
};

struct ln_fork_t {
  uint32_t pc;
  const char *ip;
  uint8_t n_fields;
  uint8_t n_tags;
  uint8_t call_sp;
  uint8_t field_ctx_sp;
  uint32_t unserved_pc; // the path's first unserved field, UINT32_MAX for none
};

struct ln_field_ctx_t {
  const char *name; // full name, may be null
  uint16_t name_len;
  uint8_t is_nested;
  uint8_t discard;  // fields stored while this context is open are dropped
  uint32_t n_fields_at_push;
};

struct ln_vm_t {
  const ln_program_t *prog;
  const char *input;
  const char *input_end;
  uint32_t pc;
  const char *ip;
  ln_fork_t forks[LN_VM_MAX_FORKS];
  uint32_t fork_sp;
  uint32_t calls[LN_VM_MAX_CALLS];
  uint32_t call_sp;
  ln_field_ctx_t field_ctx[LN_VM_MAX_FIELD_CTX];
  uint32_t field_ctx_sp;
  ln_fast_result_t *result; // null: stores are skipped and succeed
  ln_arena_t *arena;
  locale_t c_locale;
  uint64_t instr_count;
  uint64_t backtrack_count;
  uint64_t instr_limit; // instructions per run; 0 = LN_VM_INSTR_LIMIT
  const char *matched_rule;
  const char *error; // static text or error_buf; null when none
  char error_buf[64];
  uint8_t fail_on_dup;
  // Index of the first field on the current path whose value the VM cannot
  // produce yet (a structured payload the walker's parser accepted there),
  // UINT32_MAX for none. A MATCH on such a path ends the run with an error.
  uint32_t unserved_pc;
  // Fields stored from structured values in this run (backtracking does not
  // lower it); a MATCH then checks the names for "a" beside "a.b".
  uint32_t struct_stores;
};

// 0, or -2 when an argument is null or the "C" locale cannot be created.
int ln_vm_init(ln_vm_t *vm, ln_arena_t *arena);
void ln_vm_destroy(ln_vm_t *vm);
// Clears the run state; keeps arena, locale and instr_limit.
void ln_vm_reset(ln_vm_t *vm);
// Runs prog over input[0, len) filling result (may be null). Run result above.
int ln_vm_exec(ln_vm_t *vm, const ln_program_t *prog, const char *input, size_t len,
               ln_fast_result_t *result);
int ln_vm_continue(ln_vm_t *vm);
void ln_vm_dump(const ln_vm_t *vm, FILE *fp);
void ln_vm_set_trace(ln_vm_t *vm, int enable);

// Empties a result for the next message (keeps its arena link).
void ln_fast_result_clear(ln_fast_result_t *r);

// The libfastjson value of one field (raw JSON parsed; text on a parse
// failure); null for LN_FTYPE_NULL or out of memory.
struct fjson_object *ln_turbo_field_json(const ln_fast_field_t *field);

// Unix time of a timestamp the walker's date parser of that kind accepts
// (kind 0 = RFC 3164 with the current UTC year, 1 = RFC 5424); milliseconds
// when ms is non-zero. 0 with *ts and *parsed, -1 when the text is not one.
int ln_turbo_date2unix(int kind, const char *str, size_t len, int ms, size_t *parsed, int64_t *ts);
