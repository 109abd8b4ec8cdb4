// A normalizer context with VaderAD on, whose program is replaced by a
// hand-written one, and a sink for its debug messages.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "normalizer/context.h"
#include "vaderad/turbo_json.h"
#include "vaderad/turbo_state.h"
#include "vm_helpers.h"

struct TurboCtx {
  ln_ctx ctx = nullptr;
  std::vector<std::string> dbg;

  static void on_debug(void *cookie, const char *msg, size_t len) {
    static_cast<TurboCtx *>(cookie)->dbg.emplace_back(msg, len);
  }
  // rulebase: loaded into the context (the walker's side of a fallback).
  explicit TurboCtx(const Prog &p, uint32_t extra_opts = 0,
                    const char *rulebase = "version=2\nrule=:%w:word%\n") {
    ctx = ln_initCtx();
    EXPECT_NE(ctx, nullptr);
    ln_setCtxOpts(ctx, LN_CTXOPT_TURBO | extra_opts);
    EXPECT_EQ(ln_loadSamplesFromString(ctx, rulebase), 0);
    install(p);
    ln_setDebugCB(ctx, on_debug, this);
  }
  ~TurboCtx() { ln_exitCtx(ctx); }
  TurboCtx(const TurboCtx &) = delete;
  TurboCtx &operator=(const TurboCtx &) = delete;

  void install(const Prog &p) {
    ln_turbo_ctx_t *t = ctx->turbo;
    ln_vm_index_free(&t->index); // the start sets of the program replaced
    ln_turbo_json_shapes_clear(t); // and its JSON layouts
    free(t->code);
    free(t->strpool);
    free(t->edges); // the hand-written program has no DAG edges: structured fields only probe
    t->edges = nullptr;
    t->n_edges = 0;
    t->code = static_cast<ln_instr_t *>(malloc(p.code.size() * sizeof(ln_instr_t)));
    memcpy(t->code, p.code.data(), p.code.size() * sizeof(ln_instr_t));
    t->code_len = t->code_cap = static_cast<uint32_t>(p.code.size());
    t->strpool = nullptr;
    t->strpool_len = t->strpool_cap = 0;
    if (!p.pool.empty()) {
      t->strpool = static_cast<char *>(malloc(p.pool.size()));
      memcpy(t->strpool, p.pool.data(), p.pool.size());
      t->strpool_len = t->strpool_cap = static_cast<uint32_t>(p.pool.size());
    }
  }
  bool logged(const std::string &msg) const {
    for (const std::string &m : dbg)
      if (m == msg) return true;
    return false;
  }
};
