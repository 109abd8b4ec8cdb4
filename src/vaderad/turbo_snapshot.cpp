// Snapshots of a flat result. Whether a pointer may be kept is decided by the
// address it holds, never by a field flag: every store marks its name as
// static, also when the name points into the message, which the caller may
// free right after the call.
#include "vaderad/turbo_snapshot.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "vaderad/turbo.h"
#include "vaderad/turbo_state.h"

namespace {

struct Range {
  uintptr_t lo = 0, hi = 0; // [lo, hi)
  bool holds(const void *p, size_t n) const {
    const auto a = reinterpret_cast<uintptr_t>(p);
    return a >= lo && a < hi && n <= hi - a;
  }
};

Range range_of(const void *base, size_t n) {
  Range r;
  if (base && n) {
    r.lo = reinterpret_cast<uintptr_t>(base);
    r.hi = r.lo + n;
  }
  return r;
}

// The text a field holds by pointer (null for inline texts and non-texts).
bool pointer_text(const ln_fast_field_t &f) { return f.type == LN_FTYPE_STRING && f.v.str.ptr; }

} // namespace

ln_fast_result_snapshot_t *ln_fast_result_snapshot_create_for(const ln_fast_result_t *r,
                                                              const ln_arena_t *arena,
                                                              const ln_program_t *prog) {
  if (!r) return nullptr;
  const Range region = arena ? range_of(arena->base, arena->used) : Range{};
  const Range code = prog ? range_of(prog->code, static_cast<size_t>(prog->code_len) * sizeof(ln_instr_t)) : Range{};
  const Range pool = prog ? range_of(prog->strpool, prog->strpool_len) : Range{};
  const auto kept = [&](const char *p, size_t n) { return code.holds(p, n) || pool.holds(p, n); };
  const int nf = r->n_fields > LN_FAST_MAX_FIELDS ? LN_FAST_MAX_FIELDS : r->n_fields;

  const size_t region_len = region.hi - region.lo;
  size_t total = region_len;
  for (int i = 0; i < nf; ++i) {
    const ln_fast_field_t &f = r->fields[i];
    if (f.name && !region.holds(f.name, f.name_len) && !kept(f.name, f.name_len)) total += f.name_len + 1u;
    if (pointer_text(f) && !region.holds(f.v.str.ptr, f.v.str.len)) total += f.v.str.len + 1u;
  }
  if (r->original && !region.holds(r->original, r->original_len)) total += r->original_len + 1u;
  const size_t rid_len = r->rule_id ? strlen(r->rule_id) : 0;
  if (r->rule_id && !region.holds(r->rule_id, rid_len + 1) && !kept(r->rule_id, rid_len + 1))
    total += rid_len + 1;

  auto *s = static_cast<ln_fast_result_snapshot_t *>(malloc(sizeof(ln_fast_result_snapshot_t) + total));
  if (!s) return nullptr;
  memcpy(&s->result, r, sizeof *r);
  s->result.n_fields = static_cast<uint8_t>(nf);
  s->result.arena = nullptr;
  s->arena_size = total;
  if (region_len) memcpy(s->arena_data, reinterpret_cast<const void *>(region.lo), region_len);
  size_t at = region_len;
  const auto place = [&](const char *p, size_t n) -> const char * {
    if (region.holds(p, n)) return s->arena_data + (reinterpret_cast<uintptr_t>(p) - region.lo);
    char *d = s->arena_data + at;
    if (n) memcpy(d, p, n);
    d[n] = '\0';
    at += n + 1;
    return d;
  };
  for (int i = 0; i < nf; ++i) {
    ln_fast_field_t &f = s->result.fields[i];
    if (f.name && !kept(f.name, f.name_len)) {
      f.name = place(f.name, f.name_len);
      f.flags &= static_cast<uint8_t>(~LN_FF_NAME_PROGRAM); // a copy of its own now
    }
    if (pointer_text(f)) f.v.str.ptr = place(f.v.str.ptr, f.v.str.len);
  }
  if (r->original) s->result.original = place(r->original, r->original_len);
  if (r->rule_id && !kept(r->rule_id, rid_len + 1)) s->result.rule_id = place(r->rule_id, rid_len);
  return s;
}

ln_fast_result_snapshot_t *ln_fast_result_snapshot_create(const ln_fast_result_t *result,
                                                          const ln_arena_t *arena) {
  return ln_fast_result_snapshot_create_for(result, arena, nullptr);
}

ln_fast_result_snapshot_t *ln_turbo_snapshot_result(ln_ctx ctx) {
  if (!ctx || !ctx->turbo) return nullptr;
  ln_program_t prog;
  ln_turbo_program(ctx, &prog);
  return ln_fast_result_snapshot_create_for(&ctx->turbo->result, &ctx->turbo->arena, &prog);
}

const ln_fast_result_t *ln_fast_result_snapshot_get(const ln_fast_result_snapshot_t *snap) {
  return snap ? &snap->result : nullptr;
}

void ln_fast_result_snapshot_free(ln_fast_result_snapshot_t *snap) { free(snap); }
