// Rewrite tables: per-tag renaming of structured-payload keys, bound after
// loading to the terminal nodes of eligible rules as FNV-1a hash tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "normalizer/context.h"
#include "normalizer/pdag.h"

struct ln_rw_op {
  struct ln_rw_op *next;
  es_str_t *src;  // dotted source path
  es_str_t *dst;  // destination member name
  int lower;      // lower-case string values
};

struct ln_rw_rule {
  struct ln_rw_rule *next;
  es_str_t *tag;
  struct ln_rw_op *head, *tail;
  int bound;
  char *file;     // rulebase file of the first rewrite line of this tag, owned
  uint32_t line;  // and its line, for binding errors
};

struct ln_rw_ent {
  const char *src; // in the table's blob
  uint16_t slen;
  const char *dst; // in the table's blob
  uint16_t dlen;
  uint8_t lower;
};

struct ln_rw_tab {
  struct ln_rw_ent *ents;
  uint32_t n;
  uint32_t mask;
  uint32_t *slot; // entry index + 1, 0 = empty
  char *blob;
  size_t blob_len, blob_cap;
};
typedef struct ln_rw_tab ln_rw_tab;

struct ln_rewriteSet_s {
  ln_ctx ctx;
  struct ln_rw_rule *rules;
  ln_rw_tab **tabs;
  uint32_t n_tabs;
  uint32_t cap_tabs;
};

ln_rewriteSet *ln_newRewriteSet(ln_ctx ctx);
void ln_deleteRewriteSet(ln_rewriteSet *set);
int ln_rewrite_add_line(ln_ctx ctx, const char *rec, size_t len, size_t value_off);
int ln_rewrite_bind(ln_ctx ctx);
ln_rw_tab **ln_rewrite_tabs(ln_ctx ctx, uint32_t *count);
const ln_rw_tab *ln_rewrite_tab(ln_ctx ctx, uint32_t id);
const ln_rw_tab *ln_rewrite_tab_for_parser(ln_ctx ctx, const ln_parser_t *prs);
uint32_t ln_rewrite_id_for_parser(const ln_parser_t *prs);
const struct ln_rw_ent *ln_rw_lookup(const ln_rw_tab *tab, const char *key, size_t keyLen);
int ln_rewrite_merge(struct fjson_object *dst, struct fjson_object *src, const ln_rw_tab *tab,
                     int fail_dup);
