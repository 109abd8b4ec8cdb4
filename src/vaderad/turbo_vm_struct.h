// Structured field opcodes of the VM (json, cee-syslog, name-value-list, cef,
// checkpoint-lea, v2-iptables, cisco-interface-spec, repeat). Internal to
// src/vaderad: turbo_vm.cpp dispatches these opcodes here.
#pragma once

#include <cstddef>

#include "vaderad/turbo_vm.h"

// Results of ln_vm_struct_run.
#define LN_VMS_NEXT 0   // matched: the value is stored, the input consumed
#define LN_VMS_FAIL 1   // the path fails here, as it does in the walker
#define LN_VMS_ERROR (-1) // the run ends with vm->error set (the message is declined)
#define LN_VMS_PROBE 2  // the program carries no edge for this instruction

// Runs the structured instruction at vm->pc: the walker's parser of the edge
// the instruction was compiled from reads the payload at vm->ip, and its value
// is flattened into the result the way the walker stores it in its object
// (members of a "." field merged, rewrite tables applied, a lone ".." member
// unwrapped). Names and texts are copied into the arena.
int ln_vm_struct_run(ln_vm_t *vm, const ln_instr_t *in);

// True when a field's name is a dotted prefix of another's ("a" beside
// "a.b"): the walker keeps both as members, the nesting JSON writer cannot;
// or when a field is named "tags" or "event.tags" (or lies under one), the
// names of the rule tags in the two engines' texts.
bool ln_vm_struct_names_clash(const ln_fast_result_t *r);

// Text (raw 0) or raw JSON (raw 1) store of the VM under the raw field name n,
// which must outlive the result (program, pool or arena memory): 0 stored or
// not kept (or the result is full, which marks it truncated), 1 a duplicate
// refused, -1 an error with vm->error set. Defined in turbo_vm.cpp.
int ln_vm_store_value(ln_vm_t *vm, const char *n, size_t nlen, const char *v, size_t vlen, int raw);
// One text store of a batch.
struct ln_vm_text_store {
  const char *name;
  uint32_t nlen;
  const char *val;
  uint32_t vlen;
  uint8_t raw;
};
// The stores of items[0, n) in order, as ln_vm_store_value would make each:
// 0, or the first non-zero result (the rest are not made). dotted: whether
// every name holds a '.' (1 or 0) when the caller knows (a member under a
// prefix does), -1 to look at each.
int ln_vm_store_members(ln_vm_t *vm, const ln_vm_text_store *items, size_t n, int dotted);
