// Normalization of single lines for `veldra normalize`: context set-up per
// engine and the JSON text of one line.
#include "core/normalize.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "normalizer/json_text.h"
#include "normalizer/walker.h"
#include "vaderad/turbo.h"

namespace {

void collect_message(void *cookie, const char *msg, size_t len) {
  auto *sb = static_cast<vdr_sb *>(cookie);
  vdr_sb_putn(sb, msg ? msg : "", msg ? len : 0);
  vdr_sb_putc(sb, '\n');
}

void discard_message(void *, const char *, size_t) {}

// Appends a serialized result, wrapped with the line when asked.
int put_result(vdr_sb *out, const char *json, size_t n, const char *line, size_t len,
               int keep_line) {
  if (keep_line) vdr_sb_puts(out, "{\"fields\":");
  vdr_sb_json_text(out, json, n);
  if (keep_line) {
    vdr_sb_puts(out, ",\"line\":");
    vdr_sb_json_stringn(out, line, len);
    vdr_sb_putc(out, '}');
  }
  return out->oom ? -1 : 0;
}

int put_object(vdr_sb *out, fjson_object *json, const char *line, size_t len, int keep_line) {
  const char *text = fjson_object_to_json_string_ext(json, FJSON_TO_STRING_PLAIN);
  if (!text) return -1;
  return put_result(out, text, strlen(text), line, len, keep_line);
}

} // namespace

ln_ctx vdr_norm_ctx_new(const char *text, const char *name, vdr_norm_engine engine,
                        vdr_sb *diag) {
  ln_ctx ctx = ln_initCtx();
  if (!ctx) return nullptr;
  if (diag)
    ln_setErrMsgCB(ctx, collect_message, diag);
  else
    ln_setErrMsgCB(ctx, discard_message, nullptr);
  uint32_t opts = 0;
  if (engine == VDR_NORM_AUTO) opts = LN_CTXOPT_TURBO;
  if (engine == VDR_NORM_VADERAD) opts = LN_CTXOPT_TURBO | LN_CTXOPT_TURBO_STRICT;
  ln_setCtxOpts(ctx, opts);
  int rc;
  try {
    rc = ln_loadSamplesFromText(ctx, text, name);
  } catch (const std::bad_alloc &) {
    rc = -1;
  }
  if (rc != 0) {
    ln_exitCtx(ctx);
    return nullptr;
  }
  // Messages after loading (none are expected) have nowhere to go.
  ln_setErrMsgCB(ctx, discard_message, nullptr);
  return ctx;
}

int vdr_norm_unparsed(ln_ctx ctx, const char *line, size_t len, int keep_line, vdr_sb *out) {
  fjson_object *json = fjson_object_new_object();
  if (!json) return -1;
  fjson_object *a = ln_json_string(line, len), *b = ln_json_string(line, len);
  if (a) fjson_object_object_add(json, "originalmsg", a);
  if (b) fjson_object_object_add(json, "unparsed-data", b);
  int rc = a && b && ln_addUnparsedDataBinaryField(ctx, line, len, json) == 0
               ? put_object(out, json, line, len, keep_line)
               : -1;
  fjson_object_put(json);
  return rc;
}

int vdr_norm_line(ln_ctx ctx, vdr_norm_engine engine, const char *line, size_t len, int keep_line,
                  vdr_sb *out) {
  try {
    if (engine != VDR_NORM_LEGACY && ln_turbo_is_available(ctx)) {
      char *text = nullptr;
      size_t n = 0;
      if (ln_turbo_normalize_to_str(ctx, line, len, &text, &n) == 0 && text) {
        int rc = put_result(out, text, n, line, len, keep_line);
        free(text);
        return rc;
      }
      free(text);
      if (engine == VDR_NORM_VADERAD) return vdr_norm_unparsed(ctx, line, len, keep_line, out);
    }
    // The walker: its result whether it matched or not (unparsed lines get
    // "originalmsg" and "unparsed-data" from it); only a missing object
    // means it ran out of memory.
    fjson_object *json = nullptr;
    ln_normalize(ctx, line, len, &json);
    if (!json) return -1;
    int rc = put_object(out, json, line, len, keep_line);
    fjson_object_put(json);
    return rc;
  } catch (const std::bad_alloc &) {
    return -1;
  }
}
