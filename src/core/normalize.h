// The production path: one rulebase loaded into a normalizer context per
// thread, every log line turned into one JSON object by the engine chosen.
#pragma once

#include <cstddef>

#include "core/veldra.h"

typedef enum {
  VDR_NORM_AUTO = 0,    // VaderAD where it serves the line, the walker otherwise
  VDR_NORM_VADERAD = 1, // VaderAD only; lines it declines are reported unparsed
  VDR_NORM_LEGACY = 2   // the walker only
} vdr_norm_engine;

// Loads rulebase text read from the file `name` into a new context set up for
// the engine (VaderAD compiled unless legacy), as ln_loadSamplesFromText loads
// it: relative includes resolve against the working directory. The loader's
// messages are appended to diag, one per line. Null when the load failed.
ln_ctx vdr_norm_ctx_new(const char *text, const char *name, vdr_norm_engine engine, vdr_sb *diag);

// Appends the JSON object for one line (no line feed) to out: VaderAD's JSON
// when the engine allows it and VaderAD serves the line, else the walker's
// result, matched or unparsed; for VDR_NORM_VADERAD a declined line gives the
// unparsed result of the whole line. With keep_line the object is wrapped as
// {"fields":OBJECT,"line":"LINE"}. Output is valid UTF-8 (bytes that are not
// are written as \u00XX). 0, or -1 when out of memory.
int vdr_norm_line(ln_ctx ctx, vdr_norm_engine engine, const char *line, size_t len, int keep_line,
                  vdr_sb *out);

// Appends the unparsed result of the line as a whole ("originalmsg",
// "unparsed-data" and, for control bytes, "unparsed-data-binary"), wrapped
// as vdr_norm_line does with keep_line. 0, or -1 when out of memory.
int vdr_norm_unparsed(ln_ctx ctx, const char *line, size_t len, int keep_line, vdr_sb *out);
