// Cost of a proposal: by the number of sample lines (up to the 256 a proposal
// uses) and by the length of one line, so that work growing faster than the
// input shows at once.
#include <benchmark/benchmark.h>

#include <string>

#include "core/propose.h"
#include "core/veldra.h"

namespace {

void BM_ProposeLines(benchmark::State &state) {
  std::string s;
  for (int64_t i = 0; i < state.range(0); ++i)
    s += "<134>May  1 10:20:" + std::to_string(10 + i % 50) + " fw01 devname=FG1 action=deny srcip=10.0.0." +
         std::to_string(i % 250) + " srcport=" + std::to_string(1024 + i) +
         " dstip=192.0.2.7 dstport=443 msg=\"blocked\"\n";
  for (auto _ : state) {
    char *p = vdr_spec_propose(s.c_str(), nullptr, nullptr);
    benchmark::DoNotOptimize(p);
    vdr_free(p);
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ProposeLines)->RangeMultiplier(4)->Range(4, 256)->Complexity(benchmark::oN);

void BM_ProposeLineLength(benchmark::State &state) {
  // One line: a few fields, then one long unterminated quoted text.
  std::string s = "a=1 b=x \"" + std::string(static_cast<size_t>(state.range(0)), 'q') + "\n";
  for (auto _ : state) {
    char *p = vdr_spec_propose(s.c_str(), nullptr, nullptr);
    benchmark::DoNotOptimize(p);
    vdr_free(p);
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ProposeLineLength)->RangeMultiplier(8)->Range(1 << 10, 1 << 22)->Complexity(benchmark::oN);

} // namespace

BENCHMARK_MAIN();
