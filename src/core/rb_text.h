// Reading rulebase text without loading it, shared by the ECS lint, the
// readiness check and the exchange-kit builder so that all three see the same
// lines: comment lines (first non-blank character "#") never count.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

// Calls fn(line) for each line of the text that is not a comment; the line
// excludes its line feed.
template <typename Fn> void vdr_for_each_rule_line(std::string_view text, Fn fn) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = text.substr(pos, eol - pos);
    pos = eol + 1;
    size_t s = line.find_first_not_of(" \t");
    if (s != std::string_view::npos && line[s] == '#') continue;
    fn(line);
  }
}

// The field names the ECS lint checks, in order of discovery, without
// duplicates, at most 256. Throws std::bad_alloc.
std::vector<std::string> vdr_ecs_collect_names(std::string_view text);

// Sets the process-wide refusal text that vdr_triad_error returns (formatted
// into at most 255 characters).
void vdr_score_set_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
