// Cost of compiling a Sigma rule set: rules of typical shape (three
// selections of three predicates, one of them a network prefix and one a
// wildcard that becomes a regular expression), sharing routing keys.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "sigma/compile.h"

namespace {

std::string make_rules(int n) {
  std::string yaml;
  for (int i = 0; i < n; ++i) {
    std::string k = std::to_string(i);
    yaml += "---\ntitle: Rule " + k + "\ntaxonomy: ecs\nlevel: high\nhark_verdict: alert\n"
            "logsource:\n  category: process_creation\n  product: windows\ndetection:\n"
            "  sel_a:\n    process.name|endswith: '\\p" + k + ".exe'\n"
            "    process.command_line|contains:\n      - '-x" + k + "'\n      - '/y'\n"
            "  sel_b:\n    source.ip|cidr: 10." + std::to_string(i % 256) + ".0.0/16\n"
            "    user.name: 'adm*" + k + "'\n    event.code|gte: " + k + "\n"
            "  filter:\n    process.parent.name:\n      - explorer.exe\n      - services.exe\n"
            "    user.domain: CORP\n"
            "  condition: sel_a and sel_b and not filter\n";
  }
  return yaml;
}

void BM_SigmaCompile(benchmark::State &state) {
  const std::string yaml = make_rules(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    uint8_t *img = nullptr;
    size_t n = 0;
    char *err = nullptr;
    if (sg_compile_n(yaml.data(), yaml.size(), &img, &n, nullptr, nullptr, &err) != 0) {
      state.SkipWithError(err ? err : "compile failed");
      free(err);
      break;
    }
    free(img);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(yaml.size()));
}
BENCHMARK(BM_SigmaCompile)->Arg(100)->Arg(2000)->Arg(8000)->Unit(benchmark::kMillisecond);

void BM_SigmaLint(benchmark::State &state) {
  const std::string yaml = make_rules(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    char *t = sg_lint_json(yaml.c_str(), "windows-security", nullptr);
    benchmark::DoNotOptimize(t);
    sg_str_free(t);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SigmaLint)->Arg(2000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
