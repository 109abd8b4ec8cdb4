// Cost of the comparison run per sample line on a small rulebase: both
// engines, canonical forms, diff, classification and the per-sample record.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <string>

#include "core/veldra.h"

namespace {

const char *const k_rulebase =
    "version=2\n"
    "rule=login:user %user.name:word% from %source.ip:ipv4% port %source.port:number%\n"
    "rule=logout:session closed for %user.name:word%\n"
    "rule=kv:%.:name-value-list%\n";

// A mix of matched and unmatched lines, cycled to the wanted count.
std::string make_samples(size_t lines) {
  const char *mix[] = {
      "user alice from 10.0.0.1 port 22",
      "session closed for bob",
      "a=1 b=two c=3.5",
      "this line matches no rule at all and is a little longer than the rest",
  };
  std::string s;
  s.reserve(lines * 40);
  for (size_t i = 0; i < lines; ++i) {
    s += mix[i % 4];
    s += '\n';
  }
  return s;
}

void BM_RunSamples(benchmark::State &state) {
  const size_t lines = static_cast<size_t>(state.range(0));
  const std::string samples = make_samples(lines);
  for (auto _ : state) {
    state.PauseTiming();
    vdr_run *run = vdr_run_new(k_rulebase, nullptr, nullptr);
    if (!run) {
      state.SkipWithError("rulebase did not load");
      break;
    }
    state.ResumeTiming();
    benchmark::DoNotOptimize(vdr_run_samples(run, samples.c_str(), nullptr, nullptr));
    state.PauseTiming();
    vdr_run_free(run);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(lines));
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  state.counters["maxrss_MiB"] = static_cast<double>(ru.ru_maxrss) / 1024.0;
}

} // namespace

BENCHMARK(BM_RunSamples)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RunSamples)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
