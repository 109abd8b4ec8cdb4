// Throughput of the recursive walker on a small syslog rulebase: matching
// lines of several shapes, lines no rule matches, and one long line.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "normalizer/context.h"
#include "normalizer/walker.h"

namespace {

const char *kRulebase =
    "prefix=%timestamp:date-rfc3164% %host:word% \n"
    "type=@peer:%src_ip:ipv4% port %src_port:number%\n"
    "rule=ssh,auth:sshd[%pid:number%]: Accepted %method:word% for %user:word% from %.:@peer% "
    "ssh2\n"
    "rule=ssh,auth:sshd[%pid:number%]: Failed %method:word% for invalid user %user:word% from "
    "%.:@peer% ssh2\n"
    "rule=ssh:sshd[%pid:number%]: Connection closed by %src_ip:ipv4% port %src_port:number% "
    "[preauth]\n"
    "rule=cron:CRON[%pid:number%]: (%user:char-to:)%) CMD (%cmd:char-to:)%)\n"
    "rule=kernel:kernel: [%uptime:float%] %msg:rest%\n"
    "rule=su:su: pam_unix(su:session): session %action:word% for user %user:word%\n"
    "rule=http:nginx: %client:ipv4% - - \"%method:word% %path:word% %proto:char-to:\"%\" "
    "%status:number% %bytes:number%\n";

struct Fixture {
  ln_ctx ctx;
  Fixture() {
    ctx = ln_initCtx();
    if (ctx) ln_loadSamplesFromString(ctx, kRulebase);
  }
  ~Fixture() {
    if (ctx) ln_exitCtx(ctx);
  }
};

const std::vector<std::string> kMatching = {
    "Oct 11 22:14:15 web01 sshd[4123]: Accepted publickey for alice from 10.0.0.7 port 52144 ssh2",
    "Oct 11 22:14:16 web01 sshd[4124]: Failed password for invalid user admin from 203.0.113.9 "
    "port 40022 ssh2",
    "Oct 11 22:14:17 web01 CRON[999]: (root) CMD (run-parts /etc/cron.hourly)",
    "Oct 11 22:14:18 web01 kernel: [12345.678] eth0: link up",
    "Oct 11 22:14:19 web01 nginx: 198.51.100.4 - - \"GET /index.html HTTP/1.1\" 200 5123",
};

const std::vector<std::string> kUnparsed = {
    "Oct 11 22:14:15 web01 sshd[4123]: Accepted publickey for alice from 10.0.0.7 port x ssh2",
    "Oct 11 22:14:20 web01 postfix/smtpd[77]: connect from unknown[192.0.2.1]",
    "not a syslog line at all",
};

void run(benchmark::State &state, const std::vector<std::string> &lines) {
  Fixture f;
  if (!f.ctx) {
    state.SkipWithError("context");
    return;
  }
  size_t bytes = 0;
  for (auto _ : state) {
    for (const std::string &l : lines) {
      fjson_object *json = nullptr;
      int r = ln_normalize(f.ctx, l.data(), l.size(), &json);
      benchmark::DoNotOptimize(r);
      fjson_object_put(json);
      bytes += l.size();
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines.size()));
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_WalkerMatching(benchmark::State &state) { run(state, kMatching); }
void BM_WalkerUnparsed(benchmark::State &state) { run(state, kUnparsed); }
void BM_WalkerLongLine(benchmark::State &state) {
  run(state, {"Oct 11 22:14:18 web01 kernel: [1.5] " + std::string(200000, 'x')});
}

void BM_WalkerToStr(benchmark::State &state) {
  Fixture f;
  if (!f.ctx) {
    state.SkipWithError("context");
    return;
  }
  for (auto _ : state) {
    for (const std::string &l : kMatching) {
      char *s = nullptr;
      size_t n = 0;
      benchmark::DoNotOptimize(ln_normalize_to_str(f.ctx, l.data(), l.size(), &s, &n));
      free(s);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kMatching.size()));
}

BENCHMARK(BM_WalkerMatching);
BENCHMARK(BM_WalkerUnparsed);
BENCHMARK(BM_WalkerLongLine);
BENCHMARK(BM_WalkerToStr);

} // namespace

BENCHMARK_MAIN();
