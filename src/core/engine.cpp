// The comparison run: one rulebase in two normalizer contexts, every sample
// through both, canonicalized, diffed and classified.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <algorithm>
#include <functional>
#include <string_view>
#include <atomic>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/veldra.h"
#include "normalizer/rules.h"
#include "normalizer/samp.h"
#include "normalizer/walker.h"
#include "vaderad/turbo.h"

// A text declares version 2 when its first line that is neither blank nor a
// comment (after leading spaces and tabs) is "version=2" followed only by
// spaces, tabs or carriage returns. The loader applies the same test, so the
// front end and the loader give one answer.
int vdr_rulebase_is_v2(const char *text) {
  if (!text) return 0;
  return ln_sampVersion(text, strlen(text), nullptr, nullptr) == 2 ? 1 : 0;
}

struct vdr_run {
  ln_ctx ctx_legacy;
  ln_ctx ctx_turbo;
  vdr_sb diag_legacy;
  vdr_sb diag_turbo;
  vdr_result *results;
  size_t n_results;
  size_t cap_results;
  size_t tally[VDR_STATUS__COUNT];
  size_t n_samples;  // samples run, records kept or not
  size_t kinds[5];   // diffs per vdr_diff_kind over every sample
  vdr_config cfg;
  int turbo_available;
  fjson_tokener *tok; // reused for every result text; created on first use
  struct vdr_lane *lanes; // contexts of the threads after the first (cfg.jobs - 1)
  size_t n_lanes;
};

// One thread's share of a run: its own pair of contexts and tokener.
struct vdr_lane {
  ln_ctx legacy;
  ln_ctx turbo;
  fjson_tokener *tok;
};

namespace {

const int vdr_json_max_depth = 20050;

const char k_not_v2[] =
    "not a version=2 rulebase: the first non-comment line must be 'version=2'. v1 rulebases "
    "are out of scope for veldra and must be migrated first.";

const char k_basic_types_prelude[] = "type=@IPaddr:%net_src_ip4:ipv4%\n"
                                     "type=@IPaddr:%net_src_ip6:ipv6%\n"
                                     "type=@ip:%..:ipv4%\n"
                                     "type=@ip:%..:ipv6%\n";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// An include line whose path (trailing blanks and carriage returns dropped)
// ends in "basic_types.rb" and is at least that long.
bool is_basic_types_include(const char *s, const char *eol) {
  while (s < eol && is_blank(*s))
    ++s;
  if (eol - s < 8 || memcmp(s, "include=", 8) != 0) return false;
  s += 8;
  while (s < eol && is_blank(*s))
    ++s;
  const char *e = eol;
  while (e > s && (is_blank(e[-1]) || e[-1] == '\r'))
    --e;
  static const char tail[] = "basic_types.rb";
  const size_t tl = sizeof tail - 1;
  return static_cast<size_t>(e - s) >= tl && memcmp(e - tl, tail, tl) == 0;
}

// Copies the rulebase text line by line, expands the basic-types include into
// the fixed prelude and (unless keep_header) turns the version header into a
// comment. Null when out of memory.
char *prepare_text(const char *text, bool keep_header = false) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  bool header_done = false;
  const char *p = text;
  while (*p) {
    const char *eol = strchr(p, '\n');
    if (!eol) eol = p + strlen(p);
    const char *s = p;
    while (s < eol && is_blank(*s))
      ++s;
    const size_t start = sb.len;
    if (is_basic_types_include(p, eol)) {
      vdr_sb_puts(&sb, k_basic_types_prelude);
    } else {
      vdr_sb_putn(&sb, p, static_cast<size_t>(eol - p));
      vdr_sb_putc(&sb, '\n');
      if (!keep_header && !header_done && s < eol && *s != '#') {
        // The first line that is neither blank nor a comment is the header
        // (the caller checked it reads version=2): blank it out as a comment.
        header_done = true;
        if (!sb.oom) {
          memset(sb.buf + start, ' ', static_cast<size_t>(eol - p));
          sb.buf[start] = '#';
        }
      }
    }
    p = *eol ? eol + 1 : eol;
  }
  return vdr_sb_release(&sb);
}

void collect_message(void *cookie, const char *msg, size_t len) {
  auto *sb = static_cast<vdr_sb *>(cookie);
  vdr_sb_putn(sb, msg ? msg : "", msg ? len : 0);
  vdr_sb_putc(sb, '\n');
}

void discard_message(void *, const char *, size_t) {}

void set_err(char **errmsg, char *msg) {
  if (errmsg)
    *errmsg = msg;
  else
    free(msg);
}

} // namespace

// The message of a failed load: one part per engine that failed, each with
// that engine's collected messages. Exposed for tests.
char *vdr_load_failure_message(bool legacy_failed, bool turbo_failed, const char *diag_legacy,
                               const char *diag_turbo) {
  vdr_sb m;
  vdr_sb_init(&m);
  if (legacy_failed) {
    vdr_sb_puts(&m, "rulebase failed to load on the legacy walker:\n");
    vdr_sb_puts(&m, diag_legacy);
  }
  if (turbo_failed) {
    vdr_sb_puts(&m, "rulebase failed to load on VaderAD:\n");
    vdr_sb_puts(&m, diag_turbo);
  }
  return vdr_sb_release(&m);
}

namespace {

// Creates both contexts and loads the rulebase into each: by path; or text
// read from the file `name`, loaded as that file's content; or, with neither
// path nor name, prepared text.
vdr_run *run_create(const char *path, const char *text, const vdr_config *cfg, char **errmsg,
                    const char *name = nullptr) {
  auto *run = static_cast<vdr_run *>(calloc(1, sizeof(vdr_run)));
  if (!run) return nullptr;
  if (cfg) run->cfg = *cfg;
  vdr_sb_init(&run->diag_legacy);
  vdr_sb_init(&run->diag_turbo);

  run->ctx_legacy = ln_initCtx();
  if (run->ctx_legacy) {
    ln_setErrMsgCB(run->ctx_legacy, collect_message, &run->diag_legacy);
    ln_setCtxOpts(run->ctx_legacy, run->cfg.ctx_flags);
  }
  run->ctx_turbo = ln_initCtx();
  if (run->ctx_turbo) {
    ln_setErrMsgCB(run->ctx_turbo, collect_message, &run->diag_turbo);
    ln_setCtxOpts(run->ctx_turbo, run->cfg.ctx_flags | LN_CTXOPT_TURBO | LN_CTXOPT_TURBO_STRICT);
  }
  if (!run->ctx_legacy || !run->ctx_turbo) {
    vdr_run_free(run);
    return nullptr;
  }

  auto load = [&](ln_ctx ctx) {
    if (path) return ln_loadSamples(ctx, path);
    if (name) return ln_loadSamplesFromText(ctx, text, name);
    return ln_loadSamplesFromString(ctx, text);
  };
  int rc_l = load(run->ctx_legacy);
  int rc_t = load(run->ctx_turbo);
  if (rc_l == 0 && rc_t == 0) {
    // The other threads' contexts load the same way, here, while relative
    // includes still resolve; their messages repeat the first pair's.
    if (run->cfg.jobs > 1)
      run->lanes = static_cast<vdr_lane *>(calloc(static_cast<size_t>(run->cfg.jobs) - 1,
                                                  sizeof(vdr_lane)));
    for (int k = 1; run->lanes && k < run->cfg.jobs; ++k) {
      vdr_lane ln{ln_initCtx(), ln_initCtx(), nullptr};
      bool ok = ln.legacy && ln.turbo;
      if (ok) {
        ln_setErrMsgCB(ln.legacy, discard_message, nullptr);
        ln_setErrMsgCB(ln.turbo, discard_message, nullptr);
        ln_setCtxOpts(ln.legacy, run->cfg.ctx_flags);
        ln_setCtxOpts(ln.turbo, run->cfg.ctx_flags | LN_CTXOPT_TURBO | LN_CTXOPT_TURBO_STRICT);
        ok = load(ln.legacy) == 0 && load(ln.turbo) == 0 &&
             ln_turbo_is_available(ln.turbo) == ln_turbo_is_available(run->ctx_turbo);
      }
      if (!ok) { // out of memory: fewer threads
        if (ln.legacy) ln_exitCtx(ln.legacy);
        if (ln.turbo) ln_exitCtx(ln.turbo);
        break;
      }
      run->lanes[run->n_lanes++] = ln;
    }
    run->turbo_available = ln_turbo_is_available(run->ctx_turbo) ? 1 : 0;
    if (!run->turbo_available) {
      // The compiler explains itself on the debug channel only; its reason
      // joins VaderAD's diagnostics so that both reports show it.
      const char *why = ln_turbo_compile_reason(run->ctx_turbo);
      vdr_sb_puts(&run->diag_turbo, "VaderAD did not compile this rulebase: ");
      vdr_sb_puts(&run->diag_turbo, *why ? why : "no reason given");
      vdr_sb_putc(&run->diag_turbo, '\n');
    }
    return run;
  }
  if (errmsg)
    *errmsg =
        vdr_load_failure_message(rc_l != 0, rc_t != 0, vdr_run_diagnostics(run, VDR_ENGINE_LEGACY),
                                 vdr_run_diagnostics(run, VDR_ENGINE_TURBO));
  vdr_run_free(run);
  return nullptr;
}

} // namespace

// Number of top-level members whose name appears again later in the object.
// For a name met k times that is k - 1. Exposed for tests.
int vdr_count_dup_names(fjson_object *ev) {
  if (!ev || fjson_object_get_type(ev) != fjson_type_object) return 0;
  const char *small[64];
  size_t n = 0;
  int dups = 0;
  fjson_object_iterator it = fjson_object_iter_begin(ev);
  fjson_object_iterator end = fjson_object_iter_end(ev);
  std::vector<const char *> big;
  for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it)) {
    const char *name = fjson_object_iter_peek_name(&it);
    if (n < 64)
      small[n++] = name;
    else
      big.push_back(name);
  }
  if (big.empty()) {
    for (size_t i = 0; i < n; ++i)
      for (size_t j = i + 1; j < n; ++j)
        if (strcmp(small[i], small[j]) == 0) {
          ++dups;
          break;
        }
    return dups;
  }
  std::unordered_map<std::string_view, int> seen;
  for (size_t i = 0; i < n; ++i)
    if (seen[small[i]]++) ++dups;
  for (const char *name : big)
    if (seen[name]++) ++dups;
  return dups;
}

// Status of one sample from what both sides produced (first rule that
// applies). Exposed for tests.
vdr_status vdr_classify(bool legacy_unparsed, bool turbo_unparsed, size_t n_diffs, uint32_t shape,
                        int dup_names) {
  if (legacy_unparsed && turbo_unparsed) return VDR_STATUS_UNPARSED_BOTH;
  if (turbo_unparsed) return VDR_STATUS_COVERAGE_GAP;
  if (legacy_unparsed) return VDR_STATUS_TURBO_ONLY;
  if (n_diffs == 0) return shape ? VDR_STATUS_EQUIVALENT : VDR_STATUS_MATCH;
  if (dup_names > 0 && static_cast<size_t>(dup_names) >= n_diffs) return VDR_STATUS_DUP_FIELD;
  return VDR_STATUS_DIVERGENCE;
}

// Rulebase text as the loader gets it from vdr_run_new. Exposed for tests.
char *vdr_prepare_rulebase_text(const char *text) {
  if (!text) return nullptr;
  try {
    return prepare_text(text);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

namespace {

void result_free(vdr_result *r) {
  free(r->line);
  vdr_diff_free(r->diffs, r->n_diffs);
  free(r->legacy_json);
  free(r->turbo_json);
  *r = vdr_result{};
}

// Makes room for one more record (64 slots at first, then doubling); -1 when
// out of memory.
int reserve_result(vdr_run *run) {
  if (run->n_results < run->cap_results) return 0;
  size_t cap = run->cap_results ? run->cap_results * 2 : 64;
  auto *res = static_cast<vdr_result *>(realloc(run->results, cap * sizeof(vdr_result)));
  if (!res) return -1;
  run->results = res;
  run->cap_results = cap;
  return 0;
}

// Parses a whole JSON text with the run's tokener; null when the text is not
// one complete JSON value (or out of memory). A text nested deeper than the
// library's default of 32 levels is parsed again with a tokener deep enough
// for anything the walker can produce (its recursion stops at 20,000
// levels), so a deeply nested but matched result is not read as unparsed.
// That tokener is made only for such texts: its stack is large.
fjson_object *parse_json(vdr_lane &ln, const char *text, size_t len) {
  if (len > static_cast<size_t>(INT_MAX)) return nullptr;
  if (!ln.tok && !(ln.tok = fjson_tokener_new())) return nullptr;
  fjson_tokener_reset(ln.tok);
  fjson_object *o = fjson_tokener_parse_ex(ln.tok, text, static_cast<int>(len));
  const fjson_tokener_error err = fjson_tokener_get_error(ln.tok);
  if (err == fjson_tokener_success) return o;
  fjson_object_put(o);
  if (err != fjson_tokener_error_depth) return nullptr;
  fjson_tokener *deep = fjson_tokener_new_ex(vdr_json_max_depth);
  if (!deep) return nullptr;
  o = fjson_tokener_parse_ex(deep, text, static_cast<int>(len));
  if (fjson_tokener_get_error(deep) != fjson_tokener_success) {
    fjson_object_put(o);
    o = nullptr;
  }
  fjson_tokener_free(deep);
  return o;
}

// Runs one line through both engines and fills `r`. Returns -1 when out of
// memory (then `r` is left for the caller to free).
int process_line(const vdr_run *run, vdr_lane &ln, const char *line, size_t len, vdr_result *r) {
  struct canon_guard {
    vdr_canon c;
    canon_guard() {
      c = vdr_canon{};
      c.tag_key = -1;
    }
    ~canon_guard() { vdr_canon_free(&c); }
  } leg, tur;

  // Walker side: serialize the event and parse the text again, so that both
  // sides are compared as JSON documents.
  leg.c.unparsed = 1;
  fjson_object *event = nullptr;
  ln_normalize_with_rule(ln.legacy, line, len, &event, &r->legacy_rule);
  if (event) {
    int dups = vdr_count_dup_names(event);
    const char *text = fjson_object_to_json_string_ext(event, 0);
    fjson_object *parsed = text ? parse_json(ln, text, strlen(text)) : nullptr;
    if (text && run->cfg.keep_json) {
      r->legacy_json = vdr_strdup_checked(text);
      if (!r->legacy_json) {
        fjson_object_put(parsed);
        fjson_object_put(event);
        return -1;
      }
    }
    fjson_object_put(event);
    if (parsed) {
      int rc = vdr_canon_build(parsed, &leg.c);
      fjson_object_put(parsed);
      if (rc != 0) return -1;
      leg.c.dup_field_names = dups;
    }
  }

  // VaderAD side, only when it compiled the rulebase.
  tur.c.unparsed = 1;
  if (run->turbo_available) {
    char *text = nullptr;
    size_t tlen = 0;
    if (ln_normalize_to_str(ln.turbo, line, len, &text, &tlen) == 0 && text) {
      r->turbo_rule = ln_turbo_matched_rule(ln.turbo);
      fjson_object *parsed = parse_json(ln, text, tlen);
      if (parsed) {
        int rc = vdr_canon_build(parsed, &tur.c);
        fjson_object_put(parsed);
        if (rc != 0) {
          free(text);
          return -1;
        }
        if (run->cfg.keep_json) {
          r->turbo_json = text;
          text = nullptr;
        }
      }
    }
    free(text);
  }

  const bool lu = leg.c.unparsed != 0, tu = tur.c.unparsed != 0;
  // A side read as unparsed went through no rule.
  if (lu) r->legacy_rule = 0;
  if (tu) r->turbo_rule = 0;
  if (!lu && !tu && vdr_diff_compute(&leg.c, &tur.c, &r->diffs, &r->n_diffs, &r->shape) != 0)
    return -1;
  r->status = vdr_classify(lu, tu, r->n_diffs, r->shape, leg.c.dup_field_names);
  return 0;
}

// A line of a window and what its lane made of it. The lane finishes the
// record itself: a record the run keeps gets its own copy of the line, any
// other is freed on the thread that allocated it, so the collecting thread
// neither copies every line nor frees memory of another thread's arena.
struct window_item {
  const char *src; // the line in the samples text (not NUL-terminated)
  size_t len;
  vdr_result r;
  size_t kinds[5]; // diffs per kind, counted before the record is freed
  int rc;
  bool keep;
};

// Lines are handed out to the lanes in chunks, so that a slow stretch of the
// window does not leave the other lanes idle.
constexpr size_t k_chunk = 64;

void run_chunks(const vdr_run *run, vdr_lane &ln, window_item *items, size_t n,
                std::atomic<size_t> *next) {
  for (;;) {
    const size_t from = next->fetch_add(k_chunk, std::memory_order_relaxed);
    if (from >= n) return;
    const size_t to = std::min(n, from + k_chunk);
    for (size_t i = from; i < to; ++i) {
      window_item &it = items[i];
      vdr_result &r = it.r;
      try {
        it.rc = process_line(run, ln, it.src, it.len, &r);
      } catch (const std::bad_alloc &) {
        it.rc = -1;
      }
      if (it.rc != 0) continue;
      for (size_t d = 0; d < r.n_diffs; ++d)
        if (r.diffs[d].kind >= 0 && r.diffs[d].kind < 5) it.kinds[r.diffs[d].kind]++;
      const bool attention = r.status != VDR_STATUS_MATCH && r.status != VDR_STATUS_EQUIVALENT;
      it.keep = run->cfg.keep == VDR_KEEP_ALL || (run->cfg.keep == VDR_KEEP_ATTENTION && attention);
      if (!it.keep) {
        // Only the status goes on to the tally.
        const vdr_status status = r.status;
        result_free(&r);
        r.status = status;
        continue;
      }
      r.line = static_cast<char *>(malloc(it.len + 1));
      if (!r.line) {
        it.rc = -1;
        continue;
      }
      memcpy(r.line, it.src, it.len);
      r.line[it.len] = '\0';
    }
  }
}

// Samples go through in windows of lines: the lanes normalize the window's
// lines, then the records are taken in input order (tally, kept records,
// progress), so the outcome does not depend on the number of lanes.
size_t run_samples(vdr_run *run, const char *samples, vdr_progress_cb cb, void *user) {
  const size_t size = strlen(samples);
  const char *const endp = samples + size;
  size_t total = 0;
  for (const char *q = samples; (q = static_cast<const char *>(memchr(q, '\n', endp - q))); ++q)
    ++total;
  if (size && endp[-1] != '\n') ++total;

  vdr_lane first{run->ctx_legacy, run->ctx_turbo, run->tok};
  const size_t n_lanes = 1 + run->n_lanes;
  const size_t window = 2048 * n_lanes;
  std::vector<window_item> items;
  size_t processed = 0, line_no = 0;
  bool stop = false;
  const char *p = samples;
  while (!stop && p < endp) {
    // Collect the next window of non-empty lines, up to the sample limit.
    items.clear();
    while (p < endp && items.size() < window) {
      const char *eol = static_cast<const char *>(memchr(p, '\n', endp - p));
      if (!eol) eol = endp;
      const char *line = p;
      size_t len = static_cast<size_t>(eol - p);
      if (len && line[len - 1] == '\r') --len;
      if (len == 0) {
        p = eol < endp ? eol + 1 : endp;
        ++line_no;
        continue;
      }
      if (run->cfg.max_samples > 0 &&
          processed + items.size() >= static_cast<size_t>(run->cfg.max_samples)) {
        stop = true;
        break;
      }
      p = eol < endp ? eol + 1 : endp;
      ++line_no;
      window_item it{};
      it.src = line;
      it.len = len;
      it.r.line_no = line_no;
      items.push_back(it);
    }
    if (items.empty()) break;

    std::atomic<size_t> next{0};
    std::vector<std::thread> threads;
    for (size_t k = 1; k < n_lanes && (k - 1) * k_chunk < items.size(); ++k)
      threads.emplace_back(run_chunks, run, std::ref(run->lanes[k - 1]), items.data(),
                           items.size(), &next);
    run_chunks(run, first, items.data(), items.size(), &next);
    for (std::thread &t : threads) t.join();

    bool failed = false;
    for (window_item &it : items) {
      vdr_result &r = it.r;
      if (failed || it.rc != 0 || (it.keep && reserve_result(run) != 0)) {
        // Out of memory: the run ends before this sample, as if the input did.
        failed = true;
        result_free(&r);
        continue;
      }
      r.index = run->n_samples;
      run->tally[r.status]++;
      ++run->n_samples;
      for (size_t k = 0; k < 5; ++k) run->kinds[k] += it.kinds[k];
      if (it.keep) run->results[run->n_results++] = r;
      ++processed;
      if (cb && processed % 500 == 0) cb(processed, total, user);
    }
    if (failed) break;
  }
  run->tok = first.tok;
  if (cb) cb(processed, total, user);
  return processed;
}

} // namespace

vdr_run *vdr_run_new(const char *text, const vdr_config *cfg, char **errmsg) {
  if (errmsg) *errmsg = nullptr;
  if (!vdr_rulebase_is_v2(text)) {
    set_err(errmsg, vdr_strdup_checked(k_not_v2));
    return nullptr;
  }
  try {
    char *prepared = prepare_text(text);
    if (!prepared) return nullptr;
    vdr_run *run = run_create(nullptr, prepared, cfg, errmsg);
    free(prepared);
    return run;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

vdr_run *vdr_run_new_from_text(const char *text, const char *name, int expand_basic_types,
                               const vdr_config *cfg, char **errmsg) {
  if (errmsg) *errmsg = nullptr;
  if (!text || !name) return nullptr;
  try {
    if (!expand_basic_types) return run_create(nullptr, text, cfg, errmsg, name);
    char *prepared = prepare_text(text, true);
    if (!prepared) return nullptr;
    vdr_run *run = run_create(nullptr, prepared, cfg, errmsg, name);
    free(prepared);
    return run;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

char *vdr_expand_basic_types(const char *text) {
  if (!text) return nullptr;
  try {
    return prepare_text(text, true);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

vdr_run *vdr_run_new_from_file(const char *path, const vdr_config *cfg, char **errmsg) {
  if (errmsg) *errmsg = nullptr;
  if (!path) return nullptr;
  try {
    return run_create(path, nullptr, cfg, errmsg);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

const char *vdr_run_diagnostics(const vdr_run *run, vdr_engine engine) {
  if (!run) return "";
  const vdr_sb &sb = engine == VDR_ENGINE_TURBO ? run->diag_turbo : run->diag_legacy;
  return sb.buf && !sb.oom ? sb.buf : "";
}

int vdr_run_turbo_available(const vdr_run *run) { return run ? run->turbo_available : 0; }

const char *vdr_run_turbo_reason(const vdr_run *run) {
  if (!run || run->turbo_available) return "";
  return ln_turbo_compile_reason(run->ctx_turbo);
}

// A second call appends to the records and the tally of the first.
size_t vdr_run_samples(vdr_run *run, const char *samples, vdr_progress_cb cb, void *user) {
  if (!run || !samples) return 0;
  return run_samples(run, samples, cb, user);
}

// Appends a record built elsewhere (ownership passes to the run) and counts
// its status; sets the VaderAD flag. Lets tests render reports for findings
// that need both engines. Returns -1 when out of memory (nothing is taken).
int vdr_run_push_for_test(vdr_run *run, vdr_result *r, int turbo_available) {
  if (!run || !r || r->status < 0 || r->status >= VDR_STATUS__COUNT) return -1;
  if (reserve_result(run) != 0) return -1;
  r->index = run->n_samples++;
  for (size_t d = 0; d < r->n_diffs; ++d)
    if (r->diffs[d].kind >= 0 && r->diffs[d].kind < 5) run->kinds[r->diffs[d].kind]++;
  run->results[run->n_results++] = *r;
  run->tally[r->status]++;
  run->turbo_available = turbo_available;
  *r = vdr_result{};
  return 0;
}

// Drops every record and zeroes the tally, keeping both loaded engines, so
// that one run can serve sample after sample with flat memory. Exposed for
// the fuzz drivers.
void vdr_run_clear_results(vdr_run *run) {
  if (!run) return;
  for (size_t i = 0; i < run->n_results; ++i)
    result_free(&run->results[i]);
  run->n_results = 0;
  run->n_samples = 0;
  for (size_t &t : run->tally) t = 0;
  for (size_t &k : run->kinds) k = 0;
}

uint32_t vdr_run_rule_count(const vdr_run *run) { return run ? ln_ruleCount(run->ctx_legacy) : 0; }

const ln_rule_info *vdr_run_rule(const vdr_run *run, uint32_t idx) {
  return run ? ln_ruleGet(run->ctx_legacy, idx) : nullptr;
}

const vdr_result *vdr_run_results(const vdr_run *run, size_t *count) {
  if (count) *count = run ? run->n_results : 0;
  return run ? run->results : nullptr;
}

size_t vdr_run_sample_count(const vdr_run *run) { return run ? run->n_samples : 0; }

const size_t *vdr_run_diff_kinds(const vdr_run *run) {
  static const size_t zero[5] = {};
  return run ? run->kinds : zero;
}

const size_t *vdr_run_tally(const vdr_run *run) {
  static const size_t zero[VDR_STATUS__COUNT] = {};
  return run ? run->tally : zero;
}

void vdr_run_free(vdr_run *run) {
  if (!run) return;
  for (size_t i = 0; i < run->n_results; ++i)
    result_free(&run->results[i]);
  free(run->results);
  if (run->ctx_legacy) ln_exitCtx(run->ctx_legacy);
  if (run->ctx_turbo) ln_exitCtx(run->ctx_turbo);
  vdr_sb_free(&run->diag_legacy);
  vdr_sb_free(&run->diag_turbo);
  if (run->tok) fjson_tokener_free(run->tok);
  for (size_t k = 0; k < run->n_lanes; ++k) {
    ln_exitCtx(run->lanes[k].legacy);
    ln_exitCtx(run->lanes[k].turbo);
    if (run->lanes[k].tok) fjson_tokener_free(run->lanes[k].tok);
  }
  free(run->lanes);
  free(run);
}
