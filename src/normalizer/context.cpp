// Normalizer context: life cycle, option bits, the two message sinks, the
// load entry points and the hexadecimal copy of unparsed binary data.
#include "normalizer/context.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "normalizer/annot.h"
#include "normalizer/pdag.h"
#include "normalizer/rewrite.h"
#include "normalizer/samp.h"
#include "vaderad/turbo.h"

namespace {

constexpr size_t kMsgBuf = 8192;

// Formats into buf (kMsgBuf bytes). When the full text does not fit, its last
// four bytes become "...\n". Returns the length of the text in buf.
size_t fmt_msg(char *buf, const char *fmt, va_list ap) {
  int n = vsnprintf(buf, kMsgBuf, fmt, ap);
  if (n < 0) {
    buf[0] = '\0';
    return 0;
  }
  if (static_cast<size_t>(n) >= kMsgBuf) {
    memcpy(buf + kMsgBuf - 5, "...\n", 5);
    return kMsgBuf - 1;
  }
  return static_cast<size_t>(n);
}

size_t fmt_msg2(char *buf, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
size_t fmt_msg2(char *buf, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  size_t n = fmt_msg(buf, fmt, ap);
  va_end(ap);
  return n;
}

// strerror_r comes in a GNU flavour (returns the text) and an XSI flavour
// (returns 0 and fills the buffer); accept either.
[[maybe_unused]] const char *err_text(int r, const char *buf) { return r == 0 ? buf : "Unknown error"; }
[[maybe_unused]] const char *err_text(const char *r, const char *) { return r; }

bool ctx_ok(ln_ctx ctx) { return ctx != nullptr && ctx->objID == LN_OBJID_CTX; }

// Steps shared by both loaders once the reader is done.
int finish_load(ln_ctx ctx, int r) {
  if (r != 0) return r;
  if (ctx->include_level == 0) {
    const unsigned long before = ln_errCount();
    r = ln_rewrite_bind(ctx);
    if (r != 0) {
      if (ln_errCount() == before)
        ln_errprintf(ctx, 0, "rewrite tables could not be bound (error %d)", r);
      return r;
    }
  }
  if (ctx->turbo != nullptr && (ctx->opts & LN_CTXOPT_TURBO)) {
    if (ln_turbo_compile(ctx) == 0)
      ln_dbgprintf(ctx, "turbo VM ready");
    else
      ln_dbgprintf(ctx, "turbo VM compilation failed, using recursive walker");
  }
  return 0;
}

} // namespace

ln_ctx ln_initCtx(void) {
  auto *ctx = static_cast<ln_ctx>(calloc(1, sizeof(struct ln_ctx_s)));
  if (ctx == nullptr) return nullptr;
  ctx->objID = LN_OBJID_CTX;
  ctx->pdag = ln_newPDAG(ctx);
  ctx->pas = ctx->pdag ? ln_newAnnotSet(ctx) : nullptr;
  ctx->rewrites = ctx->pas ? ln_newRewriteSet(ctx) : nullptr;
  if (ctx->rewrites == nullptr) {
    ln_deleteAnnotSet(ctx->pas);
    ln_pdagDelete(ctx->pdag);
    free(ctx);
    return nullptr;
  }
  return ctx;
}

int ln_exitCtx(ln_ctx ctx) {
  if (!ctx_ok(ctx)) return -1;
  ln_dbgprintf(ctx, "exitCtx %p", static_cast<void *>(ctx));
  ctx->objID = 0;
  ln_turbo_ctx_free(ctx->turbo);
  ctx->turbo = nullptr;
  ctx->ptree = nullptr; // no version-1 engine in this tool
  ln_pdagDelete(ctx->pdag);
  ctx->pdag = nullptr;
  for (int i = 0; i < ctx->nTypes; ++i) {
    free(ctx->type_pdags[i].name);
    ln_pdagDelete(ctx->type_pdags[i].pdag);
  }
  free(ctx->type_pdags);
  ctx->type_pdags = nullptr;
  ctx->nTypes = 0;
  if (ctx->rulePrefix) es_deleteStr(ctx->rulePrefix);
  ln_deleteAnnotSet(ctx->pas);
  ln_deleteRewriteSet(ctx->rewrites);
  free(ctx);
  return 0;
}

int ln_setCtxOpts(ln_ctx ctx, uint32_t opts) {
  if (!ctx_ok(ctx)) return -1;
  ctx->opts |= opts;
  if ((opts & LN_CTXOPT_TURBO) && ctx->turbo == nullptr) {
    ctx->turbo = ln_turbo_ctx_init();
    if (ctx->turbo == nullptr) return LN_RC_NO_MEMORY;
  }
  return 0;
}

uint32_t ln_getCtxOpts(ln_ctx ctx) { return ctx_ok(ctx) ? ctx->opts : 0; }

int ln_setDebugCB(ln_ctx ctx, ln_msg_cb cb, void *cookie) {
  if (!ctx_ok(ctx)) return -1;
  ctx->dbgCB = cb;
  ctx->dbgCookie = cookie;
  return 0;
}

int ln_setErrMsgCB(ln_ctx ctx, ln_msg_cb cb, void *cookie) {
  if (!ctx_ok(ctx)) return -1;
  ctx->errmsgCB = cb;
  ctx->errmsgCookie = cookie;
  return 0;
}

void ln_enableDebug(ln_ctx ctx, int i) {
  if (ctx_ok(ctx)) ctx->debug = static_cast<uint8_t>(i & 1);
}

namespace {

// One load call: names the input for message prefixes, counts the nesting
// level while the reader runs, then binds and compiles (finish_load).
template <class Reader>
int run_load(ln_ctx ctx, const char *conf_name, Reader read) {
  char *copy = strdup(conf_name);
  if (copy == nullptr) return LN_RC_NO_MEMORY;
  ctx->conf_file = copy;
  ctx->conf_ln_nbr = 0;
  ++ctx->include_level;
  int r;
  try {
    r = read();
  } catch (const std::bad_alloc &) {
    r = LN_RC_NO_MEMORY;
  }
  --ctx->include_level;
  ctx->conf_file = nullptr;
  free(copy);
  return finish_load(ctx, r);
}

} // namespace

int ln_loadSamples(ln_ctx ctx, const char *file) {
  if (!ctx_ok(ctx)) return -1;
  if (file == nullptr) return 1;
  return run_load(ctx, file, [&] { return ln_sampLoad(ctx, file); });
}

int ln_loadSamplesFromString(ln_ctx ctx, const char *text) {
  if (!ctx_ok(ctx)) return -1;
  return run_load(ctx, "--NO-FILE--", [&] { return ln_sampLoadFromString(ctx, text); });
}

int ln_loadSamplesFromText(ln_ctx ctx, const char *text, const char *name) {
  if (!ctx_ok(ctx)) return -1;
  if (text == nullptr || name == nullptr) return 1;
  return run_load(ctx, name, [&] { return ln_sampLoadText(ctx, name, text, strlen(text)); });
}

int ln_addUnparsedDataBinaryField(ln_ctx ctx, const char *str, size_t len,
                                  struct fjson_object *json) {
  if (ctx == nullptr || (ctx->opts & LN_CTXOPT_NO_UNPARSED_BINARY) || str == nullptr || len == 0)
    return 0;
  bool binary = false;
  for (size_t i = 0; i < len; ++i) {
    const auto c = static_cast<unsigned char>(str[i]);
    if (c < 32 || c == 127) {
      binary = true;
      break;
    }
  }
  if (!binary) return 0;
  if (len > 1073741823u) return -1002;
  if (json == nullptr) return -1;
  static const char hex[] = "0123456789abcdef";
  char *buf = static_cast<char *>(malloc(len * 2 + 1));
  if (buf == nullptr) return -1;
  for (size_t i = 0; i < len; ++i) {
    const auto c = static_cast<unsigned char>(str[i]);
    buf[2 * i] = hex[c >> 4];
    buf[2 * i + 1] = hex[c & 0x0f];
  }
  buf[2 * len] = '\0';
  fjson_object *v = fjson_object_new_string_len(buf, static_cast<int>(len * 2));
  free(buf);
  if (v == nullptr) return -1;
  fjson_object_object_add(json, "unparsed-data-binary", v);
  return 0;
}

const char *ln_version(void) { return "2.1.1"; }

int ln_hasAdvancedStats(void) { return 0; }

void ln_dbgprintf(ln_ctx ctx, const char *fmt, ...) {
  if (ctx == nullptr || ctx->dbgCB == nullptr) return;
  char buf[kMsgBuf];
  va_list ap;
  va_start(ap, fmt);
  size_t n = fmt_msg(buf, fmt, ap);
  va_end(ap);
  ctx->dbgCB(ctx->dbgCookie, buf, n);
}

namespace {
thread_local unsigned long g_err_count = 0;
} // namespace

unsigned long ln_errCount(void) { return g_err_count; }

void ln_errprintf(ln_ctx ctx, int eno, const char *fmt, ...) {
  ++g_err_count;
  if (ctx == nullptr || ctx->errmsgCB == nullptr) return;
  char msg[kMsgBuf];
  va_list ap;
  va_start(ap, fmt);
  size_t n = fmt_msg(msg, fmt, ap);
  va_end(ap);
  const char *text = msg;
  char withErr[kMsgBuf];
  if (eno != 0) {
    char ebuf[256] = "";
    const char *etxt = err_text(strerror_r(eno, ebuf, sizeof(ebuf)), ebuf);
    n = fmt_msg2(withErr, "%s: %s", msg, etxt);
    text = withErr;
  }
  char located[kMsgBuf];
  if (ctx->conf_file != nullptr) {
    n = fmt_msg2(located, "rulebase file %s[%d]: %s", ctx->conf_file,
                 static_cast<int>(ctx->conf_ln_nbr), text);
    text = located;
  }
  ctx->errmsgCB(ctx->errmsgCookie, text, n);
  ln_dbgprintf(ctx, "%s", text);
}
