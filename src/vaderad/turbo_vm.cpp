// The VaderAD virtual machine: dispatch loop, backtracking, calls, field
// contexts, the stores, and the control, text, scalar, date, time and address
// opcodes. Structured payload opcodes are served by turbo_vm_struct.cpp.
//
// Every field opcode accepts what the walker's parser of the same type accepts.
// The fixed-shape types (dates, times, addresses) call the walker's matching
// function without asking for a value, which allocates nothing; the text types
// use the scanning primitives.
#include "vaderad/turbo_vm.h"

#include <libfastjson/json.h>
#include <libfastjson/json_tokener.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <ctime>
#include <vector>

#include "normalizer/parser.h"
#include "normalizer/walker.h"
#include "vaderad/turbo_shape.h"
#include "vaderad/turbo_simd.h"
#include "vaderad/turbo_store.h"
#include "vaderad/turbo_vm_struct.h"

namespace {

enum HandlerResult { H_NEXT, H_JUMPED, H_FAIL, H_MATCH, H_ERROR, H_LIMIT };

using Handler = HandlerResult (*)(ln_vm_t *, const ln_instr_t *);

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool is_xdigit(unsigned char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
inline bool is_alpha(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline bool is_ws(unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); }

inline size_t rem(const ln_vm_t *vm) { return static_cast<size_t>(vm->input_end - vm->ip); }

HandlerResult run_error(ln_vm_t *vm, const char *msg) {
  vm->error = msg;
  return H_ERROR;
}

// ------------------------------------------------------------------ names

// The hash TAG keeps with each tag (FNV-1a), for the test "stored before".
inline uint32_t tag_hash(const char *tag, size_t len) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < len; ++i) h = (h ^ static_cast<unsigned char>(tag[i])) * 16777619u;
  return h;
}

// The raw name an instruction carries: inline in the layout's name member, or
// pooled with flag 0x10. Null when a pooled name lies outside the pool.
const char *instr_name(const ln_vm_t *vm, const ln_instr_t *in, const char *inline_name,
                       size_t width, size_t *len) {
  if (vm->names) {
    const ln_vm_name_t &c = vm->names[in - vm->prog->code];
    if (c.ok && (!c.src || c.src == inline_name)) {
      *len = c.len;
      return c.name;
    }
  }
  if (in->flags & LN_IF_POOLED_NAME) {
    const char *s = vm->prog->strpool
                        ? ln_strpool_cstr(vm->prog->strpool, vm->prog->strpool_len,
                                          in->data.name_pool.off)
                        : nullptr;
    *len = s ? strlen(s) : 0;
    return s;
  }
  *len = strnlen(inline_name, width);
  return inline_name;
}

const char *str_name(const ln_vm_t *vm, const ln_instr_t *in, size_t *len) {
  return instr_name(vm, in, in->data.str, sizeof in->data.str, len);
}

bool all_dots(const char *s, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (s[i] != '.') return false;
  return true;
}

enum NameRc { NAME_OK, NAME_NONE, NAME_ERROR };

// Full name of a field named n under the open field contexts.
NameRc build_field_name(ln_vm_t *vm, const char *n, size_t nlen, const char **out, size_t *outlen) {
  if (!n || (nlen == 1 && n[0] == '-')) return NAME_NONE;
  const ln_field_ctx_t *c = vm->field_ctx_sp ? &vm->field_ctx[vm->field_ctx_sp - 1] : nullptr;
  if (c && c->discard) return NAME_NONE;
  const bool ctx_named = c && c->name && c->name_len > 0 && !(c->name_len == 1 && c->name[0] == '.');
  if ((nlen == 2 && n[0] == '.' && n[1] == '.') || (nlen >= 3 && memcmp(n, "...", 3) == 0)) {
    if (!ctx_named) return NAME_NONE;
    *out = c->name;
    *outlen = c->name_len;
    return NAME_OK;
  }
  if (!c || nlen == 0 || !c->name || all_dots(c->name, c->name_len)) {
    *out = n;
    *outlen = nlen;
  } else {
    const size_t total = c->name_len + 1 + nlen;
    if (total >= 65536) return run_error(vm, "field name too long"), NAME_ERROR;
    char *p = static_cast<char *>(ln_arena_alloc(vm->arena, total));
    if (!p) return run_error(vm, "arena exhausted"), NAME_ERROR;
    memcpy(p, c->name, c->name_len);
    p[c->name_len] = '.';
    memcpy(p + c->name_len + 1, n, nlen);
    *out = p;
    *outlen = total;
  }
  if (*outlen >= 65536) return run_error(vm, "field name too long"), NAME_ERROR;
  return NAME_OK;
}

// ------------------------------------------------------------------ stores

enum StoreRc { ST_OK, ST_DUP, ST_FULL, ST_ERROR };

bool same_name(const ln_fast_field_t &f, const char *name, size_t len) {
  return f.name_len == len && (f.name == name || ln_same_bytes(f.name, name, len));
}

int newest_named(const ln_fast_result_t *r, const char *name, size_t len) {
  for (int i = r->n_fields - 1; i >= 0; --i)
    if (same_name(r->fields[i], name, len)) return i;
  return -1;
}

// A slot for a new field, or null when the result is full (truncated).
// program: the name lies in the program (LN_FF_NAME_PROGRAM).
ln_fast_field_t *new_slot(ln_vm_t *vm, const char *name, size_t nlen, bool program = false) {
  ln_fast_result_t *r = vm->result;
  if (r->n_fields >= LN_FAST_MAX_FIELDS) {
    r->flags |= LN_RF_TRUNCATED;
    return nullptr;
  }
  ln_fast_field_t *f = &r->fields[r->n_fields++];
  f->name = name;
  f->name_len = static_cast<uint16_t>(nlen);
  f->flags = static_cast<uint8_t>(LN_FF_NAME_STATIC | (ln_has_dot(name, nlen) ? LN_FF_DOTTED : 0) |
                                  (program ? LN_FF_NAME_PROGRAM : 0));
  f->inl_len = 0;
  return f;
}

// The slot of a store by instruction in under its own cached name, or null
// when the store takes the general path: a field context is active (names are
// prefixed or discarded), the name is an operator, failOnDuplicate is on, the
// result is full, or the name is not cached. inline_name is the member the
// instruction's layout keeps an inline name in.
inline ln_fast_field_t *plain_slot(ln_vm_t *vm, const ln_instr_t *in, const char *inline_name) {
  ln_fast_result_t *r = vm->result;
  if (!r || !vm->names || vm->field_ctx_sp || vm->fail_on_dup || r->n_fields >= LN_FAST_MAX_FIELDS)
    return nullptr;
  const ln_vm_name_t &c = vm->names[in - vm->prog->code];
  if (!c.ok || !c.plain || (c.src && c.src != inline_name)) return nullptr;
  ln_fast_field_t *f = &r->fields[r->n_fields++];
  f->name = c.name;
  f->name_len = static_cast<uint16_t>(c.len);
  f->flags = LN_FF_NAME_STATIC | LN_FF_NAME_PROGRAM | (c.dotted ? LN_FF_DOTTED : 0);
  f->inl_len = 0;
  return f;
}

// Text store of instruction in (name in its inline member inline_name, or
// pooled): the plain slot when there is one, else the general path.
StoreRc store_text(ln_vm_t *vm, const char *n, size_t nlen, const char *v, size_t vlen, bool raw);
__attribute__((noinline)) StoreRc store_instr_text_named(ln_vm_t *vm, const ln_instr_t *in,
                                                        const char *inline_name, size_t width,
                                                        const char *v, size_t vlen);
// The plain slot inline (no call, no saved registers), the rest out of line.
__attribute__((always_inline)) inline StoreRc store_instr_text(ln_vm_t *vm, const ln_instr_t *in,
                                                               const char *inline_name, size_t width,
                                                               const char *v, size_t vlen) {
  if (vlen <= UINT32_MAX) {
    if (ln_fast_field_t *f = plain_slot(vm, in, inline_name)) {
      ln_set_text(f, v, vlen, false);
      return ST_OK;
    }
  }
  return store_instr_text_named(vm, in, inline_name, width, v, vlen);
}

StoreRc store_instr_text_named(ln_vm_t *vm, const ln_instr_t *in, const char *inline_name, size_t width,
                               const char *v, size_t vlen) {
  size_t nlen;
  const char *name = instr_name(vm, in, inline_name, width, &nlen);
  if (!name) return run_error(vm, "pooled field name outside the string pool"), ST_ERROR;
  return store_text(vm, name, nlen, v, vlen, false);
}

// Resolves the full name; ST_OK with *name null when the field is not kept.
StoreRc store_name(ln_vm_t *vm, const char *n, size_t nlen, const char **name, size_t *len) {
  *name = nullptr;
  NameRc nr = build_field_name(vm, n, nlen, name, len);
  if (nr == NAME_ERROR) return ST_ERROR;
  if (nr == NAME_NONE) *name = nullptr;
  return ST_OK;
}

StoreRc check_dup(ln_vm_t *vm, const char *name, size_t len) {
  if (vm->fail_on_dup && newest_named(vm->result, name, len) >= 0) return ST_DUP;
  return ST_OK;
}

// Text (raw = false) or raw JSON text store of the value under raw name n.
StoreRc store_text(ln_vm_t *vm, const char *n, size_t nlen, const char *v, size_t vlen, bool raw) {
  if (!vm->result) return ST_OK;
  const char *name;
  size_t len;
  StoreRc rc = store_name(vm, n, nlen, &name, &len);
  if (rc != ST_OK || !name) return rc;
  if (vlen > UINT32_MAX) return run_error(vm, "value too long"), ST_ERROR;
  if (!raw && (rc = check_dup(vm, name, len)) != ST_OK) return rc;
  ln_fast_field_t *f = new_slot(vm, name, len);
  if (!f) return ST_FULL;
  ln_set_text(f, v, vlen, raw);
  return ST_OK;
}

StoreRc store_int(ln_vm_t *vm, const char *n, size_t nlen, int64_t v) {
  if (!vm->result) return ST_OK;
  const char *name;
  size_t len;
  StoreRc rc = store_name(vm, n, nlen, &name, &len);
  if (rc != ST_OK || !name) return rc;
  if ((rc = check_dup(vm, name, len)) != ST_OK) return rc;
  ln_fast_field_t *f = new_slot(vm, name, len);
  if (!f) return ST_FULL;
  f->type = LN_FTYPE_INT;
  f->v.i = v;
  return ST_OK;
}

// Replace store for the full name `name`: a field of that name stored after
// the newest alternative is replaced in place (backtracking drops it anyway);
// one stored before it must survive a backtrack, so the new value is appended
// and marked to supersede it when the run matches.
StoreRc store_replace(ln_vm_t *vm, const char *name, size_t len, const char *v, size_t vlen,
                      bool program = false) {
  ln_fast_result_t *r = vm->result;
  const int old = newest_named(r, name, len);
  const int floor = vm->fork_sp ? vm->forks[vm->fork_sp - 1].n_fields : 0;
  if (old >= 0 && old >= floor) {
    ln_set_text(&r->fields[old], v, vlen, false);
    return ST_OK;
  }
  ln_fast_field_t *f = new_slot(vm, name, len, program);
  if (!f) return ST_FULL;
  ln_set_text(f, v, vlen, false);
  if (old >= 0) {
    f->flags |= LN_FF_SUPERSEDES;
    r->flags |= LN_RF_SUPERSEDES;
  }
  return ST_OK;
}

// Text stores of the field opcodes: a duplicate refused under fail_on_dup
// fails the path, a full result only marks it truncated.
HandlerResult after_store(ln_vm_t *vm, StoreRc rc) {
  if (rc == ST_ERROR) return H_ERROR;
  if (rc == ST_DUP) return H_FAIL;
  return H_NEXT;
}

HandlerResult field_text(ln_vm_t *vm, const ln_instr_t *in, const char *v, size_t vlen,
                         size_t consumed) {
  if (in->flags & LN_IF_STORE) {
    HandlerResult h =
        after_store(vm, store_instr_text(vm, in, in->data.str, sizeof in->data.str, v, vlen));
    if (h != H_NEXT) return h;
  }
  vm->ip += consumed;
  return H_NEXT;
}

} // namespace

namespace {

// Outside a field context a name that is not "-", ".." or "..." names the
// field as it is: the structured handlers store most members this way.
inline bool plain_member_name(const char *n, size_t nlen) {
  return n && nlen > 0 && nlen < 65536 && !(nlen == 1 && n[0] == '-') &&
         !(nlen >= 2 && n[0] == '.' && n[1] == '.');
}

// The store of such a name into r (dotted: 1 or 0 when known, -1 to look).
__attribute__((always_inline)) inline void store_plain(ln_fast_result_t *r, const char *n, size_t nlen,
                                                       int dotted, const char *v, size_t vlen, bool raw) {
  if (r->n_fields >= LN_FAST_MAX_FIELDS) {
    r->flags |= LN_RF_TRUNCATED;
    return;
  }
  ln_fast_field_t *f = &r->fields[r->n_fields++];
  f->name = n;
  f->name_len = static_cast<uint16_t>(nlen);
  f->flags = static_cast<uint8_t>(LN_FF_NAME_STATIC |
                                  ((dotted < 0 ? ln_has_dot(n, nlen) : dotted != 0) ? LN_FF_DOTTED : 0));
  f->inl_len = 0;
  ln_set_text(f, v, vlen, raw);
}

} // namespace

int ln_vm_store_members(ln_vm_t *vm, const ln_vm_text_store *items, size_t n, int dotted) {
  ln_fast_result_t *r = vm->result;
  const bool plain = r && !vm->field_ctx_sp && !vm->fail_on_dup;
  for (size_t i = 0; i < n; ++i) {
    const ln_vm_text_store &it = items[i];
    if (plain && plain_member_name(it.name, it.nlen))
      store_plain(r, it.name, it.nlen, dotted, it.val, it.vlen, it.raw != 0);
    else if (const int rc = ln_vm_store_value(vm, it.name, it.nlen, it.val, it.vlen, it.raw))
      return rc;
  }
  return 0;
}

int ln_vm_store_value(ln_vm_t *vm, const char *n, size_t nlen, const char *v, size_t vlen, int raw) {
  if (vm->result && !vm->field_ctx_sp && !vm->fail_on_dup && vlen <= UINT32_MAX && plain_member_name(n, nlen)) {
    store_plain(vm->result, n, nlen, -1, v, vlen, raw != 0);
    return 0;
  }
  switch (store_text(vm, n, nlen, v, vlen, raw != 0)) {
  case ST_ERROR: return -1;
  case ST_DUP: return 1;
  default: return 0;
  }
}

namespace {

// ------------------------------------------------------------ control

HandlerResult op_fail(ln_vm_t *, const ln_instr_t *) { return H_FAIL; }

HandlerResult unsupported_error(ln_vm_t *vm, uint32_t pc) {
  snprintf(vm->error_buf, sizeof vm->error_buf, "unsupported opcode %s at pc=%u",
           ln_opcode_name(vm->prog->code[pc].op), pc);
  vm->error = vm->error_buf;
  return H_ERROR;
}


void resolve_supersedes(ln_fast_result_t *r) {
  for (int i = 0; i < r->n_fields; ++i) {
    if (!(r->fields[i].flags & LN_FF_SUPERSEDES)) continue;
    r->fields[i].flags &= static_cast<uint8_t>(~LN_FF_SUPERSEDES);
    for (int j = i - 1; j >= 0; --j) {
      if (same_name(r->fields[j], r->fields[i].name, r->fields[i].name_len)) {
        memmove(&r->fields[j], &r->fields[j + 1], (r->n_fields - j - 1) * sizeof(ln_fast_field_t));
        --r->n_fields;
        --i;
        break;
      }
    }
  }
  r->flags &= static_cast<uint8_t>(~LN_RF_SUPERSEDES);
}

// A small two-way set-associative cache of result shapes whose names were
// checked and found free of clashes: payloads of one kind repeat their
// names, and the check of every pair costs far more than recognising a shape
// seen before. Two ways, so that two busy shapes that hash alike do not
// throw each other out.
} // namespace

struct ln_vm_clean_shapes {
  static constexpr size_t kSlots = 64;
  ln_shape_id slot[kSlots]; // set k: slots 2k and 2k + 1
  uint8_t recent[kSlots / 2] = {}; // the way of each set used last
  // The clean shape each rule's results had last (by the rule id's address),
  // checked before any hashing.
  ln_shape_id *by_rule[kSlots] = {};
  // The program the shapes were seen with: names are known by address.
  const ln_instr_t *code = nullptr;
  uint32_t code_len = 0;
};

namespace {

bool names_clash(ln_vm_t *vm, const ln_fast_result_t *r, const char *rule) {
  ln_vm_clean_shapes *cache = vm->clean_shapes;
  if (cache && (cache->code != vm->prog->code || cache->code_len != vm->prog->code_len)) {
    ln_vm_forget_shapes(vm);
    cache = nullptr;
  }
  const size_t ri = (reinterpret_cast<uintptr_t>(rule) >> 4) % ln_vm_clean_shapes::kSlots;
  if (cache && cache->by_rule[ri] && cache->by_rule[ri]->same(r)) {
    vm->shape_serial = cache->by_rule[ri]->serial;
    return false;
  }
  const uint64_t hash = ln_shape_hash(r);
  vm->shape_hash = hash; // the result is final: its writer need not hash it again
  vm->shape_hash_set = 1;
  const size_t set = hash % (ln_vm_clean_shapes::kSlots / 2);
  for (uint8_t way = 0; cache && way < 2; ++way) {
    ln_shape_id *slot = &cache->slot[2 * set + way];
    if (!slot->holds(hash, r)) continue;
    cache->recent[set] = way;
    cache->by_rule[ri] = slot;
    vm->shape_serial = slot->serial;
    return false;
  }
  if (ln_vm_struct_names_clash(r)) return true;
  try {
    if (!cache) {
      cache = vm->clean_shapes = new ln_vm_clean_shapes;
      cache->code = vm->prog->code;
      cache->code_len = vm->prog->code_len;
    }
    const uint8_t way = cache->recent[set] ^ 1; // the way not used last
    ln_shape_id *slot = &cache->slot[2 * set + way];
    cache->recent[set] = way;
    slot->take(hash, r);
    slot->serial = ++vm->shape_serials;
    cache->by_rule[ri] = slot;
    vm->shape_serial = slot->serial;
  } catch (const std::bad_alloc &) {
    // Not remembered: the next result of this shape is checked again.
  }
  return false;
}

HandlerResult op_match(ln_vm_t *vm, const ln_instr_t *in) {
  if (vm->unserved_pc != UINT32_MAX) return unsupported_error(vm, vm->unserved_pc);
  size_t len;
  const char *rule = str_name(vm, in, &len); // NUL-terminated inline or in the pool
  if (!rule) return run_error(vm, "pooled rule id outside the string pool");
  vm->matched_rule = rule;
  if (ln_fast_result_t *r = vm->result) {
    if (r->flags & LN_RF_SUPERSEDES) resolve_supersedes(r);
    if (vm->struct_stores && names_clash(vm, r, rule))
      return run_error(vm, "a structured field name is a dotted prefix of another or a tag name");
    r->rule_id = rule;
    r->flags |= LN_RF_MATCHED;
  }
  return H_MATCH;
}

bool jump_target(ln_vm_t *vm, const ln_instr_t *in, uint32_t *t) {
  int64_t target = static_cast<int64_t>(vm->pc) + in->data.jump.offset;
  if (target < 0 || target >= vm->prog->code_len) {
    vm->error = "control-flow target out of bounds";
    return false;
  }
  *t = static_cast<uint32_t>(target);
  return true;
}

HandlerResult op_jump(ln_vm_t *vm, const ln_instr_t *in) {
  uint32_t t;
  if (!jump_target(vm, in, &t)) return H_ERROR;
  vm->pc = t;
  return H_JUMPED;
}

// True when the instruction is sure to fail at the current position, judged
// by its first byte alone (no side effects, no error cases).
bool cannot_start(const ln_vm_t *vm, const ln_instr_t *in) {
  const size_t r = rem(vm);
  const unsigned char c = r ? static_cast<unsigned char>(*vm->ip) : 0;
  switch (in->op) {
  case OP_LITERAL:
    return in->aux >= 1 && in->aux <= LN_LITERAL_MAX && (r < in->aux || vm->ip[0] != in->data.str[0]);
  case OP_LITERAL_EXT: {
    const uint32_t off = in->data.lit_pool.off, n = in->data.lit_pool.len;
    if (n == 0 || !vm->prog->strpool || !ln_strpool_span_ok(vm->prog->strpool, vm->prog->strpool_len, off, n))
      return false;
    return r < n || vm->ip[0] != vm->prog->strpool[off];
  }
  case OP_ASSERT_END: return r != 0;
  case OP_FIELD_INT:
  case OP_FIELD_UINT: return r == 0 || !is_digit(c);
  case OP_FIELD_IPV4: return r < 7 || !is_digit(c);
  default: return false;
  }
}

// True when instruction j cannot succeed at the current position: by the
// program's start sets when they were built for this code, else by the
// instruction's first byte alone.
inline bool cannot_enter(const ln_vm_t *vm, const ln_vm_start_set_t *sets, uint32_t j) {
  if (!sets) return cannot_start(vm, &vm->prog->code[j]);
  const ln_vm_start_set_t &s = sets[j];
  if (vm->ip == vm->input_end) return !s.at_end;
  const unsigned char c = static_cast<unsigned char>(*vm->ip);
  return !((s.bits[c >> 6] >> (c & 63)) & 1);
}

// FORK looks at the first instruction of both alternatives: one that fails on
// the next byte is not tried (its failure would only resume the other with the
// same state). When the fall-through alternative is dead and the other starts
// with a FORK again, the chain is followed here, so the long lists of
// alternatives after a shared prefix cost one check per rule instead of a
// dispatch, a push and a backtrack.
HandlerResult op_fork(ln_vm_t *vm, const ln_instr_t *) {
  const ln_program_t *prog = vm->prog;
  const uint64_t limit = vm->instr_limit ? vm->instr_limit : LN_VM_INSTR_LIMIT;
  const ln_vm_start_set_t *sets = vm->sets;
  if (vm->jump_of) {
    if (const uint32_t j = vm->jump_of[vm->pc]) {
      // One lookup passes the FORKs whose fall-through cannot start here.
      const size_t b = vm->ip == vm->input_end ? 256 : static_cast<unsigned char>(*vm->ip);
      const ln_vm_fork_jump_t &e = vm->jumps[j - 1 + b];
      if (e.pc != vm->pc) {
        vm->instr_count += e.hops;
        if (vm->instr_count > limit) {
          vm->error = "instruction limit exceeded";
          return H_LIMIT;
        }
        vm->pc = e.pc;
        if (prog->code[e.pc].op != OP_FORK) return H_JUMPED;
      }
    }
  }
  for (;;) {
    const ln_instr_t *in = &prog->code[vm->pc];
    uint32_t t;
    if (!jump_target(vm, in, &t)) return H_ERROR;
    if (vm->pc + 1 < prog->code_len && cannot_enter(vm, sets, vm->pc + 1)) {
      vm->pc = t;
      if (prog->code[t].op != OP_FORK) return H_JUMPED;
      if (++vm->instr_count > limit) { // a chain of FORKs counts like any code
        vm->error = "instruction limit exceeded";
        return H_LIMIT;
      }
      continue;
    }
    if (cannot_enter(vm, sets, t)) return H_NEXT;
    if (vm->fork_sp >= LN_VM_MAX_FORKS) return run_error(vm, "fork stack overflow");
    ln_fork_t &f = vm->forks[vm->fork_sp++];
    f.pc = t;
    f.ip = vm->ip;
    f.n_fields = vm->result ? vm->result->n_fields : 0;
    f.n_tags = vm->result ? vm->result->n_tags : 0;
    f.call_sp = static_cast<uint8_t>(vm->call_sp);
    f.field_ctx_sp = static_cast<uint8_t>(vm->field_ctx_sp);
    f.unserved_pc = vm->unserved_pc;
    return H_NEXT;
  }
}

HandlerResult op_call(ln_vm_t *vm, const ln_instr_t *in) {
  uint32_t t;
  if (!jump_target(vm, in, &t)) return H_ERROR;
  if (vm->call_sp >= LN_VM_MAX_CALLS) return run_error(vm, "call stack overflow");
  vm->calls[vm->call_sp++] = vm->pc + 1;
  vm->pc = t;
  return H_JUMPED;
}

HandlerResult op_ret(ln_vm_t *vm, const ln_instr_t *) {
  if (vm->call_sp == 0) return run_error(vm, "call stack underflow");
  uint32_t to = vm->calls[--vm->call_sp];
  if (to >= vm->prog->code_len) return run_error(vm, "control-flow target out of bounds");
  // A called body commits to its first successful path.
  while (vm->fork_sp > 0 && vm->forks[vm->fork_sp - 1].call_sp > vm->call_sp) --vm->fork_sp;
  vm->pc = to;
  return H_JUMPED;
}

HandlerResult op_nop(ln_vm_t *, const ln_instr_t *) { return H_NEXT; }

HandlerResult op_debug(ln_vm_t *vm, const ln_instr_t *) {
  fprintf(stderr, "[DEBUG] pc=%u ip=%zu ctx_sp=%u\n", vm->pc,
          static_cast<size_t>(vm->ip - vm->input), vm->field_ctx_sp);
  return H_NEXT;
}

// Structured payloads. A compiled program records the DAG edge of each
// structured instruction, and turbo_vm_struct runs that edge's parser and
// stores its value. A program without the edge (built by hand) only probes:
// the walker's parser of the same type says whether the field matches here:
// where it does not, the path fails as it does in the walker; where it does,
// the path goes on over the consumed bytes but is marked, and a MATCH on it
// ends the run with an error, so VaderAD declines exactly the messages whose
// matching rule needs the value.
HandlerResult op_unsupported(ln_vm_t *vm, const ln_instr_t *in) {
  switch (ln_vm_struct_run(vm, in)) { // a compiled program serves the value
  case LN_VMS_NEXT: return H_NEXT;
  case LN_VMS_FAIL: return H_FAIL;
  case LN_VMS_ERROR: return H_ERROR;
  default: break;
  }
  ln_parser_fn fn = nullptr;
  data_NameValue nv{};
  data_CheckpointLEA lea{};
  void *pdata = nullptr;
  switch (in->op) {
  case OP_FIELD_JSON: fn = ln_v2_parseJSON; break;
  case OP_CEE_SYSLOG: fn = ln_v2_parseCEESyslog; break;
  case OP_CEF_HDR: fn = ln_v2_parseCEF; break;
  case OP_V2_IPTABLES: fn = ln_v2_parsev2IPTables; break;
  case OP_CISCO_IFACE: fn = ln_v2_parseCiscoInterfaceSpec; break;
  case OP_FIELD_NAME_VALUE:
    nv.sep = static_cast<char>(in->data.char_to.delim);
    nv.ass = static_cast<char>(in->data.char_to.ass);
    nv.ignore_whitespaces = static_cast<char>(in->data.char_to.ignore_ws);
    pdata = &nv;
    fn = ln_v2_parseNameValue;
    break;
  case OP_CHECKPOINT_LEA:
    lea.terminator = static_cast<char>(in->data.char_to.delim);
    pdata = &lea;
    fn = ln_v2_parseCheckpointLEA;
    break;
  default: return unsupported_error(vm, vm->pc);
  }
  npb_t npb{};
  npb.str = vm->input;
  npb.strLen = static_cast<size_t>(vm->input_end - vm->input);
  size_t offs = static_cast<size_t>(vm->ip - vm->input), parsed = 0;
  int rc;
  try {
    rc = fn(&npb, &offs, pdata, nullptr, &parsed, nullptr);
  } catch (...) {
    return unsupported_error(vm, vm->pc);
  }
  if (rc == LN_RC_NO_MATCH) return H_FAIL;
  if (rc != 0 || offs + parsed > npb.strLen) return unsupported_error(vm, vm->pc);
  if (vm->unserved_pc == UINT32_MAX) vm->unserved_pc = vm->pc;
  vm->ip = vm->input + offs + parsed;
  return H_NEXT;
}

// ------------------------------------------------------------ text

HandlerResult op_literal(ln_vm_t *vm, const ln_instr_t *in) {
  const size_t n = in->aux;
  if (n > LN_LITERAL_MAX || rem(vm) < n) return H_FAIL;
  if (!ln_same_bytes(vm->ip, in->data.str, n)) return H_FAIL; // words, inline: literals are short
  vm->ip += n;
  return H_NEXT;
}

HandlerResult op_literal_ext(ln_vm_t *vm, const ln_instr_t *in) {
  const uint32_t off = in->data.lit_pool.off, n = in->data.lit_pool.len;
  if (!vm->prog->strpool || !ln_strpool_span_ok(vm->prog->strpool, vm->prog->strpool_len, off, n))
    return run_error(vm, "pooled literal outside the string pool");
  if (rem(vm) < n || memcmp(vm->ip, vm->prog->strpool + off, n) != 0) return H_FAIL;
  if (in->flags & LN_IF_STORE) { // a named literal stores its text
    const char *name = ln_strpool_cstr(vm->prog->strpool, vm->prog->strpool_len, in->data.lit_pool.name_off);
    if (!name) return run_error(vm, "pooled field name outside the string pool");
    HandlerResult h = after_store(vm, store_text(vm, name, strlen(name), vm->ip, n, false));
    if (h != H_NEXT) return h;
  }
  vm->ip += n;
  return H_NEXT;
}

HandlerResult op_literal_ci(ln_vm_t *vm, const ln_instr_t *in) {
  const size_t n = in->aux;
  if (n > LN_LITERAL_MAX || rem(vm) < n) return H_FAIL;
  for (size_t i = 0; i < n; ++i) {
    unsigned char a = static_cast<unsigned char>(vm->ip[i]), b = static_cast<unsigned char>(in->data.str[i]);
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a + 32);
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b + 32);
    if (a != b) return H_FAIL;
  }
  vm->ip += n;
  return H_NEXT;
}

HandlerResult op_char(ln_vm_t *vm, const ln_instr_t *in) {
  if (rem(vm) == 0 || *vm->ip != in->data.str[0]) return H_FAIL;
  ++vm->ip;
  return H_NEXT;
}

HandlerResult op_any(ln_vm_t *vm, const ln_instr_t *) {
  if (rem(vm) == 0) return H_FAIL;
  ++vm->ip;
  return H_NEXT;
}

HandlerResult op_skip_space(ln_vm_t *vm, const ln_instr_t *in) {
  size_t n = ln_simd_skip_space(vm->ip, rem(vm));
  if (n == 0) return H_FAIL;
  return field_text(vm, in, vm->ip, n, n);
}

HandlerResult op_skip_n(ln_vm_t *vm, const ln_instr_t *in) {
  if (rem(vm) < in->aux) return H_FAIL;
  vm->ip += in->aux;
  return H_NEXT;
}

HandlerResult op_skip_to(ln_vm_t *vm, const ln_instr_t *in) {
  size_t r = rem(vm), k = ln_simd_find_char(vm->ip, r, in->data.str[0]);
  if (r == 0 || k >= r) return H_FAIL;
  vm->ip += k + (in->op == OP_SKIP_PAST ? 1 : 0);
  return H_NEXT;
}

HandlerResult op_skip_line(ln_vm_t *vm, const ln_instr_t *) {
  size_t r = rem(vm);
  if (r == 0) return H_NEXT;
  size_t k = ln_simd_find_char(vm->ip, r, '\n');
  vm->ip += k < r ? k + 1 : r;
  return H_NEXT;
}

HandlerResult op_assert_char(ln_vm_t *vm, const ln_instr_t *in) {
  return rem(vm) > 0 && *vm->ip == in->data.str[0] ? H_NEXT : H_FAIL;
}
HandlerResult op_assert_end(ln_vm_t *vm, const ln_instr_t *) { return rem(vm) == 0 ? H_NEXT : H_FAIL; }
HandlerResult op_assert_start(ln_vm_t *vm, const ln_instr_t *) {
  return vm->ip == vm->input ? H_NEXT : H_FAIL;
}

// ------------------------------------------------------------ scalar fields

HandlerResult op_field_word(ln_vm_t *vm, const ln_instr_t *in) {
  const size_t r = rem(vm);
  size_t n = 0;
  if (in->aux == 0) {
    ln_span_t s;
    if (ln_simd_word(vm->ip, r, &s) != 0) return H_FAIL;
    n = s.len;
  } else if (in->aux == 1) {
    while (n < r && is_xdigit(static_cast<unsigned char>(vm->ip[n]))) ++n;
  } else {
    while (n < r && is_alpha(static_cast<unsigned char>(vm->ip[n]))) ++n;
  }
  if (n == 0) return H_FAIL;
  return field_text(vm, in, vm->ip, n, n);
}

// "number": a digit run; a run too large for int64 matches only as text
// without a maximum, as the walker's parser has it.
HandlerResult op_field_int(ln_vm_t *vm, const ln_instr_t *in) {
  const size_t r = rem(vm);
  size_t n = 0;
  int64_t val = 0;
  bool overflow = false;
  // Eighteen digits always fit; past them every digit is checked.
  for (const size_t easy = r < 18 ? r : 18; n < easy && is_digit(static_cast<unsigned char>(vm->ip[n])); ++n)
    val = val * 10 + (vm->ip[n] - '0');
  for (; n < r && is_digit(static_cast<unsigned char>(vm->ip[n])); ++n) {
    int dig = vm->ip[n] - '0';
    if (!overflow) {
      if (val > (INT64_MAX - dig) / 10)
        overflow = true;
      else
        val = val * 10 + dig;
    }
  }
  if (n == 0) return H_FAIL;
  const bool as_int = in->op == OP_FIELD_UINT || (in->flags & LN_IF_AS_NUMBER);
  if (in->op == OP_FIELD_INT && in->aux != 0 && (overflow || val > in->aux)) return H_FAIL;
  if (overflow && as_int) return H_FAIL;
  if (in->flags & LN_IF_STORE || in->op == OP_FIELD_UINT) {
    StoreRc rc;
    if (!as_int) {
      rc = store_instr_text(vm, in, in->data.str, sizeof in->data.str, vm->ip, n);
    } else if (ln_fast_field_t *f = plain_slot(vm, in, in->data.str)) {
      f->type = LN_FTYPE_INT;
      f->v.i = val;
      rc = ST_OK;
    } else {
      size_t nlen;
      const char *name = str_name(vm, in, &nlen);
      if (!name) return run_error(vm, "pooled field name outside the string pool");
      rc = store_int(vm, name, nlen, val);
    }
    if (rc == ST_ERROR) return H_ERROR;
    if (rc != ST_OK) return H_FAIL; // a refused integer store fails the instruction
  }
  vm->ip += n;
  return H_NEXT;
}

// "float": optional '-', digits and at most one '.'. As a number the text must
// hold a digit and is written in JSON number syntax ("5." as 5, ".5" as 0.5).
HandlerResult op_field_float(ln_vm_t *vm, const ln_instr_t *in) {
  const char *c = vm->ip;
  const size_t r = rem(vm);
  size_t i = 0;
  if (r == 0) return H_FAIL;
  bool neg = false, dot = false;
  if (c[0] == '-') {
    neg = true;
    ++i;
  }
  const size_t int_b = i;
  size_t int_e = i, frac_b = 0, frac_e = 0;
  for (; i < r; ++i) {
    if (c[i] == '.') {
      if (dot) break;
      dot = true;
      frac_b = frac_e = i + 1;
      continue;
    }
    if (!is_digit(static_cast<unsigned char>(c[i]))) break;
    if (dot)
      frac_e = i + 1;
    else
      int_e = i + 1;
  }
  if (i == 0) return H_FAIL;
  const size_t ilen = int_e - int_b, flen = dot ? frac_e - frac_b : 0;
  const bool as_number = in->flags & LN_IF_AS_NUMBER;
  if (as_number && ilen + flen == 0) return H_FAIL;
  if (!(in->flags & LN_IF_STORE)) {
    vm->ip += i;
    return H_NEXT;
  }
  if (!as_number) return field_text(vm, in, c, i, i);
  const bool valid = ilen > 0 && (ilen == 1 || c[int_b] != '0') && (!dot || flen > 0);
  const char *txt = c;
  size_t tlen = i;
  if (!valid) {
    char *p = static_cast<char *>(ln_arena_alloc(vm->arena, i + 2));
    if (!p) return run_error(vm, "arena exhausted");
    size_t w = 0;
    if (neg) p[w++] = '-';
    size_t k = int_b;
    while (k + 1 < int_e && c[k] == '0') ++k;
    if (k < int_e) {
      memcpy(p + w, c + k, int_e - k);
      w += int_e - k;
    } else {
      p[w++] = '0';
    }
    if (flen) {
      p[w++] = '.';
      memcpy(p + w, c + frac_b, flen);
      w += flen;
    }
    txt = p;
    tlen = w;
  }
  size_t nlen;
  const char *name = str_name(vm, in, &nlen);
  if (!name) return run_error(vm, "pooled field name outside the string pool");
  HandlerResult h = after_store(vm, store_text(vm, name, nlen, txt, tlen, true));
  if (h != H_NEXT) return h;
  vm->ip += i;
  return H_NEXT;
}

// "hexnumber": "0x", hex digits (possibly none), then a whitespace byte.
HandlerResult op_field_hex(ln_vm_t *vm, const ln_instr_t *in) {
  const char *c = vm->ip;
  const size_t r = rem(vm);
  if (r < 2 || c[0] != '0' || c[1] != 'x') return H_FAIL;
  size_t i = 2;
  uint64_t val = 0;
  bool overflow = false;
  for (; i < r && is_xdigit(static_cast<unsigned char>(c[i])); ++i) {
    if (val >> 60) overflow = true;
    if (!overflow) {
      unsigned char ch = static_cast<unsigned char>(c[i]);
      unsigned d = is_digit(ch) ? ch - '0' : (ch | 0x20) - 'a' + 10;
      val = (val << 4) | d;
    }
  }
  if (i >= r || !is_ws(static_cast<unsigned char>(c[i]))) return H_FAIL;
  if (in->aux != 0 && (overflow || val > in->aux)) return H_FAIL;
  const bool as_int = in->flags & LN_IF_AS_NUMBER;
  // Both int64 bounds: an integer value must fit the signed range.
  if (as_int && (overflow || val > static_cast<uint64_t>(INT64_MAX))) return H_FAIL;
  if (!as_int) return field_text(vm, in, c, i, i);
  if (in->flags & LN_IF_STORE) {
    size_t nlen;
    const char *name = str_name(vm, in, &nlen);
    if (!name) return run_error(vm, "pooled field name outside the string pool");
    HandlerResult h = after_store(vm, store_int(vm, name, nlen, static_cast<int64_t>(val)));
    if (h != H_NEXT) return h;
  }
  vm->ip += i;
  return H_NEXT;
}

HandlerResult op_field_quoted(ln_vm_t *vm, const ln_instr_t *in) {
  const char *c = vm->ip;
  const size_t r = rem(vm);
  if (r == 0) return H_FAIL;
  if (in->aux == 2) { // quoted-string: no escapes
    if (r < 2 || c[0] != '"') return H_FAIL;
    size_t k = ln_simd_find_char(c + 1, r - 1, '"');
    if (k >= r - 1) return H_FAIL;
    return field_text(vm, in, c + 1, k, k + 2);
  }
  if (c[0] != '"') { // op-quoted-string without quotes: a word
    ln_span_t s;
    if (ln_simd_word(c, r, &s) != 0) return H_FAIL;
    return field_text(vm, in, c, s.len, s.len);
  }
  if (in->aux == 0) {
    size_t k = r > 1 ? ln_simd_find_char(c + 1, r - 1, '"') : 0;
    if (r < 2 || k >= r - 1) return H_FAIL;
    return field_text(vm, in, c + 1, k, k + 2);
  }
  // With escapes: the closing quote follows an even run of backslashes; the
  // value turns \\ into \ and \" into ".
  size_t i = 1, bs = 0;
  bool any_escape = false;
  for (; i < r; ++i) {
    if (c[i] == '\\') {
      ++bs;
      any_escape = true;
    } else {
      if (c[i] == '"' && bs % 2 == 0) break;
      bs = 0;
    }
  }
  if (i >= r) return H_FAIL;
  const size_t close = i;
  if (!any_escape || !(in->flags & LN_IF_STORE)) return field_text(vm, in, c + 1, close - 1, close + 1);
  char *p = static_cast<char *>(ln_arena_alloc(vm->arena, close));
  if (!p) return run_error(vm, "arena exhausted");
  size_t w = 0;
  for (size_t k = 1; k < close; ++k) {
    if (c[k] == '\\' && k + 1 < close && (c[k + 1] == '\\' || c[k + 1] == '"'))
      p[w++] = c[++k];
    else
      p[w++] = c[k];
  }
  return field_text(vm, in, p, w, close + 1);
}

HandlerResult op_field_char_to(ln_vm_t *vm, const ln_instr_t *in) {
  const size_t r = rem(vm);
  size_t k;
  if (in->flags & LN_IF_CHARSET) {
    const char *set = vm->prog->strpool
                          ? ln_strpool_cstr(vm->prog->strpool, vm->prog->strpool_len,
                                            in->data.char_to.set_off)
                          : nullptr;
    if (!set || !ln_strpool_span_ok(vm->prog->strpool, vm->prog->strpool_len,
                                    in->data.char_to.set_off, in->aux))
      return run_error(vm, "terminator set outside the string pool");
    if (strlen(set) == in->aux) {
      k = ln_simd_find_char_set(vm->ip, r, set);
    } else { // the set holds a zero byte
      k = 0;
      while (k < r && !memchr(set, vm->ip[k], in->aux)) ++k;
    }
  } else if ((in->flags & LN_IF_CHARSEP) && in->data.char_to.delim == 0) {
    k = r; // char-sep without terminators takes the rest
  } else {
    k = r ? ln_simd_find_char(vm->ip, r, static_cast<char>(in->data.char_to.delim)) : 0;
  }
  if (!(in->flags & LN_IF_CHARSEP) && (k == 0 || k >= r)) return H_FAIL;
  if (in->flags & LN_IF_STORE) {
    HandlerResult h = after_store(vm, store_instr_text(vm, in, in->data.char_to.name,
                                                       sizeof in->data.char_to.name, vm->ip, k));
    if (h != H_NEXT) return h;
  }
  vm->ip += k;
  return H_NEXT;
}

HandlerResult op_field_str_to(ln_vm_t *vm, const ln_instr_t *in) {
  const size_t r = rem(vm), dlen = in->aux;
  const char *pool = vm->prog->strpool;
  if (!pool || !ln_strpool_span_ok(pool, vm->prog->strpool_len, in->data.str_to.delim_off, dlen))
    return run_error(vm, "string-to delimiter outside the string pool");
  if (dlen < 2 || r < dlen + 1) return H_FAIL;
  ln_span_t s;
  if (ln_simd_string_to(vm->ip + 1, r - 1, pool + in->data.str_to.delim_off, dlen, &s) != 0)
    return H_FAIL;
  const size_t n = s.len + 1;
  if (in->flags & LN_IF_STORE) {
    HandlerResult h = after_store(vm, store_instr_text(vm, in, in->data.str_to.name,
                                                       sizeof in->data.str_to.name, vm->ip, n));
    if (h != H_NEXT) return h;
  }
  vm->ip += n;
  return H_NEXT;
}

HandlerResult op_field_rest(ln_vm_t *vm, const ln_instr_t *in) {
  const size_t r = rem(vm);
  return field_text(vm, in, vm->ip, r, r);
}

// ------------------------------------------------------ dates, times, addresses

// Runs the walker's matching function of a fixed-shape type at ip without
// asking for a value; the consumed length, or 0 for no match.
size_t walker_match(ln_vm_t *vm, ln_parser_fn fn) {
  npb_t npb{};
  npb.str = vm->input;
  npb.strLen = static_cast<size_t>(vm->input_end - vm->input);
  size_t offs = static_cast<size_t>(vm->ip - vm->input), parsed = 0;
  if (fn(&npb, &offs, nullptr, nullptr, &parsed, nullptr) != 0) return 0;
  return parsed;
}

HandlerResult walker_field(ln_vm_t *vm, const ln_instr_t *in, ln_parser_fn fn) {
  size_t n = walker_match(vm, fn);
  if (n == 0) return H_FAIL;
  return field_text(vm, in, vm->ip, n, n);
}

HandlerResult op_field_ipv4(ln_vm_t *vm, const ln_instr_t *in) { return walker_field(vm, in, ln_v2_parseIPv4); }
HandlerResult op_field_ipv6(ln_vm_t *vm, const ln_instr_t *in) { return walker_field(vm, in, ln_v2_parseIPv6); }
HandlerResult op_field_mac(ln_vm_t *vm, const ln_instr_t *in) { return walker_field(vm, in, ln_v2_parseMAC48); }
HandlerResult op_field_kernel_ts(ln_vm_t *vm, const ln_instr_t *in) {
  return walker_field(vm, in, ln_v2_parseKernelTimestamp);
}

HandlerResult op_field_time(ln_vm_t *vm, const ln_instr_t *in) {
  ln_parser_fn fn = in->aux == 0 ? ln_v2_parseTime24hr : in->aux == 1 ? ln_v2_parseTime12hr : ln_v2_parseDuration;
  return walker_field(vm, in, fn);
}

// Reads a run of digits as the walker's date parsers do (saturating at
// 100000000); advances i past it.
inline int date_run(const char *s, size_t len, size_t &i, size_t *nd) {
  int v = 0;
  const size_t b = i;
  while (i < len && is_digit(static_cast<unsigned char>(s[i]))) {
    if (v < 100000000) v = v * 10 + (s[i] - '0');
    ++i;
  }
  *nd = i - b;
  return v;
}

// The length of the RFC 3164 timestamp at s, 0 for none: the walker's
// "date-rfc3164" test, with the month name found by one switch instead of a
// scan of the twelve names.
size_t rfc3164_len(const char *s, size_t len) {
  if (len < 3) return 0;
  auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned>(c - 'A' + 'a') : c; };
  const unsigned key = lower(static_cast<unsigned char>(s[0])) << 16 |
                       lower(static_cast<unsigned char>(s[1])) << 8 | lower(static_cast<unsigned char>(s[2]));
  switch (key) {
  case 'j' << 16 | 'a' << 8 | 'n': case 'f' << 16 | 'e' << 8 | 'b': case 'm' << 16 | 'a' << 8 | 'r':
  case 'a' << 16 | 'p' << 8 | 'r': case 'm' << 16 | 'a' << 8 | 'y': case 'j' << 16 | 'u' << 8 | 'n':
  case 'j' << 16 | 'u' << 8 | 'l': case 'a' << 16 | 'u' << 8 | 'g': case 's' << 16 | 'e' << 8 | 'p':
  case 'o' << 16 | 'c' << 8 | 't': case 'n' << 16 | 'o' << 8 | 'v': case 'd' << 16 | 'e' << 8 | 'c': break;
  default: return 0;
  }
  // The usual form "Mmm dd hh:mm:ss" (day padded with a blank or two
  // digits) read in one go; anything else takes the general reading below.
  const auto d = [s](size_t k) { return static_cast<unsigned>(static_cast<unsigned char>(s[k]) - '0'); };
  if (len >= 15 && s[3] == ' ' && (s[4] == ' ' || d(4) <= 9) && d(5) <= 9 && s[6] == ' ' && d(7) <= 9 &&
      d(8) <= 9 && s[9] == ':' && d(10) <= 9 && d(11) <= 9 && s[12] == ':' && d(13) <= 9 && d(14) <= 9 &&
      (len == 15 || d(15) > 9)) {
    const unsigned day = (s[4] == ' ' ? 0 : d(4) * 10) + d(5);
    if (day >= 1 && day <= 31 && d(7) * 10 + d(8) <= 23 && d(10) * 10 + d(11) <= 59 &&
        d(13) * 10 + d(14) <= 60)
      return len > 15 && s[15] == ':' ? 16 : 15;
  }
  size_t i = 3, n = 0;
  if (i >= len || s[i] != ' ') return 0;
  ++i;
  if (i < len && s[i] == ' ') ++i; // padding before a one-digit day
  const int day = date_run(s, len, i, &n);
  if (n == 0 || day < 1 || day > 31 || i >= len || s[i] != ' ') return 0;
  ++i;
  { // an optional year between the day and the time is skipped
    size_t j = i;
    const int y = date_run(s, len, j, &n);
    if (n > 0 && y > 1970 && y < 2100) {
      if (j >= len || s[j] != ' ') return 0;
      i = j + 1;
    }
  }
  const int hour = date_run(s, len, i, &n);
  if (n == 0 || hour > 23 || i >= len || s[i] != ':') return 0;
  ++i;
  const int minute = date_run(s, len, i, &n);
  if (n == 0 || minute > 59 || i >= len || s[i] != ':') return 0;
  ++i;
  const int second = date_run(s, len, i, &n);
  if (n == 0 || second > 60) return 0;
  if (i < len && s[i] == ':') ++i;
  return i;
}

// FIELD_DATE: aux 1 is an ISO date; otherwise the high byte of aux picks the
// form (1 RFC 5424, 0 RFC 3164) and, with flag 0x80, the low byte is the
// format mode (2 Unix seconds, 3 milliseconds).
HandlerResult op_field_date(ln_vm_t *vm, const ln_instr_t *in) {
  if (in->aux == 1) return walker_field(vm, in, ln_v2_parseISODate);
  const int kind = (in->aux >> 8) == 1 ? 1 : 0;
  size_t n = kind ? walker_match(vm, ln_v2_parseRFC5424Date) : rfc3164_len(vm->ip, rem(vm));
  if (n == 0) return H_FAIL;
  if (!(in->flags & LN_IF_DATE_CONVERT)) return field_text(vm, in, vm->ip, n, n);
  const int ms = (in->aux & 0xFF) == FMT_AS_TIMESTAMP_UX_MS;
  size_t parsed = 0;
  int64_t ts = 0;
  if (ln_turbo_date2unix(kind, vm->ip, n, ms, &parsed, &ts) != 0 || parsed == 0) return H_FAIL;
  if (in->flags & LN_IF_STORE) {
    size_t nlen;
    const char *name = str_name(vm, in, &nlen);
    if (!name) return run_error(vm, "pooled field name outside the string pool");
    HandlerResult h = after_store(vm, store_int(vm, name, nlen, ts));
    if (h != H_NEXT) return h;
  }
  vm->ip += n;
  return H_NEXT;
}

HandlerResult op_syslog_pri(ln_vm_t *vm, const ln_instr_t *) {
  const char *c = vm->ip;
  const size_t r = rem(vm);
  if (r < 3 || c[0] != '<') return H_FAIL;
  size_t i = 1;
  int v = 0;
  while (i < r && i <= 3 && is_digit(static_cast<unsigned char>(c[i]))) v = v * 10 + (c[i++] - '0');
  if (i == 1 || i >= r || c[i] != '>' || v > 191) return H_FAIL;
  StoreRc rc = store_int(vm, "facility", 8, v / 8);
  if (rc == ST_OK) rc = store_int(vm, "severity", 8, v % 8);
  if (rc == ST_ERROR) return H_ERROR;
  if (rc == ST_DUP) return H_FAIL;
  vm->ip += i + 1;
  return H_NEXT;
}

HandlerResult op_syslog_ts(ln_vm_t *vm, const ln_instr_t *in) {
  ln_span_t s;
  if (ln_simd_timestamp(vm->ip, rem(vm), &s, nullptr) != 0) return H_FAIL;
  size_t nlen;
  const char *name = str_name(vm, in, &nlen);
  if (!name) return run_error(vm, "pooled field name outside the string pool");
  if (nlen == 0) {
    name = "timestamp";
    nlen = 9;
  }
  HandlerResult h = after_store(vm, store_text(vm, name, nlen, vm->ip, s.len, false));
  if (h != H_NEXT) return h;
  vm->ip += s.consumed;
  return H_NEXT;
}

// ------------------------------------------------------------ result opcodes

HandlerResult op_tag(ln_vm_t *vm, const ln_instr_t *in) {
  ln_fast_result_t *r = vm->result;
  size_t len;
  const char *tag = str_name(vm, in, &len); // NUL-terminated inline or in the pool
  if (!tag) return run_error(vm, "pooled tag outside the string pool");
  if (!r || len == 0) return H_NEXT;
  const ln_vm_name_t *c = vm->names ? &vm->names[in - vm->prog->code] : nullptr;
  const uint32_t h = c && c->ok && c->name == tag ? c->tag_hash : tag_hash(tag, len);
  if (r->tag_hash[h % 32]) {
    for (int i = 0; i < r->n_tags; ++i)
      if (r->tags[i].hash == h && r->tags[i].tag == tag) return H_NEXT;
  }
  if (r->n_tags >= LN_FAST_MAX_TAGS) {
    r->flags |= LN_RF_TRUNCATED;
    return H_NEXT;
  }
  r->tags[r->n_tags++] = ln_tag_entry_t{tag, h};
  r->tag_hash[h % 32] = 1;
  return H_NEXT;
}

HandlerResult op_rule_id(ln_vm_t *vm, const ln_instr_t *in) {
  size_t len;
  const char *rule = str_name(vm, in, &len);
  if (!rule) return run_error(vm, "pooled rule id outside the string pool");
  if (vm->result && len) {
    vm->result->rule_id = rule;
    vm->result->flags |= LN_RF_MATCHED;
  }
  return H_NEXT;
}

HandlerResult op_static_field(ln_vm_t *vm, const ln_instr_t *in) {
  if (!vm->result) return H_NEXT;
  const char *key, *val;
  size_t klen = in->aux, vlen;
  const ln_vm_name_t *c = vm->names ? &vm->names[in - vm->prog->code] : nullptr;
  if (c && c->value) { // read when the program was indexed
    key = c->name;
    klen = c->len;
    val = c->value;
    vlen = c->value_len;
  } else if (in->flags & LN_IF_POOLED_KV) {
    const char *pool = vm->prog->strpool;
    if (!pool) return H_NEXT;
    const uint32_t plen = vm->prog->strpool_len;
    if (!ln_strpool_span_ok(pool, plen, in->data.kv_pool.key_off, klen) ||
        !ln_strpool_span_ok(pool, plen, in->data.kv_pool.val_off, in->data.kv_pool.val_len))
      return run_error(vm, "static field outside the string pool");
    key = pool + in->data.kv_pool.key_off;
    val = pool + in->data.kv_pool.val_off;
    vlen = in->data.kv_pool.val_len;
  } else {
    key = in->data.kv.key;
    if (key[0] == '\0') return H_NEXT;
    klen = strnlen(key, sizeof in->data.kv.key);
    val = in->data.kv.val;
    vlen = strnlen(val, sizeof in->data.kv.val);
  }
  if (klen == 0) return H_NEXT;
  StoreRc rc;
  if (in->flags & LN_IF_REPLACE) {
    rc = store_replace(vm, key, klen, val, vlen, true);
  } else {
    ln_fast_field_t *f = new_slot(vm, key, klen, true);
    rc = f ? ST_OK : ST_FULL;
    if (f) ln_set_text(f, val, vlen, false);
  }
  return rc == ST_ERROR ? H_ERROR : H_NEXT;
}

HandlerResult op_ctx_push(ln_vm_t *vm, const ln_instr_t *in) {
  if (vm->field_ctx_sp >= LN_VM_MAX_FIELD_CTX) return run_error(vm, "field context stack overflow");
  size_t nlen;
  const char *n = str_name(vm, in, &nlen);
  if (!n) return run_error(vm, "pooled field name outside the string pool");
  const ln_field_ctx_t *outer = vm->field_ctx_sp ? &vm->field_ctx[vm->field_ctx_sp - 1] : nullptr;
  const char *name = n;
  size_t len = nlen;
  if (nlen == 2 && n[0] == '.' && n[1] == '.') {
    name = outer ? outer->name : nullptr;
    len = outer ? outer->name_len : 0;
  } else if (outer && !(nlen == 0 || (nlen == 1 && (n[0] == '-' || n[0] == '.'))) && outer->name &&
             outer->name_len > 0 && !(outer->name_len == 1 && outer->name[0] == '.') &&
             !outer->discard) {
    const size_t total = outer->name_len + 1 + nlen;
    if (total >= 65536) return run_error(vm, "field name too long");
    char *p = static_cast<char *>(ln_arena_alloc(vm->arena, total));
    if (!p) return run_error(vm, "arena exhausted");
    memcpy(p, outer->name, outer->name_len);
    p[outer->name_len] = '.';
    memcpy(p + outer->name_len + 1, n, nlen);
    name = p;
    len = total;
  }
  ln_field_ctx_t &c = vm->field_ctx[vm->field_ctx_sp++];
  c.name = name;
  c.name_len = static_cast<uint16_t>(len);
  c.is_nested = in->op == OP_CTX_NEST;
  c.discard = (len == 1 && name[0] == '-') || (outer && outer->discard);
  c.n_fields_at_push = vm->result ? vm->result->n_fields : 0;
  return H_NEXT;
}

HandlerResult op_ctx_pop(ln_vm_t *vm, const ln_instr_t *) {
  if (vm->field_ctx_sp == 0) return run_error(vm, "field context stack underflow");
  const ln_field_ctx_t c = vm->field_ctx[--vm->field_ctx_sp];
  // A sub-structure in which nothing was stored still appears, as {}.
  if (vm->result && !c.discard && c.name && c.name_len > 0 && !(c.name_len == 1 && c.name[0] == '.') &&
      vm->result->n_fields == c.n_fields_at_push) {
    ln_fast_field_t *f = new_slot(vm, c.name, c.name_len);
    if (f) ln_set_text(f, "{}", 2, true);
  }
  return H_NEXT;
}

// ------------------------------------------------------------ dispatch table

HandlerResult op_unknown(ln_vm_t *vm, const ln_instr_t *in) {
  snprintf(vm->error_buf, sizeof vm->error_buf, "unknown opcode 0x%02x at pc=%u", in->op, vm->pc);
  vm->error = vm->error_buf;
  return H_ERROR;
}

struct HandlerTable {
  Handler h[256] = {};
  constexpr HandlerTable() {
    for (Handler &x : h) x = op_unknown; // every byte dispatches
    h[OP_HALT] = op_fail;
    h[OP_MATCH] = op_match;
    h[OP_JUMP] = op_jump;
    h[OP_FORK] = op_fork;
    h[OP_FAIL] = op_fail;
    h[OP_CALL] = op_call;
    h[OP_RET] = op_ret;
    h[OP_LITERAL] = op_literal;
    h[OP_LITERAL_EXT] = op_literal_ext;
    h[OP_LITERAL_CI] = op_literal_ci;
    h[OP_CHAR] = op_char;
    h[OP_ANY] = op_any;
    h[OP_CHARSET] = op_fail;
    h[OP_FIELD_WORD] = op_field_word;
    h[OP_FIELD_INT] = op_field_int;
    h[OP_FIELD_UINT] = op_field_int;
    h[OP_FIELD_FLOAT] = op_field_float;
    h[OP_FIELD_IPV4] = op_field_ipv4;
    h[OP_FIELD_IPV6] = op_field_ipv6;
    h[OP_FIELD_HEX] = op_field_hex;
    h[OP_FIELD_QUOTED] = op_field_quoted;
    h[OP_FIELD_CHAR_TO] = op_field_char_to;
    h[OP_FIELD_STR_TO] = op_field_str_to;
    h[OP_FIELD_REST] = op_field_rest;
    h[OP_FIELD_JSON] = op_unsupported;
    h[OP_FIELD_MAC] = op_field_mac;
    h[OP_FIELD_DATE] = op_field_date;
    h[OP_FIELD_REGEX] = op_fail;
    h[OP_FIELD_NAME_VALUE] = op_unsupported;
    h[OP_SKIP_SPACE] = op_skip_space;
    h[OP_SKIP_SPACE1] = op_skip_space;
    h[OP_SKIP_N] = op_skip_n;
    h[OP_SKIP_TO] = op_skip_to;
    h[OP_SKIP_PAST] = op_skip_to;
    h[OP_SKIP_LINE] = op_skip_line;
    h[OP_TAG] = op_tag;
    h[OP_RULE_ID] = op_rule_id;
    h[OP_STATIC_FIELD] = op_static_field;
    h[OP_CTX_PUSH] = op_ctx_push;
    h[OP_CTX_POP] = op_ctx_pop;
    h[OP_CTX_NEST] = op_ctx_push;
    h[OP_CTX_UNNEST] = op_ctx_pop;
    h[OP_ASSERT_CHAR] = op_assert_char;
    h[OP_ASSERT_END] = op_assert_end;
    h[OP_ASSERT_START] = op_assert_start;
    h[OP_SYSLOG_PRI] = op_syslog_pri;
    h[OP_SYSLOG_TS] = op_syslog_ts;
    h[OP_CEF_HDR] = op_unsupported;
    h[OP_V2_IPTABLES] = op_unsupported;
    h[OP_CEE_SYSLOG] = op_unsupported;
    h[OP_CHECKPOINT_LEA] = op_unsupported;
    h[OP_FIELD_TIME] = op_field_time;
    h[OP_FIELD_KERNEL_TS] = op_field_kernel_ts;
    h[OP_CISCO_IFACE] = op_unsupported;
    h[OP_REPEAT] = op_unsupported;
    h[OP_NOP] = op_nop;
    h[OP_DEBUG] = op_debug;
  }
};
constexpr HandlerTable kHandlers;

// ------------------------------------------------------------ start sets

struct StartSet {
  ln_vm_start_set_t s;
  void add(unsigned char c) { s.bits[c >> 6] |= 1ull << (c & 63); }
  void add_range(unsigned a, unsigned b) {
    for (unsigned c = a; c <= b; ++c) add(static_cast<unsigned char>(c));
  }
  void del(unsigned char c) { s.bits[c >> 6] &= ~(1ull << (c & 63)); }
  static StartSet none() { return StartSet{}; }
  static StartSet all(bool at_end) {
    StartSet r{};
    for (uint64_t &w : r.s.bits) w = ~0ull;
    r.s.at_end = at_end;
    return r;
  }
  static StartSet one(unsigned char c) {
    StartSet r{};
    r.add(c);
    return r;
  }
};

// The start set of instruction i, from the sets of the instructions after it
// (jumps and forks lead forward in compiled code; any other target makes the
// set "anywhere").
StartSet start_set_of(const ln_program_t *prog, const ln_vm_start_set_t *sets, uint32_t i) {
  const ln_instr_t &in = prog->code[i];
  const uint32_t n = prog->code_len;
  const char *pool = prog->strpool;
  const uint32_t plen = prog->strpool_len;
  auto forward = [&](uint32_t *t) {
    const int64_t target = static_cast<int64_t>(i) + in.data.jump.offset;
    if (target <= i || target >= n) return false;
    *t = static_cast<uint32_t>(target);
    return true;
  };
  StartSet r;
  switch (in.op) {
  case OP_HALT:
  case OP_FAIL:
  case OP_CHARSET:
  case OP_FIELD_REGEX: return StartSet::none();
  case OP_ASSERT_END: r = StartSet::none(); r.s.at_end = 1; return r;
  case OP_LITERAL:
    if (in.aux < 1 || in.aux > LN_LITERAL_MAX) return StartSet::all(true);
    return StartSet::one(static_cast<unsigned char>(in.data.str[0]));
  case OP_LITERAL_EXT: {
    const uint32_t off = in.data.lit_pool.off, len = in.data.lit_pool.len;
    if (len == 0 || !pool || !ln_strpool_span_ok(pool, plen, off, len)) return StartSet::all(true);
    if ((in.flags & LN_IF_STORE) && !ln_strpool_cstr(pool, plen, in.data.lit_pool.name_off))
      return StartSet::all(true);
    return StartSet::one(static_cast<unsigned char>(pool[off]));
  }
  case OP_CHAR:
  case OP_ASSERT_CHAR: return StartSet::one(static_cast<unsigned char>(in.data.str[0]));
  case OP_FIELD_INT:
  case OP_FIELD_UINT:
  case OP_FIELD_IPV4: r = StartSet::none(); r.add_range('0', '9'); return r;
  case OP_FIELD_HEX: return StartSet::one('0');
  case OP_FIELD_FLOAT:
    r = StartSet::none();
    r.add_range('0', '9');
    r.add('-');
    r.add('.');
    return r;
  case OP_FIELD_WORD:
    r = StartSet::all(false);
    if (in.aux == 1) {
      r = StartSet::none();
      r.add_range('0', '9');
      r.add_range('a', 'f');
      r.add_range('A', 'F');
    } else if (in.aux == 2) {
      r = StartSet::none();
      r.add_range('a', 'z');
      r.add_range('A', 'Z');
    }
    return r;
  case OP_FIELD_CHAR_TO:
    if (in.flags & LN_IF_CHARSEP) return StartSet::all(true);
    r = StartSet::all(false);
    if (in.flags & LN_IF_CHARSET) {
      if (!pool || !ln_strpool_cstr(pool, plen, in.data.char_to.set_off) ||
          !ln_strpool_span_ok(pool, plen, in.data.char_to.set_off, in.aux))
        return StartSet::all(true);
      for (uint32_t k = 0; k < in.aux; ++k) r.del(static_cast<unsigned char>(pool[in.data.char_to.set_off + k]));
    } else {
      r.del(in.data.char_to.delim);
    }
    return r;
  case OP_FIELD_DATE:
    if (in.aux != 1 && (in.aux >> 8) != 1) { // RFC 3164: a month name
      r = StartSet::none();
      for (const char *p = "JFMASONDjfmasond"; *p; ++p) r.add(static_cast<unsigned char>(*p));
      return r;
    }
    return StartSet::all(true);
  // The structured types open with fixed text: "CEF:0|", "@cee:", and a
  // JSON value is an object or an array.
  case OP_CEF_HDR: return StartSet::one('C');
  case OP_CEE_SYSLOG: return StartSet::one('@');
  case OP_FIELD_JSON:
    r = StartSet::one('{');
    r.add('[');
    return r;
  case OP_FORK: {
    uint32_t t;
    if (i + 1 >= n || !forward(&t)) return StartSet::all(true);
    r.s = sets[i + 1];
    for (int w = 0; w < 4; ++w) r.s.bits[w] |= sets[t].bits[w];
    r.s.at_end |= sets[t].at_end;
    return r;
  }
  case OP_JUMP: {
    uint32_t t;
    if (!forward(&t)) return StartSet::all(true);
    r.s = sets[t];
    return r;
  }
  case OP_NOP:
    if (i + 1 >= n) return StartSet::all(true);
    r.s = sets[i + 1];
    return r;
  default: return StartSet::all(true);
  }
}

// The target of FORK i when it is a valid forward one with a fall-through.
bool fork_target(const ln_program_t *prog, uint32_t i, uint32_t *t) {
  const ln_instr_t &in = prog->code[i];
  if (in.op != OP_FORK || i + 1 >= prog->code_len) return false;
  const int64_t target = static_cast<int64_t>(i) + in.data.jump.offset;
  if (target <= i || target >= prog->code_len) return false;
  *t = static_cast<uint32_t>(target);
  return true;
}

bool may_start(const ln_vm_start_set_t &s, size_t b) {
  return b == 256 ? s.at_end != 0 : ((s.bits[b >> 6] >> (b & 63)) & 1) != 0;
}

// Jump tables of the FORKs that head a chain of LN_VM_FORK_CHAIN_MIN or more
// (a FORK inside a chain heads the rest of it: a backtrack resumes there).
// The walk over a chain stops at a FORK with a bad target, which must be run.
void build_fork_jumps(ln_vm_index_t *ix, const ln_program_t *prog) {
  const uint32_t n = prog->code_len;
  std::vector<uint32_t> len(n, 0); // FORKs in the chain from i
  for (uint32_t i = n; i-- > 0;) {
    uint32_t t;
    if (fork_target(prog, i, &t)) len[i] = 1 + len[t];
  }
  size_t tables = 0;
  for (uint32_t i = 0; i < n; ++i)
    if (len[i] >= LN_VM_FORK_CHAIN_MIN) ++tables;
  if (tables == 0 || tables > LN_VM_FORK_TABLES_MAX / (257 * sizeof(ln_vm_fork_jump_t))) return;
  auto *jump_of = static_cast<uint32_t *>(calloc(n, sizeof(uint32_t)));
  auto *jumps = static_cast<ln_vm_fork_jump_t *>(calloc(tables * 257, sizeof(ln_vm_fork_jump_t)));
  if (!jump_of || !jumps) {
    free(jump_of);
    free(jumps);
    return;
  }
  uint32_t next = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (len[i] < LN_VM_FORK_CHAIN_MIN) continue;
    jump_of[i] = next + 1;
    for (size_t b = 0; b < 257; ++b) {
      uint32_t pc = i, hops = 0, t;
      // As op_fork walks: a dead fall-through leads to the target, and going
      // on from a FORK there counts one instruction.
      while (fork_target(prog, pc, &t) && !may_start(ix->sets[pc + 1], b)) {
        if (prog->code[t].op != OP_FORK) {
          pc = t;
          break;
        }
        pc = t;
        ++hops;
      }
      jumps[next + b] = ln_vm_fork_jump_t{pc, hops};
    }
    next += 257;
  }
  ix->jump_of = jump_of;
  ix->jumps = jumps;
}

} // namespace

namespace {

// The key and value of STATIC_FIELD in as op_static_field reads them, into c
// when they are valid and the key is not empty.
void static_value(const ln_program_t *prog, const ln_instr_t &in, ln_vm_name_t *c) {
  const char *key, *val;
  size_t klen, vlen;
  if (in.flags & LN_IF_POOLED_KV) {
    const char *pool = prog->strpool;
    klen = in.aux;
    vlen = in.data.kv_pool.val_len;
    if (!pool || !ln_strpool_span_ok(pool, prog->strpool_len, in.data.kv_pool.key_off, klen) ||
        !ln_strpool_span_ok(pool, prog->strpool_len, in.data.kv_pool.val_off, vlen))
      return;
    key = pool + in.data.kv_pool.key_off;
    val = pool + in.data.kv_pool.val_off;
  } else {
    key = in.data.kv.key;
    klen = strnlen(key, sizeof in.data.kv.key);
    val = in.data.kv.val;
    vlen = strnlen(val, sizeof in.data.kv.val);
  }
  if (klen == 0) return;
  *c = ln_vm_name_t{key, key, static_cast<uint32_t>(klen), 1, 0, 0, val, static_cast<uint32_t>(vlen), 0};
}

} // namespace

int ln_vm_index_build(ln_vm_index_t *ix, const ln_program_t *prog) {
  if (!ix) return -1;
  *ix = ln_vm_index_t{};
  if (!prog || !prog->code || prog->code_len == 0) return -1;
  auto *sets = static_cast<ln_vm_start_set_t *>(calloc(prog->code_len, sizeof(ln_vm_start_set_t)));
  auto *names = static_cast<ln_vm_name_t *>(calloc(prog->code_len, sizeof(ln_vm_name_t)));
  if (!sets || !names) {
    free(sets);
    free(names);
    return -1;
  }
  for (uint32_t i = prog->code_len; i-- > 0;) sets[i] = start_set_of(prog, sets, i).s;
  for (uint32_t i = 0; i < prog->code_len; ++i) {
    const ln_instr_t &in = prog->code[i];
    const ln_opcode_info *info = ln_opcode_info_of(in.op);
    if (!info) continue;
    const char *inl = nullptr;
    size_t width = 0;
    switch (info->layout) {
    case LN_LAYOUT_STR: inl = in.data.str; width = sizeof in.data.str; break;
    case LN_LAYOUT_CHAR_TO: inl = in.data.char_to.name; width = sizeof in.data.char_to.name; break;
    case LN_LAYOUT_STR_TO: inl = in.data.str_to.name; width = sizeof in.data.str_to.name; break;
    case LN_LAYOUT_KV:
      static_value(prog, in, &names[i]);
      continue;
    default: continue;
    }
    ln_vm_name_t &c = names[i];
    if (in.flags & LN_IF_POOLED_NAME) {
      const char *p = prog->strpool ? ln_strpool_cstr(prog->strpool, prog->strpool_len, in.data.name_pool.off)
                                    : nullptr;
      if (!p || strlen(p) > UINT32_MAX) continue; // resolved, and refused, at run time
      c = ln_vm_name_t{p, nullptr, static_cast<uint32_t>(strlen(p)), 1, 0, 0, nullptr, 0, 0};
    } else {
      c = ln_vm_name_t{inl, inl, static_cast<uint32_t>(strnlen(inl, width)), 1, 0, 0, nullptr, 0, 0};
    }
    c.tag_hash = tag_hash(c.name, c.len);
    const std::string_view n(c.name, c.len);
    c.plain = !n.empty() && n != "-" && n != ".." && n.substr(0, 3) != "..." && n.size() < 65536;
    c.dotted = n.find('.') != std::string_view::npos;
  }
  ix->code = prog->code;
  ix->code_len = prog->code_len;
  ix->sets = sets;
  ix->names = names;
  build_fork_jumps(ix, prog); // without tables FORK walks its chain
  return 0;
}

void ln_vm_index_free(ln_vm_index_t *ix) {
  if (!ix) return;
  free(ix->sets);
  free(ix->names);
  free(ix->jump_of);
  free(ix->jumps);
  *ix = ln_vm_index_t{};
}

// ------------------------------------------------------------------ public

int ln_vm_init(ln_vm_t *vm, ln_arena_t *arena) {
  if (!vm || !arena) return LN_VM_ERROR;
  memset(vm, 0, sizeof *vm);
  vm->unserved_pc = UINT32_MAX;
  vm->arena = arena;
  vm->c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  return vm->c_locale ? 0 : LN_VM_ERROR;
}

void ln_vm_forget_shapes(ln_vm_t *vm) {
  if (!vm) return;
  delete vm->clean_shapes;
  vm->clean_shapes = nullptr;
}

void ln_vm_destroy(ln_vm_t *vm) {
  if (!vm) return;
  ln_vm_forget_shapes(vm);
  delete[] vm->name_buf;
  vm->name_buf = nullptr;
  vm->name_buf_used = 0;
  if (vm->c_locale) freelocale(vm->c_locale);
  vm->c_locale = static_cast<locale_t>(0);
}

void ln_vm_reset(ln_vm_t *vm) {
  if (!vm) return;
  vm->prog = nullptr;
  vm->input = vm->input_end = vm->ip = nullptr;
  vm->pc = 0;
  vm->fork_sp = vm->call_sp = vm->field_ctx_sp = 0;
  vm->result = nullptr;
  vm->name_buf_used = 0;
  vm->fail_on_dup = 0;
  vm->instr_count = vm->backtrack_count = 0;
  vm->matched_rule = nullptr;
  vm->error = nullptr;
  vm->unserved_pc = UINT32_MAX;
  vm->sets = nullptr;
  vm->names = nullptr;
  vm->jump_of = nullptr;
  vm->jumps = nullptr;
  vm->struct_stores = 0;
  vm->shape_hash_set = 0;
  vm->shape_serial = 0;
}

void ln_vm_set_trace(ln_vm_t *, int) {}

int ln_vm_exec(ln_vm_t *vm, const ln_program_t *prog, const char *input, size_t len,
               ln_fast_result_t *result) {
  if (!vm || !prog || !input || !prog->code) return LN_VM_ERROR;
  ln_vm_reset(vm);
  vm->prog = prog;
  vm->input = vm->ip = input;
  vm->input_end = input + len;
  vm->result = result;
  const ln_vm_index_t *ix = vm->index;
  if (ix && ix->sets && ix->names && ix->code == prog->code && ix->code_len == prog->code_len) {
    vm->sets = ix->sets;
    vm->names = ix->names;
    vm->jump_of = ix->jump_of;
    vm->jumps = ix->jumps;
  }
  return ln_vm_continue(vm);
}

int ln_vm_continue(ln_vm_t *vm) {
  if (!vm || !vm->prog || !vm->prog->code) return LN_VM_ERROR;
  const ln_program_t *prog = vm->prog;
  const uint64_t limit = vm->instr_limit ? vm->instr_limit : LN_VM_INSTR_LIMIT;
  // The program does not change during a run: its code and length stay in
  // registers, and the usual result (next instruction) is tested first.
  const ln_instr_t *const code = prog->code;
  const uint32_t code_len = prog->code_len;
  for (;;) {
    if (++vm->instr_count > limit) {
      vm->error = "instruction limit exceeded";
      return LN_VM_LIMIT;
    }
    if (vm->pc >= code_len) {
      vm->error = "PC out of bounds";
      return LN_VM_ERROR;
    }
    const ln_instr_t *in = &code[vm->pc];
    const HandlerResult h = kHandlers.h[in->op](vm, in);
    if (__builtin_expect(h == H_NEXT, 1)) {
      ++vm->pc;
      continue;
    }
    switch (h) {
    case H_NEXT:
    case H_JUMPED:
      continue;
    case H_MATCH:
      return LN_VM_MATCH;
    case H_ERROR:
      if (!vm->error) vm->error = "execution error";
      return LN_VM_ERROR;
    case H_LIMIT:
      return LN_VM_LIMIT;
    case H_FAIL:
      break;
    }
    if (vm->fork_sp == 0) return LN_VM_NOMATCH;
    ++vm->backtrack_count;
    const ln_fork_t &f = vm->forks[--vm->fork_sp];
    vm->pc = f.pc;
    vm->ip = f.ip;
    vm->call_sp = f.call_sp;
    vm->field_ctx_sp = f.field_ctx_sp;
    vm->unserved_pc = f.unserved_pc;
    if (vm->result) {
      vm->result->n_fields = f.n_fields;
      vm->result->n_tags = f.n_tags;
    }
  }
}

void ln_fast_result_clear(ln_fast_result_t *r) {
  if (!r) return;
  r->n_fields = 0;
  r->rule_id = nullptr;
  r->flags = 0;
  r->original = nullptr;
  r->original_len = 0;
  memset(r->tag_hash, 0, sizeof r->tag_hash);
  r->n_tags = 0;
}

void ln_vm_dump(const ln_vm_t *vm, FILE *fp) {
  if (!vm || !fp) return;
  const char *pname = vm->prog ? (vm->prog->name ? vm->prog->name : "(unnamed)") : "(none)";
  const size_t ipoff = vm->ip && vm->input ? static_cast<size_t>(vm->ip - vm->input) : 0;
  const size_t left = vm->ip && vm->input_end ? static_cast<size_t>(vm->input_end - vm->ip) : 0;
  fprintf(fp, "=== VM State ===\n");
  fprintf(fp, "Program:    %s\n", pname);
  fprintf(fp, "PC:         %u\n", vm->pc);
  fprintf(fp, "IP offset:  %zu\n", ipoff);
  fprintf(fp, "Remaining:  %zu\n", left);
  fprintf(fp, "Fork SP:    %u\n", vm->fork_sp);
  fprintf(fp, "Call SP:    %u\n", vm->call_sp);
  fprintf(fp, "Field Ctx:  %u\n", vm->field_ctx_sp);
  fprintf(fp, "Instr cnt:  %lu\n", static_cast<unsigned long>(vm->instr_count));
  fprintf(fp, "Backtracks: %lu\n", static_cast<unsigned long>(vm->backtrack_count));
  fprintf(fp, "Matched:    %s\n", vm->matched_rule ? vm->matched_rule : "(none)");
  fprintf(fp, "Error:      %s\n", vm->error ? vm->error : "(none)");
  if (vm->field_ctx_sp) {
    fprintf(fp, "Field context stack:\n");
    for (uint32_t i = 0; i < vm->field_ctx_sp; ++i) {
      const ln_field_ctx_t &c = vm->field_ctx[i];
      if (c.name)
        fprintf(fp, "  [%u] \"%.*s\" (nested=%d)\n", i, static_cast<int>(c.name_len), c.name, c.is_nested);
      else
        fprintf(fp, "  [%u] \"(null)\" (nested=%d)\n", i, c.is_nested);
    }
  }
  if (left > 0)
    fprintf(fp, "At input:   \"%.*s%s\"\n", static_cast<int>(left > 40 ? 40 : left), vm->ip,
            left > 40 ? "..." : "");
  fprintf(fp, "\n");
}

struct fjson_object *ln_turbo_field_json(const ln_fast_field_t *f) {
  if (!f) return nullptr;
  switch (f->type) {
  case LN_FTYPE_STRING:
  case LN_FTYPE_STRING_INLINE: {
    const char *s = f->type == LN_FTYPE_STRING ? f->v.str.ptr : f->v.inl;
    const size_t n = f->type == LN_FTYPE_STRING ? f->v.str.len : f->inl_len;
    if (f->flags & LN_FF_RAW_JSON) {
      fjson_tokener *tok = fjson_tokener_new();
      if (tok) {
        fjson_object *o = fjson_tokener_parse_ex(tok, s, static_cast<int>(n));
        // A bare number is complete only once the tokener sees its end.
        if (!o && fjson_tokener_get_error(tok) == fjson_tokener_continue)
          o = fjson_tokener_parse_ex(tok, "", 1);
        bool ok = fjson_tokener_get_error(tok) == fjson_tokener_success;
        fjson_tokener_free(tok);
        if (ok) return o;
        fjson_object_put(o);
      }
    }
    return fjson_object_new_string_len(s, static_cast<int>(n));
  }
  case LN_FTYPE_INT:
    return fjson_object_new_int64(f->v.i);
  case LN_FTYPE_DOUBLE:
    return fjson_object_new_double(f->v.d);
  case LN_FTYPE_BOOL:
    return fjson_object_new_boolean(f->v.b);
  default:
    return nullptr;
  }
}

// Reads a run of digits the way the walker's date parsers do (saturating).
static int date_digits(const char *s, size_t len, size_t &i, size_t *nd = nullptr) {
  int v = 0;
  size_t n = 0;
  while (i < len && is_digit(static_cast<unsigned char>(s[i]))) {
    if (v < 100000000) v = v * 10 + (s[i] - '0');
    ++i;
    ++n;
  }
  if (nd) *nd = n;
  return v;
}

static bool date_char(const char *s, size_t len, size_t &i, char c) {
  if (i >= len || s[i] != c) return false;
  ++i;
  return true;
}

int ln_turbo_date2unix(int kind, const char *s, size_t len, int ms, size_t *parsed, int64_t *ts) {
  if (!s || !parsed || !ts) return -1;
  *parsed = 0;
  *ts = 0;
  size_t i = 0, n = 0;
  if (kind == 1) {
    const int year = date_digits(s, len, i);
    if (!date_char(s, len, i, '-')) return -1;
    const int month = date_digits(s, len, i);
    if (month < 1 || month > 12 || !date_char(s, len, i, '-')) return -1;
    const int day = date_digits(s, len, i);
    if (day < 1 || day > 31 || !date_char(s, len, i, 'T')) return -1;
    const int hour = date_digits(s, len, i);
    if (hour > 23 || !date_char(s, len, i, ':')) return -1;
    const int minute = date_digits(s, len, i);
    if (minute > 59 || !date_char(s, len, i, ':')) return -1;
    const int second = date_digits(s, len, i);
    if (second > 60) return -1;
    int msec = 0;
    if (i < len && s[i] == '.') {
      ++i;
      size_t k = 0;
      while (i < len && is_digit(static_cast<unsigned char>(s[i]))) {
        if (k < 3) msec = msec * 10 + (s[i] - '0');
        ++k;
        ++i;
      }
      if (k == 0) return -1;
      for (; k < 3; ++k) msec *= 10;
    }
    if (i >= len) return -1;
    int oh = 0, om = 0;
    char mode = '+';
    if (s[i] == 'Z') {
      ++i;
    } else if (s[i] == '+' || s[i] == '-') {
      mode = s[i++];
      oh = date_digits(s, len, i);
      if (oh > 23 || !date_char(s, len, i, ':')) return -1;
      om = date_digits(s, len, i);
      if (om > 59) return -1;
    } else {
      return -1;
    }
    int64_t t = syslogTime2time_t(year, month, day, hour, minute, second, oh, om, mode);
    *ts = ms ? t * 1000 + msec : t;
    *parsed = i;
    return 0;
  }
  static const char months[12][4] = {"jan", "feb", "mar", "apr", "may", "jun",
                                     "jul", "aug", "sep", "oct", "nov", "dec"};
  if (len < 3) return -1;
  int month = 0;
  for (int m = 0; m < 12 && !month; ++m) {
    bool eq = true;
    for (int k = 0; k < 3 && eq; ++k) eq = (s[k] | 0x20) == months[m][k] && is_alpha(s[k]);
    if (eq) month = m + 1;
  }
  if (!month) return -1;
  i = 3;
  if (!date_char(s, len, i, ' ')) return -1;
  if (i < len && s[i] == ' ') ++i;
  const int day = date_digits(s, len, i, &n);
  if (n == 0 || day < 1 || day > 31 || !date_char(s, len, i, ' ')) return -1;
  {
    size_t j = i;
    const int y = date_digits(s, len, j, &n);
    if (n > 0 && y > 1970 && y < 2100) {
      if (!date_char(s, len, j, ' ')) return -1;
      i = j;
    }
  }
  const int hour = date_digits(s, len, i, &n);
  if (n == 0 || hour > 23 || !date_char(s, len, i, ':')) return -1;
  const int minute = date_digits(s, len, i, &n);
  if (n == 0 || minute > 59 || !date_char(s, len, i, ':')) return -1;
  const int second = date_digits(s, len, i, &n);
  if (n == 0 || second > 60) return -1;
  if (i < len && s[i] == ':') ++i;
  const time_t now = time(nullptr);
  struct tm tm;
  gmtime_r(&now, &tm);
  int64_t t = syslogTime2time_t(tm.tm_year + 1900, month, day, hour, minute, second, 0, 0, '+');
  *ts = ms ? t * 1000 : t;
  *parsed = i;
  return 0;
}
