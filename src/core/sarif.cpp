// The SARIF 2.1.0 log of a check: every finding located at a file and line
// (the rule a sample went through, the samples file for unparsed samples,
// the rulebase line of a linted field), for code-scanning services.
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/coverage.h"
#include "core/veldra.h"
#include "normalizer/rules.h"
#include "normalizer/samp.h"

namespace {

// Stable rule ids, listed in this order in tool.driver.rules.
enum sarif_rule {
  SR_DIVERGENCE,
  SR_DUP_FIELD,
  SR_TURBO_ONLY,
  SR_COVERAGE_GAP,
  SR_UNPARSED,
  SR_ECS_ERROR,
  SR_ECS_WARNING,
  SR_NEVER_MATCHED,
  SR__COUNT
};

struct rule_desc {
  const char *id;
  const char *level;
  const char *text;
};

const rule_desc k_rules[SR__COUNT] = {
    {"divergence", "error", "Both engines matched the sample but the extracted data differs."},
    {"duplicate-field-name", "error", "The rulebase binds one field name more than once."},
    {"turbo-only", "error", "VaderAD matched a sample that the walker did not."},
    {"coverage-gap", "warning", "VaderAD declined a sample that the walker serves."},
    {"unparsed", "warning", "No rule matched the sample on either engine."},
    {"ecs-error", "error", "A field name fails the ECS lint."},
    {"ecs-warning", "warning", "A field name draws an ECS lint warning."},
    {"never-matched", "note", "No sample matched the rule."},
};

const char k_schema[] =
    "https://docs.oasis-open.org/sarif/sarif/v2.1.0/errata01/os/schemas/sarif-schema-2.1.0.json";

// A path as a URI reference: relative paths stay relative (as code-scanning
// services expect), absolute ones become file URIs; every byte outside the
// unreserved set and "/" is percent-encoded.
std::string to_uri(const std::string &path) {
  static const char hex[] = "0123456789ABCDEF";
  std::string u = !path.empty() && path[0] == '/' ? "file://" : "";
  for (unsigned char c : path) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~' || c == '/') {
      u += static_cast<char>(c);
    } else {
      u += '%';
      u += hex[c >> 4];
      u += hex[c & 15];
    }
  }
  return u;
}

struct sarif_writer {
  vdr_sb *sb;
  bool first = true;

  void begin_result(sarif_rule rule, const char *level) {
    vdr_sb_puts(sb, first ? "{" : ",{");
    first = false;
    vdr_sb_puts(sb, "\"ruleId\":");
    vdr_sb_json_string(sb, k_rules[rule].id);
    vdr_sb_printf(sb, ",\"ruleIndex\":%d,\"level\":", static_cast<int>(rule));
    vdr_sb_json_string(sb, level);
  }
  void message(const std::string &text) {
    vdr_sb_puts(sb, ",\"message\":{\"text\":");
    vdr_sb_json_stringn(sb, text.data(), text.size());
    vdr_sb_putc(sb, '}');
  }
  void physical(const std::string &uri, size_t line) {
    vdr_sb_puts(sb, "{\"physicalLocation\":{\"artifactLocation\":{\"uri\":");
    vdr_sb_json_stringn(sb, uri.data(), uri.size());
    vdr_sb_printf(sb, "},\"region\":{\"startLine\":%zu}}", line ? line : 1);
  }
  void location(const std::string &uri, size_t line) {
    vdr_sb_puts(sb, ",\"locations\":[");
    physical(uri, line);
    vdr_sb_puts(sb, "}]");
  }
};

// The line of the rulebase text where the lint met a field: the first line
// (comments skipped) that names it in a field descriptor, else as a JSON
// string, else anywhere as a whole word; the version header line when the
// message names no field or the name is not found.
size_t ecs_line(const char *text, const char *message) {
  uint32_t header = 1;
  const size_t len = strlen(text);
  ln_sampVersion(text, len, nullptr, &header);
  static const char pre[] = "field '";
  if (strncmp(message, pre, sizeof pre - 1) != 0) return header ? header : 1;
  const char *name = message + sizeof pre - 1;
  const char *end = strchr(name, '\'');
  if (!end || end == name) return header ? header : 1;
  const std::string field(name, static_cast<size_t>(end - name));
  const std::string needles[2] = {"%" + field + ":", "\"" + field + "\""};
  auto is_word = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '.' || c == '@' || c == '-';
  };
  const std::string_view all(text, len);
  for (int pass = 0; pass < 3; ++pass) {
    size_t lineno = 0, p = 0;
    while (p < len) {
      ++lineno;
      size_t eol = all.find('\n', p);
      if (eol == std::string_view::npos) eol = len;
      std::string_view ln = all.substr(p, eol - p);
      p = eol + 1;
      const size_t s = ln.find_first_not_of(" \t");
      if (s == std::string_view::npos || ln[s] == '#') continue;
      if (pass < 2) {
        if (ln.find(needles[pass]) != std::string_view::npos) return lineno;
        continue;
      }
      for (size_t at = ln.find(field); at != std::string_view::npos; at = ln.find(field, at + 1)) {
        const size_t after = at + field.size();
        if ((at == 0 || !is_word(ln[at - 1])) && (after >= ln.size() || !is_word(ln[after])))
          return lineno;
      }
    }
  }
  return header ? header : 1;
}

std::string join_paths(const vdr_result &r) {
  std::string s;
  for (size_t d = 0; d < r.n_diffs; ++d) {
    if (d) s += ", ";
    s += r.diffs[d].path ? r.diffs[d].path : "";
  }
  return s;
}

void sample_result(sarif_writer &w, const vdr_run *run, const vdr_result &r, unsigned flags,
                   const std::string &samples_uri, const std::string &samples_name,
                   std::vector<std::string> &rule_uris) {
  const bool summary = flags & VDR_REPORT_SUMMARY_ONLY;
  sarif_rule kind;
  switch (r.status) {
  case VDR_STATUS_DIVERGENCE: kind = SR_DIVERGENCE; break;
  case VDR_STATUS_DUP_FIELD: kind = SR_DUP_FIELD; break;
  case VDR_STATUS_TURBO_ONLY: kind = SR_TURBO_ONLY; break;
  case VDR_STATUS_COVERAGE_GAP: kind = SR_COVERAGE_GAP; break;
  case VDR_STATUS_UNPARSED_BOTH: kind = SR_UNPARSED; break;
  default: return;
  }
  w.begin_result(kind, k_rules[kind].level);
  std::string text = "Sample on line " + std::to_string(r.line_no) + " of " + samples_name + ": ";
  switch (kind) {
  case SR_DIVERGENCE: text += "both engines matched but the extracted data differs"; break;
  case SR_DUP_FIELD: text += "the rulebase binds one field name more than once"; break;
  case SR_TURBO_ONLY: text += "VaderAD matched where the walker did not"; break;
  case SR_COVERAGE_GAP: text += "VaderAD declined; the walker serves it"; break;
  default: text += "no rule matched on either engine"; break;
  }
  if (r.n_diffs) {
    if (summary)
      text += "; differing fields withheld by --summary-only";
    else
      text += "; differing fields: " + join_paths(r);
  }
  text += ".";
  w.message(text);
  const uint32_t rule = vdr_result_rule(r);
  const ln_rule_info *ri = rule ? vdr_run_rule(run, rule) : nullptr;
  if (ri) {
    std::string &uri = rule_uris[rule - 1];
    if (uri.empty()) uri = to_uri(vdr_rule_display_path(ri));
    w.location(uri, ri->line);
    // The sample itself, as a related place.
    vdr_sb_puts(w.sb, ",\"relatedLocations\":[");
    w.physical(samples_uri, r.line_no);
    vdr_sb_puts(w.sb, ",\"id\":1,\"message\":{\"text\":\"the sample\"}}]");
  } else {
    w.location(samples_uri, r.line_no);
  }
  if (flags & VDR_REPORT_EMBED_INPUTS) {
    vdr_sb_puts(w.sb, ",\"properties\":{\"sample\":");
    vdr_sb_json_string(w.sb, r.line);
    vdr_sb_putc(w.sb, '}');
  }
  vdr_sb_putc(w.sb, '}');
}

void build(vdr_sb *sb, const vdr_run *run, unsigned flags, const vdr_ecs_report *ecs,
           const vdr_sarif_input *in) {
  const bool summary = flags & VDR_REPORT_SUMMARY_ONLY;
  const bool rb_stdin = !in->rulebase_path || strcmp(in->rulebase_path, "-") == 0;
  const bool sm_stdin = !in->samples_path || strcmp(in->samples_path, "-") == 0;
  const std::string rulebase_name = rb_stdin ? "stdin" : vdr_display_path(in->rulebase_path);
  const std::string samples_name = sm_stdin ? "stdin" : vdr_display_path(in->samples_path);
  const std::string rulebase_uri = to_uri(rulebase_name);
  const std::string samples_uri = to_uri(samples_name);

  vdr_sb_puts(sb, "{\"$schema\":");
  vdr_sb_json_string(sb, k_schema);
  vdr_sb_puts(sb, ",\"version\":\"2.1.0\",\"runs\":[{\"tool\":{\"driver\":{\"name\":\"veldra\","
                  "\"version\":");
  vdr_sb_json_string(sb, ln_version());
  vdr_sb_puts(sb, ",\"rules\":[");
  for (int i = 0; i < SR__COUNT; ++i) {
    vdr_sb_puts(sb, i ? ",{\"id\":" : "{\"id\":");
    vdr_sb_json_string(sb, k_rules[i].id);
    vdr_sb_puts(sb, ",\"shortDescription\":{\"text\":");
    vdr_sb_json_string(sb, k_rules[i].text);
    vdr_sb_puts(sb, "},\"defaultConfiguration\":{\"level\":");
    vdr_sb_json_string(sb, k_rules[i].level);
    vdr_sb_puts(sb, "}}");
  }
  vdr_sb_puts(sb, "]}},\"results\":[");

  sarif_writer w{sb};
  std::vector<std::string> rule_uris(vdr_run_rule_count(run));
  size_t n = 0;
  const vdr_result *res = vdr_run_results(run, &n);
  for (size_t i = 0; i < n && !sb->oom; ++i)
    sample_result(w, run, res[i], flags, samples_uri, samples_name, rule_uris);

  if (ecs) {
    const struct {
      char *const *items;
      size_t n;
      sarif_rule rule;
    } lists[2] = {{ecs->errors, ecs->n_errors, SR_ECS_ERROR},
                  {ecs->warnings, ecs->n_warnings, SR_ECS_WARNING}};
    for (const auto &l : lists)
      for (size_t i = 0; i < l.n && !sb->oom; ++i) {
        w.begin_result(l.rule, k_rules[l.rule].level);
        w.message(summary ? std::string("ECS lint ") +
                                (l.rule == SR_ECS_ERROR ? "error" : "warning") +
                                " (details withheld by --summary-only)."
                          : std::string(l.items[i]));
        w.location(rulebase_uri, ecs_line(in->rulebase_text ? in->rulebase_text : "", l.items[i]));
        vdr_sb_putc(sb, '}');
      }
  }

  if (flags & VDR_REPORT_RULE_COVERAGE) {
    const std::vector<vdr_rule_row> rows = vdr_rule_rows(run);
    for (const vdr_rule_row &row : rows) {
      if (!row.never_matched() || sb->oom) continue;
      w.begin_result(SR_NEVER_MATCHED, k_rules[SR_NEVER_MATCHED].level);
      w.message("No sample matched this rule on either engine (" + std::to_string(n) +
                " sample(s) checked).");
      w.location(to_uri(row.where), row.line);
      vdr_sb_putc(sb, '}');
    }
  }
  vdr_sb_puts(sb, "]}]}\n");
}

} // namespace

char *vdr_report_sarif(const vdr_run *run, unsigned flags, const vdr_ecs_report *ecs,
                       const vdr_sarif_input *in) {
  if (!in) return nullptr;
  vdr_sb sb;
  vdr_sb_init(&sb);
  try {
    build(&sb, run, flags, ecs, in);
  } catch (const std::bad_alloc &) {
    vdr_sb_free(&sb);
    return nullptr;
  }
  return vdr_sb_release(&sb);
}
