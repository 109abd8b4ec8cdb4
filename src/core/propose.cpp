// Rule proposal from samples.
//
// Spans: every typed field span is measured by the field parser its type
// names, run on the line at the span's offset, so a span covers exactly what
// that parser consumes when the proposed rule runs; a rule built from a line's
// spans therefore matches that line. Naming ranks candidates from the alias
// table, the ECS key hints, a small word lexicon, positional defaults and a
// statistical table, then makes names unique within the line. Each cluster's
// example line is turned into a field spec and emitted as a rule through the
// spec emitter; clusters it refuses are listed with its reason.
#include "core/propose.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/translate.h"
#include "core/veldra.h"
#include "normalizer/parser.h"
#include "normalizer/walker.h"

namespace {

constexpr size_t k_max_lines = 256;
constexpr size_t k_max_spans = 128; // the last one may be a rest span
constexpr size_t k_max_clusters = 32;
constexpr size_t k_max_key = 62;
constexpr size_t k_max_segments = 64; // what the spec emitter takes
constexpr size_t k_max_names = 9;     // candidates other than "-"
constexpr size_t k_example_bytes = 255;
constexpr size_t k_text_bytes = 127;

struct span {
  bool is_lit = false;
  bool ws = false; // a literal run holding a tab: emitted as a whitespace field
  const char *type = "";
  size_t off = 0, len = 0;
  std::string key;
  std::string field;
  std::vector<std::string> alts;
  bool is_pri = false;
  double score = 0;
};

struct line_rec {
  std::string_view s;
  std::vector<span> spans;
  std::string sig;
};

struct cluster {
  std::string sig;
  std::string tag;
  size_t line_i = 0;
  size_t n_lines = 0;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

// The first n bytes of s, shortened so no UTF-8 character is cut.
std::string_view utf8_cut(std::string_view s, size_t n) {
  if (s.size() <= n) return s;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

/* ---- the field parsers as recognizers -------------------------------------- */

const ln_parser_info *parser_named(const char *name) {
  for (const ln_parser_info &p : parser_lookup_table)
    if (p.name && strcmp(p.name, name) == 0) return &p;
  return nullptr;
}

// One field parser with its private data, built from an empty descriptor.
struct recognizer {
  const char *type = nullptr;
  const ln_parser_info *info = nullptr;
  void *data = nullptr;
};

struct recognizers {
  ln_ctx ctx = nullptr;
  recognizer all[12];
  size_t n_all = 0;
  recognizer rfc5424, rfc3164, mac, time, ipv6, ipv4, iso, json, number, quoted, word, ws;

  recognizers() {
    ctx = ln_initCtx();
    if (!ctx) throw std::bad_alloc();
    fjson_object *empty = fjson_object_new_object();
    if (!empty) {
      ln_exitCtx(ctx);
      throw std::bad_alloc();
    }
    auto make = [&](const char *name) {
      recognizer r;
      r.type = name;
      r.info = parser_named(name);
      if (r.info && r.info->construct && r.info->construct(ctx, empty, &r.data) != 0) r.info = nullptr;
      all[n_all++] = r;
      return r;
    };
    rfc5424 = make("date-rfc5424");
    rfc3164 = make("date-rfc3164");
    mac = make("mac48");
    time = make("time-24hr");
    ipv6 = make("ipv6");
    ipv4 = make("ipv4");
    iso = make("date-iso");
    json = make("json");
    number = make("number");
    quoted = make("quoted-string");
    word = make("word");
    ws = make("whitespace");
    fjson_object_put(empty);
  }
  ~recognizers() {
    for (size_t k = 0; k < n_all; ++k)
      if (recognizer &r = all[k]; r.info && r.info->destruct && r.data) r.info->destruct(ctx, r.data);
    ln_exitCtx(ctx);
  }
  recognizers(const recognizers &) = delete;
  recognizers &operator=(const recognizers &) = delete;

  // The length the parser consumes at off, 0 when it does not match.
  size_t run(const recognizer &r, std::string_view line, size_t off) const {
    if (!r.info || !r.info->parser || off >= line.size()) return 0;
    npb_t npb{};
    npb.ctx = ctx;
    npb.str = line.data();
    npb.strLen = line.size();
    size_t o = off, parsed = 0;
    int rc = r.info->parser(&npb, &o, r.data, "f", &parsed, nullptr);
    if (rc == LN_RC_NO_MEMORY) throw std::bad_alloc();
    return rc == 0 ? parsed : 0;
  }

  // Typed recognizers in the order they are tried, each with the length it
  // takes at off; with `whole` set, only a recognizer taking exactly that many
  // bytes counts. A parser's match also has to have the shape of its type
  // (an ipv6 address holds at least two colons, hex groups of at most four
  // digits and no "."), and times come before ipv6: "10:20:30" is a time. A
  // number must not run into "." or ":" and an ISO date not into a digit or
  // "T".
  struct hit {
    const char *type;
    size_t len;
  };
  hit typed(std::string_view line, size_t off, bool with_json, size_t whole) const {
    auto after = [&](size_t n) { return off + n < line.size() ? line[off + n] : '\0'; };
    auto shaped = [&](const recognizer *r, size_t n) {
      std::string_view t = line.substr(off, n);
      if (r == &rfc5424) return n >= 19 && t[4] == '-' && t[7] == '-' && t[10] == 'T';
      if (r == &rfc3164) return n >= 15 && t[0] >= 'A' && t[0] <= 'Z';
      if (r == &mac) return n == 17;
      if (r == &iso) return n == 10 && !is_digit(after(n)) && after(n) != 'T';
      if (r == &ipv6) {
        if (n < 3 || after(n) == '.') return false;
        size_t colons = 0, group = 0;
        for (char c : t) {
          if (c == ':') {
            ++colons;
            group = 0;
          } else if (isxdigit(static_cast<unsigned char>(c)) && ++group <= 4) {
          } else {
            return false;
          }
        }
        return colons >= 2;
      }
      return true;
    };
    const recognizer *order[] = {&rfc5424, &rfc3164, &mac, &time, &ipv6, &ipv4, &iso};
    for (const recognizer *r : order) {
      size_t n = run(*r, line, off);
      if (n && (!whole || n == whole) && shaped(r, n)) return {r->type, n};
    }
    if (with_json && (line[off] == '{' || line[off] == '[')) {
      size_t n = run(json, line, off);
      if (n && (!whole || n == whole)) return {json.type, n};
    }
    size_t n = run(number, line, off);
    if (n && (!whole || n == whole) && after(n) != '.' && after(n) != ':') return {number.type, n};
    return {nullptr, 0};
  }
};

/* ---- spans ------------------------------------------------------------------- */

void scan_line(const recognizers &rz, line_rec &l) {
  std::string_view s = l.s;
  const size_t n = s.size();
  size_t i = 0;
  auto lit = [&](size_t off, size_t len) {
    span sp;
    sp.is_lit = true;
    sp.off = off;
    sp.len = len;
    l.spans.push_back(std::move(sp));
  };
  auto field = [&](const char *type, size_t off, size_t len) -> span & {
    span sp;
    sp.type = type;
    sp.off = off;
    sp.len = len;
    l.spans.push_back(std::move(sp));
    return l.spans.back();
  };
  while (i < n) {
    // The last span may have to take the rest of the line: a line with more
    // spans than fit still gets a rule that matches it whole.
    auto room = [&](size_t k) { return l.spans.size() + k <= k_max_spans - 1; };
    if (!room(1)) break;
    const char c = s[i];
    if (c == ' ' || c == '\t') {
      size_t j = i;
      bool tab = false;
      while (j < n && (s[j] == ' ' || s[j] == '\t')) tab |= s[j++] == '\t';
      if (tab) j = i + rz.run(rz.ws, s, i); // the whitespace parser's extent
      lit(i, j - i);
      l.spans.back().ws = tab;
      i = j;
      continue;
    }
    if (c == ',') {
      lit(i, 1);
      ++i;
      continue;
    }
    if (c == '<' && room(3)) {
      size_t j = i + 1;
      while (j < n && is_digit(s[j]) && j - i <= 5) ++j;
      if (j > i + 1 && j - i - 1 <= 5 && j < n && s[j] == '>') {
        size_t num = rz.run(rz.number, s, i + 1);
        if (num == j - i - 1) {
          lit(i, 1);
          span &f = field("number", i + 1, num);
          f.key = "priority";
          f.is_pri = true;
          lit(j, 1);
          i = j + 1;
          continue;
        }
      }
    }
    if ((is_letter(c) || c == '_') && room(2)) {
      size_t j = i;
      while (j < n && (is_letter(s[j]) || is_digit(s[j]) || s[j] == '_' || s[j] == '-')) ++j;
      if (j < n && s[j] == '=' && j - i <= k_max_key) {
        std::string key(s.substr(i, j - i));
        lit(i, j + 1 - i);
        i = j + 1;
        if (i >= n) continue;
        if (s[i] == '"') {
          if (size_t q = rz.run(rz.quoted, s, i)) {
            field("quoted-string", i, q).key = key;
            i += q;
            continue;
          }
        }
        size_t end = i;
        while (end < n && s[end] != ' ' && s[end] != '\t' && s[end] != ',') ++end;
        if (end > i) {
          recognizers::hit h = rz.typed(s, i, false, end - i);
          if (h.type) {
            field(h.type, i, h.len).key = key;
            i += h.len;
            continue;
          }
        }
        if (size_t w = rz.run(rz.word, s, i)) {
          field("word", i, w).key = key;
          i += w;
        }
        continue;
      }
    }
    recognizers::hit h = rz.typed(s, i, true, 0);
    if (!h.type) {
      if (size_t q = rz.run(rz.quoted, s, i)) h = {"quoted-string", q};
      else if (size_t w = rz.run(rz.word, s, i)) h = {"word", w};
    }
    if (!h.type || !h.len) break;
    field(h.type, i, h.len);
    i += h.len;
  }
  if (i < n) field("rest", i, n - i);
  for (size_t k = 0; k < l.spans.size(); ++k) {
    if (k) l.sig += '|';
    l.sig += l.spans[k].is_lit ? "L" : l.spans[k].type;
  }
}

/* ---- naming ------------------------------------------------------------------ */

struct namer_row {
  const char *key, *lab0, *lab1, *lab2;
  float p0;
};

const namer_row vdr_namer_rows[] = {
    {"date-iso|0", "event.duration", "http.request.referrer", "destination.bytes", 0.8513f},
    {"date-rfc3164|0", "event.start", "event.duration", "source.packets", 0.5575f},
    {"date-rfc3164|1", "event.start", "", "", 1.0f},
    {"date-rfc5424|0", "event.start", "log.syslog.priority", "event.ingested", 0.5746f},
    {"date-rfc5424|1", "event.start", "", "", 1.0f},
    {"ipv4|0", "observer.ip", "source.ip", "host.ip", 0.6304f},
    {"ipv4|1", "observer.ip", "destination.bytes", "destination.ip", 0.3643f},
    {"ipv4|2", "destination.ip", "source.nat.ip", "destination.nat.ip", 0.8131f},
    {"ipv6|0", "source.ip", "event.duration", "http.response.body.bytes", 0.9075f},
    {"ipv6|1", "event.duration", "destination.ip", "source.ip", 0.4444f},
    {"ipv6|2", "destination.ip", "", "", 1.0f},
    {"mac48|0", "source.mac", "client.mac", "log.level", 0.8043f},
    {"mac48|1", "destination.mac", "", "", 1.0f},
    {"number|0", "log.syslog.priority", "event.severity", "network.packets", 0.8994f},
    {"number|1", "http.response.status_code", "event.id", "http.response.body.bytes", 0.7167f},
    {"number|2", "destination.port", "client.user.id", "http.response.body.bytes", 0.3676f},
    {"quoted-string|0", "http.request.method", "http.version", "url.original", 0.3582f},
    {"quoted-string|1", "destination.geo.country_iso_code", "source.geo.country_iso_code",
     "event.reason", 0.5319f},
    {"quoted-string|2", "user_agent.original", "source.geo.country_name", "event.id", 0.6941f},
    {"word|0", "observer.hostname", "observer.name", "observer.product", 0.5394f},
    {"word|1", "user.name", "event.id", "process.name", 0.3612f},
    {"word|2", "event.action", "network.protocol", "log.level", 0.3492f},
};

struct lexicon_row {
  const char *words[10];
  const char *names[2];
};

const lexicon_row k_lexicon[] = {
    {{"deny", "drop", "accept", "blocked", "close", "timeout", "start", "pass", "allow", nullptr},
     {"event.action", "event.outcome"}},
    {{"success", "failure", "failed", "ok", "error", nullptr}, {"event.outcome", "event.action"}},
    {{"tcp", "udp", "icmp", "icmp6", "gre", "esp", "sctp", nullptr},
     {"network.transport", "network.protocol"}},
    {{"inbound", "outbound", "incoming", "outgoing", nullptr}, {"network.direction", nullptr}},
};

bool is_date(std::string_view t) {
  return t == "date-iso" || t == "date-rfc3164" || t == "date-rfc5424";
}
bool is_ip(std::string_view t) { return t == "ipv4" || t == "ipv6"; }

struct cand_list {
  std::vector<std::string> v;
  size_t named = 0; // entries other than "-"
  void add(const char *name) {
    if (!name || !*name) return;
    const bool dash = strcmp(name, "-") == 0;
    if (!dash && !vdr_ecs_field_acceptable(name, nullptr)) return;
    for (const std::string &x : v)
      if (x == name) return;
    if (dash ? v.size() >= k_max_names + 1 : named >= k_max_names) return;
    v.emplace_back(name);
    named += !dash;
  }
  void add(std::initializer_list<const char *> names) {
    for (const char *n : names) add(n);
  }
};

struct naming_ctx {
  fjson_object *aliases = nullptr;
  const char *parser = nullptr;
};

void name_line(const naming_ctx &nc, line_rec &l) {
  std::string_view s = l.s;
  size_t n_words = 0, last_word = SIZE_MAX;
  for (size_t k = 0; k < l.spans.size(); ++k)
    if (!l.spans[k].is_lit && strcmp(l.spans[k].type, "word") == 0) {
      ++n_words;
      last_word = k;
    }
  std::unordered_map<std::string, size_t> rank_of_type;
  size_t ip_rank = 0, number_rank = 0, mac_rank = 0, word_rank = 0;
  bool seen_ip = false;
  for (size_t k = 0; k < l.spans.size(); ++k) {
    span &sp = l.spans[k];
    if (sp.is_lit) continue;
    std::string_view type = sp.type;
    const std::string type_key = is_ip(type) ? "ip" : std::string(type);
    const size_t rank = rank_of_type[type_key]++;
    cand_list c;
    bool from_alias = false, from_hints = false, from_lexicon = false, from_row = false;
    double row_score = 0;
    if (sp.is_pri) {
      c.add({"log.syslog.priority", "log.syslog.facility.code", "event.severity", "-"});
      sp.score = 0.95;
    } else {
      if (!sp.key.empty()) {
        const std::string nested = "event_data!" + sp.key;
        size_t before = c.v.size();
        c.add(vdr_alias_lookup_parser(nc.aliases, nc.parser, sp.key.c_str()));
        c.add(vdr_alias_lookup_parser(nc.aliases, nc.parser, nested.c_str()));
        const char *a = vdr_alias_lookup(nc.aliases, nullptr, nested.c_str());
        if (a && vdr_ecs_field_known(a, nullptr)) c.add(a);
        a = vdr_alias_lookup(nc.aliases, nullptr, sp.key.c_str());
        if (a && vdr_ecs_field_known(a, nullptr)) c.add(a);
        from_alias = c.v.size() > before;
        before = c.v.size();
        const char *hints[k_max_names];
        int nh = vdr_ecs_key_hints(sp.key.c_str(), hints, static_cast<int>(k_max_names));
        for (int h = 0; h < nh; ++h)
          if (strcmp(hints[h], "-") != 0) c.add(hints[h]);
        from_hints = c.v.size() > before;
      }
      std::string_view text = s.substr(sp.off, sp.len);
      if (type == "quoted-string") text = text.size() >= 2 ? text.substr(1, text.size() - 2) : "";
      if ((type == "word" || (type == "quoted-string" && text.size() >= 2))) {
        for (const lexicon_row &row : k_lexicon)
          for (const char *const *w = row.words; *w; ++w)
            if (iequals(text, *w)) {
              c.add(row.names[0]);
              c.add(row.names[1]);
              from_lexicon = true;
            }
      }
      // Positional defaults.
      if (is_ip(type)) {
        if (ip_rank == 0) c.add({"source.ip", "client.ip", "destination.ip"});
        else if (ip_rank == 1) c.add({"destination.ip", "server.ip", "source.ip"});
        else c.add({"source.nat.ip", "destination.nat.ip", "host.ip", "observer.ip"});
        c.add({"source.ip", "destination.ip", "source.nat.ip", "destination.nat.ip", "observer.ip"});
      } else if (type == "number") {
        if (number_rank == 0 && seen_ip) c.add({"source.port", "destination.port", "source.nat.port"});
        else if (number_rank == 1 && seen_ip)
          c.add({"destination.port", "source.port", "network.bytes"});
        c.add({"network.bytes", "source.bytes", "destination.bytes", "network.packets",
               "event.duration", "source.port", "destination.port", "event.sequence"});
      } else if (is_date(type)) {
        c.add({"@timestamp", "event.created", "event.start", "event.end"});
      } else if (type == "mac48") {
        if (mac_rank == 0) c.add({"source.mac", "destination.mac"});
        else c.add({"destination.mac", "source.mac"});
        c.add({"host.mac", "observer.mac"});
      } else if (type == "json") {
        c.add({"event.original", "message"});
      } else if (type == "quoted-string") {
        c.add({"observer.name", "host.name", "user.name", "rule.name", "event.action", "message",
               "user_agent.original"});
      } else if (type == "word") {
        if (n_words == 1) c.add({"user.name", "host.name", "process.name"});
        else if (word_rank == 0) c.add({"host.name", "observer.hostname", "process.name"});
        else if (k == last_word) c.add({"message", "event.action", "user.name"});
        c.add({"event.action", "event.outcome", "event.reason", "observer.name", "observer.product",
               "rule.name", "network.protocol", "network.transport", "network.direction",
               "source.user.name", "user.name", "message"});
      } else {
        c.add({"message", "event.original"});
      }
      if (!from_alias && !from_hints && !from_lexicon) {
        const std::string row_key = std::string(type) + "|" + std::to_string(rank < 2 ? rank : 2);
        const namer_row *row = nullptr;
        for (const namer_row &r : vdr_namer_rows)
          if (row_key == r.key) row = &r;
        if (row) c.add({row->lab0, row->lab1, row->lab2});
        if (c.v.empty()) {
          if (row) {
            row_score = row->p0;
            from_row = true;
          }
          c.add({"message", "event.original"});
        }
      }
      if (from_alias) sp.score = 0.92;
      else if (from_hints) sp.score = 0.8;
      else if (from_lexicon) sp.score = 0.85;
      else if (from_row) sp.score = row_score;
      else if (is_date(type)) sp.score = 0.88;
      else if (is_ip(type)) sp.score = ip_rank == 0 ? 0.9 : 0.55;
      else sp.score = 0.4;
    }
    c.add("-");
    sp.alts = std::move(c.v);
    sp.field = sp.alts.empty() ? "-" : sp.alts.front();
    if (is_ip(type)) {
      ++ip_rank;
      seen_ip = true;
    } else if (type == "number") {
      ++number_rank;
    } else if (type == "mac48") {
      ++mac_rank;
    } else if (type == "word") {
      ++word_rank;
    }
  }

  // Unique names within the line.
  std::unordered_set<std::string> taken;
  for (span &sp : l.spans) {
    if (sp.is_lit) continue;
    std::string pick;
    for (const std::string &a : sp.alts)
      if (a != "-" && !taken.count(a)) {
        pick = a;
        break;
      }
    if (pick.empty()) {
      sp.alts = {"-"};
      sp.field = "-";
      continue;
    }
    std::vector<std::string> list{pick};
    for (const std::string &a : sp.alts)
      if (a != "-" && a != pick && !taken.count(a) && list.size() < k_max_names) list.push_back(a);
    list.emplace_back("-");
    taken.insert(pick);
    sp.alts = std::move(list);
    sp.field = pick;
  }
}

/* ---- output ------------------------------------------------------------------ */

struct refusal {
  std::string tag;
  std::string reason;
};

// The spec of a cluster's example line. A line with more spans than the
// emitter takes ends in one rest field that covers the remainder.
std::string cluster_spec(const line_rec &l, const std::string &tag) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  vdr_sb_printf(&sb, "{\"tag\":\"%s\",\"segments\":[", tag.c_str());
  const bool cut = l.spans.size() > k_max_segments;
  const size_t n = cut ? k_max_segments - 1 : l.spans.size();
  for (size_t k = 0; k < n; ++k) {
    const span &sp = l.spans[k];
    if (k) vdr_sb_putc(&sb, ',');
    if (sp.ws) {
      vdr_sb_puts(&sb, "{\"field\":\"-\",\"type\":\"whitespace\"}");
    } else if (sp.is_lit) {
      vdr_sb_puts(&sb, "{\"literal\":");
      vdr_sb_json_stringn(&sb, l.s.data() + sp.off, sp.len);
      vdr_sb_putc(&sb, '}');
    } else {
      vdr_sb_puts(&sb, "{\"field\":");
      vdr_sb_json_string(&sb, sp.field.c_str());
      vdr_sb_puts(&sb, ",\"type\":");
      vdr_sb_json_string(&sb, sp.type);
      vdr_sb_putc(&sb, '}');
    }
  }
  if (cut) {
    std::unordered_set<std::string> names;
    for (size_t k = 0; k < n; ++k)
      if (!l.spans[k].is_lit) names.insert(l.spans[k].field);
    const char *rest = "-";
    for (const char *r : {"message", "event.original", "labels.rest"})
      if (!names.count(r)) {
        rest = r;
        break;
      }
    vdr_sb_printf(&sb, ",{\"field\":\"%s\",\"type\":\"rest\"}", rest);
  }
  vdr_sb_puts(&sb, "],\"annotations\":{\"event.category\":\"network\"}}");
  char *t = vdr_sb_release(&sb);
  if (!t) throw std::bad_alloc();
  std::string r(t);
  vdr_free(t);
  return r;
}

void put_text(vdr_sb &sb, std::string_view s, size_t max) {
  std::string_view c = utf8_cut(s, max);
  vdr_sb_json_stringn(&sb, c.data(), c.size());
}

// The first tag of the rule that the walker matches the line with, or ""
// when no rule matches.
std::string matched_tag(ln_ctx ctx, std::string_view line) {
  fjson_object *json = nullptr;
  std::string tag;
  if (ln_normalize(ctx, line.data(), line.size(), &json) == 0 && json) {
    fjson_object *tags = nullptr;
    if (fjson_object_object_get_ex(json, "event.tags", &tags) &&
        fjson_object_is_type(tags, fjson_type_array) && fjson_object_array_length(tags) > 0) {
      const char *t = fjson_object_get_string(fjson_object_array_get_idx(tags, 0));
      if (t) tag = t;
    }
  }
  if (json) fjson_object_put(json);
  return tag;
}

char *propose(const char *samples
, const char *aliases_json, const char *parser) {
  naming_ctx nc;
  struct holder {
    fjson_object *v = nullptr;
    ~holder() {
      if (v) fjson_object_put(v);
    }
  } overlay;
  if (vdr_alias_overlay_parse(aliases_json, &overlay.v) != 0) overlay.v = nullptr;
  nc.aliases = overlay.v;
  nc.parser = parser;

  recognizers rz;
  std::vector<line_rec> lines;
  std::string_view text = samples ? std::string_view(samples) : std::string_view();
  size_t p = 0;
  while (p < text.size() && lines.size() < k_max_lines) {
    size_t nl = text.find('\n', p);
    size_t end = nl == std::string_view::npos ? text.size() : nl;
    std::string_view line = text.substr(p, end - p);
    p = end + 1;
    if (!vdr_propose_line_used(line.data(), line.size())) continue;
    if (line.back() == '\r') line.remove_suffix(1);
    line_rec l;
    l.s = line;
    scan_line(rz, l);
    name_line(nc, l);
    lines.push_back(std::move(l));
  }

  std::vector<cluster> clusters;
  std::unordered_map<std::string, size_t> by_sig;
  for (size_t i = 0; i < lines.size(); ++i) {
    auto it = by_sig.find(lines[i].sig);
    if (it != by_sig.end()) {
      ++clusters[it->second].n_lines;
    } else if (clusters.size() < k_max_clusters) {
      cluster c;
      c.sig = lines[i].sig;
      c.tag = "p" + std::to_string(clusters.size());
      c.line_i = i;
      c.n_lines = 1;
      by_sig.emplace(c.sig, clusters.size());
      clusters.push_back(std::move(c));
    }
  }

  // Each cluster's rule, emitted alone (without its "version=2" line), and
  // the clusters the emitter refused.
  std::vector<std::string> rules(clusters.size());
  std::vector<size_t> order;
  std::vector<refusal> refused;
  for (size_t ci = 0; ci < clusters.size(); ++ci) {
    const cluster &c = clusters[ci];
    const std::string spec = cluster_spec(lines[c.line_i], c.tag);
    char *rb = nullptr, *err = nullptr;
    if (vdr_spec_emit(spec.c_str(), &rb, &err) == 0 && rb) {
      std::string_view t(rb);
      if (t.substr(0, 10) == "version=2\n") t.remove_prefix(10);
      rules[ci] = t;
      order.push_back(ci);
    } else {
      refused.push_back({c.tag, err && *err ? err : "the spec emitter refused it"});
    }
    vdr_free(rb);
    vdr_free(err);
  }

  // Every example line must be matched by its own rule. Among edges of equal
  // priority the walker tries the one added first, so a rule whose example
  // another rule catches first moves to the front; a few rounds settle it.
  std::vector<std::string> caught_by(clusters.size());
  std::vector<size_t> missed;
  for (size_t round = 0; round <= 2 * order.size(); ++round) {
    std::string text;
    for (size_t ci : order) text += rules[ci];
    missed.clear();
    ln_ctx ctx = ln_initCtx();
    if (!ctx) throw std::bad_alloc();
    const int rc = ln_loadSamplesFromString(ctx, text.c_str());
    for (size_t ci : order) {
      std::string_view ex = lines[clusters[ci].line_i].s;
      caught_by[ci] = rc == 0 ? matched_tag(ctx, ex) : std::string();
      if (caught_by[ci] != clusters[ci].tag) missed.push_back(ci);
    }
    ln_exitCtx(ctx);
    size_t move = SIZE_MAX;
    for (size_t ci : missed)
      if (ci != order.front()) {
        move = ci;
        break;
      }
    if (move == SIZE_MAX) break;
    order.erase(std::find(order.begin(), order.end(), move));
    order.insert(order.begin(), move);
  }
  std::string rulebase;
  if (!order.empty()) rulebase = "version=2\n";
  for (size_t ci : order) rulebase += rules[ci];

  vdr_sb sb;
  vdr_sb_init(&sb);
  vdr_sb_puts(&sb, "{\"ok\":true,\"namer\":\"alias-first\",\"clusters\":[");
  for (size_t ci = 0; ci < clusters.size(); ++ci) {
    const cluster &c = clusters[ci];
    const line_rec &l = lines[c.line_i];
    if (ci) vdr_sb_putc(&sb, ',');
    vdr_sb_puts(&sb, "{\"tag\":");
    vdr_sb_json_string(&sb, c.tag.c_str());
    vdr_sb_puts(&sb, ",\"signature\":");
    vdr_sb_json_stringn(&sb, c.sig.data(), c.sig.size());
    vdr_sb_printf(&sb, ",\"n_lines\":%zu,\"example\":", c.n_lines);
    put_text(sb, l.s, k_example_bytes);
    vdr_sb_puts(&sb, ",\"segments\":[");
    for (size_t k = 0; k < l.spans.size(); ++k) {
      const span &sp = l.spans[k];
      if (k) vdr_sb_putc(&sb, ',');
      if (sp.is_lit) {
        vdr_sb_puts(&sb, "{\"kind\":\"literal\",\"literal\":");
        vdr_sb_json_stringn(&sb, l.s.data() + sp.off, sp.len);
        vdr_sb_putc(&sb, '}');
        continue;
      }
      vdr_sb_puts(&sb, "{\"kind\":\"field\",\"field\":");
      vdr_sb_json_string(&sb, sp.field.c_str());
      vdr_sb_puts(&sb, ",\"type\":");
      vdr_sb_json_string(&sb, sp.type);
      if (!sp.key.empty()) {
        vdr_sb_puts(&sb, ",\"key\":");
        vdr_sb_json_string(&sb, sp.key.c_str());
      }
      vdr_sb_puts(&sb, ",\"text\":");
      put_text(sb, l.s.substr(sp.off, sp.len), k_text_bytes);
      vdr_sb_printf(&sb, ",\"score\":%.2f,\"alts\":[", sp.score);
      for (size_t a = 1; a < sp.alts.size(); ++a) {
        if (a > 1) vdr_sb_putc(&sb, ',');
        vdr_sb_json_string(&sb, sp.alts[a].c_str());
      }
      vdr_sb_puts(&sb, "]}");
    }
    vdr_sb_puts(&sb, "]}");
  }
  vdr_sb_puts(&sb, "],\"lines\":[");
  for (size_t i = 0; i < lines.size(); ++i) {
    const line_rec &l = lines[i];
    if (i) vdr_sb_putc(&sb, ',');
    vdr_sb_puts(&sb, "{\"spans\":[");
    bool first = true;
    for (const span &sp : l.spans) {
      if (sp.is_lit) continue;
      if (!first) vdr_sb_putc(&sb, ',');
      first = false;
      vdr_sb_puts(&sb, "{\"field\":");
      vdr_sb_json_string(&sb, sp.field.c_str());
      vdr_sb_puts(&sb, ",\"type\":");
      vdr_sb_json_string(&sb, sp.type);
      if (!sp.key.empty()) {
        vdr_sb_puts(&sb, ",\"key\":");
        vdr_sb_json_string(&sb, sp.key.c_str());
      }
      vdr_sb_puts(&sb, ",\"text\":");
      put_text(sb, l.s.substr(sp.off, sp.len), k_text_bytes);
      vdr_sb_putc(&sb, '}');
    }
    vdr_sb_puts(&sb, "]}");
  }
  vdr_sb_puts(&sb, "],\"rulebase\":");
  vdr_sb_json_stringn(&sb, rulebase.data(), rulebase.size());
  vdr_sb_puts(&sb, ",\"refused\":[");
  for (size_t k = 0; k < refused.size(); ++k) {
    if (k) vdr_sb_putc(&sb, ',');
    vdr_sb_puts(&sb, "{\"tag\":");
    vdr_sb_json_string(&sb, refused[k].tag.c_str());
    vdr_sb_puts(&sb, ",\"reason\":");
    vdr_sb_json_string(&sb, refused[k].reason.c_str());
    vdr_sb_putc(&sb, '}');
  }
  // Clusters whose example line another rule catches first (or none).
  vdr_sb_puts(&sb, "],\"shadowed\":[");
  for (size_t k = 0; k < missed.size(); ++k) {
    if (k) vdr_sb_putc(&sb, ',');
    vdr_sb_puts(&sb, "{\"tag\":");
    vdr_sb_json_string(&sb, clusters[missed[k]].tag.c_str());
    vdr_sb_puts(&sb, ",\"matched_by\":");
    if (caught_by[missed[k]].empty()) vdr_sb_puts(&sb, "null");
    else vdr_sb_json_string(&sb, caught_by[missed[k]].c_str());
    vdr_sb_putc(&sb, '}');
  }
  vdr_sb_puts(&sb, "]}");
  return vdr_sb_release(&sb);
}

} // namespace

size_t vdr_propose_max_lines(void) { return k_max_lines; }

int vdr_propose_line_used(const char *line, size_t len) {
  return line && len > 0 && !(len == 1 && line[0] == '\r');
}

char *vdr_spec_propose(const char *samples, const char *aliases_json, const char *parser) {
  try {
    return propose(samples, aliases_json, parser);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}
