// libFuzzer driver: arbitrary rulebase text through the loader, once as text
// and once as the content of a named file, with VaderAD on so that every
// load is also compiled. Besides the sanitizers it checks one property: a
// load that fails has said why, with a message that names the file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "normalizer/context.h"

namespace {

struct messages {
  size_t count = 0;
  bool named = true; // every message carried the location prefix
  const char *prefix = "";
};

void collect(void *cookie, const char *msg, size_t len) {
  auto *m = static_cast<messages *>(cookie);
  ++m->count;
  const size_t pl = strlen(m->prefix);
  if (len < pl || memcmp(msg, m->prefix, pl) != 0) m->named = false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  // Includes would read whatever files the input names (a FIFO or a device
  // would block the run); the unit tests cover them.
  if (text.find("include") != std::string::npos) return 0;
  for (int as_file = 0; as_file < 2; ++as_file) {
    ln_ctx ctx = ln_initCtx();
    if (!ctx) return 0;
    messages m;
    m.prefix = as_file ? "rulebase file fuzz.rb[" : "rulebase file --NO-FILE--[";
    ln_setErrMsgCB(ctx, collect, &m);
    ln_setCtxOpts(ctx, LN_CTXOPT_TURBO);
    const int rc = as_file ? ln_loadSamplesFromText(ctx, text.c_str(), "fuzz.rb")
                           : ln_loadSamplesFromString(ctx, text.c_str());
    if (rc != 0 && m.count == 0) abort(); // a load failed without a word
    if (!m.named) abort();                // a message without file and line
    ln_exitCtx(ctx);
  }
  return 0;
}
