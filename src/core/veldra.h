// The tool's core: text builder, canonical results and diff, the comparison
// run, reports, ECS knowledge and the severity preview. Every text a vdr_
// function hands out is freed with vdr_free.
#pragma once

#include <cstddef>
#include <cstdint>

#include <libfastjson/json.h>

#include "normalizer/context.h"

/* ---- text builder and JSON string writer -------------------------------- */

// Growable text with a sticky out-of-memory latch: after the first failure
// every append is ignored and vdr_sb_release returns null.
struct vdr_sb {
  char *buf;
  size_t len;
  size_t cap;
  int oom;
};

void vdr_sb_init(vdr_sb *sb);
int vdr_sb_puts(vdr_sb *sb, const char *s);
int vdr_sb_putn(vdr_sb *sb, const char *s, size_t n);
int vdr_sb_putc(vdr_sb *sb, char c);
int vdr_sb_printf(vdr_sb *sb, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int vdr_sb_json_string(vdr_sb *sb, const char *s);
int vdr_sb_json_stringn(vdr_sb *sb, const char *s, size_t n);
// Length (1 to 4) of the well-formed UTF-8 sequence at the start of the n
// bytes at s, or 0 when they do not begin with one (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF).
size_t vdr_utf8_len(const char *s, size_t n);
// Appends JSON text (a whole document, such as a serialized result) with
// every byte that does not begin a well-formed UTF-8 sequence written as
// \u00XX: such bytes only occur inside string literals, so the text stays
// the same JSON and becomes valid UTF-8. The JSON string writer applies the
// same rule to the strings it writes.
int vdr_sb_json_text(vdr_sb *sb, const char *s, size_t n);
// Appends a JSON array of the texts, e.g. ["a","b"]; [] when n is 0.
int vdr_sb_json_string_array(vdr_sb *sb, char *const *items, size_t n);
char *vdr_sb_release(vdr_sb *sb);
void vdr_sb_free(vdr_sb *sb);
void vdr_free(void *p);
char *vdr_strdup_checked(const char *s);
char *vdr_strjoin_path(const char *prefix, const char *key);
char *vdr_strjoin_index(const char *prefix, size_t i);
const char *vdr_type_name(int t);

/* ---- canonical results and diff ----------------------------------------- */

struct vdr_field {
  char *path;
  int type; // fjson_type number
  char *value;
};

struct vdr_canon {
  vdr_field *fields;
  size_t n;
  size_t cap;
  char **tags;
  size_t n_tags;
  int tag_key; // -1 none, 0 "event.tags", 1 "tags"
  int unparsed;
  int saw_flat_dotted;
  int saw_nested_object;
  int dup_field_names;
};

typedef enum {
  VDR_DIFF_MISSING_IN_LEGACY = 0,
  VDR_DIFF_MISSING_IN_TURBO = 1,
  VDR_DIFF_VALUE = 2,
  VDR_DIFF_TYPE = 3,
  VDR_DIFF_TAGS = 4
} vdr_diff_kind;

struct vdr_diff {
  char *path;
  vdr_diff_kind kind;
  char *legacy;
  char *turbo;
  const char *legacy_type;
  const char *turbo_type;
};

typedef enum {
  VDR_STATUS_MATCH = 0,
  VDR_STATUS_EQUIVALENT = 1,
  VDR_STATUS_UNPARSED_BOTH = 2,
  VDR_STATUS_COVERAGE_GAP = 3,
  VDR_STATUS_TURBO_ONLY = 4,
  VDR_STATUS_DIVERGENCE = 5,
  VDR_STATUS_DUP_FIELD = 6,
  VDR_STATUS__COUNT = 7
} vdr_status;

#define VDR_SHAPE_NESTED_DOTTED 1u
#define VDR_SHAPE_TAG_SPELLING 2u

int vdr_canon_build(struct fjson_object *root, vdr_canon *out);
void vdr_canon_free(vdr_canon *c);
int vdr_diff_compute(const vdr_canon *legacy, const vdr_canon *turbo, vdr_diff **diffs,
                     size_t *n, uint32_t *shape);
void vdr_diff_free(vdr_diff *diffs, size_t n);
const char *vdr_diff_kind_name(int kind);
const char *vdr_status_name(int status);

/* ---- comparison run ----------------------------------------------------- */

// Which per-sample records a run keeps; the tally, the sample count and the
// diff kinds always cover every sample.
typedef enum {
  VDR_KEEP_ALL = 0,       // every sample's record
  VDR_KEEP_ATTENTION = 1, // only samples that are neither match nor equivalent
  VDR_KEEP_NONE = 2       // none
} vdr_keep;

struct vdr_config {
  uint32_t ctx_flags;
  int keep_json;
  int max_samples;
  vdr_keep keep; // zero (all) unless set
  int jobs;      // threads of vdr_run_samples, each with its own contexts; 0 or 1: one
};

typedef enum { VDR_ENGINE_LEGACY = 0, VDR_ENGINE_TURBO = 1 } vdr_engine;

struct vdr_result {
  size_t index;
  char *line;
  vdr_status status;
  uint32_t shape;
  vdr_diff *diffs;
  size_t n_diffs;
  char *legacy_json;
  char *turbo_json;
  size_t line_no;       // 1-based line in the samples text (empty lines count)
  uint32_t legacy_rule; // rule the walker matched through (vdr_run_rule), 0 none
  uint32_t turbo_rule;  // rule VaderAD matched through, 0 none
};

struct vdr_run; // opaque outside engine.cpp

typedef void (*vdr_progress_cb)(size_t done, size_t total, void *user);

int vdr_rulebase_is_v2(const char *text);
vdr_run *vdr_run_new(const char *text, const vdr_config *cfg, char **errmsg);
// The rulebase text with the basic-types include expanded into its fixed
// prelude and the version header kept, as vdr_run_new_from_text loads it with
// expand_basic_types; null when out of memory.
char *vdr_expand_basic_types(const char *text);
vdr_run *vdr_run_new_from_file(const char *path, const vdr_config *cfg, char **errmsg);
// Builds a run from rulebase text that was read from the file `name` (or a
// pipe, or standard input): both engines load the text as that file's
// content, without opening it again, so messages name `name` and relative
// includes resolve against the working directory. With expand_basic_types
// the basic-types include is first expanded into its fixed prelude, as
// vdr_run_new does.
vdr_run *vdr_run_new_from_text(const char *text, const char *name, int expand_basic_types,
                               const vdr_config *cfg, char **errmsg);
const char *vdr_run_diagnostics(const vdr_run *run, vdr_engine engine);
int vdr_run_turbo_available(const vdr_run *run);
// Why VaderAD did not compile the rulebase (the compiler's reason), or ""
// when it compiled.
const char *vdr_run_turbo_reason(const vdr_run *run);
size_t vdr_run_samples(vdr_run *run, const char *samples, vdr_progress_cb cb, void *user);
const vdr_result *vdr_run_results(const vdr_run *run, size_t *count);
// Samples run so far, kept or not; a record's index counts among them.
size_t vdr_run_sample_count(const vdr_run *run);
// Diffs of each vdr_diff_kind over every sample run so far (5 counters).
const size_t *vdr_run_diff_kinds(const vdr_run *run);
const size_t *vdr_run_tally(const vdr_run *run);
void vdr_run_free(vdr_run *run);
// The rules of the loaded rulebase in load order (an include's rules where
// the include stands), as the loader recorded them; both engines name the
// rule a sample went through by this 1-based index.
struct ln_rule_info;
uint32_t vdr_run_rule_count(const vdr_run *run);
const ln_rule_info *vdr_run_rule(const vdr_run *run, uint32_t idx);

/* ---- ECS catalogue and lint --------------------------------------------- */

typedef enum { VDR_ECS_OK = 0, VDR_ECS_FAIL = 1 } vdr_ecs_verdict;

struct vdr_ecs_report {
  vdr_ecs_verdict verdict;
  const char *schema_version;
  char **errors;
  size_t n_errors;
  char **warnings;
  size_t n_warnings;
};

#define VDR_ECS_STRICT 1u

const char *vdr_ecs_schema_version(void);
int vdr_ecs_field_known(const char *name, int *core);
int vdr_ecs_field_acceptable(const char *name, int *core);
int vdr_ecs_key_hints(const char *key, const char **out, int max);
int vdr_ecs_lint(const char *rulebase, unsigned flags, vdr_ecs_report *report);
void vdr_ecs_report_free(vdr_ecs_report *report);

/* ---- reports -------------------------------------------------------------- */

#define VDR_REPORT_EMBED_INPUTS 1u
#define VDR_REPORT_SUMMARY_ONLY 2u
#define VDR_REPORT_REDACT_VALUES 4u
// Adds the per-rule coverage section to both reports (and the never-matched
// rules to the SARIF log).
#define VDR_REPORT_RULE_COVERAGE 8u

char *vdr_report_json(const vdr_run *run, unsigned flags, const vdr_ecs_report *ecs);
char *vdr_report_markdown(const vdr_run *run, unsigned flags, const vdr_ecs_report *ecs);

// The SARIF 2.1.0 log of a check: one run, a result per finding (samples in
// divergence, duplicate-field-name, VaderAD-only, coverage gap or unparsed;
// ECS lint errors and warnings; with VDR_REPORT_RULE_COVERAGE the rules no
// sample reached). Paths are as the user gave them: the rulebase and its
// text (for the lint's lines), and the samples ("-" for standard input).
struct vdr_sarif_input {
  const char *rulebase_path;
  const char *rulebase_text;
  const char *samples_path;
};
char *vdr_report_sarif(const vdr_run *run, unsigned flags, const vdr_ecs_report *ecs,
                       const vdr_sarif_input *in);

/* ---- severity preview ----------------------------------------------------- */

int vdr_score_preview_json(const char *parsed, char *dst, size_t cap);

/* ---- readiness check ------------------------------------------------------ */

// The last refusal of the readiness check (or of the exchange-kit builder),
// one process-wide text: checks must not run concurrently.
void vdr_score_clear(void);
const char *vdr_triad_error(void);
int vdr_score_check(const char *rulebase, const char *ent_cat, char *const *keys, size_t n_keys);
int vdr_score_wire_action(const char *rulebase);

/* ---- exchange kit ----------------------------------------------------------- */

struct vdr_triad {
  char *id;
  char **fields;
  size_t n_fields;
  char *rulebase;
  char *meta_yaml;
  char *facility;
  char *input_path;
  char *input_type;
  char *entity_category;
};

struct vdr_triad_opts {
  const char *facility;
  const char *input_path;
  const char *input_type;
};

int vdr_source_id_valid(const char *s);
// 1 when the text is valid UTF-8 that a YAML reader takes as it stands: no
// control byte, DEL, C1 control or non-character.
int vdr_text_yaml_printable(const char *s);
int vdr_triad_build_ex(const char *rulebase, const char *source_id, const char *label,
                       const vdr_triad_opts *opts, vdr_triad *out);
int vdr_triad_build(const char *rulebase, const char *source_id, const char *label,
                    vdr_triad *out);
void vdr_triad_free(vdr_triad *t);
char *vdr_triad_to_json(const vdr_triad *t);

/* ---- rulebase from a field spec ------------------------------------------- */

int vdr_spec_emit(const char *spec_json, char **rulebase_out, char **errmsg);
char *vdr_spec_types_json(void);
