// ECS catalogue, acceptable names, key hints and the lint.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/veldra.h"

// Table access for tests, defined in src/core/ecs.cpp.
size_t vdr_ecs_catalogue_size(void);
const char *vdr_ecs_catalogue_name(size_t i);
size_t vdr_ecs_hint_rows(void);
const char *vdr_ecs_hint_row_field(size_t row, int col);

namespace {

TEST(EcsCatalogue, IsTheCsvSortedAndComplete) {
  std::ifstream in(std::string(VELDRA_SOURCE_DIR) + "/data/ecs/fields.csv");
  ASSERT_TRUE(in);
  std::string row;
  std::getline(in, row);
  EXPECT_EQ(row, "name,level");
  size_t rows = 0, core_rows = 0;
  while (std::getline(in, row)) {
    if (row.empty()) continue;
    auto comma = row.find(',');
    ASSERT_NE(comma, std::string::npos) << row;
    std::string name = row.substr(0, comma), level = row.substr(comma + 1);
    int core = -1;
    EXPECT_EQ(vdr_ecs_field_known(name.c_str(), &core), 1) << name;
    EXPECT_EQ(core, level == "core" ? 1 : 0) << name;
    ++rows;
    core_rows += level == "core";
  }
  EXPECT_EQ(rows, 2732u); // the release has 2734; two extended rows are not in the data
  EXPECT_EQ(core_rows, 386u);
  ASSERT_EQ(vdr_ecs_catalogue_size(), rows);
  for (size_t i = 1; i < vdr_ecs_catalogue_size(); ++i)
    ASSERT_LT(strcmp(vdr_ecs_catalogue_name(i - 1), vdr_ecs_catalogue_name(i)), 0) << i;
  EXPECT_STREQ(vdr_ecs_schema_version(), "9.5.0");
}

TEST(EcsCatalogue, KnownAndAcceptableNames) {
  struct Case {
    const char *name;
    int known, acceptable, core;
  } cases[] = {
      {"@timestamp", 1, 1, 1},
      {"agent.ephemeral_id", 1, 1, 0},
      {"ecs.version", 1, 1, 1},
      {"event.category", 1, 1, 1},
      {"host.name", 1, 1, 1},
      {"labels", 1, 1, 1},
      {"message", 1, 1, 1},
      {"tags", 1, 1, 1},
      {"source.geo.country_name", 1, 1, 1},
      {"source.user.group.name", 1, 1, 0},
      {"client.user.name", 1, 1, 1},
      {"host.target.ip", 1, 1, 1},
      {"Host.name", 0, 0, -1},
      {"labels.site_1", 0, 1, 1},
      {"labels.Site", 0, 0, -1},
      {"labels.a.b", 0, 0, -1},
      {"labels.", 0, 0, -1},
      {"acme.fw.rule", 0, 1, 0},
      {"acme.fw_2", 0, 1, 0},
      {"host.custom", 0, 0, -1},
      {"user_agent.custom", 0, 0, -1},
      {"tag.x", 0, 1, 0}, // "tag" is not a field-set root, only a prefix of "tags"
      {"ab", 0, 0, -1},
      {"x.y", 0, 0, -1},
      {"acme..rule", 0, 0, -1},
      {"acme.fw.", 0, 0, -1},
      {"acme.Fw", 0, 0, -1},
      {"acme.1fw", 0, 0, -1},
      {"", 0, 0, -1},
  };
  for (const Case &k : cases) {
    int core = -1;
    EXPECT_EQ(vdr_ecs_field_known(k.name, nullptr), k.known) << k.name;
    EXPECT_EQ(vdr_ecs_field_acceptable(k.name, &core), k.acceptable) << k.name;
    EXPECT_EQ(core, k.core) << k.name;
  }
  EXPECT_EQ(vdr_ecs_field_known(nullptr, nullptr), 0);
  EXPECT_EQ(vdr_ecs_field_acceptable(nullptr, nullptr), 0);
}

TEST(EcsHints, ExactTableKeysAndNames) {
  const char *keys[] = {
      "src", "srcip", "dst", "dstip", "src_int", "srcintf", "srcintfrole", "dst_int", "dstintf",
      "dstintfrole", "src_port", "srcport", "dst_port", "dstport", "sent", "sentbyte", "rcvd",
      "rcvdbyte", "sentpkt", "rcvdpkt", "service", "app", "device_id", "devid", "sn", "serial",
      "device.name", "devname", "hostname", "polyciid", "policyid", "policy_id", "policyname",
      "policy", "timestamp_recv", "logid", "log_id", "eventid", "type", "subtype", "level",
      "severity", "duration", "tz", "timezone", "time_zone", "logver", "ver", "version", "date",
      "time", "eventtime", "user", "uname", "srcuser", "dstuser", "group", "url", "srccountry",
      "dstcountry", "msg", "proto", "event_reason", "evt_reason", "event_action", "evt_action",
      "af_action", "evt_category", "event_category", "evt_type", "event_type", "evt_id", "event_id",
      "auth_result", "evt_outcome", "net_src_ip", "net_src_ip4", "net_src_ip6", "net_dst_ip",
      "net_dst_ip4", "net_dst_ip6", "net_src_port", "net_dst_port", "domain", "session_id", "body",
      "rest", "timestamp3164", "timestamp", "unused_timestamp", "unused_number", "unused_time",
      "unknown", "unknown2", "year", "month", "month_str", "day", "hour", "minute", "second", "ms",
      "microsecond", "af_threat_fullpath", "af_threat_name", "cs1", "cs2", "cs3", "cs4", "cs5",
      "cs6", "timestamp_3164", "message", "computername", "shost", "rt", "request_uri", "af_level",
      "af_status", "af_result", "af_direction", "af_session_id", "af_scan_type", "data", "log",
      "icmp_type", "priority", "user_name", "username", "source_ip", "src_ip", "dest_ip",
      "destination_ip", "source_port", "src_port", "dest_port", "destination_port", "http_method",
      "http_user_agent", "http_version", "status", "process_name", "process_pid", "observer_name",
      "error_message", "log_level", "action", "event_data", "dns_upstream_server",
      "dns_upstream_port", "dns_zone", "dns_action_detail", "dns_ttl", "dns_record_value",
      "dns_info", "extensions", "cef", "af_threat_type", "af_category", "http_request_cookies",
      "http_request_data", "icmp_code", "auth_user", "objecttype", "objectname", "net_dst_mac",
      "net_src_mac", "am_pm", "host", "message_end", "cs1label", "cs2label", "cs3label", "cs4label",
      "cs5label", "cs6label",
  };
  ASSERT_EQ(sizeof keys / sizeof keys[0], 176u);
  ASSERT_EQ(vdr_ecs_hint_rows(), 176u);
  for (size_t r = 0; r < 176; ++r) {
    EXPECT_STREQ(vdr_ecs_hint_row_field(r, 0), keys[r]) << r;
    EXPECT_NE(vdr_ecs_hint_row_field(r, 1), nullptr) << keys[r];
    for (int c = 1; c <= 3; ++c) {
      const char *h = vdr_ecs_hint_row_field(r, c);
      if (!h) continue;
      EXPECT_TRUE(strcmp(h, "-") == 0 || vdr_ecs_field_acceptable(h, nullptr))
          << keys[r] << " -> " << h;
    }
  }
  // Telling rows.
  struct Row {
    const char *key, *h0, *h1, *h2;
  } telling[] = {
      {"src", "source.ip", "source.address", nullptr},
      {"dstintf", "observer.egress.interface.name", nullptr, nullptr},
      {"sent", "source.bytes", "network.bytes", nullptr},
      {"devname", "observer.name", "host.name", "observer.hostname"},
      {"type", "event.dataset", "event.module", "event.type"},
      {"tz", "event.timezone", "observer.geo.timezone", "host.geo.timezone"},
      {"version", "observer.version", "agent.version", "service.version"},
      {"date", "event.start", "event.created", "@timestamp"},
      {"proto", "network.transport", "network.iana_number", "network.protocol"},
      {"auth_result", "event.outcome", "event.action", nullptr},
      {"unused_timestamp", "-", nullptr, nullptr},
      {"year", "labels.year", nullptr, nullptr},
      {"cs1label", "labels.cs1_label", nullptr, nullptr},
      {"status", "event.outcome", "http.response.status_code", nullptr},
      {"cef", "-", nullptr, nullptr},
  };
  for (const Row &t : telling) {
    size_t r = 0;
    while (r < 176 && strcmp(vdr_ecs_hint_row_field(r, 0), t.key) != 0) ++r;
    ASSERT_LT(r, 176u) << t.key;
    const char *want[] = {t.h0, t.h1, t.h2};
    for (int c = 0; c < 3; ++c) {
      const char *got = vdr_ecs_hint_row_field(r, c + 1);
      if (!want[c]) EXPECT_EQ(got, nullptr) << t.key << " col " << c;
      else EXPECT_STREQ(got, want[c]) << t.key << " col " << c;
    }
  }
}

std::string hints(const char *key, int max = 3) {
  const char *out[8] = {};
  int n = vdr_ecs_key_hints(key, out, max);
  std::string s;
  for (int i = 0; i < n; ++i) s += std::string(i ? "," : "") + out[i];
  return s;
}

TEST(EcsHints, Lookup) {
  struct Case {
    const char *key;
    int max;
    const char *hints;
  } cases[] = {
      {"srcip", 3, "source.ip,source.address"},
      {"acme.dstport", 3, "destination.port"},
      {"peer_ip", 3, "source.ip,client.ip"},
      {"dst_peer_ip", 3, "destination.ip,server.ip"},
      {"dst_src_ip", 3, "source.ip,client.ip"},  // both directions: source wins
      {"acme.dst.peer_ip4", 3, "destination.ip,server.ip"},
      {"dstx_peer_ip", 3, "source.ip,client.ip"}, // "dstx" is not the token "dst"
      {"DST_PORT", 3, "destination.port"},
      {"SrcIP", 3, "source.ip,source.address"},
      {"event.action", 3, ""},
      {"devname", 2, "observer.name,host.name"},
      {"devname", 1, "observer.name"},
      {"unused_timestamp", 3, "-"},
      {"unused_thing", 3, "-"},
      {"fw_version", 3, "observer.version,agent.version,service.version"},
      {"fw_ver", 3, "observer.version,agent.version,service.version"},
      {"site_timezone", 3, "event.timezone,observer.geo.timezone"},
      {"target_mac", 3, "destination.mac"},
      {"peer_port", 3, "source.port"},
      {"login_user", 3, "user.name,source.user.name"},
      {"peer_hostname", 3, "host.name,observer.hostname"},
      {"ref_uri", 3, "url.original,url.path"},
      {"ref_domain", 3, "url.domain,dns.question.name"},
      {"owner_email", 3, "user.email"},
      {"log_filepath", 3, "file.path,file.name"},
      {"child_pid", 3, "process.pid"},
      {"http_request_body", 3, "http.request.body.content"},
      {"http_req_x", 3, "http.request.body.content"},
      {"HTTP_REQ_X", 3, ""}, // prefix rules are case-sensitive
      {"whatever", 3, ""},
      {"acme.fw.srcintf", 3, "observer.ingress.interface.name"},
      {"", 3, ""},
      {"src", 0, ""},
  };
  for (const Case &k : cases) EXPECT_EQ(hints(k.key, k.max), k.hints) << k.key << " max " << k.max;
  const char *out[2];
  EXPECT_EQ(vdr_ecs_key_hints(nullptr, out, 2), 0);
  EXPECT_EQ(vdr_ecs_key_hints("src", nullptr, 2), 0);
}

struct Lint {
  vdr_ecs_report r{};
  int rc;
  Lint(const char *text, unsigned flags) { rc = vdr_ecs_lint(text, flags, &r); }
  ~Lint() { vdr_ecs_report_free(&r); }
  static std::string join(char **a, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += std::string(i ? " | " : "") + a[i];
    return s;
  }
};

TEST(EcsLint, Verdicts) {
  const char *none = "no named ECS fields (anonymous json names do not count) | "
                     "no event.category (field or annotate=) | "
                     "no entity-capable field (address, account, host, domain, or hash)";
  struct Case {
    const char *text;
    unsigned flags;
    vdr_ecs_verdict verdict;
    const char *errors, *warnings;
  } cases[] = {
      {"", 0, VDR_ECS_FAIL, none, ""},
      {nullptr, 0, VDR_ECS_FAIL, none, ""},
      {"version=2\nrule=:%-:word% %.:rest% %..:word%\n", 0, VDR_ECS_FAIL, none, ""},
      {"version=2\nrule=:%event.category:word%\n", 0, VDR_ECS_FAIL,
       "no entity-capable field (address, account, host, domain, or hash)", ""},
      {"version=2\nrule=:%event.category:word% %source.ip:ipv4% %source.ip:word%\n", 0,
       VDR_ECS_OK, "", ""},
      {"version=2\nrule=:%event.category:word% %host.name:word% %agent.ephemeral_id:word%\n", 0,
       VDR_ECS_OK, "", "field 'agent.ephemeral_id' is ECS 9.5.0 extended"},
      {"version=2\nrule=:%event.category:word% %host.name:word% %agent.ephemeral_id:word%\n",
       VDR_ECS_STRICT, VDR_ECS_FAIL, "field 'agent.ephemeral_id' is ECS 9.5.0 extended", ""},
      {"version=2\nrule=:%event.category:word% %host.name:word% %labels.site_1:word% "
       "%labels.Site:word% %acme.fw.rule:word% %host.custom:word% %ab:word%\n",
       0, VDR_ECS_FAIL,
       "field 'labels.Site' is not in ECS 9.5.0 | field 'host.custom' is not in ECS 9.5.0 | "
       "field 'ab' is not in ECS 9.5.0",
       "field 'acme.fw.rule' is a custom namespace (not in ECS 9.5.0)"},
      // JSON descriptor names, comment lines, rewrite targets and annotations.
      {"version=2\n# rule=:%bogus:word%\n"
       "rule=:%{\"type\":\"word\", \"name\" : \"source.ip\"}% "
       "%{\"type\":\"rest\",\"name\":\"-\"}%\n"
       "rewrite=r1: src = host.name\n"
       "annotate=t1:+event.category=\"authentication\"\n",
       0, VDR_ECS_OK, "", ""},
      {"version=2\nrule=:%-:word%\nannotate=t:+event.category=\"x\"\n  rewrite=x: k = source.ip\n",
       0, VDR_ECS_OK, "", ""},
  };
  for (const Case &k : cases) {
    Lint l(k.text, k.flags);
    const char *label = k.text ? k.text : "(null)";
    ASSERT_EQ(l.rc, 0) << label;
    EXPECT_EQ(l.r.verdict, k.verdict) << label;
    EXPECT_STREQ(l.r.schema_version, "9.5.0");
    EXPECT_EQ(Lint::join(l.r.errors, l.r.n_errors), k.errors) << label;
    EXPECT_EQ(Lint::join(l.r.warnings, l.r.n_warnings), k.warnings) << label;
  }
}

TEST(EcsLint, MessageCapsAndNameLimits) {
  // 100 distinct unknown names: 64 errors are kept, the verdict still fails.
  std::string text = "version=2\nrule=:";
  for (int i = 0; i < 100; ++i) text += "%bad" + std::to_string(i) + ":word% ";
  text += "\n";
  Lint l(text.c_str(), 0);
  ASSERT_EQ(l.rc, 0);
  EXPECT_EQ(l.r.n_errors, 64u);
  EXPECT_EQ(l.r.verdict, VDR_ECS_FAIL);

  // A name of 128 characters is dropped; one of 127 is linted.
  std::string n127 = "acme." + std::string(122, 'a'), n128 = "acme." + std::string(123, 'a');
  std::string t2 = "version=2\nrule=:%event.category:word% %host.name:word% %" + n127 + ":word% %" +
                   n128 + ":word%\n";
  Lint l2(t2.c_str(), 0);
  EXPECT_EQ(l2.r.n_warnings, 1u);
  EXPECT_EQ(l2.r.verdict, VDR_ECS_OK);
  ASSERT_EQ(l2.r.n_warnings, 1u);
  EXPECT_EQ(std::string(l2.r.warnings[0]),
            "field '" + n127 + "' is a custom namespace (not in ECS 9.5.0)");

  EXPECT_EQ(vdr_ecs_lint("x", 0, nullptr), -1);
  vdr_ecs_report_free(nullptr);
}

} // namespace
