// The correlation engine: fed one event at a time with the base rules that
// fired on it, it keeps per-rule, per-group state in time windows and reports
// the correlation rules that fire.
//
// Safe for concurrent callers: each rule's groups have their own lock, the
// statistics are atomic, and the sweep of idle groups takes a global lock
// only when it is free. Every per-group structure has a hard cap, and the
// groups of a rule are capped with least-recently-used eviction, so memory is
// bounded by the caps whatever the stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sigma/corr_format.h"

struct corr_caps_t {
  uint32_t max_groups;           // groups per rule
  uint32_t max_distinct;         // distinct values per group
  uint32_t max_events_per_group; // time ring capacity per group
  double sweep_interval_s;
  int event_time_ordering;
  double watermark_s;
};

corr_caps_t corr_caps_default(void);

struct corr_stats_t {
  uint64_t groups_evicted;
  uint64_t distinct_evicted;
  uint64_t ring_evicted;
  uint64_t fires_suppressed;
  uint64_t fires_dropped;
  uint64_t rules_rejected;
  uint64_t group_field_missing;
  uint64_t rid_table_full;
  uint64_t rids_overflow;
  uint64_t group_values_dropped;
  uint64_t alloc_failures;
  uint64_t non_numeric;
  uint64_t rpn_rejected;
  uint64_t late_events;
  uint64_t ring_pressure;
};

// One fire. `group` points into the caller's scratch array; its texts are
// copies owned by the fire (the group itself may be swept or evicted as soon
// as the engine's lock is released) and are freed with corr_fires_release.
struct corr_fire_t {
  const char *rule_id;
  const char *title;
  corr_type_t type;
  const char *technique;
  const char *level; // "medium" when the rule has none
  corr_tier_t tier;
  double fidelity_weight;
  const char *const *group_by;
  char **group; // null when the values did not fit the scratch
  size_t n_group;
  int64_t observed;
  int64_t threshold;
  const char *value_field;
  const uint32_t *base_rule_ids;
  size_t n_base_rule_ids;
  int remote; // 1 when the group has received contributions
};

// Frees the group values of the first n fires (those written by one call).
void corr_fires_release(corr_fire_t *fires, size_t n);

// Field lookup: the value as a NUL-terminated text, or null when absent.
typedef const char *(*corr_field_fn)(void *ctx, const char *name);

struct corr_engine_t;

// The engine points into `rules`, which must outlive it. Null only when
// memory runs out; rejected rules are counted in the statistics.
corr_engine_t *corr_engine_new(const corr_rule_t *rules, size_t n, const corr_caps_t *caps);
void corr_engine_free(corr_engine_t *engine);

// Feeds one event: the base rules that fired on it and its time in seconds
// (a time that is not finite is ignored). Returns the number of fires; only
// the first max_fires are written. `scratch` receives the group values of
// the written fires.
size_t corr_on_event(corr_engine_t *engine, const uint32_t *rule_ids, size_t n_rule_ids,
                     corr_field_fn field_fn, void *ctx, double now, corr_fire_t *fires,
                     size_t max_fires, char **scratch, size_t scratch_cap);

// Applies every event still held in the reorder buffers (event-time
// ordering with a watermark), as at the end of a stream. Returns the fires.
size_t corr_flush(corr_engine_t *engine, corr_fire_t *fires, size_t max_fires, char **scratch,
                  size_t scratch_cap);

// Pre-aggregated work from another engine instance.
enum corr_contrib_kind_t {
  CORR_CONTRIB_EVENT = 0,
  CORR_CONTRIB_COUNT = 1,
  CORR_CONTRIB_SUM = 2,
  CORR_CONTRIB_DISTINCT = 3,
  CORR_CONTRIB_RIDMASK = 4,
};

struct corr_contrib_t {
  int kind;
  const char *rule_id;
  const uint32_t *rule_ids; // kind 0
  size_t n_rule_ids;
  const char *const *values; // group values
  size_t n_values;
  double ts;
  const char *value; // kind 3
  double sum;        // kind 2
  int32_t count;     // kinds 1 and 2; 0 counts as 1
  uint64_t rid_mask; // kind 4
};

size_t corr_on_contribution(corr_engine_t *engine, const corr_contrib_t *contribution,
                            corr_field_fn field_fn, void *ctx, corr_fire_t *fires,
                            size_t max_fires, char **scratch, size_t scratch_cap);

int corr_contrib_kind_for(corr_type_t type);

// The owner key (rule id and group values joined by tabs): its length, or 0
// when it does not fit cap bytes with its terminator.
size_t corr_owner_key(char *dst, size_t cap, const char *rule_id, const char *const *values,
                      size_t n);
uint32_t corr_owner_index(const char *rule_id, const char *const *values, size_t n,
                          uint32_t n_owners);

size_t corr_engine_rule_count(const corr_engine_t *engine);
const corr_rule_t *corr_engine_rule_at(const corr_engine_t *engine, size_t i);
size_t corr_engine_total_groups(corr_engine_t *engine);
size_t corr_engine_groups_for(corr_engine_t *engine, const char *rule_id);
void corr_engine_stats(const corr_engine_t *engine, corr_stats_t *out);
int corr_rule_hits(const corr_rule_t *rule, const uint32_t *rule_ids, size_t n);
corr_tier_t corr_tier_for(corr_type_t type, const char *level);
// Evaluates a postfix condition over a bitmask of base rules seen.
int corr_cond_eval(const corr_ctok_t *cond, size_t n, uint64_t mask);
