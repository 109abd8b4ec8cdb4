// Rule table of a normalizer context: every rule the loader added to the main
// parse DAG, in load order (an include's rules at the place of the include),
// with the file and line it came from and its tags. Terminal nodes of the
// main DAG carry the 1-based index of the rule that ends there (the last one
// loaded when two rules have the same text), so the walker and VaderAD can
// both name the rule a message went through by that one index.
#pragma once

#include <cstddef>
#include <cstdint>

#include "normalizer/context.h"

struct ln_rule_info {
  const char *file;     // file as the loader named it (messages, rule location)
  const char *path;     // absolute path of that file, or null when unknown
  uint32_t line;        // line of the rule in that file
  struct fjson_object *tags; // tag array shared with the DAG, or null
};

// Number of rules loaded into ctx (0 for a null context).
uint32_t ln_ruleCount(ln_ctx ctx);
// Rule `idx` (1-based), or null when out of range.
const ln_rule_info *ln_ruleGet(ln_ctx ctx, uint32_t idx);

// Loader side. Registers a rule read at the current load position (the
// context's file, and the record's first line) and returns its index, 0 when
// out of memory.
uint32_t ln_ruleAdd(ln_ctx ctx, struct fjson_object *tags);
// The absolute path of the file being loaded, for the rules read from it
// until the matching pop; null or "" when it is not known.
int ln_rulePushPath(ln_ctx ctx, const char *abs_path);
void ln_rulePopPath(ln_ctx ctx);
// The line on which the record being processed begins (0: not known, the
// context's current line is used); a record may span lines or end the file
// without a line feed.
void ln_ruleSetRecordLine(ln_ctx ctx, uint32_t line);
void ln_ruleTableFree(ln_ctx ctx);
