// Compile time of VaderAD next to the load time of the same rulebase: the
// bundled example and a generated rulebase of 10,000 rules. Loading builds
// the parse DAG (walker context, no compilation); compiling turns the loaded
// DAG into a program again and again.
#include <benchmark/benchmark.h>

#include <string>

#include "normalizer/context.h"
#include "vaderad/turbo.h"

namespace {

const std::string kExample = std::string(VELDRA_SOURCE_DIR) + "/examples/linux-syslog.rb";

std::string generated() {
  std::string rb = "version=2\nannotate=auth:+event.category=\"authentication\"\n";
  for (int i = 0; i < 10000; ++i)
    rb += "rule=auth:app" + std::to_string(i % 100) + "[%pid:number%]: event " + std::to_string(i) +
          " user %user:word% from %ip:ipv4% %rest:rest%\n";
  return rb;
}

ln_ctx load(const std::string *text, const std::string *path, uint32_t opts) {
  ln_ctx c = ln_initCtx();
  if (opts) ln_setCtxOpts(c, opts);
  if (path)
    ln_loadSamples(c, path->c_str());
  else
    ln_loadSamplesFromString(c, text->c_str());
  return c;
}

void BM_LoadExample(benchmark::State &st) {
  for (auto _ : st) ln_exitCtx(load(nullptr, &kExample, 0));
}
BENCHMARK(BM_LoadExample)->Unit(benchmark::kMicrosecond);

void BM_CompileExample(benchmark::State &st) {
  ln_ctx c = load(nullptr, &kExample, LN_CTXOPT_TURBO);
  if (!ln_turbo_is_available(c)) st.SkipWithError(ln_turbo_compile_reason(c));
  for (auto _ : st) benchmark::DoNotOptimize(ln_turbo_compile(c));
  ln_turbo_stats_t s{};
  ln_turbo_get_stats(c, &s);
  st.counters["instructions"] = s.n_instructions;
  ln_exitCtx(c);
}
BENCHMARK(BM_CompileExample)->Unit(benchmark::kMicrosecond);

void BM_Load10k(benchmark::State &st) {
  const std::string rb = generated();
  for (auto _ : st) ln_exitCtx(load(&rb, nullptr, 0));
}
BENCHMARK(BM_Load10k)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Compile10k(benchmark::State &st) {
  const std::string rb = generated();
  ln_ctx c = load(&rb, nullptr, LN_CTXOPT_TURBO);
  if (!ln_turbo_is_available(c)) st.SkipWithError(ln_turbo_compile_reason(c));
  for (auto _ : st) benchmark::DoNotOptimize(ln_turbo_compile(c));
  ln_turbo_stats_t s{};
  ln_turbo_get_stats(c, &s);
  st.counters["instructions"] = s.n_instructions;
  ln_exitCtx(c);
}
BENCHMARK(BM_Compile10k)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
