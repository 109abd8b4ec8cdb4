// Snapshots: a self-contained copy of a flat result that outlives the next
// message on the context, the input buffer and the arena.
#pragma once

#include <cstddef>

#include "normalizer/context.h"
#include "vaderad/turbo_vm.h"

// The result copy followed by the bytes it points to, in one heap block.
struct ln_fast_result_snapshot_t {
  ln_fast_result_t result; // its arena member is null
  size_t arena_size;       // bytes in arena_data
  char arena_data[];       // the arena's used bytes, then every copied text
};

// Copy of result: the arena's used bytes are copied and every pointer into
// them rebased; field names and text values anywhere else are copied too,
// except names and the rule id that lie inside prog's instructions or string
// pool (prog may be null: then every outside name is copied). Null when
// result is null or memory is short.
ln_fast_result_snapshot_t *ln_fast_result_snapshot_create_for(const ln_fast_result_t *result,
                                                              const ln_arena_t *arena,
                                                              const ln_program_t *prog);
// As above with no program: everything outside the arena is copied.
ln_fast_result_snapshot_t *ln_fast_result_snapshot_create(const ln_fast_result_t *result,
                                                          const ln_arena_t *arena);
// Snapshot of the context's current result (names of its program are kept),
// or null when there is none.
ln_fast_result_snapshot_t *ln_turbo_snapshot_result(ln_ctx ctx);
const ln_fast_result_t *ln_fast_result_snapshot_get(const ln_fast_result_snapshot_t *snap);
void ln_fast_result_snapshot_free(ln_fast_result_snapshot_t *snap);
