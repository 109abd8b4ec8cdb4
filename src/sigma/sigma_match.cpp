// The Sigma evaluator: field cache, routing, literal prefilter, predicates and
// postfix condition evaluation.
#include "sigma/sigma_match.h"

#include <arpa/inet.h>
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "sigma/sigma_internal.h"

namespace {

constexpr uint32_t kMaxCandidates = 16;
constexpr uint32_t kStackDepth = 64;
constexpr uint32_t kAutoPrefilterRules = 255;

// The routing fields, in the order they are consulted.
constexpr struct {
  const char *name;
  uint32_t len;
} kRouteFields[] = {
    {"event.category", 14}, {"techno", 6},         {"product", 7},
    {"technology", 10},     {"observer.product", 16}, {"event.provider", 14},
    {"event.module", 12},   {"event.dataset", 13},   {"log.syslog.appname", 18},
};

// The process-wide regular-expression match context, created once.
pthread_once_t g_mctx_once = PTHREAD_ONCE_INIT;
pcre2_match_context *g_mctx = nullptr;

void sigma_re_mctx_init() {
  g_mctx = pcre2_match_context_create(nullptr);
  if (g_mctx) {
    pcre2_set_match_limit(g_mctx, 100000);
    pcre2_set_depth_limit(g_mctx, 10000);
  }
}

uint32_t hash_bytes(const uint8_t *p, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 16777619u;
  return h;
}

} // namespace

struct sigma_eval_t {
  const sigma_db_t *db = nullptr;
  // Field cache: a field's entry is valid when its stamp equals epoch.
  std::vector<const char *> fv_ptr;
  std::vector<uint32_t> fv_len;
  std::vector<uint32_t> fv_stamp;
  pcre2_match_data *match_data = nullptr;
  std::vector<uint32_t> clause_mask;
  std::vector<uint32_t> clause_stamp;
  std::vector<uint32_t> eval_stamp;
  uint32_t epoch = 0;
  uint32_t cur_field = 0;
  struct {
    std::vector<uint32_t> seen;
    uint32_t epoch = 0;
    uint64_t probes = 0;
  } scratch;
  sigma_eval_stats_t stats{};
  int prefilter = SIGMA_PREFILTER_AUTO;

  // Derived at creation.
  bool has_clauses = false;          // prefilter usable: clause masks exist
  std::vector<uint32_t> scan_fields; // fields with needle tables, in order
  std::vector<uint32_t> bucket_hash; // open addressing: bucket index or SIGMA_NONE
  uint32_t bucket_hash_mask = 0;

  // Per-event state.
  sigma_field_fn fn = nullptr;
  void *ctx = nullptr;
  sigma_hit_t *hits = nullptr;
  uint32_t max_hits = 0;
  uint32_t n_hits = 0;
};

namespace {

// ---- field values -------------------------------------------------------------

inline const char *field_value(sigma_eval_t *ev, uint32_t f, uint32_t *len) {
  if (ev->fv_stamp[f] != ev->epoch) {
    const sigma_str_t &s = ev->db->fields[f];
    size_t n = 0;
    const char *p = ev->fn(ev->ctx, ev->db->strpool + s.off, s.len, &n);
    ev->fv_ptr[f] = p;
    ev->fv_len[f] = p ? uint32_t(n > 0xFFFFFFFFu ? 0xFFFFFFFFu : n) : 0;
    ev->fv_stamp[f] = ev->epoch;
  }
  *len = ev->fv_len[f];
  return ev->fv_ptr[f];
}

void advance_epoch(sigma_eval_t *ev) {
  if (++ev->epoch == 0) {
    std::fill(ev->clause_stamp.begin(), ev->clause_stamp.end(), 0);
    std::fill(ev->eval_stamp.begin(), ev->eval_stamp.end(), 0);
    std::fill(ev->fv_stamp.begin(), ev->fv_stamp.end(), 0);
    ev->epoch = 1;
  }
}

// ---- comparisons --------------------------------------------------------------

inline bool eq_bytes(const char *a, const char *b, size_t n, bool cs) {
  if (cs) return std::memcmp(a, b, n) == 0;
  for (size_t i = 0; i < n; i++)
    if (sigma_fold(uint8_t(a[i])) != sigma_fold(uint8_t(b[i]))) return false;
  return true;
}

bool sg_eq(const char *v, size_t vn, const char *c, size_t cn, bool cs) {
  return vn == cn && eq_bytes(v, c, cn, cs);
}
bool sg_starts(const char *v, size_t vn, const char *c, size_t cn, bool cs) {
  return vn >= cn && eq_bytes(v, c, cn, cs);
}
bool sg_ends(const char *v, size_t vn, const char *c, size_t cn, bool cs) {
  return vn >= cn && eq_bytes(v + vn - cn, c, cn, cs);
}
bool sg_contains(const char *v, size_t vn, const char *c, size_t cn, bool cs) {
  if (cn == 0) return true;
  if (cn > vn) return false;
  if (cs) return memmem(v, vn, c, cn) != nullptr;
  return sigma_memmem_ci(v, vn, c, cn) != nullptr;
}

bool int_compare(uint8_t op, int64_t v, int64_t x) {
  switch (op) {
  case SIGMA_OP_GT: return v > x;
  case SIGMA_OP_GTE: return v >= x;
  case SIGMA_OP_LT: return v < x;
  case SIGMA_OP_LTE: return v <= x;
  case SIGMA_OP_NUMEQ: return v == x;
  default: return false;
  }
}

bool re_match(sigma_eval_t *ev, uint32_t slot, const char *v, size_t vn) {
  const sigma_db_t *db = ev->db;
  if (!db->re || slot >= db->re->code.size() || !db->re->code[slot]) return false;
  pthread_once(&g_mctx_once, sigma_re_mctx_init);
  if (!ev->match_data) {
    ev->match_data = pcre2_match_data_create(1, nullptr);
    if (!ev->match_data) return false;
  }
  static const char kEmpty[1] = {0};
  int rc = pcre2_match(static_cast<pcre2_code *>(db->re->code[slot]),
                       reinterpret_cast<PCRE2_SPTR>(v ? v : kEmpty), vn, 0, 0, ev->match_data,
                       g_mctx);
  return rc >= 0; // errors, limits included, are no match
}

bool pred_raw(sigma_eval_t *ev, uint32_t pi) {
  const sigma_db_t *db = ev->db;
  const sigma_pred_t &p = db->preds[pi];
  uint32_t vn = 0;
  const char *v = p.field_id < db->n_fields ? field_value(ev, p.field_id, &vn) : nullptr;
  if (p.op == SIGMA_OP_EXISTS) return v && vn > 0;
  if (!v) return false;
  switch (p.op) {
  case SIGMA_OP_EQ:
  case SIGMA_OP_CONTAINS:
  case SIGMA_OP_STARTSWITH:
  case SIGMA_OP_ENDSWITH: {
    const char *c;
    uint32_t cn = 0;
    if (p.flags & SIGMA_PF_FIELDREF) {
      if (p.value_id > 0xFFFF || p.value_id >= db->n_fields) return false;
      c = field_value(ev, p.value_id, &cn);
      if (!c) return false;
    } else {
      if (p.value_id >= db->n_values) return false;
      c = db->strpool + db->values[p.value_id].off;
      cn = db->values[p.value_id].len;
    }
    bool cs = p.flags & SIGMA_PF_CASE;
    switch (p.op) {
    case SIGMA_OP_EQ: return sg_eq(v, vn, c, cn, cs);
    case SIGMA_OP_CONTAINS: return sg_contains(v, vn, c, cn, cs);
    case SIGMA_OP_STARTSWITH: return sg_starts(v, vn, c, cn, cs);
    default: return sg_ends(v, vn, c, cn, cs);
    }
  }
  case SIGMA_OP_RE: return re_match(ev, pi, v, vn);
  case SIGMA_OP_CIDR:
    return p.value_id < db->n_cidrs && sigma_ip_in_cidr(v, vn, &db->cidrs[p.value_id]);
  case SIGMA_OP_GT:
  case SIGMA_OP_GTE:
  case SIGMA_OP_LT:
  case SIGMA_OP_LTE:
  case SIGMA_OP_NUMEQ: {
    int64_t x;
    return sigma_parse_int(v, vn, &x) && int_compare(p.op, x, p.ival);
  }
  default: return false;
  }
}

inline bool pred_match(sigma_eval_t *ev, uint32_t pi) {
  bool r = pred_raw(ev, pi);
  return (ev->db->preds[pi].flags & SIGMA_PF_NEGATE) ? !r : r;
}

// A selection: AND over runs of adjacent predicates with equal group_id, OR
// within a run.
bool sel_match(sigma_eval_t *ev, uint32_t si) {
  const sigma_db_t *db = ev->db;
  if (si >= db->n_sels) return false;
  const sigma_sel_t &s = db->sels[si];
  if (s.pred_count == 0) return false;
  const uint32_t end = s.pred_start + s.pred_count;
  bool group_true = false;
  uint16_t group = db->preds[s.pred_start].group_id;
  for (uint32_t i = s.pred_start; i < end; i++) {
    const uint16_t g = db->preds[i].group_id;
    if (i != s.pred_start && g != group) {
      if (!group_true) return false;
      group = g;
      group_true = false;
    }
    if (!group_true && pred_match(ev, i)) group_true = true;
  }
  return group_true;
}

// ---- conditions ---------------------------------------------------------------

struct stack_entry {
  int8_t known; // -1 pending, 0 false, 1 true
  uint8_t neg;
  uint32_t sel;
};

inline bool resolve(sigma_eval_t *ev, const sigma_rule_t &r, stack_entry &e) {
  if (e.known < 0) {
    bool v = e.sel < r.sel_count && sel_match(ev, r.sel_start + e.sel);
    e.known = int8_t((v != bool(e.neg)) ? 1 : 0);
  }
  return e.known == 1;
}

bool rule_fires(sigma_eval_t *ev, const sigma_rule_t &r) {
  if (r.cond_count == 0) {
    if (r.sel_count == 0) return false;
    for (uint32_t s = 0; s < r.sel_count; s++)
      if (!sel_match(ev, r.sel_start + s)) return false;
    return true;
  }
  stack_entry st[kStackDepth];
  uint32_t sp = 0;
  const sigma_ctok_t *tok = ev->db->cond + r.cond_start;
  for (uint32_t i = 0; i < r.cond_count; i++) {
    switch (tok[i].kind) {
    case SIGMA_C_SEL:
      if (tok[i].sel_idx >= r.sel_count || sp == kStackDepth) return false;
      st[sp++] = stack_entry{-1, 0, tok[i].sel_idx};
      break;
    case SIGMA_C_NOT:
      if (sp < 1) return false;
      if (st[sp - 1].known < 0)
        st[sp - 1].neg ^= 1;
      else
        st[sp - 1].known = int8_t(!st[sp - 1].known);
      break;
    case SIGMA_C_AND:
    case SIGMA_C_OR: {
      if (sp < 2) return false;
      stack_entry &left = st[sp - 2];
      stack_entry &right = st[sp - 1];
      bool lv = resolve(ev, r, left);
      bool v;
      if (tok[i].kind == SIGMA_C_AND)
        v = lv ? resolve(ev, r, right) : false;
      else
        v = lv ? true : resolve(ev, r, right);
      sp--;
      st[sp - 1] = stack_entry{int8_t(v ? 1 : 0), 0, 0};
      break;
    }
    default: return false;
    }
  }
  return sp == 1 && resolve(ev, r, st[0]);
}

void eval_one_rule(sigma_eval_t *ev, uint32_t ri) {
  if (ev->eval_stamp[ri] == ev->epoch) return;
  ev->eval_stamp[ri] = ev->epoch;
  const sigma_db_t *db = ev->db;
  const sigma_rule_t &r = db->rules[ri];
  if (!rule_fires(ev, r)) return;
  if (ev->hits && ev->n_hits < ev->max_hits) {
    sigma_hit_t &h = ev->hits[ev->n_hits];
    h.rule_id = r.rule_id;
    h.verdict = r.verdict;
    h.severity = r.severity;
    h.score_x100 = r.score_x100;
    h.mitre = nullptr;
    h.mitre_len = 0;
    if (r.mitre_id < db->n_values) {
      h.mitre = db->strpool + db->values[r.mitre_id].off;
      h.mitre_len = db->values[r.mitre_id].len;
    }
  }
  ev->n_hits++;
}

// ---- the prefilter ------------------------------------------------------------

inline void mark_clause(sigma_eval_t *ev, uint32_t rule, uint32_t clause) {
  if (ev->clause_stamp[rule] != ev->epoch) {
    ev->clause_stamp[rule] = ev->epoch;
    ev->clause_mask[rule] = 0;
  }
  ev->clause_mask[rule] |= 1u << clause;
}

inline void teddy_walk(sigma_eval_t *ev, const sigma_teddy_t *t, uint32_t i, const uint8_t *v,
                       uint32_t p, uint32_t vn) {
  const sigma_db_t *db = ev->db;
  const uint32_t remain = vn - p;
  uint64_t probes = 0;
  for (; i != SIGMA_NONE; i = t->needles[i].next) {
    const sigma_teddy_needle &nd = t->needles[i];
    probes++;
    if (ev->scratch.seen[nd.id] == ev->scratch.epoch || remain < nd.len) continue;
    if (nd.third != 0xFFFF && nd.third != sigma_fold(v[p + 2])) continue;
    // Needles that share a prefix share a chain: compare their folded last
    // 8 bytes first, then the rest.
    uint32_t head_len = nd.len;
    if (nd.len >= 8) {
      uint64_t x;
      std::memcpy(&x, v + p + nd.len - 8, 8);
      if (sigma_fold8(x) != nd.tail8) continue;
      head_len = nd.len - 8;
    }
    if (!eq_bytes(reinterpret_cast<const char *>(v + p), reinterpret_cast<const char *>(nd.bytes),
                  head_len, false))
      continue;
    ev->scratch.seen[nd.id] = ev->scratch.epoch;
    ev->stats.literal_hits++;
    const sigma_litpost_t &lp = db->litpost[nd.id];
    for (uint32_t k = 0; k < lp.idx_count; k++) {
      const sigma_litref_t &ref = db->litpost_ref[lp.idx_start + k];
      if (ref.field_id == SIGMA_ANY_FIELD || ref.field_id == ev->cur_field)
        mark_clause(ev, ref.rule_idx, ref.clause_idx);
    }
  }
  ev->scratch.probes += probes;
}

// Probes position p: the long chain of the three-byte key when at least
// three bytes remain, the short chain of the two-byte key when there are
// short needles; each only when the key filter lets it through.
inline void teddy_probe_at(sigma_eval_t *ev, const sigma_teddy_t *t, const uint8_t *v, uint32_t p,
                           uint32_t vn) {
  const uint32_t key2 = sigma_fold(v[p]) + 256u * sigma_fold(v[p + 1]);
  const uint32_t log2 = t->key_bits_log2;
  if (vn - p >= 3) {
    const uint32_t key3 = key2 + 65536u * sigma_fold(v[p + 2]);
    if (sigma_teddy_test(t->long_bits.data(), key3, log2)) {
      uint32_t head = t->long_head[sigma_teddy_slot(key3, t->bits)];
      if (head != SIGMA_NONE) teddy_walk(ev, t, head, v, p, vn);
    }
  }
  if (t->n_short > 0 && sigma_teddy_test(t->short_bits.data(), key2, log2)) {
    uint32_t head = t->short_head[sigma_teddy_slot(key2, t->bits)];
    if (head != SIGMA_NONE) teddy_walk(ev, t, head, v, p, vn);
  }
}

// Scans one value: every position 0 .. vn-2 is probed.
void teddy_scan(sigma_eval_t *ev, const sigma_teddy_t *t, const uint8_t *v, uint32_t vn) {
  const uint32_t last = vn - 1;
  for (uint32_t p = 0; p < last; p++) teddy_probe_at(ev, t, v, p, vn);
}

void prefilter_pass(sigma_eval_t *ev, const uint32_t *cand, uint32_t n_cand) {
  const sigma_db_t *db = ev->db;
  // Numeric and network clauses.
  for (uint32_t i = 0; i < db->n_fwit; i++) {
    const sigma_fwit_t &w = db->fwit[i];
    uint32_t vn;
    const char *v = field_value(ev, w.field_id, &vn);
    if (!v || vn == 0) continue;
    bool ok;
    if (w.op == SIGMA_OP_CIDR) {
      ok = w.ival >= 0 && w.ival < int64_t{db->n_cidrs} &&
           sigma_ip_in_cidr(v, vn, &db->cidrs[w.ival]);
    } else {
      int64_t x;
      ok = sigma_parse_int(v, vn, &x) && int_compare(w.op, x, w.ival);
    }
    if (ok) mark_clause(ev, w.rule_idx, w.clause_idx);
  }
  if (!db->teddy) return;
  for (uint32_t f : ev->scan_fields) {
    const sigma_teddy_t *t = db->teddy;
    if (!db->lit_any_field) {
      if (db->bucket_fields) {
        bool wanted = false;
        const uint32_t byte = f >> 3, bit = 1u << (f & 7);
        for (uint32_t c = 0; c < n_cand && !wanted; c++)
          wanted = db->bucket_fields[uint64_t{cand[c]} * db->bucket_fields_stride + byte] & bit;
        if (!wanted) continue;
      }
      if (db->field_teddy) t = db->field_teddy[f];
    }
    uint32_t vn;
    const char *v = field_value(ev, f, &vn);
    if (!v || vn < 2) continue;
    ev->cur_field = f;
    if (++ev->scratch.epoch == 0) {
      std::fill(ev->scratch.seen.begin(), ev->scratch.seen.end(), 0);
      ev->scratch.epoch = 1;
    }
    ev->stats.bytes_scanned += vn;
    teddy_scan(ev, t, reinterpret_cast<const uint8_t *>(v), vn);
  }
}

inline bool rule_is_candidate(const sigma_eval_t *ev, uint32_t r) {
  const uint32_t need = ev->db->clause_need[r];
  if (need == 0) return true;
  return ev->clause_stamp[r] == ev->epoch && (ev->clause_mask[r] & need) == need;
}

// ---- routing ------------------------------------------------------------------

uint32_t find_bucket(const sigma_eval_t *ev, const char *v, size_t n) {
  if (ev->bucket_hash.empty()) return SIGMA_NONE;
  const sigma_db_t *db = ev->db;
  uint32_t h = hash_bytes(reinterpret_cast<const uint8_t *>(v), n) & ev->bucket_hash_mask;
  for (;; h = (h + 1) & ev->bucket_hash_mask) {
    uint32_t b = ev->bucket_hash[h];
    if (b == SIGMA_NONE) return SIGMA_NONE;
    const sigma_str_t &k = db->bucket_keys[b];
    if (k.len == n && std::memcmp(db->strpool + k.off, v, n) == 0) return b;
  }
}

void begin_event(sigma_eval_t *ev, sigma_field_fn fn, void *ctx, sigma_hit_t *hits, uint32_t max_hits) {
  advance_epoch(ev);
  ev->fn = fn;
  ev->ctx = ctx;
  ev->hits = hits;
  ev->max_hits = hits ? max_hits : 0;
  ev->n_hits = 0;
}

} // namespace

// ---- public helpers -------------------------------------------------------------

const char *sigma_memmem_ci(const char *hay, size_t hay_len, const char *needle, size_t needle_len) {
  if (needle_len == 0) return hay;
  if (needle_len > hay_len) return nullptr;
  const uint8_t first = sigma_fold(uint8_t(needle[0]));
  const uint8_t upper = (first >= 'a' && first <= 'z') ? uint8_t(first - 32) : first;
  const size_t last = hay_len - needle_len; // last candidate position
  size_t p = 0;
#ifdef __SSE2__
  const __m128i lo = _mm_set1_epi8(char(first)), up = _mm_set1_epi8(char(upper));
  for (; p + 16 <= last + 1; p += 16) {
    __m128i blk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(hay + p));
    uint32_t m = uint32_t(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(blk, lo), _mm_cmpeq_epi8(blk, up))));
    while (m) {
      size_t q = p + size_t(__builtin_ctz(m));
      if (eq_bytes(hay + q + 1, needle + 1, needle_len - 1, false)) return hay + q;
      m &= m - 1;
    }
  }
#endif
  for (; p <= last; p++)
    if (sigma_fold(uint8_t(hay[p])) == first && eq_bytes(hay + p + 1, needle + 1, needle_len - 1, false))
      return hay + p;
  return nullptr;
}

bool sigma_parse_int(const char *p, size_t n, int64_t *out) {
  size_t i = 0;
  bool neg = false;
  if (n > 0 && (p[0] == '+' || p[0] == '-')) {
    if (n < 2) return false;
    neg = p[0] == '-';
    i = 1;
  }
  if (i >= n || p[i] < '0' || p[i] > '9') return false;
  // Accumulate as a negative number so that INT64_MIN is representable.
  int64_t acc = 0;
  bool sat = false;
  for (; i < n && p[i] >= '0' && p[i] <= '9'; i++) {
    int d = p[i] - '0';
    if (sat) continue;
    if (acc < (INT64_MIN + d) / 10) {
      sat = true;
      continue;
    }
    acc = acc * 10 - d;
  }
  if (sat) {
    *out = neg ? INT64_MIN : INT64_MAX;
  } else if (neg) {
    *out = acc;
  } else {
    *out = acc == INT64_MIN ? INT64_MAX : -acc;
  }
  return true;
}

bool sigma_ip_in_cidr(const char *p, size_t n, const sigma_cidr_t *c) {
  if (!p || n < 1 || n > 45 || !c) return false;
  char buf[46];
  std::memcpy(buf, p, n);
  buf[n] = '\0';
  uint8_t addr[16];
  uint32_t width;
  if (c->family == 4) {
    if (inet_pton(AF_INET, buf, addr) != 1) return false;
    width = 32;
  } else if (c->family == 6) {
    if (inet_pton(AF_INET6, buf, addr) != 1) return false;
    width = 128;
  } else {
    return false;
  }
  if (c->prefix > width) return false;
  const uint32_t whole = c->prefix / 8, rest = c->prefix % 8;
  if (std::memcmp(addr, c->net, whole) != 0) return false;
  if (rest) {
    const uint8_t mask = uint8_t(0xFF << (8 - rest));
    if ((addr[whole] & mask) != (c->net[whole] & mask)) return false;
  }
  return true;
}

// ---- evaluator ------------------------------------------------------------------

sigma_eval_t *sigma_eval_create(const sigma_db_t *db) {
  if (!db) return nullptr;
  try {
    auto *ev = new sigma_eval_t;
    ev->db = db;
    const size_t nf = db->n_fields ? db->n_fields : 1;
    ev->fv_ptr.assign(nf, nullptr);
    ev->fv_len.assign(nf, 0);
    ev->fv_stamp.assign(nf, 0);
    ev->eval_stamp.assign(db->n_rules, 0);
    ev->has_clauses = db->clause_need && (db->teddy || db->n_fwit > 0);
    if (ev->has_clauses) {
      ev->clause_mask.assign(db->n_rules, 0);
      ev->clause_stamp.assign(db->n_rules, 0);
    }
    if (db->teddy) {
      ev->scratch.seen.assign(db->n_litndl, 0);
      for (uint32_t f = 0; f < db->n_fields; f++)
        if (db->lit_any_field || !db->field_teddy || db->field_teddy[f]) ev->scan_fields.push_back(f);
    }
    if (db->n_buckets > 0) {
      uint32_t size = 16;
      while (size < 2ull * db->n_buckets) size <<= 1;
      ev->bucket_hash.assign(size, SIGMA_NONE);
      ev->bucket_hash_mask = size - 1;
      for (uint32_t b = 0; b < db->n_buckets; b++) {
        const sigma_str_t &k = db->bucket_keys[b];
        if (k.len == 0) continue; // the any-bucket is never selected by a value
        const char *kp = db->strpool + k.off;
        uint32_t h = hash_bytes(reinterpret_cast<const uint8_t *>(kp), k.len) & ev->bucket_hash_mask;
        bool dup = false;
        for (; ev->bucket_hash[h] != SIGMA_NONE; h = (h + 1) & ev->bucket_hash_mask) {
          const sigma_str_t &o = db->bucket_keys[ev->bucket_hash[h]];
          if (o.len == k.len && std::memcmp(db->strpool + o.off, kp, k.len) == 0) dup = true;
        }
        if (!dup) ev->bucket_hash[h] = b; // the first bucket of a key wins
      }
    }
    return ev;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

void sigma_eval_free(sigma_eval_t *ev) {
  if (!ev) return;
  pcre2_match_data_free(ev->match_data);
  delete ev;
}

void sigma_eval_set_prefilter(sigma_eval_t *ev, int mode) {
  if (!ev) return;
  ev->prefilter = mode < 0 ? 0 : mode > 2 ? 2 : mode;
}

void sigma_eval_get_stats(const sigma_eval_t *ev, sigma_eval_stats_t *out) {
  if (!out) return;
  *out = ev ? ev->stats : sigma_eval_stats_t{};
}

void sigma_eval_reset_stats(sigma_eval_t *ev) {
  if (ev) ev->stats = sigma_eval_stats_t{};
}

uint32_t sigma_eval_run_linear(sigma_eval_t *ev, sigma_field_fn fn, void *ctx, sigma_hit_t *hits,
                               uint32_t max_hits) {
  if (!ev || !fn) return 0;
  begin_event(ev, fn, ctx, hits, max_hits);
  for (uint32_t r = 0; r < ev->db->n_rules; r++) eval_one_rule(ev, r);
  return ev->n_hits;
}

uint32_t sigma_eval_run(sigma_eval_t *ev, sigma_field_fn fn, void *ctx, sigma_hit_t *hits,
                        uint32_t max_hits) {
  if (!ev || !fn) return 0;
  const sigma_db_t *db = ev->db;
  begin_event(ev, fn, ctx, hits, max_hits);
  ev->stats.events++;

  uint32_t cand[kMaxCandidates];
  uint32_t n_cand = 0;
  bool routed = false;
  if (db->n_buckets > 0) {
    auto add = [&](uint32_t b) {
      if (b == SIGMA_NONE || n_cand == kMaxCandidates) return;
      for (uint32_t c = 0; c < n_cand; c++)
        if (cand[c] == b) return;
      cand[n_cand++] = b;
    };
    for (uint32_t k = 0; k < sizeof kRouteFields / sizeof kRouteFields[0]; k++) {
      const char *v;
      size_t vn = 0;
      if (k == 0 && db->cat_field_id != SIGMA_NONE) {
        uint32_t n32;
        v = field_value(ev, db->cat_field_id, &n32);
        vn = n32;
      } else {
        v = fn(ctx, kRouteFields[k].name, kRouteFields[k].len, &vn);
      }
      if (!v || vn == 0) continue;
      routed = true;
      add(find_bucket(ev, v, vn));
    }
    add(db->av_bucket);
  }

  if (!routed) {
    ev->stats.rules_considered += db->n_rules;
    ev->stats.rules_evaluated += db->n_rules;
    for (uint32_t r = 0; r < db->n_rules; r++) eval_one_rule(ev, r);
    return ev->n_hits;
  }
  if (n_cand == 0) return 0;

  bool use_pf = false;
  if (ev->has_clauses && ev->prefilter != SIGMA_PREFILTER_OFF) {
    for (uint32_t c = 0; c < n_cand; c++) {
      if (cand[c] == db->av_bucket) continue;
      if (ev->prefilter == SIGMA_PREFILTER_ALWAYS || db->buckets[cand[c]].idx_count > kAutoPrefilterRules) {
        use_pf = true;
        break;
      }
    }
  }
  if (use_pf) {
    prefilter_pass(ev, cand, n_cand);
    ev->stats.prefilter_runs++;
    ev->stats.literal_probes = ev->scratch.probes;
  }
  for (uint32_t c = 0; c < n_cand; c++) {
    const sigma_bucket_t &b = db->buckets[cand[c]];
    ev->stats.rules_considered += b.idx_count;
    const uint32_t *idx = db->bucket_idx + b.idx_start;
    for (uint32_t k = 0; k < b.idx_count; k++) {
      const uint32_t r = idx[k];
      if (use_pf && !rule_is_candidate(ev, r)) continue;
      ev->stats.rules_evaluated++;
      eval_one_rule(ev, r);
    }
  }
  return ev->n_hits;
}
