// The check report, as one JSON document or one Markdown document, with the
// flags that decide what may leave the machine.
#include <cstring>

#include "core/coverage.h"
#include "core/report_md.h"
#include "core/veldra.h"

namespace {

const char *const k_meaning[VDR_STATUS__COUNT] = {
    "both engines produced the same fields",
    "same leaf values; walker stays flat, VaderAD nests",
    "no rule matched on either engine",
    "VaderAD declined; the walker serves these in production",
    "VaderAD matched where the walker did not",
    "both matched but the extracted data differs",
    "the rulebase binds one name more than once",
};

struct facts {
  const size_t *tally;
  size_t n_samples;        // every sample run
  size_t n_results;        // records kept (at least those needing attention)
  const vdr_result *results;
  int turbo;
  size_t kinds[5];
  const char *verdict;
  double coverage;
  const char *diag_legacy;
  const char *diag_turbo;
};

facts gather(const vdr_run *run) {
  facts f{};
  f.tally = vdr_run_tally(run);
  f.results = vdr_run_results(run, &f.n_results);
  f.n_samples = vdr_run_sample_count(run);
  f.turbo = vdr_run_turbo_available(run);
  const size_t *kinds = vdr_run_diff_kinds(run);
  for (int k = 0; k < 5; ++k)
    f.kinds[k] = kinds[k];
  if (!f.turbo)
    f.verdict = "no-bytecode";
  else if (f.tally[VDR_STATUS_DIVERGENCE] || f.tally[VDR_STATUS_TURBO_ONLY])
    f.verdict = "divergence";
  else if (f.tally[VDR_STATUS_COVERAGE_GAP])
    f.verdict = "coverage-gap";
  else
    f.verdict = "clean";
  const size_t r =
      f.tally[VDR_STATUS_MATCH] + f.tally[VDR_STATUS_EQUIVALENT] + f.tally[VDR_STATUS_DIVERGENCE];
  const size_t g = f.tally[VDR_STATUS_COVERAGE_GAP];
  f.coverage =
      (f.turbo && r + g) ? 100.0 * static_cast<double>(r) / static_cast<double>(r + g) : 0.0;
  f.diag_legacy = vdr_run_diagnostics(run, VDR_ENGINE_LEGACY);
  f.diag_turbo = vdr_run_diagnostics(run, VDR_ENGINE_TURBO);
  return f;
}

bool needs_attention(const vdr_result &r) {
  return r.status != VDR_STATUS_MATCH && r.status != VDR_STATUS_EQUIVALENT;
}

int count_lines(const char *s) {
  int n = 0;
  for (; *s; ++s)
    if (*s == '\n') ++n;
  return n;
}

const char *type_or_unknown(const char *t) { return t ? t : "unknown"; }

void json_value_or_null(vdr_sb *sb, const char *v) {
  if (v)
    vdr_sb_json_string(sb, v);
  else
    vdr_sb_puts(sb, "null");
}

void json_sample(vdr_sb *sb, const vdr_result &r, unsigned flags) {
  vdr_sb_printf(sb, "{\"index\":%zu,\"status\":\"%s\",\"shape\":[", r.index,
                vdr_status_name(r.status));
  if (r.shape & VDR_SHAPE_NESTED_DOTTED) vdr_sb_puts(sb, "\"nested-dotted-names\"");
  if (r.shape & VDR_SHAPE_TAG_SPELLING) {
    if (r.shape & VDR_SHAPE_NESTED_DOTTED) vdr_sb_putc(sb, ',');
    vdr_sb_puts(sb, "\"tag-spelling\"");
  }
  vdr_sb_putc(sb, ']');
  if (flags & VDR_REPORT_EMBED_INPUTS) {
    vdr_sb_puts(sb, ",\"line\":");
    vdr_sb_json_string(sb, r.line);
  }
  vdr_sb_puts(sb, ",\"diffs\":[");
  for (size_t i = 0; i < r.n_diffs; ++i) {
    const vdr_diff &d = r.diffs[i];
    if (i) vdr_sb_putc(sb, ',');
    vdr_sb_puts(sb, "{\"path\":");
    vdr_sb_json_string(sb, d.path);
    vdr_sb_printf(sb, ",\"kind\":\"%s\"", vdr_diff_kind_name(d.kind));
    vdr_sb_printf(sb, ",\"legacy_type\":\"%s\",\"turbo_type\":\"%s\"",
                  type_or_unknown(d.legacy_type), type_or_unknown(d.turbo_type));
    if (!(flags & VDR_REPORT_REDACT_VALUES)) {
      vdr_sb_puts(sb, ",\"legacy\":");
      json_value_or_null(sb, d.legacy);
      vdr_sb_puts(sb, ",\"turbo\":");
      json_value_or_null(sb, d.turbo);
    }
    vdr_sb_putc(sb, '}');
  }
  vdr_sb_putc(sb, ']');
  if (r.legacy_json || r.turbo_json) {
    vdr_sb_puts(sb, ",\"legacy_json\":");
    json_value_or_null(sb, r.legacy_json);
    vdr_sb_puts(sb, ",\"turbo_json\":");
    json_value_or_null(sb, r.turbo_json);
  }
  char preview[192];
  if (r.legacy_json && vdr_score_preview_json(r.legacy_json, preview, sizeof preview) == 0) {
    vdr_sb_puts(sb, ",\"score\":");
    vdr_sb_puts(sb, preview);
  }
  vdr_sb_putc(sb, '}');
}

// Appends s so that a terminal shows every byte as text: a tab, and a line
// feed where keep_lf, stay; a carriage return becomes "\\r" and a line feed
// (without keep_lf) "\\n"; every other control byte (C0, DEL, and the C1
// controls U+0080 to U+009F) and every byte that does not begin a well-formed
// UTF-8 sequence becomes "\\x" and two lower-case hex digits. With in_table,
// "|" becomes "\\|" as well, so the value stays inside its table cell.
void put_visible(vdr_sb *sb, const char *s, bool keep_lf, bool in_table) {
  static const char hex[] = "0123456789abcdef";
  const size_t n = strlen(s);
  size_t i = 0, run = 0;
  while (i < n) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t k = 1;       // bytes of this character
    size_t escape = 0;  // bytes to write as \xNN
    const char *rep = nullptr;
    if (c == '|' && in_table)
      rep = "\\|";
    else if (c == '\r')
      rep = "\\r";
    else if (c == '\n' && !keep_lf)
      rep = "\\n";
    else if ((c < 32 && c != '\t' && c != '\n') || c == 127)
      escape = 1;
    else if (c >= 0x80) {
      k = vdr_utf8_len(s + i, n - i);
      if (k == 0)
        escape = k = 1;
      else if (k == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0)
        escape = 2; // U+0080..U+009F, the C1 controls
    }
    if (!rep && !escape) {
      run += k;
      i += k;
      continue;
    }
    if (run) vdr_sb_putn(sb, s + i - run, run);
    run = 0;
    if (rep) vdr_sb_puts(sb, rep);
    for (size_t j = 0; j < escape; ++j) {
      const auto b = static_cast<unsigned char>(s[i + j]);
      const char x[5] = {'\\', 'x', hex[b >> 4], hex[b & 15], '\0'};
      vdr_sb_puts(sb, x);
    }
    i += k;
  }
  if (run) vdr_sb_putn(sb, s + i - run, run);
}

void put_backquotes(vdr_sb *sb, size_t n) {
  for (size_t i = 0; i < n; ++i)
    vdr_sb_putc(sb, '`');
}

void md_fenced(vdr_sb *sb, const char *body, bool add_newline) {
  vdr_md_fence(sb, body);
  put_visible(sb, body, true, false);
  if (add_newline) vdr_sb_putc(sb, '\n');
  vdr_md_fence(sb, body);
  vdr_sb_putc(sb, '\n');
}

} // namespace

size_t vdr_md_backquote_run(const char *s) {
  size_t best = 0, cur = 0;
  for (; s && *s; ++s) {
    cur = *s == '`' ? cur + 1 : 0;
    if (cur > best) best = cur;
  }
  return best;
}

void vdr_md_code_span(vdr_sb *sb, const char *s, bool in_table) {
  if (!s) s = "";
  const size_t n = strlen(s);
  const size_t delim = vdr_md_backquote_run(s) + 1;
  // A span that starts or ends with a backquote needs a space of padding; so
  // does one that starts and ends with a space, which would otherwise lose
  // one space at each end.
  bool pad = n > 0 && (s[0] == '`' || s[n - 1] == '`' ||
                       (s[0] == ' ' && s[n - 1] == ' ' && strspn(s, " ") != n));
  put_backquotes(sb, delim);
  if (pad) vdr_sb_putc(sb, ' ');
  put_visible(sb, s, !in_table, in_table);
  if (pad) vdr_sb_putc(sb, ' ');
  put_backquotes(sb, delim);
}

void vdr_md_fence(vdr_sb *sb, const char *body) {
  size_t n = vdr_md_backquote_run(body) + 1;
  put_backquotes(sb, n < 3 ? 3 : n);
  vdr_sb_putc(sb, '\n');
}

char *vdr_report_json(const vdr_run *run, unsigned flags, const vdr_ecs_report *ecs) {
  const facts f = gather(run);
  const bool summary = flags & VDR_REPORT_SUMMARY_ONLY;
  vdr_sb sb;
  vdr_sb_init(&sb);
  vdr_sb_puts(&sb, "{\"tool\":\"veldra\",\"normalizer\":{\"version\":");
  vdr_sb_json_string(&sb, ln_version());
  vdr_sb_puts(&sb, ",\"turbo_supported\":true");
  vdr_sb_puts(&sb, ",\"regexp_supported\":true");
  vdr_sb_printf(&sb, ",\"turbo_available\":%s}", f.turbo ? "true" : "false");

  vdr_sb_printf(&sb, ",\"summary\":{\"samples\":%zu", f.n_samples);
  for (int s = 0; s < VDR_STATUS__COUNT; ++s)
    vdr_sb_printf(&sb, ",\"%s\":%zu", vdr_status_name(s), f.tally[s]);
  vdr_sb_printf(&sb, ",\"turbo_coverage_pct\":%.2f}", f.coverage);

  vdr_sb_puts(&sb, ",\"diff_kinds\":{");
  for (int k = 0; k < 5; ++k)
    vdr_sb_printf(&sb, "%s\"%s\":%zu", k ? "," : "", vdr_diff_kind_name(k), f.kinds[k]);
  vdr_sb_putc(&sb, '}');
  vdr_sb_printf(&sb, ",\"verdict\":\"%s\"", f.verdict);

  if (ecs) {
    vdr_sb_puts(&sb, ",\"ecs\":{\"verdict\":");
    vdr_sb_json_string(&sb, ecs->verdict == VDR_ECS_FAIL ? "fail" : "ok");
    vdr_sb_puts(&sb, ",\"schema\":");
    vdr_sb_json_string(&sb, ecs->schema_version ? ecs->schema_version : vdr_ecs_schema_version());
    if (summary) {
      vdr_sb_printf(&sb, ",\"error_count\":%zu,\"warning_count\":%zu}", ecs->n_errors,
                    ecs->n_warnings);
    } else {
      vdr_sb_puts(&sb, ",\"errors\":");
      vdr_sb_json_string_array(&sb, ecs->errors, ecs->n_errors);
      vdr_sb_puts(&sb, ",\"warnings\":");
      vdr_sb_json_string_array(&sb, ecs->warnings, ecs->n_warnings);
      vdr_sb_putc(&sb, '}');
    }
  }

  if (summary) {
    vdr_sb_printf(&sb,
                  ",\"summary_only\":true,\"diagnostic_lines\":{\"legacy\":%d,\"turbo\":%d}",
                  count_lines(f.diag_legacy), count_lines(f.diag_turbo));
    if (flags & VDR_REPORT_RULE_COVERAGE) vdr_rules_json(&sb, run, flags);
    vdr_sb_puts(&sb, "}\n");
    return vdr_sb_release(&sb);
  }
  vdr_sb_puts(&sb, ",\"diagnostics\":{\"legacy\":");
  vdr_sb_json_string(&sb, f.diag_legacy);
  vdr_sb_puts(&sb, ",\"turbo\":");
  vdr_sb_json_string(&sb, f.diag_turbo);
  vdr_sb_puts(&sb, "},\"samples\":[");
  bool first = true;
  for (size_t i = 0; i < f.n_results && !sb.oom; ++i) {
    if (!needs_attention(f.results[i])) continue;
    if (!first) vdr_sb_putc(&sb, ',');
    first = false;
    json_sample(&sb, f.results[i], flags);
  }
  vdr_sb_putc(&sb, ']');
  if (flags & VDR_REPORT_RULE_COVERAGE) vdr_rules_json(&sb, run, flags);
  vdr_sb_puts(&sb, "}\n");
  return vdr_sb_release(&sb);
}

char *vdr_report_markdown(const vdr_run *run, unsigned flags, const vdr_ecs_report *ecs) {
  const facts f = gather(run);
  const bool summary = flags & VDR_REPORT_SUMMARY_ONLY;
  const bool redact = flags & VDR_REPORT_REDACT_VALUES;
  vdr_sb sb;
  vdr_sb_init(&sb);
  vdr_sb_puts(&sb, "# veldra report\n\n");
  vdr_sb_printf(&sb, "- normalizer: `%s`\n", ln_version());
  vdr_sb_printf(&sb, "- VaderAD compiled for this rulebase: %s\n", f.turbo ? "yes" : "no");
  vdr_sb_puts(&sb, "- PCRE in this build: yes\n");
  vdr_sb_printf(&sb, "- samples: %zu\n", f.n_samples);
  vdr_sb_printf(&sb, "- verdict: **%s**\n", f.verdict);
  if (ecs) {
    vdr_sb_printf(&sb, "- ECS: **%s** (schema %s)\n", ecs->verdict == VDR_ECS_FAIL ? "fail" : "ok",
                  ecs->schema_version ? ecs->schema_version : vdr_ecs_schema_version());
    if (summary) {
      vdr_sb_printf(&sb, "- ECS errors: %zu; warnings: %zu\n", ecs->n_errors, ecs->n_warnings);
    } else {
      for (size_t i = 0; i < ecs->n_errors; ++i)
        vdr_sb_printf(&sb, "  - error: %s\n", ecs->errors[i]);
      for (size_t i = 0; i < ecs->n_warnings; ++i)
        vdr_sb_printf(&sb, "  - warning: %s\n", ecs->warnings[i]);
    }
  }
  vdr_sb_printf(&sb, "- VaderAD coverage: **%.1f%%** of walker-matched samples\n\n", f.coverage);

  vdr_sb_puts(&sb, "| status | count | meaning |\n|---|---:|---|\n");
  for (int s = 0; s < VDR_STATUS__COUNT; ++s)
    vdr_sb_printf(&sb, "| %s | %zu | %s |\n", vdr_status_name(s), f.tally[s], k_meaning[s]);
  vdr_sb_putc(&sb, '\n');
  if (flags & VDR_REPORT_RULE_COVERAGE) vdr_rules_markdown(&sb, run, flags);

  if (f.tally[VDR_STATUS_DIVERGENCE] || f.tally[VDR_STATUS_TURBO_ONLY]) {
    vdr_sb_puts(&sb, "| diff kind | count |\n|---|---:|\n");
    for (int k = 0; k < 5; ++k)
      vdr_sb_printf(&sb, "| %s | %zu |\n", vdr_diff_kind_name(k), f.kinds[k]);
    vdr_sb_putc(&sb, '\n');
  }

  if (summary) {
    vdr_sb_printf(&sb,
                  "Summary-only report: field paths, extracted values, sample lines and loader "
                  "diagnostics are withheld. Loader emitted %d diagnostic line(s) on the walker "
                  "and %d on VaderAD.\n",
                  count_lines(f.diag_legacy), count_lines(f.diag_turbo));
    return vdr_sb_release(&sb);
  }

  if (f.tally[VDR_STATUS_EQUIVALENT])
    vdr_sb_puts(&sb,
                "`equivalent` is not a defect. VaderAD nests dotted field names into ECS objects "
                "and writes rule tags as root `tags`, where the walker keeps a flat `\"a.b\"` key "
                "and `event.tags`. Both are documented, deliberate, and invisible to consumers of "
                "the typed field accessors.\n\n");

  if (*f.diag_legacy || *f.diag_turbo) {
    vdr_sb_puts(&sb, "## Load diagnostics\n\n");
    vdr_sb_puts(&sb, "### legacy walker\n\n");
    md_fenced(&sb, f.diag_legacy, false);
    vdr_sb_puts(&sb, "### VaderAD\n\n");
    md_fenced(&sb, f.diag_turbo, false);
  }

  bool any = false;
  for (size_t i = 0; i < f.n_results && !sb.oom; ++i) {
    const vdr_result &r = f.results[i];
    if (!needs_attention(r)) continue;
    if (!any) vdr_sb_puts(&sb, "## Samples needing attention\n\n");
    any = true;
    vdr_sb_printf(&sb, "### line %zu \xE2\x80\x94 %s\n\n", r.index + 1, vdr_status_name(r.status));
    if (!redact) md_fenced(&sb, r.line, true);
    if (r.n_diffs == 0) continue;
    if (redact)
      vdr_sb_puts(&sb, "| path | kind | legacy type | turbo type |\n|---|---|---|---|\n");
    else
      vdr_sb_puts(&sb, "| path | kind | legacy | turbo |\n|---|---|---|---|\n");
    for (size_t d = 0; d < r.n_diffs; ++d) {
      const vdr_diff &df = r.diffs[d];
      vdr_sb_puts(&sb, "| ");
      vdr_md_code_span(&sb, df.path, true);
      vdr_sb_printf(&sb, " | %s | ", vdr_diff_kind_name(df.kind));
      if (redact) {
        vdr_sb_printf(&sb, "%s | %s |\n", type_or_unknown(df.legacy_type),
                      type_or_unknown(df.turbo_type));
        continue;
      }
      vdr_md_code_span(&sb, df.legacy ? df.legacy : "-", true);
      vdr_sb_printf(&sb, " (%s) | ", type_or_unknown(df.legacy_type));
      vdr_md_code_span(&sb, df.turbo ? df.turbo : "-", true);
      vdr_sb_printf(&sb, " (%s) |\n", type_or_unknown(df.turbo_type));
    }
    vdr_sb_putc(&sb, '\n');
  }
  if (!any) vdr_sb_puts(&sb, "No sample needed attention.\n");
  return vdr_sb_release(&sb);
}
