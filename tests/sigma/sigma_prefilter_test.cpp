// The prefilter never changes an answer: for databases and events generated
// from fixed seeds, the hits with the prefilter forced on, forced off and in
// automatic mode equal those of a plain reference evaluation that routes the
// event and checks every candidate rule's predicates one by one.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <string>
#include <string_view>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "sigma/sigma_match.h"
#include "sigma_gen.h"

namespace {

using namespace sigma_test;

// ---- reference evaluation: direct, eager, written from the rules ------------

struct reference {
  const builder &b;
  const event &e;

  std::string_view str(const sigma_str_t &s) const { return std::string_view(b.pool).substr(s.off, s.len); }
  const std::string *get(std::string_view name) const {
    for (const auto &[k, v] : e.kv)
      if (k == name) return &v;
    return nullptr;
  }
  static std::string lower(std::string_view s) {
    std::string r(s);
    for (char &c : r)
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return r;
  }
  // Patterns compiled once per test process (the generator uses a handful).
  bool re(std::string_view pat, std::string_view v, bool cs) const {
    static std::map<std::pair<std::string, bool>, pcre2_code *> compiled;
    auto key = std::make_pair(std::string(pat), cs);
    auto it = compiled.find(key);
    if (it == compiled.end()) {
      int err;
      PCRE2_SIZE off;
      pcre2_code *c = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pat.data()), pat.size(),
                                    PCRE2_NEVER_BACKSLASH_C | (cs ? 0 : PCRE2_CASELESS), &err, &off, nullptr);
      it = compiled.emplace(key, c).first;
    }
    if (!it->second) return false;
    static pcre2_match_data *md = pcre2_match_data_create(1, nullptr);
    return pcre2_match(it->second, reinterpret_cast<PCRE2_SPTR>(v.data()), v.size(), 0, 0, md, nullptr) >= 0;
  }
  bool pred(const sigma_pred_t &p) const {
    const std::string *v = get(str(b.fields[p.field_id]));
    bool r;
    if (p.op == SIGMA_OP_EXISTS) {
      r = v && !v->empty();
    } else if (!v) {
      r = false;
    } else if (p.op <= SIGMA_OP_ENDSWITH) {
      const std::string *ref = nullptr;
      std::string lit;
      if (p.flags & SIGMA_PF_FIELDREF) {
        ref = get(str(b.fields[p.value_id]));
      } else {
        lit = std::string(str(b.values[p.value_id]));
        ref = &lit;
      }
      if (!ref) {
        r = false;
      } else {
        bool cs = p.flags & SIGMA_PF_CASE;
        std::string a = cs ? *v : lower(*v), c = cs ? *ref : lower(*ref);
        switch (p.op) {
        case SIGMA_OP_EQ: r = a == c; break;
        case SIGMA_OP_CONTAINS: r = a.find(c) != std::string::npos; break;
        case SIGMA_OP_STARTSWITH: r = a.size() >= c.size() && a.compare(0, c.size(), c) == 0; break;
        default: r = a.size() >= c.size() && a.compare(a.size() - c.size(), c.size(), c) == 0; break;
        }
      }
    } else if (p.op == SIGMA_OP_RE) {
      r = re(str(b.values[p.value_id]), *v, p.flags & SIGMA_PF_CASE);
    } else if (p.op == SIGMA_OP_CIDR) {
      r = sigma_ip_in_cidr(v->data(), v->size(), &b.cidrs[p.value_id]);
    } else {
      int64_t x;
      if (!sigma_parse_int(v->data(), v->size(), &x)) {
        r = false;
      } else {
        switch (p.op) {
        case SIGMA_OP_GT: r = x > p.ival; break;
        case SIGMA_OP_GTE: r = x >= p.ival; break;
        case SIGMA_OP_LT: r = x < p.ival; break;
        case SIGMA_OP_LTE: r = x <= p.ival; break;
        default: r = x == p.ival; break;
        }
      }
    }
    return (p.flags & SIGMA_PF_NEGATE) ? !r : r;
  }
  bool sel(uint32_t si) const {
    const sigma_sel_t &s = b.sels[si];
    if (s.pred_count == 0) return false;
    // AND over maximal runs of equal group_id, OR inside a run.
    uint32_t i = s.pred_start, end = s.pred_start + s.pred_count;
    while (i < end) {
      uint32_t j = i;
      bool any = false;
      while (j < end && b.preds[j].group_id == b.preds[i].group_id) any |= pred(b.preds[j++]);
      if (!any) return false;
      i = j;
    }
    return true;
  }
  bool rule(const sigma_rule_t &r) const {
    if (r.cond_count == 0) {
      if (r.sel_count == 0) return false;
      for (uint32_t s = 0; s < r.sel_count; s++)
        if (!sel(r.sel_start + s)) return false;
      return true;
    }
    std::vector<bool> st;
    for (uint32_t i = 0; i < r.cond_count; i++) {
      const sigma_ctok_t &t = b.cond[r.cond_start + i];
      if (t.kind == SIGMA_C_SEL) {
        if (t.sel_idx >= r.sel_count || st.size() == 64) return false;
        st.push_back(sel(r.sel_start + t.sel_idx));
      } else if (t.kind == SIGMA_C_NOT) {
        if (st.empty()) return false;
        st.back() = !st.back();
      } else {
        if (st.size() < 2) return false;
        bool rhs = st.back();
        st.pop_back();
        st.back() = t.kind == SIGMA_C_AND ? (st.back() && rhs) : (st.back() || rhs);
      }
    }
    return st.size() == 1 && st[0];
  }
  std::vector<uint32_t> run() const {
    static const char *kRoute[] = {"event.category", "techno", "product", "technology", "observer.product",
                                   "event.provider", "event.module", "event.dataset", "log.syslog.appname"};
    std::vector<uint32_t> rules;
    bool routed = false;
    std::vector<uint32_t> cand;
    auto add = [&cand](uint32_t bk) {
      if (cand.size() < 16 && std::find(cand.begin(), cand.end(), bk) == cand.end()) cand.push_back(bk);
    };
    if (!b.buckets.empty()) {
      for (const char *f : kRoute) {
        const std::string *v = get(f);
        if (!v || v->empty()) continue;
        routed = true;
        for (uint32_t k = 0; k < b.buckets.size(); k++)
          if (b.bucket_keys[k].len > 0 && str(b.bucket_keys[k]) == *v) {
            add(k);
            break;
          }
      }
      for (uint32_t k = 0; k < b.buckets.size(); k++)
        if (b.bucket_keys[k].len == 0) add(k);
    }
    if (!routed) {
      for (uint32_t r = 0; r < b.rules.size(); r++) rules.push_back(r);
    } else {
      for (uint32_t k : cand)
        for (uint32_t i = 0; i < b.buckets[k].idx_count; i++) {
          uint32_t r = b.bucket_idx[b.buckets[k].idx_start + i];
          if (std::find(rules.begin(), rules.end(), r) == rules.end()) rules.push_back(r);
        }
    }
    std::vector<uint32_t> hits;
    for (uint32_t r : rules)
      if (rule(b.rules[r])) hits.push_back(b.rules[r].rule_id);
    return hits;
  }
};

std::vector<uint32_t> run_mode(sigma_eval_t *ev, const event &e, int mode) {
  sigma_eval_set_prefilter(ev, mode);
  sigma_hit_t hits[256];
  uint32_t n = sigma_eval_run(ev, event::lookup, const_cast<event *>(&e), hits, 256);
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < n && i < 256; i++) ids.push_back(hits[i].rule_id);
  return ids;
}

struct equivalence_case {
  const char *name;
  gen_options opts;
  uint32_t databases;
  uint32_t events;
};

void check_equivalence(const equivalence_case &c) {
  uint64_t total_hits = 0, prefilter_runs = 0, skipped = 0;
  for (uint32_t d = 0; d < c.databases; d++) {
    const uint64_t seed = 1000 * d + 17;
    builder b = generate_db(seed, c.opts);
    sigma_db_t db{};
    ASSERT_EQ(load(b.image(), &db), SIGMA_OK) << c.name << " seed " << seed;
    sigma_eval_t *ev = sigma_eval_create(&db);
    ASSERT_NE(ev, nullptr);
    rng g(seed ^ 0xABCDEF);
    for (uint32_t i = 0; i < c.events; i++) {
      event e = generate_event(g);
      const std::vector<uint32_t> want = reference{b, e}.run();
      ASSERT_EQ(run_mode(ev, e, SIGMA_PREFILTER_OFF), want) << c.name << " seed " << seed << " event " << i;
      ASSERT_EQ(run_mode(ev, e, SIGMA_PREFILTER_ALWAYS), want) << c.name << " seed " << seed << " event " << i;
      ASSERT_EQ(run_mode(ev, e, SIGMA_PREFILTER_AUTO), want) << c.name << " seed " << seed << " event " << i;
      total_hits += want.size();
    }
    // The linear run agrees with the reference on an unrouted event.
    event plain = generate_event(g);
    std::erase_if(plain.kv, [](const auto &kv) {
      return kv.first == "event.category" || kv.first == "product" || kv.first == "event.module" ||
             kv.first == "log.syslog.appname";
    });
    sigma_hit_t hits[256];
    uint32_t n = sigma_eval_run_linear(ev, event::lookup, &plain, hits, 256);
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < n; i++) ids.push_back(hits[i].rule_id);
    const std::vector<uint32_t> want_plain = reference{b, plain}.run();
    EXPECT_EQ(ids, want_plain) << c.name << " seed " << seed;
    sigma_eval_stats_t st;
    sigma_eval_get_stats(ev, &st);
    prefilter_runs += st.prefilter_runs;
    skipped += st.rules_considered - st.rules_evaluated;
    sigma_eval_free(ev);
    sigma_db_free(&db);
  }
  // The generated data exercise what they are meant to.
  EXPECT_GT(total_hits, 0u) << c.name;
  if (c.opts.with_prefilter) {
    EXPECT_GT(prefilter_runs, 0u) << c.name;
    EXPECT_GT(skipped, 0u) << c.name << ": the prefilter never rejected a rule";
  }
}

TEST(SigmaPrefilter, PerFieldNeedles) { check_equivalence({"per-field needles", {40, false, true, true}, 40, 150}); }
TEST(SigmaPrefilter, AnyFieldNeedles) { check_equivalence({"any-field needles", {40, true, true, true}, 30, 150}); }
TEST(SigmaPrefilter, SoundClausesOnly) { check_equivalence({"sound clauses only", {40, false, false, true}, 30, 150}); }
TEST(SigmaPrefilter, LargeBucketsAutomaticMode) {
  check_equivalence({"large buckets (automatic mode engages)", {900, false, true, true}, 2, 150});
}
TEST(SigmaPrefilter, NoPrefilterSections) {
  check_equivalence({"no prefilter sections", {40, false, false, false}, 10, 100});
}

} // namespace
