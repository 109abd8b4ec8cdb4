// ECS knowledge: the field catalogue (generated from data/ecs/fields.csv at
// build time), the rules for acceptable names outside ECS (labels leaves and
// custom namespaces), field-name hints for raw vendor keys, and the lint of
// the field names a rulebase can produce.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/rb_text.h"
#include "core/veldra.h"

struct vdr_ecs_field_ent {
  const char *name;
  uint8_t core;
};

#include "core/ecs_fields.inc"

namespace {

const char k_schema[] = "9.5.0";

// Names that make an event entity-capable (an address, account, host,
// domain or hash), sorted byte-wise.
const char *const entity_fields[] = {
    "client.address", "client.domain", "client.ip", "client.mac", "client.nat.ip",
    "client.registered_domain", "client.user.email", "client.user.hash", "client.user.id",
    "client.user.name", "cloud.instance.id", "cloud.instance.name", "container.id",
    "destination.address", "destination.domain", "destination.ip", "destination.mac",
    "destination.nat.ip", "destination.registered_domain", "destination.user.email",
    "destination.user.hash", "destination.user.id", "destination.user.name", "dns.answers.name",
    "dns.question.name", "dns.question.registered_domain", "dns.resolved_ip",
    "email.attachments.file.hash.cdhash", "email.attachments.file.hash.md5",
    "email.attachments.file.hash.sha1", "email.attachments.file.hash.sha256",
    "email.attachments.file.hash.sha384", "email.attachments.file.hash.sha512",
    "email.bcc.address", "email.cc.address", "email.from.address", "email.reply_to.address",
    "email.sender.address", "email.to.address", "file.hash.cdhash", "file.hash.md5",
    "file.hash.sha1", "file.hash.sha256", "file.hash.sha384", "file.hash.sha512",
    "file.pe.imphash", "host.domain", "host.entity.id", "host.entity.name", "host.hostname",
    "host.id", "host.ip", "host.mac", "host.name", "host.target.domain", "host.target.entity.id",
    "host.target.entity.name", "host.target.hostname", "host.target.id", "host.target.ip",
    "host.target.mac", "host.target.name", "orchestrator.resource.id",
    "orchestrator.resource.name", "process.entity_id", "process.hash.md5", "process.hash.sha1",
    "process.hash.sha256", "process.hash.sha384", "process.hash.sha512", "process.pe.imphash",
    "server.address", "server.domain", "server.ip", "server.mac", "server.nat.ip",
    "server.registered_domain", "server.user.email", "server.user.hash", "server.user.id",
    "server.user.name", "source.address", "source.domain", "source.ip", "source.mac",
    "source.nat.ip", "source.registered_domain", "source.user.email", "source.user.hash",
    "source.user.id", "source.user.name", "tls.client.server_name", "url.domain",
    "url.registered_domain", "user.changes.email", "user.changes.entity.id",
    "user.changes.entity.name", "user.changes.hash", "user.changes.id", "user.changes.name",
    "user.effective.email", "user.effective.entity.id", "user.effective.entity.name",
    "user.effective.hash", "user.effective.id", "user.effective.name", "user.email",
    "user.entity.id", "user.entity.name", "user.hash", "user.id", "user.name",
    "user.target.email", "user.target.entity.id", "user.target.entity.name", "user.target.hash",
    "user.target.id", "user.target.name",
};
const size_t n_entity_fields = sizeof entity_fields / sizeof entity_fields[0];

} // namespace

// Exact-key hints, searched in order; the first matching key wins. "-" means
// the field is better dropped than mapped.
struct vdr_ecs_hint_row {
  const char *key;
  const char *h0;
  const char *h1;
  const char *h2;
};

static const vdr_ecs_hint_row vdr_ecs_hint_table[] = {
    {"src", "source.ip", "source.address", nullptr},
    {"srcip", "source.ip", "source.address", nullptr},
    {"dst", "destination.ip", "destination.address", nullptr},
    {"dstip", "destination.ip", "destination.address", nullptr},
    {"src_int", "observer.ingress.interface.name", nullptr, nullptr},
    {"srcintf", "observer.ingress.interface.name", nullptr, nullptr},
    {"srcintfrole", "observer.ingress.zone", nullptr, nullptr},
    {"dst_int", "observer.egress.interface.name", nullptr, nullptr},
    {"dstintf", "observer.egress.interface.name", nullptr, nullptr},
    {"dstintfrole", "observer.egress.zone", nullptr, nullptr},
    {"src_port", "source.port", nullptr, nullptr},
    {"srcport", "source.port", nullptr, nullptr},
    {"dst_port", "destination.port", nullptr, nullptr},
    {"dstport", "destination.port", nullptr, nullptr},
    {"sent", "source.bytes", "network.bytes", nullptr},
    {"sentbyte", "source.bytes", "network.bytes", nullptr},
    {"rcvd", "destination.bytes", "network.bytes", nullptr},
    {"rcvdbyte", "destination.bytes", "network.bytes", nullptr},
    {"sentpkt", "source.packets", "network.packets", nullptr},
    {"rcvdpkt", "destination.packets", "network.packets", nullptr},
    {"service", "network.protocol", "service.name", nullptr},
    {"app", "network.application", nullptr, nullptr},
    {"device_id", "observer.serial_number", "host.id", nullptr},
    {"devid", "observer.serial_number", "host.id", nullptr},
    {"sn", "observer.serial_number", nullptr, nullptr},
    {"serial", "observer.serial_number", nullptr, nullptr},
    {"device.name", "observer.name", "host.name", nullptr},
    {"devname", "observer.name", "host.name", "observer.hostname"},
    {"hostname", "host.hostname", "host.name", nullptr},
    {"polyciid", "rule.id", nullptr, nullptr},
    {"policyid", "rule.id", nullptr, nullptr},
    {"policy_id", "rule.id", nullptr, nullptr},
    {"policyname", "rule.name", nullptr, nullptr},
    {"policy", "rule.name", "rule.ruleset", nullptr},
    {"timestamp_recv", "event.ingested", nullptr, nullptr},
    {"logid", "event.code", "event.id", nullptr},
    {"log_id", "event.code", "event.id", nullptr},
    {"eventid", "event.id", "event.code", nullptr},
    {"type", "event.dataset", "event.module", "event.type"},
    {"subtype", "event.action", "event.type", nullptr},
    {"level", "log.level", "event.severity", nullptr},
    {"severity", "event.severity", "log.level", nullptr},
    {"duration", "event.duration", nullptr, nullptr},
    {"tz", "event.timezone", "observer.geo.timezone", "host.geo.timezone"},
    {"timezone", "event.timezone", "observer.geo.timezone", nullptr},
    {"time_zone", "event.timezone", "observer.geo.timezone", nullptr},
    {"logver", "observer.version", nullptr, nullptr},
    {"ver", "observer.version", "agent.version", nullptr},
    {"version", "observer.version", "agent.version", "service.version"},
    {"date", "event.start", "event.created", "@timestamp"},
    {"time", "event.start", "event.created", "@timestamp"},
    {"eventtime", "event.created", "@timestamp", nullptr},
    {"user", "user.name", nullptr, nullptr},
    {"uname", "user.name", nullptr, nullptr},
    {"srcuser", "source.user.name", "user.name", nullptr},
    {"dstuser", "destination.user.name", "user.target.name", nullptr},
    {"group", "group.name", "user.group.name", nullptr},
    {"url", "url.original", nullptr, nullptr},
    {"srccountry", "source.geo.country_name", nullptr, nullptr},
    {"dstcountry", "destination.geo.country_name", nullptr, nullptr},
    {"msg", "message", nullptr, nullptr},
    {"proto", "network.transport", "network.iana_number", "network.protocol"},
    {"event_reason", "event.reason", nullptr, nullptr},
    {"evt_reason", "event.reason", nullptr, nullptr},
    {"event_action", "event.action", nullptr, nullptr},
    {"evt_action", "event.action", nullptr, nullptr},
    {"af_action", "event.action", nullptr, nullptr},
    {"evt_category", "event.category", nullptr, nullptr},
    {"event_category", "event.category", nullptr, nullptr},
    {"evt_type", "event.type", nullptr, nullptr},
    {"event_type", "event.type", nullptr, nullptr},
    {"evt_id", "event.id", "event.code", nullptr},
    {"event_id", "event.id", "event.code", nullptr},
    {"auth_result", "event.outcome", "event.action", nullptr},
    {"evt_outcome", "event.outcome", nullptr, nullptr},
    {"net_src_ip", "source.ip", nullptr, nullptr},
    {"net_src_ip4", "source.ip", nullptr, nullptr},
    {"net_src_ip6", "source.ip", nullptr, nullptr},
    {"net_dst_ip", "destination.ip", nullptr, nullptr},
    {"net_dst_ip4", "destination.ip", nullptr, nullptr},
    {"net_dst_ip6", "destination.ip", nullptr, nullptr},
    {"net_src_port", "source.port", nullptr, nullptr},
    {"net_dst_port", "destination.port", nullptr, nullptr},
    {"domain", "url.domain", "dns.question.name", "host.domain"},
    {"session_id", "labels.session_id", nullptr, nullptr},
    {"body", "message", nullptr, nullptr},
    {"rest", "message", nullptr, nullptr},
    {"timestamp3164", "@timestamp", nullptr, nullptr},
    {"timestamp", "@timestamp", "event.created", nullptr},
    {"unused_timestamp", "-", nullptr, nullptr},
    {"unused_number", "-", nullptr, nullptr},
    {"unused_time", "-", nullptr, nullptr},
    {"unknown", "-", nullptr, nullptr},
    {"unknown2", "-", nullptr, nullptr},
    {"year", "labels.year", nullptr, nullptr},
    {"month", "labels.month", nullptr, nullptr},
    {"month_str", "labels.month_str", nullptr, nullptr},
    {"day", "labels.day", nullptr, nullptr},
    {"hour", "labels.hour", nullptr, nullptr},
    {"minute", "labels.minute", nullptr, nullptr},
    {"second", "labels.second", nullptr, nullptr},
    {"ms", "labels.ms", nullptr, nullptr},
    {"microsecond", "labels.microsecond", nullptr, nullptr},
    {"af_threat_fullpath", "file.path", nullptr, nullptr},
    {"af_threat_name", "threat.software.name", "rule.name", nullptr},
    {"cs1", "labels.cs1", nullptr, nullptr},
    {"cs2", "labels.cs2", nullptr, nullptr},
    {"cs3", "labels.cs3", nullptr, nullptr},
    {"cs4", "labels.cs4", nullptr, nullptr},
    {"cs5", "labels.cs5", nullptr, nullptr},
    {"cs6", "labels.cs6", nullptr, nullptr},
    {"timestamp_3164", "@timestamp", nullptr, nullptr},
    {"message", "message", nullptr, nullptr},
    {"computername", "host.name", "host.hostname", nullptr},
    {"shost", "source.domain", "source.address", nullptr},
    {"rt", "@timestamp", "event.created", nullptr},
    {"request_uri", "url.original", "url.path", nullptr},
    {"af_level", "log.level", "event.severity", nullptr},
    {"af_status", "event.outcome", nullptr, nullptr},
    {"af_result", "event.outcome", nullptr, nullptr},
    {"af_direction", "network.direction", nullptr, nullptr},
    {"af_session_id", "labels.session_id", nullptr, nullptr},
    {"af_scan_type", "labels.scan_type", nullptr, nullptr},
    {"data", "message", nullptr, nullptr},
    {"log", "message", nullptr, nullptr},
    {"icmp_type", "labels.icmp_type", nullptr, nullptr},
    {"priority", "log.syslog.priority", nullptr, nullptr},
    {"user_name", "user.name", nullptr, nullptr},
    {"username", "user.name", nullptr, nullptr},
    {"source_ip", "source.ip", nullptr, nullptr},
    {"src_ip", "source.ip", nullptr, nullptr},
    {"dest_ip", "destination.ip", nullptr, nullptr},
    {"destination_ip", "destination.ip", nullptr, nullptr},
    {"source_port", "source.port", nullptr, nullptr},
    {"src_port", "source.port", nullptr, nullptr}, // never reached: the earlier row wins
    {"dest_port", "destination.port", nullptr, nullptr},
    {"destination_port", "destination.port", nullptr, nullptr},
    {"http_method", "http.request.method", nullptr, nullptr},
    {"http_user_agent", "user_agent.original", nullptr, nullptr},
    {"http_version", "http.version", nullptr, nullptr},
    {"status", "event.outcome", "http.response.status_code", nullptr},
    {"process_name", "process.name", nullptr, nullptr},
    {"process_pid", "process.pid", nullptr, nullptr},
    {"observer_name", "observer.name", nullptr, nullptr},
    {"error_message", "error.message", nullptr, nullptr},
    {"log_level", "log.level", nullptr, nullptr},
    {"action", "event.action", nullptr, nullptr},
    {"event_data", "event.original", nullptr, nullptr},
    {"dns_upstream_server", "server.address", "server.ip", nullptr},
    {"dns_upstream_port", "server.port", nullptr, nullptr},
    {"dns_zone", "dns.question.registered_domain", nullptr, nullptr},
    {"dns_action_detail", "event.reason", nullptr, nullptr},
    {"dns_ttl", "dns.answers.ttl", nullptr, nullptr},
    {"dns_record_value", "dns.answers.data", nullptr, nullptr},
    {"dns_info", "labels.dns_info", nullptr, nullptr},
    {"extensions", "-", nullptr, nullptr},
    {"cef", "-", nullptr, nullptr},
    {"af_threat_type", "threat.software.type", "threat.indicator.type", nullptr},
    {"af_category", "rule.category", nullptr, nullptr},
    {"http_request_cookies", "labels.http_request_cookies", nullptr, nullptr},
    {"http_request_data", "http.request.body.content", nullptr, nullptr},
    {"icmp_code", "labels.icmp_code", nullptr, nullptr},
    {"auth_user", "user.name", nullptr, nullptr},
    {"objecttype", "labels.object_type", nullptr, nullptr},
    {"objectname", "file.path", "file.name", nullptr},
    {"net_dst_mac", "destination.mac", nullptr, nullptr},
    {"net_src_mac", "source.mac", nullptr, nullptr},
    {"am_pm", "-", nullptr, nullptr},
    {"host", "host.name", "host.hostname", nullptr},
    {"message_end", "-", nullptr, nullptr},
    {"cs1label", "labels.cs1_label", nullptr, nullptr},
    {"cs2label", "labels.cs2_label", nullptr, nullptr},
    {"cs3label", "labels.cs3_label", nullptr, nullptr},
    {"cs4label", "labels.cs4_label", nullptr, nullptr},
    {"cs5label", "labels.cs5_label", nullptr, nullptr},
    {"cs6label", "labels.cs6_label", nullptr, nullptr},
};

// Test access to the tables (declared in the tests only).
size_t vdr_ecs_catalogue_size(void) { return vdr_ecs_field_count; }
const char *vdr_ecs_catalogue_name(size_t i) {
  return i < vdr_ecs_field_count ? vdr_ecs_field_table[i].name : nullptr;
}
size_t vdr_ecs_hint_rows(void) { return sizeof vdr_ecs_hint_table / sizeof vdr_ecs_hint_table[0]; }
const char *vdr_ecs_hint_row_field(size_t row, int col) {
  if (row >= vdr_ecs_hint_rows()) return nullptr;
  const vdr_ecs_hint_row &r = vdr_ecs_hint_table[row];
  switch (col) {
  case 0: return r.key;
  case 1: return r.h0;
  case 2: return r.h1;
  case 3: return r.h2;
  default: return nullptr;
  }
}

namespace {

bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return is_lower(c) || (c >= 'A' && c <= 'Z'); }
char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

bool iends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && iequals(s.substr(s.size() - tail.size()), tail);
}

// A segment: a lower-case letter, then lower-case letters, digits and "_".
bool is_segment(std::string_view s) {
  if (s.empty() || !is_lower(s[0])) return false;
  for (char c : s)
    if (!is_lower(c) && !is_digit(c) && c != '_') return false;
  return true;
}

const vdr_ecs_field_ent *find_field(const char *name) {
  size_t lo = 0, hi = vdr_ecs_field_count;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = strcmp(vdr_ecs_field_table[mid].name, name);
    if (c == 0) return &vdr_ecs_field_table[mid];
    if (c < 0) lo = mid + 1;
    else hi = mid;
  }
  return nullptr;
}

// A root is an ECS field-set root when some catalogue name equals it or
// begins with it followed by ".".
bool is_ecs_root(std::string_view root) {
  size_t lo = 0, hi = vdr_ecs_field_count;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (strncmp(vdr_ecs_field_table[mid].name, root.data(), root.size()) < 0) lo = mid + 1;
    else hi = mid;
  }
  if (lo == vdr_ecs_field_count) return false;
  const char *n = vdr_ecs_field_table[lo].name;
  return strncmp(n, root.data(), root.size()) == 0 &&
         (n[root.size()] == '\0' || n[root.size()] == '.');
}

bool is_labels_leaf(std::string_view name) {
  return name.size() > 7 && name.substr(0, 7) == "labels." && is_segment(name.substr(7));
}

bool is_custom_namespace(std::string_view name) {
  size_t dot = name.find('.');
  if (dot == std::string_view::npos) return false;
  std::string_view root = name.substr(0, dot);
  if (root.size() < 2) return false;
  size_t start = 0;
  while (true) {
    size_t end = name.find('.', start);
    std::string_view seg = name.substr(start, end == std::string_view::npos ? end : end - start);
    if (!is_segment(seg)) return false;
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return !is_ecs_root(root);
}

struct hint_out {
  const char **out;
  int max;
  int n;
};

void push_hint(hint_out &h, const char *name) {
  if (!name || !*name || h.n >= h.max) return;
  if (strcmp(name, "-") != 0 && !find_field(name) && !is_labels_leaf(name) &&
      !is_custom_namespace(name))
    return;
  for (int i = 0; i < h.n; ++i)
    if (strcmp(h.out[i], name) == 0) return;
  h.out[h.n++] = name;
}

// A direction token matches only between delimiters: start or end of the
// key, "_" or ".".
bool has_token(std::string_view key, std::initializer_list<std::string_view> tokens) {
  size_t start = 0;
  while (start <= key.size()) {
    size_t end = key.find_first_of("_.", start);
    if (end == std::string_view::npos) end = key.size();
    std::string_view part = key.substr(start, end - start);
    for (std::string_view t : tokens)
      if (iequals(part, t)) return true;
    start = end + 1;
  }
  return false;
}

bool destination_directed(std::string_view key) {
  return has_token(key, {"dst", "dest", "destination", "target", "dstip"}) &&
         !has_token(key, {"src", "source", "client", "srcip"});
}

} // namespace

const char *vdr_ecs_schema_version(void) { return k_schema; }

int vdr_ecs_field_known(const char *name, int *core) {
  if (!name || !*name) return 0;
  const vdr_ecs_field_ent *e = find_field(name);
  if (!e) return 0;
  if (core) *core = e->core ? 1 : 0;
  return 1;
}

int vdr_ecs_field_acceptable(const char *name, int *core) {
  if (vdr_ecs_field_known(name, core)) return 1;
  if (!name || !*name) return 0;
  if (is_labels_leaf(name)) {
    if (core) *core = 1;
    return 1;
  }
  if (is_custom_namespace(name)) {
    if (core) *core = 0;
    return 1;
  }
  return 0;
}

int vdr_ecs_key_hints(const char *key, const char **out, int max) {
  if (!key || !*key || !out || max <= 0) return 0;
  if (find_field(key)) return 0;
  std::string_view whole(key);
  std::string_view mk = whole;
  if (is_custom_namespace(whole)) mk = whole.substr(whole.rfind('.') + 1);

  hint_out h{out, max, 0};
  for (const vdr_ecs_hint_row &r : vdr_ecs_hint_table) {
    if (iequals(r.key, mk) || iequals(r.key, whole)) {
      push_hint(h, r.h0);
      push_hint(h, r.h1);
      push_hint(h, r.h2);
      return h.n;
    }
  }

  const bool dest = destination_directed(whole);
  auto ends = [&](std::initializer_list<std::string_view> tails) {
    for (std::string_view t : tails)
      if (iends_with(mk, t)) return true;
    return false;
  };
  if (ends({"version", "_ver"})) {
    push_hint(h, "observer.version");
    push_hint(h, "agent.version");
    push_hint(h, "service.version");
  } else if (ends({"timezone"})) {
    push_hint(h, "event.timezone");
    push_hint(h, "observer.geo.timezone");
  } else if (mk.substr(0, 7) == "unused_" || whole.substr(0, 7) == "unused_") {
    push_hint(h, "-");
  } else if (ends({"_ip", "_ip4", "_ip6"})) {
    push_hint(h, dest ? "destination.ip" : "source.ip");
    push_hint(h, dest ? "server.ip" : "client.ip");
  } else if (ends({"_port"})) {
    push_hint(h, dest ? "destination.port" : "source.port");
  } else if (ends({"_mac"})) {
    push_hint(h, dest ? "destination.mac" : "source.mac");
  } else if (ends({"_user", "_username", "_userid"})) {
    push_hint(h, "user.name");
    push_hint(h, "source.user.name");
  } else if (ends({"_host", "_hostname"})) {
    push_hint(h, "host.name");
    push_hint(h, "observer.hostname");
  } else if (ends({"_url", "_uri"})) {
    push_hint(h, "url.original");
    push_hint(h, "url.path");
  } else if (ends({"_domain"})) {
    push_hint(h, "url.domain");
    push_hint(h, "dns.question.name");
  } else if (ends({"_email"})) {
    push_hint(h, "user.email");
  } else if (ends({"_path", "_filepath"})) {
    push_hint(h, "file.path");
    push_hint(h, "file.name");
  } else if (ends({"_pid"})) {
    push_hint(h, "process.pid");
  } else if (mk.substr(0, 13) == "http_request_" || mk.substr(0, 9) == "http_req_") {
    push_hint(h, "http.request.body.content");
  }
  return h.n;
}

/* ---- lint ------------------------------------------------------------------ */

namespace {

constexpr size_t k_max_names = 256;
constexpr size_t k_max_messages = 64;

struct name_set {
  std::vector<std::string> names;
  void add(std::string_view n) {
    if (n.empty() || n.size() > 127) return;
    if (n.find_first_not_of("-.") == std::string_view::npos) return;
    if (names.size() >= k_max_names) return;
    for (const std::string &s : names)
      if (s == n) return;
    names.emplace_back(n);
  }
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

void collect_json_names(std::string_view line, name_set &set) {
  static const std::string_view key = "\"name\"";
  size_t pos = 0;
  while ((pos = line.find(key, pos)) != std::string_view::npos) {
    size_t p = pos + key.size();
    pos = p;
    while (p < line.size() && is_blank(line[p])) ++p;
    if (p >= line.size() || line[p] != ':') continue;
    ++p;
    while (p < line.size() && is_blank(line[p])) ++p;
    if (p >= line.size() || line[p] != '"') continue;
    size_t end = line.find('"', p + 1);
    if (end == std::string_view::npos) continue;
    set.add(line.substr(p + 1, end - p - 1));
    pos = end + 1;
  }
}

void collect_descriptors(std::string_view line, name_set &set) {
  bool open = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '%') continue;
    if (open) {
      open = false;
      continue;
    }
    open = true;
    size_t j = i + 1;
    if (j >= line.size() || !is_alpha(line[j])) continue;
    while (j < line.size() &&
           (is_alpha(line[j]) || is_digit(line[j]) || line[j] == '.' || line[j] == '_'))
      ++j;
    if (j < line.size() && line[j] == ':') set.add(line.substr(i + 1, j - i - 1));
    // The descriptor stays open until the next "%"; skip to just before it.
    i = j - 1;
  }
}

bool starts_after_blanks(std::string_view line, std::string_view word) {
  size_t s = line.find_first_not_of(" \t");
  return s != std::string_view::npos && line.substr(s, word.size()) == word;
}

void collect_rewrite_target(std::string_view line, name_set &set) {
  size_t p = line.find(':');
  if (p == std::string_view::npos) return;
  ++p;
  auto skip_blanks = [&] {
    while (p < line.size() && is_blank(line[p])) ++p;
  };
  skip_blanks();
  while (p < line.size() && !is_blank(line[p]) && line[p] != '=') ++p;
  skip_blanks();
  if (p >= line.size() || line[p] != '=') return;
  ++p;
  skip_blanks();
  size_t s = p;
  while (p < line.size() && (is_alpha(line[p]) || is_digit(line[p]) || line[p] == '-' ||
                             line[p] == '.' || line[p] == '@' || line[p] == '_'))
    ++p;
  set.add(line.substr(s, p - s));
}

void collect_annotate_field(std::string_view line, name_set &set) {
  size_t p = line.find(':');
  if (p == std::string_view::npos) return;
  ++p;
  if (p < line.size() && line[p] == '+') ++p;
  size_t s = p;
  while (p < line.size() && !is_blank(line[p]) && line[p] != '"' && line[p] != '=') ++p;
  set.add(line.substr(s, p - s));
}

struct msg_list {
  std::vector<char *> items;
  bool dropped = false;
  ~msg_list() {
    for (char *m : items) free(m);
  }
  void add(const char *fmt, const char *a, const char *b) {
    if (items.size() >= k_max_messages) {
      dropped = true;
      return;
    }
    char buf[256];
    snprintf(buf, sizeof buf, fmt, a, b);
    char *m = vdr_strdup_checked(buf);
    if (!m) throw std::bad_alloc();
    items.push_back(m);
  }
  // Hands the messages over as a malloc'd array (null when empty).
  char **release(size_t *n) {
    *n = items.size();
    if (items.empty()) return nullptr;
    auto **arr = static_cast<char **>(malloc(items.size() * sizeof(char *)));
    if (!arr) throw std::bad_alloc();
    memcpy(arr, items.data(), items.size() * sizeof(char *));
    items.clear();
    return arr;
  }
};

const char k_no_names[] = "no named ECS fields (anonymous json names do not count)";
const char k_no_category[] = "no event.category (field or annotate=)";
const char k_no_entity[] = "no entity-capable field (address, account, host, domain, or hash)";

bool is_entity_field(const std::string &name) {
  size_t lo = 0, hi = n_entity_fields;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = strcmp(entity_fields[mid], name.c_str());
    if (c == 0) return true;
    if (c < 0) lo = mid + 1;
    else hi = mid;
  }
  return false;
}

void lint(const char *rulebase, unsigned flags, vdr_ecs_report *report) {
  name_set set;
  set.names = vdr_ecs_collect_names(rulebase ? rulebase : "");

  msg_list errors, warnings;
  const bool strict = (flags & VDR_ECS_STRICT) != 0;
  if (set.names.empty()) {
    errors.add("%s", k_no_names, nullptr);
    errors.add("%s", k_no_category, nullptr);
    errors.add("%s", k_no_entity, nullptr);
  } else {
    bool category = false, entity = false;
    for (const std::string &name : set.names) {
      const char *n = name.c_str();
      const vdr_ecs_field_ent *e = find_field(n);
      if (e) {
        if (!e->core)
          (strict ? errors : warnings).add("field '%s' is ECS %s extended", n, k_schema);
      } else if (is_labels_leaf(name)) {
      } else if (is_custom_namespace(name)) {
        warnings.add("field '%s' is a custom namespace (not in ECS %s)", n, k_schema);
      } else {
        errors.add("field '%s' is not in ECS %s", n, k_schema);
      }
      if (name == "event.category") category = true;
      if (is_entity_field(name)) entity = true;
    }
    if (!category) errors.add("%s", k_no_category, nullptr);
    if (!entity) errors.add("%s", k_no_entity, nullptr);
  }
  report->verdict = errors.items.empty() && !errors.dropped ? VDR_ECS_OK : VDR_ECS_FAIL;
  report->errors = errors.release(&report->n_errors);
  report->warnings = warnings.release(&report->n_warnings);
}

} // namespace

std::vector<std::string> vdr_ecs_collect_names(std::string_view text) {
  name_set set;
  vdr_for_each_rule_line(text, [&](std::string_view line) {
    collect_json_names(line, set);
    collect_descriptors(line, set);
  });
  vdr_for_each_rule_line(text, [&](std::string_view line) {
    if (starts_after_blanks(line, "rewrite=")) collect_rewrite_target(line, set);
    else if (starts_after_blanks(line, "annotate=")) collect_annotate_field(line, set);
  });
  return std::move(set.names);
}

int vdr_ecs_lint(const char *rulebase, unsigned flags, vdr_ecs_report *report) {
  if (!report) return -1;
  *report = vdr_ecs_report{};
  report->schema_version = k_schema;
  try {
    lint(rulebase, flags, report);
    return 0;
  } catch (const std::bad_alloc &) {
    vdr_ecs_report_free(report);
    return -1;
  }
}

void vdr_ecs_report_free(vdr_ecs_report *report) {
  if (!report) return;
  for (size_t i = 0; i < report->n_errors; ++i) free(report->errors[i]);
  free(report->errors);
  for (size_t i = 0; i < report->n_warnings; ++i) free(report->warnings[i]);
  free(report->warnings);
  *report = vdr_ecs_report{};
}
