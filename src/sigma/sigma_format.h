// The compiled Sigma rule database: record types, the exact byte layout of
// the `.sigmac` image, and loading, finalization, serialization and release.
//
// The image is little-endian and used in place: after validation every array
// of `sigma_db_t` is a typed view into the loaded buffer. The records below
// are stored byte for byte as declared (sizes and offsets are asserted), so
// the host must be little-endian. A `.sigmac` file is untrusted input: the
// loader checks every count, offset and cross-reference before anything is
// read through a view, and rejects a bad image with a `SIGMA_ERR_*` code.
//
// Ownership: after a successful load the database is the only owner of the
// image bytes (`backing`); `sigma_db_free` releases them exactly once.
// Nothing else may free that buffer.
//
// Memory on load is bounded by the image: loading an image of L bytes
// allocates at most 64 x L + 256 KiB bytes, plus what PCRE2 needs for the
// patterns (each pattern is a string of the image). Every needle table is
// sized to its own needles: the per-field tables hold only the needles that
// reference their field (a field table costs about 530 bytes plus about 110
// bytes per needle, and each of its needles is an 8-byte reference of the
// image), never every needle of the image times every field. The per-bucket
// field bitmaps are built only when they fit in 4 x L + 64 KiB (they are an
// optimisation; without them every field with needles is scanned).
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the .sigmac image is used in place and is little-endian");

// ---- result codes ---------------------------------------------------------
enum {
  SIGMA_OK = 0,
  SIGMA_ERR_NOMEM = -1,
  SIGMA_ERR_IO = -2,
  SIGMA_ERR_MAGIC = -3,
  SIGMA_ERR_VERSION = -4,
  SIGMA_ERR_SIZE = -5,
  SIGMA_ERR_CRC = -6,
  SIGMA_ERR_RANGE = -7,
  SIGMA_ERR_REGEX = -8,
};

// ---- predicate operators (`sigma_pred_t.op`) --------------------------------
enum {
  SIGMA_OP_EQ = 0,         // equal
  SIGMA_OP_CONTAINS = 1,   // substring
  SIGMA_OP_STARTSWITH = 2, // prefix
  SIGMA_OP_ENDSWITH = 3,   // suffix
  SIGMA_OP_EXISTS = 4,     // field present and non-empty
  SIGMA_OP_GT = 5,         // integer greater than ival
  SIGMA_OP_GTE = 6,        // integer greater or equal
  SIGMA_OP_LT = 7,         // integer less than
  SIGMA_OP_LTE = 8,        // integer less or equal
  SIGMA_OP_RE = 9,         // PCRE2 regular expression, matched anywhere
  SIGMA_OP_CIDR = 10,      // IP address inside a network prefix
  SIGMA_OP_NUMEQ = 11,     // integer equal
  SIGMA_OP__MAX = 12,      // bound, not an operator
};

// Predicate flags (`sigma_pred_t.flags`).
enum {
  SIGMA_PF_CASE = 1,     // case-sensitive comparison
  SIGMA_PF_NEGATE = 2,   // negate the result
  SIGMA_PF_FIELDREF = 4, // value_id is the index of another event field
};

// Condition token kinds (`sigma_ctok_t.kind`); a rule's tokens are postfix.
enum {
  SIGMA_C_SEL = 0,
  SIGMA_C_AND = 1,
  SIGMA_C_OR = 2,
  SIGMA_C_NOT = 3,
};

// Rule verdicts (`sigma_rule_t.verdict`).
enum {
  SIGMA_VERDICT_ALERT = 0,
  SIGMA_VERDICT_BENIGN = 1,
  SIGMA_VERDICT_ESCALATE = 2,
};

// ---- image constants --------------------------------------------------------
constexpr uint32_t SIGMA_MAGIC = 0x53474D41u;   // bytes 41 4D 47 53, "AMGS"
constexpr uint32_t SIGMA_VERSION = 5;           // written; 4 is also read
constexpr uint32_t SIGMA_HEADER_SIZE = 144;     // version 5
constexpr uint32_t SIGMA_HEADER_SIZE_V4 = 136;  // version 4: no fwit pair
constexpr uint32_t SIGMA_NONE = 0xFFFFFFFFu;    // "no value / no index"
constexpr uint16_t SIGMA_ANY_FIELD = 0xFFFF;    // litref field: any field
constexpr uint32_t SIGMA_MAX_CLAUSES = 32;      // clauses per rule

// ---- records (stored exactly as declared) -----------------------------------

// A string of the pool: byte offset and length (no terminator counted).
struct sigma_str_t {
  uint32_t off;
  uint32_t len;
};

// One comparison of one event field.
struct sigma_pred_t {
  uint16_t field_id; // index into fields
  uint16_t group_id; // adjacent equal group_ids are alternatives (OR)
  uint8_t op;        // SIGMA_OP_*
  uint8_t flags;     // SIGMA_PF_*
  uint8_t _pad[2];   // zero
  uint32_t value_id; // into values; for SIGMA_OP_CIDR into cidrs; with
                     // SIGMA_PF_FIELDREF a field index; SIGMA_NONE = none
  uint32_t _pad2;    // zero
  int64_t ival;      // number for GT, GTE, LT, LTE, NUMEQ; 0 otherwise
};

// A selection: a run of predicates.
struct sigma_sel_t {
  uint32_t pred_start;
  uint32_t pred_count;
};

// One condition token.
struct sigma_ctok_t {
  uint8_t kind;     // SIGMA_C_*
  uint8_t _pad[3];  // zero
  uint32_t sel_idx; // SIGMA_C_SEL: selection number relative to sel_start
};

struct sigma_rule_t {
  uint32_t rule_id; // reported on a hit
  uint32_t sel_start;
  uint32_t sel_count;
  uint32_t cond_start;
  uint32_t cond_count;
  uint8_t verdict;     // SIGMA_VERDICT_*
  uint8_t severity;    // 0 informational .. 4 critical
  uint16_t score_x100; // score times 100
  uint32_t name_id;    // title: index into values or SIGMA_NONE
  uint32_t mitre_id;   // ATT&CK technique id: index into values or SIGMA_NONE
};

// A network prefix; host bits of net are zero; IPv4 uses net[0..3].
struct sigma_cidr_t {
  uint8_t family; // 4 or 6
  uint8_t prefix; // bits
  uint8_t _pad[2];
  uint8_t net[16];
};

// A routing bucket: a run of bucket_idx (rule positions). Its key is the
// string at the same position in bucket_keys; the empty key is the any-bucket.
struct sigma_bucket_t {
  uint32_t idx_start;
  uint32_t idx_count;
};

// For the needle at the same position in litndl: a run of litpost_ref.
struct sigma_litpost_t {
  uint32_t idx_start;
  uint32_t idx_count;
};

// A needle reference: finding the needle in field field_id (SIGMA_ANY_FIELD:
// in any field) satisfies clause clause_idx of rule rule_idx.
struct sigma_litref_t {
  uint32_t rule_idx;
  uint16_t field_id;
  uint8_t clause_idx; // 0..31
  uint8_t _pad;
};

// A numeric or network clause: field_id's value compared as predicate op
// would compare it (GT, GTE, LT, LTE, NUMEQ with ival; CIDR with cidrs[ival]).
struct sigma_fwit_t {
  uint32_t rule_idx;
  uint16_t field_id;
  uint8_t clause_idx;
  uint8_t op;
  int64_t ival;
};

// The image header (version 5). Each section is a count and a byte offset
// from the start of the image. A version-4 header ends before n_fwit.
struct sigma_header_t {
  uint32_t magic;
  uint32_t version;
  uint64_t total_len; // image length in bytes, CRC included
  uint32_t n_fields, off_fields;
  uint32_t n_values, off_values;
  uint32_t n_preds, off_preds;
  uint32_t n_sels, off_sels;
  uint32_t n_cond, off_cond;
  uint32_t n_rules, off_rules;
  uint32_t strpool_len, off_strpool;
  uint32_t n_cidrs, off_cidrs;
  uint32_t reserved; // written as 0, not read
  uint32_t n_buckets, off_bucket_keys, off_buckets;
  uint32_t n_bucket_idx, off_bucket_idx;
  uint32_t n_litndl, off_litndl, off_litpost;
  uint32_t n_litpost_ref, off_litpost_ref;
  uint32_t n_litav, off_litav;
  uint32_t off_rule_clauses; // n_rules bytes; 0 = absent
  uint32_t n_fwit, off_fwit; // version 5 only
};

static_assert(sizeof(sigma_str_t) == 8);
static_assert(sizeof(sigma_pred_t) == 24 && offsetof(sigma_pred_t, group_id) == 2 &&
              offsetof(sigma_pred_t, op) == 4 && offsetof(sigma_pred_t, flags) == 5 &&
              offsetof(sigma_pred_t, value_id) == 8 && offsetof(sigma_pred_t, ival) == 16);
static_assert(sizeof(sigma_sel_t) == 8);
static_assert(sizeof(sigma_ctok_t) == 8 && offsetof(sigma_ctok_t, sel_idx) == 4);
static_assert(sizeof(sigma_rule_t) == 32 && offsetof(sigma_rule_t, cond_count) == 16 &&
              offsetof(sigma_rule_t, verdict) == 20 && offsetof(sigma_rule_t, severity) == 21 &&
              offsetof(sigma_rule_t, score_x100) == 22 && offsetof(sigma_rule_t, name_id) == 24 &&
              offsetof(sigma_rule_t, mitre_id) == 28);
static_assert(sizeof(sigma_cidr_t) == 20 && offsetof(sigma_cidr_t, prefix) == 1 &&
              offsetof(sigma_cidr_t, net) == 4);
static_assert(sizeof(sigma_bucket_t) == 8 && sizeof(sigma_litpost_t) == 8);
static_assert(sizeof(sigma_litref_t) == 8 && offsetof(sigma_litref_t, field_id) == 4 &&
              offsetof(sigma_litref_t, clause_idx) == 6);
static_assert(sizeof(sigma_fwit_t) == 16 && offsetof(sigma_fwit_t, field_id) == 4 &&
              offsetof(sigma_fwit_t, clause_idx) == 6 && offsetof(sigma_fwit_t, op) == 7 &&
              offsetof(sigma_fwit_t, ival) == 8);
static_assert(sizeof(sigma_header_t) == SIGMA_HEADER_SIZE &&
              offsetof(sigma_header_t, total_len) == 8 &&
              offsetof(sigma_header_t, n_fields) == 16 && offsetof(sigma_header_t, n_values) == 24 &&
              offsetof(sigma_header_t, n_preds) == 32 && offsetof(sigma_header_t, n_sels) == 40 &&
              offsetof(sigma_header_t, n_cond) == 48 && offsetof(sigma_header_t, n_rules) == 56 &&
              offsetof(sigma_header_t, strpool_len) == 64 &&
              offsetof(sigma_header_t, n_cidrs) == 72 && offsetof(sigma_header_t, reserved) == 80 &&
              offsetof(sigma_header_t, n_buckets) == 84 &&
              offsetof(sigma_header_t, n_bucket_idx) == 96 &&
              offsetof(sigma_header_t, n_litndl) == 104 &&
              offsetof(sigma_header_t, n_litpost_ref) == 116 &&
              offsetof(sigma_header_t, n_litav) == 124 &&
              offsetof(sigma_header_t, off_rule_clauses) == 132 &&
              offsetof(sigma_header_t, n_fwit) == 136 &&
              offsetof(sigma_header_t, off_fwit) == 140);

// Run-time structures built on load (defined by the evaluator library).
struct sigma_teddy_t;    // literal prefilter tables over a set of needles
struct sigma_re_table_t; // compiled regular expressions, one slot per predicate

// ---- the loaded database ----------------------------------------------------
// The view fields are either views into `backing` (after a load) or arrays
// allocated one by one (a database filled by hand, `backing` null). The
// run-time fields are built by sigma_db_finalize and ignored by the
// serializer.
struct sigma_db_t {
  const sigma_str_t *fields; // event field names (NUL-terminated in the pool)
  uint32_t n_fields;
  const sigma_str_t *values; // literal values, titles, technique ids
  uint32_t n_values;
  const sigma_pred_t *preds;
  uint32_t n_preds;
  const sigma_sel_t *sels;
  uint32_t n_sels;
  const sigma_ctok_t *cond;
  uint32_t n_cond;
  const sigma_rule_t *rules;
  uint32_t n_rules;
  const sigma_cidr_t *cidrs;
  uint32_t n_cidrs;
  const char *strpool; // the string pool (strings are not NUL-terminated)
  uint32_t strpool_len;
  const sigma_str_t *bucket_keys; // routing keys; null without buckets
  uint32_t n_buckets;
  const sigma_bucket_t *buckets;
  const uint32_t *bucket_idx; // rule positions
  uint32_t n_bucket_idx;
  uint32_t av_bucket;    // position of the any-bucket, or SIGMA_NONE
  uint32_t cat_field_id; // index of "event.category", or SIGMA_NONE
  const sigma_str_t *litndl; // prefilter needles
  uint32_t n_litndl;
  const sigma_litpost_t *litpost;
  const sigma_litref_t *litpost_ref;
  uint32_t n_litpost_ref;
  const uint32_t *litav; // always-candidate rule positions
  uint32_t n_litav;
  const uint8_t *rule_clauses; // clause count per rule; null when absent
  const sigma_fwit_t *fwit;    // numeric and network clauses
  uint32_t n_fwit;

  // Run-time structures.
  sigma_teddy_t *teddy;        // global literal prefilter
  sigma_teddy_t **field_teddy; // per field (n_fields entries, null entries allowed)
  uint8_t *bucket_fields;      // per bucket, bitmap of the fields its rules test
  uint32_t bucket_fields_stride; // (n_fields + 7) / 8
  uint8_t lit_any_field;       // 1 when some needle applies to any field
  sigma_re_table_t *re;        // compiled regular expressions
  uint8_t *backing;            // the image, owned by the database; or null
  uint32_t n_re_skipped;       // patterns that failed to compile
  // Per rule, the clause bits the prefilter must see before the rule is
  // evaluated: clauses without any reference and clauses with a needle too
  // short to index count as satisfied. Null when there is no prefilter.
  uint32_t *clause_need;
};

// ---- interfaces ---------------------------------------------------------------

// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78, initial value
// 0xFFFFFFFF, final complement).
uint32_t sigma_crc32c(const void *data, size_t len);

// Builds a version-5 image from the view fields and counts of db (run-time
// fields ignored); *out is allocated with malloc (caller frees) and *n set
// to its length. Padding and gaps are zero. SIGMA_OK, SIGMA_ERR_IO (-2) for
// a null argument, SIGMA_ERR_NOMEM, or SIGMA_ERR_SIZE when the image would
// not fit the 32-bit offsets.
int sigma_db_serialize(const sigma_db_t *db, uint8_t **out, size_t *n);

// Validates buf (len bytes, allocated with malloc) and fills *db with views
// into it. On success the database owns buf (the caller must not free it);
// on failure the caller keeps it and *db is untouched. A buffer that is not
// 8-byte aligned is refused with SIGMA_ERR_RANGE (the views hold 8-byte
// integers). Finalization failures return SIGMA_ERR_REGEX, or SIGMA_ERR_NOMEM
// when memory ran out.
int sigma_db_load_buffer(uint8_t *buf, size_t len, sigma_db_t *db);

// Reads the whole file and loads it; on failure the buffer is freed.
int sigma_db_load_file(const char *path, sigma_db_t *db);

// Builds the run-time structures (needle tables, field sets, clause masks,
// regular expressions); idempotent for the structures already present.
// Called by the loader. 0 or a negative SIGMA_ERR_* code. The views must
// already be consistent: a database filled by hand is trusted, an image is
// checked by the loader first.
int sigma_db_finalize(sigma_db_t *db);

// Frees the run-time structures and the backing image (or, without one, each
// view array with free()); then zeroes *db. Safe on a zeroed database.
void sigma_db_free(sigma_db_t *db);
