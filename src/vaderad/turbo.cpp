// VaderAD state. The bytecode compiler and VM are not built yet: compiling
// produces no program, so a VaderAD context reports itself unavailable and the
// comparison run reads every walker match as a coverage gap.
#include "vaderad/turbo.h"

#include <cstdlib>
#include <new>

struct ln_turbo_ctx_s {
  int enabled;
  size_t program_len; // instructions in the compiled program
};

ln_turbo_ctx_t *ln_turbo_ctx_init(void) {
  auto *t = static_cast<ln_turbo_ctx_t *>(calloc(1, sizeof(ln_turbo_ctx_t)));
  if (t) t->enabled = 1;
  return t;
}

void ln_turbo_ctx_free(ln_turbo_ctx_t *turbo) { free(turbo); }

int ln_turbo_compile(ln_ctx ctx) {
  if (!ctx || !ctx->turbo || !ctx->pdag) return -1;
  ctx->turbo->program_len = 0;
  return -1;
}

int ln_turbo_is_available(ln_ctx ctx) {
  return ctx && ctx->turbo && ctx->turbo->enabled && ctx->turbo->program_len > 0;
}

int ln_turbo_normalize_to_str(ln_ctx ctx, const char *str, size_t len, char **json_str,
                              size_t *json_len) {
  if (json_str) *json_str = nullptr;
  if (json_len) *json_len = 0;
  return -1;
}
