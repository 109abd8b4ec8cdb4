// Throughput of the two engines on the bundled corpus: every line of
// examples/corpus/*.log through ln_normalize_to_str on a walker context and on
// a VaderAD context (JSON path; lines VaderAD declines fall back to the
// walker), and through ln_turbo_normalize_raw. Prints ns per line, lines per
// second, the ratio to the walker, and how many lines VaderAD served. Without
// arguments a second corpus follows: 2000 structured lines (CEF, key=value,
// JSON, @cee, iptables, Check Point LEA) built from fixed templates.
//
//   ./build/turbo_bench [rulebase] [samples...]
//   ./build/turbo_bench --structured        # the structured corpus only
#include <algorithm>
#include <ctime>
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

// CPU time of this thread in ns: on a shared machine wall time mostly
// measures the other processes.
double cpu_ns() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// CPU ns per line of passes of fn over every line, repeated for at least
// min_ns (one pass when min_ns is 0).
template <class Fn>
double timed_passes(const std::vector<std::string> &lines, Fn fn, double min_ns) {
  size_t n = 0;
  const double t0 = cpu_ns();
  double el = 0;
  do {
    for (const std::string &l : lines) fn(l);
    n += lines.size();
    el = cpu_ns() - t0;
  } while (el < min_ns);
  return el / static_cast<double>(n);
}

template <class Fn>
__attribute__((noinline)) double ns_per_line(const std::vector<std::string> &lines, Fn fn) {
  // Repeat until at least half a second of CPU time; the best of three runs.
  // VELDRA_BENCH_ONCE=1 makes it one pass over the lines, for counting
  // instructions under callgrind (each path is an ns_per_line<...> of its own).
  static const bool once = getenv("VELDRA_BENCH_ONCE") != nullptr;
  double best = 1e300;
  for (int round = 0; round < (once ? 1 : 3); ++round)
    best = std::min(best, timed_passes(lines, fn, once ? 0 : 5e8));
  return best;
}

// Ratios of a to b (a's time over b's) from rounds that run a and b in
// turn, each over every line for at least 50 ms: on a shared machine a slow
// spell then slows both sides of a round alike. The median, least and
// greatest round ratios.
template <class FnA, class FnB>
void paired_ratio(const std::vector<std::string> &lines, FnA a, FnB b, double out[3]) {
  static const bool once = getenv("VELDRA_BENCH_ONCE") != nullptr;
  std::vector<double> r;
  for (int round = 0; round < (once ? 1 : 15); ++round) {
    const double ta = timed_passes(lines, a, 5e7), tb = timed_passes(lines, b, 5e7);
    r.push_back(ta / tb);
  }
  std::sort(r.begin(), r.end());
  out[0] = r[r.size() / 2];
  out[1] = r.front();
  out[2] = r.back();
}

// Structured lines for the bundled rulebase, varied by a counter (no
// randomness: the same corpus on every run).
std::vector<std::string> structured_corpus() {
  std::vector<std::string> out;
  char b[1024];
  for (int i = 0; i < 2000; ++i) {
    const int a = i % 250 + 1, p = 1024 + i * 7 % 60000, s = i % 60;
    switch (i % 6) {
    case 0:
      snprintf(b, sizeof b, "Dec 10 11:%02d:%02d fw01 fwlog: devname=fw01 srcip=10.1.%d.5 srcport=%d "
               "dstip=93.184.216.%d dstport=443 proto=6 action=%s policyid=%d msg=\"allowed by policy %d\"",
               s, s, a, p, a, i % 2 ? "ACCEPT" : "DENY", i % 40, i % 40);
      break;
    case 1:
      snprintf(b, sizeof b, "Dec 10 11:%02d:%02d sensor01 CEF:0|Acme|Threat Sensor|2.1|%d|Port scan detected|7|"
               "src=10.0.0.%d spt=%d dst=10.0.1.%d dpt=22 proto=TCP act=Blocked msg=scan from inside\\=bad cs1Label=zone cs1=dmz",
               s, s, 100 + i % 50, a, p, a);
      break;
    case 2:
      snprintf(b, sizeof b, "Dec 10 11:%02d:%02d app01 billing[%d]: {\"user\":{\"name\":\"user%d\"},\"client\":"
               "{\"ip\":\"10.2.3.%d\",\"port\":%d},\"action\":\"invoice-view\",\"http\":{\"status\":200},\"debug\":\"dropped\"}",
               s, s, 4000 + i, i, a, p);
      break;
    case 3:
      snprintf(b, sizeof b, "Dec 10 11:%02d:%02d gw01 kernel: [%d.123456] DROP-IN: IN=eth0 OUT= "
               "MAC=00:11:22:33:44:55:66:77:88:99:aa:bb:08:00 SRC=203.0.113.%d DST=192.0.2.10 LEN=60 TOS=0x00 "
               "PREC=0x00 TTL=52 ID=%d DF PROTO=TCP SPT=%d DPT=22 WINDOW=29200 RES=0x00 SYN URGP=0 ",
               s, s, 86400 + i, a, i, p);
      break;
    case 4:
      snprintf(b, sizeof b, "Dec 10 11:%02d:%02d app01 audit[%d]: @cee:{\"event\":{\"action\":\"file-open\"},"
               "\"file\":{\"path\":\"/var/data/f%d\"},\"user\":{\"name\":\"u%d\"}}",
               s, s, 70 + i % 20, i, a);
      break;
    default:
      snprintf(b, sizeof b, "Dec 10 11:%02d:%02d cp01 lea: time: %d; action: drop; orig: 192.0.2.1; src: 10.0.0.%d; "
               "dst: 198.51.100.4; proto: tcp; service: 443; s_port: %d; rule: %d; product: \"edge gateway\";",
               s, s, 1765364404 + i, a, p, i % 30);
    }
    out.emplace_back(b);
  }
  return out;
}

} // namespace

int measure(const std::string &rb, const std::vector<std::string> &lines);

int main(int argc, char **argv) {
  const std::string root = VELDRA_SOURCE_DIR;
  if (argc == 2 && std::string(argv[1]) == "--structured") {
    printf("== structured corpus (CEF, key=value, JSON, @cee, iptables, LEA)\n");
    return measure(root + "/examples/linux-syslog.rb", structured_corpus());
  }
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
  printf("== corpus: %s\n", argc > 2 ? "the given files" : "examples/corpus");
  int rc = measure(rb, lines);
  if (rc == 0 && argc <= 1) {
    printf("== structured corpus (CEF, key=value, JSON, @cee, iptables, LEA)\n");
    rc = measure(rb, structured_corpus());
  }
  return rc;
}

int measure(const std::string &rb, const std::vector<std::string> &lines) {
  ln_ctx walker = load(rb, 0), turbo = load(rb, LN_CTXOPT_TURBO);
  if (!walker || !turbo || lines.empty()) {
    fprintf(stderr, "turbo_bench: cannot load %s or its samples\n", rb.c_str());
    return 1;
  }
  if (!ln_turbo_is_available(turbo)) {
    fprintf(stderr, "turbo_bench: VaderAD did not compile %s\n", rb.c_str());
    return 1;
  }
  std::vector<std::string> served_lines;
  for (const std::string &l : lines) {
    char *s = nullptr;
    if (ln_turbo_normalize_to_str(turbo, l.data(), l.size(), &s, nullptr) == 0) served_lines.push_back(l);
    free(s);
  }
  const size_t served = served_lines.size();

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
  // The same on the lines VaderAD serves, where its JSON path is taken.
  const double ws = ns_per_line(served_lines, [&](const std::string &l) {
    char *s = nullptr;
    ln_normalize_to_str(walker, l.data(), l.size(), &s, nullptr);
    free(s);
  });
  const double jss = ns_per_line(served_lines, [&](const std::string &l) {
    char *s = nullptr;
    ln_normalize_to_str(turbo, l.data(), l.size(), &s, nullptr);
    free(s);
  });
  const double rs = ns_per_line(served_lines, [&](const std::string &l) {
    const ln_fast_result_t *res = nullptr;
    ln_turbo_normalize_raw(turbo, l.data(), l.size(), &res);
  });
  double paired[3] = {0, 0, 0};
  if (!getenv("VELDRA_BENCH_ONCE"))
    paired_ratio(
        served_lines,
        [&](const std::string &l) {
          char *s = nullptr;
          ln_normalize_to_str(walker, l.data(), l.size(), &s, nullptr);
          free(s);
        },
        [&](const std::string &l) {
          char *s = nullptr;
          ln_normalize_to_str(turbo, l.data(), l.size(), &s, nullptr);
          free(s);
        },
        paired);
  printf("%zu lines, %zu served by VaderAD (%.1f%%)\n", lines.size(), served,
         100.0 * static_cast<double>(served) / static_cast<double>(lines.size()));
  printf("%-52s %10s %14s %8s\n", "path", "ns/line", "lines/s", "ratio");
  auto row = [&](const char *name, double ns, double base) {
    printf("%-52s %10.0f %14.0f %7.1fx\n", name, ns, 1e9 / ns, base / ns);
  };
  printf("all lines:\n");
  row("  walker ln_normalize_to_str", w, w);
  row("  VaderAD ctx ln_normalize_to_str (walker fallback)", j, w);
  row("  ln_turbo_normalize_to_str (declines included)", js, w);
  row("  ln_turbo_normalize_raw (declines included)", r, w);
  printf("lines VaderAD serves:\n");
  row("  walker ln_normalize_to_str", ws, ws);
  row("  VaderAD ctx ln_normalize_to_str (JSON path)", jss, ws);
  row("  ln_turbo_normalize_raw", rs, ws);
  if (paired[0] > 0)
    printf("walker / VaderAD JSON path in 15 paired rounds: median %.2fx (least %.2fx, greatest %.2fx)\n",
           paired[0], paired[1], paired[2]);
  ln_exitCtx(walker);
  ln_exitCtx(turbo);
  return 0;
}
