// Parse DAG: nodes joined by field-parser edges. The loader builds it, the
// optimiser sorts and compacts it once, and the walker and the VaderAD
// compiler read it; both depend on the edge order fixed here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <unordered_set>
#include <vector>

#include "normalizer/context.h"

typedef uint8_t prsid_t;
#define PRSID_USER_DEFINED 254
#define PRSID_NONE 255
#define LN_NPARSER_TYPES 32
#define LN_PDAG_MAX_EDGES 255 // a node's edge count is 8 bits and never wraps

// Parser ids (rows of parser_lookup_table); stable, shared by both engines.
enum {
  PRS_LITERAL = 0, PRS_REPEAT = 1, PRS_DATE_RFC3164 = 2, PRS_DATE_RFC5424 = 3,
  PRS_NUMBER = 4, PRS_FLOAT = 5, PRS_HEXNUMBER = 6, PRS_KERNEL_TIMESTAMP = 7,
  PRS_WHITESPACE = 8, PRS_IPV4 = 9, PRS_IPV6 = 10, PRS_WORD = 11, PRS_ALPHA = 12,
  PRS_REST = 13, PRS_OP_QUOTED_STRING = 14, PRS_QUOTED_STRING = 15,
  PRS_DATE_ISO = 16, PRS_TIME_24HR = 17, PRS_TIME_12HR = 18, PRS_DURATION = 19,
  PRS_CISCO_INTERFACE_SPEC = 20, PRS_JSON = 21, PRS_CEE_SYSLOG = 22,
  PRS_MAC48 = 23, PRS_CEF = 24, PRS_V2_IPTABLES = 25, PRS_NAME_VALUE_LIST = 26,
  PRS_CHECKPOINT_LEA = 27, PRS_STRING_TO = 28, PRS_CHAR_TO = 29,
  PRS_CHAR_SEP = 30, PRS_STRING = 31
};

struct ln_pdag;

// One edge.
struct ln_parser_s {
  prsid_t prsid;          // parser id, or PRSID_USER_DEFINED
  struct ln_pdag *node;   // target node (shared through its refcnt)
  void *parser_data;      // constructor's private data, owned
  int custType;           // index into ctx->type_pdags for id 254, else -1
  int prio;               // user priority * 256 + built-in priority % 256
  char *name;             // field name, owned; null keeps no value
  char *conf;             // JSON text of the whole descriptor, owned
};
typedef struct ln_parser_s ln_parser_t;

struct ln_pdag {
  ln_ctx ctx;
  ln_parser_t *parsers;   // owned edge array
  prsid_t nparsers;
  struct {
    unsigned isTerminal : 1;
    unsigned visited : 1;
  } flags;
  struct fjson_object *tags; // tags of the rule ending here, or null
  uint32_t rewrite_id;       // 1-based rewrite table number, 0 for none
  int refcnt;
  struct {
    uint32_t called;
    uint32_t backtracked;
    uint32_t terminated;
  } stats;
  char *rb_id;               // path ID
  char *rb_file;             // rulebase file of the rule ending here
  uint32_t rb_lineno;
  uint32_t rule_idx;         // rule ending here (1-based, rules.h), 0 for none
};

struct pdag_stats {
  int nodes;
  int term_nodes;
  int parsers;
  int max_nparsers;
  int nparsers_cnt[100];
  int nparsers_100plus;
  int prs_cnt[LN_NPARSER_TYPES];
};

prsid_t ln_parserName2ID(const char *name);
// Type name for printing: table name, "USER-DEFINED" for 254, else "INVALID".
const char *ln_parserName(prsid_t id);
int ln_pdagFindType(ln_ctx ctx, const char *name, int bAdd);
struct ln_pdag *ln_newPDAG(ln_ctx ctx);
ln_parser_t *ln_newParser(ln_ctx ctx, struct fjson_object *prscnf);
int ln_pdagAddParser(ln_ctx ctx, struct ln_pdag **pdag, struct fjson_object *prscnf);
void ln_pdagDelete(struct ln_pdag *pdag);
int ln_pdagOptimize(ln_ctx ctx);
void ln_displayPDAG(ln_ctx ctx);
void ln_displayPDAGComponent(struct ln_pdag *dag, int level);
void ln_displayPDAGComponentAlternative(struct ln_pdag *dag, int level);
void ln_fullPdagStats(ln_ctx ctx, FILE *fp, int extendedStats);
void ln_fullPDagStatsDOT(ln_ctx ctx, FILE *fp);
void ln_genDotPDAGGraph(struct ln_pdag *dag, es_str_t **str);

// Calls fn(node) once for every node reachable from root (preorder, edges in
// array order). fn runs before the node's edges are followed, so it may
// rewrite them. Iterative: a rule of thousands of literal characters is a
// chain of thousands of nodes.
template <class Fn>
void ln_pdagForEachNode(struct ln_pdag *root, Fn fn) {
  if (root == nullptr) return;
  std::unordered_set<struct ln_pdag *> seen;
  std::vector<struct ln_pdag *> stack{root};
  while (!stack.empty()) {
    struct ln_pdag *n = stack.back();
    stack.pop_back();
    if (!seen.insert(n).second) continue;
    fn(n);
    for (int i = n->nparsers - 1; i >= 0; --i)
      if (n->parsers[i].node != nullptr) stack.push_back(n->parsers[i].node);
  }
}
