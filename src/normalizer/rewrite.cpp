// Rewrite tables: rewrite=TAG:SRC=DST[|lower] lines collected per tag, bound
// after loading to the terminal nodes of rules that end in a structured
// payload (root-level json, cef, name-value-list) as open-addressing hash tables.
#include "normalizer/rewrite.h"
#include "normalizer/words.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "normalizer/json_text.h"
#include "normalizer/parser.h"

namespace {

constexpr int kMaxName = 511;
constexpr size_t kMaxDepth = 8192;
constexpr uint32_t kMaxTabs = 65535;

bool rw_ws(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool rw_name_char(char c) {
  return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '@' || c == '_';
}

// The slot hash of a key: its bytes a word at a time (the last, shorter
// word zero-padded) mixed in by multiplies; keys are short, so this costs a
// few instructions where a byte-at-a-time hash would loop.
uint32_t key_hash(const char *p, size_t n) {
  uint64_t h = n * 0x9e3779b97f4a7c15ull;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) h = (h ^ ln_load8(p + i)) * 0xff51afd7ed558ccdull;
  if (i < n) h = (h ^ ln_head_word(p + i, n - i)) * 0xc4ceb9fe1a85ec53ull;
  return static_cast<uint32_t>(h >> 32);
}

bool es_eq(es_str_t *s, const char *p, size_t n) {
  return s != nullptr && es_strlen(s) == n && (n == 0 || memcmp(es_getBufAddr(s), p, n) == 0);
}

std::string es_std(es_str_t *s) {
  return std::string(reinterpret_cast<const char *>(es_getBufAddr(s)), es_strlen(s));
}

void free_tab(ln_rw_tab *t) {
  if (t == nullptr) return;
  free(t->ents);
  free(t->slot);
  free(t->blob);
  free(t);
}

void free_tabs(ln_rewriteSet *set) {
  for (uint32_t i = 0; i < set->n_tabs; ++i) free_tab(set->tabs[i]);
  set->n_tabs = 0;
}

void free_rule(ln_rw_rule *r) {
  ln_rw_op *op = r->head;
  while (op != nullptr) {
    ln_rw_op *next = op->next;
    if (op->src) es_deleteStr(op->src);
    if (op->dst) es_deleteStr(op->dst);
    free(op);
    op = next;
  }
  if (r->tag) es_deleteStr(r->tag);
  free(r->file);
  free(r);
}

// Binding runs after the rulebase was read, when no location is current:
// this puts the location of the rule or rewrite line concerned in place for
// the messages raised meanwhile, and restores the context afterwards.
struct at_location {
  ln_ctx ctx;
  char *file;
  uint32_t line;
  at_location(ln_ctx c, char *f, uint32_t l) : ctx(c), file(c->conf_file), line(c->conf_ln_nbr) {
    if (f != nullptr) {
      c->conf_file = f;
      c->conf_ln_nbr = l;
    }
  }
  ~at_location() {
    ctx->conf_file = file;
    ctx->conf_ln_nbr = line;
  }
};

// The terminal reached from n through single-edge nodes, or null.
struct ln_pdag *chain_terminal(struct ln_pdag *n) {
  for (size_t steps = 0; n != nullptr; ++steps) {
    if (n->flags.isTerminal) return n;
    if (n->nparsers != 1 || steps >= kMaxDepth) return nullptr;
    n = n->parsers[0].node;
  }
  return nullptr;
}

bool tag_has_rule(ln_rewriteSet *set, fjson_object *t) {
  if (t == nullptr || !fjson_object_is_type(t, fjson_type_string)) return false;
  const char *s = fjson_object_get_string(t);
  const size_t n = static_cast<size_t>(fjson_object_get_string_len(t));
  for (ln_rw_rule *r = set->rules; r != nullptr; r = r->next)
    if (es_eq(r->tag, s, n)) return true;
  return false;
}

bool has_rewrite_tag(ln_rewriteSet *set, fjson_object *tags) {
  if (tags == nullptr || !fjson_object_is_type(tags, fjson_type_array)) return false;
  const int n = fjson_object_array_length(tags);
  for (int i = 0; i < n; ++i)
    if (tag_has_rule(set, fjson_object_array_get_idx(tags, i))) return true;
  return false;
}

struct PendingEnt {
  size_t soff, slen, doff, dlen;
  uint8_t lower;
};

// Builds the table of one terminal; 0 (table added or none needed) or -1.
int build_table(ln_ctx ctx, ln_rewriteSet *set, struct ln_pdag *term) {
  std::vector<PendingEnt> ents;
  std::string blob;
  const int nt = fjson_object_array_length(term->tags);
  for (int i = 0; i < nt; ++i) {
    fjson_object *t = fjson_object_array_get_idx(term->tags, i);
    if (t == nullptr || !fjson_object_is_type(t, fjson_type_string)) continue;
    const char *ts = fjson_object_get_string(t);
    const size_t tl = static_cast<size_t>(fjson_object_get_string_len(t));
    if (tl == 0) continue;
    for (ln_rw_rule *r = set->rules; r != nullptr; r = r->next) {
      if (!es_eq(r->tag, ts, tl)) continue;
      r->bound = 1;
      for (ln_rw_op *op = r->head; op != nullptr; op = op->next) {
        const std::string src = es_std(op->src), dst = es_std(op->dst);
        bool skip = false;
        for (const PendingEnt &e : ents) {
          if (e.slen == src.size() && blob.compare(e.soff, e.slen, src) == 0) {
            if (e.dlen == dst.size() && blob.compare(e.doff, e.dlen, dst) == 0 &&
                e.lower == static_cast<uint8_t>(op->lower != 0)) {
              skip = true;
              break;
            }
            at_location here(ctx, term->rb_file, term->rb_lineno);
            ln_errprintf(ctx, 0, "rewrite: '%s' mapped to two destinations by the tags of one rule",
                         src.c_str());
            return -1;
          }
        }
        if (skip) continue;
        PendingEnt e{};
        e.soff = blob.size();
        e.slen = src.size();
        blob.append(src);
        blob.push_back('\0');
        e.doff = blob.size();
        e.dlen = dst.size();
        blob.append(dst);
        blob.push_back('\0');
        e.lower = static_cast<uint8_t>(op->lower != 0);
        ents.push_back(e);
      }
    }
  }
  if (ents.empty()) return 0;
  if (set->n_tabs >= kMaxTabs) {
    at_location here(ctx, term->rb_file, term->rb_lineno);
    ln_errprintf(ctx, 0, "rewrite: too many rewrite tables (at most %u)", kMaxTabs);
    return -1;
  }
  if (set->n_tabs == set->cap_tabs) {
    const uint32_t cap = set->cap_tabs ? set->cap_tabs * 2 : 4;
    auto *arr = static_cast<ln_rw_tab **>(realloc(set->tabs, sizeof(ln_rw_tab *) * cap));
    if (arr == nullptr) return -1;
    set->tabs = arr;
    set->cap_tabs = cap;
  }
  auto *tab = static_cast<ln_rw_tab *>(calloc(1, sizeof(ln_rw_tab)));
  if (tab == nullptr) return -1;
  size_t cap = 256;
  while (cap < blob.size()) cap *= 2;
  uint32_t slots = 4;
  while (slots < 2 * ents.size()) slots *= 2;
  tab->blob = static_cast<char *>(malloc(cap));
  tab->ents = static_cast<ln_rw_ent *>(calloc(ents.size(), sizeof(ln_rw_ent)));
  tab->slot = static_cast<uint32_t *>(calloc(slots, sizeof(uint32_t)));
  if (tab->blob == nullptr || tab->ents == nullptr || tab->slot == nullptr) {
    free_tab(tab);
    return -1;
  }
  memcpy(tab->blob, blob.data(), blob.size());
  tab->blob_len = blob.size();
  tab->blob_cap = cap;
  tab->n = static_cast<uint32_t>(ents.size());
  tab->mask = slots - 1;
  for (uint32_t k = 0; k < tab->n; ++k) {
    ln_rw_ent &e = tab->ents[k];
    e.src = tab->blob + ents[k].soff;
    e.slen = static_cast<uint16_t>(ents[k].slen);
    e.dst = tab->blob + ents[k].doff;
    e.dlen = static_cast<uint16_t>(ents[k].dlen);
    e.lower = ents[k].lower;
    uint32_t s = key_hash(e.src, e.slen) & tab->mask;
    while (tab->slot[s] != 0) s = (s + 1) & tab->mask;
    tab->slot[s] = k + 1;
  }
  set->tabs[set->n_tabs++] = tab;
  term->rewrite_id = set->n_tabs;
  return 0;
}

void reset_ids(struct ln_pdag *root) {
  ln_pdagForEachNode(root, [](struct ln_pdag *n) { n->rewrite_id = 0; });
}

bool eligible(const ln_parser_t *prs) {
  return (prs->prsid == PRS_JSON && prs->name != nullptr && strcmp(prs->name, ".") == 0) ||
         prs->prsid == PRS_CEF || prs->prsid == PRS_NAME_VALUE_LIST;
}

int bind_walk(ln_ctx ctx, ln_rewriteSet *set, struct ln_pdag *root) {
  if (root == nullptr) return 0;
  struct Frame {
    struct ln_pdag *node;
    int next;
    size_t depth;
  };
  std::unordered_set<struct ln_pdag *> seen{root};
  std::vector<Frame> stack{{root, 0, 1}};
  while (!stack.empty()) {
    Frame &f = stack.back();
    if (f.next >= f.node->nparsers) {
      stack.pop_back();
      continue;
    }
    const ln_parser_t *prs = &f.node->parsers[f.next++];
    const size_t depth = f.depth;
    if (eligible(prs)) {
      struct ln_pdag *term = chain_terminal(prs->node);
      if (term != nullptr && has_rewrite_tag(set, term->tags)) {
        if (term->nparsers > 0) {
          at_location here(ctx, term->rb_file, term->rb_lineno);
          ln_errprintf(ctx, 0, "rewrite: open-key rule is a prefix of a longer rule");
          return -1;
        }
        if (term->rewrite_id == 0 && build_table(ctx, set, term) != 0) return -1;
      }
    }
    struct ln_pdag *c = prs->node;
    if (c != nullptr && depth < kMaxDepth && seen.insert(c).second)
      stack.push_back({c, 0, depth + 1}); // f is invalid from here on
  }
  return 0;
}

} // namespace

ln_rewriteSet *ln_newRewriteSet(ln_ctx ctx) {
  auto *set = static_cast<ln_rewriteSet *>(calloc(1, sizeof(ln_rewriteSet)));
  if (set) set->ctx = ctx;
  return set;
}

void ln_deleteRewriteSet(ln_rewriteSet *set) {
  if (set == nullptr) return;
  ln_rw_rule *r = set->rules;
  while (r != nullptr) {
    ln_rw_rule *next = r->next;
    free_rule(r);
    r = next;
  }
  free_tabs(set);
  free(set->tabs);
  free(set);
}

int ln_rewrite_add_line(ln_ctx ctx, const char *rec, size_t len, size_t value_off) {
  if (ctx == nullptr || ctx->rewrites == nullptr || rec == nullptr || value_off > len) return -1;
  const char *v = rec + value_off;
  const size_t n = len - value_off;
  size_t i = 0;
  auto skip_ws = [&] {
    while (i < n && rw_ws(v[i])) ++i;
  };
  skip_ws();
  const size_t tagStart = i;
  while (i < n && v[i] != ',' && v[i] != ':' && !rw_ws(v[i])) ++i;
  if (i == tagStart || i >= n || v[i] != ':') {
    ln_errprintf(ctx, 0, "rewrite: expected <tag>:<src>=<dst>");
    return -1;
  }
  const size_t tagLen = i - tagStart;
  ++i;
  skip_ws();
  const size_t srcStart = i;
  while (i < n && rw_name_char(v[i])) ++i;
  const size_t srcLen = i - srcStart;
  skip_ws();
  if (srcLen == 0 || srcLen > kMaxName || i >= n || v[i] != '=') {
    ln_errprintf(ctx, 0, "rewrite: expected <src>=<dst> after tag");
    return -1;
  }
  ++i;
  skip_ws();
  const size_t dstStart = i;
  while (i < n && rw_name_char(v[i])) ++i;
  const size_t dstLen = i - dstStart;
  if (dstLen == 0 || dstLen > kMaxName) {
    ln_errprintf(ctx, 0, "rewrite: empty destination name");
    return -1;
  }
  skip_ws();
  int lower = 0;
  if (i < n && v[i] == '|') {
    ++i;
    const size_t modStart = i;
    while (i < n && isalpha(static_cast<unsigned char>(v[i]))) ++i;
    if (i - modStart != 5 || strncasecmp(v + modStart, "lower", 5) != 0) {
      ln_errprintf(ctx, 0, "rewrite: unknown modifier (only |lower)");
      return -1;
    }
    lower = 1;
    skip_ws();
  }
  if (i < n && v[i] != '#') {
    ln_errprintf(ctx, 0, "rewrite: trailing junk");
    return -1;
  }

  ln_rewriteSet *set = ctx->rewrites;
  ln_rw_rule *rule = nullptr;
  for (ln_rw_rule *r = set->rules; r != nullptr; r = r->next)
    if (es_eq(r->tag, v + tagStart, tagLen)) {
      rule = r;
      break;
    }
  if (rule != nullptr) {
    for (ln_rw_op *op = rule->head; op != nullptr; op = op->next) {
      if (!es_eq(op->src, v + srcStart, srcLen)) continue;
      if (es_eq(op->dst, v + dstStart, dstLen) && (op->lower != 0) == (lower != 0)) return 0;
      ln_errprintf(ctx, 0, "rewrite: '%.*s' mapped twice for one tag", static_cast<int>(srcLen),
                   v + srcStart);
      return -1;
    }
  }
  auto *op = static_cast<ln_rw_op *>(calloc(1, sizeof(ln_rw_op)));
  if (op == nullptr) return -1;
  op->src = es_newStrFromCStr(v + srcStart, static_cast<es_size_t>(srcLen));
  op->dst = es_newStrFromCStr(v + dstStart, static_cast<es_size_t>(dstLen));
  op->lower = lower;
  if (op->src == nullptr || op->dst == nullptr) {
    if (op->src) es_deleteStr(op->src);
    if (op->dst) es_deleteStr(op->dst);
    free(op);
    return -1;
  }
  if (rule == nullptr) {
    rule = static_cast<ln_rw_rule *>(calloc(1, sizeof(ln_rw_rule)));
    es_str_t *tag = rule ? es_newStrFromCStr(v + tagStart, static_cast<es_size_t>(tagLen)) : nullptr;
    if (tag == nullptr) {
      free(rule);
      es_deleteStr(op->src);
      es_deleteStr(op->dst);
      free(op);
      return -1;
    }
    rule->tag = tag;
    if (ctx->conf_file != nullptr) rule->file = strdup(ctx->conf_file);
    rule->line = ctx->conf_ln_nbr;
    rule->next = set->rules;
    set->rules = rule;
  }
  if (rule->tail)
    rule->tail->next = op;
  else
    rule->head = op;
  rule->tail = op;
  return 0;
}

int ln_rewrite_bind(ln_ctx ctx) {
  if (ctx == nullptr || ctx->rewrites == nullptr || ctx->rewrites->rules == nullptr) return 0;
  ln_rewriteSet *set = ctx->rewrites;
  try {
    for (ln_rw_rule *r = set->rules; r != nullptr; r = r->next) r->bound = 0;
    free_tabs(set);
    reset_ids(ctx->pdag);
    for (int i = 0; i < ctx->nTypes; ++i) reset_ids(ctx->type_pdags[i].pdag);
    if (bind_walk(ctx, set, ctx->pdag) != 0) return -1;
  } catch (const std::bad_alloc &) {
    return -1;
  }
  for (ln_rw_rule *r = set->rules; r != nullptr; r = r->next)
    if (!r->bound) {
      at_location here(ctx, r->file, r->line);
      ln_errprintf(ctx, 0,
                   "rewrite tag '%s' is not on one %%.:json%%, %%:cef%% or %%:name-value-list%% rule",
                   es_std(r->tag).c_str());
      return -1;
    }
  return 0;
}

ln_rw_tab **ln_rewrite_tabs(ln_ctx ctx, uint32_t *count) {
  if (ctx == nullptr || ctx->rewrites == nullptr || ctx->rewrites->n_tabs == 0) {
    if (count) *count = 0;
    return nullptr;
  }
  if (count) *count = ctx->rewrites->n_tabs;
  return ctx->rewrites->tabs;
}

const ln_rw_tab *ln_rewrite_tab(ln_ctx ctx, uint32_t id) {
  if (ctx == nullptr || ctx->rewrites == nullptr || id == 0 || id > ctx->rewrites->n_tabs)
    return nullptr;
  return ctx->rewrites->tabs[id - 1];
}

uint32_t ln_rewrite_id_for_parser(const ln_parser_t *prs) {
  if (prs == nullptr) return 0;
  struct ln_pdag *term = chain_terminal(prs->node);
  if (term == nullptr || term->nparsers != 0) return 0;
  return term->rewrite_id;
}

const ln_rw_tab *ln_rewrite_tab_for_parser(ln_ctx ctx, const ln_parser_t *prs) {
  return ln_rewrite_tab(ctx, ln_rewrite_id_for_parser(prs));
}

const struct ln_rw_ent *ln_rw_lookup(const ln_rw_tab *tab, const char *key, size_t keyLen) {
  if (tab == nullptr || tab->slot == nullptr || (key == nullptr && keyLen != 0)) return nullptr;
  uint32_t s = key_hash(key, keyLen) & tab->mask;
  for (uint32_t probes = 0; probes <= tab->mask; ++probes) {
    const uint32_t idx = tab->slot[s];
    if (idx == 0) return nullptr;
    const ln_rw_ent *e = &tab->ents[idx - 1];
    if (e->slen == keyLen && ln_same_bytes(e->src, key, keyLen)) return e;
    s = (s + 1) & tab->mask;
  }
  return nullptr;
}

namespace {

fjson_object *lower_copy(fjson_object *v) {
  const char *s = fjson_object_get_string(v);
  const int n = fjson_object_get_string_len(v);
  std::string out(s ? s : "", s ? static_cast<size_t>(n) : 0);
  for (char &c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ln_json_string(out.data(), out.size());
}

int stage(fjson_object *dst, fjson_object *staging, fjson_object *obj, const std::string &prefix,
          const ln_rw_tab *tab, int fail_dup) {
  struct fjson_object_iterator it = fjson_object_iter_begin(obj);
  struct fjson_object_iterator end = fjson_object_iter_end(obj);
  while (!fjson_object_iter_equal(&it, &end)) {
    const char *key = fjson_object_iter_peek_name(&it);
    fjson_object *val = fjson_object_iter_peek_value(&it);
    fjson_object_iter_next(&it);
    std::string path = prefix.empty() ? std::string(key ? key : "") : prefix + "." + (key ? key : "");
    if (path.size() > static_cast<size_t>(kMaxName)) return -1;
    if (val != nullptr && fjson_object_is_type(val, fjson_type_object) &&
        fjson_object_object_length(val) > 0) {
      if (stage(dst, staging, val, path, tab, fail_dup) != 0) return -1;
      continue;
    }
    const ln_rw_ent *e = ln_rw_lookup(tab, path.data(), path.size());
    if (e == nullptr) continue;
    const std::string dname(e->dst, e->dlen);
    if (fail_dup && (fjson_object_object_get_ex(staging, dname.c_str(), nullptr) ||
                     fjson_object_object_get_ex(dst, dname.c_str(), nullptr)))
      return -1;
    fjson_object *nv;
    if (e->lower && val != nullptr && fjson_object_is_type(val, fjson_type_string)) {
      nv = lower_copy(val);
      if (nv == nullptr) return -1;
    } else {
      nv = fjson_object_get(val);
    }
    fjson_object_object_add(staging, dname.c_str(), nv);
  }
  return 0;
}

} // namespace

int ln_rewrite_merge(struct fjson_object *dst, struct fjson_object *src, const ln_rw_tab *tab,
                     int fail_dup) {
  if (dst == nullptr || src == nullptr || tab == nullptr) return -1;
  if (!fjson_object_is_type(src, fjson_type_object)) return -1;
  fjson_object *staging = fjson_object_new_object();
  if (staging == nullptr) return -1;
  int r;
  try {
    r = stage(dst, staging, src, std::string(), tab, fail_dup);
  } catch (const std::bad_alloc &) {
    r = -1;
  }
  if (r == 0) {
    struct fjson_object_iterator it = fjson_object_iter_begin(staging);
    struct fjson_object_iterator end = fjson_object_iter_end(staging);
    while (!fjson_object_iter_equal(&it, &end)) {
      fjson_object_object_add(dst, fjson_object_iter_peek_name(&it),
                              fjson_object_get(fjson_object_iter_peek_value(&it)));
      fjson_object_iter_next(&it);
    }
  }
  fjson_object_put(staging);
  return r;
}
