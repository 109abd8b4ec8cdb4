// Correlation rules: the records the correlation engine runs on, and the
// reader of the JSON correlation artifact that describes them.
//
// The artifact is {"version":1,"correlations":[...]}. Each element becomes a
// `corr_rule_t` or is counted as rejected; numbers are clamped to the ranges
// of the record fields, so nothing that reaches the engine depends on a
// float-to-integer conversion of an out-of-range value.
#pragma once

#include <cstddef>
#include <cstdint>

enum corr_type_t {
  CORR_EVENT_COUNT = 0,
  CORR_VALUE_COUNT = 1,
  CORR_TEMPORAL = 2,
  CORR_TEMPORAL_ORDERED = 3,
  CORR_VALUE_SUM = 4,
  CORR_VALUE_AVG = 5,
  CORR_BEACONING = 6,
  CORR_VALUE_PERCENTILE = 7,
  CORR_VALUE_MEDIAN = 8,
  CORR_TYPE__MAX = 9,
};

// Comparisons put the observed value left and the threshold right.
enum corr_op_t {
  CORR_OP_GTE = 0,
  CORR_OP_GT = 1,
  CORR_OP_LTE = 2,
  CORR_OP_LT = 3,
  CORR_OP_EQ = 4,
};

enum corr_tier_t {
  CORR_TIER_WEAK = 0,
  CORR_TIER_STRONG = 1,
};

// One token of a postfix condition over a rule's base rules.
struct corr_ctok_t {
  uint8_t kind; // 0 selection, 1 and, 2 or, 3 not
  uint8_t _pad[3];
  uint32_t rid_idx; // kind 0: position in base_rule_ids, at most 63
};

struct corr_rule_t {
  const char *id;
  const char *title;
  corr_type_t type;
  const uint32_t *base_rule_ids;
  size_t n_base_rule_ids;
  const uint32_t *ordered_rule_ids; // steps of CORR_TEMPORAL_ORDERED (empty: base_rule_ids)
  size_t n_ordered_rule_ids;
  const char **group_by; // at most 8
  size_t n_group_by;
  const char ***alias_group_by; // per base rule, n_group_by names; null when absent
  size_t n_alias_group_by;
  const char *value_field;
  corr_op_t cond_op;
  int64_t cond_count;
  int32_t timespan_s;
  const char *level;
  const char *mitre;
  const corr_ctok_t *cond;
  size_t n_cond;
  int32_t beacon_cv_permille;
  int32_t beacon_n_buckets; // 0: timestamp mode
  int32_t value_percentile;
};

struct corr_load_stats_t {
  uint64_t rules_rejected;
  uint64_t groupby_truncated;
  uint64_t baserules_truncated;
  uint64_t rids_dropped;
};

struct corr_artifact_view {
  const corr_rule_t *rules;
  size_t n;
  corr_load_stats_t load;
};

struct corr_artifact_t; // owns the rules and everything they point to

// Null when the text is not an object with "version" 1 and a "correlations"
// array (or memory runs out). `view` may be null.
corr_artifact_t *corr_artifact_parse(const char *text, size_t len, corr_artifact_view *view);
// Reads the file and parses it; null when it cannot be read.
corr_artifact_t *corr_artifact_load_file(const char *path, corr_artifact_view *view);
void corr_artifact_free(corr_artifact_t *artifact);

// Names of the enumerations as the artifact writes them.
const char *corr_type_name(corr_type_t type);
const char *corr_tier_name(corr_tier_t tier);
double corr_tier_weight(corr_tier_t tier);

// Largest values the artifact reader keeps.
constexpr size_t CORR_MAX_GROUP_BY = 8;
constexpr size_t CORR_MAX_BASE_IDS = 4096;
constexpr size_t CORR_MAX_COND = 256;
