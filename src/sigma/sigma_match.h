// The Sigma evaluator: which compiled rules fire for one event.
//
// The evaluator never sees the event itself. It asks a caller-supplied lookup
// function for the value of a field by name and caches the answer for the
// rest of the event. Work per event is cut in two stages: routing picks the
// buckets whose logsource key matches one of the routing fields, and an
// optional literal prefilter scans field values once for the needles of the
// database and keeps only rules whose necessary clauses were all seen. The
// surviving rules are evaluated exactly. The prefilter never changes the
// answer, only the work.
//
// An evaluator is used by one thread at a time; several evaluators may share
// one loaded database, which must outlive them. The hot path allocates
// nothing (the regular-expression match data is created once, on first use).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sigma/sigma_format.h"

// Looks up a field of the event: name is name_len bytes (and NUL-terminated
// for the database's own names). Returns the value bytes (no terminator
// needed) with *out_len set, or null when the event has no such field.
typedef const char *(*sigma_field_fn)(void *ctx, const char *name, uint32_t name_len,
                                      size_t *out_len);

// One firing rule.
struct sigma_hit_t {
  uint32_t rule_id;
  uint8_t verdict;
  uint8_t severity;
  uint16_t score_x100;
  const char *mitre; // technique id in the string pool (not NUL-terminated) or null
  uint32_t mitre_len;
};

// Counters since creation or the last reset.
struct sigma_eval_stats_t {
  uint64_t events;           // calls of sigma_eval_run
  uint64_t rules_considered; // rule positions from candidate buckets (all rules when unrouted)
  uint64_t rules_evaluated;  // rule evaluations started
  uint64_t prefilter_runs;   // events that used the prefilter
  uint64_t literal_hits;     // needle occurrences verified (once per needle and field)
  uint64_t literal_probes;   // needle chain entries visited, cumulative
  uint64_t bytes_scanned;    // value bytes scanned by the prefilter
};

// Prefilter modes.
enum {
  SIGMA_PREFILTER_OFF = 0,
  SIGMA_PREFILTER_AUTO = 1,   // on for candidate buckets of more than 255 rules
  SIGMA_PREFILTER_ALWAYS = 2, // on whenever the database has prefilter data
};

struct sigma_eval_t;

// Null when memory runs out (nothing leaked).
sigma_eval_t *sigma_eval_create(const sigma_db_t *db);
void sigma_eval_free(sigma_eval_t *ev);

// Evaluates one event: returns the number of rules that fired; the first
// max_hits are written to hits (which may be null). Rules are reported once,
// in candidate-bucket order.
uint32_t sigma_eval_run(sigma_eval_t *ev, sigma_field_fn fn, void *ctx, sigma_hit_t *hits,
                        uint32_t max_hits);
// The same without routing, prefilter or statistics: every rule in order.
uint32_t sigma_eval_run_linear(sigma_eval_t *ev, sigma_field_fn fn, void *ctx, sigma_hit_t *hits,
                               uint32_t max_hits);

// Mode is clamped to 0..2.
void sigma_eval_set_prefilter(sigma_eval_t *ev, int mode);
// All zero for a null evaluator.
void sigma_eval_get_stats(const sigma_eval_t *ev, sigma_eval_stats_t *out);
void sigma_eval_reset_stats(sigma_eval_t *ev);

// ---- predicate helpers --------------------------------------------------------

// First occurrence of the needle in the haystack under ASCII case folding, or
// null. An empty needle is found at the start.
const char *sigma_memmem_ci(const char *hay, size_t hay_len, const char *needle, size_t needle_len);

// Reads an integer: an optional '+' or '-' that must be followed by more
// bytes, then at least one digit; stops at the first non-digit ("42abc" is
// 42). Overflow saturates at the int64 bounds. False when not an integer.
bool sigma_parse_int(const char *p, size_t n, int64_t *out);

// True when the text (1 to 45 bytes) parses as an address of the entry's
// family (4 or 6; no mixing) and lies inside its prefix.
bool sigma_ip_in_cidr(const char *p, size_t n, const sigma_cidr_t *c);
