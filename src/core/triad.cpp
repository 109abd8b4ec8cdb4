// The exchange kit of a proven rulebase: the rulebase itself and meta.yaml,
// which tells a collection and detection pipeline how to collect the log,
// which fields identify entities, how IP fields map to threat enrichment and
// which OCSF class the events belong to. Every decision rests on a textual
// scan of the rulebase; it is never loaded here.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/rb_text.h"
#include "core/veldra.h"

namespace {

constexpr size_t k_max_id = 63;
constexpr size_t k_max_keys = 16;
constexpr size_t k_max_mappings = 16;
constexpr size_t k_max_map_entries = 32;

bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return is_lower(c) || (c >= 'A' && c <= 'Z'); }
bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Token lists that classify a source id.
const char *const k_auth_tokens[] = {"auth", "ssh", "sshd", "sudo", "pam", "login"};
const char *const k_app_tokens[] = {"nginx", "http", "apache", "web", "access", "proxy"};
const char *const k_net_tokens[] = {"fw",      "firewall", "pf",       "iptables",
                                    "opnsense", "pfsense", "suricata", "flow",
                                    "eve",     "dns",      "named",    "unbound"};
const char *const k_mail_tokens[] = {"mail", "smtp", "postfix", "exim"};
const char *const k_kern_tokens[] = {"iptables", "kern", "kernel"};

// A token matches when the id begins with it followed by the end or "-", or
// when the text after the id's first "-" equals it.
template <size_t N> bool id_has_token(std::string_view id, const char *const (&tokens)[N]) {
  size_t dash = id.find('-');
  std::string_view after = dash == std::string_view::npos ? std::string_view() : id.substr(dash + 1);
  for (std::string_view t : tokens) {
    if (id.substr(0, t.size()) == t && (id.size() == t.size() || id[t.size()] == '-')) return true;
    if (dash != std::string_view::npos && after == t) return true;
  }
  return false;
}

// Entity-key candidates, searched in order; the first present field wins.
const char *const k_src_host[] = {
    "source.ip", "client.ip", "source.address", "client.address", "source.nat.ip",
    "client.nat.ip", "source.mac", "client.mac", "source.domain", "client.domain",
    "source.registered_domain", "client.registered_domain", "host.ip", "host.mac", "host.id",
    "host.entity.id", "host.name", "host.entity.name", "host.hostname", "host.domain",
    "cloud.instance.id", "cloud.instance.name", "container.id", "orchestrator.resource.id",
    "orchestrator.resource.name"};
const char *const k_dst_host[] = {
    "destination.ip", "server.ip", "host.target.ip", "destination.address", "server.address",
    "destination.nat.ip", "server.nat.ip", "destination.mac", "server.mac", "host.target.mac",
    "destination.domain", "server.domain", "destination.registered_domain",
    "server.registered_domain", "url.domain", "tls.client.server_name", "dns.question.name",
    "url.registered_domain", "dns.question.registered_domain", "dns.answers.name",
    "dns.resolved_ip", "email.to.address", "email.cc.address", "email.bcc.address",
    "host.target.id", "host.target.entity.id", "host.target.name", "host.target.entity.name",
    "host.target.hostname", "host.target.domain"};
const char *const k_user[] = {
    "user.name", "source.user.name", "client.user.name", "destination.user.name",
    "server.user.name", "user.entity.name", "user.email", "source.user.email", "client.user.email",
    "destination.user.email", "server.user.email", "user.id", "source.user.id", "client.user.id",
    "destination.user.id", "server.user.id", "user.entity.id", "user.target.name",
    "user.target.entity.name", "user.target.email", "user.target.id", "user.target.entity.id",
    "user.effective.name", "user.effective.entity.name", "user.effective.email",
    "user.effective.id", "user.effective.entity.id", "user.changes.name",
    "user.changes.entity.name", "user.changes.email", "user.changes.id",
    "user.changes.entity.id", "email.from.address", "email.sender.address",
    "email.reply_to.address", "user.hash", "source.user.hash", "client.user.hash",
    "destination.user.hash", "server.user.hash", "user.target.hash", "user.effective.hash",
    "user.changes.hash"};

// IP fields that get a threat-enrichment mapping, in order.
const char *const k_ip_fields[] = {"source.ip",     "destination.ip", "source.nat.ip",
                                   "destination.nat.ip", "host.ip",   "server.ip",
                                   "client.ip",     "client.nat.ip",  "server.nat.ip",
                                   "host.target.ip"};

struct ocsf_row {
  int cls;
  const char *attr;
  const char *field;
};

// OCSF attribute per ECS field; class 0 rows apply to every class.
const ocsf_row k_ocsf_map[] = {
    {3002, "actor.user.name", "user.name"},
    {3002, "src_endpoint.ip", "source.ip"},
    {3002, "status", "event.outcome"},
    {3002, "auth_protocol", "event.provider"},
    {4001, "src_endpoint.ip", "source.ip"},
    {4001, "dst_endpoint.ip", "destination.ip"},
    {4001, "dst_endpoint.port", "destination.port"},
    {4001, "protocol_name", "network.transport"},
    {4001, "activity_name", "event.action"},
    {4001, "traffic.total_bytes", "network.bytes"},
    {4002, "src_endpoint.ip", "source.ip"},
    {4002, "dst_endpoint.hostname", "url.domain"},
    {4002, "http_request.http_method", "http.request.method"},
    {4002, "http_request.url.text", "url.path"},
    {4002, "http_request.user_agent", "user_agent.original"},
    {4002, "http_response.code", "http.response.status_code"},
    {4002, "traffic.bytes_out", "destination.bytes"},
    {4002, "traffic.bytes_in", "source.bytes"},
    {4002, "tls.server_name", "tls.client.server_name"},
    {4003, "src_endpoint.ip", "source.ip"},
    {4003, "query.hostname", "dns.question.name"},
    {1007, "actor.process.name", "process.name"},
    {1007, "actor.process.pid", "process.pid"},
    {1007, "actor.user.name", "user.name"},
    {2004, "src_endpoint.ip", "source.ip"},
    {2004, "dst_endpoint.ip", "destination.ip"},
    {2004, "finding_info.title", "rule.name"},
    {2004, "attacks.technique.uid", "threat.technique.id"},
    {2004, "attacks.tactic.uid", "threat.tactic.id"},
    {0, "src_endpoint.ip", "source.ip"},
    {0, "dst_endpoint.ip", "destination.ip"},
    {0, "actor.user.name", "user.name"},
};

struct field_set {
  std::vector<std::string> names; // sorted byte-wise
  bool has(std::string_view n) const { return std::binary_search(names.begin(), names.end(), n); }
  template <size_t N> const char *first_of(const char *const (&list)[N]) const {
    for (const char *f : list)
      if (has(f)) return f;
    return nullptr;
  }
};

// The id from the first "rule=" line: its leading run of letters, digits,
// "_" and "-", lower-cased with "_" turned into "-".
std::string id_from_rule(std::string_view text) {
  std::string id;
  vdr_for_each_rule_line(text, [&](std::string_view line) {
    if (!id.empty() || line.substr(0, 5) != "rule=") return;
    std::string_view rest = line.substr(5);
    if (rest.empty() || !is_alpha(rest[0])) {
      id = "-"; // the first rule line decides; "-" is never valid
      return;
    }
    for (size_t i = 0; i < rest.size() && id.size() < k_max_id; ++i) {
      char c = rest[i];
      if (!is_alpha(c) && !is_digit(c) && c != '_' && c != '-') break;
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      id += c == '_' ? '-' : c;
    }
  });
  return id;
}

// The value of the first `event.category = "VALUE"` (1 to 31 characters) on
// a line that counts.
std::string ecs_category(std::string_view text) {
  std::string cat;
  bool found = false;
  vdr_for_each_rule_line(text, [&](std::string_view line) {
    static const std::string_view key = "event.category";
    size_t pos = 0;
    while (!found && (pos = line.find(key, pos)) != std::string_view::npos) {
      size_t p = pos + key.size();
      pos = p;
      while (p < line.size() && is_blank(line[p])) ++p;
      if (p >= line.size() || line[p] != '=') continue;
      ++p;
      while (p < line.size() && is_blank(line[p])) ++p;
      if (p >= line.size() || line[p] != '"') continue;
      size_t end = line.find('"', p + 1);
      if (end == std::string_view::npos) end = line.size();
      size_t n = end - p - 1;
      if (n < 1 || n > 31) continue;
      cat.assign(line.substr(p + 1, n));
      found = true;
    }
  });
  return cat;
}

bool has_include(std::string_view text) {
  bool inc = false;
  vdr_for_each_rule_line(text, [&](std::string_view line) {
    size_t s = line.find_first_not_of(" \t");
    if (s != std::string_view::npos && line.substr(s, 8) == "include=") inc = true;
  });
  return inc;
}

const char *entity_category(const std::string &cat, std::string_view id) {
  struct row {
    const char *cat;
    const char *ent;
  };
  static const row rows[] = {
      {"authentication", "auth"}, {"session", "auth"},       {"iam", "auth"},
      {"network", "network"},     {"dns", "network"},        {"web", "app"},
      {"email", "mail"},          {"database", "cloud"},     {"host", "endpoint"},
      {"process", "endpoint"},    {"file", "endpoint"},      {"driver", "endpoint"},
      {"registry", "endpoint"},   {"package", "endpoint"},   {"configuration", "endpoint"},
      {"intrusion_detection", "endpoint"}, {"malware", "endpoint"}, {"threat", "endpoint"},
      {"vulnerability", "endpoint"}};
  for (const row &r : rows)
    if (cat == r.cat) return r.ent;
  if (id_has_token(id, k_auth_tokens)) return "auth";
  if (id_has_token(id, k_app_tokens)) return "app";
  if (id_has_token(id, k_net_tokens)) return "network";
  if (id_has_token(id, k_mail_tokens)) return "mail";
  return "auth";
}

int ocsf_class(const std::string &cat, const field_set &f, std::string_view ent) {
  if (cat == "intrusion_detection" || cat == "malware" || cat == "threat") return 2004;
  if (cat == "process") return 1007;
  if (cat == "dns") return 4003;
  if (cat == "web") return 4002;
  if (cat == "authentication" || cat == "session" || cat == "iam") return 3002;
  if (cat == "network") return 4001;
  if (f.has("dns.question.name") || f.has("dns.answers")) return 4003;
  if (f.has("http.request.method") || f.has("http.response.status_code")) return 4002;
  if (f.has("url.original") || f.has("url.path")) return 4002;
  if (f.has("process.name") || f.has("process.pid")) return 1007;
  if (ent == "auth") return 3002;
  if (ent == "app") return 4002;
  if (ent == "network") return 4001;
  return 0;
}

bool valid_facility(std::string_view s) {
  if (s.empty() || s.size() > 32) return false;
  for (char c : s)
    if (!is_lower(c) && !is_digit(c)) return false;
  return true;
}

bool valid_port(std::string_view s) {
  if (s.empty() || s.size() > 5 || s[0] == '0') return false;
  long v = 0;
  for (char c : s) {
    if (!is_digit(c)) return false;
    v = v * 10 + (c - '0');
  }
  return v >= 1 && v <= 65535;
}

bool valid_file_path(const char *s) {
  std::string_view p(s);
  if (p.empty() || p[0] != '/' || p.size() > 255) return false;
  for (unsigned char c : p)
    if (c < 32 || c == 127 || c == '"' || c == '%' || c == '\\') return false;
  return vdr_text_yaml_printable(s) != 0;
}

char *dup(const std::string &s) {
  char *p = static_cast<char *>(malloc(s.size() + 1));
  if (!p) throw std::bad_alloc();
  memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

// One "key: value" line of meta.yaml, the value written as a JSON string.
void yaml_line(vdr_sb &sb, const char *prefix, const std::string &value) {
  vdr_sb_puts(&sb, prefix);
  vdr_sb_json_stringn(&sb, value.data(), value.size());
  vdr_sb_putc(&sb, '\n');
}

int build(const char *rulebase_in, const char *source_id, const char *label,
          const vdr_triad_opts *opts, vdr_triad *out) {
  std::string_view text(rulebase_in ? rulebase_in : "");

  std::string id;
  if (source_id && vdr_source_id_valid(source_id)) id = source_id;
  else id = id_from_rule(text);
  if (!vdr_source_id_valid(id.c_str())) return -1;

  if (label && *label && !vdr_text_yaml_printable(label)) {
    vdr_score_set_error("%s", "--label must be printable UTF-8 text (no control bytes, DEL or "
                              "invalid UTF-8)");
    return -1;
  }
  if (has_include(text)) {
    vdr_score_set_error("%s", "the rulebase has include= lines, and an exchange kit carries "
                              "parser.rulebase alone; inline the included rules first");
    return -1;
  }

  field_set f;
  for (std::string &n : vdr_ecs_collect_names(text))
    if (n != "-" && n != ".") f.names.push_back(std::move(n));
  std::sort(f.names.begin(), f.names.end());

  const std::string cat = ecs_category(text);
  const std::string ent = entity_category(cat, id);

  const char *type_opt = opts && opts->input_type && *opts->input_type ? opts->input_type : nullptr;
  std::string input_type = type_opt ? type_opt : "imfile";
  if (input_type != "imfile" && input_type != "imudp" && input_type != "imtcp") return -1;
  const bool net_input = input_type != "imfile";

  std::string facility;
  if (opts && opts->facility && *opts->facility) {
    if (!valid_facility(opts->facility)) return -1;
    facility = opts->facility;
  } else if (id_has_token(id, k_kern_tokens)) {
    facility = "kern";
  } else {
    facility = ent == "auth" ? "auth" : "local6";
  }

  const size_t dash = id.find('-');
  std::string techno = id.substr(0, dash), product = id.substr(dash + 1);
  if (techno.size() >= 64 || product.size() >= 64) techno.clear(), product.clear();

  std::string path;
  if (opts && opts->input_path && *opts->input_path) {
    if (net_input ? !valid_port(opts->input_path) : !valid_file_path(opts->input_path)) return -1;
    path = opts->input_path;
  } else if (net_input) {
    path = "514";
  } else if (facility == "auth") {
    path = "/var/log/auth.log";
  } else if (facility == "kern") {
    path = "/var/log/kern.log";
  } else if (techno == "nginx" && !product.empty()) {
    path = "/var/log/nginx/" + product + ".log";
  } else if (id == "nginx" || product == "nginx") {
    path = "/var/log/nginx/access.log";
  } else {
    path = "/var/log/" + id + ".log";
  }

  // Entity keys: a role already present is not added again.
  std::vector<std::string> keys;
  auto add_key = [&](const char *role, const char *field, const char *qual) {
    if (!field || keys.size() >= k_max_keys) return;
    std::string r = std::string(role) + ":";
    for (const std::string &k : keys)
      if (k.compare(0, r.size(), r) == 0) return;
    std::string k = r + field;
    if (qual) k += std::string(":") + qual;
    if (k.size() <= 95) keys.push_back(std::move(k));
  };
  add_key("src_host", f.first_of(k_src_host), nullptr);
  add_key("dst_host", f.first_of(k_dst_host), nullptr);
  add_key("user", f.first_of(k_user), nullptr);
  const char *ent_qual = ent == "auth" ? nullptr : ent.c_str();
  if (f.has("destination.port")) add_key("dst_port", "destination.port", ent_qual);
  if (f.has("network.transport")) add_key("proto", "network.transport", ent_qual);
  if (f.has("event.outcome")) add_key("outcome", "event.outcome", ent.c_str());
  else if (f.has("http.response.status_code"))
    add_key("outcome", "http.response.status_code", ent.c_str());
  else if (f.has("event.action") && vdr_score_wire_action(rulebase_in) == 1)
    add_key("outcome", "event.action", ent.c_str());
  const bool bytes_out = f.has("destination.bytes"), bytes_in = f.has("source.bytes");
  if (bytes_out) add_key("bytes_out", "destination.bytes", nullptr);
  if (bytes_in) add_key("bytes_in", "source.bytes", nullptr);
  if (!bytes_out && !bytes_in && f.has("network.bytes") && f.has("network.direction"))
    add_key("bytes_net", "network.bytes", "network.direction");

  std::vector<std::string> mappings;
  for (const char *ip : k_ip_fields)
    if (f.has(ip) && mappings.size() < k_max_mappings)
      mappings.push_back(std::string(ip) + ":$!threat!" + ip);

  std::vector<char *> key_ptrs;
  for (std::string &k : keys) key_ptrs.push_back(k.data());
  if (vdr_score_check(rulebase_in, ent.c_str(), key_ptrs.data(), key_ptrs.size()) != 0) return -1;

  const int cls = ocsf_class(cat, f, ent);

  std::string rb(text);
  if (rb.empty() || rb.back() != '\n') rb += '\n';

  vdr_sb sb;
  vdr_sb_init(&sb);
  yaml_line(sb, "id: ", id);
  vdr_sb_puts(&sb, "kind: \"parser\"\n");
  yaml_line(sb, "title: ", label && *label ? std::string(label) : id);
  vdr_sb_puts(&sb, "state: \"draft\"\nquality: \"quarry\"\n");
  yaml_line(sb, "techno: ", techno);
  yaml_line(sb, "product: ", product);
  vdr_sb_puts(&sb, "mitre: []\nocsf:\n");
  vdr_sb_printf(&sb, "  class: %d\n", cls);
  std::vector<const ocsf_row *> map;
  auto mapped = [&](const char *attr) {
    for (const ocsf_row *m : map)
      if (strcmp(m->attr, attr) == 0) return true;
    return false;
  };
  for (const ocsf_row &r : k_ocsf_map)
    if (r.cls == cls && f.has(r.field) && map.size() < k_max_map_entries) map.push_back(&r);
  for (const ocsf_row &r : k_ocsf_map)
    if (r.cls == 0 && f.has(r.field) && !mapped(r.attr) && map.size() < k_max_map_entries)
      map.push_back(&r);
  if (map.empty()) {
    vdr_sb_puts(&sb, "  field_map: {}\n");
  } else {
    vdr_sb_puts(&sb, "  field_map:\n");
    for (const ocsf_row *m : map) {
      vdr_sb_puts(&sb, "    ");
      vdr_sb_json_string(&sb, m->attr);
      vdr_sb_puts(&sb, ": ");
      vdr_sb_json_string(&sb, m->field);
      vdr_sb_putc(&sb, '\n');
    }
  }
  auto list = [&](const char *head, const std::vector<std::string> &items) {
    vdr_sb_puts(&sb, head);
    if (items.empty()) {
      vdr_sb_puts(&sb, " []\n");
      return;
    }
    vdr_sb_putc(&sb, '\n');
    for (const std::string &s : items) yaml_line(sb, "  - ", s);
  };
  list("entity_keys:", keys);
  list("mappings:", mappings);
  vdr_sb_puts(&sb, "normalize: []\n");
  if (f.has("event.severity")) vdr_sb_puts(&sb, "score:\n  severity: \"event.severity\"\n");
  vdr_sb_puts(&sb, "collection:\n");
  yaml_line(sb, "  input: ", input_type);
  yaml_line(sb, net_input ? "  port: " : "  path: ", path);
  yaml_line(sb, "  program: ", id);
  yaml_line(sb, "  redis_key: ", "hark." + id);
  yaml_line(sb, "  facility: ", facility);
  char *meta = vdr_sb_release(&sb);
  if (!meta) throw std::bad_alloc();
  out->meta_yaml = meta;

  out->id = dup(id);
  out->rulebase = dup(rb);
  out->facility = dup(facility);
  out->input_path = dup(path);
  out->input_type = dup(input_type);
  out->entity_category = dup(ent);
  out->fields = static_cast<char **>(calloc(f.names.size() + 1, sizeof(char *)));
  if (!out->fields) throw std::bad_alloc();
  for (const std::string &n : f.names) out->fields[out->n_fields++] = dup(n);
  return 0;
}

} // namespace

int vdr_source_id_valid(const char *s) {
  if (!s) return 0;
  size_t n = strlen(s);
  if (n < 3 || n > k_max_id || !is_lower(s[0])) return 0;
  size_t dashes = 0;
  for (size_t i = 0; i < n; ++i) {
    char c = s[i];
    if (c == '-') {
      ++dashes;
      if (i + 1 >= n || !is_lower(s[i + 1])) return 0;
    } else if (!is_lower(c) && !is_digit(c)) {
      return 0;
    }
  }
  return dashes == 1;
}

int vdr_text_yaml_printable(const char *s) {
  if (!s) return 0;
  const auto *p = reinterpret_cast<const unsigned char *>(s);
  while (*p) {
    unsigned c = *p;
    unsigned cp;
    int extra;
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7F) return 0;
      ++p;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF) cp = c & 0x1F, extra = 1;
    else if (c >= 0xE0 && c <= 0xEF) cp = c & 0x0F, extra = 2;
    else if (c >= 0xF0 && c <= 0xF4) cp = c & 0x07, extra = 3;
    else return 0;
    ++p;
    for (int i = 0; i < extra; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) return 0;
      cp = (cp << 6) | (*p & 0x3F);
    }
    // Overlong forms, surrogates, code points past U+10FFFF, C1 controls
    // and the two non-characters a YAML reader refuses.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || (cp >= 0x80 && cp <= 0x9F && cp != 0x85) ||
        cp == 0xFFFE || cp == 0xFFFF)
      return 0;
  }
  return 1;
}

int vdr_triad_build_ex(const char *rulebase, const char *source_id, const char *label,
                       const vdr_triad_opts *opts, vdr_triad *out) {
  vdr_score_clear();
  if (!out) return -1;
  *out = vdr_triad{};
  int rc;
  try {
    rc = build(rulebase, source_id, label, opts, out);
  } catch (const std::bad_alloc &) {
    rc = -1;
  }
  if (rc != 0) vdr_triad_free(out);
  return rc;
}

int vdr_triad_build(const char *rulebase, const char *source_id, const char *label,
                    vdr_triad *out) {
  return vdr_triad_build_ex(rulebase, source_id, label, nullptr, out);
}

void vdr_triad_free(vdr_triad *t) {
  if (!t) return;
  free(t->id);
  for (size_t i = 0; i < t->n_fields; ++i) free(t->fields[i]);
  free(t->fields);
  free(t->rulebase);
  free(t->meta_yaml);
  free(t->facility);
  free(t->input_path);
  free(t->input_type);
  free(t->entity_category);
  *t = vdr_triad{};
}

char *vdr_triad_to_json(const vdr_triad *t) {
  if (!t || !t->id || !t->meta_yaml) return nullptr;
  vdr_sb sb;
  vdr_sb_init(&sb);
  vdr_sb_puts(&sb, "{\"id\":");
  vdr_sb_json_string(&sb, t->id);
  const struct {
    const char *key;
    const char *value;
  } members[] = {{"facility", t->facility},
                 {"input_path", t->input_path},
                 {"input_type", t->input_type},
                 {"entity_category", t->entity_category}};
  for (const auto &m : members) {
    if (!m.value) continue;
    vdr_sb_printf(&sb, ",\"%s\":", m.key);
    vdr_sb_json_string(&sb, m.value);
  }
  vdr_sb_puts(&sb, ",\"fields\":");
  vdr_sb_json_string_array(&sb, t->fields, t->n_fields);
  vdr_sb_puts(&sb, ",\"files\":{\"parser.rulebase\":");
  vdr_sb_json_string(&sb, t->rulebase);
  vdr_sb_puts(&sb, ",\"meta.yaml\":");
  vdr_sb_json_string(&sb, t->meta_yaml);
  vdr_sb_puts(&sb, "}}");
  return vdr_sb_release(&sb);
}
