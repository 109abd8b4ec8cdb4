// The recursive walker ("legacy" engine): depth-first search of the parse DAG
// for a path that consumes the whole message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "normalizer/context.h"
#include "normalizer/pdag.h"

// Per-message walker state handed to every field parser.
struct npb {
  ln_ctx ctx;
  const char *str;         // message bytes (no terminator relied on)
  size_t strLen;
  size_t parsedTo;         // end of the successful path while unwinding
  size_t longestParsedTo;  // furthest offset any parser match reached
  es_str_t *rule;          // rule mock-up (option 0x08), built backwards
  es_str_t *exec_path;     // reserved, always null
  ln_parser_t *prs;        // edge whose parser is running now
};
typedef struct npb npb_t;

int ln_normalize(ln_ctx ctx, const char *str, size_t strLen, struct fjson_object **json_p);
// ln_normalize that also tells which rule the message matched: *rule gets
// the rule's 1-based index in the rule table (rules.h), 0 when none matched.
int ln_normalize_with_rule(ln_ctx ctx, const char *str, size_t strLen,
                           struct fjson_object **json_p, uint32_t *rule);
int ln_normalize_to_str(ln_ctx ctx, const char *str, size_t strLen, char **json_str,
                        size_t *json_len);
int ln_normalizeRec(npb_t *npb, struct ln_pdag *dag, size_t offs, int bPartialMatch,
                    struct fjson_object *json, struct ln_pdag **endNode, int failOnDuplicate,
                    struct fjson_object *cur_json_object, const char *parser_name);
