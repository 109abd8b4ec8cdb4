// VaderAD state and the compiler from parse DAG to bytecode. The VM is not
// part of this file: ln_turbo_normalize_to_str still declines every message,
// so a compiled context reads every walker match as a coverage gap.
#include "vaderad/turbo.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "vaderad/turbo_json.h"
#include "vaderad/turbo_state.h"

ln_turbo_ctx_t *ln_turbo_ctx_init(void) {
  auto *t = static_cast<ln_turbo_ctx_t *>(calloc(1, sizeof(ln_turbo_ctx_t)));
  if (t == nullptr) return nullptr;
  if (ln_arena_init(&t->arena) != 0) {
    free(t);
    return nullptr;
  }
  t->enabled = 1;
  if (ln_turbo_runtime_init(t) != 0) {
    ln_turbo_ctx_free(t);
    return nullptr;
  }
  return t;
}

void ln_turbo_ctx_free(ln_turbo_ctx_t *turbo) {
  if (turbo == nullptr) return;
  free(turbo->code);
  free(turbo->strpool);
  ln_turbo_runtime_free(turbo);
  ln_arena_destroy(&turbo->arena);
  free(turbo);
}

int ln_turbo_compile(ln_ctx ctx) {
  if (!ctx || !ctx->turbo || !ctx->pdag) return -1;
  return -1;
}

int ln_turbo_is_available(ln_ctx ctx) {
  return ctx && ctx->turbo && ctx->turbo->enabled && ctx->turbo->code_len > 0;
}
