// Throughput of the two engines on the bundled corpus: every line of
// examples/corpus/*.log through ln_normalize_to_str on a walker context and on
// a VaderAD context (JSON path; lines VaderAD declines fall back to the
// walker), and through ln_turbo_normalize_raw. Prints ns per line, lines per
// second, the ratio to the walker, and how many lines VaderAD served.
//
//   ./build/turbo_bench [rulebase] [samples...]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "normalizer/context.h"
#include "normalizer/walker.h"
#include "vaderad/turbo.h"
#include "vaderad/turbo_json.h"

namespace {

std::vector<std::string> read_lines(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::vector<std::string> out;
  std::string line;
  std::istringstream is(ss.str());
  while (std::getline(is, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

ln_ctx load(const std::string &rb, uint32_t opts) {
  ln_ctx ctx = ln_initCtx();
  if (!ctx) return nullptr;
  ln_setCtxOpts(ctx, opts);
  if (ln_loadSamples(ctx, rb.c_str()) != 0) {
    ln_exitCtx(ctx);
    return nullptr;
  }
  return ctx;
}

template <class Fn>
double ns_per_line(const std::vector<std::string> &lines, Fn fn) {
  // Repeat until at least half a second has passed; the best of three runs.
  double best = 1e300;
  for (int round = 0; round < 3; ++round) {
    size_t n = 0;
    auto t0 = std::chrono::steady_clock::now();
    double el = 0;
    do {
      for (const std::string &l : lines) fn(l);
      n += lines.size();
      el = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    } while (el < 5e8);
    best = std::min(best, el / static_cast<double>(n));
  }
  return best;
}

} // namespace

int main(int argc, char **argv) {
  const std::string root = VELDRA_SOURCE_DIR;
  std::string rb = argc > 1 ? argv[1] : root + "/examples/linux-syslog.rb";
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) files.push_back(argv[i]);
  if (files.empty())
    files = {root + "/examples/corpus/Linux_2k.log", root + "/examples/corpus/OpenSSH_2k.log"};
  std::vector<std::string> lines;
  for (const std::string &f : files) {
    std::vector<std::string> l = read_lines(f);
    lines.insert(lines.end(), l.begin(), l.end());
  }
  ln_ctx walker = load(rb, 0), turbo = load(rb, LN_CTXOPT_TURBO);
  if (!walker || !turbo || lines.empty()) {
    fprintf(stderr, "turbo_bench: cannot load %s or its samples\n", rb.c_str());
    return 1;
  }
  if (!ln_turbo_is_available(turbo)) {
    fprintf(stderr, "turbo_bench: VaderAD did not compile %s\n", rb.c_str());
    return 1;
  }
  size_t served = 0;
  for (const std::string &l : lines) {
    char *s = nullptr;
    if (ln_turbo_normalize_to_str(turbo, l.data(), l.size(), &s, nullptr) == 0) ++served;
    free(s);
  }

  const double w = ns_per_line(lines, [&](const std::string &l) {
    char *s = nullptr;
    ln_normalize_to_str(walker, l.data(), l.size(), &s, nullptr);
    free(s);
  });
  const double j = ns_per_line(lines, [&](const std::string &l) {
    char *s = nullptr;
    ln_normalize_to_str(turbo, l.data(), l.size(), &s, nullptr);
    free(s);
  });
  const double js = ns_per_line(lines, [&](const std::string &l) {
    char *s = nullptr;
    ln_turbo_normalize_to_str(turbo, l.data(), l.size(), &s, nullptr);
    free(s);
  });
  const double r = ns_per_line(lines, [&](const std::string &l) {
    const ln_fast_result_t *res = nullptr;
    ln_turbo_normalize_raw(turbo, l.data(), l.size(), &res);
  });
  printf("%zu lines, %zu served by VaderAD (%.1f%%)\n", lines.size(), served,
         100.0 * static_cast<double>(served) / static_cast<double>(lines.size()));
  printf("%-44s %10s %14s %8s\n", "path", "ns/line", "lines/s", "ratio");
  auto row = [&](const char *name, double ns) {
    printf("%-44s %10.0f %14.0f %7.1fx\n", name, ns, 1e9 / ns, w / ns);
  };
  row("walker ln_normalize_to_str", w);
  row("VaderAD ctx ln_normalize_to_str (fallback on)", j);
  row("ln_turbo_normalize_to_str (VaderAD only)", js);
  row("ln_turbo_normalize_raw", r);
  ln_exitCtx(walker);
  ln_exitCtx(turbo);
  return 0;
}
