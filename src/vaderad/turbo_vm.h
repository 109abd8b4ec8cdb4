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
#define LN_FF_NAME_PROGRAM 0x10u // the name lies in the program (code or string pool)
#define LN_FF_SUPERSEDES 0x80u  // replaces an earlier field of the same name at MATCH

// Result flags.
#define LN_RF_MATCHED 0x01u
#define LN_RF_TRUNCATED 0x08u   // a field or tag did not fit
#define LN_RF_SUPERSEDES 0x80u  // some field supersedes an earlier one

#define LN_FAST_INLINE_MAX 47   // longest text copied inline
#define LN_VM_NAME_BUF 16384    // bytes of a VM's name buffer

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

// Start sets of a program, built once per program: for every instruction,
// the bytes at which it may succeed and whether it may succeed at the end of
// the input. A FORK, JUMP or NOP inherits the sets of the code it leads to, so
// FORK skips, with one lookup, an alternative whose whole subtree cannot start
// with the next byte. The sets only ever hold too much: an instruction whose
// outcome the first byte does not decide, or that could end the run with an
// error, may start anywhere.
struct ln_vm_start_set_t {
  uint64_t bits[4];
  uint8_t at_end;
};

// The resolved name of an instruction (inline or pooled), so that a store
// neither measures nor looks it up again.
struct ln_vm_name_t {
  const char *name;
  const char *src; // the inline member it was measured in; null for a pooled name
  uint32_t len;
  uint16_t ok;     // 0: no cached name, resolve it as usual
  uint8_t plain;   // 1: outside a field context the field is named exactly this
                   // (not empty, "-", ".." or "...", shorter than 65536 bytes)
  uint8_t dotted;  // 1: the name holds a '.'
  const char *value; // STATIC_FIELD: its value (the name is its key), or null
  uint32_t value_len;
  uint32_t tag_hash; // TAG: the tag's hash (see op_tag), when ok
};

// Where a chain of FORKs (each the target of the one before) leads for one
// next byte: the first FORK of the chain whose fall-through may start with the
// byte, or the chain's last target when none may; hops is the number of
// FORKs passed that count as instructions.
struct ln_vm_fork_jump_t {
  uint32_t pc;
  uint32_t hops;
};

// Chains of at least this many FORKs get a jump table (257 entries: one per
// byte and one for the end of the input), within LN_VM_FORK_TABLES_MAX bytes
// a program.
#define LN_VM_FORK_CHAIN_MIN 3
#define LN_VM_FORK_TABLES_MAX (8u << 20)

struct ln_vm_index_t {
  const ln_instr_t *code; // the program the sets were built for
  uint32_t code_len;
  ln_vm_start_set_t *sets; // code_len entries; null when there are none
  ln_vm_name_t *names;     // code_len entries
  uint32_t *jump_of;       // code_len entries: 0, or 1 + the first entry of the FORK's table
  ln_vm_fork_jump_t *jumps;
};

// Builds the start sets of prog into ix (which must be empty or freed): 0, or
// -1 when memory is short (ix stays empty; the VM then runs without it).
int ln_vm_index_build(ln_vm_index_t *ix, const ln_program_t *prog);
void ln_vm_index_free(ln_vm_index_t *ix);

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
  // Start sets of the program (kept by ln_vm_reset); used only when built for
  // the code being run. Null: FORK looks at the first instruction only.
  const ln_vm_index_t *index;
  // The index's tables when it was built for the program of this run (set by
  // ln_vm_exec), else null.
  const ln_vm_start_set_t *sets;
  const ln_vm_name_t *names;
  const uint32_t *jump_of;
  const ln_vm_fork_jump_t *jumps;
  // Fields stored from structured values in this run (backtracking does not
  // lower it); a MATCH then checks the names for "a" beside "a.b".
  uint32_t struct_stores;
  // Result shapes whose names passed that check (kept across runs for one
  // program; freed by ln_vm_destroy): the check depends on the names alone.
  struct ln_vm_clean_shapes *clean_shapes;
  // Names the structured readers build, one after the other and each ended
  // by a zero byte (the shape caches compare such a run as one span):
  // LN_VM_NAME_BUF bytes allocated on first use, emptied by ln_vm_reset,
  // freed by ln_vm_destroy. Like the arena, it holds a result's names until
  // the next run.
  char *name_buf;
  uint32_t name_buf_used;
  // ln_shape_hash of the result, when that check worked it out at MATCH
  // (shape_hash_set); cleared by ln_vm_reset.
  uint64_t shape_hash;
  uint8_t shape_hash_set;
  // The serial of the clean shape the result was found to have at MATCH (0:
  // none; cleared by ln_vm_reset), and the last serial given out (never
  // reset, so a serial names one identity for the life of the VM).
  uint64_t shape_serial;
  uint64_t shape_serials;
};

// 0, or -2 when an argument is null or the "C" locale cannot be created.
int ln_vm_init(ln_vm_t *vm, ln_arena_t *arena);
void ln_vm_destroy(ln_vm_t *vm);
// Clears the run state; keeps arena, locale and instr_limit.
void ln_vm_reset(ln_vm_t *vm);
// Drops what the VM keeps about the names of a program (its clean shapes):
// call it when the program is replaced.
void ln_vm_forget_shapes(ln_vm_t *vm);
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
