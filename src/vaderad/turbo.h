// VaderAD: the parse DAG compiled to bytecode and run on a small backtracking
// VM. This header is the engine's contract with the normalizer context and
// the comparison run.
#pragma once

#include <cstddef>

#include "normalizer/context.h"

ln_turbo_ctx_t *ln_turbo_ctx_init(void);
void ln_turbo_ctx_free(ln_turbo_ctx_t *turbo);
// Compile ctx's parse DAG; 0 on success, -1 when nothing could be compiled.
int ln_turbo_compile(ln_ctx ctx);
// 1 when ctx has VaderAD state, it is enabled and the program has code.
int ln_turbo_is_available(ln_ctx ctx);
// 0 with a newly allocated NUL-terminated JSON text; -1 with *json_str null.
int ln_turbo_normalize_to_str(ln_ctx ctx, const char *str, size_t len, char **json_str,
                              size_t *json_len);
