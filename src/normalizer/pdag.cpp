// Parse DAG: edge creation from field descriptors, merging of equal edges,
// sequences and alternatives, user-defined types, deletion, the one-time
// optimisation (sort, literal compaction, path IDs), statistics, Graphviz
// output and the debug dump.
//
// Every walk over a DAG here is iterative: a rule of thousands of literal
// characters builds a chain of thousands of nodes before compaction, and
// recursion over such chains would exhaust the stack.
#include "normalizer/pdag.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <libfastjson/json_util.h>

#include "normalizer/parser.h"

namespace {

// Work limit of the path-ID pass: a node reached along several paths is
// revisited once per path, which grows exponentially with chained
// alternatives. Repeat visits and the node IDs they clear are counted; past
// this budget a node reached again keeps the ID it has. First visits are not
// counted, so a large rulebase without alternatives is never affected.
constexpr size_t kIdVisitBudget = 200u * 1000u;

// Longest path ID kept. Every node stores the full path text up to itself,
// so a rule of thousands of fields would otherwise need memory quadratic in
// its length; IDs are descriptive (statistics, debug output, and VaderAD uses
// only their first 59 bytes), so longer ones are cut.
constexpr size_t kMaxIdLen = 4096;

const char *safe_str(const char *s) { return s ? s : ""; }

const char *literal_text(ln_ctx ctx, const ln_parser_t *prs) {
  if (prs->parser_data == nullptr) return "";
  return safe_str(ln_DataForDisplayLiteral(ctx, prs->parser_data));
}

// Frees what an edge owns except its target node.
void free_edge_contents(ln_ctx ctx, ln_parser_t *prs) {
  free(prs->name);
  prs->name = nullptr;
  free(prs->conf);
  prs->conf = nullptr;
  if (prs->parser_data != nullptr && prs->prsid < LN_NPARSER_TYPES &&
      parser_lookup_table[prs->prsid].destruct != nullptr)
    parser_lookup_table[prs->prsid].destruct(ctx, prs->parser_data);
  prs->parser_data = nullptr;
}

// Frees one node whose last reference is gone; targets whose last reference
// goes with it are queued on work.
void free_node(struct ln_pdag *n, std::vector<struct ln_pdag *> &work) {
  if (n->tags) fjson_object_put(n->tags);
  for (int i = 0; i < n->nparsers; ++i) {
    ln_parser_t *prs = &n->parsers[i];
    if (prs->node != nullptr && --prs->node->refcnt <= 0) {
      try {
        work.push_back(prs->node);
      } catch (const std::bad_alloc &) {
        // cannot queue: the subgraph leaks rather than risking a crash
      }
    }
    free_edge_contents(n->ctx, prs);
  }
  free(n->parsers);
  free(n->rb_id);
  free(n->rb_file);
  free(n);
}

int add_dispatch(ln_ctx ctx, struct ln_pdag **pdag, fjson_object *prscnf, struct ln_pdag **slot);

// Attaches one single descriptor at *pdag; *slot is the next-node slot.
int add_single(ln_ctx ctx, struct ln_pdag **pdag, fjson_object *prscnf, struct ln_pdag **slot) {
  ln_parser_t *prs = ln_newParser(ctx, prscnf);
  if (prs == nullptr) return LN_RC_BAD_CONFIG;
  struct ln_pdag *dag = *pdag;
  for (int i = 0; i < dag->nparsers; ++i) {
    ln_parser_t *p = &dag->parsers[i];
    // An equal edge is reused. When the slot already names a successor (an
    // alternative), the edge is reused only if it leads there: redirecting
    // the slot would strand the other alternatives. Without a slot, an edge
    // into a join node (reached by several alternatives, refcnt > 1) is not
    // reused: whatever this rule adds behind it would also be reachable
    // through the other alternatives, which this rule does not allow.
    if (p->prsid == prs->prsid && p->conf && prs->conf && strcmp(p->conf, prs->conf) == 0 &&
        (*slot == nullptr ? p->node != nullptr && p->node->refcnt == 1 : *slot == p->node)) {
      free_edge_contents(ctx, prs);
      free(prs);
      *slot = p->node;
      *pdag = p->node;
      return 0;
    }
  }
  if (dag->nparsers >= LN_PDAG_MAX_EDGES) {
    ln_errprintf(ctx, 0,
                 "too many edges at one DAG node: a node holds at most %d, cannot add %s",
                 LN_PDAG_MAX_EDGES, safe_str(prs->conf));
    free_edge_contents(ctx, prs);
    free(prs);
    return LN_RC_BAD_CONFIG;
  }
  auto *arr = static_cast<ln_parser_t *>(
      realloc(dag->parsers, sizeof(ln_parser_t) * (static_cast<size_t>(dag->nparsers) + 1)));
  if (arr == nullptr) {
    free_edge_contents(ctx, prs);
    free(prs);
    return LN_RC_NO_MEMORY;
  }
  dag->parsers = arr;
  if (*slot == nullptr) {
    *slot = ln_newPDAG(ctx);
    if (*slot == nullptr) {
      free_edge_contents(ctx, prs);
      free(prs);
      return LN_RC_NO_MEMORY;
    }
  } else {
    ++(*slot)->refcnt;
  }
  prs->node = *slot;
  dag->parsers[dag->nparsers] = *prs;
  ++dag->nparsers;
  free(prs);
  *pdag = *slot;
  return 0;
}

// A sequence: elements one after another; the last one ends in *lastSlot.
int add_sequence(ln_ctx ctx, struct ln_pdag **pdag, fjson_object *arr, struct ln_pdag **lastSlot) {
  const int n = fjson_object_array_length(arr);
  for (int i = 0; i < n; ++i) {
    fjson_object *elem = fjson_object_array_get_idx(arr, i);
    struct ln_pdag *local = nullptr;
    struct ln_pdag **slot = (i == n - 1) ? lastSlot : &local;
    int r;
    if (elem != nullptr && fjson_object_is_type(elem, fjson_type_array))
      r = add_sequence(ctx, pdag, elem, slot);
    else
      r = add_single(ctx, pdag, elem, slot);
    if (r != 0) return r;
  }
  return 0;
}

// The first existing edge at n that a single descriptor would be merged
// into, or null. The descriptor is only read.
ln_parser_t *equal_edge(struct ln_pdag *n, fjson_object *d, bool joinOk) {
  if (d == nullptr || !fjson_object_is_type(d, fjson_type_object)) return nullptr;
  const char *conf = fjson_object_to_json_string_ext(d, FJSON_TO_STRING_PLAIN);
  if (conf == nullptr) return nullptr;
  for (int i = 0; i < n->nparsers; ++i) {
    ln_parser_t *p = &n->parsers[i];
    if (p->conf && p->node && strcmp(p->conf, conf) == 0 && (joinOk || p->node->refcnt == 1)) return p;
  }
  return nullptr;
}

// Follows one alternative through existing edges without changing anything.
// Returns its last edge, or null when some part of it would need a new edge.
// Every edge but the last must lead to a node that only it reaches.
ln_parser_t *existing_alternative(struct ln_pdag *n, fjson_object *alt) {
  if (alt == nullptr || !fjson_object_is_type(alt, fjson_type_array)) return equal_edge(n, alt, true);
  std::vector<std::pair<fjson_object *, int>> stack{{alt, 0}}; // flattened nested sequences
  ln_parser_t *last = nullptr;
  while (!stack.empty()) {
    auto &[arr, idx] = stack.back();
    if (idx >= fjson_object_array_length(arr)) {
      stack.pop_back();
      continue;
    }
    fjson_object *e = fjson_object_array_get_idx(arr, idx++);
    if (e != nullptr && fjson_object_is_type(e, fjson_type_array)) {
      stack.emplace_back(e, 0);
      continue;
    }
    if (last != nullptr) {
      if (last->node->refcnt != 1) return nullptr;
      n = last->node;
    }
    last = equal_edge(n, e, true);
    if (last == nullptr) return nullptr;
  }
  return last;
}

// The join node of an alternatives group that an earlier rule already built
// in full: every alternative exists, all end in one node, and nothing else
// leads into that node. Null otherwise.
struct ln_pdag *existing_join(struct ln_pdag *start, fjson_object *parsers) {
  const int n = fjson_object_array_length(parsers);
  struct ln_pdag *join = nullptr;
  std::vector<ln_parser_t *> lastEdges;
  for (int i = 0; i < n; ++i) {
    ln_parser_t *last = existing_alternative(start, fjson_object_array_get_idx(parsers, i));
    if (last == nullptr || (join != nullptr && last->node != join)) return nullptr;
    join = last->node;
    if (std::find(lastEdges.begin(), lastEdges.end(), last) == lastEdges.end()) lastEdges.push_back(last);
  }
  if (join == nullptr || join->refcnt != static_cast<int>(lastEdges.size())) return nullptr;
  return join;
}

// Alternatives end in one join node. A group that an earlier rule built in
// full is shared; otherwise the join node is new, so that no alternative
// leads into another rule's path (which would let that rule's continuation
// match behind this rule's other alternatives, and this rule's continuation
// behind the other rule's prefix).
int add_alternatives(ln_ctx ctx, struct ln_pdag **pdag, fjson_object *prscnf) {
  fjson_object *parsers = nullptr;
  if (!fjson_object_object_get_ex(prscnf, "parser", &parsers) ||
      !fjson_object_is_type(parsers, fjson_type_array)) {
    ln_errprintf(ctx, 0, "alternative type needs array of parsers. Object: '%s', type is %s",
                 fjson_object_to_json_string_ext(prscnf, FJSON_TO_STRING_PLAIN),
                 fjson_type_to_name(fjson_object_get_type(parsers)));
    return LN_RC_BAD_CONFIG;
  }
  const int n = fjson_object_array_length(parsers);
  if (n == 0) return 0;
  struct ln_pdag *shared = existing_join(*pdag, parsers);
  const bool fresh = shared == nullptr;
  if (fresh) {
    shared = ln_newPDAG(ctx); // held here until an alternative leads to it
    if (shared == nullptr) return LN_RC_NO_MEMORY;
  }
  int r = 0;
  for (int i = 0; i < n && r == 0; ++i) {
    fjson_object *elem = fjson_object_array_get_idx(parsers, i);
    struct ln_pdag *cur = *pdag;
    if (elem != nullptr && fjson_object_is_type(elem, fjson_type_array))
      r = add_sequence(ctx, &cur, elem, &shared);
    else
      r = add_single(ctx, &cur, elem, &shared);
  }
  if (fresh) {
    if (shared->refcnt > 1) {
      --shared->refcnt; // the incoming edges own it now
      if (r == 0) *pdag = shared;
    } else {
      ln_pdagDelete(shared); // no alternative consumed anything
    }
  } else if (r == 0) {
    *pdag = shared;
  }
  return r;
}

int add_dispatch(ln_ctx ctx, struct ln_pdag **pdag, fjson_object *prscnf, struct ln_pdag **slot) {
  if (prscnf != nullptr && fjson_object_is_type(prscnf, fjson_type_array))
    return add_sequence(ctx, pdag, prscnf, slot);
  if (prscnf != nullptr && fjson_object_is_type(prscnf, fjson_type_object)) {
    fjson_object *type = nullptr;
    if (fjson_object_object_get_ex(prscnf, "type", &type) &&
        fjson_object_is_type(type, fjson_type_string) &&
        strcmp(fjson_object_get_string(type), "alternative") == 0)
      return add_alternatives(ctx, pdag, prscnf);
    return add_single(ctx, pdag, prscnf, slot);
  }
  ln_errprintf(ctx, 0, "bug: prscnf object of wrong type. Object: '%s'",
               prscnf ? fjson_object_to_json_string_ext(prscnf, FJSON_TO_STRING_PLAIN) : "null");
  return LN_RC_BAD_CONFIG;
}

/* ------------------------------------------------------------- optimiser */

bool prio_less(const ln_parser_t &a, const ln_parser_t &b) { return a.prio < b.prio; }

// After compaction an edge's descriptor text must describe the combined
// literal: a later load compares new descriptors against it, and the text of
// the first character alone would merge a new rule into the longer literal.
void refresh_literal_conf(ln_ctx ctx, ln_parser_t *prs) {
  fjson_object *d = fjson_object_new_object();
  if (d == nullptr) return;
  fjson_object_object_add(d, "type", fjson_object_new_string("literal"));
  fjson_object_object_add(d, "text", fjson_object_new_string(literal_text(ctx, prs)));
  char *conf = strdup(fjson_object_to_json_string_ext(d, FJSON_TO_STRING_PLAIN));
  fjson_object_put(d);
  if (conf == nullptr) return;
  free(prs->conf);
  prs->conf = conf;
}

// Compacts the chain of unnamed one-edge literals behind prs into prs. The
// chain is collected first and its texts are merged pairwise in rounds, so a
// chain of n characters costs O(n log n) copying instead of the O(n^2) of
// appending one character at a time to an ever longer text. Returns whether
// anything was combined.
bool compact_chain(ln_parser_t *prs) {
  if (prs->prsid != PRS_LITERAL || prs->name != nullptr || prs->parser_data == nullptr) return false;
  std::vector<ln_parser_t *> edge{prs};  // edge[j]: j-th literal of the chain
  std::vector<struct ln_pdag *> holder{nullptr}; // holder[j]: node whose edge is edge[j]
  for (;;) {
    struct ln_pdag *mid = edge.back()->node;
    if (mid == nullptr || mid->flags.isTerminal || mid->refcnt != 1 || mid->nparsers != 1) break;
    ln_parser_t *next = &mid->parsers[0];
    if (next->prsid != PRS_LITERAL || next->name != nullptr || next->node == nullptr ||
        next->node->refcnt != 1 || next->parser_data == nullptr)
      break;
    edge.push_back(next);
    holder.push_back(mid);
  }
  const size_t n = edge.size();
  if (n < 2) return false;
  // span[j] > 0: edge[j] starts a block holding the texts of edges j..j+span-1
  std::vector<size_t> span(n, 1);
  bool failed = false;
  for (size_t step = 1; step < n && !failed; step *= 2) {
    for (size_t j = 0; j + step < n; j += 2 * step) {
      if (ln_combineData_Literal(edge[j]->parser_data, edge[j + step]->parser_data) != 0) {
        failed = true;
        break;
      }
      span[j] += span[j + step];
      span[j + step] = 0;
    }
  }
  // Relink every block's first edge past its block and free the nodes and
  // edges merged into it.
  for (size_t j = 0; j < n; j += span[j]) {
    const size_t last = j + span[j] - 1;
    if (last == j) continue;
    struct ln_pdag *firstMid = holder[j + 1];
    edge[j]->node = edge[last]->node;
    edge[last]->node = nullptr;
    ln_pdagDelete(firstMid);
  }
  return true;
}

// Sorts one node's edges and compacts the unnamed literal chains behind them.
void optimize_node(ln_ctx ctx, struct ln_pdag *dag) {
  if (dag->nparsers >= 2) std::stable_sort(dag->parsers, dag->parsers + dag->nparsers, prio_less);
  for (int i = 0; i < dag->nparsers; ++i)
    if (compact_chain(&dag->parsers[i])) refresh_literal_conf(ctx, &dag->parsers[i]);
}

void optimize_component(ln_ctx ctx, struct ln_pdag *root) {
  ln_pdagForEachNode(root, [ctx](struct ln_pdag *n) { optimize_node(ctx, n); });
}

std::string child_prefix(ln_ctx ctx, const std::string &prefix, const ln_parser_t *prs) {
  std::string s = prefix;
  if (prs->prsid == PRS_LITERAL) {
    if (prs->name == nullptr) {
      s += literal_text(ctx, prs);
    } else {
      s += '%';
      s += prs->name;
      s += ":literal:";
      s += literal_text(ctx, prs);
      s += '%';
    }
  } else {
    s += '%';
    s += prs->name ? prs->name : "-";
    s += ':';
    s += ln_parserName(prs->prsid);
    s += '%';
  }
  if (s.size() > kMaxIdLen) s.resize(kMaxIdLen);
  return s;
}

// Clears the IDs of every node below n (n keeps its own). Uses the nodes'
// visited marks as scratch and resets them before returning.
void clear_ids_below(struct ln_pdag *n, size_t &visits) {
  std::vector<struct ln_pdag *> seen;
  std::vector<struct ln_pdag *> stack;
  for (int i = 0; i < n->nparsers; ++i)
    if (n->parsers[i].node) stack.push_back(n->parsers[i].node);
  while (!stack.empty()) {
    struct ln_pdag *c = stack.back();
    stack.pop_back();
    if (c->flags.visited) continue;
    c->flags.visited = 1;
    seen.push_back(c);
    ++visits;
    free(c->rb_id);
    c->rb_id = nullptr;
    for (int i = 0; i < c->nparsers; ++i)
      if (c->parsers[i].node) stack.push_back(c->parsers[i].node);
  }
  for (struct ln_pdag *c : seen) c->flags.visited = 0;
}

void set_ids(ln_ctx ctx, struct ln_pdag *root) {
  if (root == nullptr) return;
  // IDs derive from the DAG alone: a later load recomputes them from scratch
  // instead of folding every old ID into a combined one.
  size_t ignored = 0;
  free(root->rb_id);
  root->rb_id = nullptr;
  clear_ids_below(root, ignored);
  struct Item {
    struct ln_pdag *node;
    std::string prefix;
  };
  std::vector<Item> stack;
  stack.push_back({root, std::string()});
  size_t visits = 0;
  bool budgetHit = false;
  while (!stack.empty()) {
    Item it = std::move(stack.back());
    stack.pop_back();
    struct ln_pdag *n = it.node;
    if (n->rb_id == nullptr) {
      n->rb_id = strdup(it.prefix.c_str());
      if (n->rb_id == nullptr) continue; // leave this part without IDs
    } else {
      if (++visits > kIdVisitBudget) {
        if (!budgetHit) {
          ln_dbgprintf(ctx, "path IDs: too many paths through alternatives, IDs kept as first set");
          budgetHit = true;
        }
        continue;
      }
      const std::string old(n->rb_id);
      const std::string &np = it.prefix;
      size_t i = 0;
      while (i < old.size() && i < np.size() && old[i] == np[i]) ++i;
      if (i > 0 && old[i - 1] == '%') --i;
      std::string id = old.substr(0, i) + "[" + old.substr(i) + "|" + np.substr(i) + "]";
      if (id.size() > kMaxIdLen) id.resize(kMaxIdLen);
      char *nid = strdup(id.c_str());
      if (nid == nullptr) continue;
      free(n->rb_id);
      n->rb_id = nid;
      clear_ids_below(n, visits);
    }
    const std::string me(n->rb_id);
    for (int i = n->nparsers - 1; i >= 0; --i) {
      const ln_parser_t *prs = &n->parsers[i];
      if (prs->node != nullptr) stack.push_back({prs->node, child_prefix(ctx, me, prs)});
    }
  }
}

/* ------------------------------------------------------------ statistics */

struct BlockStats {
  pdag_stats st{};
  int longest = 0;
};

void collect_stats(struct ln_pdag *root, BlockStats &bs) {
  pdag_stats &st = bs.st;
  if (root == nullptr) return;
  // Longest path by memoised depth-first post-order (a node without edges
  // counts 1, every edge adds 1).
  std::unordered_map<struct ln_pdag *, int> len;
  struct Frame {
    struct ln_pdag *node;
    int next;
  };
  std::vector<Frame> stack{{root, 0}};
  len[root] = -1; // in progress
  while (!stack.empty()) {
    Frame &f = stack.back();
    struct ln_pdag *n = f.node;
    if (f.next == 0) {
      st.nodes++;
      if (n->flags.isTerminal) st.term_nodes++;
      if (n->nparsers > st.max_nparsers) st.max_nparsers = n->nparsers;
      if (n->nparsers >= 100)
        st.nparsers_100plus++;
      else
        st.nparsers_cnt[n->nparsers]++;
      st.parsers += n->nparsers;
      for (int i = 0; i < n->nparsers; ++i)
        if (n->parsers[i].prsid < LN_NPARSER_TYPES) st.prs_cnt[n->parsers[i].prsid]++;
    }
    if (f.next < n->nparsers) {
      struct ln_pdag *c = n->parsers[f.next++].node;
      if (c != nullptr && len.find(c) == len.end()) {
        len[c] = -1;
        stack.push_back({c, 0});
      }
      continue;
    }
    int best = 0;
    for (int i = 0; i < n->nparsers; ++i) {
      struct ln_pdag *c = n->parsers[i].node;
      if (c == nullptr) continue;
      auto it = len.find(c);
      if (it != len.end() && it->second > best) best = it->second;
    }
    len[n] = best + 1;
    stack.pop_back();
  }
  bs.longest = len[root];
}

void print_block(struct ln_pdag *root, FILE *fp, int extendedStats) {
  BlockStats bs;
  collect_stats(root, bs);
  const pdag_stats &st = bs.st;
  fprintf(fp, "nodes.............: %4d\n", st.nodes);
  fprintf(fp, "terminal nodes....: %4d\n", st.term_nodes);
  fprintf(fp, "parsers entries...: %4d\n", st.parsers);
  fprintf(fp, "longest path......: %4d\n", bs.longest);
  fprintf(fp, "Parser Type Counts:\n");
  for (int i = 0; i < LN_NPARSER_TYPES; ++i)
    if (st.prs_cnt[i] != 0) fprintf(fp, "\t%20s: %d\n", ln_parserName(static_cast<prsid_t>(i)), st.prs_cnt[i]);
  fprintf(fp, "Parsers per Node:\n");
  fprintf(fp, "\tmax:\t%4d\n", st.max_nparsers);
  for (int i = 0; i < 100; ++i)
    if (st.nparsers_cnt[i] != 0) fprintf(fp, "\t%d:\t%4d\n", i, st.nparsers_cnt[i]);
  if (!extendedStats || root == nullptr) return;
  fprintf(fp, "Usage Statistics:\n-----------------\n");
  fprintf(fp, "called, backtracked, rule\n");
  std::unordered_set<struct ln_pdag *> seen;
  std::vector<struct ln_pdag *> stack{root};
  while (!stack.empty()) {
    struct ln_pdag *n = stack.back();
    stack.pop_back();
    if (!seen.insert(n).second) continue;
    if (n->stats.called == 0) continue;
    fprintf(fp, "%u, %u, %s\n", n->stats.called, n->stats.backtracked, safe_str(n->rb_id));
    for (int i = n->nparsers - 1; i >= 0; --i) {
      struct ln_pdag *c = n->parsers[i].node;
      if (c != nullptr && c->stats.called != 0) stack.push_back(c);
    }
  }
}

/* ------------------------------------------------------------- Graphviz */

std::string dot_literal(ln_ctx ctx, const ln_parser_t *prs) {
  std::string out;
  for (const char *p = literal_text(ctx, prs); *p; ++p)
    if (*p != '"' && *p != '\\') out += *p;
  return out;
}

// Preorder walk, each node once: onNode(node), then for every edge
// onEdge(node, edge) -> whether to descend into its target.
template <typename NodeFn, typename EdgeFn>
void walk_once(struct ln_pdag *root, NodeFn onNode, EdgeFn onEdge) {
  if (root == nullptr) return;
  std::unordered_set<struct ln_pdag *> seen;
  struct Frame {
    struct ln_pdag *node;
    int next;
  };
  std::vector<Frame> stack{{root, 0}};
  seen.insert(root);
  onNode(root);
  while (!stack.empty()) {
    Frame &f = stack.back();
    if (f.next >= f.node->nparsers) {
      stack.pop_back();
      continue;
    }
    ln_parser_t *prs = &f.node->parsers[f.next++];
    struct ln_pdag *src = f.node;
    if (!onEdge(src, prs) || prs->node == nullptr) continue;
    if (!seen.insert(prs->node).second) continue;
    onNode(prs->node);
    stack.push_back({prs->node, 0});
  }
}

std::string ptr_text(const void *p) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%p", p);
  return buf;
}

/* ---------------------------------------------------------- debug dump */

std::string indent_of(int level) {
  if (level < 0) level = 0;
  if (level > 1023) level = 1023;
  return std::string(static_cast<size_t>(level) * 2, ' ');
}

void display_component(struct ln_pdag *root, int level, int repeatDepth);

void display_node_header(struct ln_pdag *n, int level) {
  ln_dbgprintf(n->ctx, "%ssubDAG%s %p (children: %d parsers, ref %d) [called %u, backtracked %u]",
               indent_of(level).c_str(), n->flags.isTerminal ? " [TERM]" : "",
               static_cast<void *>(n), n->nparsers, n->refcnt, n->stats.called,
               n->stats.backtracked);
}

void display_component(struct ln_pdag *root, int level, int repeatDepth) {
  if (root == nullptr) return;
  std::unordered_set<struct ln_pdag *> seen;
  struct Frame {
    struct ln_pdag *node;
    int next;
    int level;
  };
  std::vector<Frame> stack{{root, 0, level}};
  seen.insert(root);
  display_node_header(root, level);
  while (!stack.empty()) {
    Frame &f = stack.back();
    if (f.next >= f.node->nparsers) {
      stack.pop_back();
      continue;
    }
    ln_parser_t *prs = &f.node->parsers[f.next++];
    const int lvl = f.level;
    ln_ctx ctx = f.node->ctx;
    const std::string ind = indent_of(lvl);
    ln_dbgprintf(ctx, "%sfield type '%s', name '%s': '%s':", ind.c_str(), ln_parserName(prs->prsid),
                 prs->name ? prs->name : "-",
                 prs->prsid == PRS_LITERAL ? literal_text(ctx, prs) : "UNKNOWN");
    if (prs->prsid == PRS_REPEAT && prs->parser_data != nullptr && repeatDepth < 64) {
      auto *rd = static_cast<struct data_Repeat *>(prs->parser_data);
      ln_dbgprintf(ctx, "%sparser:", ind.c_str());
      display_component(rd->parser, lvl + 1, repeatDepth + 1);
      ln_dbgprintf(ctx, "%swhile:", ind.c_str());
      display_component(rd->while_cond, lvl + 1, repeatDepth + 1);
      ln_dbgprintf(ctx, "%send repeat def", ind.c_str());
    }
    struct ln_pdag *c = prs->node;
    if (c == nullptr) continue;
    display_node_header(c, lvl + 1);
    if (!seen.insert(c).second) continue; // shown once in full
    stack.push_back({c, 0, lvl + 1});
  }
}

} // namespace

/* ================================================================ public */

prsid_t ln_parserName2ID(const char *name) {
  if (name == nullptr) return PRSID_NONE;
  for (int i = 0; i < LN_NPARSER_TYPES; ++i)
    if (strcmp(parser_lookup_table[i].name, name) == 0) return static_cast<prsid_t>(i);
  return PRSID_NONE;
}

const char *ln_parserName(prsid_t id) {
  if (id == PRSID_USER_DEFINED) return "USER-DEFINED";
  if (id < LN_NPARSER_TYPES) return parser_lookup_table[id].name;
  return "INVALID";
}

int ln_pdagFindType(ln_ctx ctx, const char *name, int bAdd) {
  if (ctx == nullptr || name == nullptr) return -1;
  ln_dbgprintf(ctx, "ln_pdagFindType, name '%s', bAdd: %d, nTypes %d", name, bAdd, ctx->nTypes);
  for (int i = 0; i < ctx->nTypes; ++i)
    if (strcmp(ctx->type_pdags[i].name, name) == 0) return i;
  if (!bAdd) {
    ln_dbgprintf(ctx, "custom type '%s' not found", name);
    return -1;
  }
  ln_dbgprintf(ctx, "custom type '%s' does not yet exist, adding...", name);
  if (ctx->nTypes == INT_MAX) return -1;
  auto *arr = static_cast<struct ln_type_pdag *>(
      realloc(ctx->type_pdags, sizeof(struct ln_type_pdag) * (static_cast<size_t>(ctx->nTypes) + 1)));
  if (arr == nullptr) return -1;
  ctx->type_pdags = arr;
  char *copy = strdup(name);
  struct ln_pdag *root = copy ? ln_newPDAG(ctx) : nullptr;
  if (root == nullptr) {
    free(copy);
    return -1;
  }
  arr[ctx->nTypes].name = copy;
  arr[ctx->nTypes].pdag = root;
  return ctx->nTypes++;
}

struct ln_pdag *ln_newPDAG(ln_ctx ctx) {
  auto *dag = static_cast<struct ln_pdag *>(calloc(1, sizeof(struct ln_pdag)));
  if (dag == nullptr) return nullptr;
  dag->ctx = ctx;
  dag->refcnt = 1;
  if (ctx) ++ctx->nNodes;
  return dag;
}

ln_parser_t *ln_newParser(ln_ctx ctx, struct fjson_object *prscnf) {
  try {
    const char *text = prscnf ? fjson_object_to_json_string_ext(prscnf, FJSON_TO_STRING_PLAIN) : "null";
    std::string conf = safe_str(text);
    fjson_object *jType = nullptr;
    if (prscnf == nullptr || !fjson_object_is_type(prscnf, fjson_type_object) ||
        !fjson_object_object_get_ex(prscnf, "type", &jType) || jType == nullptr) {
      ln_errprintf(ctx, 0, "parser type missing in config: %s", conf.c_str());
      return nullptr;
    }
    const std::string type = safe_str(fjson_object_get_string(jType));
    prsid_t id;
    int builtinPrio;
    int custType = -1;
    if (!type.empty() && type[0] == '@') {
      custType = ln_pdagFindType(ctx, type.c_str(), 0);
      if (custType < 0) {
        ln_errprintf(ctx, 0, "unknown user-defined type '%s'", type.c_str());
        return nullptr;
      }
      id = PRSID_USER_DEFINED;
      builtinPrio = 16;
    } else {
      id = ln_parserName2ID(type.c_str());
      if (id == PRSID_NONE) {
        ln_errprintf(ctx, 0, "invalid field type '%s'", type.c_str());
        return nullptr;
      }
      builtinPrio = parser_lookup_table[id].prio;
    }
    char *name = nullptr;
    fjson_object *jName = nullptr;
    if (fjson_object_object_get_ex(prscnf, "name", &jName) && jName != nullptr) {
      const char *nm = fjson_object_get_string(jName);
      if (nm != nullptr && strcmp(nm, "-") != 0) {
        name = strdup(nm);
        if (name == nullptr) return nullptr;
      }
    }
    int64_t userPrio = 30000;
    fjson_object *jPrio = nullptr;
    if (fjson_object_object_get_ex(prscnf, "priority", &jPrio) && jPrio != nullptr)
      userPrio = fjson_object_get_int(jPrio);
    // The key must not overflow: user priority * 256 + built-in priority,
    // saturated to the int range.
    int64_t key = userPrio * 256 + (builtinPrio % 256);
    if (key > INT_MAX) key = INT_MAX;
    if (key < INT_MIN) key = INT_MIN;

    fjson_object_object_del(prscnf, "type");
    fjson_object_object_del(prscnf, "priority");
    if (name != nullptr) fjson_object_object_del(prscnf, "name");

    auto *prs = static_cast<ln_parser_t *>(calloc(1, sizeof(ln_parser_t)));
    char *confCopy = strdup(conf.c_str());
    if (prs == nullptr || confCopy == nullptr) {
      free(prs);
      free(confCopy);
      free(name);
      return nullptr;
    }
    prs->prsid = id;
    prs->custType = custType;
    prs->prio = static_cast<int>(key);
    prs->name = name;
    prs->conf = confCopy;
    if (id < LN_NPARSER_TYPES && parser_lookup_table[id].construct != nullptr) {
      void *pdata = nullptr;
      const int r = parser_lookup_table[id].construct(ctx, prscnf, &pdata);
      prs->parser_data = pdata;
      if (r != 0) {
        free_edge_contents(ctx, prs);
        free(prs);
        return nullptr;
      }
    }
    return prs;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

int ln_pdagAddParser(ln_ctx ctx, struct ln_pdag **pdag, struct fjson_object *prscnf) {
  int r;
  if (ctx == nullptr || pdag == nullptr || *pdag == nullptr) {
    r = LN_RC_BAD_CONFIG;
  } else {
    struct ln_pdag *slot = nullptr;
    try {
      r = add_dispatch(ctx, pdag, prscnf, &slot);
    } catch (const std::bad_alloc &) {
      r = LN_RC_NO_MEMORY;
    }
  }
  if (prscnf != nullptr) fjson_object_put(prscnf);
  return r;
}

void ln_pdagDelete(struct ln_pdag *pdag) {
  if (pdag == nullptr) return;
  if (--pdag->refcnt > 0) return;
  std::vector<struct ln_pdag *> work;
  try {
    work.reserve(16);
  } catch (const std::bad_alloc &) {
  }
  free_node(pdag, work);
  while (!work.empty()) {
    struct ln_pdag *n = work.back();
    work.pop_back();
    free_node(n, work);
  }
}

int ln_pdagOptimize(ln_ctx ctx) {
  if (ctx == nullptr) return 0;
  try {
    for (int i = 0; i < ctx->nTypes; ++i) {
      ln_dbgprintf(ctx, "optimizing type '%s'", ctx->type_pdags[i].name);
      optimize_component(ctx, ctx->type_pdags[i].pdag);
      set_ids(ctx, ctx->type_pdags[i].pdag);
    }
    optimize_component(ctx, ctx->pdag);
    set_ids(ctx, ctx->pdag);
  } catch (const std::bad_alloc &) {
    // a failing step leaves that part of the DAG as it was
  }
  if (ctx->debug) {
    ln_dbgprintf(ctx, "---AFTER OPTIMIZATION------------------");
    ln_displayPDAG(ctx);
    ln_dbgprintf(ctx, "=======================================");
  }
  return 0;
}

void ln_displayPDAGComponent(struct ln_pdag *dag, int level) {
  if (dag == nullptr || dag->ctx == nullptr || dag->ctx->dbgCB == nullptr) return;
  try {
    display_component(dag, level, 0);
  } catch (const std::bad_alloc &) {
  }
}

void ln_displayPDAGComponentAlternative(struct ln_pdag *dag, int level) {
  if (dag == nullptr || dag->ctx == nullptr || dag->ctx->dbgCB == nullptr) return;
  try {
    std::unordered_set<struct ln_pdag *> seen;
    std::vector<std::pair<struct ln_pdag *, int>> stack{{dag, level}};
    while (!stack.empty()) {
      auto [n, lvl] = stack.back();
      stack.pop_back();
      ln_dbgprintf(n->ctx, "%s%p[ref %d]: %s", indent_of(lvl).c_str(), static_cast<void *>(n),
                   n->refcnt, safe_str(n->rb_id));
      if (!seen.insert(n).second) continue;
      for (int i = n->nparsers - 1; i >= 0; --i)
        if (n->parsers[i].node) stack.push_back({n->parsers[i].node, lvl + 1});
    }
  } catch (const std::bad_alloc &) {
  }
}

void ln_displayPDAG(ln_ctx ctx) {
  if (ctx == nullptr || ctx->dbgCB == nullptr) return;
  for (int i = 0; i < ctx->nTypes; ++i) {
    ln_dbgprintf(ctx, "COMPONENT: %s", ctx->type_pdags[i].name);
    ln_displayPDAGComponent(ctx->type_pdags[i].pdag, 0);
  }
  ln_dbgprintf(ctx, "MAIN COMPONENT:");
  ln_displayPDAGComponent(ctx->pdag, 0);
  ln_dbgprintf(ctx, "MAIN COMPONENT (alternative):");
  ln_displayPDAGComponentAlternative(ctx->pdag, 0);
}

void ln_fullPdagStats(ln_ctx ctx, FILE *fp, int extendedStats) {
  if (ctx == nullptr || fp == nullptr) return;
  try {
    fprintf(fp, "User-Defined Types\n==================\n");
    fprintf(fp, "number types: %d\n", ctx->nTypes);
    for (int i = 0; i < ctx->nTypes; ++i) fprintf(fp, "type: %s\n", ctx->type_pdags[i].name);
    for (int i = 0; i < ctx->nTypes; ++i) {
      fprintf(fp, "\ntype PDAG: %s\n----------\n", ctx->type_pdags[i].name);
      print_block(ctx->type_pdags[i].pdag, fp, extendedStats);
    }
    fprintf(fp, "\nMain PDAG\n=========\n");
    print_block(ctx->pdag, fp, extendedStats);
  } catch (const std::bad_alloc &) {
  }
}

void ln_genDotPDAGGraph(struct ln_pdag *dag, es_str_t **str) {
  if (dag == nullptr || str == nullptr) return;
  try {
    std::string out = "digraph pdag {\n";
    ln_ctx ctx = dag->ctx;
    walk_once(
        dag,
        [&](struct ln_pdag *n) {
          out += "l" + ptr_text(n) + " [ label=\"" + std::to_string(n->refcnt) + "\"";
          if (n->nparsers == 0) out += " style=\"bold\"";
          out += "]\n";
        },
        [&](struct ln_pdag *src, ln_parser_t *prs) {
          out += "l" + ptr_text(src) + " -> l" + ptr_text(prs->node) + " [label=\"";
          out += ln_parserName(prs->prsid);
          out += ":";
          if (prs->prsid == PRS_LITERAL) out += dot_literal(ctx, prs);
          out += "\" style=\"dotted\"]\n";
          return true;
        });
    out += "}\n";
    if (*str == nullptr) {
      *str = es_newStrFromCStr(out.data(), static_cast<es_size_t>(out.size()));
    } else {
      es_addBuf(str, out.data(), static_cast<es_size_t>(out.size()));
    }
  } catch (const std::bad_alloc &) {
  }
}

void ln_fullPDagStatsDOT(ln_ctx ctx, FILE *fp) {
  if (ctx == nullptr || fp == nullptr || ctx->pdag == nullptr) return;
  try {
    fprintf(fp, "digraph pdag {\n");
    walk_once(
        ctx->pdag,
        [&](struct ln_pdag *n) {
          fprintf(fp, "l%p [ label=\"%u:%u\"%s]\n", static_cast<void *>(n), n->stats.called,
                  n->stats.backtracked, n->nparsers == 0 ? " style=\"bold\"" : "");
        },
        [&](struct ln_pdag *src, ln_parser_t *prs) {
          if (prs->node == nullptr || prs->node->stats.called == 0) return false;
          const std::string label =
              prs->prsid == PRS_LITERAL ? dot_literal(ctx, prs) : ln_parserName(prs->prsid);
          fprintf(fp, "l%p -> l%p [label=\"%s\" style=\"dotted\"]\n", static_cast<void *>(src),
                  static_cast<void *>(prs->node), label.c_str());
          return true;
        });
    fprintf(fp, "}\n");
  } catch (const std::bad_alloc &) {
  }
}
