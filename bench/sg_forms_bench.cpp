// Evaluation cost of rules written in standard Sigma forms (a selection as a
// list of mappings, contains|all, windash, "all of selection_*" and "not 1 of
// filter_*") against the same rules written out by hand as plain mappings
// joined in the condition. Both compile through sg_compile; the two figures
// per configuration should stay within a few per cent of each other.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "sigma/compile.h"
#include "sigma/sigma_format.h"
#include "sigma/sigma_match.h"

namespace {

// A fixed-seed generator, so both rule sets and the events are the same on
// every run.
struct lcg {
  uint64_t s;
  uint32_t next() {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint32_t>(s >> 33);
  }
  std::string word() {
    std::string w;
    for (uint32_t n = 5 + next() % 5, i = 0; i < n; ++i) w += static_cast<char>('a' + next() % 26);
    return w;
  }
};

struct rule_words {
  std::string img, orig, flag, arg, parent;
};

std::vector<rule_words> make_words(int n) {
  lcg g{1234};
  std::vector<rule_words> out;
  for (int i = 0; i < n; ++i) out.push_back({g.word(), g.word(), g.word(), g.word(), g.word()});
  return out;
}

std::string head(int i) {
  return "---\ntitle: Rule " + std::to_string(i) +
         "\ntaxonomy: ecs\nlevel: high\nhark_verdict: alert\n"
         "logsource:\n  category: process_creation\n  product: windows\ndetection:\n";
}

std::string forms_rules(const std::vector<rule_words> &w) {
  std::string y;
  for (size_t i = 0; i < w.size(); ++i)
    y += head(static_cast<int>(i)) + "  selection_img:\n    - process.name: " + w[i].img +
         ".exe\n    - process.pe.original_file_name: " + w[i].orig +
         ".exe\n  selection_cli:\n    process.command_line|windash|contains|all:\n      - ' -" +
         w[i].flag + " '\n      - '" + w[i].arg + "'\n  filter_parent:\n    process.parent.name: " +
         w[i].parent + ".exe\n  condition: all of selection_* and not 1 of filter_*\n";
  return y;
}

std::string plain_rules(const std::vector<rule_words> &w) {
  const char *dashes[] = {"-", "/", "\xE2\x80\x93", "\xE2\x80\x94", "\xE2\x80\x95"};
  std::string y;
  for (size_t i = 0; i < w.size(); ++i) {
    y += head(static_cast<int>(i)) + "  selection_img1:\n    process.name: " + w[i].img +
         ".exe\n  selection_img2:\n    process.pe.original_file_name: " + w[i].orig +
         ".exe\n  selection_cli1:\n    process.command_line|contains:\n";
    for (const char *d : dashes) y += "      - ' " + std::string(d) + w[i].flag + " '\n";
    y += "  selection_cli2:\n    process.command_line|contains: '" + w[i].arg +
         "'\n  filter_parent:\n    process.parent.name: " + w[i].parent +
         ".exe\n  condition: (selection_img1 or selection_img2) and selection_cli1 and "
         "selection_cli2 and not filter_parent\n";
  }
  return y;
}

using event = std::vector<std::pair<std::string, std::string>>;

const char *lookup(void *ctx, const char *name, uint32_t len, size_t *out_len) {
  for (const auto &kv : *static_cast<const event *>(ctx))
    if (kv.first.size() == len && kv.first.compare(0, len, name, len) == 0) {
      *out_len = kv.second.size();
      return kv.second.data();
    }
  return nullptr;
}

// Process events; one in eight is built from a rule's words and hits it.
std::vector<event> make_events(const std::vector<rule_words> &w, uint32_t n) {
  lcg g{99};
  std::vector<event> out;
  for (uint32_t i = 0; i < n; ++i) {
    const rule_words &r = w[g.next() % w.size()];
    bool hit = i % 8 == 0;
    std::string name = (hit ? r.img : g.word()) + ".exe";
    std::string cli = name + " /" + (hit ? r.flag : g.word()) + " " + (hit ? r.arg : g.word()) +
                      " -" + g.word() + " C:\\Users\\" + g.word() + "\\AppData\\" + g.word();
    out.push_back({{"event.category", "process"},
                   {"process.name", name},
                   {"process.pe.original_file_name", g.word() + ".exe"},
                   {"process.command_line", cli},
                   {"process.parent.name", "explorer.exe"},
                   {"user.name", g.word()}});
  }
  return out;
}

void BM_SigmaEvalForms(benchmark::State &state) {
  const int n_rules = static_cast<int>(state.range(0));
  const bool forms = state.range(1) != 0;
  std::vector<rule_words> w = make_words(n_rules);
  std::string yaml = forms ? forms_rules(w) : plain_rules(w);
  uint8_t *img = nullptr;
  size_t n = 0;
  char *err = nullptr;
  if (sg_compile_n(yaml.data(), yaml.size(), &img, &n, nullptr, nullptr, &err) != 0) {
    state.SkipWithError(err ? err : "compile failed");
    free(err);
    return;
  }
  sigma_db_t db{};
  if (sigma_db_load_buffer(img, n, &db) != SIGMA_OK) {
    free(img);
    state.SkipWithError("load failed");
    return;
  }
  std::vector<event> events = make_events(w, 512);
  sigma_eval_t *ev = sigma_eval_create(&db);
  sigma_hit_t hits[64];
  uint64_t n_hits = 0;
  size_t i = 0;
  for (auto _ : state) {
    event &e = events[i++ & 511];
    n_hits += sigma_eval_run(ev, lookup, &e, hits, 64);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["hits/ev"] =
      benchmark::Counter(static_cast<double>(n_hits) / static_cast<double>(state.iterations()));
  sigma_eval_free(ev);
  sigma_db_free(&db);
}

BENCHMARK(BM_SigmaEvalForms)
    ->ArgNames({"rules", "forms"})
    ->ArgsProduct({{100, 1000, 5000}, {0, 1}});

} // namespace

BENCHMARK_MAIN();
