// VaderAD state of one normalizer context (ctx->turbo), shared by the
// compiler (turbo.cpp) and the runtime (VM, JSON output, snapshots). Internal
// to src/vaderad; the rest of the system sees only the opaque ln_turbo_ctx_t
// of turbo.h.
//
// The compiler owns the program members (code, strpool) and the statistics it
// sets; ln_turbo_ctx_init and ln_turbo_ctx_free in turbo.cpp create and free
// every member, and the runtime adds its own members at the end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vaderad/turbo.h"
#include "vaderad/turbo_arena.h"
#include "vaderad/turbo_format.h"
#include "vaderad/turbo_vm.h"

// Length of the compiler's last decline reason kept in the state.
#define LN_TURBO_REASON_MAX 512

struct ln_turbo_ctx_s {
  // Compiled program; code is null and code_len 0 when there is none.
  ln_instr_t *code;
  uint32_t code_len;
  uint32_t code_cap;
  // String pool of the program (format in turbo_format.h).
  char *strpool;
  uint32_t strpool_len;
  uint32_t strpool_cap;
  // Edge of each structured opcode, indexed by instruction (n_edges entries,
  // null elsewhere); recorded by a successful compilation.
  struct ln_parser_s **edges;
  uint32_t n_edges;

  // Which rule each MATCH ends: pairs (instruction index, 1-based rule index
  // of the loader's rule table), in instruction order; null when none.
  uint32_t *match_rules;
  uint32_t n_match_rules;

  ln_arena_t arena; // per-message memory, 16384 bytes initially
  ln_turbo_stats_t stats;
  int enabled; // 1 once created
  int debug;   // unused

  // Why the last compilation declined ("" after a success or before any
  // compilation). The first reason of a failed compilation is kept.
  char compile_reason[LN_TURBO_REASON_MAX];

  // Runtime members (VM, result, JSON buffer) follow here.
  ln_vm_t vm;
  ln_fast_result_t result; // of the latest message; result.arena is &arena
  char *json_buf;          // reusable output buffer, 8192 bytes initially
  size_t json_buf_cap;
  // Start sets of the program, built at its first message; emptied whenever
  // the program is compiled again.
  ln_vm_index_t index;
  // JSON layouts of the result shapes seen so far (turbo_json.cpp), built on
  // first use; emptied when the program is discarded.
  struct ln_json_shapes *shapes;
};
