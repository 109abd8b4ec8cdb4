// Sigma front end and correlation throughput: `veldra sigma match` through
// the command on 1 M events at 1,000 rules, the correlation engine with 10,000 active groups, and the
// engine's memory on a 10 M-event stream of ever-new groups.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sigma/classify_corr.h"
#include "sigma/compile.h"

extern char **environ;

namespace {

const char *const kProducts[] = {"sshd", "nginx", "sudo", "auditd", "kernel", "cron", "postfix", "dns"};

// The veldra binary beside this benchmark.
std::string veldra_path() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "veldra";
  std::string self(buf, static_cast<size_t>(n));
  return self.substr(0, self.rfind('/') + 1) + "veldra";
}

struct match_files {
  std::string dir, sigmac, events;
  bool ok = false;
  match_files() {
    char tmpl[] = "/tmp/veldra-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    dir = tmpl;
    sigmac = dir + "/rules.sigmac";
    events = dir + "/events.jsonl";
    // 1,000 rules over eight products, each a conjunction of an action and a
    // substring of the command line.
    std::string yaml;
    for (int i = 0; i < 1000; ++i) {
      char doc[512];
      snprintf(doc, sizeof doc,
               "%stitle: Rule %d\nid: b-%d\ntaxonomy: ecs\nlevel: medium\nlogsource:\n  product: %s\n"
               "detection:\n  sel:\n    event.action: act%d\n    process.command_line|contains: 'tok%d-'\n"
               "  condition: sel\n",
               i ? "---\n" : "", i, i, kProducts[i % 8], i % 50, i);
      yaml += doc;
    }
    uint8_t *img = nullptr;
    size_t n = 0;
    char *err = nullptr;
    if (sg_compile(yaml.c_str(), &img, &n, nullptr, nullptr, &err) != 0) {
      fprintf(stderr, "compile: %s\n", err ? err : "?");
      free(err);
      return;
    }
    std::ofstream(sigmac, std::ios::binary).write(reinterpret_cast<char *>(img), static_cast<std::streamsize>(n));
    free(img);
    std::ofstream ev(events, std::ios::binary);
    uint32_t seed = 7;
    std::string line;
    for (int i = 0; i < 1000000; ++i) {
      seed = seed * 1103515245u + 12345u;
      const uint32_t r = seed >> 8;
      char buf[512];
      snprintf(buf, sizeof buf,
               "{\"@timestamp\":%d,\"product\":\"%s\",\"event\":{\"action\":\"act%u\"},"
               "\"process\":{\"name\":\"p%u\",\"command_line\":\"/usr/bin/p%u --opt tok%u-x\"},"
               "\"host\":{\"name\":\"h%u\"}}\n",
               1700000000 + i, kProducts[r % 8], r % 50, r % 97, r % 97, r % 1200, r % 300);
      ev << buf;
    }
    ok = static_cast<bool>(ev);
  }
  ~match_files() {
    if (!dir.empty()) {
      unlink(sigmac.c_str());
      unlink(events.c_str());
      rmdir(dir.c_str());
    }
  }
};

void BM_MatchCommand_1M_Events_1000_Rules(benchmark::State &state) {
  static match_files files;
  if (!files.ok) {
    state.SkipWithError("could not build the inputs");
    return;
  }
  const std::string bin = veldra_path();
  // The command's own CPU time, apart from the wall clock of a busy machine.
  struct rusage before;
  getrusage(RUSAGE_CHILDREN, &before);
  for (auto _ : state) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    const char *argv[] = {bin.c_str(), "sigma", "match", "--sigmac", files.sigmac.c_str(),
                          "--events", files.events.c_str(), nullptr};
    pid_t pid;
    int st = -1;
    if (posix_spawn(&pid, bin.c_str(), &fa, nullptr, const_cast<char *const *>(argv), environ) == 0)
      waitpid(pid, &st, 0);
    posix_spawn_file_actions_destroy(&fa);
    if (st != 0) state.SkipWithError("veldra sigma match failed");
  }
  struct rusage after;
  getrusage(RUSAGE_CHILDREN, &after);
  const double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) +
                     (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                     ((after.ru_utime.tv_usec - before.ru_utime.tv_usec) +
                      (after.ru_stime.tv_usec - before.ru_stime.tv_usec)) / 1e6;
  if (cpu > 0)
    state.counters["events_per_cpu_second"] =
        static_cast<double>(state.iterations()) * 1000000.0 / cpu;
  state.SetItemsProcessed(state.iterations() * 1000000);
}
BENCHMARK(BM_MatchCommand_1M_Events_1000_Rules)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

struct corr_setup {
  corr_artifact_t *art = nullptr;
  corr_artifact_view view{};
  explicit corr_setup(const char *text) { art = corr_artifact_parse(text, strlen(text), &view); }
  ~corr_setup() { corr_artifact_free(art); }
};

const char *kCorrRules = R"({"version":1,"correlations":[
  {"id":"ec","type":"event_count","base_rule_ids":[1,2],"group_by":["host"],"timespan_s":300,"condition":{"count":60}},
  {"id":"vc","type":"value_count","base_rule_ids":[1],"group_by":["host"],"timespan_s":300,"condition":{"count":60,"field":"user"}},
  {"id":"t","type":"temporal","base_rule_ids":[1,2],"group_by":["host"],"timespan_s":300},
  {"id":"avg","type":"value_avg","base_rule_ids":[2],"group_by":["host"],"timespan_s":300,"condition":{"count":100000,"field":"ms"}}
]})";

struct corr_event {
  char host[24], user[24], ms[16];
};

const char *corr_lookup(void *ctx, const char *name) {
  auto *e = static_cast<corr_event *>(ctx);
  if (name[0] == 'h') return e->host;
  if (name[0] == 'u') return e->user;
  if (name[0] == 'm') return e->ms;
  return nullptr;
}

void BM_CorrEngine_10k_Groups(benchmark::State &state) {
  corr_setup s(kCorrRules);
  corr_caps_t caps = corr_caps_default();
  caps.max_events_per_group = 1024;
  corr_engine_t *eng = corr_engine_new(s.view.rules, s.view.n, &caps);
  corr_fire_t fires[16];
  char *scratch[64];
  uint64_t i = 0;
  for (auto _ : state) {
    corr_event e;
    snprintf(e.host, sizeof e.host, "host-%llu", static_cast<unsigned long long>(i % 10000));
    snprintf(e.user, sizeof e.user, "u%llu", static_cast<unsigned long long>((i * 7) % 300));
    snprintf(e.ms, sizeof e.ms, "%llu", static_cast<unsigned long long>(i % 977));
    uint32_t ids[2] = {1, 2};
    size_t n = corr_on_event(eng, ids, 1 + (i & 1), corr_lookup, &e, static_cast<double>(i) * 0.001,
                             fires, 16, scratch, 64);
    corr_fires_release(fires, n < 16 ? n : 16);
    ++i;
  }
  state.counters["groups"] = static_cast<double>(corr_engine_total_groups(eng));
  state.SetItemsProcessed(state.iterations());
  corr_engine_free(eng);
}
BENCHMARK(BM_CorrEngine_10k_Groups)->Iterations(2000000);

// Peak resident memory of the process so far, in KiB.
long rss_kb() {
  struct rusage ru;
  return getrusage(RUSAGE_SELF, &ru) == 0 ? ru.ru_maxrss : 0;
}

// Ever-new groups and values for 10 M events: memory must level off at the
// caps (groups per rule, distinct values and ring entries per group).
void BM_CorrEngine_10M_Stream_Memory(benchmark::State &state) {
  corr_setup s(kCorrRules);
  corr_caps_t caps = corr_caps_default();
  caps.max_groups = 10000;
  caps.max_distinct = 64;
  caps.max_events_per_group = 64;
  for (auto _ : state) {
    corr_engine_t *eng = corr_engine_new(s.view.rules, s.view.n, &caps);
    corr_fire_t fires[16];
    char *scratch[64];
    const long before = rss_kb();
    long at_1m = 0;
    for (uint64_t i = 0; i < 10000000; ++i) {
      corr_event e;
      // Group keys never repeat beyond a short burst; times barely move, so
      // nothing expires and only the caps bound the state.
      snprintf(e.host, sizeof e.host, "host-%llu", static_cast<unsigned long long>(i / 3));
      snprintf(e.user, sizeof e.user, "u%llu", static_cast<unsigned long long>(i));
      snprintf(e.ms, sizeof e.ms, "%llu", static_cast<unsigned long long>(i % 977));
      uint32_t ids[2] = {1, 2};
      size_t n = corr_on_event(eng, ids, 2, corr_lookup, &e, 1.0 + static_cast<double>(i) * 1e-6,
                               fires, 16, scratch, 64);
      corr_fires_release(fires, n < 16 ? n : 16);
      if (i == 1000000) at_1m = rss_kb();
    }
    const long at_10m = rss_kb();
    corr_stats_t st;
    corr_engine_stats(eng, &st);
    state.counters["peak_rss_mb_growth_at_1M"] = static_cast<double>(at_1m - before) / 1024.0;
    state.counters["peak_rss_mb_growth_at_10M"] = static_cast<double>(at_10m - before) / 1024.0;
    state.counters["groups"] = static_cast<double>(corr_engine_total_groups(eng));
    state.counters["groups_evicted"] = static_cast<double>(st.groups_evicted);
    corr_engine_free(eng);
  }
  state.SetItemsProcessed(state.iterations() * 10000000);
}
BENCHMARK(BM_CorrEngine_10M_Stream_Memory)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
