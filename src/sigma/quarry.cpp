// The Sigma front end: match, explain and correlate reports as JSON.
#include "sigma/quarry.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/veldra.h"
#include "sigma/classify_corr.h"
#include "sigma/corr_format.h"
#include "sigma/sg_event.h"
#include "sigma/sigma_internal.h"

namespace {

constexpr uint32_t kMaxHits = 64;
constexpr size_t kMaxFires = 64;
constexpr size_t kScratch = 512;
constexpr size_t kRouteMax = 255;
constexpr size_t kMaxBuckets = 16;

// The evaluator's routing fields, in its order.
const char *const kRoute[] = {"event.category",   "techno",        "product",
                              "technology",       "observer.product", "event.provider",
                              "event.module",     "event.dataset", "log.syslog.appname"};

char *dup_text(const char *s) {
  size_t n = strlen(s);
  char *p = static_cast<char *>(malloc(n + 1));
  if (p) memcpy(p, s, n + 1);
  return p;
}

// {"ok":false,"error":MESSAGE}, the message escaped whatever it holds.
char *error_json(std::string_view msg) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  vdr_sb_puts(&sb, "{\"ok\":false,\"error\":");
  vdr_sb_json_stringn(&sb, msg.data(), msg.size());
  vdr_sb_putc(&sb, '}');
  char *out = vdr_sb_release(&sb);
  return out ? out : dup_text("{\"ok\":false,\"error\":\"out of memory\"}");
}

// At most max bytes of s, never ending inside a UTF-8 sequence.
std::string_view cut(std::string_view s, size_t max) {
  if (s.size() <= max) return s;
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

std::string_view pool_str(const sigma_db_t &db, const sigma_str_t &s) {
  return std::string_view(db.strpool + s.off, s.len);
}

std::string_view value_text(const sigma_db_t &db, uint32_t id) {
  return id < db.n_values ? pool_str(db, db.values[id]) : std::string_view();
}

const char *lookup(void *ctx, const char *name, uint32_t len, size_t *out_len) {
  const std::string *v = static_cast<const sg_event *>(ctx)->get(std::string_view(name, len));
  if (!v) return nullptr;
  *out_len = v->size();
  return v->data();
}

// Field lookup for the correlation engine: absent or empty is null.
const char *corr_lookup(void *ctx, const char *name) {
  const std::string *v = static_cast<const sg_event *>(ctx)->get(name);
  return v && !v->empty() ? v->c_str() : nullptr;
}

const char *verdict_word(uint8_t v) {
  switch (v) {
    case SIGMA_VERDICT_ALERT: return "alert";
    case SIGMA_VERDICT_BENIGN: return "benign";
    case SIGMA_VERDICT_ESCALATE: return "escalate";
    default: return "unknown";
  }
}

const char *tier_word(uint8_t v) {
  switch (v) {
    case SIGMA_VERDICT_ALERT: return "strong";
    case SIGMA_VERDICT_BENIGN: return "context";
    case SIGMA_VERDICT_ESCALATE: return "confirmed";
    default: return "unknown";
  }
}

const char *op_name(uint8_t op) {
  static const char *const names[] = {"eq", "contains", "startswith", "endswith", "exists", "gt",
                                      "gte", "lt", "lte", "re", "cidr"};
  return op < 11 ? names[op] : "op";
}

// Where an event is routed: the route text, the selected buckets.
struct route_info {
  std::string text;
  bool had_route = false;
  uint32_t buckets[kMaxBuckets];
  size_t n_buckets = 0;

  void select(uint32_t b) {
    for (size_t i = 0; i < n_buckets; ++i)
      if (buckets[i] == b) return;
    if (n_buckets < kMaxBuckets) buckets[n_buckets++] = b;
  }
};

route_info collect_route(const sigma_db_t &db, const sg_event &ev) {
  route_info r;
  for (const char *name : kRoute) {
    const std::string *v = ev.get(name);
    if (!v || v->empty()) continue;
    r.had_route = true;
    std::string pair = (r.text.empty() ? "" : ",") + std::string(name) + "=" + *v;
    if (r.text.size() + pair.size() + 8 <= kRouteMax + 1) r.text += pair;
    for (uint32_t b = 0; b < db.n_buckets; ++b)
      if (pool_str(db, db.bucket_keys[b]) == *v) {
        r.select(b);
        break;
      }
  }
  if (db.av_bucket != SIGMA_NONE && db.av_bucket < db.n_buckets) r.select(db.av_bucket);
  return r;
}

bool in_scope(const sigma_db_t &db, const route_info &r, uint32_t rule_pos) {
  if (!r.had_route || db.n_buckets == 0) return true;
  for (size_t i = 0; i < r.n_buckets; ++i) {
    const sigma_bucket_t &b = db.buckets[r.buckets[i]];
    for (uint32_t k = 0; k < b.idx_count; ++k)
      if (db.bucket_idx[b.idx_start + k] == rule_pos) return true;
  }
  return false;
}

/* ---- exact predicate evaluation for explanations --------------------------
 * The same tests the evaluator makes, negation and case flags included, so
 * that an explanation never says a predicate fired when it did not. */

pcre2_match_context *re_context() {
  static std::once_flag once;
  static pcre2_match_context *ctx = nullptr;
  std::call_once(once, [] {
    ctx = pcre2_match_context_create(nullptr);
    if (ctx) {
      pcre2_set_match_limit(ctx, 100000);
      pcre2_set_depth_limit(ctx, 10000);
    }
  });
  return ctx;
}

bool fold_eq(const char *a, const char *b, size_t n, bool cs) {
  if (cs) return memcmp(a, b, n) == 0;
  for (size_t i = 0; i < n; ++i)
    if (sigma_fold(static_cast<uint8_t>(a[i])) != sigma_fold(static_cast<uint8_t>(b[i]))) return false;
  return true;
}

bool pred_raw(const sigma_db_t &db, const sg_event &ev, uint32_t pi) {
  const sigma_pred_t &p = db.preds[pi];
  const std::string *v = p.field_id < db.n_fields ? ev.get(pool_str(db, db.fields[p.field_id])) : nullptr;
  if (p.op == SIGMA_OP_EXISTS) return v && !v->empty();
  if (!v) return false;
  const bool cs = p.flags & SIGMA_PF_CASE;
  switch (p.op) {
    case SIGMA_OP_EQ:
    case SIGMA_OP_CONTAINS:
    case SIGMA_OP_STARTSWITH:
    case SIGMA_OP_ENDSWITH: {
      std::string_view c;
      if (p.flags & SIGMA_PF_FIELDREF) {
        if (p.value_id > 65535 || p.value_id >= db.n_fields) return false;
        const std::string *o = ev.get(pool_str(db, db.fields[p.value_id]));
        if (!o) return false;
        c = *o;
      } else {
        if (p.value_id >= db.n_values) return false;
        c = value_text(db, p.value_id);
      }
      if (p.op == SIGMA_OP_EQ) return v->size() == c.size() && fold_eq(v->data(), c.data(), c.size(), cs);
      if (c.size() > v->size()) return false;
      if (p.op == SIGMA_OP_STARTSWITH) return fold_eq(v->data(), c.data(), c.size(), cs);
      if (p.op == SIGMA_OP_ENDSWITH) return fold_eq(v->data() + v->size() - c.size(), c.data(), c.size(), cs);
      if (cs) return c.empty() || std::string_view(*v).find(c) != std::string_view::npos;
      return sigma_memmem_ci(v->data(), v->size(), c.data(), c.size()) != nullptr;
    }
    case SIGMA_OP_RE: {
      if (!db.re || pi >= db.re->code.size() || !db.re->code[pi]) return false;
      auto *code = static_cast<pcre2_code *>(db.re->code[pi]);
      pcre2_match_data *md = pcre2_match_data_create(1, nullptr);
      if (!md) return false;
      int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(v->data()), v->size(), 0, 0, md,
                           re_context());
      pcre2_match_data_free(md);
      return rc >= 0;
    }
    case SIGMA_OP_CIDR:
      return p.value_id < db.n_cidrs && sigma_ip_in_cidr(v->data(), v->size(), &db.cidrs[p.value_id]);
    case SIGMA_OP_GT:
    case SIGMA_OP_GTE:
    case SIGMA_OP_LT:
    case SIGMA_OP_LTE:
    case SIGMA_OP_NUMEQ: {
      int64_t x;
      if (!sigma_parse_int(v->data(), v->size(), &x)) return false;
      switch (p.op) {
        case SIGMA_OP_GT: return x > p.ival;
        case SIGMA_OP_GTE: return x >= p.ival;
        case SIGMA_OP_LT: return x < p.ival;
        case SIGMA_OP_LTE: return x <= p.ival;
        default: return x == p.ival;
      }
    }
    default:
      return false;
  }
}

bool pred_fires(const sigma_db_t &db, const sg_event &ev, uint32_t pi) {
  return pred_raw(db, ev, pi) != ((db.preds[pi].flags & SIGMA_PF_NEGATE) != 0);
}

// A selection: AND over runs of adjacent equal group ids, OR inside a run.
bool sel_fires(const sigma_db_t &db, const sg_event &ev, uint32_t si) {
  const sigma_sel_t &s = db.sels[si];
  if (s.pred_count == 0) return false;
  bool group = false;
  for (uint32_t k = 0; k < s.pred_count; ++k) {
    const uint32_t pi = s.pred_start + k;
    if (k > 0 && db.preds[pi].group_id != db.preds[pi - 1].group_id) {
      if (!group) return false;
      group = false;
    }
    if (!group) group = pred_fires(db, ev, pi);
  }
  return group;
}

std::string want_text(const sigma_db_t &db, const sigma_pred_t &p) {
  if (p.flags & SIGMA_PF_FIELDREF)
    return p.value_id < db.n_fields ? std::string(pool_str(db, db.fields[p.value_id])) : "";
  switch (p.op) {
    case SIGMA_OP_EXISTS: return "";
    case SIGMA_OP_GT:
    case SIGMA_OP_GTE:
    case SIGMA_OP_LT:
    case SIGMA_OP_LTE:
    case SIGMA_OP_NUMEQ: return std::to_string(p.ival);
    case SIGMA_OP_CIDR: {
      if (p.value_id >= db.n_cidrs) return "";
      const sigma_cidr_t &c = db.cidrs[p.value_id];
      char buf[INET6_ADDRSTRLEN] = "";
      if (!inet_ntop(c.family == 6 ? AF_INET6 : AF_INET, c.net, buf, sizeof buf)) return "";
      return std::string(buf) + "/" + std::to_string(c.prefix);
    }
    default: return std::string(value_text(db, p.value_id));
  }
}

// The predicates of one selection with what the event holds.
void preds_json(vdr_sb *sb, const sigma_db_t &db, const sg_event &ev, uint32_t si) {
  const sigma_sel_t &s = db.sels[si];
  bool first = true;
  for (uint32_t k = 0; k < s.pred_count; ++k) {
    const uint32_t pi = s.pred_start + k;
    const sigma_pred_t &p = db.preds[pi];
    const std::string_view field =
        p.field_id < db.n_fields ? pool_str(db, db.fields[p.field_id]) : std::string_view();
    const std::string *v = ev.get(field);
    if (!first) vdr_sb_putc(sb, ',');
    first = false;
    vdr_sb_puts(sb, "{\"field\":");
    vdr_sb_json_stringn(sb, field.data(), field.size());
    vdr_sb_printf(sb, ",\"op\":\"%s\",\"present\":%s,\"got\":", op_name(p.op),
                  v && !v->empty() ? "true" : "false");
    std::string_view got = v ? cut(*v, 95) : std::string_view();
    vdr_sb_json_stringn(sb, got.data(), got.size());
    vdr_sb_puts(sb, ",\"want\":");
    std::string want = want_text(db, p);
    std::string_view w = cut(want, 95);
    vdr_sb_json_stringn(sb, w.data(), w.size());
    if (p.flags & SIGMA_PF_NEGATE) vdr_sb_puts(sb, ",\"negate\":true");
    vdr_sb_printf(sb, ",\"fired\":%s}", pred_fires(db, ev, pi) ? "true" : "false");
  }
}

// Every predicate of every selection of the rule, as one flat array.
void rule_preds_json(vdr_sb *sb, const sigma_db_t &db, const sg_event &ev, const sigma_rule_t &r) {
  vdr_sb_putc(sb, '[');
  bool first = true;
  for (uint32_t s = 0; s < r.sel_count; ++s) {
    const uint32_t si = r.sel_start + s;
    if (si >= db.n_sels || db.sels[si].pred_count == 0) continue;
    if (!first) vdr_sb_putc(sb, ',');
    first = false;
    preds_json(sb, db, ev, si);
  }
  vdr_sb_putc(sb, ']');
}

// Per selection: whether it matched and its predicates.
void selections_json(vdr_sb *sb, const sigma_db_t &db, const sg_event &ev, const sigma_rule_t &r) {
  vdr_sb_putc(sb, '[');
  for (uint32_t s = 0; s < r.sel_count; ++s) {
    const uint32_t si = r.sel_start + s;
    if (si >= db.n_sels) break;
    if (s) vdr_sb_putc(sb, ',');
    vdr_sb_printf(sb, "{\"selection\":%u,\"matched\":%s,\"preds\":[", s,
                  sel_fires(db, ev, si) ? "true" : "false");
    preds_json(sb, db, ev, si);
    vdr_sb_puts(sb, "]}");
  }
  vdr_sb_putc(sb, ']');
}

std::unordered_map<uint32_t, uint32_t> rule_positions(const sigma_db_t &db) {
  std::unordered_map<uint32_t, uint32_t> m;
  for (uint32_t i = 0; i < db.n_rules; ++i) m.emplace(db.rules[i].rule_id, i);
  return m;
}

std::string_view rule_title(const sigma_db_t &db, const sigma_rule_t *r) {
  return r ? cut(value_text(db, r->name_id), 127) : std::string_view();
}

void put_double(vdr_sb *sb, double d) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.15g", d);
  vdr_sb_puts(sb, buf);
  if (!strpbrk(buf, ".eEn")) vdr_sb_puts(sb, ".0");
}

char *finish(vdr_sb *sb) {
  char *out = vdr_sb_release(sb);
  return out ? out : error_json("out of memory");
}

} // namespace

/* ---- loading ----------------------------------------------------------------- */

sg_engine *sg_load_mem(const uint8_t *buf, size_t len, char **err) {
  if (err) *err = nullptr;
  auto fail = [err](const char *msg) -> sg_engine * {
    if (err) *err = dup_text(msg);
    return nullptr;
  };
  if (!buf || len == 0) return fail("empty .sigmac");
  auto *e = static_cast<sg_engine *>(calloc(1, sizeof(sg_engine)));
  uint8_t *copy = static_cast<uint8_t *>(malloc(len));
  if (!e || !copy) {
    free(e);
    free(copy);
    return fail("out of memory");
  }
  memcpy(copy, buf, len);
  int rc = sigma_db_load_buffer(copy, len, &e->db);
  if (rc != SIGMA_OK) {
    free(copy);
    free(e);
    char msg[48];
    snprintf(msg, sizeof msg, "sigmac load status %d", rc);
    return fail(msg);
  }
  e->owned = copy;
  e->ev = sigma_eval_create(&e->db);
  if (!e->ev) {
    sigma_db_free(&e->db);
    free(e);
    return fail("eval create failed");
  }
  return e;
}

sg_engine *sg_load_file(const char *path, char **err) {
  if (err) *err = nullptr;
  auto fail = [err](const char *msg) -> sg_engine * {
    if (err) *err = dup_text(msg);
    return nullptr;
  };
  FILE *f = path ? fopen(path, "rb") : nullptr;
  if (!f) return fail("cannot open .sigmac");
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
    fclose(f);
    return fail("cannot stat .sigmac");
  }
  const size_t n = static_cast<size_t>(st.st_size);
  std::vector<uint8_t> buf;
  try {
    buf.resize(n ? n : 1);
  } catch (const std::bad_alloc &) {
    fclose(f);
    return fail("out of memory");
  }
  const size_t got = n ? fread(buf.data(), 1, n, f) : 0;
  fclose(f);
  if (got != n) return fail("short read");
  return sg_load_mem(buf.data(), n, err);
}

void sg_free(sg_engine *e) {
  if (!e) return;
  sigma_eval_free(e->ev);
  sigma_db_free(&e->db); // frees the image copy
  free(e);
}

uint32_t sg_n_rules(const sg_engine *e) { return e ? e->db.n_rules : 0; }
uint32_t sg_n_re_skipped(const sg_engine *e) { return e ? e->db.n_re_skipped : 0; }

/* ---- match --------------------------------------------------------------------- */

char *sg_match_json(sg_engine *e, const char *events_text, const char *techno, const char *product,
                    unsigned flags) {
  if (!e) return error_json("no engine");
  try {
    const sigma_db_t &db = e->db;
    std::string err;
    sg_event_reader reader;
    if (!sg_events_begin(&reader, events_text, events_text ? strlen(events_text) : 0, techno,
                         product, &err))
      return error_json(err);
    const auto pos = rule_positions(db);
    sigma_eval_stats_t before;
    sigma_eval_get_stats(e->ev, &before);
    vdr_sb rows;
    vdr_sb_init(&rows);
    uint64_t n_events = 0, total = 0, by_verdict[3] = {0, 0, 0}, route_empty = 0, routed = 0,
             truncated = 0;
    sg_event ev;
    sigma_hit_t hits[kMaxHits];
    int rc;
    while ((rc = sg_events_next(&reader, &ev, &err)) == 1) {
      const route_info route = collect_route(db, ev);
      const uint32_t fired = sigma_eval_run(e->ev, lookup, &ev, hits, kMaxHits);
      const uint32_t n = fired < kMaxHits ? fired : kMaxHits;
      if (fired > kMaxHits) ++truncated;
      if (route.had_route) ++routed;
      if (route.had_route && route.n_buckets > 0 && fired == 0) ++route_empty;
      if (n_events) vdr_sb_putc(&rows, ',');
      vdr_sb_printf(&rows, "{\"event\":%" PRIu64 ",\"route\":", n_events);
      vdr_sb_json_stringn(&rows, route.text.data(), route.text.size());
      vdr_sb_printf(&rows, ",\"had_route\":%s,\"hits\":[", route.had_route ? "true" : "false");
      for (uint32_t i = 0; i < n; ++i) {
        const sigma_hit_t &h = hits[i];
        auto it = pos.find(h.rule_id);
        const sigma_rule_t *r = it == pos.end() ? nullptr : &db.rules[it->second];
        if (i) vdr_sb_putc(&rows, ',');
        vdr_sb_printf(&rows, "{\"rule_id\":%u,\"verdict\":\"%s\",\"tier_preview\":\"%s\",\"severity\":%u,\"score\":",
                      h.rule_id, verdict_word(h.verdict), tier_word(h.verdict), h.severity);
        put_double(&rows, h.score_x100 / 100.0);
        vdr_sb_puts(&rows, ",\"mitre\":");
        std::string_view m = h.mitre ? cut(std::string_view(h.mitre, h.mitre_len), 63) : std::string_view();
        vdr_sb_json_stringn(&rows, m.data(), m.size());
        vdr_sb_puts(&rows, ",\"title\":");
        std::string_view t = rule_title(db, r);
        vdr_sb_json_stringn(&rows, t.data(), t.size());
        if ((flags & SG_MATCH_EXPLAIN) && r) {
          vdr_sb_puts(&rows, ",\"explain\":");
          selections_json(&rows, db, ev, *r);
        }
        vdr_sb_putc(&rows, '}');
        ++total;
        if (h.verdict < 3) ++by_verdict[h.verdict];
      }
      vdr_sb_printf(&rows, "],\"n_hits\":%u", n);
      if (fired > kMaxHits) vdr_sb_printf(&rows, ",\"n_fired\":%u", fired);
      if (fired == 0 && db.n_rules >= 1 && db.n_rules <= 16) {
        vdr_sb_puts(&rows, ",\"why\":[");
        for (uint32_t ri = 0; ri < db.n_rules; ++ri) {
          const sigma_rule_t &r = db.rules[ri];
          if (ri) vdr_sb_putc(&rows, ',');
          vdr_sb_puts(&rows, "{\"title\":");
          std::string_view t = rule_title(db, &r);
          vdr_sb_json_stringn(&rows, t.data(), t.size());
          vdr_sb_printf(&rows, ",\"rule_id\":%u,\"in_scope\":%s,\"preds\":", r.rule_id,
                        in_scope(db, route, ri) ? "true" : "false");
          rule_preds_json(&rows, db, ev, r);
          vdr_sb_putc(&rows, '}');
        }
        vdr_sb_putc(&rows, ']');
      }
      vdr_sb_putc(&rows, '}');
      ++n_events;
      if (rows.oom) break;
    }
    if (rc < 0) {
      vdr_sb_free(&rows);
      return error_json(err);
    }
    if (rows.oom) {
      vdr_sb_free(&rows);
      return error_json("out of memory");
    }
    sigma_eval_stats_t after;
    sigma_eval_get_stats(e->ev, &after);
    vdr_sb out;
    vdr_sb_init(&out);
    vdr_sb_printf(&out, "{\"ok\":true,\"n_rules\":%u,\"n_events\":%" PRIu64 ",\"rows\":[", db.n_rules,
                  n_events);
    vdr_sb_putn(&out, rows.buf ? rows.buf : "", rows.len);
    vdr_sb_free(&rows);
    vdr_sb_printf(&out,
                  "],\"kpi\":{\"hits\":%" PRIu64 ",\"alert\":%" PRIu64 ",\"benign\":%" PRIu64
                  ",\"escalate\":%" PRIu64 ",\"route_empty_hits\":%" PRIu64 ",\"re_skipped\":%u"
                  ",\"events_routed\":%" PRIu64 ",\"rules_considered\":%" PRIu64
                  ",\"rules_evaluated\":%" PRIu64 ",\"prefilter_runs\":%" PRIu64
                  ",\"hits_truncated_events\":%" PRIu64 "}}",
                  total, by_verdict[0], by_verdict[1], by_verdict[2], route_empty, db.n_re_skipped,
                  routed, after.rules_considered - before.rules_considered,
                  after.rules_evaluated - before.rules_evaluated,
                  after.prefilter_runs - before.prefilter_runs, truncated);
    return finish(&out);
  } catch (const std::bad_alloc &) {
    return error_json("out of memory");
  }
}

/* ---- explain -------------------------------------------------------------------- */

char *sg_explain_json(sg_engine *e, const char *event_json, uint32_t rule_id, const char *techno,
                      const char *product) {
  if (!e) return error_json("no engine");
  try {
    const sigma_db_t &db = e->db;
    std::string err;
    sg_event_reader reader;
    if (!sg_events_begin(&reader, event_json, event_json ? strlen(event_json) : 0, techno, product,
                         &err))
      return error_json(err);
    sg_event ev;
    int rc = sg_events_next(&reader, &ev, &err);
    if (rc < 0) return error_json(err);
    if (rc == 0) return error_json("no event");
    const route_info route = collect_route(db, ev);
    const auto pos = rule_positions(db);
    auto it = pos.find(rule_id);
    const sigma_rule_t *r = it == pos.end() ? nullptr : &db.rules[it->second];
    const bool scope = !r || in_scope(db, route, it->second);
    sigma_hit_t hits[kMaxHits];
    const uint32_t fired = sigma_eval_run(e->ev, lookup, &ev, hits, kMaxHits);
    bool hit = false;
    for (uint32_t i = 0; i < fired && i < kMaxHits; ++i)
      if (hits[i].rule_id == rule_id) hit = true;
    vdr_sb out;
    vdr_sb_init(&out);
    vdr_sb_printf(&out, "{\"ok\":true,\"rule_id\":%u,\"title\":", rule_id);
    std::string_view t = rule_title(db, r);
    vdr_sb_json_stringn(&out, t.data(), t.size());
    vdr_sb_puts(&out, ",\"route\":");
    vdr_sb_json_stringn(&out, route.text.data(), route.text.size());
    vdr_sb_printf(&out, ",\"had_route\":%s,\"in_scope\":%s,\"hit\":%s,\"why\":",
                  route.had_route ? "true" : "false", scope ? "true" : "false", hit ? "true" : "false");
    if (route.had_route && !scope)
      vdr_sb_json_string(&out, "Skipped: event route tokens did not select this rule's bucket (always-verify still runs).");
    else
      vdr_sb_json_string(&out, hit ? "matched" : "in scope but selection did not fire");
    vdr_sb_puts(&out, ",\"preds\":");
    if (r) rule_preds_json(&out, db, ev, *r);
    else vdr_sb_puts(&out, "[]");
    if (r) {
      vdr_sb_puts(&out, ",\"selections\":");
      selections_json(&out, db, ev, *r);
    }
    vdr_sb_putc(&out, '}');
    return finish(&out);
  } catch (const std::bad_alloc &) {
    return error_json("out of memory");
  }
}

/* ---- correlate ------------------------------------------------------------------- */

namespace {

struct corr_run {
  corr_artifact_t *art = nullptr;
  corr_engine_t *eng = nullptr;
  ~corr_run() {
    corr_engine_free(eng);
    corr_artifact_free(art);
  }
};

void fire_json(vdr_sb *sb, bool &first, uint64_t event, const corr_fire_t &f) {
  if (!first) vdr_sb_putc(sb, ',');
  first = false;
  vdr_sb_printf(sb, "{\"event\":%" PRIu64 ",\"corr_id\":", event);
  vdr_sb_json_string(sb, f.rule_id ? f.rule_id : "");
  vdr_sb_puts(sb, ",\"title\":");
  vdr_sb_json_string(sb, f.title ? f.title : "");
  vdr_sb_printf(sb, ",\"observed\":%" PRId64 ",\"threshold\":%" PRId64 ",\"group\":", f.observed,
                f.threshold);
  std::string g;
  for (size_t k = 0; f.group && k < f.n_group; ++k) {
    if (k) g += ',';
    g += f.group[k];
  }
  std::string_view gv = cut(g, 95);
  vdr_sb_json_stringn(sb, gv.data(), gv.size());
  vdr_sb_putc(sb, '}');
}

} // namespace

char *sg_correlate_json(sg_engine *e, const char *corr_json, const char *events_text,
                        const char *techno, const char *product) {
  if (!e) return error_json("no engine");
  if (!corr_json || !*corr_json) return error_json("no corr json");
  try {
    corr_run run;
    corr_artifact_view view;
    run.art = corr_artifact_parse(corr_json, strlen(corr_json), &view);
    if (!run.art) return error_json("corr json rejected");
    corr_caps_t caps{SG_CORR_MAX_GROUPS, SG_CORR_MAX_DISTINCT, SG_CORR_MAX_EVENTS, 0, 0, 0};
    run.eng = corr_engine_new(view.rules, view.n, &caps);
    if (!run.eng) return error_json("corr engine");

    std::string err;
    sg_event_reader reader;
    if (!sg_events_begin(&reader, events_text, events_text ? strlen(events_text) : 0, techno,
                         product, &err))
      return error_json(err);
    vdr_sb fires_sb;
    vdr_sb_init(&fires_sb);
    bool first = true;
    uint64_t n_events = 0, n_fires = 0, hits_truncated = 0;
    sg_event ev;
    sigma_hit_t hits[kMaxHits];
    uint32_t ids[kMaxHits];
    corr_fire_t fires[kMaxFires];
    char *scratch[kScratch];
    int rc;
    while ((rc = sg_events_next(&reader, &ev, &err)) == 1) {
      const uint64_t i = n_events++;
      const uint32_t fired = sigma_eval_run(e->ev, lookup, &ev, hits, kMaxHits);
      if (fired == 0) continue;
      if (fired > kMaxHits) ++hits_truncated;
      const uint32_t n = fired < kMaxHits ? fired : kMaxHits;
      for (uint32_t k = 0; k < n; ++k) ids[k] = hits[k].rule_id;
      const double now = ev.has_ts ? ev.ts : static_cast<double>(i + 1);
      size_t nf = corr_on_event(run.eng, ids, n, corr_lookup, &ev, now, fires, kMaxFires, scratch,
                                kScratch);
      const size_t written = nf < kMaxFires ? nf : kMaxFires;
      for (size_t k = 0; k < written; ++k) fire_json(&fires_sb, first, i, fires[k]);
      n_fires += written;
      corr_fires_release(fires, written);
    }
    if (rc < 0) {
      vdr_sb_free(&fires_sb);
      return error_json(err);
    }
    // Sequences still held for reordering are applied at the end.
    size_t nf = corr_flush(run.eng, fires, kMaxFires, scratch, kScratch);
    const size_t written = nf < kMaxFires ? nf : kMaxFires;
    for (size_t k = 0; k < written; ++k) fire_json(&fires_sb, first, n_events ? n_events - 1 : 0, fires[k]);
    n_fires += written;
    corr_fires_release(fires, written);
    if (fires_sb.oom) {
      vdr_sb_free(&fires_sb);
      return error_json("out of memory");
    }

    corr_stats_t st;
    corr_engine_stats(run.eng, &st);
    vdr_sb out;
    vdr_sb_init(&out);
    vdr_sb_printf(&out, "{\"ok\":true,\"n_corr\":%zu,\"caps_max_groups\":%u,\"fires\":[",
                  corr_engine_rule_count(run.eng), SG_CORR_MAX_GROUPS);
    vdr_sb_putn(&out, fires_sb.buf ? fires_sb.buf : "", fires_sb.len);
    vdr_sb_free(&fires_sb);
    const uint64_t rejected = view.load.rules_rejected + st.rules_rejected + st.rpn_rejected;
    vdr_sb_printf(&out,
                  "],\"n_events\":%" PRIu64 ",\"n_fires\":%" PRIu64 ",\"n_rejected\":%" PRIu64
                  ",\"hits_truncated_events\":%" PRIu64 ",\"stats\":{",
                  n_events, n_fires, rejected, hits_truncated);
    const char *const names[] = {"groups_evicted",   "distinct_evicted",    "ring_evicted",
                                 "fires_suppressed", "fires_dropped",       "rules_rejected",
                                 "group_field_missing", "rid_table_full",   "rids_overflow",
                                 "group_values_dropped", "alloc_failures",  "non_numeric",
                                 "rpn_rejected",     "late_events",         "ring_pressure"};
    const uint64_t vals[] = {st.groups_evicted,   st.distinct_evicted,   st.ring_evicted,
                             st.fires_suppressed, st.fires_dropped,      st.rules_rejected,
                             st.group_field_missing, st.rid_table_full,  st.rids_overflow,
                             st.group_values_dropped, st.alloc_failures, st.non_numeric,
                             st.rpn_rejected,     st.late_events,        st.ring_pressure};
    for (size_t k = 0; k < 15; ++k)
      vdr_sb_printf(&out, "%s\"%s\":%" PRIu64, k ? "," : "", names[k], vals[k]);
    vdr_sb_puts(&out, "}}");
    return finish(&out);
  } catch (const std::bad_alloc &) {
    return error_json("out of memory");
  }
}
