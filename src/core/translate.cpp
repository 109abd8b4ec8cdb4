// Field alias translation: the built-in vendor-to-ECS table, overlay lookups,
// the parser guess and the rewrite of a rulebase's field names.
//
// The rewrite reads the rulebase record by record as the loader does (a
// record goes on over line feeds while a field descriptor is open) and
// touches only field names: the names of field descriptors in rule, type and
// prefix samples, the "name" members of JSON descriptors and parameters, and
// the field names of annotate operations. Everything else is copied byte for
// byte. Within one record every name gets one target and no two names get
// the same one, taking into account the names the prefix and the inline
// user-defined types of the rule already produce.
#include "core/translate.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/veldra.h"
#include "normalizer/json_text.h"

#include "core/ecs_aliases.inc"

size_t vdr_ecs_alias_rows(void) { return vdr_ecs_alias_count; }

const vdr_ecs_alias_ent *vdr_ecs_alias_row(size_t i) {
  return i < vdr_ecs_alias_count ? &vdr_ecs_alias_table[i] : nullptr;
}

const char *vdr_ecs_alias_builtin(const char *from) {
  if (!from) return nullptr;
  size_t lo = 0, hi = vdr_ecs_alias_count;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = strcmp(vdr_ecs_alias_table[mid].from, from);
    if (c == 0) return vdr_ecs_alias_table[mid].to;
    if (c < 0) lo = mid + 1;
    else hi = mid;
  }
  return nullptr;
}

namespace {

bool valid_var(const char *var) {
  return var && *var && strcmp(var, "-") != 0 && strcmp(var, ".") != 0 && strcmp(var, "..") != 0;
}

const char *member_string(fjson_object *obj, const char *key) {
  fjson_object *v = nullptr;
  if (!obj || !fjson_object_is_type(obj, fjson_type_object) ||
      !fjson_object_object_get_ex(obj, key, &v) || !fjson_object_is_type(v, fjson_type_string))
    return nullptr;
  return fjson_object_get_string(v);
}

fjson_object *member_object(fjson_object *obj, const char *key) {
  fjson_object *v = nullptr;
  if (!obj || !fjson_object_is_type(obj, fjson_type_object) ||
      !fjson_object_object_get_ex(obj, key, &v) || !fjson_object_is_type(v, fjson_type_object))
    return nullptr;
  return v;
}

bool is_space(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// The overlay text as a JSON object. Null text or empty text: no overlay
// (true, *out null). Anything but one JSON object, blanks around it aside,
// is refused (false). Throws std::bad_alloc.
bool parse_overlay(const char *text, fjson_object **out) {
  *out = nullptr;
  if (!text || !*text) return true;
  size_t len = strlen(text), end = 0;
  fjson_object *v = ln_json_parse_prefix(text, len, &end);
  if (!v) return false;
  while (end < len && is_space(text[end])) ++end;
  if (end != len || !fjson_object_is_type(v, fjson_type_object)) {
    fjson_object_put(v);
    return false;
  }
  *out = v;
  return true;
}

struct json_holder {
  fjson_object *v = nullptr;
  ~json_holder() {
    if (v) fjson_object_put(v);
  }
};

} // namespace

int vdr_alias_overlay_parse(const char *text, fjson_object **out) {
  return parse_overlay(text, out) ? 0 : -1;
}

const char *vdr_alias_lookup_parser(fjson_object *root, const char *parser, const char *var) {
  if (!valid_var(var) || !parser || !*parser || !root) return nullptr;
  return member_string(member_object(member_object(root, "by_parser"), parser), var);
}

const char *vdr_alias_lookup(fjson_object *root, const char *parser, const char *var) {
  if (const char *t = vdr_alias_lookup_parser(root, parser, var)) return t;
  if (!valid_var(var)) return nullptr;
  if (const char *t = member_string(member_object(root, "global"), var)) return t;
  return vdr_ecs_alias_builtin(var);
}

char *vdr_ecs_guess_parser(const char *aliases_json, const char *stem) {
  if (!aliases_json || !*aliases_json || !stem || !*stem) return nullptr;
  try {
    json_holder root;
    if (!parse_overlay(aliases_json, &root.v) || !root.v) return nullptr;
    fjson_object *by = member_object(root.v, "by_parser");
    if (!by) return nullptr;
    std::string base(stem, strnlen(stem, 127));
    std::vector<std::string> cands{base};
    std::string swapped = base;
    for (char &c : swapped) {
      if (c == '_') c = '-';
      else if (c == '-') c = '_';
    }
    cands.push_back(swapped);
    const size_t n = base.size();
    if (n >= 5 && (base.compare(n - 4, 4, "-ecs") == 0 || base.compare(n - 4, 4, "_ecs") == 0)) {
      cands.push_back(base.substr(0, n - 4));
    } else {
      cands.push_back((base + "-ecs").substr(0, 127));
      cands.push_back((base + "_ecs").substr(0, 127));
    }
    for (const std::string &c : cands) {
      fjson_object *v = nullptr;
      if (fjson_object_object_get_ex(by, c.c_str(), &v)) return vdr_strdup_checked(c.c_str());
    }
    return nullptr;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

/* ---- the rewrite ----------------------------------------------------------- */

namespace {

constexpr size_t k_max_name = 127;  // longer names are left as they are
constexpr size_t k_max_cands = 12;
constexpr size_t k_max_hints = 8;
constexpr size_t k_max_labels = 151;

using name_set = std::unordered_set<std::string>;

void add_name(name_set &s, std::string_view n) {
  if (n.empty() || n == "-" || n == ".") return;
  s.emplace(n);
}

// Where a name stands decides which characters a new name may use.
enum class site_kind {
  descriptor, // %NAME:type%
  json,       // "name":"NAME" inside a descriptor
  annotate    // +NAME="value" of an annotate operation
};

struct site {
  size_t off; // in the whole text
  size_t len;
  site_kind kind;
};

bool fits(site_kind kind, std::string_view name) {
  if (kind != site_kind::annotate) return true;
  for (char c : name)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.') return false;
  return true;
}

bool is_labels_leaf(std::string_view n) {
  if (n.size() <= 7 || n.substr(0, 7) != "labels.") return false;
  if (n[7] < 'a' || n[7] > 'z') return false;
  for (char c : n.substr(7))
    if (!(c >= 'a' && c <= 'z') && !(c >= '0' && c <= '9') && c != '_') return false;
  return true;
}

// A name the rewrite never touches: its bytes would not survive a lookup
// unchanged, or it is too long to look up.
bool untouchable(std::string_view n) {
  if (n.size() > k_max_name) return true;
  for (char c : n)
    if (c == '%' || c == '\n' || c == '\r' || c == '"' || c == '\\' || c == '\0') return true;
  return false;
}

// The sites of one record and the user-defined types it references inline
// (field descriptors named "." whose type is "@name").
struct record_scan {
  std::vector<site> sites;
  std::vector<std::string> inline_types;
};

// The "name" members of a JSON text whose value is a plain string.
void scan_json_names(std::string_view s, size_t base, record_scan &out) {
  size_t i = 0;
  auto read_string = [&](size_t from, size_t *end, bool *plain) {
    // s[from] == '"'; *end is the offset after the closing quote.
    size_t j = from + 1;
    *plain = true;
    while (j < s.size() && s[j] != '"') {
      if (s[j] == '\\') {
        *plain = false;
        ++j;
      }
      ++j;
    }
    *end = j < s.size() ? j + 1 : s.size();
  };
  while (i < s.size()) {
    if (s[i] != '"') {
      ++i;
      continue;
    }
    size_t kend;
    bool plain;
    read_string(i, &kend, &plain);
    std::string_view key = s.substr(i, kend - i);
    i = kend;
    size_t j = i;
    while (j < s.size() && is_space(s[j])) ++j;
    if (j >= s.size() || s[j] != ':' || key != "\"name\"") continue;
    ++j;
    while (j < s.size() && is_space(s[j])) ++j;
    if (j >= s.size() || s[j] != '"') continue;
    size_t vend;
    read_string(j, &vend, &plain);
    if (plain && vend - j >= 2 && s[vend - 1] == '"')
      out.sites.push_back({base + j + 1, vend - j - 2, site_kind::json});
    i = vend;
  }
}

void collect_inline_refs(fjson_object *v, record_scan &out) {
  if (!v) return;
  if (fjson_object_is_type(v, fjson_type_array)) {
    for (size_t k = 0, n = fjson_object_array_length(v); k < n; ++k)
      collect_inline_refs(fjson_object_array_get_idx(v, k), out);
    return;
  }
  if (!fjson_object_is_type(v, fjson_type_object)) return;
  const char *name = member_string(v, "name");
  const char *type = member_string(v, "type");
  if (name && type && strcmp(name, ".") == 0 && type[0] == '@' && type[1])
    out.inline_types.emplace_back(type + 1);
  struct fjson_object_iterator it = fjson_object_iter_begin(v);
  struct fjson_object_iterator end = fjson_object_iter_end(v);
  while (!fjson_object_iter_equal(&it, &end)) {
    collect_inline_refs(fjson_object_iter_peek_value(&it), out);
    fjson_object_iter_next(&it);
  }
}

// Field descriptors of a rule sample, read as the loader reads them. A
// malformed descriptor ends the scan: the loader refuses the record, so the
// rest is copied unchanged.
void scan_sample(std::string_view s, size_t base, record_scan &out) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    if (s[i] != '%') {
      ++i;
      continue;
    }
    if (i + 1 < n && s[i + 1] == '%') {
      i += 2;
      continue;
    }
    size_t j = i + 1;
    while (j < n && is_space(s[j])) ++j;
    if (j >= n) return;
    if (s[j] == '{' || s[j] == '[') {
      size_t used = 0;
      json_holder js;
      js.v = ln_json_parse_prefix(s.data() + j, n - j, &used);
      if (!js.v || j + used >= n || s[j + used] != '%') return;
      scan_json_names(s.substr(j, used), base + j, out);
      collect_inline_refs(js.v, out);
      i = j + used + 1;
      continue;
    }
    const size_t name_start = j;
    while (j < n && s[j] != ':') ++j;
    if (j >= n || j == name_start || j - name_start >= 1023) return;
    std::string_view name = s.substr(name_start, j - name_start);
    ++j;
    const size_t type_start = j;
    while (j < n && s[j] != '%' && s[j] != ':' && s[j] != '{') ++j;
    if (j >= n) return;
    size_t type_end = j;
    while (type_end > type_start && is_space(s[type_end - 1])) --type_end;
    std::string_view type = s.substr(type_start, type_end - type_start);
    out.sites.push_back({base + name_start, name.size(), site_kind::descriptor});
    if (name == "." && type.size() > 1 && type[0] == '@')
      out.inline_types.emplace_back(type.substr(1));
    if (s[j] == '{') {
      size_t used = 0;
      json_holder js;
      js.v = ln_json_parse_prefix(s.data() + j, n - j, &used);
      if (js.v) scan_json_names(s.substr(j, used), base + j, out);
      j += used;
    }
    if (j < n && s[j] == '%') {
      ++j;
    } else if (j < n) {
      ++j;
      while (j < n && s[j] != '%') ++j;
      if (j < n) ++j;
    }
    i = j;
  }
}

bool is_annot_name_char(char c) {
  return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
}

// The field names of an annotate value "tag: +name="value" +name2="v" # ...".
void scan_annotate(std::string_view s, size_t base, record_scan &out) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n && is_annot_name_char(s[i])) ++i;
  if (i == 0) return;
  while (i < n && is_space(s[i])) ++i;
  if (i >= n || s[i] != ':') return;
  ++i;
  for (;;) {
    while (i < n && is_space(s[i])) ++i;
    if (i >= n || s[i] != '+') return; // the end, an inline comment, or malformed
    const size_t name_start = ++i;
    while (i < n && is_annot_name_char(s[i])) ++i;
    if (i >= n || s[i] != '=') return;
    const size_t name_end = i++;
    while (i < n && is_space(s[i])) ++i;
    if (i >= n || s[i] != '"') return;
    if (name_end > name_start)
      out.sites.push_back({base + name_start, name_end - name_start, site_kind::annotate});
    const size_t close = s.find('"', i + 1);
    if (close == std::string_view::npos) return;
    i = close + 1;
  }
}

enum class record_kind { other, rule, type, prefix, extendprefix, annotate };

struct translator {
  fjson_object *root = nullptr;
  const char *parser = nullptr;
  std::string_view text;
  std::string out;

  std::unordered_map<std::string, name_set> types; // names each type produces
  name_set prefix_names;

  // Per record.
  name_set used;
  name_set reserved; // overlay targets of names in the record
  name_set kept;     // names that stay as they are
  std::vector<const name_set *> inherited;
  std::unordered_map<std::string, std::string> chosen;

  // Rule records, for the network category: output offset of the end of the
  // tag list, and whether the list is empty or already holds "ecsnet".
  struct rule_tags {
    size_t pos;
    bool empty;
    bool has_ecsnet;
  };
  std::vector<rule_tags> rules;

  // Look-ahead cache of the runaway check.
  size_t la_from = SIZE_MAX, la_to = 0;
  bool la_rule = false;

  std::string overlay_target(std::string_view name) const {
    if (!root || !parser || !*parser) return {};
    std::string key(name);
    const char *t = vdr_alias_lookup_parser(root, parser, key.c_str());
    if (t && vdr_ecs_field_acceptable(t, nullptr)) return t;
    if (key.size() + 11 <= 159) {
      std::string nested = "event_data!" + key;
      t = vdr_alias_lookup_parser(root, parser, nested.c_str());
      if (t && vdr_ecs_field_acceptable(t, nullptr)) return t;
    }
    return {};
  }

  static std::string labels_form(std::string_view name) {
    std::string leaf;
    for (char c : name) {
      char l = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      if (l == '-') l = '_';
      if ((l >= 'a' && l <= 'z') || (l >= '0' && l <= '9') || l == '_') leaf += l;
    }
    if (!leaf.empty() && leaf[0] >= '0' && leaf[0] <= '9') leaf.insert(leaf.begin(), 'x');
    std::string full = "labels." + leaf;
    if (full.size() > k_max_labels) full.resize(k_max_labels);
    if (full.size() <= 7 || full[7] < 'a' || full[7] > 'z') return {};
    if (!vdr_ecs_field_acceptable(full.c_str(), nullptr)) return {};
    return full;
  }

  // Candidate targets of a name, best first, without "-" and "." (a pick of
  // either would drop or merge the value) and without names that cannot
  // stand where the name stands.
  std::vector<std::string> candidates(std::string_view name, const std::string &ov,
                                      site_kind kind) const {
    std::vector<std::string> c;
    auto push = [&](std::string_view t) {
      if (t.empty() || t == "-" || t == "." || c.size() >= k_max_cands || !fits(kind, t)) return;
      for (const std::string &x : c)
        if (x == t) return;
      c.emplace_back(t);
    };
    push(ov);
    std::string key(name);
    const char *a = vdr_alias_lookup(root, nullptr, key.c_str());
    if (a && vdr_ecs_field_known(a, nullptr)) push(a);
    const char *hints[k_max_hints];
    int nh = vdr_ecs_key_hints(key.c_str(), hints, static_cast<int>(k_max_hints));
    for (int k = 0; k < nh; ++k) push(hints[k]);
    if (name.find('.') == std::string_view::npos) push(labels_form(name));
    return c;
  }

  static bool trivial(std::string_view n) {
    return n.empty() || n == "-" || n == "." || n == "..";
  }

  // What a name can become. It depends only on the name and where it
  // stands, so it is worked out once per run.
  struct name_info {
    bool stays = false; // the name stays as it is whatever else the record holds
    std::string ov;     // overlay target
    std::vector<std::string> cands;
  };
  std::unordered_map<std::string, name_info> infos; // by kind and name

  // A name stays when it is too long or odd to look up, already an ECS or
  // labels name the overlay does not move, or without any candidate.
  const name_info &info(std::string_view name, site_kind kind) {
    std::string key(1, static_cast<char>('0' + static_cast<int>(kind)));
    key.append(name);
    auto it = infos.find(key);
    if (it != infos.end()) return it->second;
    name_info ni;
    if (untouchable(name)) {
      ni.stays = true;
    } else {
      ni.ov = overlay_target(name);
      std::string n(name);
      if (ni.ov.empty() && (vdr_ecs_field_known(n.c_str(), nullptr) || is_labels_leaf(name))) {
        ni.stays = true;
      } else {
        ni.cands = candidates(name, ni.ov, kind);
        ni.stays = ni.cands.empty();
      }
    }
    return infos.emplace(std::move(key), std::move(ni)).first->second;
  }

  bool stays(std::string_view name, site_kind kind) { return info(name, kind).stays; }

  bool taken(const std::string &c) const {
    if (used.count(c) || kept.count(c)) return true;
    for (const name_set *s : inherited)
      if (s->count(c)) return true;
    return false;
  }

  std::string choose(std::string_view name, site_kind kind) {
    std::string key(name);
    auto memo = chosen.find(key);
    if (memo != chosen.end()) return memo->second;
    std::string pick = key;
    const name_info &ni = info(name, kind);
    if (!ni.stays) {
      for (const std::string &c : ni.cands) {
        if (c == key || (!taken(c) && (!ni.ov.empty() || !reserved.count(c)))) {
          pick = c;
          break;
        }
      }
    }
    add_name(used, pick);
    chosen.emplace(key, pick);
    return pick;
  }

  // Does the text after the line feed at `from` (comment and empty lines
  // skipped) begin with "rule="? Cached per skipped block so a long block of
  // comments inside an open field is scanned once.
  bool next_line_is_rule(size_t from) {
    if (from >= la_from && from <= la_to) return la_rule;
    size_t p = from;
    while (p < text.size()) {
      if (text[p] == '#') {
        size_t nl = text.find('\n', p);
        p = nl == std::string_view::npos ? text.size() : nl + 1;
      } else if (text[p] == '\n') {
        ++p;
      } else {
        break;
      }
    }
    la_from = from;
    la_to = p;
    la_rule = text.substr(p, 5) == "rule=";
    return la_rule;
  }

  // The end of the record starting at p (exclusive, before its line feed).
  size_t record_end(size_t p) {
    size_t eol = text.find('\n', p);
    if (eol == std::string_view::npos) eol = text.size();
    size_t pct = 0;
    for (size_t k = p; k < eol; ++k) pct += text[k] == '%';
    while ((pct & 1u) && eol < text.size()) {
      if (next_line_is_rule(eol + 1)) break;
      size_t next = text.find('\n', eol + 1);
      if (next == std::string_view::npos) next = text.size();
      for (size_t k = eol + 1; k < next; ++k) pct += text[k] == '%';
      eol = next;
    }
    return eol;
  }

  // Calls on_line(start, end) for every comment and empty line (end after
  // its line feed) and on_record(start, end) for every record (end before
  // the line feed that closes it).
  template <typename Line, typename Record> void for_each_record(Line on_line, Record on_record) {
    size_t p = 0;
    while (p < text.size()) {
      if (text[p] == '\n' || text[p] == '#') {
        size_t nl = text.find('\n', p);
        size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
        on_line(p, end);
        p = end;
        continue;
      }
      size_t end = record_end(p);
      on_record(p, end);
      p = end + 1;
    }
  }

  // Names that rules keep as they are, gathered before the rewrite for the
  // prefix records and types whose names those rules also produce: a prefix
  // or type must not take such a name, or one event would carry two values
  // under it. A "prefix=" record opens a group that its "extendprefix="
  // records join.
  std::unordered_map<size_t, size_t> prefix_group; // record offset -> group
  std::vector<name_set> blocked_group;
  std::unordered_map<std::string, name_set> blocked_type;

  void plan() {
    for_each_record([](size_t, size_t) {}, [&](size_t p, size_t end) {
      std::string type_name;
      record_scan scan;
      const record_kind kind = classify(p, end, type_name, scan);
      if (kind == record_kind::prefix || (kind == record_kind::extendprefix && blocked_group.empty()))
        blocked_group.emplace_back();
      if (kind == record_kind::prefix || kind == record_kind::extendprefix)
        prefix_group[p] = blocked_group.size() - 1;
      if (kind != record_kind::rule) return;
      name_set keeps;
      for (const site &s : scan.sites) {
        std::string_view name = text.substr(s.off, s.len);
        if (!trivial(name) && stays(name, s.kind)) add_name(keeps, name);
      }
      if (keeps.empty()) return;
      if (!blocked_group.empty()) blocked_group.back().insert(keeps.begin(), keeps.end());
      for (const std::string &t : scan.inline_types) blocked_type[t].insert(keeps.begin(), keeps.end());
    });
    la_from = SIZE_MAX;
    la_to = 0;
  }

  void run() {
    plan();
    for_each_record([&](size_t p, size_t end) { out.append(text.substr(p, end - p)); },
                    [&](size_t p, size_t end) {
                      do_record(p, end);
                      if (end < text.size()) out += '\n';
                    });
  }

  // The kind of the record [p, end), the name of the type it defines and
  // its name sites.
  record_kind classify(size_t p, size_t end, std::string &type_name, record_scan &scan) const {
    std::string_view rec = text.substr(p, end - p);
    record_kind kind = record_kind::other;
    auto starts = [&](std::string_view w) { return rec.substr(0, w.size()) == w; };
    if (starts("rule=")) {
      kind = record_kind::rule;
      // Tags up to the first ":"; a value without one is all sample.
      size_t colon = rec.find(':', 5);
      size_t sample = colon == std::string_view::npos ? 5 : colon + 1;
      scan_sample(rec.substr(sample), p + sample, scan);
    } else if (starts("type=@")) {
      size_t colon = rec.find(':', 6);
      if (colon != std::string_view::npos) {
        type_name = std::string(rec.substr(6, colon - 6));
        bool ok = !type_name.empty() && type_name.size() < 1023;
        for (char c : type_name) ok = ok && !is_space(c);
        if (ok) {
          kind = record_kind::type;
          scan_sample(rec.substr(colon + 1), p + colon + 1, scan);
        }
      }
    } else if (starts("prefix=")) {
      kind = record_kind::prefix;
      scan_sample(rec.substr(7), p + 7, scan);
    } else if (starts("extendprefix=")) {
      kind = record_kind::extendprefix;
      scan_sample(rec.substr(13), p + 13, scan);
    } else if (starts("annotate=")) {
      kind = record_kind::annotate;
      scan_annotate(rec.substr(9), p + 9, scan);
    }
    return kind;
  }

  void do_record(size_t p, size_t end) {
    std::string_view rec = text.substr(p, end - p);
    std::string type_name;
    record_scan scan;
    const record_kind kind = classify(p, end, type_name, scan);

    used.clear();
    reserved.clear();
    kept.clear();
    inherited.clear();
    chosen.clear();
    if (kind == record_kind::prefix || kind == record_kind::extendprefix) {
      auto g = prefix_group.find(p);
      if (g != prefix_group.end())
        kept.insert(blocked_group[g->second].begin(), blocked_group[g->second].end());
    } else if (kind == record_kind::type) {
      auto b = blocked_type.find(type_name);
      if (b != blocked_type.end()) kept.insert(b->second.begin(), b->second.end());
    }
    if (kind == record_kind::prefix) prefix_names.clear();
    if (kind == record_kind::rule) inherited.push_back(&prefix_names);
    for (const std::string &t : scan.inline_types) {
      auto it = types.find(t);
      if (it == types.end()) continue;
      if (kind == record_kind::prefix || kind == record_kind::extendprefix)
        prefix_names.insert(it->second.begin(), it->second.end());
      else if (kind != record_kind::annotate)
        inherited.push_back(&it->second);
    }

    for (const site &s : scan.sites) {
      std::string_view name = text.substr(s.off, s.len);
      if (trivial(name)) continue;
      const name_info &ni = info(name, s.kind);
      if (!ni.ov.empty()) add_name(reserved, ni.ov);
      if (ni.stays) add_name(kept, name);
    }

    const size_t rec_out = out.size();
    size_t copied = p;
    for (const site &s : scan.sites) {
      std::string_view name = text.substr(s.off, s.len);
      if (trivial(name)) continue;
      std::string pick = choose(name, s.kind);
      out.append(text.substr(copied, s.off - copied));
      out += pick;
      copied = s.off + s.len;
    }
    out.append(text.substr(copied, end - copied));

    if (kind == record_kind::rule) {
      size_t colon = rec.find(':', 5);
      if (colon != std::string_view::npos && rec.substr(5, 1) != ",") {
        std::string_view tags = rec.substr(5, colon - 5);
        bool has = false;
        size_t a = 0;
        while (a <= tags.size()) {
          size_t b = tags.find(',', a);
          if (b == std::string_view::npos) b = tags.size();
          if (tags.substr(a, b - a) == "ecsnet") has = true;
          a = b + 1;
        }
        // Tags come before the first rewritten name, so the offset in the
        // output equals the offset in the record.
        rules.push_back({rec_out + colon, tags.empty(), has});
      }
    } else if (kind == record_kind::type) {
      name_set &set = types[type_name];
      set.insert(used.begin(), used.end());
      for (const name_set *s : inherited) set.insert(s->begin(), s->end());
    } else if (kind == record_kind::prefix || kind == record_kind::extendprefix) {
      prefix_names.insert(used.begin(), used.end());
    }
  }

  // Tags every rule "ecsnet" and adds the annotation that gives those events
  // event.category "network", unless the text already names event.category.
  std::string finish() {
    if (rules.empty() || out.find("event.category") != std::string::npos) return std::move(out);
    std::string r;
    r.reserve(out.size() + rules.size() * 7 + 64);
    size_t copied = 0;
    for (const rule_tags &t : rules) {
      r.append(out, copied, t.pos - copied);
      copied = t.pos;
      if (!t.has_ecsnet) r += t.empty ? "ecsnet" : ",ecsnet";
    }
    r.append(out, copied, std::string::npos);
    if (!r.empty() && r.back() != '\n') r += '\n';
    r += "annotate=ecsnet:+event.category=\"network\"\n";
    return r;
  }
};

} // namespace

char *vdr_ecs_translate(const char *rulebase, const char *aliases_json, const char *parser) {
  try {
    json_holder root;
    if (!parse_overlay(aliases_json, &root.v)) return nullptr;
    translator t;
    t.root = root.v;
    t.parser = parser;
    t.text = rulebase ? std::string_view(rulebase) : std::string_view();
    t.out.reserve(t.text.size() + t.text.size() / 8 + 64);
    t.run();
    std::string r = t.finish();
    char *copy = static_cast<char *>(malloc(r.size() + 1));
    if (!copy) return nullptr;
    memcpy(copy, r.data(), r.size() + 1);
    return copy;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}
