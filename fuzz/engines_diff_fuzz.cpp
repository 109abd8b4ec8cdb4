// Differential fuzzer of the two engines: every line of the input goes
// through the walker and VaderAD on one rulebase, and the run stops (abort)
// on VaderAD JSON that does not parse, on a message only VaderAD matches, or
// on both engines matching with values that differ, as `veldra check` would
// report them. VaderAD declining a message is allowed (the walker serves it).
// Crashes, hangs and sanitizer reports stop it too.
//
// The rulebase is the file named by VELDRA_FUZZ_RULEBASE, by default the
// bundled example.
#include <libfastjson/json.h>
#include <libfastjson/json_tokener.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/veldra.h"
#include "normalizer/context.h"
#include "normalizer/walker.h"
#include "vaderad/turbo_json.h"

// The comparison run's own steps (src/core/engine.cpp).
int vdr_count_dup_names(fjson_object *ev);
vdr_status vdr_classify(bool legacy_unparsed, bool turbo_unparsed, size_t n_diffs, uint32_t shape,
                        int dup_names);

#ifndef VELDRA_SOURCE_DIR
#define VELDRA_SOURCE_DIR "."
#endif

namespace {

ln_ctx g_ctx = nullptr;
fjson_tokener *g_tok = nullptr;

fjson_object *parse(const char *text, size_t len) {
  fjson_tokener_reset(g_tok);
  fjson_object *o = fjson_tokener_parse_ex(g_tok, text, static_cast<int>(len));
  if (fjson_tokener_get_error(g_tok) != fjson_tokener_success) {
    if (o) fjson_object_put(o);
    return nullptr;
  }
  return o;
}

[[noreturn]] void report(const char *what, const std::string &line, const char *legacy,
                         const char *turbo) {
  fprintf(stderr, "engines differ: %s\nline: ", what);
  fwrite(line.data(), 1, line.size(), stderr);
  fprintf(stderr, "\nwalker:  %s\nVaderAD: %s\n", legacy ? legacy : "(none)", turbo ? turbo : "(none)");
  abort();
}

void check_line(const std::string &line) {
  vdr_canon leg{}, tur{};
  leg.tag_key = tur.tag_key = -1;
  leg.unparsed = tur.unparsed = 1;
  std::string legacy_text;
  fjson_object *event = nullptr;
  ln_normalize(g_ctx, line.data(), line.size(), &event);
  if (event) {
    const int dups = vdr_count_dup_names(event);
    const char *t = fjson_object_to_json_string_ext(event, 0);
    legacy_text = t ? t : "";
    fjson_object *p = parse(legacy_text.data(), legacy_text.size());
    fjson_object_put(event);
    if (p) {
      vdr_canon_build(p, &leg);
      fjson_object_put(p);
      leg.dup_field_names = dups;
    }
  }
  char *text = nullptr;
  size_t tlen = 0;
  if (ln_turbo_normalize_to_str(g_ctx, line.data(), line.size(), &text, &tlen) == 0 && text) {
    if (strlen(text) != tlen) report("VaderAD JSON length is wrong", line, legacy_text.c_str(), text);
    fjson_object *p = parse(text, tlen);
    if (!p) report("VaderAD JSON does not parse", line, legacy_text.c_str(), text);
    vdr_canon_build(p, &tur);
    fjson_object_put(p);
  }
  const bool lu = leg.unparsed != 0, tu = tur.unparsed != 0;
  vdr_diff *diffs = nullptr;
  size_t nd = 0;
  uint32_t shape = 0;
  if (!lu && !tu) vdr_diff_compute(&leg, &tur, &diffs, &nd, &shape);
  const vdr_status st = vdr_classify(lu, tu, nd, shape, leg.dup_field_names);
  if (st == VDR_STATUS_TURBO_ONLY) report("only VaderAD matched", line, legacy_text.c_str(), text);
  if (st == VDR_STATUS_DIVERGENCE || st == VDR_STATUS_DUP_FIELD) {
    std::string what = vdr_status_name(st);
    for (size_t i = 0; i < nd; ++i)
      what += std::string(" [") + vdr_diff_kind_name(diffs[i].kind) + " " + diffs[i].path + "]";
    report(what.c_str(), line, legacy_text.c_str(), text);
  }
  vdr_diff_free(diffs, nd);
  vdr_canon_free(&leg);
  vdr_canon_free(&tur);
  free(text);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const char *rb = getenv("VELDRA_FUZZ_RULEBASE");
  const std::string path = rb && *rb ? rb : VELDRA_SOURCE_DIR "/examples/linux-syslog.rb";
  g_ctx = ln_initCtx();
  g_tok = fjson_tokener_new();
  if (!g_ctx || !g_tok) abort();
  ln_setCtxOpts(g_ctx, LN_CTXOPT_TURBO | LN_CTXOPT_TURBO_STRICT);
  if (ln_loadSamples(g_ctx, path.c_str()) != 0 || !ln_turbo_is_available(g_ctx)) {
    fprintf(stderr, "engines_diff_fuzz: %s did not load or VaderAD did not compile it\n", path.c_str());
    abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *p = reinterpret_cast<const char *>(data), *end = p + size;
  for (int lines = 0; p < end && lines < 16; ++lines) {
    const char *eol = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (!eol) eol = end;
    std::string line(p, eol);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) check_line(line);
    p = eol < end ? eol + 1 : end;
  }
  return 0;
}
