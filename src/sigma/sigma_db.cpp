// The `.sigmac` image: CRC-32C, serializer, validating loader, finalization
// of the run-time structures, and release.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/stat.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "sigma/sigma_format.h"
#include "sigma/sigma_internal.h"

namespace {

// ---- CRC-32C ----------------------------------------------------------------
struct crc_tables {
  uint32_t t[8][256];
  crc_tables() {
    for (uint32_t i = 0; i < 256; i++) {
      uint32_t c = i;
      for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; i++)
      for (int s = 1; s < 8; s++) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  }
};
const crc_tables kCrc;

uint64_t align8(uint64_t x) { return (x + 7) & ~uint64_t{7}; }

// True when the run [start, start + count) lies inside [0, limit).
bool run_inside(uint64_t start, uint64_t count, uint64_t limit) {
  return start <= limit && count <= limit - start;
}

// ---- serializer layout ------------------------------------------------------
struct layout {
  sigma_header_t h{};
  uint64_t total = 0;
};

layout plan(const sigma_db_t *db) {
  layout L;
  sigma_header_t &h = L.h;
  h.magic = SIGMA_MAGIC;
  h.version = SIGMA_VERSION;
  uint64_t cur = SIGMA_HEADER_SIZE;
  auto place = [&cur](uint32_t n, uint64_t size) {
    uint64_t off = cur;
    cur += uint64_t{n} * size;
    return off;
  };
  // Offsets of the first seven sections are written even when empty. The
  // 64-bit cursor is range-checked once at the end.
  uint64_t o_fields = place(db->n_fields, 8), o_values = place(db->n_values, 8),
           o_preds = place(db->n_preds, 24), o_sels = place(db->n_sels, 8),
           o_cond = place(db->n_cond, 8), o_rules = place(db->n_rules, 32),
           o_cidrs = place(db->n_cidrs, 20);
  cur = align8(cur);
  uint64_t o_bkeys = 0, o_buckets = 0, o_bidx = 0;
  if (db->n_buckets > 0) {
    o_bkeys = cur;
    o_buckets = cur + 8ull * db->n_buckets;
  }
  cur += 16ull * db->n_buckets;
  if (db->n_bucket_idx > 0) o_bidx = place(db->n_bucket_idx, 4);
  cur = align8(cur);
  uint64_t o_litndl = 0, o_litpost = 0, o_ref = 0, o_litav = 0;
  if (db->n_litndl > 0) {
    o_litndl = place(db->n_litndl, 8);
    o_litpost = place(db->n_litndl, 8);
  }
  if (db->n_litpost_ref > 0) o_ref = place(db->n_litpost_ref, 8);
  if (db->n_litav > 0) o_litav = place(db->n_litav, 4);
  uint64_t o_clauses = 0, o_fwit = 0;
  if (db->rule_clauses && db->n_rules > 0) {
    cur = align8(cur);
    o_clauses = place(db->n_rules, 1);
  }
  if (db->n_fwit > 0) {
    cur = align8(cur);
    o_fwit = place(db->n_fwit, 16);
  }
  uint64_t o_pool = place(db->strpool_len, 1);
  L.total = cur + 4;
  if (L.total > 0xFFFFFFFFull) return L; // caller refuses: offsets are 32-bit

  h.total_len = L.total;
  h.n_fields = db->n_fields, h.off_fields = uint32_t(o_fields);
  h.n_values = db->n_values, h.off_values = uint32_t(o_values);
  h.n_preds = db->n_preds, h.off_preds = uint32_t(o_preds);
  h.n_sels = db->n_sels, h.off_sels = uint32_t(o_sels);
  h.n_cond = db->n_cond, h.off_cond = uint32_t(o_cond);
  h.n_rules = db->n_rules, h.off_rules = uint32_t(o_rules);
  h.strpool_len = db->strpool_len, h.off_strpool = uint32_t(o_pool);
  h.n_cidrs = db->n_cidrs, h.off_cidrs = uint32_t(o_cidrs);
  h.n_buckets = db->n_buckets, h.off_bucket_keys = uint32_t(o_bkeys);
  h.off_buckets = uint32_t(o_buckets);
  h.n_bucket_idx = db->n_bucket_idx, h.off_bucket_idx = uint32_t(o_bidx);
  h.n_litndl = db->n_litndl, h.off_litndl = uint32_t(o_litndl);
  h.off_litpost = uint32_t(o_litpost);
  h.n_litpost_ref = db->n_litpost_ref, h.off_litpost_ref = uint32_t(o_ref);
  h.n_litav = db->n_litav, h.off_litav = uint32_t(o_litav);
  h.off_rule_clauses = uint32_t(o_clauses);
  h.n_fwit = db->n_fwit, h.off_fwit = uint32_t(o_fwit);
  return L;
}

void put(uint8_t *img, uint32_t off, const void *src, uint64_t bytes) {
  if (bytes > 0 && src) std::memcpy(img + off, src, bytes);
}

// ---- loader -----------------------------------------------------------------

// Section check: aligned, inside the image, count x size fits.
bool section_ok(uint32_t off, uint64_t count, uint64_t size, uint64_t len, bool need_align = true) {
  if (need_align && off % 8 != 0) return false;
  if (off > len) return false;
  return count * size <= len - off; // count < 2^32, size <= 32: no overflow
}

bool str_in_pool(const sigma_str_t &s, uint32_t pool_len) {
  return run_inside(s.off, s.len, pool_len);
}

bool is_clause_op(uint8_t op) {
  return op == SIGMA_OP_GT || op == SIGMA_OP_GTE || op == SIGMA_OP_LT || op == SIGMA_OP_LTE ||
         op == SIGMA_OP_NUMEQ;
}

int validate_and_view(uint8_t *buf, size_t len, sigma_db_t *d) {
  if (!buf || !d || len < 12) return SIGMA_ERR_SIZE;
  uint32_t magic, version;
  std::memcpy(&magic, buf, 4);
  std::memcpy(&version, buf + 4, 4);
  if (magic != SIGMA_MAGIC) return SIGMA_ERR_MAGIC;
  if (version != 4 && version != 5) return SIGMA_ERR_VERSION;
  const uint32_t hsize = version == 5 ? SIGMA_HEADER_SIZE : SIGMA_HEADER_SIZE_V4;
  if (len < hsize + 4) return SIGMA_ERR_SIZE;
  sigma_header_t h{};
  std::memcpy(&h, buf, hsize);
  if (h.total_len != len) return SIGMA_ERR_SIZE;
  // The views hold 8-byte integers: the buffer itself must be aligned.
  if (reinterpret_cast<uintptr_t>(buf) % 8 != 0) return SIGMA_ERR_RANGE;

  const uint64_t L = len;
  if (!section_ok(h.off_fields, h.n_fields, 8, L) || !section_ok(h.off_values, h.n_values, 8, L) ||
      !section_ok(h.off_preds, h.n_preds, 24, L) || !section_ok(h.off_sels, h.n_sels, 8, L) ||
      !section_ok(h.off_cond, h.n_cond, 8, L) || !section_ok(h.off_rules, h.n_rules, 32, L) ||
      !section_ok(h.off_strpool, h.strpool_len, 1, L, false) ||
      !section_ok(h.off_cidrs, h.n_cidrs, 20, L) ||
      !section_ok(h.off_bucket_keys, h.n_buckets, 8, L) ||
      !section_ok(h.off_buckets, h.n_buckets, 8, L) ||
      !section_ok(h.off_bucket_idx, h.n_bucket_idx, 4, L) ||
      !section_ok(h.off_litndl, h.n_litndl, 8, L) || !section_ok(h.off_litpost, h.n_litndl, 8, L) ||
      !section_ok(h.off_litpost_ref, h.n_litpost_ref, 8, L) ||
      !section_ok(h.off_litav, h.n_litav, 4, L) ||
      !section_ok(h.off_rule_clauses, h.off_rule_clauses ? h.n_rules : 0, 1, L) ||
      !section_ok(h.off_fwit, h.n_fwit, 16, L))
    return SIGMA_ERR_RANGE;

  uint32_t stored;
  std::memcpy(&stored, buf + len - 4, 4);
  if (sigma_crc32c(buf, len - 4) != stored) return SIGMA_ERR_CRC;

  sigma_db_t db{};
  auto at = [buf](uint32_t off) { return buf + off; };
  db.fields = reinterpret_cast<const sigma_str_t *>(at(h.off_fields));
  db.n_fields = h.n_fields;
  db.values = reinterpret_cast<const sigma_str_t *>(at(h.off_values));
  db.n_values = h.n_values;
  db.preds = reinterpret_cast<const sigma_pred_t *>(at(h.off_preds));
  db.n_preds = h.n_preds;
  db.sels = reinterpret_cast<const sigma_sel_t *>(at(h.off_sels));
  db.n_sels = h.n_sels;
  db.cond = reinterpret_cast<const sigma_ctok_t *>(at(h.off_cond));
  db.n_cond = h.n_cond;
  db.rules = reinterpret_cast<const sigma_rule_t *>(at(h.off_rules));
  db.n_rules = h.n_rules;
  db.cidrs = reinterpret_cast<const sigma_cidr_t *>(at(h.off_cidrs));
  db.n_cidrs = h.n_cidrs;
  db.strpool = reinterpret_cast<const char *>(at(h.off_strpool));
  db.strpool_len = h.strpool_len;
  db.n_buckets = h.n_buckets;
  if (h.n_buckets > 0) {
    db.bucket_keys = reinterpret_cast<const sigma_str_t *>(at(h.off_bucket_keys));
    db.buckets = reinterpret_cast<const sigma_bucket_t *>(at(h.off_buckets));
  }
  db.n_bucket_idx = h.n_bucket_idx;
  if (h.n_bucket_idx > 0) db.bucket_idx = reinterpret_cast<const uint32_t *>(at(h.off_bucket_idx));
  db.n_litndl = h.n_litndl;
  if (h.n_litndl > 0) {
    db.litndl = reinterpret_cast<const sigma_str_t *>(at(h.off_litndl));
    db.litpost = reinterpret_cast<const sigma_litpost_t *>(at(h.off_litpost));
  }
  db.n_litpost_ref = h.n_litpost_ref;
  if (h.n_litpost_ref > 0)
    db.litpost_ref = reinterpret_cast<const sigma_litref_t *>(at(h.off_litpost_ref));
  db.n_litav = h.n_litav;
  if (h.n_litav > 0) db.litav = reinterpret_cast<const uint32_t *>(at(h.off_litav));
  if (h.off_rule_clauses != 0) db.rule_clauses = at(h.off_rule_clauses);
  db.n_fwit = h.n_fwit;
  if (h.n_fwit > 0) db.fwit = reinterpret_cast<const sigma_fwit_t *>(at(h.off_fwit));
  db.av_bucket = SIGMA_NONE;
  db.cat_field_id = SIGMA_NONE;

  // Cross-references. All arithmetic on untrusted numbers is 64-bit.
  const uint32_t P = db.strpool_len;
  for (uint32_t i = 0; i < db.n_fields; i++) {
    const sigma_str_t &s = db.fields[i];
    if (uint64_t{s.off} + s.len >= P || db.strpool[s.off + s.len] != '\0') return SIGMA_ERR_RANGE;
  }
  for (uint32_t i = 0; i < db.n_values; i++)
    if (!str_in_pool(db.values[i], P)) return SIGMA_ERR_RANGE;
  for (uint32_t i = 0; i < db.n_preds; i++) {
    const sigma_pred_t &p = db.preds[i];
    if (p.field_id >= db.n_fields) return SIGMA_ERR_RANGE;
    if (p.flags & SIGMA_PF_FIELDREF) {
      if (p.value_id >= db.n_fields) return SIGMA_ERR_RANGE;
    } else if (p.op == SIGMA_OP_CIDR) {
      if (p.value_id >= db.n_cidrs) return SIGMA_ERR_RANGE;
    } else if (p.value_id != SIGMA_NONE && p.value_id >= db.n_values) {
      return SIGMA_ERR_RANGE;
    }
  }
  for (uint32_t i = 0; i < db.n_sels; i++)
    if (!run_inside(db.sels[i].pred_start, db.sels[i].pred_count, db.n_preds)) return SIGMA_ERR_RANGE;
  for (uint32_t i = 0; i < db.n_rules; i++) {
    const sigma_rule_t &r = db.rules[i];
    if (!run_inside(r.sel_start, r.sel_count, db.n_sels) ||
        !run_inside(r.cond_start, r.cond_count, db.n_cond))
      return SIGMA_ERR_RANGE;
    if (r.name_id != SIGMA_NONE && r.name_id >= db.n_values) return SIGMA_ERR_RANGE;
    if (r.mitre_id != SIGMA_NONE && r.mitre_id >= db.n_values) return SIGMA_ERR_RANGE;
  }
  for (uint32_t i = 0; i < db.n_cond; i++)
    if (db.cond[i].kind > SIGMA_C_NOT) return SIGMA_ERR_RANGE;
  // A prefix longer than its family's address width is refused.
  for (uint32_t i = 0; i < db.n_cidrs; i++) {
    const sigma_cidr_t &c = db.cidrs[i];
    uint32_t width = c.family == 4 ? 32 : c.family == 6 ? 128 : 0;
    if (width == 0 || c.prefix > width) return SIGMA_ERR_RANGE;
  }
  for (uint32_t b = 0; b < db.n_buckets; b++) {
    if (!str_in_pool(db.bucket_keys[b], P)) return SIGMA_ERR_RANGE;
    if (!run_inside(db.buckets[b].idx_start, db.buckets[b].idx_count, db.n_bucket_idx))
      return SIGMA_ERR_RANGE;
    if (db.bucket_keys[b].len == 0) {
      if (db.av_bucket != SIGMA_NONE) return SIGMA_ERR_RANGE;
      db.av_bucket = b;
    }
  }
  for (uint32_t i = 0; i < db.n_bucket_idx; i++)
    if (db.bucket_idx[i] >= db.n_rules) return SIGMA_ERR_RANGE;
  for (uint32_t i = 0; i < db.n_litndl; i++) {
    if (db.litndl[i].len == 0 || !str_in_pool(db.litndl[i], P)) return SIGMA_ERR_RANGE;
    if (!run_inside(db.litpost[i].idx_start, db.litpost[i].idx_count, db.n_litpost_ref))
      return SIGMA_ERR_RANGE;
  }
  auto clause_ok = [&db](uint32_t rule, uint8_t clause) {
    return db.rule_clauses && clause < SIGMA_MAX_CLAUSES && clause < db.rule_clauses[rule];
  };
  for (uint32_t i = 0; i < db.n_litpost_ref; i++) {
    const sigma_litref_t &r = db.litpost_ref[i];
    if (r.rule_idx >= db.n_rules) return SIGMA_ERR_RANGE;
    if (r.field_id != SIGMA_ANY_FIELD && r.field_id >= db.n_fields) return SIGMA_ERR_RANGE;
    if (!clause_ok(r.rule_idx, r.clause_idx)) return SIGMA_ERR_RANGE;
  }
  for (uint32_t i = 0; i < db.n_litav; i++) {
    if (db.litav[i] >= db.n_rules) return SIGMA_ERR_RANGE;
    if (db.rule_clauses && db.rule_clauses[db.litav[i]] != 0) return SIGMA_ERR_RANGE;
  }
  if (db.rule_clauses)
    for (uint32_t i = 0; i < db.n_rules; i++)
      if (db.rule_clauses[i] > SIGMA_MAX_CLAUSES) return SIGMA_ERR_RANGE;
  for (uint32_t i = 0; i < db.n_fwit; i++) {
    const sigma_fwit_t &w = db.fwit[i];
    if (w.rule_idx >= db.n_rules || w.field_id >= db.n_fields) return SIGMA_ERR_RANGE;
    if (!clause_ok(w.rule_idx, w.clause_idx)) return SIGMA_ERR_RANGE;
    if (w.op == SIGMA_OP_CIDR) {
      // ival is signed: a negative index must not pass "ival < n_cidrs".
      if (w.ival < 0 || w.ival >= int64_t{db.n_cidrs}) return SIGMA_ERR_RANGE;
    } else if (!is_clause_op(w.op)) {
      return SIGMA_ERR_RANGE;
    }
  }
  if (db.n_buckets > 0) {
    for (uint32_t i = 0; i < db.n_fields; i++) {
      const sigma_str_t &s = db.fields[i];
      if (s.len == 14 && std::memcmp(db.strpool + s.off, "event.category", 14) == 0) {
        db.cat_field_id = i;
        break;
      }
    }
  }
  *d = db;
  return SIGMA_OK;
}

// ---- finalization helpers ----------------------------------------------------

// Per-rule field lists (predicate fields and clause fields) for the bucket
// field sets, built only when the work and the bitmaps fit the budget.
bool build_bucket_fields(sigma_db_t *db, uint64_t budget) {
  const uint32_t stride = (db->n_fields + 7) / 8;
  const uint64_t bytes = uint64_t{db->n_buckets} * stride;
  if (bytes > budget) return true; // too large: scan every field with needles
  // Work: the predicates of every (bucket, rule) pair, counted with prefix
  // sums over selections so that overlapping runs cannot hide a blow-up.
  std::vector<uint64_t> sel_pre(uint64_t{db->n_sels} + 1, 0);
  for (uint32_t s = 0; s < db->n_sels; s++) sel_pre[s + 1] = sel_pre[s] + db->sels[s].pred_count;
  std::vector<uint32_t> clause_count(db->n_rules, 0);
  for (uint32_t i = 0; i < db->n_litpost_ref; i++) clause_count[db->litpost_ref[i].rule_idx]++;
  for (uint32_t i = 0; i < db->n_fwit; i++) clause_count[db->fwit[i].rule_idx]++;
  uint64_t work = 0;
  for (uint32_t i = 0; i < db->n_bucket_idx; i++) {
    const sigma_rule_t &r = db->rules[db->bucket_idx[i]];
    work += sel_pre[uint64_t{r.sel_start} + r.sel_count] - sel_pre[r.sel_start];
    work += clause_count[db->bucket_idx[i]];
    if (work > budget * 8) return true;
  }
  // Clause fields per rule (CSR).
  std::vector<uint32_t> start(uint64_t{db->n_rules} + 1, 0);
  for (uint32_t r = 0; r < db->n_rules; r++) start[r + 1] = start[r] + clause_count[r];
  std::vector<uint32_t> fill(start.begin(), start.end() - 1);
  std::vector<uint16_t> cf(start[db->n_rules]);
  for (uint32_t i = 0; i < db->n_litpost_ref; i++)
    cf[fill[db->litpost_ref[i].rule_idx]++] = db->litpost_ref[i].field_id;
  for (uint32_t i = 0; i < db->n_fwit; i++) cf[fill[db->fwit[i].rule_idx]++] = db->fwit[i].field_id;

  uint8_t *bits = static_cast<uint8_t *>(std::calloc(bytes ? bytes : 1, 1));
  if (!bits) throw std::bad_alloc();
  auto set = [&](uint8_t *row, uint32_t f) {
    if (f < db->n_fields) row[f >> 3] |= uint8_t(1u << (f & 7));
  };
  for (uint32_t b = 0; b < db->n_buckets; b++) {
    uint8_t *row = bits + uint64_t{b} * stride;
    const sigma_bucket_t &bk = db->buckets[b];
    for (uint32_t k = 0; k < bk.idx_count; k++) {
      uint32_t ri = db->bucket_idx[bk.idx_start + k];
      const sigma_rule_t &r = db->rules[ri];
      for (uint32_t s = 0; s < r.sel_count; s++) {
        const sigma_sel_t &sel = db->sels[r.sel_start + s];
        for (uint32_t p = 0; p < sel.pred_count; p++) set(row, db->preds[sel.pred_start + p].field_id);
      }
      for (uint32_t c = start[ri]; c < start[ri + 1]; c++) set(row, cf[c]);
    }
  }
  db->bucket_fields = bits;
  db->bucket_fields_stride = stride;
  return true;
}

void free_prefilter(sigma_db_t *db) {
  sigma_teddy_free(db->teddy);
  db->teddy = nullptr;
  if (db->field_teddy) {
    for (uint32_t f = 0; f < db->n_fields; f++) sigma_teddy_free(db->field_teddy[f]);
    std::free(db->field_teddy);
    db->field_teddy = nullptr;
  }
  std::free(db->bucket_fields);
  db->bucket_fields = nullptr;
  db->bucket_fields_stride = 0;
  std::free(db->clause_need);
  db->clause_need = nullptr;
  db->lit_any_field = 0;
}

void free_re(sigma_db_t *db) {
  if (!db->re) return;
  for (void *c : db->re->code) pcre2_code_free(static_cast<pcre2_code *>(c));
  delete db->re;
  db->re = nullptr;
}

// Needle tables, field sets and clause masks. Throws std::bad_alloc.
void build_prefilter(sigma_db_t *db, uint64_t image_len) {
  // Clause masks: the clauses a rule needs seen. A clause backed by a needle
  // shorter than two bytes cannot be found by the needle tables and counts as
  // satisfied; a clause with no reference at all too.
  if (db->rule_clauses && db->n_rules > 0 && !db->clause_need) {
    std::vector<uint32_t> backed(db->n_rules, 0), free_bits(db->n_rules, 0);
    for (uint32_t i = 0; i < db->n_litndl; i++) {
      const sigma_litpost_t &lp = db->litpost[i];
      for (uint32_t k = 0; k < lp.idx_count; k++) {
        const sigma_litref_t &r = db->litpost_ref[lp.idx_start + k];
        (db->litndl[i].len < 2 ? free_bits : backed)[r.rule_idx] |= 1u << r.clause_idx;
      }
    }
    for (uint32_t i = 0; i < db->n_fwit; i++) backed[db->fwit[i].rule_idx] |= 1u << db->fwit[i].clause_idx;
    uint32_t *need = static_cast<uint32_t *>(std::calloc(db->n_rules, sizeof(uint32_t)));
    if (!need) throw std::bad_alloc();
    for (uint32_t r = 0; r < db->n_rules; r++) {
      uint32_t n = db->rule_clauses[r];
      uint32_t full = n >= 32 ? 0xFFFFFFFFu : (1u << n) - 1;
      need[r] = backed[r] & ~free_bits[r] & full;
    }
    db->clause_need = need;
  }
  if (db->teddy || db->n_litndl == 0) return;

  std::vector<uint32_t> ids;
  ids.reserve(db->n_litndl);
  for (uint32_t i = 0; i < db->n_litndl; i++)
    if (db->litndl[i].len >= 2) ids.push_back(i);
  db->teddy = sigma_teddy_build(db, ids.data(), uint32_t(ids.size()));
  if (!db->teddy) throw std::bad_alloc();

  for (uint32_t i = 0; i < db->n_litpost_ref; i++)
    if (db->litpost_ref[i].field_id == SIGMA_ANY_FIELD) db->lit_any_field = 1;
  if (db->n_buckets > 0 && db->n_fields > 0 && !db->lit_any_field)
    build_bucket_fields(db, 4 * image_len + 65536);

  if (db->n_fields > 0 && db->n_litpost_ref > 0 && !db->lit_any_field) {
    // Needles per field (CSR), each needle once per field, in needle order.
    std::vector<uint32_t> last(db->n_fields, SIGMA_NONE), count(db->n_fields, 0);
    auto each = [&](auto &&fn) {
      for (uint32_t i : ids) {
        const sigma_litpost_t &lp = db->litpost[i];
        for (uint32_t k = 0; k < lp.idx_count; k++) {
          uint16_t f = db->litpost_ref[lp.idx_start + k].field_id;
          if (last[f] == i) continue;
          last[f] = i;
          fn(f, i);
        }
      }
    };
    each([&](uint16_t f, uint32_t) { count[f]++; });
    std::vector<uint32_t> start(uint64_t{db->n_fields} + 1, 0);
    for (uint32_t f = 0; f < db->n_fields; f++) start[f + 1] = start[f] + count[f];
    std::vector<uint32_t> fill(start.begin(), start.end() - 1), list(start[db->n_fields]);
    std::fill(last.begin(), last.end(), SIGMA_NONE);
    each([&](uint16_t f, uint32_t i) { list[fill[f]++] = i; });
    db->field_teddy = static_cast<sigma_teddy_t **>(std::calloc(db->n_fields, sizeof(sigma_teddy_t *)));
    if (!db->field_teddy) throw std::bad_alloc();
    for (uint32_t f = 0; f < db->n_fields; f++) {
      if (count[f] == 0) continue;
      db->field_teddy[f] = sigma_teddy_build(db, list.data() + start[f], count[f]);
      if (!db->field_teddy[f]) throw std::bad_alloc();
    }
  }
}

// Compiles every SIGMA_OP_RE pattern. SIGMA_ERR_REGEX when a pattern has no
// value; a pattern that does not compile leaves its slot unusable.
int build_re(sigma_db_t *db) {
  bool any = false;
  for (uint32_t i = 0; i < db->n_preds && !any; i++) any = db->preds[i].op == SIGMA_OP_RE;
  if (!any) return SIGMA_OK;
  auto *t = new sigma_re_table_t;
  db->re = t;
  t->code.assign(db->n_preds, nullptr);
  for (uint32_t i = 0; i < db->n_preds; i++) {
    const sigma_pred_t &p = db->preds[i];
    if (p.op != SIGMA_OP_RE) continue;
    if (p.value_id >= db->n_values) return SIGMA_ERR_REGEX;
    const sigma_str_t &v = db->values[p.value_id];
    uint32_t opts = PCRE2_NEVER_BACKSLASH_C;
    if (!(p.flags & SIGMA_PF_CASE)) opts |= PCRE2_CASELESS;
    int err = 0;
    PCRE2_SIZE erroff = 0;
    // Pool strings are not terminated: the length is passed.
    pcre2_code *code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(db->strpool + v.off), v.len, opts,
                                     &err, &erroff, nullptr);
    if (!code) {
      db->n_re_skipped++;
      continue;
    }
    pcre2_jit_compile(code, PCRE2_JIT_COMPLETE); // falls back to the interpreter
    t->code[i] = code;
  }
  return SIGMA_OK;
}

int finalize(sigma_db_t *db, uint64_t image_len) {
  bool built_prefilter = !db->teddy && !db->clause_need;
  try {
    build_prefilter(db, image_len);
  } catch (const std::bad_alloc &) {
    if (built_prefilter) free_prefilter(db);
    return SIGMA_ERR_NOMEM;
  }
  if (db->re) return SIGMA_OK;
  int rc;
  try {
    rc = build_re(db);
  } catch (const std::bad_alloc &) {
    rc = SIGMA_ERR_NOMEM;
  }
  if (rc != SIGMA_OK) {
    free_re(db);
    db->n_re_skipped = 0;
    if (built_prefilter) free_prefilter(db);
  }
  return rc;
}

uint64_t image_size_of(const sigma_db_t *db) {
  uint64_t n = uint64_t{db->n_fields} * 8 + uint64_t{db->n_values} * 8 + uint64_t{db->n_preds} * 24 +
               uint64_t{db->n_sels} * 8 + uint64_t{db->n_cond} * 8 + uint64_t{db->n_rules} * 33 +
               uint64_t{db->n_cidrs} * 20 + uint64_t{db->n_buckets} * 16 + uint64_t{db->n_bucket_idx} * 4 +
               uint64_t{db->n_litndl} * 16 + uint64_t{db->n_litpost_ref} * 8 + uint64_t{db->n_litav} * 4 +
               uint64_t{db->n_fwit} * 16 + db->strpool_len + SIGMA_HEADER_SIZE;
  return n;
}

} // namespace

const uint8_t sigma_fold_table[256] = {
#define R16(b)                                                                                     \
  uint8_t(b + 0), uint8_t(b + 1), uint8_t(b + 2), uint8_t(b + 3), uint8_t(b + 4), uint8_t(b + 5),  \
      uint8_t(b + 6), uint8_t(b + 7), uint8_t(b + 8), uint8_t(b + 9), uint8_t(b + 10),             \
      uint8_t(b + 11), uint8_t(b + 12), uint8_t(b + 13), uint8_t(b + 14), uint8_t(b + 15)
    R16(0x00), R16(0x10), R16(0x20), R16(0x30),
    // 0x40 '@', then 'A'..'O' folded
    0x40, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o',
    // 'P'..'Z' folded, then [ \ ] ^ _
    'p', 'q', 'r', 's', 't', 'u', 'v', 'w', 'x', 'y', 'z', 0x5B, 0x5C, 0x5D, 0x5E, 0x5F,
    R16(0x60), R16(0x70), R16(0x80), R16(0x90), R16(0xA0), R16(0xB0), R16(0xC0), R16(0xD0),
    R16(0xE0), R16(0xF0)
#undef R16
};

uint32_t sigma_crc32c(const void *data, size_t len) {
  const uint8_t *p = static_cast<const uint8_t *>(data);
  uint32_t c = 0xFFFFFFFFu;
  const auto &t = kCrc.t;
  while (len >= 8) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + 4, 4);
    lo ^= c;
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    p += 8;
    len -= 8;
  }
  while (len--) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
  return ~c;
}

int sigma_db_serialize(const sigma_db_t *db, uint8_t **out, size_t *n) {
  if (!db || !out || !n) return SIGMA_ERR_IO;
  layout L = plan(db);
  if (L.total > 0xFFFFFFFFull) return SIGMA_ERR_SIZE;
  const sigma_header_t &h = L.h;
  uint8_t *img = static_cast<uint8_t *>(std::calloc(L.total, 1));
  if (!img) return SIGMA_ERR_NOMEM;
  std::memcpy(img, &h, sizeof h);
  put(img, h.off_fields, db->fields, 8ull * db->n_fields);
  put(img, h.off_values, db->values, 8ull * db->n_values);
  put(img, h.off_preds, db->preds, 24ull * db->n_preds);
  put(img, h.off_sels, db->sels, 8ull * db->n_sels);
  put(img, h.off_cond, db->cond, 8ull * db->n_cond);
  put(img, h.off_rules, db->rules, 32ull * db->n_rules);
  put(img, h.off_cidrs, db->cidrs, 20ull * db->n_cidrs);
  if (db->n_buckets) {
    put(img, h.off_bucket_keys, db->bucket_keys, 8ull * db->n_buckets);
    put(img, h.off_buckets, db->buckets, 8ull * db->n_buckets);
  }
  if (db->n_bucket_idx) put(img, h.off_bucket_idx, db->bucket_idx, 4ull * db->n_bucket_idx);
  if (db->n_litndl) {
    put(img, h.off_litndl, db->litndl, 8ull * db->n_litndl);
    put(img, h.off_litpost, db->litpost, 8ull * db->n_litndl);
  }
  if (db->n_litpost_ref) put(img, h.off_litpost_ref, db->litpost_ref, 8ull * db->n_litpost_ref);
  if (db->n_litav) put(img, h.off_litav, db->litav, 4ull * db->n_litav);
  if (h.off_rule_clauses) put(img, h.off_rule_clauses, db->rule_clauses, db->n_rules);
  if (db->n_fwit) put(img, h.off_fwit, db->fwit, 16ull * db->n_fwit);
  put(img, h.off_strpool, db->strpool, db->strpool_len);
  uint32_t crc = sigma_crc32c(img, L.total - 4);
  std::memcpy(img + L.total - 4, &crc, 4);
  *out = img;
  *n = L.total;
  return SIGMA_OK;
}

int sigma_db_load_buffer(uint8_t *buf, size_t len, sigma_db_t *db) {
  sigma_db_t d{};
  int rc = validate_and_view(buf, len, &d);
  if (rc != SIGMA_OK) return rc;
  rc = finalize(&d, len);
  if (rc != SIGMA_OK) {
    free_re(&d);
    free_prefilter(&d);
    return rc == SIGMA_ERR_NOMEM ? SIGMA_ERR_NOMEM : SIGMA_ERR_REGEX;
  }
  d.backing = buf;
  *db = d;
  return SIGMA_OK;
}

int sigma_db_load_file(const char *path, sigma_db_t *db) {
  if (!path || !db) return SIGMA_ERR_IO;
  FILE *f = std::fopen(path, "rb");
  if (!f) return SIGMA_ERR_IO;
  // Only a regular file has a size to read; a directory or device is an
  // I/O error rather than an allocation of whatever ftell reports.
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fclose(f);
    return SIGMA_ERR_IO;
  }
  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
    std::fclose(f);
    return SIGMA_ERR_IO;
  }
  if (size < 1) {
    std::fclose(f);
    return SIGMA_ERR_SIZE;
  }
  // malloc aligns to 16 bytes, which the in-place views need.
  uint8_t *buf = static_cast<uint8_t *>(std::malloc(size_t(size)));
  if (!buf) {
    std::fclose(f);
    return SIGMA_ERR_NOMEM;
  }
  size_t got = std::fread(buf, 1, size_t(size), f);
  std::fclose(f);
  if (got != size_t(size)) {
    std::free(buf);
    return SIGMA_ERR_IO;
  }
  int rc = sigma_db_load_buffer(buf, size_t(size), db);
  if (rc != SIGMA_OK) std::free(buf);
  return rc;
}

int sigma_db_finalize(sigma_db_t *db) {
  if (!db) return SIGMA_ERR_IO;
  return finalize(db, image_size_of(db));
}

void sigma_db_free(sigma_db_t *db) {
  if (!db) return;
  free_re(db);
  free_prefilter(db);
  if (db->backing) {
    std::free(db->backing);
  } else {
    std::free(const_cast<sigma_str_t *>(db->fields));
    std::free(const_cast<sigma_str_t *>(db->values));
    std::free(const_cast<sigma_pred_t *>(db->preds));
    std::free(const_cast<sigma_sel_t *>(db->sels));
    std::free(const_cast<sigma_ctok_t *>(db->cond));
    std::free(const_cast<sigma_rule_t *>(db->rules));
    std::free(const_cast<sigma_cidr_t *>(db->cidrs));
    std::free(const_cast<char *>(db->strpool));
    std::free(const_cast<sigma_str_t *>(db->bucket_keys));
    std::free(const_cast<sigma_bucket_t *>(db->buckets));
    std::free(const_cast<uint32_t *>(db->bucket_idx));
    std::free(const_cast<sigma_str_t *>(db->litndl));
    std::free(const_cast<sigma_litpost_t *>(db->litpost));
    std::free(const_cast<sigma_litref_t *>(db->litpost_ref));
    std::free(const_cast<uint32_t *>(db->litav));
    std::free(const_cast<uint8_t *>(db->rule_clauses));
    std::free(const_cast<sigma_fwit_t *>(db->fwit));
  }
  *db = sigma_db_t{};
}
