// The exchange-kit builder: source ids, defaults and option checks, entity
// keys and mappings, the exact meta.yaml read back with a YAML parser, and
// the refusals that keep a kit loadable and its YAML readable.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/veldra.h"
#include "yaml_read.h"

namespace {

// A built kit, freed with the object.
struct kit {
  vdr_triad t{};
  int rc = -1;
  kit(const std::string &rb, const char *id, const char *label = nullptr,
      const vdr_triad_opts *opts = nullptr) {
    rc = vdr_triad_build_ex(rb.c_str(), id, label, opts, &t);
  }
  ~kit() { vdr_triad_free(&t); }
  ynode meta() const {
    ynode y;
    std::string err;
    EXPECT_TRUE(yaml_read(t.meta_yaml ? t.meta_yaml : "", &y, &err)) << err;
    return y;
  }
};

const std::string k_net_rb = "version=2\n"
                             "rule=fw_allow:allow %source.ip:ipv4% -> %destination.ip:ipv4%\n"
                             "annotate=fw_allow:+event.category=\"network\"\n";

TEST(TriadSourceId, Validity) {
  struct Case {
    const char *id;
    int ok;
  } cases[] = {
      {"linux-sshd", 1}, {"a-b", 1},         {"nginx-edge2", 1}, {"ab", 0},
      {"sshd", 0},       {"linux-sshd-x", 0}, {"-linux", 0},     {"linux-", 0},
      {"linux-2x", 0},   {"Linux-sshd", 0},  {"linux_sshd", 0},  {"1inux-sshd", 0},
      {nullptr, 0},
  };
  for (const Case &c : cases) EXPECT_EQ(vdr_source_id_valid(c.id), c.ok) << (c.id ? c.id : "null");
  const std::string longest = "a-" + std::string(61, 'b');
  EXPECT_EQ(vdr_source_id_valid(longest.c_str()), 1);
  EXPECT_EQ(vdr_source_id_valid((longest + "b").c_str()), 0);
}

TEST(TriadBuild, IdFromTheFirstRuleLine) {
  kit a("version=2\nrule=Linux_SSHD:x %user.name:word%\nrule=other_one:y\n", nullptr);
  ASSERT_EQ(a.rc, 0);
  EXPECT_STREQ(a.t.id, "linux-sshd");
  // A tag without "-" or "_" gives no valid id, and the build fails.
  kit b("version=2\nrule=sshd:x %user.name:word%\n", nullptr);
  EXPECT_EQ(b.rc, -1);
  EXPECT_EQ(b.t.id, nullptr);
  // A given valid id wins over the rule line.
  kit c("version=2\nrule=Linux_SSHD:x\n", "acme-box");
  EXPECT_STREQ(c.t.id, "acme-box");
}

TEST(TriadBuild, DefaultsAndOptions) {
  struct Case {
    const char *id;
    vdr_triad_opts opts;
    const char *ent, *type, *facility, *path;
  } cases[] = {
      {"nginx-edge", {}, "app", "imfile", "local6", "/var/log/nginx/edge.log"},
      {"linux-sshd", {}, "auth", "imfile", "auth", "/var/log/auth.log"},
      {"linux-kernel", {}, "auth", "imfile", "kern", "/var/log/kern.log"},
      {"f5-nginx", {}, "app", "imfile", "local6", "/var/log/nginx/access.log"},
      {"acme-postfix", {}, "mail", "imfile", "local6", "/var/log/acme-postfix.log"},
      {"acme-box", {}, "auth", "imfile", "auth", "/var/log/auth.log"},
      {"pf-fw", {nullptr, nullptr, "imudp"}, "network", "imudp", "local6", "514"},
      {"pf-fw", {"local3", "5514", "imtcp"}, "network", "imtcp", "local3", "5514"},
      {"pf-fw", {"", "", ""}, "network", "imfile", "local6", "/var/log/pf-fw.log"},
      {"pf-fw", {nullptr, "/srv/log/pf.log", nullptr}, "network", "imfile", "local6",
       "/srv/log/pf.log"},
  };
  for (const Case &c : cases) {
    kit k("version=2\nrule=x:%source.ip:ipv4%\n", c.id, nullptr, &c.opts);
    ASSERT_EQ(k.rc, 0) << c.id;
    EXPECT_STREQ(k.t.entity_category, c.ent) << c.id;
    EXPECT_STREQ(k.t.input_type, c.type) << c.id;
    EXPECT_STREQ(k.t.facility, c.facility) << c.id;
    EXPECT_STREQ(k.t.input_path, c.path) << c.id;
    const ynode col = k.meta()["collection"];
    EXPECT_EQ(col[strcmp(c.type, "imfile") == 0 ? "path" : "port"].scalar, c.path) << c.id;
  }

  const vdr_triad_opts bad[] = {
      {nullptr, "0", "imudp"},      {nullptr, "08", "imudp"},   {nullptr, "65536", "imtcp"},
      {nullptr, "51a", "imudp"},    {nullptr, "var/log", nullptr}, {nullptr, "/a\"b", nullptr},
      {nullptr, "/a%b", nullptr},   {nullptr, "/a\\b", nullptr}, {nullptr, "/a\x7f", nullptr},
      {nullptr, "/a\xff", nullptr}, {"Local6", nullptr, nullptr}, {"local-6", nullptr, nullptr},
      {nullptr, nullptr, "imjournal"},
  };
  for (const vdr_triad_opts &o : bad) {
    kit k("version=2\nrule=x:%source.ip:ipv4%\n", "pf-fw", nullptr, &o);
    EXPECT_EQ(k.rc, -1) << (o.input_path ? o.input_path : "") << (o.facility ? o.facility : "");
    EXPECT_STREQ(vdr_triad_error(), "");
    EXPECT_EQ(k.t.meta_yaml, nullptr);
  }
}

TEST(TriadBuild, ExactMetaYamlReadsBackAndRebuildsTheSame) {
  const std::string rb =
      "version=2\n"
      "rule=fw_deny:deny %source.ip:ipv4%:%source.port:number% -> %destination.ip:ipv4%:"
      "%destination.port:number% %network.transport:word% %event.outcome:word% "
      "%destination.bytes:number% %user.name:word% %event.severity:word%";
  vdr_triad_opts opts{nullptr, nullptr, "imudp"};
  kit k(rb + "\nannotate=fw_deny:+event.category=\"network\"", nullptr, "Edge \"FW\" \\ é",
        &opts);
  ASSERT_EQ(k.rc, 0) << vdr_triad_error();
  EXPECT_EQ(std::string(k.t.meta_yaml),
            "id: \"fw-deny\"\n"
            "kind: \"parser\"\n"
            "title: \"Edge \\\"FW\\\" \\\\ é\"\n"
            "state: \"draft\"\n"
            "quality: \"quarry\"\n"
            "techno: \"fw\"\n"
            "product: \"deny\"\n"
            "mitre: []\n"
            "ocsf:\n"
            "  class: 4001\n"
            "  field_map:\n"
            "    \"src_endpoint.ip\": \"source.ip\"\n"
            "    \"dst_endpoint.ip\": \"destination.ip\"\n"
            "    \"dst_endpoint.port\": \"destination.port\"\n"
            "    \"protocol_name\": \"network.transport\"\n"
            "    \"actor.user.name\": \"user.name\"\n"
            "entity_keys:\n"
            "  - \"src_host:source.ip\"\n"
            "  - \"dst_host:destination.ip\"\n"
            "  - \"user:user.name\"\n"
            "  - \"dst_port:destination.port:network\"\n"
            "  - \"proto:network.transport:network\"\n"
            "  - \"outcome:event.outcome:network\"\n"
            "  - \"bytes_out:destination.bytes\"\n"
            "mappings:\n"
            "  - \"source.ip:$!threat!source.ip\"\n"
            "  - \"destination.ip:$!threat!destination.ip\"\n"
            "normalize: []\n"
            "score:\n"
            "  severity: \"event.severity\"\n"
            "collection:\n"
            "  input: \"imudp\"\n"
            "  port: \"514\"\n"
            "  program: \"fw-deny\"\n"
            "  redis_key: \"hark.fw-deny\"\n"
            "  facility: \"local6\"\n");
  // The rulebase is written with its missing final newline.
  EXPECT_EQ(std::string(k.t.rulebase), rb + "\nannotate=fw_deny:+event.category=\"network\"\n");

  const ynode y = k.meta();
  EXPECT_EQ(y.keys(), (std::vector<std::string>{"id", "kind", "title", "state", "quality", "techno",
                                                "product", "mitre", "ocsf", "entity_keys",
                                                "mappings", "normalize", "score", "collection"}));
  EXPECT_EQ(y["title"].scalar, "Edge \"FW\" \\ é");
  EXPECT_EQ(y["ocsf"]["class"].scalar, "4001");
  EXPECT_EQ(y["ocsf"]["field_map"]["protocol_name"].scalar, "network.transport");
  EXPECT_EQ(y["entity_keys"].scalars().size(), 7u);
  EXPECT_EQ(y["mitre"].kind, ynode::SEQ);
  EXPECT_EQ(y["collection"]["port"].scalar, "514");

  // The exported rulebase builds the same kit again.
  kit again(k.t.rulebase, nullptr, "Edge \"FW\" \\ é", &opts);
  ASSERT_EQ(again.rc, 0);
  EXPECT_STREQ(again.t.meta_yaml, k.t.meta_yaml);
  EXPECT_STREQ(again.t.rulebase, k.t.rulebase);
}

TEST(TriadBuild, EmptyListsAndNoMapReadBack) {
  kit k("version=2\nrule=x:%labels.site:word%\n", "acme-box", nullptr);
  ASSERT_EQ(k.rc, 0);
  const std::string meta = k.t.meta_yaml;
  EXPECT_NE(meta.find("  class: 3002\n  field_map: {}\n"), std::string::npos) << meta;
  EXPECT_NE(meta.find("\nentity_keys: []\nmappings: []\nnormalize: []\ncollection:\n"),
            std::string::npos)
      << meta;
  const ynode y = k.meta();
  EXPECT_EQ(y["ocsf"]["field_map"].kind, ynode::MAP);
  EXPECT_TRUE(y["entity_keys"].seq.empty());
  EXPECT_EQ(y["score"].kind, ynode::NONE);
}

TEST(TriadBuild, NetworkExampleKeysMappingsAndClass) {
  kit k(k_net_rb, "acme-fw");
  ASSERT_EQ(k.rc, 0);
  const ynode y = k.meta();
  EXPECT_EQ(y["entity_keys"].scalars(),
            (std::vector<std::string>{"src_host:source.ip", "dst_host:destination.ip"}));
  EXPECT_EQ(y["mappings"].seq.size(), 2u);
  EXPECT_EQ(y["ocsf"]["class"].scalar, "4001");
  EXPECT_EQ(y["ocsf"]["field_map"].keys(),
            (std::vector<std::string>{"src_endpoint.ip", "dst_endpoint.ip"}));
  EXPECT_EQ(std::vector<std::string>(k.t.fields, k.t.fields + k.t.n_fields),
            (std::vector<std::string>{"destination.ip", "event.category", "source.ip"}));

  char *json = vdr_triad_to_json(&k.t);
  ASSERT_NE(json, nullptr);
  const std::string j = json;
  vdr_free(json);
  EXPECT_EQ(j.rfind("{\"id\":\"acme-fw\",\"facility\":\"local6\",\"input_path\":", 0), 0u) << j;
  EXPECT_NE(j.find(",\"fields\":[\"destination.ip\",\"event.category\",\"source.ip\"],\"files\":"
                   "{\"parser.rulebase\":\"version=2\\n"),
            std::string::npos)
      << j;
  vdr_triad empty{};
  EXPECT_EQ(vdr_triad_to_json(&empty), nullptr);
}

TEST(TriadBuild, OutcomeKeys) {
  // A parsed outcome needs no annotation to be keyed.
  kit a("version=2\nrule=x:%source.ip:ipv4% %event.outcome:word%\n", "pf-fw");
  ASSERT_EQ(a.rc, 0);
  EXPECT_EQ(a.meta()["entity_keys"].scalars().back(), "outcome:event.outcome:network");
  // An annotated action that is neither a failure nor a success word does not
  // make event.action an outcome.
  kit b("version=2\nrule=t:%source.ip:ipv4%\nannotate=t:+event.action=\"login\"\n", "pf-fw");
  ASSERT_EQ(b.rc, 0);
  EXPECT_EQ(b.meta()["entity_keys"].scalars(), std::vector<std::string>{"src_host:source.ip"});
  kit c("version=2\nrule=t:%source.ip:ipv4% %event.action:word%\n", "pf-fw");
  ASSERT_EQ(c.rc, 0);
  EXPECT_EQ(c.meta()["entity_keys"].scalars().back(), "outcome:event.action:network");
}

TEST(TriadBuild, CommentLinesNeverCount) {
  // A commented-out field adds no entity key, a commented-out category does
  // not choose the class, and a commented-out detection annotation does not
  // refuse the kit.
  kit k("version=2\n"
        "rule=t:%source.ip:ipv4%\n"
        "# rule=t:%user.name:word% %destination.ip:ipv4%\n"
        "  # annotate=t:+event.category=\"web\"\n"
        "#annotate=t:+event.outcome=\"failure\"\n"
        "annotate=t:+event.category=\"dns\"\n",
        "acme-box");
  ASSERT_EQ(k.rc, 0) << vdr_triad_error();
  const ynode y = k.meta();
  EXPECT_EQ(y["entity_keys"].scalars(), std::vector<std::string>{"src_host:source.ip"});
  EXPECT_EQ(y["ocsf"]["class"].scalar, "4003");
  EXPECT_EQ(std::string(k.t.entity_category), "network");
}

TEST(TriadBuild, RefusalsWithAReason) {
  struct Case {
    std::string rb;
    const char *label;
    const char *why;
  } cases[] = {
      {"version=2\ninclude=common.rb\nrule=t:%source.ip:ipv4%\n", nullptr,
       "the rulebase has include= lines, and an exchange kit carries parser.rulebase alone; "
       "inline the included rules first"},
      {"version=2\n  include=/opt/rb/basic_types.rb\nrule=t:%source.ip:ipv4%\n", nullptr,
       "the rulebase has include= lines, and an exchange kit carries parser.rulebase alone; "
       "inline the included rules first"},
      {k_net_rb, "tab\there", "--label must be printable UTF-8 text (no control bytes, DEL or "
                              "invalid UTF-8)"},
      {k_net_rb, "del\x7f", "--label must be printable UTF-8 text (no control bytes, DEL or "
                            "invalid UTF-8)"},
      {k_net_rb, "bad \xc3", "--label must be printable UTF-8 text (no control bytes, DEL or "
                             "invalid UTF-8)"},
      {k_net_rb, "c1 \xc2\x85\xc2\x80", "--label must be printable UTF-8 text (no control bytes, "
                                        "DEL or invalid UTF-8)"},
      {k_net_rb, "overlong \xc0\xaf", "--label must be printable UTF-8 text (no control bytes, "
                                      "DEL or invalid UTF-8)"},
      {"version=2\nrule=ssh_fail:%source.ip:ipv4%\n"
       "annotate=ssh_fail:+event.outcome=\"failure\"\n",
       nullptr,
       "ssh_fail: is a detection rule and has no lexicon severity (log.level is not a band)"},
  };
  for (const Case &c : cases) {
    kit k(c.rb, "acme-fw", c.label);
    EXPECT_EQ(k.rc, -1) << c.rb;
    EXPECT_STREQ(vdr_triad_error(), c.why) << c.rb;
    EXPECT_EQ(k.t.meta_yaml, nullptr);
  }
  // A commented-out include is no include; the error text is cleared by the
  // next build.
  kit ok("version=2\n# include=common.rb\nrule=t:%source.ip:ipv4%\n", "acme-fw", "Ünïcode ☃");
  EXPECT_EQ(ok.rc, 0);
  EXPECT_STREQ(vdr_triad_error(), "");
  EXPECT_EQ(ok.meta()["title"].scalar, "Ünïcode ☃");
}

TEST(TriadBuild, YamlPrintableText) {
  EXPECT_EQ(vdr_text_yaml_printable("plain ascii ~"), 1);
  EXPECT_EQ(vdr_text_yaml_printable("\xf0\x9f\x98\x80 \xef\xbf\xbd"), 1);
  EXPECT_EQ(vdr_text_yaml_printable("\xef\xbf\xbe"), 0);       // U+FFFE
  EXPECT_EQ(vdr_text_yaml_printable("\xed\xa0\x80"), 0);       // a surrogate
  EXPECT_EQ(vdr_text_yaml_printable("\xf4\x90\x80\x80"), 0);   // past U+10FFFF
  EXPECT_EQ(vdr_text_yaml_printable("\xe0\x80\xaf"), 0);       // overlong
  EXPECT_EQ(vdr_text_yaml_printable("\xe2\x82"), 0);           // cut short
  EXPECT_EQ(vdr_text_yaml_printable(nullptr), 0);
}

TEST(TriadBuild, TheLongestSpecTagStillFitsTheReadinessKey) {
  // spec caps tags at 62 characters so that the readiness check's rule key
  // (tag and ":") holds at most 63.
  auto spec = [](size_t n) {
    return "{\"tag\":\"" + std::string(n, 'a') +
           "\",\"segments\":[{\"field\":\"source.ip\",\"type\":\"ipv4\"}],"
           "\"annotations\":{\"event.outcome\":\"failure\",\"event.severity\":\"high\"}}";
  };
  char *rb = nullptr, *err = nullptr;
  ASSERT_EQ(vdr_spec_emit(spec(62).c_str(), &rb, &err), 0) << err;
  {
    kit k(rb, "acme-box");
    EXPECT_EQ(k.rc, 0) << vdr_triad_error();
  }
  vdr_free(rb);
  EXPECT_EQ(vdr_spec_emit(spec(63).c_str(), &rb, &err), -1);
  vdr_free(err);
  // A hand-written 63-character tag is what the readiness check cannot key.
  kit k("version=2\nrule=" + std::string(63, 'a') + ":%source.ip:ipv4%\nannotate=" +
            std::string(63, 'a') + ":+event.outcome=\"failure\"\n",
        "acme-box");
  EXPECT_EQ(k.rc, -1);
  EXPECT_STREQ(vdr_triad_error(), "score gate could not record every rule");
}

} // namespace
