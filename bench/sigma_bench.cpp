// Sigma evaluation throughput: generated databases of 10 to 5,000 rules of
// realistic shape (selections of contains / startswith / endswith / equality
// predicates over ECS fields, a filter selection, shared logsources routed by
// event.category) against a stream of generated events of 20 to 40 fields,
// some of them hitting. Reported per configuration: events per second on one
// core with the prefilter forced on and off, and the prefilter's scanned
// bytes per second.
//
// When Vectorscan is installed (built with -DVELDRA_HAVE_VECTORSCAN, see the
// end of this file), the same needles are scanned over the same field values
// with it as an anchor for the scan rate.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "../tests/sigma/sigma_gen.h"
#include "sigma/sigma_format.h"
#include "sigma/sigma_match.h"

namespace {

using namespace sigma_test;

const std::vector<std::string> kFields = {
    "process.command_line", "process.name", "process.executable", "process.parent.name",
    "process.parent.command_line", "process.pid", "user.name", "user.domain", "host.name",
    "host.os.type", "file.path", "file.name", "file.extension", "registry.path", "registry.value",
    "destination.ip", "destination.port", "source.ip", "source.port", "url.original",
    "dns.question.name", "event.code", "event.action", "event.outcome", "network.protocol",
    "http.request.method", "user_agent.original", "service.name", "process.hash.sha256",
    "winlog.channel", "winlog.provider_name", "agent.version", "log.level", "message"};
const std::vector<std::string> kCategories = {"process_creation", "network_connection", "file_event",
                                              "registry_event",   "dns_query",          "image_load",
                                              "ps_script",        "proxy"};
const std::vector<std::string> kWords = {
    "powershell", "cmd.exe", "rundll32", "regsvr32", "certutil", "mshta", "wscript", "bitsadmin",
    "-encodedcommand", "invoke-expression", "downloadstring", "\\windows\\system32\\", "\\temp\\",
    "\\appdata\\roaming\\", ".dll", ".ps1", ".vbs", "schtasks", "whoami", "net user", "vssadmin",
    "shadowcopy", "-nop", "hidden", "bypass", "lsass", "procdump", "sekurlsa", "/create", "/sc",
    "http://", "https://", ".onion", "pastebin", "base64", "frombase64string", "iex", "curl",
    "wget", "/tmp/", "/dev/shm/", "chmod +x", "nc -e", "bash -i", "python -c", "crontab"};

// A pseudo-word of 5 to 11 letters, so that rule values are mostly distinct.
std::string token(rng &g) {
  std::string s;
  uint32_t n = 5 + g.below(7);
  for (uint32_t i = 0; i < n; i++) s.push_back(char('a' + g.below(26)));
  return s;
}

std::string rule_value(rng &g) {
  return g.chance(30) ? g.pick(kWords) : g.pick(kWords) + token(g);
}

struct bench_db {
  builder b;
  std::vector<std::vector<pred_spec>> first_sel; // per rule, for hitting events
  std::vector<uint32_t> category;                // per rule
};

bench_db make_db(uint32_t n_rules, uint64_t seed) {
  rng g(seed);
  bench_db d;
  builder &b = d.b;
  static const uint8_t ops[] = {SIGMA_OP_CONTAINS, SIGMA_OP_CONTAINS, SIGMA_OP_STARTSWITH,
                                SIGMA_OP_ENDSWITH, SIGMA_OP_EQ};
  std::vector<std::vector<uint32_t>> per_cat(kCategories.size());
  for (uint32_t r = 0; r < n_rules; r++) {
    std::vector<std::vector<pred_spec>> sels(1);
    uint32_t groups = 1 + g.below(3);
    for (uint16_t gi = 0; gi < groups; gi++) {
      std::string f = g.pick(kFields);
      uint8_t op = ops[g.below(5)];
      uint32_t alts = 1 + g.below(4);
      for (uint32_t a = 0; a < alts; a++) sels[0].push_back(pred_spec{f, op, rule_value(g), 0, gi});
    }
    std::vector<std::pair<uint8_t, uint32_t>> toks;
    if (g.chance(40)) {
      sels.push_back({pred_spec{g.pick(kFields), SIGMA_OP_CONTAINS, rule_value(g)}});
      toks = {{SIGMA_C_SEL, 0}, {SIGMA_C_SEL, 1}, {SIGMA_C_NOT, 0}, {SIGMA_C_AND, 0}};
    }
    d.first_sel.push_back(sels[0]);
    b.rule(r, sels, toks);
    uint32_t cat = g.below(uint32_t(kCategories.size()));
    d.category.push_back(cat);
    per_cat[cat].push_back(r);
  }
  for (const std::string &f : kFields) b.field(f);
  b.field("event.category");
  for (size_t c = 0; c < kCategories.size(); c++) b.bucket(kCategories[c], per_cat[c]);
  derive_prefilter(b, derive_options{});
  return d;
}

// An event of 20 to 40 fields over a fixed catalogue; the lookup resolves
// the database's names by their position in the pool (names are stable
// pointers), the routing names by a small pointer cache.
struct bench_event {
  std::vector<std::string> value; // per catalogue field
  std::vector<uint8_t> present;
  // The values packed in one buffer, as a parser would leave them.
  std::string packed;
  std::vector<uint32_t> off, len;
  void pack() {
    packed.clear();
    off.assign(value.size(), 0);
    len.assign(value.size(), 0);
    for (size_t i = 0; i < value.size(); i++) {
      off[i] = uint32_t(packed.size());
      len[i] = present[i] ? uint32_t(value[i].size()) : UINT32_MAX;
      packed += value[i];
    }
  }
};

struct catalogue {
  std::vector<std::string> names; // kFields + "event.category"
  std::vector<int32_t> by_pool_off;
  const char *pool = nullptr;
  uint32_t pool_len = 0;
  const char *cache_ptr[16] = {};
  int32_t cache_idx[16] = {};
  uint32_t n_cache = 0;
  const bench_event *cur = nullptr;

  int32_t index_of(const char *name, uint32_t len) {
    if (name >= pool && name < pool + pool_len) return by_pool_off[name - pool];
    for (uint32_t i = 0; i < n_cache; i++)
      if (cache_ptr[i] == name) return cache_idx[i];
    int32_t idx = -1;
    for (size_t k = 0; k < names.size(); k++)
      if (names[k].size() == len && std::memcmp(names[k].data(), name, len) == 0) idx = int32_t(k);
    if (n_cache < 16) {
      cache_ptr[n_cache] = name;
      cache_idx[n_cache++] = idx;
    }
    return idx;
  }
  static const char *lookup(void *ctx, const char *name, uint32_t len, size_t *out) {
    auto *c = static_cast<catalogue *>(ctx);
    int32_t i = c->index_of(name, len);
    if (i < 0 || c->cur->len[i] == UINT32_MAX) return nullptr;
    *out = c->cur->len[i];
    return c->cur->packed.data() + c->cur->off[i];
  }
};

std::vector<bench_event> make_events(const bench_db &d, const catalogue &cat, uint32_t n, uint64_t seed) {
  rng g(seed);
  std::vector<bench_event> out;
  for (uint32_t i = 0; i < n; i++) {
    bench_event e;
    e.value.assign(cat.names.size(), std::string());
    e.present.assign(cat.names.size(), 0);
    uint32_t nf = 20 + g.below(21) - 1; // plus event.category
    for (uint32_t k = 0; k < nf; k++) {
      uint32_t f = g.below(uint32_t(kFields.size()));
      e.present[f] = 1;
      std::string v;
      uint32_t words = kFields[f].find("command_line") != std::string::npos ? 6 + g.below(8) : 1 + g.below(3);
      for (uint32_t w = 0; w < words; w++) {
        if (w) v.push_back(' ');
        v += g.chance(15) ? g.pick(kWords) : token(g);
      }
      e.value[f] = v;
    }
    uint32_t cat_idx = g.below(uint32_t(kCategories.size()));
    // About one event in ten carries the values of some rule's first selection.
    if (!d.first_sel.empty() && g.chance(10)) {
      uint32_t r = g.below(uint32_t(d.first_sel.size()));
      cat_idx = d.category[r];
      for (const pred_spec &p : d.first_sel[r]) {
        uint32_t f = uint32_t(std::find(kFields.begin(), kFields.end(), p.field) - kFields.begin());
        e.present[f] = 1;
        e.value[f] = "x " + p.value + " y";
        if (p.op == SIGMA_OP_EQ || p.op == SIGMA_OP_STARTSWITH) e.value[f] = p.value + (p.op == SIGMA_OP_EQ ? "" : " y");
        if (p.op == SIGMA_OP_ENDSWITH) e.value[f] = "x " + p.value;
      }
    }
    size_t ci = cat.names.size() - 1;
    e.present[ci] = 1;
    e.value[ci] = kCategories[cat_idx];
    e.pack();
    out.push_back(std::move(e));
  }
  return out;
}

// A stream that stays in cache, as the events of a parser would.
constexpr uint32_t kEvents = 512;

void BM_SigmaEval(benchmark::State &state) {
  const uint32_t n_rules = uint32_t(state.range(0));
  const int mode = int(state.range(1));
  bench_db d = make_db(n_rules, 42 + n_rules);
  sigma_db_t db{};
  if (load(d.b.image(), &db) != SIGMA_OK) {
    state.SkipWithError("load failed");
    return;
  }
  catalogue cat;
  cat.names = kFields;
  cat.names.push_back("event.category");
  cat.pool = db.strpool;
  cat.pool_len = db.strpool_len;
  cat.by_pool_off.assign(db.strpool_len, -1);
  for (uint32_t f = 0; f < db.n_fields; f++) {
    std::string name(db.strpool + db.fields[f].off, db.fields[f].len);
    for (size_t k = 0; k < cat.names.size(); k++)
      if (cat.names[k] == name) cat.by_pool_off[db.fields[f].off] = int32_t(k);
  }
  std::vector<bench_event> events = make_events(d, cat, kEvents, 7);
  sigma_eval_t *ev = sigma_eval_create(&db);
  sigma_eval_set_prefilter(ev, mode);
  sigma_hit_t hits[64];
  uint64_t n_hits = 0;
  size_t i = 0;
  for (auto _ : state) {
    cat.cur = &events[i++ & (kEvents - 1)];
    n_hits += sigma_eval_run(ev, catalogue::lookup, &cat, hits, 64);
  }
  sigma_eval_stats_t st;
  sigma_eval_get_stats(ev, &st);
  state.SetItemsProcessed(int64_t(state.iterations()));
  state.counters["hits/ev"] = benchmark::Counter(double(n_hits) / double(state.iterations()));
  state.counters["evaluated/ev"] = benchmark::Counter(double(st.rules_evaluated) / double(st.events));
  state.counters["scanned"] = benchmark::Counter(double(st.bytes_scanned), benchmark::Counter::kIsRate,
                                                 benchmark::Counter::kIs1024);
  sigma_eval_free(ev);
  sigma_db_free(&db);
}

BENCHMARK(BM_SigmaEval)
    ->ArgNames({"rules", "prefilter"})
    ->ArgsProduct({{10, 100, 1000, 5000}, {SIGMA_PREFILTER_OFF, SIGMA_PREFILTER_ALWAYS}});

} // namespace

BENCHMARK_MAIN();
