// Per-rule coverage of a comparison run: which samples each rule of the
// rulebase served on each engine and how they were classified, the rules
// no sample reached, and where each rule lives (file and line as a path
// relative to the working directory where it can be). Shared by the rule
// section of both reports and by the SARIF log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/veldra.h"

struct vdr_rule_row {
  uint32_t idx;            // 1-based rule index (vdr_run_rule)
  std::string where;       // display path of the rule's file
  uint32_t line;
  std::vector<std::string> tags;
  size_t legacy_n = 0;     // samples the walker matched through the rule
  size_t turbo_n = 0;      // samples VaderAD matched through the rule
  std::vector<size_t> legacy_first; // their indexes, the first few
  std::vector<size_t> turbo_first;
  // Samples attributed to the rule (the walker's rule, else VaderAD's), by
  // status; the counts of all rows plus the unparsed samples make the tally.
  size_t status[VDR_STATUS__COUNT] = {};
  bool never_matched() const { return legacy_n == 0 && turbo_n == 0; }
};

// Indexes kept per rule and engine for the reports.
#define VDR_RULE_FIRST_SAMPLES 10

// One row per rule of the run in load order. Throws std::bad_alloc.
std::vector<vdr_rule_row> vdr_rule_rows(const vdr_run *run);

// The rule a sample is attributed to: the walker's, else VaderAD's, 0 none.
uint32_t vdr_result_rule(const vdr_result &r);

// A path as shown to the user: relative to the working directory when it
// lies below it, otherwise absolute (a relative path that does not resolve
// is kept as given). Throws std::bad_alloc.
std::string vdr_display_path(const char *path);

// The rule's file as shown: its recorded absolute path, else its name as
// loaded (which names it relative to the working directory of `check`).
std::string vdr_rule_display_path(const ln_rule_info *rule);

// Appends the "rules" member (with its leading comma) to the JSON report.
void vdr_rules_json(vdr_sb *sb, const vdr_run *run, unsigned flags);
// Appends the rule coverage section to the Markdown report.
void vdr_rules_markdown(vdr_sb *sb, const vdr_run *run, unsigned flags);
