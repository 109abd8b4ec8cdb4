// Test and benchmark helper: builds Sigma databases record by record,
// serializes them and loads the image; plus a flat event with a lookup
// function for the evaluator.
#pragma once

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "sigma/sigma_format.h"
#include "sigma/sigma_match.h"

namespace sigma_test {

struct pred_spec {
  std::string field;
  uint8_t op = SIGMA_OP_EQ;
  std::string value; // literal, or the other field's name with SIGMA_PF_FIELDREF
  uint8_t flags = 0;
  uint16_t group = 0;
  int64_t ival = 0;
  uint32_t cidr = SIGMA_NONE; // for SIGMA_OP_CIDR: index from builder::cidr
};

struct builder {
  std::string pool;
  std::vector<sigma_str_t> fields, values, bucket_keys, litndl;
  std::vector<sigma_pred_t> preds;
  std::vector<sigma_sel_t> sels;
  std::vector<sigma_ctok_t> cond;
  std::vector<sigma_rule_t> rules;
  std::vector<sigma_cidr_t> cidrs;
  std::vector<sigma_bucket_t> buckets;
  std::vector<uint32_t> bucket_idx, litav;
  std::vector<sigma_litpost_t> litpost;
  std::vector<sigma_litref_t> litpost_ref;
  std::vector<uint8_t> rule_clauses; // empty = absent
  std::vector<sigma_fwit_t> fwit;
  std::map<std::string, uint32_t, std::less<>> field_ids;

  sigma_str_t str(std::string_view s, bool nul = false) {
    sigma_str_t r{uint32_t(pool.size()), uint32_t(s.size())};
    pool.append(s);
    if (nul) pool.push_back('\0');
    return r;
  }
  uint32_t field(std::string_view name) {
    auto it = field_ids.find(name);
    if (it != field_ids.end()) return it->second;
    fields.push_back(str(name, true));
    uint32_t id = uint32_t(fields.size() - 1);
    field_ids.emplace(std::string(name), id);
    return id;
  }
  uint32_t value(std::string_view v) {
    values.push_back(str(v));
    return uint32_t(values.size() - 1);
  }
  // "10.0.0.0/8" or "2001:db8::/32".
  uint32_t cidr(uint8_t family, uint8_t prefix, const uint8_t *net) {
    sigma_cidr_t c{};
    c.family = family;
    c.prefix = prefix;
    std::memcpy(c.net, net, family == 4 ? 4 : 16);
    cidrs.push_back(c);
    return uint32_t(cidrs.size() - 1);
  }
  uint32_t pred(const pred_spec &p) {
    sigma_pred_t r{};
    r.field_id = uint16_t(field(p.field));
    r.group_id = p.group;
    r.op = p.op;
    r.flags = p.flags;
    r.ival = p.ival;
    if (p.flags & SIGMA_PF_FIELDREF)
      r.value_id = field(p.value);
    else if (p.op == SIGMA_OP_CIDR)
      r.value_id = p.cidr;
    else if (p.op == SIGMA_OP_EXISTS || p.op == SIGMA_OP_GT || p.op == SIGMA_OP_GTE ||
             p.op == SIGMA_OP_LT || p.op == SIGMA_OP_LTE || p.op == SIGMA_OP_NUMEQ)
      r.value_id = SIGMA_NONE;
    else
      r.value_id = value(p.value);
    preds.push_back(r);
    return uint32_t(preds.size() - 1);
  }
  uint32_t sel(const std::vector<pred_spec> &ps) {
    sigma_sel_t s{uint32_t(preds.size()), uint32_t(ps.size())};
    for (const auto &p : ps) pred(p);
    sels.push_back(s);
    return uint32_t(sels.size() - 1);
  }
  // A rule over the given selections; cond is postfix: "s0 s1 and not" style
  // tokens as (kind, sel) pairs. Returns the rule's position.
  uint32_t rule(uint32_t id, const std::vector<std::vector<pred_spec>> &selections,
                const std::vector<std::pair<uint8_t, uint32_t>> &tokens = {}) {
    sigma_rule_t r{};
    r.rule_id = id;
    r.sel_start = uint32_t(sels.size());
    r.sel_count = uint32_t(selections.size());
    for (const auto &s : selections) sel(s);
    r.cond_start = uint32_t(cond.size());
    r.cond_count = uint32_t(tokens.size());
    for (auto [k, s] : tokens) {
      sigma_ctok_t t{};
      t.kind = k;
      t.sel_idx = s;
      cond.push_back(t);
    }
    r.name_id = SIGMA_NONE;
    r.mitre_id = SIGMA_NONE;
    rules.push_back(r);
    return uint32_t(rules.size() - 1);
  }
  uint32_t bucket(std::string_view key, const std::vector<uint32_t> &rule_positions) {
    bucket_keys.push_back(str(key));
    buckets.push_back(sigma_bucket_t{uint32_t(bucket_idx.size()), uint32_t(rule_positions.size())});
    bucket_idx.insert(bucket_idx.end(), rule_positions.begin(), rule_positions.end());
    return uint32_t(buckets.size() - 1);
  }
  // One needle with its references (rule position, field name or "" for any
  // field, clause). rule_clauses must be set by the caller.
  uint32_t needle(std::string_view text, const std::vector<std::tuple<uint32_t, std::string, uint8_t>> &refs) {
    litndl.push_back(str(text));
    litpost.push_back(sigma_litpost_t{uint32_t(litpost_ref.size()), uint32_t(refs.size())});
    for (const auto &[r, f, c] : refs) {
      sigma_litref_t x{};
      x.rule_idx = r;
      x.field_id = f.empty() ? SIGMA_ANY_FIELD : uint16_t(field(f));
      x.clause_idx = c;
      litpost_ref.push_back(x);
    }
    return uint32_t(litndl.size() - 1);
  }

  sigma_db_t view() const {
    sigma_db_t d{};
    d.fields = fields.data(), d.n_fields = uint32_t(fields.size());
    d.values = values.data(), d.n_values = uint32_t(values.size());
    d.preds = preds.data(), d.n_preds = uint32_t(preds.size());
    d.sels = sels.data(), d.n_sels = uint32_t(sels.size());
    d.cond = cond.data(), d.n_cond = uint32_t(cond.size());
    d.rules = rules.data(), d.n_rules = uint32_t(rules.size());
    d.cidrs = cidrs.data(), d.n_cidrs = uint32_t(cidrs.size());
    d.strpool = pool.data(), d.strpool_len = uint32_t(pool.size());
    d.bucket_keys = bucket_keys.data(), d.n_buckets = uint32_t(buckets.size());
    d.buckets = buckets.data();
    d.bucket_idx = bucket_idx.data(), d.n_bucket_idx = uint32_t(bucket_idx.size());
    d.litndl = litndl.data(), d.n_litndl = uint32_t(litndl.size());
    d.litpost = litpost.data();
    d.litpost_ref = litpost_ref.data(), d.n_litpost_ref = uint32_t(litpost_ref.size());
    d.litav = litav.data(), d.n_litav = uint32_t(litav.size());
    d.rule_clauses = rule_clauses.empty() ? nullptr : rule_clauses.data();
    d.fwit = fwit.data(), d.n_fwit = uint32_t(fwit.size());
    return d;
  }
  std::vector<uint8_t> image() const {
    sigma_db_t d = view();
    uint8_t *out = nullptr;
    size_t n = 0;
    if (sigma_db_serialize(&d, &out, &n) != SIGMA_OK) return {};
    std::vector<uint8_t> img(out, out + n);
    std::free(out);
    return img;
  }
};

// Loads a copy of img; the database owns the copy on success.
inline int load(const std::vector<uint8_t> &img, sigma_db_t *db) {
  uint8_t *buf = static_cast<uint8_t *>(std::malloc(img.size() ? img.size() : 1));
  if (!img.empty()) std::memcpy(buf, img.data(), img.size());
  int rc = sigma_db_load_buffer(buf, img.size(), db);
  if (rc != SIGMA_OK) std::free(buf);
  return rc;
}

// Rewrites the CRC after a test has patched an image.
inline void fix_crc(std::vector<uint8_t> &img) {
  uint32_t crc = sigma_crc32c(img.data(), img.size() - 4);
  std::memcpy(img.data() + img.size() - 4, &crc, 4);
}

// A flat event: field name / value pairs; a lookup counter for tests of
// laziness.
struct event {
  std::vector<std::pair<std::string, std::string>> kv;
  mutable uint32_t lookups = 0;
  event &set(std::string name, std::string value) {
    kv.emplace_back(std::move(name), std::move(value));
    return *this;
  }
  static const char *lookup(void *ctx, const char *name, uint32_t len, size_t *out_len) {
    auto *e = static_cast<const event *>(ctx);
    e->lookups++;
    std::string_view n(name, len);
    for (const auto &[k, v] : e->kv)
      if (k == n) {
        *out_len = v.size();
        return v.data();
      }
    return nullptr;
  }
};

} // namespace sigma_test
