// Severity lexicon, the per-line severity preview shown in the JSON check
// report, and the readiness check an exchange kit must pass: detection rules
// carry a severity word, a parsed outcome is keyed, and intrusion categories
// are not keyed as authentication sources.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/rb_text.h"
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

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Equal without regard to ASCII case; `word` is lower case.
bool iequals(std::string_view s, std::string_view word) {
  if (s.size() != word.size()) return false;
  for (size_t i = 0; i < s.size(); ++i)
    if (fold(s[i]) != word[i]) return false;
  return true;
}

int lexicon_band(const char *s, size_t n) {
  for (const lexicon_row &r : g_lexicon)
    if (iequals(std::string_view(s, n), r.word)) return r.band;
  return -1;
}

const char *const g_fail_words[] = {"fail",   "failure", "error",  "deny",     "denied",
                                    "drop",   "block",   "blocked", "reject", "rejected"};
const char *const g_success_words[] = {"success", "ok", "accept", "allow", "allowed", "pass"};

template <size_t N> bool is_one_of(std::string_view s, const char *const (&words)[N]) {
  for (const char *w : words)
    if (iequals(s, w)) return true;
  return false;
}

constexpr size_t k_max_rules = 128;
constexpr size_t k_max_key = 63;
constexpr size_t k_max_value = 47;

// One annotated rule: its key (tag and ":") and the annotated values that
// matter for scoring, each cut to 47 characters.
struct score_rule_t {
  char name[k_max_key + 1];
  char outcome[k_max_value + 1];
  char action[k_max_value + 1];
  char category[k_max_value + 1];
  char severity[k_max_value + 1];
  int technique;
  int used;
};

struct score_rules {
  score_rule_t rule[k_max_rules];
  size_t n;
};

char g_error[256];

void put_value(char *dst, std::string_view v) {
  size_t n = v.size() < k_max_value ? v.size() : k_max_value;
  memcpy(dst, v.data(), n);
  dst[n] = '\0';
}

// The annotate lines that count (not comments), with every "+field=value"
// operation of each line: the rule key runs from after "annotate=" to the
// first "+"; a field runs to "=", its value from after an optional opening
// quote to the next quote or the end of the line. A line without a key is
// passed over. False when a key is longer than 63 characters, or a 129th rule
// would be needed.
bool gather(const char *rulebase, score_rules &out) {
  out.n = 0;
  bool ok = true;
  vdr_for_each_rule_line(rulebase ? rulebase : "", [&](std::string_view line) {
    if (!ok) return;
    size_t s = line.find_first_not_of(" \t");
    if (s == std::string_view::npos || line.substr(s, 9) != "annotate=") return;
    line.remove_prefix(s + 9);
    size_t plus = line.find('+');
    if (plus == std::string_view::npos) return;
    std::string_view key = line.substr(0, plus);
    if (key.empty()) return; // no rule to record; the loader refuses such a line
    if (key.size() > k_max_key) {
      ok = false;
      return;
    }
    score_rule_t *r = nullptr;
    for (size_t i = 0; i < out.n && !r; ++i)
      if (key == out.rule[i].name) r = &out.rule[i];
    if (!r) {
      if (out.n == k_max_rules) {
        ok = false;
        return;
      }
      r = &out.rule[out.n++];
      *r = score_rule_t{};
      memcpy(r->name, key.data(), key.size());
      r->used = 1;
    }
    size_t p = plus;
    while (p < line.size() && line[p] == '+') {
      size_t eq = line.find('=', p + 1);
      if (eq == std::string_view::npos) return;
      std::string_view field = line.substr(p + 1, eq - p - 1);
      size_t v = eq + 1;
      if (v < line.size() && line[v] == '"') ++v;
      size_t end = line.find('"', v);
      if (end == std::string_view::npos) end = line.size();
      std::string_view value = line.substr(v, end - v);
      if (field == "event.action") put_value(r->action, value);
      else if (field == "event.outcome") put_value(r->outcome, value);
      else if (field == "event.category") put_value(r->category, value);
      else if (field == "event.severity") put_value(r->severity, value);
      else if (field == "threat.technique.id" && !value.empty()) r->technique = 1;
      p = line.find('+', end);
    }
  });
  return ok;
}

bool is_failure_outcome(const char *o) {
  return iequals(o, "failure") || iequals(o, "fail") || iequals(o, "error");
}

} // namespace

void vdr_score_set_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(g_error, sizeof g_error, fmt, ap);
  va_end(ap);
}

void vdr_score_clear(void) { g_error[0] = '\0'; }

const char *vdr_triad_error(void) { return g_error; }

int vdr_score_check(const char *rulebase, const char *ent_cat, char *const *keys, size_t n_keys) {
  vdr_score_clear();
  static score_rules rules; // single-threaded by contract, like the error text
  if (!gather(rulebase, rules)) {
    vdr_score_set_error("%s", "score gate could not record every rule");
    return -1;
  }
  bool need_outcome = false, intrusion = false;
  for (size_t i = 0; i < rules.n; ++i) {
    const score_rule_t &r = rules.rule[i];
    // A failure outcome, a technique, or (with any other outcome) a failure
    // action makes a detection rule.
    const bool detection = is_failure_outcome(r.outcome) || r.technique ||
                           is_one_of(r.action, g_fail_words);
    if (detection && lexicon_band(r.severity, strlen(r.severity)) < 0) {
      vdr_score_set_error("%s is a detection rule and has no lexicon severity (log.level is not a "
                          "band)",
                          r.name);
      return -1;
    }
    if (r.outcome[0] || is_one_of(r.action, g_fail_words) || is_one_of(r.action, g_success_words))
      need_outcome = true;
    if (iequals(r.category, "intrusion_detection") || iequals(r.category, "malware") ||
        iequals(r.category, "threat"))
      intrusion = true;
  }
  if (need_outcome) {
    bool keyed = false;
    for (size_t i = 0; i < n_keys && !keyed; ++i)
      keyed = keys && keys[i] && strncmp(keys[i], "outcome:", 8) == 0;
    if (!keyed) {
      vdr_score_set_error("%s",
                          "event.outcome or event.action is parsed and entity_keys has no "
                          "outcome role");
      return -1;
    }
  }
  if (ent_cat && strcmp(ent_cat, "auth") == 0 && intrusion) {
    vdr_score_set_error("%s", "an intrusion or endpoint category is keyed as auth");
    return -1;
  }
  return 0;
}

int vdr_score_wire_action(const char *rulebase) {
  bool parsed = false;
  vdr_for_each_rule_line(rulebase ? rulebase : "", [&](std::string_view line) {
    if (line.find("%event.action:") != std::string_view::npos) parsed = true;
  });
  if (parsed) return 1;
  static score_rules rules;
  if (!gather(rulebase, rules) || rules.n == 0) return 1;
  bool any_action = false;
  for (size_t i = 0; i < rules.n; ++i) {
    const char *a = rules.rule[i].action;
    if (is_one_of(a, g_fail_words) || is_one_of(a, g_success_words)) return 1;
    if (a[0]) any_action = true;
  }
  return any_action ? 0 : 1;
}

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
