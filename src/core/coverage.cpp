// Per-rule coverage of a comparison run and the rule section of the reports.
#include "core/coverage.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/report_md.h"
#include "normalizer/rules.h"

uint32_t vdr_result_rule(const vdr_result &r) {
  return r.legacy_rule ? r.legacy_rule : r.turbo_rule;
}

std::string vdr_display_path(const char *path) {
  if (!path || !*path) return std::string();
  char *real = realpath(path, nullptr);
  std::string p = real ? real : path;
  free(real);
  if (p[0] != '/') return p;
  char *cwd = getcwd(nullptr, 0);
  std::string base = cwd ? cwd : "";
  free(cwd);
  if (base.empty()) return p;
  if (base.back() != '/') base += '/';
  if (p.size() > base.size() && p.compare(0, base.size(), base) == 0) return p.substr(base.size());
  return p;
}

std::string vdr_rule_display_path(const ln_rule_info *rule) {
  if (!rule) return std::string();
  return vdr_display_path(rule->path ? rule->path : rule->file);
}

std::vector<vdr_rule_row> vdr_rule_rows(const vdr_run *run) {
  const uint32_t n = vdr_run_rule_count(run);
  std::vector<vdr_rule_row> rows(n);
  // Rules come file by file: resolve each file's path once.
  const char *last_file = nullptr, *last_path = nullptr;
  std::string last_where;
  for (uint32_t i = 0; i < n; ++i) {
    const ln_rule_info *ri = vdr_run_rule(run, i + 1);
    vdr_rule_row &row = rows[i];
    row.idx = i + 1;
    row.line = ri->line;
    if (i == 0 || ri->file != last_file || ri->path != last_path) {
      last_where = vdr_rule_display_path(ri);
      last_file = ri->file;
      last_path = ri->path;
    }
    row.where = last_where;
    if (ri->tags && fjson_object_is_type(ri->tags, fjson_type_array)) {
      const int nt = fjson_object_array_length(ri->tags);
      for (int t = 0; t < nt; ++t) {
        fjson_object *tag = fjson_object_array_get_idx(ri->tags, t);
        const char *s = tag ? fjson_object_get_string(tag) : nullptr;
        if (s) row.tags.emplace_back(s, static_cast<size_t>(fjson_object_get_string_len(tag)));
      }
    }
  }
  size_t count = 0;
  const vdr_result *res = vdr_run_results(run, &count);
  for (size_t i = 0; i < count; ++i) {
    const vdr_result &r = res[i];
    if (r.legacy_rule && r.legacy_rule <= n) {
      vdr_rule_row &row = rows[r.legacy_rule - 1];
      if (row.legacy_n++ < VDR_RULE_FIRST_SAMPLES) row.legacy_first.push_back(r.index);
    }
    if (r.turbo_rule && r.turbo_rule <= n) {
      vdr_rule_row &row = rows[r.turbo_rule - 1];
      if (row.turbo_n++ < VDR_RULE_FIRST_SAMPLES) row.turbo_first.push_back(r.index);
    }
    const uint32_t owner = vdr_result_rule(r);
    if (owner && owner <= n) rows[owner - 1].status[r.status]++;
  }
  return rows;
}

namespace {

void json_engine(vdr_sb *sb, const char *name, size_t n, const std::vector<size_t> &first,
                 bool summary) {
  vdr_sb_printf(sb, ",\"%s\":{\"count\":%zu", name, n);
  if (!summary) {
    vdr_sb_puts(sb, ",\"first_samples\":[");
    for (size_t i = 0; i < first.size(); ++i)
      vdr_sb_printf(sb, "%s%zu", i ? "," : "", first[i]);
    vdr_sb_putc(sb, ']');
  }
  vdr_sb_putc(sb, '}');
}

// "3: 1, 4, 9" (count, then the first lines, numbered as the report numbers
// samples), "0", or just the count when the lines are withheld.
void md_engine(vdr_sb *sb, size_t n, const std::vector<size_t> &first, bool summary) {
  vdr_sb_printf(sb, "%zu", n);
  if (summary || first.empty()) return;
  vdr_sb_puts(sb, ": ");
  for (size_t i = 0; i < first.size(); ++i)
    vdr_sb_printf(sb, "%s%zu", i ? ", " : "", first[i] + 1);
  if (n > first.size()) vdr_sb_puts(sb, ", \xE2\x80\xA6");
}

void md_location(vdr_sb *sb, const vdr_rule_row &row) {
  const std::string loc = row.where + ":" + std::to_string(row.line);
  vdr_md_code_span(sb, loc.c_str(), true);
}

void md_tags(vdr_sb *sb, const vdr_rule_row &row) {
  std::string joined;
  for (const std::string &t : row.tags) joined += (joined.empty() ? "" : ",") + t;
  if (!joined.empty()) vdr_md_code_span(sb, joined.c_str(), true);
}

bool attributable(int s) { return s != VDR_STATUS_UNPARSED_BOTH; }

} // namespace

void vdr_rules_json(vdr_sb *sb, const vdr_run *run, unsigned flags) {
  const bool summary = flags & VDR_REPORT_SUMMARY_ONLY;
  std::vector<vdr_rule_row> rows;
  try {
    rows = vdr_rule_rows(run);
  } catch (const std::bad_alloc &) {
    sb->oom = 1;
    return;
  }
  vdr_sb_puts(sb, ",\"rules\":[");
  for (size_t i = 0; i < rows.size() && !sb->oom; ++i) {
    const vdr_rule_row &row = rows[i];
    vdr_sb_puts(sb, i ? ",{\"file\":" : "{\"file\":");
    vdr_sb_json_string(sb, row.where.c_str());
    vdr_sb_printf(sb, ",\"line\":%u", row.line);
    if (!summary) {
      vdr_sb_puts(sb, ",\"tags\":[");
      for (size_t t = 0; t < row.tags.size(); ++t) {
        if (t) vdr_sb_putc(sb, ',');
        vdr_sb_json_stringn(sb, row.tags[t].data(), row.tags[t].size());
      }
      vdr_sb_putc(sb, ']');
    }
    vdr_sb_printf(sb, ",\"never_matched\":%s", row.never_matched() ? "true" : "false");
    json_engine(sb, "legacy", row.legacy_n, row.legacy_first, summary);
    json_engine(sb, "turbo", row.turbo_n, row.turbo_first, summary);
    vdr_sb_puts(sb, ",\"statuses\":{");
    bool first = true;
    for (int s = 0; s < VDR_STATUS__COUNT; ++s) {
      if (!attributable(s)) continue;
      vdr_sb_printf(sb, "%s\"%s\":%zu", first ? "" : ",", vdr_status_name(s), row.status[s]);
      first = false;
    }
    vdr_sb_puts(sb, "}}");
  }
  vdr_sb_putc(sb, ']');
}

void vdr_rules_markdown(vdr_sb *sb, const vdr_run *run, unsigned flags) {
  const bool summary = flags & VDR_REPORT_SUMMARY_ONLY;
  std::vector<vdr_rule_row> rows;
  try {
    rows = vdr_rule_rows(run);
  } catch (const std::bad_alloc &) {
    sb->oom = 1;
    return;
  }
  size_t dead = 0;
  for (const vdr_rule_row &row : rows) dead += row.never_matched();
  vdr_sb_puts(sb, "## Rule coverage\n\n");
  if (rows.empty()) {
    vdr_sb_puts(sb, "The rulebase has no rules.\n\n");
    return;
  }
  vdr_sb_printf(sb, "%zu of %zu rule(s) never matched any sample.\n\n", dead, rows.size());
  if (dead) {
    for (const vdr_rule_row &row : rows) {
      if (!row.never_matched()) continue;
      vdr_sb_puts(sb, "- never matched: ");
      md_location(sb, row);
      if (!summary && !row.tags.empty()) {
        vdr_sb_puts(sb, " ");
        md_tags(sb, row);
      }
      vdr_sb_putc(sb, '\n');
    }
    vdr_sb_putc(sb, '\n');
  }
  vdr_sb_puts(sb, summary ? "| rule | walker | VaderAD" : "| rule | tags | walker | VaderAD");
  for (int s = 0; s < VDR_STATUS__COUNT; ++s)
    if (attributable(s)) vdr_sb_printf(sb, " | %s", vdr_status_name(s));
  vdr_sb_puts(sb, summary ? " |\n|---|---|---|" : " |\n|---|---|---|---|");
  for (int s = 0; s < VDR_STATUS__COUNT; ++s)
    if (attributable(s)) vdr_sb_puts(sb, "---:|");
  vdr_sb_putc(sb, '\n');
  for (size_t i = 0; i < rows.size() && !sb->oom; ++i) {
    const vdr_rule_row &row = rows[i];
    vdr_sb_puts(sb, "| ");
    md_location(sb, row);
    if (row.never_matched()) vdr_sb_puts(sb, " never matched");
    if (!summary) {
      vdr_sb_puts(sb, " | ");
      md_tags(sb, row);
    }
    vdr_sb_puts(sb, " | ");
    md_engine(sb, row.legacy_n, row.legacy_first, summary);
    vdr_sb_puts(sb, " | ");
    md_engine(sb, row.turbo_n, row.turbo_first, summary);
    for (int s = 0; s < VDR_STATUS__COUNT; ++s)
      if (attributable(s)) vdr_sb_printf(sb, " | %zu", row.status[s]);
    vdr_sb_puts(sb, " |\n");
  }
  vdr_sb_putc(sb, '\n');
}
