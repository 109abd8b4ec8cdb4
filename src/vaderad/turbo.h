// VaderAD: the parse DAG compiled to bytecode and run on a small backtracking
// VM. This header is the engine's contract with the normalizer context and
// the comparison run; the program format itself is turbo_format.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "normalizer/context.h"
#include "vaderad/turbo_format.h"

// Deepest nesting of branch points, user-defined type bodies and repeat
// bodies the compiler follows; deeper DAGs are declined.
#define LN_TURBO_MAX_DEPTH 1024
// Largest program the compiler builds. The program expands the DAG into a
// tree (shared nodes and every use of a user-defined type are compiled again),
// which can grow exponentially; past this size the rulebase is declined.
#define LN_TURBO_MAX_INSTRUCTIONS (1u << 20)

struct ln_turbo_stats_t {
  uint32_t n_instructions; // set by the compiler
  uint32_t n_rules;
  uint32_t n_branches;
  uint32_t max_depth;
  uint64_t messages_processed; // counted per successful message
  uint64_t total_bytes;
  uint64_t vm_time_ns; // not measured, stays 0
};

ln_turbo_ctx_t *ln_turbo_ctx_init(void);
void ln_turbo_ctx_free(ln_turbo_ctx_t *turbo);
// Compiles ctx's parse DAG into a new program, replacing any earlier one; 0 on
// success. On -1 there is no program at all and ln_turbo_compile_reason says
// why.
int ln_turbo_compile(ln_ctx ctx);
// 1 when ctx has VaderAD state, it is enabled and the program has code.
int ln_turbo_is_available(ln_ctx ctx);
// Why the last compilation declined the rulebase; "" after a success, before
// any compilation, or for a context without VaderAD state.
const char *ln_turbo_compile_reason(ln_ctx ctx);
// Copies the statistics; -1 when ctx, its VaderAD state or stats is missing.
int ln_turbo_get_stats(ln_ctx ctx, ln_turbo_stats_t *stats);
// The execution view of ctx's program (name "turbo", code, pool, rewrite
// tables); an empty program when there is none.
void ln_turbo_program(ln_ctx ctx, ln_program_t *prog);
// Lists ctx's program (ln_program_disasm) under the given label, or "turbo".
void ln_turbo_disasm(ln_ctx ctx, FILE *fp, const char *label);
// The 1-based index (rule table of the loader) of the rule whose MATCH ended
// the latest message that matched on ctx, 0 when none or unknown.
uint32_t ln_turbo_matched_rule(ln_ctx ctx);
// 0 with a newly allocated NUL-terminated JSON text; -1 with *json_str null.
int ln_turbo_normalize_to_str(ln_ctx ctx, const char *str, size_t len, char **json_str,
                              size_t *json_len);
