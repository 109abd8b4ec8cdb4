// Severity lexicon and the per-line severity preview shown in the JSON check
// report.
#include <cstdio>
#include <cstring>

#include "core/veldra.h"

namespace {

struct lexicon_row {
  const char *word;
  int band;
};

// Severity words and their bands, matched without regard to ASCII case.
const lexicon_row g_lexicon[] = {
    {"unknown", 0}, {"debug", 0},        {"informational", 1}, {"info", 1},      {"information", 1},
    {"notice", 1},  {"notification", 1}, {"low", 2},           {"minor", 2},     {"very low", 2},
    {"medium", 3},  {"med", 3},          {"mid", 3},           {"warning", 3},   {"high", 4},
    {"major", 4},   {"critical", 5},     {"alert", 5},         {"emergency", 5}, {"very high", 5},
    {"fatal", 6},
};

// Weight of each band 0 to 6.
const double g_weight[] = {0.0, 0.05, 0.15, 0.3, 0.5, 0.8, 0.9};

int lexicon_band(const char *s, size_t n) {
  for (const lexicon_row &r : g_lexicon) {
    if (strlen(r.word) != n) continue;
    bool eq = true;
    for (size_t i = 0; i < n && eq; ++i) {
      char c = s[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      eq = c == r.word[i];
    }
    if (eq) return r.band;
  }
  return -1;
}

} // namespace

int vdr_score_preview_json(const char *parsed, char *dst, size_t cap) {
  if (!dst || cap < 8 || !parsed || !*parsed) return -1;
  int band = -1;
  const char *k = strstr(parsed, "\"event.severity\"");
  if (k) {
    // The value is the string that follows the key's colon. A value of any
    // other type has no quote there; taking the next quote instead would read
    // the following member's name ({"event.severity":3,"alert":1}).
    const char *q1 = k + 16;
    while (*q1 == ' ' || *q1 == '\t' || *q1 == '\n' || *q1 == '\r') ++q1;
    if (*q1 == ':') ++q1;
    while (*q1 == ' ' || *q1 == '\t' || *q1 == '\n' || *q1 == '\r') ++q1;
    const char *q2 = *q1 == '"' ? strchr(q1 + 1, '"') : nullptr;
    if (q2 && q2 - q1 - 1 <= 47) band = lexicon_band(q1 + 1, static_cast<size_t>(q2 - q1 - 1));
  }
  if (band < 0) {
    int n = snprintf(dst, cap,
                     "{\"severity_weight\":\"none\",\"hark.alert\":\"no\",\"threat_level\":0.10,"
                     "\"note\":\"%s\"}",
                     "no severity weight");
    return n >= 0 && static_cast<size_t>(n) < cap ? 0 : -1;
  }
  double level = g_weight[band] + 0.1;
  // A preview cut short by a small buffer would be broken JSON: refuse it.
  int n = snprintf(
      dst, cap, "{\"severity_id\":%d,\"hark.alert\":\"%s\",\"threat_level\":%.2f,\"note\":\"%s\"}",
      band, level + 1e-9 >= 0.7 ? "yes" : "no", level, "this line only");
  return n >= 0 && static_cast<size_t>(n) < cap ? 0 : -1;
}
