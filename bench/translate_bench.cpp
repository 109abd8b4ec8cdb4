// Cost of `veldra translate` per rule: the rewrite of vendor field names on
// rulebases of growing size under one prefix with many names, so that a
// rewrite that is not linear in its input shows at once.
#include <benchmark/benchmark.h>

#include <string>

#include "core/translate.h"
#include "core/veldra.h"

namespace {

std::string make_rulebase(size_t rules) {
  std::string rb = "version=2\nprefix=";
  for (int i = 0; i < 200; ++i) rb += "%f" + std::to_string(i) + ":word% ";
  rb += "\ntype=@ep:%srcip:ipv4% %srcport:number%\n";
  for (size_t i = 0; i < rules; ++i)
    rb += "rule=fw:" + std::to_string(i) +
          " %.:@ep% %dstip:ipv4% %user:word% %action:word% %source.ip:word% %msg:rest%\n";
  return rb;
}

void BM_Translate(benchmark::State &state) {
  const std::string rb = make_rulebase(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    char *t = vdr_ecs_translate(rb.c_str(), nullptr, nullptr);
    benchmark::DoNotOptimize(t);
    vdr_free(t);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(rb.size()));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_Translate)->RangeMultiplier(10)->Range(100, 100000)->Complexity(benchmark::oN);

} // namespace

BENCHMARK_MAIN();
