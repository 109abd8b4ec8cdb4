// The correlation artifact reader: JSON text to owned `corr_rule_t` records.
#include "sigma/corr_format.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <libfastjson/json.h>

#include "normalizer/json_text.h"

namespace {

// Everything one rule points to.
struct rule_store {
  std::string id, title, level, mitre, value_field;
  std::vector<uint32_t> base, ordered;
  std::vector<std::string> group_by;
  std::vector<const char *> group_by_ptrs;
  std::vector<std::vector<std::string>> alias;
  std::vector<std::vector<const char *>> alias_ptrs;
  std::vector<const char **> alias_rows;
  std::vector<corr_ctok_t> cond;
};

struct json_ref {
  fjson_object *o = nullptr;
  ~json_ref() {
    if (o) fjson_object_put(o);
  }
};

fjson_object *member(fjson_object *obj, const char *name) {
  fjson_object *v = nullptr;
  if (!fjson_object_object_get_ex(obj, name, &v)) return nullptr;
  return v;
}

bool is_number(fjson_object *v) {
  return v && (fjson_object_is_type(v, fjson_type_int) || fjson_object_is_type(v, fjson_type_double));
}

// A number as a double; integers keep their exact value up to 2^53.
double number_of(fjson_object *v) {
  if (fjson_object_is_type(v, fjson_type_int)) return static_cast<double>(fjson_object_get_int64(v));
  return fjson_object_get_double(v);
}

// Clamps a double into [lo, hi]; NaN gives `nan_value`. Every double that
// becomes an integer goes through here, so no conversion is undefined.
int64_t clamp_to(double d, int64_t lo, int64_t hi, int64_t nan_value) {
  if (std::isnan(d)) return nan_value;
  if (d <= static_cast<double>(lo)) return lo;
  if (d >= static_cast<double>(hi)) return hi;
  return static_cast<int64_t>(d);
}

int64_t int_member(fjson_object *v, int64_t lo, int64_t hi) {
  if (!is_number(v)) return 0;
  if (fjson_object_is_type(v, fjson_type_int)) {
    int64_t i = fjson_object_get_int64(v);
    return i < lo ? lo : i > hi ? hi : i;
  }
  return clamp_to(fjson_object_get_double(v), lo, hi, 0);
}

std::string string_member(fjson_object *obj, const char *name, bool *present = nullptr) {
  fjson_object *v = member(obj, name);
  if (present) *present = v && fjson_object_is_type(v, fjson_type_string);
  if (!v || !fjson_object_is_type(v, fjson_type_string)) return std::string();
  return std::string(fjson_object_get_string(v), static_cast<size_t>(fjson_object_get_string_len(v)));
}

std::string string_or_empty(fjson_object *v) {
  if (!v || !fjson_object_is_type(v, fjson_type_string)) return std::string();
  return std::string(fjson_object_get_string(v), static_cast<size_t>(fjson_object_get_string_len(v)));
}

void read_ids(fjson_object *arr, std::vector<uint32_t> &out, corr_load_stats_t &st) {
  if (!arr || !fjson_object_is_type(arr, fjson_type_array)) return;
  size_t n = static_cast<size_t>(fjson_object_array_length(arr));
  if (n > CORR_MAX_BASE_IDS) {
    st.baserules_truncated += n - CORR_MAX_BASE_IDS;
    n = CORR_MAX_BASE_IDS;
  }
  for (size_t i = 0; i < n; ++i) {
    fjson_object *e = fjson_object_array_get_idx(arr, static_cast<int>(i));
    if (!is_number(e)) {
      ++st.rids_dropped;
      continue;
    }
    double d = number_of(e);
    if (fjson_object_is_type(e, fjson_type_int)) {
      int64_t v = fjson_object_get_int64(e);
      if (v < 0 || v > 0xFFFFFFFFll) {
        ++st.rids_dropped;
        continue;
      }
      out.push_back(static_cast<uint32_t>(v));
    } else if (!(d >= 0 && d <= 4294967295.0) || d != std::floor(d)) {
      ++st.rids_dropped;
    } else {
      out.push_back(static_cast<uint32_t>(d));
    }
  }
}

corr_type_t type_of(const std::string &s) {
  for (int t = 0; t < CORR_TYPE__MAX; ++t)
    if (s == corr_type_name(static_cast<corr_type_t>(t))) return static_cast<corr_type_t>(t);
  return CORR_TYPE__MAX;
}

corr_op_t op_of(const std::string &s) {
  if (s == "gt") return CORR_OP_GT;
  if (s == "lte") return CORR_OP_LTE;
  if (s == "lt") return CORR_OP_LT;
  if (s == "eq") return CORR_OP_EQ;
  return CORR_OP_GTE;
}

// Reads one element; false when it is rejected.
bool read_rule(fjson_object *e, rule_store &s, corr_rule_t &r, corr_load_stats_t &st) {
  if (!e || !fjson_object_is_type(e, fjson_type_object)) return false;
  r = corr_rule_t{};
  r.type = type_of(string_member(e, "type"));
  bool has_id = false;
  s.id = string_member(e, "id", &has_id);
  s.title = string_member(e, "title");
  s.level = string_member(e, "level");
  s.mitre = string_member(e, "mitre");
  read_ids(member(e, "base_rule_ids"), s.base, st);
  read_ids(member(e, "ordered_rule_ids"), s.ordered, st);

  if (fjson_object *gb = member(e, "group_by"); gb && fjson_object_is_type(gb, fjson_type_array)) {
    size_t n = static_cast<size_t>(fjson_object_array_length(gb));
    if (n > CORR_MAX_GROUP_BY) {
      st.groupby_truncated += n - CORR_MAX_GROUP_BY;
      n = CORR_MAX_GROUP_BY;
    }
    for (size_t i = 0; i < n; ++i)
      s.group_by.push_back(string_or_empty(fjson_object_array_get_idx(gb, static_cast<int>(i))));
  }

  bool ok = true;
  if (fjson_object *al = member(e, "alias_group_by"); al && fjson_object_is_type(al, fjson_type_array)) {
    size_t n = static_cast<size_t>(fjson_object_array_length(al));
    if (n != s.base.size() || s.group_by.empty()) ok = false;
    for (size_t i = 0; ok && i < n; ++i) {
      fjson_object *row = fjson_object_array_get_idx(al, static_cast<int>(i));
      if (!row || !fjson_object_is_type(row, fjson_type_array) ||
          static_cast<size_t>(fjson_object_array_length(row)) != s.group_by.size()) {
        ok = false;
        break;
      }
      std::vector<std::string> names;
      for (size_t j = 0; j < s.group_by.size(); ++j)
        names.push_back(string_or_empty(fjson_object_array_get_idx(row, static_cast<int>(j))));
      s.alias.push_back(std::move(names));
    }
  }

  if (fjson_object *ts = member(e, "timespan_s"); is_number(ts))
    r.timespan_s = static_cast<int32_t>(
        fjson_object_is_type(ts, fjson_type_int) ? int_member(ts, INT32_MIN, INT32_MAX)
                                                 : clamp_to(number_of(ts), INT32_MIN, INT32_MAX, 0));

  if (fjson_object *c = member(e, "condition"); c && fjson_object_is_type(c, fjson_type_object)) {
    r.cond_op = op_of(string_member(c, "op"));
    r.cond_count = int_member(member(c, "count"), INT64_MIN, INT64_MAX);
    s.value_field = string_member(c, "field");
    r.beacon_cv_permille = static_cast<int32_t>(int_member(member(c, "cv_permille"), INT32_MIN, INT32_MAX));
    r.value_percentile = static_cast<int32_t>(int_member(member(c, "percentile"), INT32_MIN, INT32_MAX));
    r.beacon_n_buckets = static_cast<int32_t>(int_member(member(c, "n_buckets"), INT32_MIN, INT32_MAX));
  }

  if (fjson_object *rpn = member(e, "condition_rpn")) {
    if (!fjson_object_is_type(rpn, fjson_type_array)) {
      ok = false;
    } else {
      size_t n = static_cast<size_t>(fjson_object_array_length(rpn));
      if (n < 1 || n > CORR_MAX_COND) ok = false;
      for (size_t i = 0; ok && i < n; ++i) {
        fjson_object *t = fjson_object_array_get_idx(rpn, static_cast<int>(i));
        if (!t || !fjson_object_is_type(t, fjson_type_object)) {
          ok = false;
          break;
        }
        std::string k = string_member(t, "k");
        corr_ctok_t tok{};
        if (k == "sel") {
          fjson_object *rv = member(t, "r");
          double d = is_number(rv) ? number_of(rv) : -1;
          if (!(d >= 0 && d < static_cast<double>(s.base.size()) && d <= 63)) {
            ok = false;
            break;
          }
          tok.kind = 0;
          tok.rid_idx = static_cast<uint32_t>(d);
        } else if (k == "and") {
          tok.kind = 1;
        } else if (k == "or") {
          tok.kind = 2;
        } else if (k == "not") {
          tok.kind = 3;
        } else {
          ok = false;
          break;
        }
        s.cond.push_back(tok);
      }
    }
  }
  if (!has_id) ok = false;
  if (!ok) return false;

  for (const std::string &g : s.group_by) s.group_by_ptrs.push_back(g.c_str());
  for (const auto &row : s.alias) {
    std::vector<const char *> p;
    for (const std::string &n : row) p.push_back(n.c_str());
    s.alias_ptrs.push_back(std::move(p));
  }
  for (auto &p : s.alias_ptrs) s.alias_rows.push_back(p.data());

  r.id = s.id.c_str();
  r.title = s.title.c_str();
  r.level = s.level.empty() ? nullptr : s.level.c_str();
  r.mitre = s.mitre.empty() ? nullptr : s.mitre.c_str();
  r.value_field = s.value_field.empty() ? nullptr : s.value_field.c_str();
  r.base_rule_ids = s.base.empty() ? nullptr : s.base.data();
  r.n_base_rule_ids = s.base.size();
  r.ordered_rule_ids = s.ordered.empty() ? nullptr : s.ordered.data();
  r.n_ordered_rule_ids = s.ordered.size();
  r.group_by = s.group_by_ptrs.empty() ? nullptr : s.group_by_ptrs.data();
  r.n_group_by = s.group_by_ptrs.size();
  r.alias_group_by = s.alias_rows.empty() ? nullptr : s.alias_rows.data();
  r.n_alias_group_by = s.alias_rows.size();
  r.cond = s.cond.empty() ? nullptr : s.cond.data();
  r.n_cond = s.cond.size();
  return true;
}

} // namespace

struct corr_artifact_t {
  std::vector<corr_rule_t> rules;
  std::vector<std::unique_ptr<rule_store>> stores;
  corr_load_stats_t load{};
};

const char *corr_type_name(corr_type_t type) {
  static const char *const names[] = {"event_count", "value_count",      "temporal",
                                      "temporal_ordered", "value_sum",   "value_avg",
                                      "beaconing",   "value_percentile", "value_median"};
  return type >= 0 && type < CORR_TYPE__MAX ? names[type] : "unknown";
}

const char *corr_tier_name(corr_tier_t tier) { return tier == CORR_TIER_STRONG ? "strong" : "weak"; }

double corr_tier_weight(corr_tier_t tier) { return tier == CORR_TIER_STRONG ? 0.6 : 0.3; }

corr_artifact_t *corr_artifact_parse(const char *text, size_t len, corr_artifact_view *view) {
  if (view) *view = corr_artifact_view{};
  if (!text || len == 0) return nullptr;
  try {
    // The whole text must be one JSON value, blanks around it aside.
    size_t start = 0;
    while (start < len && strchr(" \t\r\n", text[start]) && text[start]) ++start;
    size_t end = 0;
    json_ref root;
    root.o = ln_json_parse_prefix(text + start, len - start, &end);
    if (!root.o) return nullptr;
    for (size_t i = start + end; i < len; ++i)
      if (!strchr(" \t\r\n", text[i]) || !text[i]) return nullptr;
    if (!fjson_object_is_type(root.o, fjson_type_object)) return nullptr;
    fjson_object *ver = member(root.o, "version");
    if (!ver || !fjson_object_is_type(ver, fjson_type_int) || fjson_object_get_int64(ver) != 1)
      return nullptr;
    fjson_object *arr = member(root.o, "correlations");
    if (!arr || !fjson_object_is_type(arr, fjson_type_array)) return nullptr;

    auto art = std::make_unique<corr_artifact_t>();
    size_t n = static_cast<size_t>(fjson_object_array_length(arr));
    for (size_t i = 0; i < n; ++i) {
      auto store = std::make_unique<rule_store>();
      corr_rule_t r{};
      if (!read_rule(fjson_object_array_get_idx(arr, static_cast<int>(i)), *store, r, art->load)) {
        ++art->load.rules_rejected;
        continue;
      }
      art->rules.push_back(r);
      art->stores.push_back(std::move(store));
    }
    if (view) {
      view->rules = art->rules.empty() ? nullptr : art->rules.data();
      view->n = art->rules.size();
      view->load = art->load;
    }
    return art.release();
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

corr_artifact_t *corr_artifact_load_file(const char *path, corr_artifact_view *view) {
  if (view) *view = corr_artifact_view{};
  if (!path) return nullptr;
  FILE *f = fopen(path, "rb");
  if (!f) return nullptr;
  std::string text;
  char buf[65536];
  size_t got;
  try {
    while ((got = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
  } catch (const std::bad_alloc &) {
    fclose(f);
    return nullptr;
  }
  bool bad = ferror(f) != 0;
  fclose(f);
  if (bad) return nullptr;
  return corr_artifact_parse(text.data(), text.size(), view);
}

void corr_artifact_free(corr_artifact_t *artifact) { delete artifact; }
