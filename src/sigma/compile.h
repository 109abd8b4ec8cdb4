// The Sigma rule compiler and lint: Sigma detection rules written in YAML
// (taxonomy "ecs") become a compiled rule database image (sigma_format.h), a
// correlation description for the correlation engine and a sidecar summary.
//
// Every limit below is enforced with an error that names the document, the
// line and the key; nothing is truncated or dropped in silence.
#pragma once

#include <cstddef>
#include <cstdint>

// Limits of one compilation (also stated in the usage text).
enum {
  SG_MAX_DOCS = 8192,          // documents per input (rules and correlations)
  SG_MAX_RULES = 8192,         // rules per database
  SG_MAX_SELS_PER_DOC = 32,    // selections per rule
  SG_MAX_PAIRS_PER_SEL = 32,   // field values per selection (list items count)
  SG_MAX_FIELDS_PER_SEL = 32,  // distinct fields per selection
  SG_MAX_CORR_ITEMS = 8,       // correlation "rules" and "group-by" items
  SG_MAX_KEY = 63,             // characters of a selection key with its modifiers
  SG_MAX_VALUE = 255,          // characters of a value
  SG_MAX_CONDITION = 255,      // characters of a condition (of each item of a list)
  SG_MAX_REGEX = 639,          // characters of a regular expression with its options
  SG_MAX_PREDS = 262144,       // predicates per database
  SG_MAX_SELS = 65536,         // selections per database
  SG_MAX_COND_TOKENS = 262144, // condition tokens per database
  SG_MAX_FIELD_NAMES = 65535,  // distinct field names per database
  SG_MAX_CIDRS = 65536,        // distinct network prefixes per database
  SG_MAX_POOL = 16777216,      // bytes of the string pool
};

// Compiles the YAML text. 0 on success, -1 on failure. Every out parameter
// may be null and is cleared first. On success *sigmac/*n receive the image,
// *corr_json the correlation JSON text (null when the input has no
// correlation document) and *sidecar_json the sidecar summary. On failure
// *err receives the message. Every returned buffer is freed with free().
int sg_compile(const char *yaml, uint8_t **sigmac, size_t *n, char **corr_json,
               char **sidecar_json, char **err);
// The same over len bytes (which may hold NUL bytes: they are refused).
int sg_compile_n(const char *yaml, size_t len, uint8_t **sigmac, size_t *n, char **corr_json,
                 char **sidecar_json, char **err);

// Lints the YAML text: {"ok":true,"marks":[{"kind":..,"token":..,"msg":..},..]}.
// source_id ("techno-product") and fields_csv may be null. On memory
// exhaustion the text {"ok":false,"error":"oom"}, or null if even that fails.
// Free the result with sg_str_free.
char *sg_lint_json(const char *yaml, const char *source_id, const char *fields_csv);

// Frees a text handed out by an sg_ function.
void sg_str_free(char *s);
