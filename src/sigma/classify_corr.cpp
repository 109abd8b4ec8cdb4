// The correlation engine: per-rule group tables, time windows, every
// correlation type, suppression, the sweep of idle groups and statistics.
#include "sigma/classify_corr.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr size_t kMaxRids = 64;      // rule-id table of a group, matching ids per event
constexpr size_t kReorderCap = 32;   // reorder buffer pairs per group
constexpr double kNoTime = -std::numeric_limits<double>::infinity();

enum stat_id {
  ST_GROUPS_EVICTED,
  ST_DISTINCT_EVICTED,
  ST_RING_EVICTED,
  ST_FIRES_SUPPRESSED,
  ST_FIRES_DROPPED,
  ST_RULES_REJECTED,
  ST_GROUP_FIELD_MISSING,
  ST_RID_TABLE_FULL,
  ST_RIDS_OVERFLOW,
  ST_GROUP_VALUES_DROPPED,
  ST_ALLOC_FAILURES,
  ST_NON_NUMERIC,
  ST_RPN_REJECTED,
  ST_LATE_EVENTS,
  ST_RING_PRESSURE,
  ST__COUNT
};

/* ---- keyed hash ----------------------------------------------------------
 * Group keys and distinct values come from the events, so their hash is
 * keyed with a per-engine random key: chosen values cannot force every group
 * into one chain. SipHash-2-4. */

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

#define SIPROUND                                                                               \
  do {                                                                                         \
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);                                  \
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;                                                     \
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;                                                     \
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);                                  \
  } while (0)

uint64_t siphash(const void *data, size_t len, uint64_t k0, uint64_t k1) {
  const unsigned char *in = static_cast<const unsigned char *>(data);
  uint64_t v0 = 0x736f6d6570736575ull ^ k0, v1 = 0x646f72616e646f6dull ^ k1;
  uint64_t v2 = 0x6c7967656e657261ull ^ k0, v3 = 0x7465646279746573ull ^ k1;
  const size_t whole = len & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t m = 0;
    for (int b = 7; b >= 0; --b) m = (m << 8) | in[i + static_cast<size_t>(b)];
    v3 ^= m;
    SIPROUND;
    SIPROUND;
    v0 ^= m;
  }
  uint64_t m = static_cast<uint64_t>(len) << 56;
  for (size_t i = whole; i < len; ++i) m |= static_cast<uint64_t>(in[i]) << (8 * (i - whole));
  v3 ^= m;
  SIPROUND;
  SIPROUND;
  v0 ^= m;
  v2 ^= 0xff;
  SIPROUND;
  SIPROUND;
  SIPROUND;
  SIPROUND;
  return v0 ^ v1 ^ v2 ^ v3;
}
#undef SIPROUND

struct hash_key {
  uint64_t k0 = 0, k1 = 0;
};

struct keyed_hash {
  const hash_key *key;
  size_t operator()(std::string_view s) const { return siphash(s.data(), s.size(), key->k0, key->k1); }
};

/* ---- time ring ------------------------------------------------------------
 * Event times (and, for value types, values) in arrival order. The storage
 * grows by doubling up to the cap, so an idle group costs little. */
struct time_ring {
  std::vector<double> t, v;
  size_t head = 0, count = 0;

  double time_at(size_t i) const { return t[(head + i) % t.size()]; }
  double value_at(size_t i) const { return v[(head + i) % t.size()]; }

  void grow(size_t size, bool values) {
    std::vector<double> nt(size), nv(values ? size : 0);
    for (size_t i = 0; i < count; ++i) {
      nt[i] = time_at(i);
      if (values) nv[i] = value_at(i);
    }
    t.swap(nt);
    v.swap(nv);
    head = 0;
  }

  // Pushes (time, value); when the ring is at cap the oldest entry is
  // overwritten and its time returned through `evicted`.
  bool push(double time, double value, bool values, size_t cap, double *evicted) {
    if (values && v.size() != t.size()) {
      std::vector<double> nv(t.size());
      v.swap(nv);
    }
    bool over = false;
    if (count == t.size()) {
      if (t.size() < cap) {
        grow(std::min(cap, std::max<size_t>(8, t.size() * 2)), values);
      } else {
        *evicted = t[head];
        head = (head + 1) % t.size();
        --count;
        over = true;
      }
    }
    size_t at = (head + count) % t.size();
    t[at] = time;
    if (values) v[at] = value;
    ++count;
    return over;
  }

  void expire(double window_start) {
    while (count && t[head] < window_start) {
      head = (head + 1) % t.size();
      --count;
    }
  }
};

// Counts and sums contributed by other engine instances, with their time so
// that they leave the window like local events do.
struct contrib_entry {
  double t;
  uint32_t count;
  double sum;
};

struct distinct_entry {
  std::string value;
  double t;
};

struct distinct_table {
  std::list<distinct_entry> lru; // most recently seen first
  std::unordered_map<std::string_view, std::list<distinct_entry>::iterator, keyed_hash> map;
  explicit distinct_table(const hash_key *k) : map(16, keyed_hash{k}) {}
};

struct corr_group {
  std::vector<std::string> values;
  uint64_t hash = 0;
  time_ring ring;
  std::deque<contrib_entry> contrib;
  std::unique_ptr<distinct_table> distinct;
  std::vector<std::pair<uint32_t, double>> rids; // base rule id, last time
  size_t steps = 0;
  double first_step = 0, last_step = 0;
  std::vector<std::pair<double, uint32_t>> reorder; // ascending time
  double high_mark = kNoTime;
  std::vector<std::pair<int64_t, uint32_t>> buckets; // beacon: bucket number, hits
  double last_seen = kNoTime;
  double suppress_until = kNoTime;
  bool remote = false;
  uint64_t remote_mask = 0;
  corr_group *chain = nullptr;
  corr_group *lru_prev = nullptr, *lru_next = nullptr;
};

struct corr_rule_state {
  const corr_rule_t *rule = nullptr;
  std::vector<corr_group *> table;
  size_t n_groups = 0;
  corr_group *lru_head = nullptr, *lru_tail = nullptr; // head: most recent
  std::mutex mu;
  std::vector<double> sort_scratch; // percentile sorting, guarded by mu
  // Base rule id -> its positions in base_rule_ids, ascending.
  std::unordered_map<uint32_t, std::vector<uint32_t>> positions;
};

struct call_out {
  corr_fire_t *fires;
  size_t max_fires;
  char **scratch;
  size_t scratch_cap;
  size_t n_fires = 0;
  size_t scratch_used = 0;
};

} // namespace

struct corr_engine_t {
  std::vector<std::unique_ptr<corr_rule_state>> rules;
  corr_caps_t caps{};
  double last_sweep = 0;
  bool swept = false;
  std::mutex global;
  std::unordered_map<uint32_t, std::vector<uint32_t>> index; // base id -> rule positions
  std::unordered_map<std::string, uint32_t> by_id;
  std::atomic<uint64_t> stats[ST__COUNT];
  hash_key key;

  void count(stat_id s, uint64_t n = 1) { stats[s].fetch_add(n, std::memory_order_relaxed); }
};

namespace {

int64_t to_int64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775807.0) return INT64_MAX;
  if (d <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(d);
}

bool compare(corr_op_t op, double observed, int64_t threshold) {
  const double t = static_cast<double>(threshold);
  switch (op) {
    case CORR_OP_GT: return observed > t;
    case CORR_OP_LTE: return observed <= t;
    case CORR_OP_LT: return observed < t;
    case CORR_OP_EQ: return observed == t;
    default: return observed >= t;
  }
}

bool compare_int(corr_op_t op, uint64_t observed, int64_t threshold) {
  if (threshold < 0) return op == CORR_OP_GTE || op == CORR_OP_GT;
  const uint64_t t = static_cast<uint64_t>(threshold);
  switch (op) {
    case CORR_OP_GT: return observed > t;
    case CORR_OP_LTE: return observed <= t;
    case CORR_OP_LT: return observed < t;
    case CORR_OP_EQ: return observed == t;
    default: return observed >= t;
  }
}

bool is_value_type(corr_type_t t) {
  return t == CORR_VALUE_SUM || t == CORR_VALUE_AVG || t == CORR_VALUE_PERCENTILE ||
         t == CORR_VALUE_MEDIAN;
}

// The decimal number at the start of s: false unless at least one character
// converts and the result is finite.
bool read_number(const char *s, double *out) {
  if (!s) return false;
  char *end = nullptr;
  double d = strtod(s, &end);
  if (end == s || !std::isfinite(d)) return false;
  *out = d;
  return true;
}

// Largest count a ring of this capacity (or a distinct table) can show, and
// whether the threshold can ever be met by a value no larger than that.
bool reachable(corr_op_t op, int64_t threshold, uint64_t most) {
  switch (op) {
    case CORR_OP_GT: return threshold < 0 || static_cast<uint64_t>(threshold) < most;
    case CORR_OP_GTE:
    case CORR_OP_EQ: return threshold <= 0 || static_cast<uint64_t>(threshold) <= most;
    default: return true;
  }
}

bool acceptable(const corr_rule_t &r, const corr_caps_t &caps) {
  if (!r.id || !*r.id) return false;
  if (r.type < 0 || r.type >= CORR_TYPE__MAX) return false;
  if (r.n_base_rule_ids == 0 || !r.base_rule_ids) return false;
  if (r.n_group_by > CORR_MAX_GROUP_BY || (r.n_group_by && !r.group_by)) return false;
  for (size_t i = 0; i < r.n_group_by; ++i)
    if (!r.group_by[i]) return false;
  if (r.timespan_s <= 0) return false;
  if (r.alias_group_by && r.n_alias_group_by != r.n_base_rule_ids) return false;
  if (r.alias_group_by)
    for (size_t i = 0; i < r.n_alias_group_by; ++i) {
      if (!r.alias_group_by[i]) return false;
      for (size_t j = 0; j < r.n_group_by; ++j)
        if (!r.alias_group_by[i][j]) return false;
    }
  if ((r.type == CORR_VALUE_COUNT || is_value_type(r.type)) && (!r.value_field || !*r.value_field))
    return false;
  if (r.type == CORR_VALUE_PERCENTILE && r.value_percentile > 100) return false;
  if (r.type == CORR_BEACONING) {
    if (r.beacon_cv_permille < 1 || r.cond_count < 3) return false;
    if (r.beacon_n_buckets != 0 &&
        (r.beacon_n_buckets < 2 || r.beacon_n_buckets > 1024 || r.beacon_n_buckets > r.timespan_s))
      return false;
  }
  if (r.n_cond && !r.cond) return false;
  // A threshold no state can reach would make the rule silently never fire.
  if (r.type == CORR_EVENT_COUNT && !reachable(r.cond_op, r.cond_count, caps.max_events_per_group))
    return false;
  if (r.type == CORR_VALUE_COUNT && !reachable(r.cond_op, r.cond_count, caps.max_distinct))
    return false;
  if (r.type == CORR_BEACONING) {
    uint64_t most = r.beacon_n_buckets ? static_cast<uint64_t>(r.beacon_n_buckets)
                                       : caps.max_events_per_group;
    if (static_cast<uint64_t>(r.cond_count) > most) return false;
  }
  return true;
}

/* ---- group table ---------------------------------------------------------- */

void lru_unlink(corr_rule_state &rs, corr_group *g) {
  if (g->lru_prev) g->lru_prev->lru_next = g->lru_next;
  else rs.lru_head = g->lru_next;
  if (g->lru_next) g->lru_next->lru_prev = g->lru_prev;
  else rs.lru_tail = g->lru_prev;
  g->lru_prev = g->lru_next = nullptr;
}

void lru_front(corr_rule_state &rs, corr_group *g) {
  g->lru_prev = nullptr;
  g->lru_next = rs.lru_head;
  if (rs.lru_head) rs.lru_head->lru_prev = g;
  rs.lru_head = g;
  if (!rs.lru_tail) rs.lru_tail = g;
}

void remove_group(corr_rule_state &rs, corr_group *g) {
  corr_group **p = &rs.table[g->hash & (rs.table.size() - 1)];
  while (*p && *p != g) p = &(*p)->chain;
  if (*p) *p = g->chain;
  lru_unlink(rs, g);
  --rs.n_groups;
  delete g;
}

bool same_values(const corr_group *g, const char *const *values, size_t n) {
  if (g->values.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (g->values[i] != values[i]) return false;
  return true;
}

uint64_t group_hash(const corr_engine_t *e, const char *const *values, size_t n) {
  // Values joined by NUL bytes: no value holds one, so the encoding is unique.
  thread_local std::string buf;
  buf.clear();
  for (size_t i = 0; i < n; ++i) {
    buf.append(values[i]);
    buf.push_back('\0');
  }
  return siphash(buf.data(), buf.size(), e->key.k0, e->key.k1);
}

// Finds or creates the group; null when memory runs out. Caller holds rs.mu.
corr_group *find_group(corr_engine_t *e, corr_rule_state &rs, const char *const *values, size_t n,
                       uint64_t h) {
  size_t mask = rs.table.size() - 1;
  for (corr_group *g = rs.table[h & mask]; g; g = g->chain)
    if (g->hash == h && same_values(g, values, n)) {
      if (rs.lru_head != g) {
        lru_unlink(rs, g);
        lru_front(rs, g);
      }
      return g;
    }
  try {
    if (rs.n_groups >= e->caps.max_groups && rs.lru_tail) {
      remove_group(rs, rs.lru_tail);
      e->count(ST_GROUPS_EVICTED);
    }
    if ((rs.n_groups + 1) * 4 > rs.table.size() * 3) {
      std::vector<corr_group *> bigger(rs.table.size() * 2, nullptr);
      for (corr_group *chain : rs.table)
        while (chain) {
          corr_group *next = chain->chain;
          corr_group *&slot = bigger[chain->hash & (bigger.size() - 1)];
          chain->chain = slot;
          slot = chain;
          chain = next;
        }
      rs.table.swap(bigger);
      mask = rs.table.size() - 1;
    }
    auto g = std::make_unique<corr_group>();
    g->values.reserve(n);
    for (size_t i = 0; i < n; ++i) g->values.emplace_back(values[i]);
    g->hash = h;
    corr_group *raw = g.release();
    raw->chain = rs.table[h & mask];
    rs.table[h & mask] = raw;
    lru_front(rs, raw);
    ++rs.n_groups;
    return raw;
  } catch (const std::bad_alloc &) {
    e->count(ST_ALLOC_FAILURES);
    return nullptr;
  }
}

/* ---- per-type evaluation --------------------------------------------------- */

struct eval_in {
  double now;
  double window_start;
  const uint32_t *ids; // matching base ids, base_rule_ids order
  size_t n_ids;
  const char *value; // value_field's text, or null
};

void ring_push(corr_engine_t *e, const corr_rule_t &r, corr_group *g, double now, double value,
               bool values) {
  double old = 0;
  if (g->ring.push(now, value, values, e->caps.max_events_per_group, &old)) {
    e->count(ST_RING_EVICTED);
    if (old >= now - r.timespan_s / 2.0) e->count(ST_RING_PRESSURE);
  }
}

void contrib_expire(corr_group *g, double ws) {
  while (!g->contrib.empty() && g->contrib.front().t < ws) g->contrib.pop_front();
}

void contrib_totals(const corr_group *g, uint64_t *count, double *sum) {
  uint64_t c = 0;
  double s = 0;
  for (const contrib_entry &ce : g->contrib) {
    c += ce.count; // at most cap entries of 2^32 each: no wrap in 64 bits
    s += ce.sum;
  }
  *count = c;
  *sum = s;
}

void contrib_add(corr_engine_t *e, corr_group *g, double ts, uint32_t count, double sum) {
  if (g->contrib.size() >= e->caps.max_events_per_group) {
    g->contrib.pop_front();
    e->count(ST_RING_EVICTED);
  }
  // Kept in time order so that expiry from the front is exact.
  auto at = g->contrib.end();
  while (at != g->contrib.begin() && std::prev(at)->t > ts) --at;
  g->contrib.insert(at, contrib_entry{ts, count, sum});
}

void rid_update(corr_engine_t *e, corr_group *g, const uint32_t *ids, size_t n, double now,
                double ws) {
  for (size_t i = 0; i < n; ++i) {
    bool found = false;
    for (auto &p : g->rids)
      if (p.first == ids[i]) {
        p.second = std::max(p.second, now);
        found = true;
        break;
      }
    if (found) continue;
    if (g->rids.size() >= kMaxRids) {
      e->count(ST_RID_TABLE_FULL);
      continue;
    }
    g->rids.emplace_back(ids[i], now);
  }
  g->rids.erase(std::remove_if(g->rids.begin(), g->rids.end(),
                               [ws](const std::pair<uint32_t, double> &p) { return p.second < ws; }),
                g->rids.end());
}

bool rid_seen(const corr_group *g, uint32_t id) {
  for (const auto &p : g->rids)
    if (p.first == id) return true;
  return false;
}

// The temporal decision over the rule-id table and the remote mask.
bool temporal_decide(const corr_rule_t &r, const corr_group *g) {
  uint64_t mask = g->remote_mask;
  const size_t n = std::min(r.n_base_rule_ids, kMaxRids);
  for (size_t k = 0; k < n; ++k)
    if (rid_seen(g, r.base_rule_ids[k])) mask |= uint64_t{1} << k;
  if (r.n_cond) return corr_cond_eval(r.cond, r.n_cond, mask) != 0;
  const uint64_t all = n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
  return (mask & all) == all;
}

bool holds(const uint32_t *ids, size_t n, uint32_t id) {
  for (size_t i = 0; i < n; ++i)
    if (ids[i] == id) return true;
  return false;
}

// Applies one event (or one released pair) to an ordered sequence; true on a
// completion.
bool sequence_apply(const corr_engine_t *e, const corr_rule_t &r, corr_group *g,
                    const uint32_t *ids, size_t n, double t) {
  const uint32_t *steps = r.n_ordered_rule_ids ? r.ordered_rule_ids : r.base_rule_ids;
  const size_t n_steps = r.n_ordered_rule_ids ? r.n_ordered_rule_ids : r.n_base_rule_ids;
  if (g->steps > 0 && g->first_step < t - r.timespan_s) g->steps = 0;
  bool advanced = false;
  while (g->steps < n_steps && holds(ids, n, steps[g->steps])) {
    if (e->caps.event_time_ordering && g->steps > 0 && t < g->last_step) break;
    if (g->steps == 0) g->first_step = t;
    g->last_step = t;
    ++g->steps;
    advanced = true;
  }
  if (g->steps == n_steps) {
    g->steps = 0;
    return true;
  }
  // A repeated first step starts the sequence afresh: A at 0, A at 50 and B
  // at 70 in a 60 s window is a sequence (the second A), not a stale one.
  if (!advanced && g->steps > 0 && holds(ids, n, steps[0])) {
    g->steps = 1;
    g->first_step = g->last_step = t;
  }
  return false;
}

// Releases the buffered pairs up to `limit` (all of them when `all`);
// returns the number of completions.
size_t reorder_release(const corr_engine_t *e, const corr_rule_t &r, corr_group *g, double limit,
                       bool all) {
  size_t done = 0, k = 0;
  for (; k < g->reorder.size(); ++k) {
    const auto &p = g->reorder[k];
    if (!all && p.first > limit) break;
    if (sequence_apply(e, r, g, &p.second, 1, p.first)) ++done;
  }
  g->reorder.erase(g->reorder.begin(), g->reorder.begin() + static_cast<ptrdiff_t>(k));
  return done;
}

bool beacon_timestamps(const corr_rule_t &r, const corr_group *g) {
  const size_t n = g->ring.count;
  if (n < 3 || static_cast<int64_t>(n) < r.cond_count) return false;
  double total = 0;
  for (size_t i = 1; i < n; ++i) total += g->ring.time_at(i) - g->ring.time_at(i - 1);
  const double m = total / static_cast<double>(n - 1);
  if (!(m > 0)) return false;
  double var = 0;
  for (size_t i = 1; i < n; ++i) {
    double d = g->ring.time_at(i) - g->ring.time_at(i - 1) - m;
    var += d * d;
  }
  var /= static_cast<double>(n - 1);
  const double lim = m * r.beacon_cv_permille / 1000.0;
  return lim * lim >= var;
}

// Bucket mode; `occupied` receives the number of occupied buckets examined.
bool beacon_buckets(const corr_rule_t &r, corr_group *g, double now, int64_t *occupied) {
  *occupied = 0;
  const int64_t n = r.beacon_n_buckets;
  const double width = static_cast<double>(r.timespan_s) / static_cast<double>(n);
  if (!(now >= 0) || !(width > 0)) return false;
  const double q = std::floor(now / width);
  // Bucket numbers stay far inside the 64-bit range.
  if (!(q < 9.0e15)) return false;
  const int64_t cur = static_cast<int64_t>(q);
  if (g->buckets.size() != static_cast<size_t>(n))
    g->buckets.assign(static_cast<size_t>(n), std::pair<int64_t, uint32_t>{-1, 0});
  auto &slot = g->buckets[static_cast<size_t>(cur % n)];
  if (slot.first != cur) slot = {cur, 0};
  if (slot.second < UINT32_MAX) ++slot.second;
  std::vector<int64_t> occ;
  for (int64_t b = cur - n + 1; b <= cur; ++b) {
    if (b < 0) continue;
    const auto &s = g->buckets[static_cast<size_t>(b % n)];
    if (s.first == b && s.second > 0) occ.push_back(b);
  }
  *occupied = static_cast<int64_t>(occ.size());
  if (occ.size() <= 2 || static_cast<int64_t>(occ.size()) < r.cond_count) return false;
  const double span = static_cast<double>(occ.back() - occ.front() + 1);
  if (static_cast<double>(occ.size()) < 0.7 * span) return false;
  const size_t gaps = occ.size() - 1;
  double total = 0;
  for (size_t i = 1; i < occ.size(); ++i) total += static_cast<double>(occ[i] - occ[i - 1]);
  const double m = total / static_cast<double>(gaps);
  if (!(m > 0)) return false;
  double var = 0;
  for (size_t i = 1; i < occ.size(); ++i) {
    double d = static_cast<double>(occ[i] - occ[i - 1]) - m;
    var += d * d;
  }
  var /= static_cast<double>(gaps);
  const double lim = m * r.beacon_cv_permille / 1000.0;
  return lim * lim >= var;
}

void distinct_feed(corr_engine_t *e, corr_group *g, const char *value, double now, double ws) {
  if (!g->distinct) g->distinct = std::make_unique<distinct_table>(&e->key);
  distinct_table &d = *g->distinct;
  while (!d.lru.empty() && d.lru.back().t < ws) {
    d.map.erase(std::string_view(d.lru.back().value));
    d.lru.pop_back();
  }
  if (!value) return;
  auto it = d.map.find(std::string_view(value));
  if (it != d.map.end()) {
    it->second->t = std::max(it->second->t, now);
    d.lru.splice(d.lru.begin(), d.lru, it->second);
    return;
  }
  if (d.map.size() >= e->caps.max_distinct && !d.lru.empty()) {
    d.map.erase(std::string_view(d.lru.back().value));
    d.lru.pop_back();
    e->count(ST_DISTINCT_EVICTED);
  }
  d.lru.push_front(distinct_entry{value, now});
  d.map.emplace(std::string_view(d.lru.front().value), d.lru.begin());
}

size_t distinct_count(const corr_group *g) { return g->distinct ? g->distinct->map.size() : 0; }

// Sum, average or percentile over the ring and contributions; false when
// there is nothing to compute over.
bool value_stat(corr_rule_state &rs, corr_group *g, double *out) {
  const corr_rule_t &r = *rs.rule;
  uint64_t ccount;
  double csum;
  contrib_totals(g, &ccount, &csum);
  if (r.type == CORR_VALUE_SUM || r.type == CORR_VALUE_AVG) {
    double sum = csum;
    for (size_t i = 0; i < g->ring.count; ++i) sum += g->ring.value_at(i);
    if (r.type == CORR_VALUE_SUM) {
      *out = sum;
      return true;
    }
    const uint64_t n = ccount + g->ring.count;
    if (n == 0) return false;
    *out = sum / static_cast<double>(n);
    return true;
  }
  const size_t n = g->ring.count;
  if (n == 0) return false;
  std::vector<double> &s = rs.sort_scratch;
  s.resize(n);
  for (size_t i = 0; i < n; ++i) s[i] = g->ring.value_at(i);
  double p = 50;
  if (r.type == CORR_VALUE_PERCENTILE) {
    p = r.value_percentile < 1 ? 95 : std::min(r.value_percentile, 100);
  }
  double idx = std::ceil(static_cast<double>(n) * p / 100.0) - 1;
  size_t k = idx < 1 ? 0 : static_cast<size_t>(idx);
  if (k > n - 1) k = n - 1;
  std::nth_element(s.begin(), s.begin() + static_cast<ptrdiff_t>(k), s.end());
  *out = s[k];
  return true;
}

// Evaluates the rule for one event on its group; caller holds rs.mu.
bool evaluate(corr_engine_t *e, corr_rule_state &rs, corr_group *g, const eval_in &in,
              int64_t *observed) {
  const corr_rule_t &r = *rs.rule;
  const double ws = in.window_start;
  switch (r.type) {
    case CORR_EVENT_COUNT: {
      ring_push(e, r, g, in.now, 0, false);
      g->ring.expire(ws);
      contrib_expire(g, ws);
      uint64_t cc;
      double cs;
      contrib_totals(g, &cc, &cs);
      const uint64_t obs = g->ring.count + cc;
      *observed = static_cast<int64_t>(std::min<uint64_t>(obs, INT64_MAX));
      return compare_int(r.cond_op, obs, r.cond_count);
    }
    case CORR_VALUE_COUNT: {
      distinct_feed(e, g, in.value, in.now, ws);
      const size_t obs = distinct_count(g);
      *observed = static_cast<int64_t>(obs);
      if (!in.value) return false;
      return compare_int(r.cond_op, obs, r.cond_count);
    }
    case CORR_TEMPORAL: {
      rid_update(e, g, in.ids, in.n_ids, in.now, ws);
      *observed = static_cast<int64_t>(g->rids.size());
      return temporal_decide(r, g);
    }
    case CORR_TEMPORAL_ORDERED: {
      if (r.n_cond) rid_update(e, g, in.ids, in.n_ids, in.now, ws);
      size_t done = 0;
      if (e->caps.event_time_ordering && e->caps.watermark_s > 0) {
        const double wm = e->caps.watermark_s;
        if (g->high_mark != kNoTime && in.now < g->high_mark - wm) {
          e->count(ST_LATE_EVENTS);
          if (sequence_apply(e, r, g, in.ids, in.n_ids, in.now)) ++done;
        } else {
          for (size_t i = 0; i < in.n_ids; ++i) {
            if (g->reorder.size() >= kReorderCap) {
              g->reorder.erase(g->reorder.begin());
              e->count(ST_LATE_EVENTS);
            }
            auto at = std::upper_bound(
                g->reorder.begin(), g->reorder.end(), in.now,
                [](double t, const std::pair<double, uint32_t> &p) { return t < p.first; });
            g->reorder.insert(at, {in.now, in.ids[i]});
          }
          g->high_mark = std::max(g->high_mark, in.now);
        }
        done += reorder_release(e, r, g, g->high_mark - wm, false);
      } else if (sequence_apply(e, r, g, in.ids, in.n_ids, in.now)) {
        done = 1;
      }
      *observed = static_cast<int64_t>(r.n_base_rule_ids);
      if (!done) return false;
      return r.n_cond ? temporal_decide(r, g) : true;
    }
    case CORR_BEACONING: {
      if (r.beacon_n_buckets == 0) {
        ring_push(e, r, g, in.now, 0, false);
        g->ring.expire(ws);
        *observed = static_cast<int64_t>(g->ring.count);
        return beacon_timestamps(r, g);
      }
      return beacon_buckets(r, g, in.now, observed);
    }
    case CORR_VALUE_SUM:
    case CORR_VALUE_AVG:
    case CORR_VALUE_PERCENTILE:
    case CORR_VALUE_MEDIAN: {
      double v = 0;
      const bool numeric = read_number(in.value, &v);
      if (numeric) ring_push(e, r, g, in.now, v, true);
      else e->count(ST_NON_NUMERIC);
      g->ring.expire(ws);
      contrib_expire(g, ws);
      double stat = 0;
      if (!numeric || !value_stat(rs, g, &stat)) return false;
      *observed = to_int64(stat);
      return compare(r.cond_op, stat, r.cond_count);
    }
    default:
      return false;
  }
}

// Reports a yes: suppression, then the fire with copies of the group values
// (taken while the caller still holds the rule's lock).
bool emit(corr_engine_t *e, corr_rule_state &rs, corr_group *g, double now, int64_t observed,
          call_out &out) {
  const corr_rule_t &r = *rs.rule;
  if (now < g->suppress_until) {
    e->count(ST_FIRES_SUPPRESSED);
    return false;
  }
  g->suppress_until = now + r.timespan_s;
  const size_t idx = out.n_fires++;
  if (!out.fires || idx >= out.max_fires) {
    e->count(ST_FIRES_DROPPED);
    return true;
  }
  corr_fire_t &f = out.fires[idx];
  f = corr_fire_t{};
  f.rule_id = r.id;
  f.title = r.title;
  f.type = r.type;
  f.technique = r.mitre;
  f.level = r.level && *r.level ? r.level : "medium";
  f.tier = corr_tier_for(r.type, r.level);
  f.fidelity_weight = corr_tier_weight(f.tier);
  f.group_by = r.group_by;
  f.observed = observed;
  f.threshold = r.cond_count;
  f.value_field = (r.type == CORR_VALUE_COUNT || is_value_type(r.type)) ? r.value_field : nullptr;
  f.base_rule_ids = r.base_rule_ids;
  f.n_base_rule_ids = r.n_base_rule_ids;
  f.remote = g->remote ? 1 : 0;
  const size_t n = g->values.size();
  if (n == 0) return true;
  if (!out.scratch || out.scratch_used + n > out.scratch_cap) {
    e->count(ST_GROUP_VALUES_DROPPED);
    return true;
  }
  char **dst = out.scratch + out.scratch_used;
  for (size_t i = 0; i < n; ++i) {
    dst[i] = strdup(g->values[i].c_str());
    if (!dst[i]) {
      for (size_t j = 0; j < i; ++j) free(dst[j]);
      e->count(ST_ALLOC_FAILURES);
      return true;
    }
  }
  out.scratch_used += n;
  f.group = dst;
  f.n_group = n;
  return true;
}

void sweep_if_due(corr_engine_t *e, double now) {
  std::unique_lock<std::mutex> lock(e->global, std::try_to_lock);
  if (!lock.owns_lock()) return;
  if (!e->swept) {
    e->swept = true;
    e->last_sweep = now;
    return;
  }
  if (!(now - e->last_sweep >= e->caps.sweep_interval_s)) return;
  e->last_sweep = now;
  for (auto &rsp : e->rules) {
    corr_rule_state &rs = *rsp;
    std::lock_guard<std::mutex> rl(rs.mu);
    const double idle = now - rs.rule->timespan_s;
    for (corr_group *g = rs.lru_tail; g;) {
      corr_group *prev = g->lru_prev;
      if (g->last_seen < idle) remove_group(rs, g);
      g = prev;
    }
  }
}

// Handles one rule for one event.
void process_rule(corr_engine_t *e, corr_rule_state &rs, uint32_t via_id, const uint32_t *ids,
                  size_t n_ids, corr_field_fn fn, void *ctx, double now, call_out &out) {
  const corr_rule_t &r = *rs.rule;
  const char *vals[CORR_MAX_GROUP_BY];
  const char *const *names = r.group_by;
  if (r.alias_group_by) {
    auto it = rs.positions.find(via_id);
    if (it != rs.positions.end() && !it->second.empty()) names = r.alias_group_by[it->second[0]];
  }
  for (size_t i = 0; i < r.n_group_by; ++i) {
    vals[i] = fn ? fn(ctx, names[i]) : nullptr;
    if (!vals[i]) {
      e->count(ST_GROUP_FIELD_MISSING);
      return;
    }
  }
  // The event's matching base ids in base_rule_ids order, at most 64.
  uint32_t pos[kMaxRids + 1];
  size_t n_pos = 0;
  bool overflow = false;
  {
    thread_local std::vector<uint32_t> all;
    all.clear();
    for (size_t i = 0; i < n_ids; ++i) {
      auto it = rs.positions.find(ids[i]);
      if (it != rs.positions.end()) all.insert(all.end(), it->second.begin(), it->second.end());
    }
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    for (uint32_t p : all) {
      if (n_pos == kMaxRids) {
        overflow = true;
        break;
      }
      pos[n_pos++] = p;
    }
  }
  if (overflow) e->count(ST_RIDS_OVERFLOW);
  uint32_t matched[kMaxRids];
  size_t n_matched = 0;
  for (size_t i = 0; i < n_pos; ++i)
    if (!holds(matched, n_matched, r.base_rule_ids[pos[i]])) matched[n_matched++] = r.base_rule_ids[pos[i]];

  const char *value = r.value_field && fn ? fn(ctx, r.value_field) : nullptr;
  const uint64_t h = group_hash(e, vals, r.n_group_by);

  std::lock_guard<std::mutex> lock(rs.mu);
  corr_group *g = find_group(e, rs, vals, r.n_group_by, h);
  if (!g) return;
  g->last_seen = std::max(g->last_seen, now);
  eval_in in{now, now - r.timespan_s, matched, n_matched, value};
  int64_t observed = 0;
  try {
    if (evaluate(e, rs, g, in, &observed)) emit(e, rs, g, now, observed, out);
  } catch (const std::bad_alloc &) {
    e->count(ST_ALLOC_FAILURES);
  }
}

} // namespace

/* ---- public interface ------------------------------------------------------ */

corr_caps_t corr_caps_default(void) { return corr_caps_t{50000, 10000, 4096, 30.0, 0, 0}; }

corr_tier_t corr_tier_for(corr_type_t type, const char *level) {
  if (type == CORR_TEMPORAL || type == CORR_TEMPORAL_ORDERED || type == CORR_BEACONING)
    return CORR_TIER_STRONG;
  const char *l = level && *level ? level : "medium";
  return strcasecmp(l, "high") == 0 || strcasecmp(l, "critical") == 0 ? CORR_TIER_STRONG
                                                                       : CORR_TIER_WEAK;
}

int corr_cond_eval(const corr_ctok_t *cond, size_t n, uint64_t mask) {
  if (!cond || n == 0) return 0;
  bool stack[64];
  size_t sp = 0;
  for (size_t i = 0; i < n; ++i) {
    switch (cond[i].kind) {
      case 0:
        if (sp == 64) return 0;
        stack[sp++] = cond[i].rid_idx < 64 && ((mask >> cond[i].rid_idx) & 1);
        break;
      case 1:
      case 2:
        if (sp < 2) return 0;
        stack[sp - 2] = cond[i].kind == 1 ? (stack[sp - 2] && stack[sp - 1])
                                          : (stack[sp - 2] || stack[sp - 1]);
        --sp;
        break;
      case 3:
        if (sp < 1) return 0;
        stack[sp - 1] = !stack[sp - 1];
        break;
      default:
        return 0;
    }
  }
  return sp == 1 && stack[0];
}

corr_engine_t *corr_engine_new(const corr_rule_t *rules, size_t n, const corr_caps_t *caps) {
  try {
    auto e = std::make_unique<corr_engine_t>();
    for (auto &s : e->stats) s.store(0);
    e->caps = caps ? *caps : corr_caps_default();
    const corr_caps_t d = corr_caps_default();
    if (e->caps.max_groups == 0) e->caps.max_groups = d.max_groups;
    if (e->caps.max_distinct == 0) e->caps.max_distinct = d.max_distinct;
    if (e->caps.max_events_per_group == 0) e->caps.max_events_per_group = d.max_events_per_group;
    if (!(e->caps.sweep_interval_s > 0)) e->caps.sweep_interval_s = 30.0;
    if (!std::isfinite(e->caps.watermark_s) || e->caps.watermark_s < 0) e->caps.watermark_s = 0;
    std::random_device rd;
    e->key.k0 = (static_cast<uint64_t>(rd()) << 32) ^ rd();
    e->key.k1 = (static_cast<uint64_t>(rd()) << 32) ^ rd();
    for (size_t i = 0; i < n && rules; ++i) {
      const corr_rule_t &r = rules[i];
      if (r.n_cond && r.n_base_rule_ids > kMaxRids) {
        e->count(ST_RPN_REJECTED);
        continue;
      }
      if (!acceptable(r, e->caps)) {
        e->count(ST_RULES_REJECTED);
        continue;
      }
      auto rs = std::make_unique<corr_rule_state>();
      rs->rule = &r;
      rs->table.assign(16, nullptr);
      for (size_t k = 0; k < r.n_base_rule_ids; ++k)
        rs->positions[r.base_rule_ids[k]].push_back(static_cast<uint32_t>(k));
      const uint32_t at = static_cast<uint32_t>(e->rules.size());
      for (const auto &p : rs->positions) e->index[p.first].push_back(at);
      e->by_id.emplace(r.id, at);
      e->rules.push_back(std::move(rs));
    }
    return e.release();
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

void corr_engine_free(corr_engine_t *engine) {
  if (!engine) return;
  for (auto &rs : engine->rules)
    for (corr_group *g = rs->lru_head; g;) {
      corr_group *next = g->lru_next;
      delete g;
      g = next;
    }
  delete engine;
}

size_t corr_on_event(corr_engine_t *e, const uint32_t *rule_ids, size_t n_rule_ids,
                     corr_field_fn field_fn, void *ctx, double now, corr_fire_t *fires,
                     size_t max_fires, char **scratch, size_t scratch_cap) {
  if (!e || !rule_ids || n_rule_ids == 0 || e->rules.empty() || !std::isfinite(now)) return 0;
  sweep_if_due(e, now);
  call_out out{fires, max_fires, scratch, scratch_cap};
  try {
    // Each rule at most once per event, in the order its ids come. The
    // stamps belong to the calling thread; every call takes a fresh stamp,
    // so engines sharing a thread never see each other's marks.
    thread_local std::vector<uint64_t> visited;
    thread_local uint64_t stamp = 0;
    if (visited.size() < e->rules.size()) visited.resize(e->rules.size(), 0);
    ++stamp;
    for (size_t i = 0; i < n_rule_ids; ++i) {
      auto it = e->index.find(rule_ids[i]);
      if (it == e->index.end()) continue;
      for (uint32_t at : it->second) {
        if (visited[at] == stamp) continue;
        visited[at] = stamp;
        process_rule(e, *e->rules[at], rule_ids[i], rule_ids, n_rule_ids, field_fn, ctx, now, out);
      }
    }
  } catch (const std::bad_alloc &) {
    e->count(ST_ALLOC_FAILURES);
  }
  return out.n_fires;
}

size_t corr_flush(corr_engine_t *e, corr_fire_t *fires, size_t max_fires, char **scratch,
                  size_t scratch_cap) {
  if (!e) return 0;
  call_out out{fires, max_fires, scratch, scratch_cap};
  for (auto &rsp : e->rules) {
    corr_rule_state &rs = *rsp;
    if (rs.rule->type != CORR_TEMPORAL_ORDERED) continue;
    std::lock_guard<std::mutex> lock(rs.mu);
    for (corr_group *g = rs.lru_head; g; g = g->lru_next) {
      if (g->reorder.empty()) continue;
      const double at = g->reorder.back().first;
      if (reorder_release(e, *rs.rule, g, 0, true) == 0) continue;
      if (rs.rule->n_cond && !temporal_decide(*rs.rule, g)) continue;
      emit(e, rs, g, at, static_cast<int64_t>(rs.rule->n_base_rule_ids), out);
    }
  }
  return out.n_fires;
}

void corr_fires_release(corr_fire_t *fires, size_t n) {
  if (!fires) return;
  for (size_t i = 0; i < n; ++i) {
    if (fires[i].group)
      for (size_t k = 0; k < fires[i].n_group; ++k) free(fires[i].group[k]);
    fires[i].group = nullptr;
    fires[i].n_group = 0;
  }
}

int corr_contrib_kind_for(corr_type_t type) {
  switch (type) {
    case CORR_EVENT_COUNT: return 1;
    case CORR_VALUE_COUNT: return 3;
    case CORR_TEMPORAL: return 4;
    case CORR_VALUE_SUM:
    case CORR_VALUE_AVG: return 2;
    default: return -1;
  }
}

size_t corr_on_contribution(corr_engine_t *e, const corr_contrib_t *c, corr_field_fn field_fn,
                            void *ctx, corr_fire_t *fires, size_t max_fires, char **scratch,
                            size_t scratch_cap) {
  if (!e || !c) return 0;
  if (c->kind == CORR_CONTRIB_EVENT)
    return corr_on_event(e, c->rule_ids, c->n_rule_ids, field_fn, ctx, c->ts, fires, max_fires,
                         scratch, scratch_cap);
  if (!c->rule_id || !std::isfinite(c->ts)) return 0;
  sweep_if_due(e, c->ts);
  auto it = e->by_id.find(c->rule_id);
  if (it == e->by_id.end()) return 0;
  corr_rule_state &rs = *e->rules[it->second];
  const corr_rule_t &r = *rs.rule;
  if (c->n_values != r.n_group_by || (r.n_group_by && !c->values)) {
    e->count(ST_GROUP_FIELD_MISSING);
    return 0;
  }
  for (size_t i = 0; i < r.n_group_by; ++i)
    if (!c->values[i]) {
      e->count(ST_GROUP_FIELD_MISSING);
      return 0;
    }
  const uint64_t h = group_hash(e, c->values, r.n_group_by);
  call_out out{fires, static_cast<size_t>(max_fires ? 1 : 0), scratch, scratch_cap};
  std::lock_guard<std::mutex> lock(rs.mu);
  corr_group *g = find_group(e, rs, c->values, r.n_group_by, h);
  if (!g) return 0;
  g->last_seen = std::max(g->last_seen, c->ts);
  g->remote = true;
  const double ws = c->ts - r.timespan_s;
  const uint32_t count = c->count <= 0 ? 1 : static_cast<uint32_t>(c->count);
  bool yes = false;
  int64_t observed = 0;
  try {
    if (c->kind == CORR_CONTRIB_COUNT && r.type == CORR_EVENT_COUNT) {
      contrib_add(e, g, c->ts, count, 0);
      g->ring.expire(ws);
      contrib_expire(g, ws);
      uint64_t cc;
      double cs;
      contrib_totals(g, &cc, &cs);
      const uint64_t obs = g->ring.count + cc;
      observed = static_cast<int64_t>(std::min<uint64_t>(obs, INT64_MAX));
      yes = compare_int(r.cond_op, obs, r.cond_count);
    } else if (c->kind == CORR_CONTRIB_SUM &&
               (r.type == CORR_VALUE_SUM || r.type == CORR_VALUE_AVG)) {
      if (!std::isfinite(c->sum)) {
        e->count(ST_NON_NUMERIC);
        return 0;
      }
      contrib_add(e, g, c->ts, count, c->sum);
      g->ring.expire(ws);
      contrib_expire(g, ws);
      double stat = 0;
      if (value_stat(rs, g, &stat)) {
        observed = to_int64(stat);
        yes = compare(r.cond_op, stat, r.cond_count);
      }
    } else if (c->kind == CORR_CONTRIB_DISTINCT && r.type == CORR_VALUE_COUNT) {
      distinct_feed(e, g, c->value, c->ts, ws);
      observed = static_cast<int64_t>(distinct_count(g));
      yes = c->value && compare_int(r.cond_op, distinct_count(g), r.cond_count);
    } else if (c->kind == CORR_CONTRIB_RIDMASK && r.type == CORR_TEMPORAL) {
      g->remote_mask |= c->rid_mask;
      rid_update(e, g, nullptr, 0, c->ts, ws);
      observed = static_cast<int64_t>(g->rids.size());
      yes = temporal_decide(r, g);
    }
    if (yes) emit(e, rs, g, c->ts, observed, out);
  } catch (const std::bad_alloc &) {
    e->count(ST_ALLOC_FAILURES);
    return 0;
  }
  return out.n_fires ? 1 : 0;
}

size_t corr_owner_key(char *dst, size_t cap, const char *rule_id, const char *const *values,
                      size_t n) {
  if (!dst || !rule_id) return 0;
  size_t len = strlen(rule_id);
  for (size_t i = 0; i < n; ++i) len += 1 + (values && values[i] ? strlen(values[i]) : 0);
  if (len + 1 > cap) return 0;
  char *p = dst;
  p = stpcpy(p, rule_id);
  for (size_t i = 0; i < n; ++i) {
    *p++ = '\t';
    if (values && values[i]) p = stpcpy(p, values[i]);
  }
  *p = '\0';
  return len;
}

uint32_t corr_owner_index(const char *rule_id, const char *const *values, size_t n,
                          uint32_t n_owners) {
  if (n_owners == 0) return 0;
  uint32_t h = 5381;
  for (const char *p = rule_id ? rule_id : ""; *p; ++p) h = h * 33 + static_cast<unsigned char>(*p);
  for (size_t i = 0; i < n; ++i) {
    h = h * 33 + 9;
    if (values && values[i])
      for (const char *p = values[i]; *p; ++p) h = h * 33 + static_cast<unsigned char>(*p);
  }
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h % n_owners;
}

size_t corr_engine_rule_count(const corr_engine_t *e) { return e ? e->rules.size() : 0; }

const corr_rule_t *corr_engine_rule_at(const corr_engine_t *e, size_t i) {
  return e && i < e->rules.size() ? e->rules[i]->rule : nullptr;
}

size_t corr_engine_total_groups(corr_engine_t *e) {
  if (!e) return 0;
  size_t total = 0;
  for (auto &rs : e->rules) {
    std::lock_guard<std::mutex> lock(rs->mu);
    total += rs->n_groups;
  }
  return total;
}

size_t corr_engine_groups_for(corr_engine_t *e, const char *rule_id) {
  if (!e || !rule_id) return 0;
  auto it = e->by_id.find(rule_id);
  if (it == e->by_id.end()) return 0;
  corr_rule_state &rs = *e->rules[it->second];
  std::lock_guard<std::mutex> lock(rs.mu);
  return rs.n_groups;
}

void corr_engine_stats(const corr_engine_t *e, corr_stats_t *out) {
  if (!out) return;
  uint64_t v[ST__COUNT] = {};
  if (e)
    for (int i = 0; i < ST__COUNT; ++i) v[i] = e->stats[i].load(std::memory_order_relaxed);
  static_assert(sizeof(corr_stats_t) == sizeof v, "one counter per statistic");
  memcpy(out, v, sizeof v);
}

int corr_rule_hits(const corr_rule_t *rule, const uint32_t *rule_ids, size_t n) {
  if (!rule || !rule_ids) return 0;
  for (size_t i = 0; i < n; ++i)
    for (size_t k = 0; k < rule->n_base_rule_ids; ++k)
      if (rule->base_rule_ids[k] == rule_ids[i]) return 1;
  return 0;
}
