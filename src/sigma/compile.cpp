// The Sigma rule compiler and lint (see compile.h).
//
// Flow of one compilation: the text is split into documents and each is read
// into a YAML tree (compile_yaml), then into an sg_doc (one rule or one
// correlation). Every rule document is emitted into the builder: one
// selection record per selection, one predicate per field value, the
// condition in postfix order and the rule record. Routing buckets are laid
// out once all rules are known; the builder's tables then go to the database
// serializer, and the correlation and sidecar JSON texts are written.
#include "sigma/compile.h"

#include <arpa/inet.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/veldra.h"
#include "sigma/compile_yaml.h"
#include "sigma/sigma_format.h"

namespace {

using sg_yaml::node;

// A refused rule; the message names the document, line and key.
struct compile_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/* ---- documents ---------------------------------------------------------- */

struct sg_pair {
  std::string key; // field name with its modifiers, each introduced by '|'
  std::string val;
  bool null = false; // YAML null, "~" or nothing after the colon
  int line = 0;
};

struct sg_sel {
  std::string name;
  int line = 0;
  int part = 0; // 1, 2 ... for the mappings of a list-of-mappings selection
  std::vector<sg_pair> kv;
};

struct sg_doc {
  int index = 0; // 1-based position in the input
  int line = 0;  // first content line
  std::string title, name, id;
  std::string taxonomy = "sigma";
  std::string level = "medium";
  std::string verdict, hark_tier;
  std::string log_product, log_service, log_category;
  std::string condition;
  int condition_line = 0;
  std::string mitre;
  std::vector<sg_sel> sels;

  bool is_corr = false;
  int corr_line = 0;
  std::string corr_type;
  std::vector<std::string> corr_rules;
  int corr_rules_line = 0;
  std::vector<std::string> group_by;
  int timespan_s = -1; // -1: not given
  std::string corr_op; // empty: not given
  int64_t corr_count = 0;
  std::string corr_field;
};

std::string doc_where(const sg_doc &d, int line) {
  std::string s = "document " + std::to_string(d.index);
  if (!d.title.empty()) s += " (\"" + d.title + "\")";
  if (line > 0) s += ", line " + std::to_string(line);
  return s;
}

[[noreturn]] void doc_fail(const sg_doc &d, int line, const std::string &what) {
  throw compile_error(doc_where(d, line) + ": " + what);
}

std::string limit_text(size_t limit) { return " (limit " + std::to_string(limit) + ")"; }

// A value of a top-level or section key that must be a single value.
const std::string &scalar_of(const sg_doc &d, const sg_yaml::entry &e, size_t limit) {
  static const std::string empty;
  if (e.val.kind == node::MAP || e.val.kind == node::SEQ)
    doc_fail(d, e.line, "'" + e.key + "' must be a single value");
  if (e.val.text.size() > limit)
    doc_fail(d, e.line,
             "value of '" + e.key + "' is longer than " + std::to_string(limit) + " characters" +
                 limit_text(limit));
  return e.val.kind == node::NUL ? empty : e.val.text;
}

void read_tags(sg_doc &d, const sg_yaml::entry &e) {
  if (e.val.kind != node::SEQ) return;
  for (const node &item : e.val.seq) {
    if (item.kind != node::SCALAR) continue;
    const std::string &t = item.text;
    if (!d.mitre.empty() || t.compare(0, 8, "attack.t") != 0) continue;
    if (t.size() - 7 > 31) doc_fail(d, item.line, "ATT&CK tag is longer than 31 characters");
    d.mitre = t.substr(7);
    for (char &c : d.mitre) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  }
}

void read_logsource(sg_doc &d, const sg_yaml::entry &e) {
  if (e.val.kind == node::NUL) return;
  if (e.val.kind != node::MAP) doc_fail(d, e.line, "'logsource' must be a mapping");
  for (const sg_yaml::entry &k : e.val.map) {
    if (k.key == "product") d.log_product = scalar_of(d, k, 31);
    else if (k.key == "service") d.log_service = scalar_of(d, k, 31);
    else if (k.key == "category") d.log_category = scalar_of(d, k, 31);
  }
}

void add_pair(sg_doc &d, sg_sel &s, const std::string &key, const node &v, int line) {
  if (s.kv.size() >= SG_MAX_PAIRS_PER_SEL)
    doc_fail(d, line,
             "selection '" + s.name + "' has more than " + std::to_string(SG_MAX_PAIRS_PER_SEL) +
                 " values" + limit_text(SG_MAX_PAIRS_PER_SEL));
  if (v.text.size() > SG_MAX_VALUE)
    doc_fail(d, v.line ? v.line : line,
             "value of '" + key + "' is longer than " + std::to_string(SG_MAX_VALUE) +
                 " characters" + limit_text(SG_MAX_VALUE));
  if (v.text.find('\0') != std::string::npos) doc_fail(d, line, "value of '" + key + "' holds a NUL byte");
  sg_pair p;
  p.key = key;
  p.val = v.text;
  p.null = v.kind == node::NUL;
  p.line = v.line ? v.line : line;
  s.kv.push_back(std::move(p));
}

// The field keys of one mapping become the pairs of one selection.
void read_map(sg_doc &d, sg_sel &s, const node &m) {
  for (const sg_yaml::entry &f : m.map) {
    if (f.key.size() > SG_MAX_KEY)
      doc_fail(d, f.line,
               "key '" + f.key + "' is longer than " + std::to_string(SG_MAX_KEY) +
                   " characters" + limit_text(SG_MAX_KEY));
    if (f.val.kind == node::MAP)
      doc_fail(d, f.line, "key '" + f.key + "': a field takes a value or a list of values");
    if (f.val.kind != node::SEQ) {
      add_pair(d, s, f.key, f.val, f.line);
      continue;
    }
    for (const node &item : f.val.seq) {
      if (item.kind == node::MAP || item.kind == node::SEQ)
        doc_fail(d, item.line, "key '" + f.key + "': list items must be single values");
      add_pair(d, s, f.key, item, f.line);
    }
  }
}

void push_selection(sg_doc &d, sg_sel s) {
  if (d.sels.size() >= SG_MAX_SELS_PER_DOC)
    doc_fail(d, s.line,
             "more than " + std::to_string(SG_MAX_SELS_PER_DOC) + " selections in one rule" +
                 limit_text(SG_MAX_SELS_PER_DOC) +
                 (s.part ? "; each mapping of a list counts as one" : ""));
  d.sels.push_back(std::move(s));
}

// A selection is a mapping (an AND of its keys) or a list of mappings (an OR
// of them): each mapping of a list becomes a selection of its own, all under
// the list's name, which the condition reads as their OR.
void read_selection(sg_doc &d, const sg_yaml::entry &e) {
  if (e.key.size() > 63)
    doc_fail(d, e.line, "selection name is longer than 63 characters" + limit_text(63));
  const node &v = e.val;
  if (v.kind == node::NUL) doc_fail(d, e.line, "selection '" + e.key + "' is empty");
  if (v.kind == node::SCALAR || (v.kind == node::SEQ && !v.seq.empty() &&
                                 v.seq.front().kind == node::SCALAR))
    doc_fail(d, e.line,
             "selection '" + e.key +
                 "' is a keyword selection (a bare value or list of values), which is not "
                 "supported; name the field the values are matched against");
  if (v.kind == node::MAP) {
    sg_sel s;
    s.name = e.key;
    s.line = e.line;
    read_map(d, s, v);
    push_selection(d, std::move(s));
    return;
  }
  int part = 0;
  for (const node &m : v.seq) {
    int line = m.line ? m.line : e.line;
    if (m.kind != node::MAP)
      doc_fail(d, line,
               "selection '" + e.key +
                   "': every item of a list of mappings must be a mapping");
    sg_sel s;
    s.name = e.key;
    s.line = line;
    s.part = ++part;
    read_map(d, s, m);
    push_selection(d, std::move(s));
  }
}

void set_condition(sg_doc &d, const sg_yaml::entry &e) {
  d.condition_line = e.line;
  if (e.val.kind == node::MAP) doc_fail(d, e.line, "'condition' must be a text or a list of texts");
  if (e.val.kind != node::SEQ) {
    d.condition = scalar_of(d, e, SG_MAX_CONDITION);
    return;
  }
  // A list of conditions: the rule fires when any of them holds.
  std::string all;
  for (const node &item : e.val.seq) {
    if (item.kind != node::SCALAR)
      doc_fail(d, item.line ? item.line : e.line, "'condition' list items must be texts");
    if (item.text.size() > SG_MAX_CONDITION)
      doc_fail(d, item.line,
               "condition is longer than " + std::to_string(SG_MAX_CONDITION) + " characters" +
                   limit_text(SG_MAX_CONDITION));
    if (!all.empty()) all += " or ";
    all += "(" + item.text + ")";
  }
  d.condition = all;
}

void read_detection(sg_doc &d, const sg_yaml::entry &e) {
  if (e.val.kind != node::MAP) doc_fail(d, e.line, "'detection' must be a mapping");
  for (const sg_yaml::entry &k : e.val.map) {
    if (k.key == "condition") set_condition(d, k);
    else if (k.key == "timeframe")
      doc_fail(d, k.line,
               "'timeframe' is not supported; write a correlation document with a timespan");
    else read_selection(d, k);
  }
}

// Timespan: digits followed by s, m, h or d (or nothing: seconds).
int parse_timespan(const sg_doc &d, const sg_yaml::entry &e) {
  const std::string &t = scalar_of(d, e, 31);
  size_t i = 0;
  int64_t v = 0;
  while (i < t.size() && isdigit(static_cast<unsigned char>(t[i]))) {
    v = v * 10 + (t[i] - '0');
    if (v > INT32_MAX) doc_fail(d, e.line, "timespan '" + t + "' is too large");
    ++i;
  }
  std::string unit = t.substr(i);
  int64_t mul = unit.empty() || unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600
                : unit == "d" ? 86400 : 0;
  if (i == 0 || mul == 0)
    doc_fail(d, e.line,
             "timespan '" + t + "' is not a number followed by s, m, h or d (such as 5m)");
  v *= mul;
  if (v > INT32_MAX) doc_fail(d, e.line, "timespan '" + t + "' is too large");
  if (v == 0) doc_fail(d, e.line, "timespan must be greater than zero");
  return static_cast<int>(v);
}

// A strict signed decimal 64-bit integer.
bool parse_int64(std::string_view s, int64_t &out) {
  size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  if (i == s.size()) return false;
  uint64_t v = 0;
  const uint64_t lim = neg ? static_cast<uint64_t>(INT64_MAX) + 1 : INT64_MAX;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    unsigned dgt = static_cast<unsigned>(s[i] - '0');
    if (v > (lim - dgt) / 10) return false;
    v = v * 10 + dgt;
  }
  out = neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  return true;
}

const char *const kCorrTypes[] = {"event_count", "value_count", "temporal", "temporal_ordered",
                                  "value_sum",   "value_avg",   "value_percentile",
                                  "value_median"};

void read_name_list(sg_doc &d, const sg_yaml::entry &e, std::vector<std::string> &out,
                    const char *what) {
  std::vector<const node *> items;
  if (e.val.kind == node::SCALAR) items.push_back(&e.val);
  else if (e.val.kind == node::SEQ)
    for (const node &n : e.val.seq) items.push_back(&n);
  else doc_fail(d, e.line, std::string("'") + what + "' must be a name or a list of names");
  for (const node *n : items) {
    if (n->kind != node::SCALAR || n->text.empty())
      doc_fail(d, n->line ? n->line : e.line, std::string("'") + what + "' items must be names");
    if (out.size() >= SG_MAX_CORR_ITEMS)
      doc_fail(d, n->line,
               std::string("more than ") + std::to_string(SG_MAX_CORR_ITEMS) + " items in '" +
                   what + "'" + limit_text(SG_MAX_CORR_ITEMS));
    if (n->text.size() > 63)
      doc_fail(d, n->line,
               std::string("an item of '") + what + "' is longer than 63 characters" +
                   limit_text(63));
    out.push_back(n->text);
  }
}

void read_correlation(sg_doc &d, const sg_yaml::entry &e) {
  d.is_corr = true;
  d.corr_line = e.line;
  if (e.val.kind != node::MAP) doc_fail(d, e.line, "'correlation' must be a mapping");
  for (const sg_yaml::entry &k : e.val.map) {
    if (k.key == "type") {
      d.corr_type = scalar_of(d, k, 31);
      if (std::find_if(std::begin(kCorrTypes), std::end(kCorrTypes), [&](const char *t) {
            return d.corr_type == t;
          }) == std::end(kCorrTypes))
        doc_fail(d, k.line,
                 "unknown correlation type '" + d.corr_type +
                     "' (event_count, value_count, temporal, temporal_ordered, value_sum, "
                     "value_avg, value_percentile, value_median)");
    } else if (k.key == "rules") {
      d.corr_rules_line = k.line;
      read_name_list(d, k, d.corr_rules, "rules");
    } else if (k.key == "group-by") {
      read_name_list(d, k, d.group_by, "group-by");
    } else if (k.key == "timespan") {
      d.timespan_s = parse_timespan(d, k);
    } else if (k.key == "generate") {
      // Whether base rules also alert on their own: the base rules are
      // compiled as rules in any case.
    } else if (k.key == "condition") {
      if (k.val.kind != node::MAP)
        doc_fail(d, k.line, "correlation 'condition' must be a mapping such as 'gte: 10'");
      for (const sg_yaml::entry &c : k.val.map) {
        if (c.key == "field") {
          d.corr_field = scalar_of(d, c, 95);
          continue;
        }
        if (c.key != "gt" && c.key != "gte" && c.key != "lt" && c.key != "lte" && c.key != "eq")
          doc_fail(d, c.line,
                   "unknown correlation condition key '" + c.key +
                       "' (gt, gte, lt, lte, eq, field)");
        if (!d.corr_op.empty())
          doc_fail(d, c.line, "a correlation condition takes one comparison (gt, gte, lt, lte or eq)");
        const std::string &num = scalar_of(d, c, 31);
        if (!parse_int64(num, d.corr_count) || d.corr_count < 0)
          doc_fail(d, c.line, "correlation condition '" + c.key + "' needs a whole number, not '" +
                                  num + "'");
        d.corr_op = c.key;
      }
    } else {
      doc_fail(d, k.line, "unsupported correlation key '" + k.key + "'");
    }
  }
  if (d.corr_rules.empty()) doc_fail(d, e.line, "correlation names no 'rules'");
  const bool needs_field = d.corr_type == "value_count" || d.corr_type == "value_sum" ||
                           d.corr_type == "value_avg" || d.corr_type == "value_percentile" ||
                           d.corr_type == "value_median";
  if (needs_field && d.corr_field.empty())
    doc_fail(d, e.line, "correlation type " + d.corr_type + " needs 'field' in its condition");
}

// Reads one document's tree into an sg_doc. Throws compile_error.
sg_doc read_doc(const sg_yaml::document &yd, const node &root) {
  sg_doc d;
  d.index = yd.index;
  d.line = yd.first_line;
  if (root.kind != node::MAP) doc_fail(d, root.line, "a rule must be a mapping of keys");
  if (const sg_yaml::entry *t = root.get_entry("title")) d.title = scalar_of(d, *t, 127);
  if (yd.hark_tier.size() > 15)
    doc_fail(d, 0, "hark-tier comment is longer than 15 characters" + limit_text(15));
  d.hark_tier = yd.hark_tier;
  for (const sg_yaml::entry &e : root.map) {
    const std::string &k = e.key;
    if (k == "title") continue;
    else if (k == "name") d.name = scalar_of(d, e, 63);
    else if (k == "id") d.id = scalar_of(d, e, 63);
    else if (k == "taxonomy") d.taxonomy = scalar_of(d, e, 15);
    else if (k == "level") d.level = scalar_of(d, e, 15);
    else if (k == "hark_verdict") d.verdict = scalar_of(d, e, 15);
    else if (k == "condition") set_condition(d, e);
    else if (k == "detection") read_detection(d, e);
    else if (k == "logsource") read_logsource(d, e);
    else if (k == "tags") read_tags(d, e);
    else if (k == "correlation") read_correlation(d, e);
  }
  return d;
}

/* ---- builder ------------------------------------------------------------- */

// Severity and score from the level.
int level_sev(std::string_view level) {
  if (level == "informational") return 0;
  if (level == "low") return 1;
  if (level == "high") return 3;
  if (level == "critical") return 4;
  return 2;
}
const uint16_t level_score[5] = {5, 10, 20, 35, 50};

uint8_t bake_verdict(const sg_doc &d) {
  if (d.verdict == "benign") return SIGMA_VERDICT_BENIGN;
  if (d.verdict == "escalate") return SIGMA_VERDICT_ESCALATE;
  if (!d.verdict.empty()) return SIGMA_VERDICT_ALERT;
  return d.level == "informational" ? SIGMA_VERDICT_BENIGN : SIGMA_VERDICT_ALERT;
}

struct sg_b {
  std::string pool;
  std::vector<sigma_str_t> fields, values;
  std::unordered_map<std::string, uint32_t> field_index;
  std::vector<sigma_pred_t> preds;
  std::vector<sigma_sel_t> sels;
  std::vector<sigma_ctok_t> cond;
  std::vector<sigma_rule_t> rules;
  std::vector<sigma_cidr_t> cidrs;
  std::unordered_map<std::string, uint32_t> cidr_index; // record bytes to position
  std::vector<std::vector<std::string>> rule_keys; // routing keys per rule
  std::vector<sigma_str_t> bkeys;
  std::vector<sigma_bucket_t> buckets;
  std::vector<uint32_t> bucket_idx;
};

// Appends to the pool; the pool's limit is a compile error, named after the
// document whose text did not fit (d null: a routing key).
uint32_t pool_add(sg_b &b, std::string_view s, bool nul, const sg_doc *d, int line) {
  if (b.pool.size() + s.size() + (nul ? 1 : 0) > SG_MAX_POOL) {
    if (!d) throw compile_error("string pool full" + limit_text(SG_MAX_POOL));
    doc_fail(*d, line, "string pool full" + limit_text(SG_MAX_POOL));
  }
  uint32_t off = static_cast<uint32_t>(b.pool.size());
  b.pool.append(s);
  if (nul) b.pool.push_back('\0');
  return off;
}

uint32_t field_id(sg_b &b, const std::string &name, const sg_doc &d, int line) {
  auto it = b.field_index.find(name);
  if (it != b.field_index.end()) return it->second;
  if (b.fields.size() >= SG_MAX_FIELD_NAMES)
    doc_fail(d, line, "too many field names" + limit_text(SG_MAX_FIELD_NAMES));
  uint32_t off = pool_add(b, name, true, &d, line);
  b.fields.push_back({off, static_cast<uint32_t>(name.size())});
  uint32_t id = static_cast<uint32_t>(b.fields.size() - 1);
  b.field_index.emplace(name, id);
  return id;
}

// Literal values, titles and technique ids; not de-duplicated.
uint32_t value_id(sg_b &b, std::string_view v, const sg_doc &d, int line) {
  if (b.values.size() >= UINT32_MAX - 1) doc_fail(d, line, "value table full");
  uint32_t off = pool_add(b, v, false, &d, line);
  b.values.push_back({off, static_cast<uint32_t>(v.size())});
  return static_cast<uint32_t>(b.values.size() - 1);
}

struct sg_mods {
  bool re_i = false, re_m = false, re_s = false, expand = false;
};

struct field_mod {
  std::string field;
  uint8_t op = SIGMA_OP_EQ;
  uint8_t flags = 0;
  sg_mods mods;
  bool all = false;     // every value of the key must hold (each its own group)
  bool windash = false; // each '-' also matches '/', en dash, em dash, horizontal bar
  std::string chain;    // the modifiers as written, for lint
};

field_mod parse_field_mod(const sg_doc &d, const sg_pair &p) {
  field_mod fm;
  size_t bar = p.key.find('|');
  fm.field = p.key.substr(0, bar);
  if (fm.field.empty()) doc_fail(d, p.line, "key '" + p.key + "' has no field name");
  if (bar == std::string::npos) return fm;
  fm.chain = p.key.substr(bar + 1);
  std::string_view rest = fm.chain;
  while (true) {
    size_t nb = rest.find('|');
    std::string_view m = rest.substr(0, nb);
    if (m == "cased") fm.flags |= SIGMA_PF_CASE;
    else if (m == "not") fm.flags |= SIGMA_PF_NEGATE;
    else if (m == "expand") fm.mods.expand = true;
    else if (m == "all") fm.all = true;
    else if (m == "windash") fm.windash = true;
    else if (m == "contains") fm.op = SIGMA_OP_CONTAINS;
    else if (m == "startswith") fm.op = SIGMA_OP_STARTSWITH;
    else if (m == "endswith") fm.op = SIGMA_OP_ENDSWITH;
    else if (m == "exists") fm.op = SIGMA_OP_EXISTS;
    else if (m == "gt") fm.op = SIGMA_OP_GT;
    else if (m == "gte") fm.op = SIGMA_OP_GTE;
    else if (m == "lt") fm.op = SIGMA_OP_LT;
    else if (m == "lte") fm.op = SIGMA_OP_LTE;
    else if (m == "re") fm.op = SIGMA_OP_RE;
    else if (m == "cidr") fm.op = SIGMA_OP_CIDR;
    else if ((m == "i" || m == "ignorecase") && fm.op == SIGMA_OP_RE) fm.mods.re_i = true;
    else if ((m == "m" || m == "multiline") && fm.op == SIGMA_OP_RE) fm.mods.re_m = true;
    else if ((m == "s" || m == "dotall") && fm.op == SIGMA_OP_RE) fm.mods.re_s = true;
    else
      doc_fail(d, p.line,
               "key '" + p.key + "': unsupported field modifier '" + std::string(m) + "'");
    if (nb == std::string_view::npos) break;
    rest = rest.substr(nb + 1);
  }
  if (fm.op == SIGMA_OP_RE && !fm.mods.re_i) fm.flags |= SIGMA_PF_CASE;
  if (fm.windash && fm.op != SIGMA_OP_EQ && fm.op != SIGMA_OP_CONTAINS &&
      fm.op != SIGMA_OP_STARTSWITH && fm.op != SIGMA_OP_ENDSWITH)
    doc_fail(d, p.line,
             "key '" + p.key + "': windash applies to text comparisons (equality, contains, "
                               "startswith, endswith), not to '" + fm.chain + "'");
  return fm;
}

// A network prefix "address/bits", de-duplicated in the builder.
uint32_t add_cidr(sg_b &b, const sg_doc &d, const sg_pair &p, const std::string &v) {
  auto bad = [&](const std::string &why) {
    doc_fail(d, p.line, "key '" + p.key + "': " + why + " ('" + v + "')");
  };
  if (v.empty()) bad("empty cidr");
  size_t slash = v.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == v.size())
    bad("cidr needs address/prefix");
  std::string addr = v.substr(0, slash);
  if (addr.size() >= 128) bad("cidr address too long");
  const bool v6 = addr.find(':') != std::string::npos;
  const unsigned max = v6 ? 128 : 32;
  const char *fam_err = v6 ? "invalid ipv6 cidr" : "invalid ipv4 cidr";
  unsigned prefix = 0;
  std::string_view bits = std::string_view(v).substr(slash + 1);
  if (bits.size() > 3) bad(fam_err);
  for (char c : bits) {
    if (c < '0' || c > '9') bad(fam_err);
    prefix = prefix * 10 + static_cast<unsigned>(c - '0');
  }
  if (prefix > max) bad(fam_err);
  sigma_cidr_t c{};
  c.family = v6 ? 6 : 4;
  c.prefix = static_cast<uint8_t>(prefix);
  if (inet_pton(v6 ? AF_INET6 : AF_INET, addr.c_str(), c.net) != 1) bad(fam_err);
  for (unsigned i = 0; i < 16; ++i) {
    unsigned keep = prefix > i * 8 ? std::min(8u, prefix - i * 8) : 0;
    c.net[i] &= static_cast<uint8_t>(keep == 8 ? 0xFF : (0xFF00 >> keep) & 0xFF);
  }
  std::string key(reinterpret_cast<const char *>(&c), sizeof c);
  auto it = b.cidr_index.find(key);
  if (it != b.cidr_index.end()) return it->second;
  if (b.cidrs.size() >= SG_MAX_CIDRS) bad("too many cidrs" + limit_text(SG_MAX_CIDRS));
  b.cidrs.push_back(c);
  uint32_t id = static_cast<uint32_t>(b.cidrs.size() - 1);
  b.cidr_index.emplace(std::move(key), id);
  return id;
}

// Checks that a pattern compiles, so that no predicate is dropped at load.
void check_regex(const sg_doc &d, const sg_pair &p, const std::string &pat, bool caseless) {
  int code = 0;
  PCRE2_SIZE off = 0;
  pcre2_code *re = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pat.data()), pat.size(),
                                 PCRE2_NEVER_BACKSLASH_C | (caseless ? PCRE2_CASELESS : 0), &code,
                                 &off, nullptr);
  if (re) {
    pcre2_code_free(re);
    return;
  }
  if (code == PCRE2_ERROR_NOMEMORY) throw std::bad_alloc();
  PCRE2_UCHAR msg[256];
  pcre2_get_error_message(code, msg, sizeof msg);
  doc_fail(d, p.line,
           "key '" + p.key + "': invalid regular expression: " +
               reinterpret_cast<const char *>(msg) + " at offset " + std::to_string(off));
}

// One piece of a Sigma string value: a literal byte or an unescaped wildcard.
struct vpiece {
  char c;
  bool wild;
};

// Reads the Sigma escapes: "\*", "\?" and "\\" stand for the character; any
// other backslash is itself; an unescaped '*' or '?' is a wildcard.
std::vector<vpiece> read_sigma_string(std::string_view s) {
  std::vector<vpiece> out;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '*' || s[i + 1] == '?' || s[i + 1] == '\\')) {
      out.push_back({s[++i], false});
    } else {
      out.push_back({c, c == '*' || c == '?'});
    }
  }
  return out;
}

constexpr size_t kMaxPattern = 1300;

// What windash lets a '-' stand for: itself, '/', the en dash, the em dash and
// the horizontal bar (U+2013, U+2014, U+2015 in UTF-8).
const char *const kDashes[] = {"-", "/", "\xE2\x80\x93", "\xE2\x80\x94", "\xE2\x80\x95"};
constexpr const char *kDashClass = "(?:-|/|\xE2\x80\x93|\xE2\x80\x94|\xE2\x80\x95)";
// Up to this many dashes a windash value becomes its spelled-out variants
// (5 per dash, plain literals the prefilter can use); beyond, one pattern.
constexpr size_t kWindashSpelled = 2;

// The windash variants of a value, the value itself first; every '-' varies
// independently. Empty when the value has too many dashes to spell out.
std::vector<std::string> windash_variants(const std::string &v) {
  std::vector<std::string> segs; // the text between the dashes
  for (size_t from = 0;;) {
    size_t at = v.find('-', from);
    segs.push_back(v.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) break;
    from = at + 1;
  }
  size_t dashes = segs.size() - 1;
  if (dashes > kWindashSpelled) return {};
  size_t n = 1;
  for (size_t i = 0; i < dashes; ++i) n *= std::size(kDashes);
  std::vector<std::string> out;
  for (size_t k = 0; k < n; ++k) {
    std::string s = segs[0];
    for (size_t i = 1, code = k; i < segs.size(); ++i, code /= std::size(kDashes))
      s += kDashes[code % std::size(kDashes)], s += segs[i];
    out.push_back(std::move(s));
  }
  return out;
}

// The operator and value of a string comparison. The modifier's own
// wildcards (contains, startswith, endswith) are flags beside the value, so
// they never meet the value's escapes.
//
// With dash_class every '-' of the value matches any of the dashes windash
// accepts, which only a regular expression can say.
void emit_string(sg_b &b, const sg_doc &d, const sg_pair &p, const std::string &v,
                 sigma_pred_t &pr, bool dash_class) {
  bool lead = pr.op == SIGMA_OP_CONTAINS || pr.op == SIGMA_OP_ENDSWITH;
  bool trail = pr.op == SIGMA_OP_CONTAINS || pr.op == SIGMA_OP_STARTSWITH;
  std::vector<vpiece> pcs = read_sigma_string(v);
  size_t from = 0, to = pcs.size();
  if (to > from && pcs[from].wild && pcs[from].c == '*') lead = true, ++from;
  if (to > from && pcs[to - 1].wild && pcs[to - 1].c == '*') trail = true, --to;
  bool wild = false;
  for (size_t i = from; i < to; ++i) wild |= pcs[i].wild || (dash_class && pcs[i].c == '-');
  std::string out;
  if (wild) {
    out = lead ? "^.*" : "^";
    for (size_t i = from; i < to; ++i) {
      const vpiece &q = pcs[i];
      unsigned char c = static_cast<unsigned char>(q.c);
      if (q.wild) out += q.c == '*' ? ".*" : ".";
      else if (dash_class && q.c == '-') out += kDashClass;
      else if (isalnum(c) || c == '_') out += q.c;
      else out += '\\', out += q.c;
    }
    out += trail ? ".*$" : "$";
    pr.op = SIGMA_OP_RE;
    if (out.size() > kMaxPattern)
      doc_fail(d, p.line, "key '" + p.key + "': value too long" + limit_text(kMaxPattern));
    check_regex(d, p, out, !(pr.flags & SIGMA_PF_CASE));
  } else {
    for (size_t i = from; i < to; ++i) out += pcs[i].c;
    pr.op = lead && trail ? SIGMA_OP_CONTAINS
            : lead        ? SIGMA_OP_ENDSWITH
            : trail       ? SIGMA_OP_STARTSWITH
                          : SIGMA_OP_EQ;
  }
  pr.value_id = value_id(b, out, d, p.line);
}

void emit_value(sg_b &b, const sg_doc &d, const sg_pair &p, const field_mod &fm,
                sigma_pred_t &pr) {
  std::string v = p.val;
  if (fm.mods.expand) {
    if (v.size() < 2 || v.front() != '%' || v.back() != '%')
      doc_fail(d, p.line, "key '" + p.key + "': |expand value is not a %placeholder%");
    std::string name = v.substr(1, v.size() - 2);
    if (name != "agg_egress")
      doc_fail(d, p.line, "key '" + p.key + "': unresolved |expand placeholder: " + name);
    v = "255.255.255.255/32";
  }
  switch (pr.op) {
  case SIGMA_OP_EXISTS: {
    std::string l = v;
    for (char &c : l) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (l == "false") pr.flags ^= SIGMA_PF_NEGATE;
    else if (l != "true")
      doc_fail(d, p.line, "key '" + p.key + "': exists takes true or false, not '" + v + "'");
    pr.flags &= static_cast<uint8_t>(~SIGMA_PF_CASE);
    return;
  }
  case SIGMA_OP_GT:
  case SIGMA_OP_GTE:
  case SIGMA_OP_LT:
  case SIGMA_OP_LTE:
    if (!parse_int64(v, pr.ival))
      doc_fail(d, p.line,
               "key '" + p.key + "': '" + v + "' is not a whole number in the 64-bit range");
    return;
  case SIGMA_OP_RE: {
    std::string pat = fm.mods.re_m && fm.mods.re_s ? "(?ms)"
                      : fm.mods.re_m               ? "(?m)"
                      : fm.mods.re_s               ? "(?s)"
                                                   : "";
    pat += v;
    if (pat.size() > SG_MAX_REGEX)
      doc_fail(d, p.line, "key '" + p.key + "': regex too long" + limit_text(SG_MAX_REGEX));
    check_regex(d, p, pat, !(pr.flags & SIGMA_PF_CASE));
    pr.value_id = value_id(b, pat, d, p.line);
    return;
  }
  case SIGMA_OP_CIDR:
    pr.value_id = add_cidr(b, d, p, v);
    return;
  default:
    emit_string(b, d, p, v, pr, fm.windash);
  }
}

// Condition tokens of the tokenizer.
enum { TK_SEL = 1, TK_AND, TK_OR, TK_NOT, TK_LP, TK_RP };
const int prec[] = {0, 0, 2, 1, 3, 0, 0};

bool word_char(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// A selection name pattern: '*' stands for any run of characters.
bool glob_match(std::string_view pat, std::string_view name) {
  size_t p = 0, n = 0, star = std::string_view::npos, back = 0;
  while (n < name.size()) {
    if (p < pat.size() && pat[p] == '*') {
      star = p++;
      back = n;
    } else if (p < pat.size() && pat[p] == name[n]) {
      ++p, ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++back;
    } else {
      return false;
    }
  }
  while (p < pat.size() && pat[p] == '*') ++p;
  return p == pat.size();
}

// Infix condition to postfix tokens, checking the form as it goes: an operand
// is expected at the start, after an operator and after '('.
void compile_condition(const sg_doc &d, std::vector<sigma_ctok_t> &out) {
  const std::string &s = d.condition;
  auto bad = [&](const std::string &why) {
    doc_fail(d, d.condition_line, "condition '" + s + "': " + why);
  };
  std::vector<int> ops;
  bool want_operand = true;
  auto emit = [&](int tk, uint32_t sel) {
    sigma_ctok_t t{};
    t.kind = tk == TK_SEL ? SIGMA_C_SEL : tk == TK_AND ? SIGMA_C_AND : tk == TK_OR ? SIGMA_C_OR
                                                                                    : SIGMA_C_NOT;
    t.sel_idx = sel;
    out.push_back(t);
  };
  // A selection name is the OR of the selections under it: one, or one per
  // mapping of a list of mappings (they are adjacent).
  auto emit_named = [&](std::string_view name) {
    size_t k = 0;
    while (k < d.sels.size() && d.sels[k].name != name) ++k;
    if (k == d.sels.size()) return false;
    for (size_t j = k; j < d.sels.size() && d.sels[j].name == name; ++j) {
      emit(TK_SEL, static_cast<uint32_t>(j));
      if (j > k) emit(TK_OR, 0);
    }
    return true;
  };
  size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    if (c == ' ' || c == '\t') {
      ++i;
      continue;
    }
    if (c == '(') {
      if (!want_operand) bad("'(' after an operand; an operator ('and', 'or') is missing");
      if (ops.size() >= 64) bad("nested too deeply (limit 64)");
      ops.push_back(TK_LP);
      ++i;
      continue;
    }
    if (c == ')') {
      if (want_operand) bad("')' where a selection name was expected");
      while (!ops.empty() && ops.back() != TK_LP) emit(ops.back(), 0), ops.pop_back();
      if (ops.empty()) bad("unbalanced ) in condition");
      ops.pop_back();
      ++i;
      continue;
    }
    size_t j = i;
    while (j < s.size() && (word_char(s[j]) || s[j] == '-')) ++j;
    if (j == i) bad(std::string("bad token in condition at '") + c + "'");
    std::string_view w = std::string_view(s).substr(i, j - i);
    i = j;
    int tk = w == "and" ? TK_AND : w == "or" ? TK_OR : w == "not" ? TK_NOT : TK_SEL;
    if (tk == TK_SEL) {
      if (!want_operand) bad("'" + std::string(w) + "' follows an operand; 'and' or 'or' is missing");
      // "1 of PATTERN" and "all of PATTERN" (PATTERN a name with '*'
      // wildcards, or "them"): the OR or AND of the matching selections.
      size_t n = i;
      while (n < s.size() && (s[n] == ' ' || s[n] == '\t')) ++n;
      bool quantified = s.compare(n, 2, "of") == 0 && (n + 2 == s.size() || !word_char(s[n + 2]));
      if (!quantified) {
        if (!emit_named(w)) bad("condition names a missing selection '" + std::string(w) + "'");
        want_operand = false;
        continue;
      }
      if (w != "1" && w != "all")
        bad("'" + std::string(w) + " of' is not supported; write '1 of' or 'all of'");
      size_t p0 = n + 2;
      while (p0 < s.size() && (s[p0] == ' ' || s[p0] == '\t')) ++p0;
      size_t p1 = p0;
      while (p1 < s.size() && (word_char(s[p1]) || s[p1] == '-' || s[p1] == '*')) ++p1;
      if (p1 == p0 || p0 == n + 2) bad("'" + std::string(w) + " of' needs a selection pattern or 'them'");
      std::string_view pat = std::string_view(s).substr(p0, p1 - p0);
      i = p1;
      bool them = pat == "them";
      size_t matched = 0;
      for (size_t k = 0; k < d.sels.size(); ++k) {
        const std::string &name = d.sels[k].name;
        if (k > 0 && d.sels[k - 1].name == name) continue; // later mappings of a list
        // "them" leaves out the names starting with '_', by Sigma convention
        // kept for helper selections that are referred to by name.
        if (them ? name[0] == '_' : !glob_match(pat, name)) continue;
        emit_named(name);
        if (matched++) emit(w == "1" ? TK_OR : TK_AND, 0);
      }
      if (matched == 0)
        bad("'" + std::string(w) + " of " + std::string(pat) + "' matches no selection");
      want_operand = false;
    } else if (tk == TK_NOT) {
      if (!want_operand) bad("'not' follows an operand; 'and' or 'or' is missing");
      if (ops.size() >= 64) bad("nested too deeply (limit 64)");
      ops.push_back(TK_NOT); // prefix: pops nothing, so "not not a" reads as it should
    } else {
      if (want_operand) bad("'" + std::string(w) + "' where a selection name was expected");
      while (!ops.empty() && ops.back() != TK_LP && prec[ops.back()] >= prec[tk])
        emit(ops.back(), 0), ops.pop_back();
      if (ops.size() >= 64) bad("nested too deeply (limit 64)");
      ops.push_back(tk);
      want_operand = true;
    }
  }
  if (want_operand) bad(out.empty() && ops.empty() ? "empty condition" : "ends where a selection name was expected");
  while (!ops.empty()) {
    if (ops.back() == TK_LP) bad("unbalanced ( in condition");
    emit(ops.back(), 0);
    ops.pop_back();
  }
}

// Routing keys of a rule: each logsource value, its category first.
struct route_row {
  const char *token, *category;
};
const route_row logsource_category[] = {
    {"webserver", "web"},
    {"proxy", "web"},
    {"firewall", "network"},
    {"network_connection", "network"},
    {"zeek", "network"},
    {"dns", "dns"},
    {"dns_query", "dns"},
    {"ids", "intrusion_detection"},
    {"authentication", "authentication"},
    {"ps_script", "process"},
    {"sshd", "authentication"},
    {"auth", "authentication"},
    {"sudo", "authentication"},
    {"login", "authentication"},
    {"pam", "authentication"},
    {"smtp", "email"},
    {"mail", "email"},
    {"process_creation", "process"},
    {"process_access", "process"},
    {"ps_module", "process"},
};

std::vector<std::string> bucket_keys(const sg_doc &d) {
  std::vector<std::string> keys;
  auto add = [&](const std::string &k) {
    if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
  };
  for (const std::string *v : {&d.log_category, &d.log_service, &d.log_product}) {
    if (v->empty()) continue;
    const route_row *row = nullptr;
    for (const route_row &r : logsource_category)
      if (*v == r.token) row = &r;
    if (row) {
      add(row->category);
      if (*v != row->category) add(*v);
    } else {
      add(*v);
    }
  }
  if (keys.empty()) keys.push_back("");
  return keys;
}

// Emits one rule document into the builder.
void emit_rule(sg_b &b, const sg_doc &d) {
  if (d.sels.empty()) doc_fail(d, d.line, "detection has no selections");
  if (b.rules.size() >= SG_MAX_RULES)
    doc_fail(d, d.line, "too many rules" + limit_text(SG_MAX_RULES));
  if (b.sels.size() + d.sels.size() > SG_MAX_SELS)
    doc_fail(d, d.line, "too many selections" + limit_text(SG_MAX_SELS));
  sigma_rule_t r{};
  r.rule_id = static_cast<uint32_t>(b.rules.size() + 1);
  r.sel_start = static_cast<uint32_t>(b.sels.size());
  r.sel_count = static_cast<uint32_t>(d.sels.size());
  for (const sg_sel &s : d.sels) {
    // Pairs of one field share a group; the group's predicates are laid out
    // together so the evaluator reads them as one run of alternatives.
    std::vector<std::string> names;
    std::vector<std::pair<uint16_t, sigma_pred_t>> preds;
    for (const sg_pair &p : s.kv) {
      field_mod fm = parse_field_mod(d, p);
      // With "all" every value must hold: each opens a group of its own (a
      // name no field can have keeps it apart from the field's other keys).
      std::string group_name = fm.all ? "|all" + std::to_string(&p - s.kv.data()) : fm.field;
      size_t g = std::find(names.begin(), names.end(), group_name) - names.begin();
      if (g == names.size()) {
        if (names.size() >= SG_MAX_FIELDS_PER_SEL)
          doc_fail(d, p.line, "too many fields in a selection" + limit_text(SG_MAX_FIELDS_PER_SEL));
        names.push_back(group_name);
      }
      sigma_pred_t pr{};
      pr.group_id = static_cast<uint16_t>(g);
      pr.op = fm.op;
      pr.flags = fm.flags;
      pr.value_id = SIGMA_NONE;
      // The field name enters the pool after the value, as it always has, so
      // images of unchanged rules stay byte for byte the same.
      if (p.null) {
        // A null value means the field is absent; with "not", present.
        pr.op = SIGMA_OP_EXISTS;
        pr.flags = static_cast<uint8_t>((fm.flags & SIGMA_PF_NEGATE) ^ SIGMA_PF_NEGATE);
        pr.field_id = static_cast<uint16_t>(field_id(b, fm.field, d, p.line));
        preds.emplace_back(pr.group_id, pr);
        continue;
      }
      std::vector<std::string> variants;
      if (fm.windash) variants = windash_variants(p.val);
      if (variants.size() <= 1) {
        // No dash, or too many to spell out (emit_string then writes a pattern).
        emit_value(b, d, p, fm, pr);
        pr.field_id = static_cast<uint16_t>(field_id(b, fm.field, d, p.line));
        preds.emplace_back(pr.group_id, pr);
        continue;
      }
      // Each spelling is one more alternative in the value's group.
      field_mod plain = fm;
      plain.windash = false;
      size_t first = preds.size();
      for (const std::string &v : variants) {
        sg_pair vp = p;
        vp.val = v;
        sigma_pred_t vpr = pr;
        emit_value(b, d, vp, plain, vpr);
        preds.emplace_back(vpr.group_id, vpr);
      }
      uint16_t fid = static_cast<uint16_t>(field_id(b, fm.field, d, p.line));
      for (size_t i = first; i < preds.size(); ++i) preds[i].second.field_id = fid;
    }
    std::stable_sort(preds.begin(), preds.end(),
                     [](const auto &x, const auto &y) { return x.first < y.first; });
    if (b.preds.size() + preds.size() > SG_MAX_PREDS)
      doc_fail(d, s.line, "too many predicates" + limit_text(SG_MAX_PREDS));
    sigma_sel_t sr{static_cast<uint32_t>(b.preds.size()), static_cast<uint32_t>(preds.size())};
    for (auto &gp : preds) b.preds.push_back(gp.second);
    b.sels.push_back(sr);
  }
  std::vector<sigma_ctok_t> toks;
  if (!d.condition.empty()) compile_condition(d, toks);
  if (b.cond.size() + toks.size() > SG_MAX_COND_TOKENS)
    doc_fail(d, d.condition_line, "condition too long" + limit_text(SG_MAX_COND_TOKENS));
  r.cond_start = static_cast<uint32_t>(b.cond.size());
  r.cond_count = static_cast<uint32_t>(toks.size());
  b.cond.insert(b.cond.end(), toks.begin(), toks.end());
  int sev = level_sev(d.level);
  r.severity = static_cast<uint8_t>(sev);
  r.score_x100 = level_score[sev];
  r.verdict = bake_verdict(d);
  r.name_id = d.title.empty() ? SIGMA_NONE : value_id(b, d.title, d, d.line);
  r.mitre_id = d.mitre.empty() ? SIGMA_NONE : value_id(b, d.mitre, d, d.line);
  b.rules.push_back(r);
  b.rule_keys.push_back(bucket_keys(d));
}

// Lays out the routing buckets once every rule is known: keys in order of
// first use, each bucket's rule positions one contiguous run.
void rebuild_buckets(sg_b &b) {
  std::vector<std::string> keys;
  std::unordered_map<std::string, size_t> at;
  std::vector<uint32_t> count;
  for (const auto &rk : b.rule_keys)
    for (const std::string &k : rk) {
      auto it = at.find(k);
      if (it == at.end()) {
        it = at.emplace(k, keys.size()).first;
        keys.push_back(k);
        count.push_back(0);
      }
      ++count[it->second];
    }
  uint32_t start = 0;
  for (size_t i = 0; i < keys.size(); ++i) {
    uint32_t off = pool_add(b, keys[i], false, nullptr, 0);
    b.bkeys.push_back({off, static_cast<uint32_t>(keys[i].size())});
    b.buckets.push_back({start, 0});
    start += count[i];
  }
  b.bucket_idx.assign(start, 0);
  for (size_t r = 0; r < b.rule_keys.size(); ++r)
    for (const std::string &k : b.rule_keys[r]) {
      sigma_bucket_t &bk = b.buckets[at[k]];
      b.bucket_idx[bk.idx_start + bk.idx_count++] = static_cast<uint32_t>(r);
    }
}

/* ---- JSON texts ---------------------------------------------------------- */

// A text builder that throws on memory exhaustion.
struct json_text {
  vdr_sb sb;
  json_text() { vdr_sb_init(&sb); }
  ~json_text() { vdr_sb_free(&sb); }
  json_text &raw(std::string_view s) {
    vdr_sb_putn(&sb, s.data(), s.size());
    return *this;
  }
  json_text &str(std::string_view s) {
    vdr_sb_json_stringn(&sb, s.data(), s.size());
    return *this;
  }
  json_text &num(long long v) {
    vdr_sb_printf(&sb, "%lld", v);
    return *this;
  }
  char *release() {
    if (sb.oom) throw std::bad_alloc();
    char *p = vdr_sb_release(&sb);
    if (!p) throw std::bad_alloc();
    return p;
  }
};

// The correlation description: null when there is no correlation document.
char *corr_json_from_docs(const std::vector<sg_doc> &docs) {
  // Base rules by name, or by id; a name or id used twice cannot be referred
  // to (0 marks it).
  std::map<std::string, uint32_t> by_name, by_id;
  uint32_t rid = 0;
  for (const sg_doc &d : docs) {
    if (d.is_corr) continue;
    ++rid;
    if (!d.name.empty() && !by_name.emplace(d.name, rid).second) by_name[d.name] = 0;
    if (!d.id.empty() && !by_id.emplace(d.id, rid).second) by_id[d.id] = 0;
  }
  json_text j;
  j.raw("{\"version\":1,\"correlations\":[");
  bool any = false;
  for (const sg_doc &d : docs) {
    if (!d.is_corr) continue;
    std::vector<uint32_t> ids;
    for (const std::string &n : d.corr_rules) {
      auto it = by_name.find(n);
      uint32_t id = 0;
      if (it != by_name.end()) {
        id = it->second;
      } else if ((it = by_id.find(n)) != by_id.end()) {
        id = it->second;
      } else {
        doc_fail(d, d.corr_rules_line, "correlation names unknown rule '" + n + "'");
      }
      if (id == 0)
        doc_fail(d, d.corr_rules_line, "correlation names rule '" + n + "', which several rules share");
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    if (any) j.raw(",");
    any = true;
    j.raw("{\"id\":").str(d.name.empty() ? d.id : d.name);
    j.raw(",\"title\":").str(d.title);
    j.raw(",\"type\":").str(d.corr_type.empty() ? "event_count" : d.corr_type);
    j.raw(",\"base_rule_ids\":[");
    for (size_t i = 0; i < ids.size(); ++i) (i ? j.raw(",") : j).num(ids[i]);
    j.raw("],\"group_by\":[");
    for (size_t i = 0; i < d.group_by.size(); ++i) (i ? j.raw(",") : j).str(d.group_by[i]);
    j.raw("],\"timespan_s\":").num(d.timespan_s < 0 ? 300 : d.timespan_s);
    j.raw(",\"condition\":{\"op\":").str(d.corr_op.empty() ? "gte" : d.corr_op);
    j.raw(",\"count\":").num(d.corr_op.empty() ? 10 : d.corr_count);
    if (!d.corr_field.empty()) j.raw(",\"field\":").str(d.corr_field);
    j.raw("}");
    if (!d.mitre.empty()) j.raw(",\"mitre\":").str(d.mitre);
    j.raw(",\"level\":").str(d.level).raw("}");
  }
  if (!any) return nullptr;
  j.raw("]}");
  return j.release();
}

char *sidecar_json(const sg_b &b) {
  json_text j;
  j.raw("{\"n_rules\":").num(static_cast<long long>(b.rules.size()));
  j.raw(",\"n_preds\":").num(static_cast<long long>(b.preds.size()));
  j.raw(",\"n_sels\":").num(static_cast<long long>(b.sels.size())).raw(",\"rules\":[");
  for (size_t i = 0; i < b.rules.size(); ++i)
    (i ? j.raw(",") : j).raw("{\"id\":").num(b.rules[i].rule_id).raw("}");
  j.raw("]}");
  return j.release();
}

void builder_serialize(const sg_b &b, uint8_t **out, size_t *n) {
  sigma_db_t db{};
  db.fields = b.fields.data();
  db.n_fields = static_cast<uint32_t>(b.fields.size());
  db.values = b.values.data();
  db.n_values = static_cast<uint32_t>(b.values.size());
  db.preds = b.preds.data();
  db.n_preds = static_cast<uint32_t>(b.preds.size());
  db.sels = b.sels.data();
  db.n_sels = static_cast<uint32_t>(b.sels.size());
  db.cond = b.cond.data();
  db.n_cond = static_cast<uint32_t>(b.cond.size());
  db.rules = b.rules.data();
  db.n_rules = static_cast<uint32_t>(b.rules.size());
  db.cidrs = b.cidrs.data();
  db.n_cidrs = static_cast<uint32_t>(b.cidrs.size());
  db.strpool = b.pool.data();
  db.strpool_len = static_cast<uint32_t>(b.pool.size());
  db.bucket_keys = b.bkeys.empty() ? nullptr : b.bkeys.data();
  db.n_buckets = static_cast<uint32_t>(b.buckets.size());
  db.buckets = b.buckets.empty() ? nullptr : b.buckets.data();
  db.bucket_idx = b.bucket_idx.empty() ? nullptr : b.bucket_idx.data();
  db.n_bucket_idx = static_cast<uint32_t>(b.bucket_idx.size());
  db.av_bucket = SIGMA_NONE;
  db.cat_field_id = SIGMA_NONE;
  int rc = sigma_db_serialize(&db, out, n);
  if (rc == SIGMA_ERR_NOMEM) throw std::bad_alloc();
  if (rc != SIGMA_OK) throw compile_error("serialize failed");
}

/* ---- reading the whole input ---------------------------------------------- */

std::vector<sg_doc> read_all(std::string_view text) {
  std::vector<sg_yaml::document> ydocs = sg_yaml::split_documents(text, SG_MAX_DOCS);
  if (ydocs.empty()) throw compile_error("no YAML documents");
  std::vector<sg_doc> docs;
  docs.reserve(ydocs.size());
  for (const sg_yaml::document &yd : ydocs) {
    node root;
    try {
      root = sg_yaml::parse_document(yd);
    } catch (const sg_yaml::error &e) {
      throw compile_error("document " + std::to_string(yd.index) + ", " + e.what());
    }
    docs.push_back(read_doc(yd, root));
  }
  return docs;
}

char *dup_text(const std::string &s) {
  char *p = static_cast<char *>(malloc(s.size() + 1));
  if (p) memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

} // namespace

int sg_compile_n(const char *yaml, size_t len, uint8_t **sigmac, size_t *n, char **corr_json,
                 char **sidecar, char **err) {
  if (sigmac) *sigmac = nullptr;
  if (n) *n = 0;
  if (corr_json) *corr_json = nullptr;
  if (sidecar) *sidecar = nullptr;
  if (err) *err = nullptr;
  uint8_t *img = nullptr;
  size_t img_len = 0;
  char *corr = nullptr, *side = nullptr;
  std::string msg;
  try {
    if (!yaml) throw compile_error("no YAML documents");
    std::vector<sg_doc> docs = read_all(std::string_view(yaml, len));
    for (const sg_doc &d : docs)
      if (!d.is_corr && d.taxonomy != "ecs")
        doc_fail(d, d.line,
                 "in-tab compiler is taxonomy: ecs only; use native sigmac for SigmaHQ");
    sg_b b;
    for (const sg_doc &d : docs)
      if (!d.is_corr) emit_rule(b, d);
    if (b.rules.empty()) throw compile_error("no selection rules");
    rebuild_buckets(b);
    corr = corr_json_from_docs(docs);
    side = sidecar_json(b);
    builder_serialize(b, &img, &img_len);
  } catch (const std::bad_alloc &) {
    msg = "out of memory";
  } catch (const sg_yaml::error &e) {
    msg = e.what();
  } catch (const compile_error &e) {
    msg = e.what();
  }
  if (!msg.empty()) {
    free(img);
    vdr_free(corr);
    vdr_free(side);
    if (err) *err = dup_text(msg);
    return -1;
  }
  if (sigmac) *sigmac = img;
  else free(img);
  if (n) *n = img_len;
  if (corr_json) *corr_json = corr;
  else vdr_free(corr);
  if (sidecar) *sidecar = side;
  else vdr_free(side);
  return 0;
}

int sg_compile(const char *yaml, uint8_t **sigmac, size_t *n, char **corr_json, char **sidecar,
               char **err) {
  return sg_compile_n(yaml, yaml ? strlen(yaml) : 0, sigmac, n, corr_json, sidecar, err);
}

/* ---- lint ------------------------------------------------------------------ */

namespace {

struct mark {
  std::string kind, token, msg;
};

void lint_doc(const sg_doc &d, const std::string &techno, const std::string &product,
              bool has_techno, const char *fields_csv, std::vector<mark> &marks) {
  if (d.taxonomy != "ecs")
    marks.push_back({"ecs-bad", "taxonomy",
                     "in-tab compile is taxonomy: ecs; SigmaHQ maps need native sigmac"});
  if (d.verdict.empty() && d.level != "informational" && d.level != "low")
    marks.push_back({"ecs-warn", "hark_verdict",
                     "missing hark_verdict; compiler will bake alert (STRONG). Informational "
                     "bases should be benign (CONTEXT)."});
  if (bake_verdict(d) == SIGMA_VERDICT_ALERT && d.hark_tier != "STRONG")
    marks.push_back({"tier-strong", "hark-tier",
                     "STRONG packing gate. Either this is escalate / named HIGH with a written "
                     "story, or it is a correlation with an informational base."});
  if (has_techno && !d.log_product.empty() && !d.log_service.empty() &&
      d.log_product != techno && d.log_product != product && d.log_service != product)
    marks.push_back({"ecs-warn", "logsource",
                     "logsource product/service may not match this source_id; matcher routes "
                     "on techno/product"});
  for (const sg_sel &s : d.sels) {
    // One field with two different modifier chains: the compiler ORs them,
    // while Sigma reads the two keys as AND.
    std::vector<std::pair<std::string, std::string>> seen; // field, chain
    for (const sg_pair &p : s.kv) {
      size_t bar = p.key.find('|');
      std::string field = p.key.substr(0, bar);
      std::string chain = bar == std::string::npos ? "" : p.key.substr(bar + 1);
      if (fields_csv && *fields_csv && !field.empty() && !strstr(fields_csv, field.c_str()))
        marks.push_back(
            {"ecs-bad", field, "parser catalog does not emit this field; match will be a non-match"});
      // A key with "all" is ANDed with everything else, as Sigma reads it.
      if (("|" + chain + "|").find("|all|") != std::string::npos) continue;
      auto it = std::find_if(seen.begin(), seen.end(), [&](const auto &x) { return x.first == field; });
      if (it == seen.end()) {
        seen.emplace_back(field, chain);
      } else if (it->second != chain && it->second != "\x01") {
        marks.push_back({"mixed-modifiers", field,
                         "selection '" + s.name + "' gives this field two modifier chains ('" +
                             (it->second.empty() ? "none" : it->second) + "' and '" +
                             (chain.empty() ? "none" : chain) +
                             "'); they are compiled as alternatives (OR), while Sigma reads them "
                             "as AND: put them in two selections joined with 'and'"});
        it->second = "\x01"; // one mark per field and selection
      }
    }
  }
  // Problems the compiler would refuse, found by compiling the rule alone.
  if (d.taxonomy == "ecs") {
    sg_b scratch;
    try {
      emit_rule(scratch, d);
    } catch (const compile_error &e) {
      marks.push_back({"rule-error", "document " + std::to_string(d.index), e.what()});
    }
  }
}

char *lint_text(const char *yaml, const char *source_id, const char *fields_csv) {
  std::string techno, product;
  bool has_techno = false;
  if (source_id) {
    const char *dash = strchr(source_id, '-');
    if (dash) {
      if (dash - source_id < 64) {
        techno.assign(source_id, static_cast<size_t>(dash - source_id));
        has_techno = true;
      }
      product = dash + 1;
    }
  }
  std::vector<mark> marks;
  std::string_view text = yaml ? yaml : "";
  std::vector<sg_yaml::document> ydocs;
  try {
    ydocs = sg_yaml::split_documents(text, SG_MAX_DOCS);
  } catch (const sg_yaml::error &e) {
    marks.push_back({"yaml-error", "input", e.what()});
  }
  for (const sg_yaml::document &yd : ydocs) {
    sg_doc d;
    try {
      d = read_doc(yd, sg_yaml::parse_document(yd));
    } catch (const sg_yaml::error &e) {
      marks.push_back({"yaml-error", "document " + std::to_string(yd.index), e.what()});
      continue;
    } catch (const compile_error &e) {
      marks.push_back({"rule-error", "document " + std::to_string(yd.index), e.what()});
      continue;
    }
    if (!d.is_corr) lint_doc(d, techno, product, has_techno, fields_csv, marks);
  }
  json_text j;
  j.raw("{\"ok\":true,\"marks\":[");
  for (size_t i = 0; i < marks.size(); ++i) {
    if (i) j.raw(",");
    j.raw("{\"kind\":").str(marks[i].kind).raw(",\"token\":").str(marks[i].token);
    j.raw(",\"msg\":").str(marks[i].msg).raw("}");
  }
  j.raw("]}");
  return j.release();
}

} // namespace

char *sg_lint_json(const char *yaml, const char *source_id, const char *fields_csv) {
  try {
    return lint_text(yaml, source_id, fields_csv);
  } catch (const std::bad_alloc &) {
    return dup_text("{\"ok\":false,\"error\":\"oom\"}");
  }
}

void sg_str_free(char *s) { free(s); }
