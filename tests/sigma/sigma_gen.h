// Test and benchmark helper: generates Sigma databases and events from a
// seed, and derives sound prefilter sections (necessary clauses) from the
// rules, the way a converter that writes them would.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "sigma_builder.h"

namespace sigma_test {

// splitmix64: the same sequence on every platform.
struct rng {
  uint64_t s;
  explicit rng(uint64_t seed) : s(seed) {}
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return n ? uint32_t(next() % n) : 0; }
  bool chance(uint32_t percent) { return below(100) < percent; }
  template <class T> const T &pick(const std::vector<T> &v) { return v[below(uint32_t(v.size()))]; }
};

struct derive_options {
  bool any_field = false;  // let some references apply to any field
  bool edge_cases = false; // extra unreferenced clauses, rules without clauses
  uint32_t seed = 1;
};

// Necessary selections of a rule: every selection without a condition;
// otherwise from the postfix condition (AND unites, OR intersects, NOT and a
// malformed condition give none).
inline std::vector<uint32_t> necessary_selections(const builder &b, const sigma_rule_t &r) {
  std::vector<uint32_t> out;
  if (r.cond_count == 0) {
    for (uint32_t s = 0; s < r.sel_count; s++) out.push_back(s);
    return out;
  }
  std::vector<std::vector<uint32_t>> st;
  for (uint32_t i = 0; i < r.cond_count; i++) {
    const sigma_ctok_t &t = b.cond[r.cond_start + i];
    if (t.kind == SIGMA_C_SEL) {
      if (t.sel_idx >= r.sel_count) return {};
      st.push_back({t.sel_idx});
    } else if (t.kind == SIGMA_C_NOT) {
      if (st.empty()) return {};
      st.back().clear();
    } else {
      if (st.size() < 2) return {};
      std::vector<uint32_t> rhs = st.back(), lhs = st[st.size() - 2], m;
      std::sort(lhs.begin(), lhs.end());
      std::sort(rhs.begin(), rhs.end());
      if (t.kind == SIGMA_C_AND)
        std::set_union(lhs.begin(), lhs.end(), rhs.begin(), rhs.end(), std::back_inserter(m));
      else
        std::set_intersection(lhs.begin(), lhs.end(), rhs.begin(), rhs.end(), std::back_inserter(m));
      st.pop_back();
      st.back() = m;
    }
  }
  if (st.size() != 1) return {};
  return st[0];
}

// Fills litndl, litpost, litpost_ref, litav, rule_clauses and fwit from the
// rules: each group (OR of predicates) of a necessary selection whose
// predicates are all plain comparisons becomes one clause.
inline void derive_prefilter(builder &b, const derive_options &o) {
  rng g(o.seed);
  std::map<std::string, std::vector<sigma_litref_t>> needles;
  std::vector<std::string> order;
  b.rule_clauses.assign(b.rules.size(), 0);
  b.litav.clear();
  b.fwit.clear();
  for (uint32_t ri = 0; ri < b.rules.size(); ri++) {
    const sigma_rule_t &r = b.rules[ri];
    uint32_t clause = 0;
    for (uint32_t s : necessary_selections(b, r)) {
      const sigma_sel_t &sel = b.sels[r.sel_start + s];
      uint32_t i = sel.pred_start, end = sel.pred_start + sel.pred_count;
      while (i < end && clause < SIGMA_MAX_CLAUSES) {
        uint32_t j = i;
        while (j < end && b.preds[j].group_id == b.preds[i].group_id) j++;
        bool usable = true;
        for (uint32_t k = i; k < j && usable; k++) {
          const sigma_pred_t &p = b.preds[k];
          if (p.flags & (SIGMA_PF_NEGATE | SIGMA_PF_FIELDREF)) usable = false;
          else if (p.op <= SIGMA_OP_ENDSWITH) usable = p.value_id < b.values.size() && b.values[p.value_id].len > 0;
          else usable = (p.op >= SIGMA_OP_GT && p.op <= SIGMA_OP_LTE) || p.op == SIGMA_OP_NUMEQ || p.op == SIGMA_OP_CIDR;
        }
        if (usable) {
          for (uint32_t k = i; k < j; k++) {
            const sigma_pred_t &p = b.preds[k];
            if (p.op <= SIGMA_OP_ENDSWITH) {
              const sigma_str_t &v = b.values[p.value_id];
              std::string text = b.pool.substr(v.off, v.len);
              if (!needles.count(text)) order.push_back(text);
              sigma_litref_t ref{};
              ref.rule_idx = ri;
              ref.field_id = (o.any_field && g.chance(30)) ? SIGMA_ANY_FIELD : p.field_id;
              ref.clause_idx = uint8_t(clause);
              needles[text].push_back(ref);
            } else {
              sigma_fwit_t w{};
              w.rule_idx = ri;
              w.field_id = p.field_id;
              w.clause_idx = uint8_t(clause);
              w.op = p.op;
              w.ival = p.op == SIGMA_OP_CIDR ? int64_t(p.value_id) : p.ival;
              b.fwit.push_back(w);
            }
          }
          clause++;
        }
        i = j;
      }
    }
    if (o.edge_cases && clause < SIGMA_MAX_CLAUSES && g.chance(15)) clause++; // unreferenced clause
    b.rule_clauses[ri] = uint8_t(clause);
    if (clause == 0 && !(o.edge_cases && g.chance(50))) b.litav.push_back(ri);
  }
  b.litndl.clear();
  b.litpost.clear();
  b.litpost_ref.clear();
  for (const std::string &t : order) {
    b.litndl.push_back(b.str(t));
    const auto &refs = needles[t];
    b.litpost.push_back(sigma_litpost_t{uint32_t(b.litpost_ref.size()), uint32_t(refs.size())});
    b.litpost_ref.insert(b.litpost_ref.end(), refs.begin(), refs.end());
  }
}

// ---- small random databases for the equivalence test ---------------------------

inline const std::vector<std::string> &gen_string_fields() {
  static const std::vector<std::string> f = {"f0", "f1", "f2", "f3", "f4"};
  return f;
}
inline const std::vector<std::string> &gen_bucket_keys() {
  static const std::vector<std::string> k = {"process", "network", "file", "Process"};
  return k;
}

inline std::string gen_text(rng &g, uint32_t max_len) {
  static const char alphabet[] = "abcAB.";
  std::string s;
  uint32_t n = g.below(max_len + 1);
  for (uint32_t i = 0; i < n; i++) s.push_back(alphabet[g.below(6)]);
  return s;
}

inline pred_spec gen_pred(rng &g, uint16_t group, uint32_t n_cidrs) {
  pred_spec p;
  p.group = group;
  if (g.chance(10)) p.flags |= SIGMA_PF_NEGATE;
  if (g.chance(15)) p.flags |= SIGMA_PF_CASE;
  uint32_t kind = g.below(100);
  if (kind < 65) {
    p.field = g.pick(gen_string_fields());
    p.op = uint8_t(g.below(4)); // EQ, CONTAINS, STARTSWITH, ENDSWITH
    if (g.chance(8)) {
      p.flags |= SIGMA_PF_FIELDREF;
      p.value = g.pick(gen_string_fields());
    } else {
      p.value = gen_text(g, 4);
    }
  } else if (kind < 72) {
    p.field = g.pick(gen_string_fields());
    p.op = SIGMA_OP_EXISTS;
  } else if (kind < 85) {
    p.field = "n";
    static const uint8_t ops[] = {SIGMA_OP_GT, SIGMA_OP_GTE, SIGMA_OP_LT, SIGMA_OP_LTE, SIGMA_OP_NUMEQ};
    p.op = ops[g.below(5)];
    p.ival = int64_t(g.below(21)) - 10;
  } else if (kind < 93) {
    p.field = "ip";
    p.op = SIGMA_OP_CIDR;
    p.cidr = g.below(n_cidrs);
  } else {
    static const std::vector<std::string> res = {"a+b", "^ab", "c$", "b.a", "(a|B)c"};
    p.field = g.pick(gen_string_fields());
    p.op = SIGMA_OP_RE;
    p.value = g.pick(res);
  }
  return p;
}

struct gen_options {
  uint32_t n_rules = 40;
  bool any_field = false;
  bool edge_cases = true;
  bool with_prefilter = true;
};

inline builder generate_db(uint64_t seed, const gen_options &o) {
  rng g(seed);
  builder b;
  const uint8_t nets[][16] = {{10}, {10, 1}, {192, 168, 0, 0}, {0x20, 0x01, 0x0d, 0xb8}};
  b.cidr(4, 8, nets[0]);
  b.cidr(4, 16, nets[1]);
  b.cidr(4, 0, nets[2]);
  b.cidr(6, 32, nets[3]);
  b.cidr(4, 12, nets[1]); // host bits are not checked by the loader
  using tok = std::pair<uint8_t, uint32_t>;
  for (uint32_t i = 0; i < o.n_rules; i++) {
    std::vector<std::vector<pred_spec>> sels(1 + g.below(3));
    for (auto &s : sels) {
      uint32_t n = 1 + g.below(4);
      uint16_t group = 0;
      for (uint32_t k = 0; k < n; k++) {
        if (k > 0 && g.chance(60)) group++;
        s.push_back(gen_pred(g, group, uint32_t(b.cidrs.size())));
      }
    }
    std::vector<tok> toks;
    const uint32_t ns = uint32_t(sels.size());
    uint32_t shape = g.below(6);
    if (shape == 0 || ns == 1) {
      // no tokens: every selection
    } else if (shape == 1) {
      toks = {{SIGMA_C_SEL, 0}, {SIGMA_C_SEL, 1}, {SIGMA_C_NOT, 0}, {SIGMA_C_AND, 0}};
    } else if (shape == 2) {
      toks = {{SIGMA_C_SEL, 0}, {SIGMA_C_SEL, 1}, {SIGMA_C_OR, 0}};
      if (ns > 2) toks.insert(toks.end(), {{SIGMA_C_SEL, 2}, {SIGMA_C_AND, 0}});
    } else if (shape == 3) {
      // Random postfix over the selections, possibly malformed.
      uint32_t depth = 0, n = 1 + g.below(7);
      for (uint32_t k = 0; k < n; k++) {
        uint32_t t = g.below(4);
        if (depth < 2 && t != 3) t = 0;
        if (t == 0) {
          toks.push_back({SIGMA_C_SEL, g.below(ns + 1)}); // sometimes out of range
          depth++;
        } else if (t == 3) {
          toks.push_back({SIGMA_C_NOT, 0});
        } else {
          toks.push_back({uint8_t(t), 0});
          depth--;
        }
      }
    } else {
      toks = {{SIGMA_C_SEL, 0}, {SIGMA_C_SEL, ns - 1}, {SIGMA_C_AND, 0}};
    }
    b.rule(i, sels, toks);
  }
  for (const std::string &f : gen_string_fields()) b.field(f);
  b.field("event.category");
  // Buckets: each key holds a random subset; the any-bucket too; some rules
  // are in no bucket.
  for (const std::string &k : gen_bucket_keys()) {
    std::vector<uint32_t> pos;
    for (uint32_t r = 0; r < o.n_rules; r++)
      if (g.chance(35)) pos.push_back(r);
    b.bucket(k, pos);
  }
  std::vector<uint32_t> any;
  for (uint32_t r = 0; r < o.n_rules; r++)
    if (g.chance(10)) any.push_back(r);
  b.bucket("", any);
  if (o.with_prefilter)
    derive_prefilter(b, derive_options{o.any_field, o.edge_cases, uint32_t(seed * 7 + 3)});
  return b;
}

inline event generate_event(rng &g) {
  event e;
  static const std::vector<std::string> numbers = {"5", "-3", "+7", "x", "0", "10abc", "-10",
                                                   "99999999999999999999", "", "+"};
  static const std::vector<std::string> ips = {"10.1.2.3", "11.0.0.1", "10.0.0.0", "192.168.1.1",
                                               "2001:db8::1", "::1", "", "10.1.2"};
  static const std::vector<std::string> routes = {"process", "network", "file", "Process", "dns", ""};
  static const std::vector<std::string> route_fields = {"event.category", "product", "event.module",
                                                        "log.syslog.appname"};
  uint32_t n_routes = g.below(3);
  for (uint32_t i = 0; i < n_routes; i++) e.set(g.pick(route_fields), g.pick(routes));
  for (const std::string &f : gen_string_fields())
    if (g.chance(75)) e.set(f, g.chance(10) ? std::string() : gen_text(g, 14));
  if (g.chance(70)) e.set("n", g.pick(numbers));
  if (g.chance(70)) e.set("ip", g.pick(ips));
  return e;
}

} // namespace sigma_test
