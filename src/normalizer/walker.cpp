// The recursive walker: depth-first search of the parse DAG for a path from
// the root to a terminal node that consumes the whole message, running each
// edge's field parser at the current offset and backtracking on failure.
#include "normalizer/walker.h"
#include "normalizer/json_text.h"

#include <pthread.h>

#include <algorithm>
#include <vector>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>

#include "normalizer/annot.h"
#include "normalizer/parser.h"
#include "normalizer/rewrite.h"
#include "vaderad/turbo.h"

namespace {

// Bounds that keep one message from exhausting the stack or the CPU. A walk
// that hits one of them ends that branch as a mismatch.
//  - kMaxDepth: nested ln_normalizeRec calls (edges on one path, counting the
//    edges inside user-defined types and repeat bodies).
//  - kStackReserve: stack bytes that must stay free below the current frame;
//    protects callers running on small thread stacks.
//  - kMaxNodeCalls: node visits for one message; a last resort, since the
//    failure memo below already keeps ambiguous alternatives linear.
constexpr unsigned kMaxDepth = 20000;
constexpr size_t kStackReserve = 256 * 1024;
constexpr uint64_t kMaxNodeCalls = 10'000'000;

// Failure memo: once a message has cost more than kMemoAfter node visits,
// every (node, offset, partial) that failed is remembered and not walked
// again. Without failOnDuplicate a subtree's outcome depends on nothing else
// (it stores values only on success), so the memo changes no result; it turns
// the exponential re-walks of shared successor nodes into linear work.
// Failures caused by a depth or budget bound are not remembered.
constexpr uint64_t kMemoAfter = 4096;

struct MemoKey {
  const void *node;
  size_t offs;
  int partial;
  bool operator==(const MemoKey &o) const {
    return node == o.node && offs == o.offs && partial == o.partial;
  }
};
struct MemoHash {
  size_t operator()(const MemoKey &k) const {
    size_t h = std::hash<const void *>()(k.node);
    h ^= k.offs * 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    return h ^ static_cast<size_t>(k.partial);
  }
};

struct WalkGuard {
  unsigned depth = 0;
  uint64_t calls = 0;
  uint64_t trips = 0;       // bound hits in this message
  const char *memo_str = nullptr; // message the memo belongs to
  std::unordered_set<MemoKey, MemoHash> memo;
  // User-defined types being walked on the current path, with their start
  // offsets. Entering one again at the same offset is left recursion: the
  // inner walk would repeat the outer one without consuming anything.
  std::vector<std::pair<int, size_t>> active_types;
  uintptr_t stack_low = 0; // lowest stack address a walk may reach
  bool stack_known = false;
};
thread_local WalkGuard g_guard;

uintptr_t stack_low_bound() {
  if (!g_guard.stack_known) {
    g_guard.stack_known = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void *addr = nullptr;
      size_t size = 0;
      if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr) {
        // Keep kStackReserve free, or a quarter of a small thread stack.
        size_t reserve = std::min(kStackReserve, size / 4);
        g_guard.stack_low = reinterpret_cast<uintptr_t>(addr) + reserve;
      }
      pthread_attr_destroy(&attr);
    }
  }
  return g_guard.stack_low;
}

bool stack_exhausted() {
  uintptr_t low = stack_low_bound();
  if (!low) return false;
  auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  return here < low;
}

struct DepthScope {
  DepthScope() { ++g_guard.depth; }
  ~DepthScope() { --g_guard.depth; }
};

// Appends text to the mock-up in reverse byte order.
void rule_append_rev(es_str_t **rule, const char *s, size_t len) {
  char buf[256];
  while (len > 0) {
    size_t n = std::min(len, sizeof buf);
    for (size_t k = 0; k < n; ++k) buf[k] = s[len - 1 - k];
    es_addBuf(rule, buf, static_cast<es_size_t>(n));
    len -= n;
  }
}

// The helpers below stay out of line so that the recursive path
// (ln_normalizeRec -> run_edge -> ln_normalizeRec) keeps small frames.
__attribute__((noinline)) void rule_add_edge(npb_t *npb, const ln_parser_t *prs) {
  if (!npb->rule) return;
  if (prs->prsid == PRS_LITERAL) {
    const char *t = ln_DataForDisplayLiteral(npb->ctx, prs->parser_data);
    rule_append_rev(&npb->rule, t, strlen(t));
    return;
  }
  const char *type =
      prs->prsid == PRSID_USER_DEFINED
          ? "USER-DEFINED"
          : (prs->prsid < LN_NPARSER_TYPES ? parser_lookup_table[prs->prsid].name : "INVALID");
  std::string tok = "%";
  tok += prs->name ? prs->name : "-";
  tok += ':';
  tok += type;
  tok += '%';
  rule_append_rev(&npb->rule, tok.data(), tok.size());
}

// Length of the mock-up before an edge runs; a failed branch (including
// what a user-defined type or repeat walk appended inside it) is cut off
// again so that only the matching path remains.
size_t rule_mark(const npb_t *npb) { return npb->rule ? npb->rule->lenStr : 0; }
void rule_cut(npb_t *npb, size_t mark) {
  if (npb->rule && npb->rule->lenStr > mark) npb->rule->lenStr = static_cast<es_size_t>(mark);
}

// Runs one edge at *offs. For a user-defined type the type's DAG is walked
// with partial matching; for a table type the parser runs with npb->prs set.
__attribute__((noinline)) int run_edge(npb_t *npb, ln_parser_t *prs, size_t *offs, size_t *parsed, fjson_object **value,
             fjson_object *json, int failOnDuplicate) {
  *parsed = 0;
  *value = nullptr;
  ln_ctx ctx = npb->ctx;
  if (prs->prsid == PRSID_USER_DEFINED) {
    if (prs->custType < 0 || prs->custType >= ctx->nTypes) {
      ln_dbgprintf(ctx, "tryParser: Invalid custom type index: %d (%d types)", prs->custType,
                   ctx->nTypes);
      return LN_RC_NO_MATCH;
    }
    auto &active = g_guard.active_types;
    for (const auto &a : active)
      if (a.first == prs->custType && a.second == *offs) {
        ++g_guard.trips; // depends on the path: not a failure to remember
        return LN_RC_NO_MATCH;
      }
    try {
      active.emplace_back(prs->custType, *offs);
    } catch (const std::bad_alloc &) {
      return LN_RC_NO_MEMORY;
    }
    *value = fjson_object_new_object();
    if (!*value) {
      active.pop_back();
      return LN_RC_NO_MEMORY;
    }
    struct ln_pdag *endNode = nullptr;
    // The consumed length is read from parsedTo, so it starts at the type's
    // own start offset (an empty match then consumes nothing).
    npb->parsedTo = *offs;
    int r = ln_normalizeRec(npb, ctx->type_pdags[prs->custType].pdag, *offs, 1, *value, &endNode,
                            failOnDuplicate, json, prs->name);
    active.pop_back();
    if (r == 0 && npb->parsedTo >= *offs) {
      *parsed = npb->parsedTo - *offs;
    } else {
      fjson_object_put(*value);
      *value = nullptr;
      if (r == 0) r = LN_RC_NO_MATCH;
    }
    return r;
  }
  if (prs->prsid >= LN_NPARSER_TYPES) return LN_RC_NO_MATCH;
  ln_parser_t *saved = npb->prs;
  npb->prs = prs;
  int r = parser_lookup_table[prs->prsid].parser(npb, offs, prs->parser_data, prs->name, parsed,
                                                 prs->name ? value : nullptr);
  npb->prs = saved;
  if (r != 0 && *value) {
    fjson_object_put(*value);
    *value = nullptr;
  }
  return r;
}

// Stores the value of a matched edge in json. Takes over the value in every
// case. A null value (a "json" field with skipempty whose payload was empty
// as a whole) is stored as JSON null. Returns 0, or LN_RC_NO_MATCH for a
// conflict (failOnDuplicate).
__attribute__((noinline)) int store_value(npb_t *npb, ln_parser_t *prs, fjson_object *value, fjson_object *json,
                int failOnDuplicate) {
  if (!json || !prs->name) {
    if (value) fjson_object_put(value);
    return 0;
  }
  const char *name = prs->name;
  if (name[0] == '.' && name[1] == '\0') {
    if (prs->prsid == PRS_JSON) {
      const ln_rw_tab *tab = ln_rewrite_tab_for_parser(npb->ctx, prs);
      if (tab) {
        int r = 0;
        if (fjson_object_is_type(value, fjson_type_object))
          r = ln_rewrite_merge(json, value, tab, failOnDuplicate);
        fjson_object_put(value);
        return r != 0 ? LN_RC_NO_MATCH : 0;
      }
    }
    if (fjson_object_is_type(value, fjson_type_object)) {
      int r = 0;
      struct fjson_object_iterator it = fjson_object_iter_begin(value);
      struct fjson_object_iterator end = fjson_object_iter_end(value);
      while (!fjson_object_iter_equal(&it, &end)) {
        const char *key = fjson_object_iter_peek_name(&it);
        fjson_object *v = fjson_object_iter_peek_value(&it);
        if (failOnDuplicate && fjson_object_object_get_ex(json, key, nullptr)) {
          r = LN_RC_NO_MATCH;
          break;
        }
        fjson_object_object_add(json, key, fjson_object_get(v));
        fjson_object_iter_next(&it);
      }
      fjson_object_put(value);
      return r;
    }
    fjson_object_object_add(json, name, value);
    return 0;
  }
  if (fjson_object_is_type(value, fjson_type_object) && fjson_object_object_length(value) == 1) {
    struct fjson_object_iterator it = fjson_object_iter_begin(value);
    if (!strcmp(fjson_object_iter_peek_name(&it), "..")) {
      ln_dbgprintf(npb->ctx, "subordinate field name is '..', combining");
      fjson_object *inner = fjson_object_get(fjson_object_iter_peek_value(&it));
      fjson_object_put(value);
      value = inner;
    }
  }
  if (failOnDuplicate && fjson_object_object_get_ex(json, name, nullptr)) {
    fjson_object_put(value);
    return LN_RC_NO_MATCH;
  }
  fjson_object_object_add_ex(json, name, value, FJSON_OBJECT_ADD_KEY_IS_NEW);
  return 0;
}

} // namespace

int ln_normalizeRec(npb_t *npb, struct ln_pdag *dag, size_t offs, int bPartialMatch,
                    struct fjson_object *json, struct ln_pdag **endNode, int failOnDuplicate,
                    struct fjson_object *cur_json_object, const char *parser_name) {
  if (!npb || !dag) return LN_RC_NO_MATCH;
  ++dag->stats.called;
  WalkGuard &g = g_guard;
  if (g.depth == 0) { // outermost call: a new message
    g.calls = 0;
    g.trips = 0;
    g.memo.clear();
    g.active_types.clear();
    g.memo_str = npb->str;
  }
  if (g.depth >= kMaxDepth || ++g.calls > kMaxNodeCalls || stack_exhausted()) {
    ++g.trips;
    return LN_RC_NO_MATCH;
  }
  const bool memo_ok = !failOnDuplicate && g.calls > kMemoAfter && npb->str == g.memo_str;
  const MemoKey key{dag, offs, bPartialMatch ? 1 : 0};
  if (memo_ok && g.memo.count(key)) return LN_RC_NO_MATCH;
  const uint64_t trips0 = g.trips;
  DepthScope scope;

  int r = LN_RC_NO_MATCH;
  size_t furthest = npb->parsedTo;
  for (unsigned e = 0; e < dag->nparsers; ++e) {
    ln_parser_t *prs = &dag->parsers[e];
    if (failOnDuplicate && cur_json_object && prs->name &&
        fjson_object_object_get_ex(cur_json_object, prs->name, nullptr))
      continue;

    size_t i = offs, parsed = 0;
    fjson_object *value = nullptr;
    size_t savedParsedTo = npb->parsedTo;
    size_t mark = rule_mark(npb);
    int lr = run_edge(npb, prs, &i, &parsed, &value, json, failOnDuplicate);
    npb->parsedTo = savedParsedTo;
    if (lr == 0) {
      size_t next = i + parsed;
      if (next > npb->strLen) next = npb->strLen; // a parser never hands back more
      furthest = std::max(furthest, next);
      int sr = ln_normalizeRec(npb, prs->node, next, bPartialMatch, json, endNode,
                               failOnDuplicate, cur_json_object, parser_name);
      if (sr == 0) {
        int st = store_value(npb, prs, value, json, failOnDuplicate);
        value = nullptr;
        if (st != 0) {
          rule_cut(npb, mark);
          if (furthest > npb->longestParsedTo) npb->longestParsedTo = furthest;
          return LN_RC_NO_MATCH;
        }
        rule_add_edge(npb, prs);
        r = 0;
        if (next > npb->parsedTo) npb->parsedTo = next;
      } else {
        ++dag->stats.backtracked;
        rule_cut(npb, mark);
        if (sr == LN_RC_NO_MEMORY) r = LN_RC_NO_MEMORY;
      }
    } else {
      rule_cut(npb, mark);
      if (lr == LN_RC_NO_MEMORY) r = LN_RC_NO_MEMORY;
    }
    if (value) fjson_object_put(value);
    if (furthest > npb->longestParsedTo) npb->longestParsedTo = furthest;
    if (r == 0 || r == LN_RC_NO_MEMORY) break;
  }
  if (r == LN_RC_NO_MEMORY) return r;

  if (dag->flags.isTerminal && (bPartialMatch || offs == npb->strLen)) {
    if (endNode) *endNode = dag;
    r = 0;
  }
  if (r == LN_RC_NO_MATCH && memo_ok && g.trips == trips0) {
    try {
      g.memo.insert(key);
    } catch (const std::bad_alloc &) {
      // the memo only saves time
    }
  }
  return r;
}

namespace {

int add_str(fjson_object *json, const char *name, const char *s, size_t len) {
  fjson_object *v = ln_json_string(s, len);
  if (!v) return LN_RC_NO_MEMORY;
  fjson_object_object_add(json, name, v);
  return 0;
}

int add_metadata(npb_t *npb, struct ln_pdag *endNode, fjson_object *json) {
  ln_ctx ctx = npb->ctx;
  fjson_object *meta = fjson_object_new_object();
  fjson_object *rule = fjson_object_new_object();
  if (!meta || !rule) {
    if (meta) fjson_object_put(meta);
    if (rule) fjson_object_put(rule);
    return LN_RC_NO_MEMORY;
  }
  fjson_object_object_add(meta, "rule", rule);
  if ((ctx->opts & LN_CTXOPT_ADD_RULE) && npb->rule) {
    const char *b = reinterpret_cast<const char *>(es_getBufAddr(npb->rule));
    size_t n = es_strlen(npb->rule);
    std::string text(b, n);
    std::reverse(text.begin(), text.end());
    if (add_str(rule, "mockup", text.data(), text.size()) != 0) {
      fjson_object_put(meta);
      return LN_RC_NO_MEMORY;
    }
  }
  if (ctx->opts & LN_CTXOPT_ADD_RULE_LOCATION) {
    fjson_object *loc = fjson_object_new_object();
    if (!loc) {
      fjson_object_put(meta);
      return LN_RC_NO_MEMORY;
    }
    fjson_object_object_add(rule, "location", loc);
    fjson_object_object_add(loc, "file",
                            endNode->rb_file ? fjson_object_new_string(endNode->rb_file) : nullptr);
    fjson_object_object_add(loc, "line", fjson_object_new_int64(endNode->rb_lineno));
  }
  fjson_object_object_add(json, "metadata", meta);
  return 0;
}

int normalize(ln_ctx ctx, const char *str, size_t strLen, fjson_object **json_p,
              uint32_t *rule_idx) {
  if (!ctx || ctx->objID != LN_OBJID_CTX || !json_p || (!str && strLen)) return -1;
  if (!*json_p) {
    *json_p = fjson_object_new_object();
    if (!*json_p) return -1;
  }
  fjson_object *json = *json_p;
  if (!str) str = "";

  npb_t npb{};
  npb.ctx = ctx;
  npb.str = str;
  npb.strLen = strLen;
  struct EsGuard {
    es_str_t *s = nullptr;
    ~EsGuard() {
      if (s) es_deleteStr(s);
    }
  } rule;
  if (ctx->opts & LN_CTXOPT_ADD_RULE) {
    rule.s = es_newStr(1024);
    if (!rule.s) return -1;
  }
  npb.rule = rule.s;

  struct ln_pdag *endNode = nullptr;
  int r = ctx->pdag ? ln_normalizeRec(&npb, ctx->pdag, 0, 0, json, &endNode, 0, nullptr, nullptr)
                    : LN_RC_NO_MATCH;
  rule.s = npb.rule; // es_addBuf may have moved it
  if (r == 0 && endNode) {
    if (rule_idx) *rule_idx = endNode->rule_idx;
    if (endNode->tags) {
      fjson_object_object_add(json, "event.tags", fjson_object_get(endNode->tags));
      int ar = ln_annotate(ctx, json, endNode->tags);
      if (ar != 0) return ar;
    }
    if (ctx->opts & LN_CTXOPT_ADD_ORIGINALMSG) {
      if (add_str(json, "originalmsg", str, strLen) != 0) return LN_RC_NO_MEMORY;
    }
    if (ctx->opts & (LN_CTXOPT_ADD_RULE | LN_CTXOPT_ADD_RULE_LOCATION)) {
      if (add_metadata(&npb, endNode, json) != 0) return LN_RC_NO_MEMORY;
    }
    return 0;
  }
  if (r == 0) r = LN_RC_NO_MATCH;
  if (add_str(json, "originalmsg", str, strLen) != 0) return LN_RC_NO_MEMORY;
  size_t from = std::min(npb.longestParsedTo, strLen);
  if (add_str(json, "unparsed-data", str + from, strLen - from) != 0) return LN_RC_NO_MEMORY;
  ln_addUnparsedDataBinaryField(ctx, str + from, strLen - from, json);
  return r;
}

} // namespace

int ln_normalize(ln_ctx ctx, const char *str, size_t strLen, struct fjson_object **json_p) {
  try {
    return normalize(ctx, str, strLen, json_p, nullptr);
  } catch (const std::bad_alloc &) {
    return LN_RC_NO_MEMORY;
  }
}

int ln_normalize_with_rule(ln_ctx ctx, const char *str, size_t strLen,
                           struct fjson_object **json_p, uint32_t *rule) {
  if (rule) *rule = 0;
  try {
    return normalize(ctx, str, strLen, json_p, rule);
  } catch (const std::bad_alloc &) {
    return LN_RC_NO_MEMORY;
  }
}

int ln_normalize_to_str(ln_ctx ctx, const char *str, size_t strLen, char **json_str,
                        size_t *json_len) {
  if (json_str) *json_str = nullptr;
  if (json_len) *json_len = 0;
  if (!ctx || ctx->objID != LN_OBJID_CTX || !json_str) return -1;
  if (ln_turbo_is_available(ctx)) {
    char *s = nullptr;
    size_t n = 0;
    int tr = ln_turbo_normalize_to_str(ctx, str, strLen, &s, &n);
    if (tr == 0 && s) {
      *json_str = s;
      if (json_len) *json_len = n;
      return 0;
    }
    free(s);
    if (ctx->opts & LN_CTXOPT_TURBO_STRICT) {
      ln_dbgprintf(ctx, "turbo normalize_to_str failed and strict mode is on, not falling back");
      return tr != 0 ? tr : -1;
    }
    ln_dbgprintf(ctx, "turbo normalize_to_str failed, fallback to walker");
  }
  fjson_object *json = nullptr;
  int r = ln_normalize(ctx, str, strLen, &json);
  if (r != 0) {
    if (json) fjson_object_put(json);
    return r;
  }
  const char *txt = fjson_object_to_json_string_ext(json, FJSON_TO_STRING_PLAIN);
  size_t n = txt ? strlen(txt) : 0;
  char *copy = txt ? static_cast<char *>(malloc(n + 1)) : nullptr;
  if (copy) memcpy(copy, txt, n + 1);
  fjson_object_put(json);
  if (!copy) return LN_RC_NO_MEMORY;
  *json_str = copy;
  if (json_len) *json_len = n;
  return 0;
}
