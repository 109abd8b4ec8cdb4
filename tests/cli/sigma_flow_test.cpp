// `veldra sigma match` and `veldra sigma correlate` end to end: a rules
// corpus compiled by the command, matched and correlated over a generated
// stream of 100,000 events with planted attacks (fixed seed), plus the
// commands' messages and exit statuses.
#include <gtest/gtest.h>

#include <libfastjson/json.h>

#include <ctime>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>

#include "run_veldra.h"

namespace {

constexpr int kEvents = 100000;
constexpr double kBase = 1709294400.0; // 2024-03-01T12:00:00Z

// Slot i is stamped kBase + i / 2 seconds, in one of three spellings.
std::string stamp(int i) {
  const double t = kBase + i * 0.5;
  const time_t whole = static_cast<time_t>(t);
  const int ms = static_cast<int>((t - static_cast<double>(whole)) * 1000 + 0.5);
  char buf[64];
  struct tm tm;
  switch (i % 3) {
    case 0:
      gmtime_r(&whole, &tm);
      strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
      return "\"" + std::string(buf) + "." + std::to_string(ms / 100) + "Z\"";
    case 1: {
      const time_t local = whole + 2 * 3600;
      gmtime_r(&local, &tm);
      strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
      return "\"" + std::string(buf) + "." + std::to_string(ms / 100) + "+02:00\"";
    }
    default:
      return std::to_string(static_cast<long long>(whole) * 1000 + ms);
  }
}

struct corpus_run {
  temp_dir dir;
  std::map<int, std::string> planted; // slot -> title of the rule it must hit
  std::set<std::tuple<int, std::string, std::string>> correlations; // slot, id, group
  std::string sigmac, corr, events;
  veldra_run compiled;

  // Compiles the corpus; the events are generated only when `stream` is set.
  explicit corpus_run(bool stream) {
    sigmac = dir / "corpus.sigmac";
    corr = sigmac + ".corr.json";
    events = dir / "events.jsonl";
    compiled = run_veldra({{"sigma", "compile", fixtures() + "/sigma/corpus.yml", "-o", sigmac}});
    if (!stream) return;

    std::map<int, std::string> attack; // slot -> event body (without the time)
    auto plant = [&](int slot, const std::string &body, const char *title) {
      attack[slot] = body;
      planted[slot] = title;
    };
    auto fail = [](const char *ip) {
      return std::string("\"product\":\"sshd\",\"event\":{\"action\":\"ssh_login\",\"outcome\":\"failure\"},"
                         "\"source\":{\"ip\":\"") + ip + "\"}";
    };
    for (int k = 0; k < 5; ++k) plant(10000 + 10 * k, fail("203.0.113.7"), "SSH login failure");
    correlations.emplace(10040, "brute", "203.0.113.7");
    for (int k = 0; k < 4; ++k) plant(20000 + 100 * k, fail("203.0.113.8"), "SSH login failure");
    for (int k = 0; k < 5; ++k) plant(30000 + 100 * k, fail("203.0.113.9"), "SSH login failure");
    for (int k = 0; k < 3; ++k)
      plant(40000 + k, "\"event\":{\"category\":\"web\"},\"url\":{\"path\":\"/cgi/../../etc/passwd\"}",
            "Path traversal to passwd");
    plant(45000, "\"destination\":{\"ip\":\"198.51.100.23\",\"port\":4444}", "Connection to known C2 net");
    plant(45500, "\"destination\":{\"ip\":\"198.51.100.99\",\"port\":\"8080\"}", "Connection to known C2 net");
    plant(50000, "\"event\":{\"action\":\"useradd\"},\"user\":{\"target\":{\"name\":\"adm1\"}}",
          "Admin-like account created");
    plant(50001, "\"event\":{\"action\":\"useradd\"},\"user\":{\"target\":{\"name\":\"adm42\"}}",
          "Admin-like account created");
    auto created = [](const char *u) {
      return std::string("\"event\":{\"action\":\"user_created\"},\"user\":{\"target\":{\"name\":\"") + u + "\"}}";
    };
    auto wheel = [](const char *u) {
      return std::string("\"event\":{\"action\":\"group_member_added\"},\"group\":{\"name\":\"wheel\"},"
                         "\"user\":{\"target\":{\"name\":\"") + u + "\"}}";
    };
    plant(60000, created("mallory"), "User created");
    plant(60100, wheel("mallory"), "User added to wheel");
    correlations.emplace(60100, "persist", "mallory");
    plant(61000, wheel("bob"), "User added to wheel"); // the wrong order
    plant(61100, created("bob"), "User created");
    plant(70000, "\"file\":{\"path\":\"/etc/shadow\"},\"process\":{\"name\":\"cat\"},\"host\":{\"name\":\"db1\"}",
          "Shadow file read");
    const std::string ps = "\"process\":{\"name\":\"C:\\\\Windows\\\\powershell.exe\",\"command_line\":"
                           "\"powershell.exe -nop -enc SQBFAFgA\"},\"host\":{\"name\":\"";
    plant(70400, ps + "db1\"}", "Encoded PowerShell");
    correlations.emplace(70400, "recon", "db1");
    plant(80000, ps + "ws2\"}", "Encoded PowerShell");

    // Background: near misses of every rule, none of which may hit.
    std::mt19937 rng(42);
    std::string text;
    text.reserve(kEvents * 130);
    for (int i = 0; i < kEvents; ++i) {
      std::string body;
      if (auto it = attack.find(i); it != attack.end()) {
        body = it->second;
      } else {
        const uint32_t r = rng(), n = rng() % 250;
        switch (r % 7) {
          case 0: body = "\"product\":\"sshd\",\"event\":{\"action\":\"ssh_login\",\"outcome\":\"success\"},\"source\":{\"ip\":\"10.1.0." + std::to_string(n) + "\"}"; break;
          case 1: body = "\"event\":{\"category\":\"web\"},\"url\":{\"path\":\"/etc/passwd/../index" + std::to_string(n) + ".html\"}"; break;
          case 2: body = "\"process\":{\"name\":\"powershell.exe\",\"command_line\":\"powershell.exe -File x" + std::to_string(n) + ".ps1\"},\"host\":{\"name\":\"h" + std::to_string(n) + "\"}"; break;
          case 3: body = "\"file\":{\"path\":\"/etc/shadow\"},\"process\":{\"name\":\"" + std::string(n % 2 ? "passwd" : "chage") + "\"},\"host\":{\"name\":\"db1\"}"; break;
          case 4: body = "\"destination\":{\"ip\":\"198.51.100." + std::to_string(n) + "\",\"port\":" + std::to_string(n % 4000) + "}"; break;
          case 5: body = "\"destination\":{\"ip\":\"198.51.101." + std::to_string(n) + "\",\"port\":4444}"; break;
          default: body = "\"event\":{\"action\":\"useradd\"},\"user\":{\"target\":{\"name\":\"xadm" + std::to_string(n) + "\"}}"; break;
        }
      }
      text += "{\"@timestamp\":" + stamp(i) + "," + body + "}\n";
    }
    spill(events, text);
  }
};

corpus_run &corpus(bool stream = true) {
  if (!stream) {
    static corpus_run rules_only(false);
    return rules_only;
  }
  static corpus_run c(true);
  return c;
}

struct json_doc {
  fjson_object *root = nullptr;
  explicit json_doc(const std::string &text) {
    fjson_tokener *tok = fjson_tokener_new_ex(64);
    root = fjson_tokener_parse_ex(tok, text.c_str(), static_cast<int>(text.size()));
    fjson_tokener_free(tok);
  }
  ~json_doc() {
    if (root) fjson_object_put(root);
  }
  static fjson_object *get(fjson_object *o, const char *k) {
    fjson_object *v = nullptr;
    return o && fjson_object_object_get_ex(o, k, &v) ? v : nullptr;
  }
};

TEST(SigmaFlow, MatchFindsEveryPlantedAttackAndNothingElse) {
  corpus_run &c = corpus();
  ASSERT_EQ(c.compiled.status, 0) << c.compiled.err;
  veldra_run r = run_veldra({{"sigma", "match", "--sigmac", c.sigmac, "--events", c.events}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  json_doc d(r.out);
  ASSERT_NE(d.root, nullptr);
  EXPECT_EQ(fjson_object_get_int64(json_doc::get(d.root, "n_events")), kEvents);
  EXPECT_EQ(fjson_object_get_int64(json_doc::get(d.root, "n_rules")), 18);
  std::map<int, std::string> found;
  fjson_object *rows = json_doc::get(d.root, "rows");
  ASSERT_EQ(fjson_object_array_length(rows), kEvents);
  for (int i = 0; i < kEvents; ++i) {
    fjson_object *hits = json_doc::get(fjson_object_array_get_idx(rows, i), "hits");
    for (int k = 0; k < fjson_object_array_length(hits); ++k) {
      std::string title = fjson_object_get_string(json_doc::get(fjson_object_array_get_idx(hits, k), "title"));
      EXPECT_TRUE(found.emplace(i, title).second) << "two hits on event " << i;
    }
  }
  EXPECT_EQ(found, c.planted);
  fjson_object *kpi = json_doc::get(d.root, "kpi");
  EXPECT_EQ(fjson_object_get_int64(json_doc::get(kpi, "hits")), static_cast<int64_t>(c.planted.size()));
  EXPECT_EQ(fjson_object_get_int64(json_doc::get(kpi, "benign")), 2); // the "User created" hits
}

TEST(SigmaFlow, CorrelateFiresThePlantedCorrelations) {
  corpus_run &c = corpus();
  ASSERT_EQ(c.compiled.status, 0) << c.compiled.err;
  veldra_run r = run_veldra(
      {{"sigma", "correlate", "--sigmac", c.sigmac, "--events", c.events, "--corr", c.corr}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, ""); // a valid image is read as bytes: no zero-byte warning
  json_doc d(r.out);
  ASSERT_NE(d.root, nullptr) << r.out.substr(0, 400);
  EXPECT_EQ(fjson_object_get_int64(json_doc::get(d.root, "n_corr")), 3);
  std::set<std::tuple<int, std::string, std::string>> fired;
  fjson_object *fires = json_doc::get(d.root, "fires");
  for (int k = 0; k < fjson_object_array_length(fires); ++k) {
    fjson_object *f = fjson_object_array_get_idx(fires, k);
    fired.emplace(static_cast<int>(fjson_object_get_int64(json_doc::get(f, "event"))),
                  fjson_object_get_string(json_doc::get(f, "corr_id")),
                  fjson_object_get_string(json_doc::get(f, "group")));
  }
  EXPECT_EQ(fired, c.correlations);
}

TEST(SigmaFlow, MessagesAndExplain) {
  corpus_run &c = corpus(false);
  ASSERT_EQ(c.compiled.status, 0) << c.compiled.err;
  temp_dir d;
  spill(d / "one.jsonl", "{\"file\":{\"path\":\"/etc/shadow\"},\"process\":{\"name\":\"cat\"}}\n");
  spill(d / "bad.sigmac", "this is not an image");
  spill(d / "bad.jsonl", "{\"a\":1}\nnot json\n");

  veldra_run ex = run_veldra({{"sigma", "match", "--sigmac", c.sigmac, "--events", d / "one.jsonl", "--explain"}});
  EXPECT_EQ(ex.status, 0) << ex.err;
  EXPECT_NE(ex.out.find("\"explain\":[{\"selection\":0,\"matched\":true"), std::string::npos) << ex.out;
  EXPECT_NE(ex.out.find("{\"selection\":1,\"matched\":false"), std::string::npos) << ex.out;

  struct cli_case {
    std::vector<std::string> args;
    int status;
    std::string out_prefix, err;
  } cases[] = {
      {{"sigma", "match", "--sigmac", d / "bad.sigmac", "--events", d / "one.jsonl"}, 3, "",
       "veldra sigma: sigmac load status -3\n"},
      {{"sigma", "match", "--sigmac", d / "none.sigmac", "--events", d / "one.jsonl"}, 3, "",
       "veldra sigma: cannot open .sigmac\n"},
      {{"sigma", "correlate", "--sigmac", c.sigmac, "--events", d / "one.jsonl"}, 3, "",
       "veldra sigma correlate: --corr required\n"},
      {{"sigma", "match", "--sigmac", c.sigmac, "--events", d / "bad.jsonl"}, 0,
       "{\"ok\":false,\"error\":\"event JSON parse failed\"}\n", ""},
      {{"sigma", "correlate", "--sigmac", c.sigmac, "--events", d / "one.jsonl", "--corr", d / "one.jsonl"}, 0,
       "{\"ok\":false,\"error\":\"corr json rejected\"}\n", ""},
  };
  for (const cli_case &k : cases) {
    veldra_run r = run_veldra({k.args});
    EXPECT_EQ(r.status, k.status) << k.args[3];
    EXPECT_EQ(r.err, k.err) << k.args[3];
    EXPECT_EQ(r.out, k.out_prefix) << k.args[3];
  }
}

} // namespace
