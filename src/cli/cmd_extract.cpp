// `veldra extract`: what a rulebase extracts from every sample, as JSON Lines.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/options.h"
#include "core/veldra.h"

// Drops the run's records, keeping both loaded engines (engine.cpp).
void vdr_run_clear_results(vdr_run *run);

namespace {

enum { OPT_RULEBASE, OPT_SAMPLES, OPT_OUT, OPT_KEEP_LINE, OPT_COUNT };

const cli_option kOptions[OPT_COUNT] = {
    {"-r", "--rulebase", true},
    {"-s", "--samples", true},
    {"-o", "--out", true},
    {nullptr, "--keep-line", false},
};

struct extract_state {
  char *rulebase = nullptr;
  char *samples = nullptr;
  char *error = nullptr;
  vdr_run *run = nullptr;

  extract_state() = default;
  extract_state(const extract_state &) = delete;
  extract_state &operator=(const extract_state &) = delete;
  ~extract_state() {
    vdr_free(error);
    free(rulebase);
    free(samples);
    vdr_run_free(run);
  }
};

// One JSON line for a sample; null when building it ran out of memory.
char *extract_line(const vdr_result &r, bool keep_line) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  vdr_sb_puts(&sb, "{\"status\":");
  vdr_sb_json_string(&sb, vdr_status_name(r.status));
  vdr_sb_puts(&sb, ",\"fields\":");
  if (r.legacy_json)
    vdr_sb_json_text(&sb, r.legacy_json, strlen(r.legacy_json));
  else
    vdr_sb_puts(&sb, "null");
  if (keep_line) {
    vdr_sb_puts(&sb, ",\"line\":");
    vdr_sb_json_string(&sb, r.line);
  }
  vdr_sb_puts(&sb, "}\n");
  return vdr_sb_release(&sb);
}

// Each message the loaders collected, as "veldra: MESSAGE" on standard
// error; VaderAD's only where they differ from the walker's.
void print_load_messages(const vdr_run *run) {
  const char *legacy = vdr_run_diagnostics(run, VDR_ENGINE_LEGACY);
  const char *turbo = vdr_run_diagnostics(run, VDR_ENGINE_TURBO);
  auto print = [](const char *text) {
    for (const char *p = text; *p;) {
      const char *eol = strchr(p, '\n');
      const size_t n = eol ? static_cast<size_t>(eol - p) : strlen(p);
      fprintf(stderr, "veldra: %.*s\n", static_cast<int>(n), p);
      p += n + (eol ? 1 : 0);
    }
  };
  print(legacy);
  if (strcmp(legacy, turbo) != 0) print(turbo);
}

} // namespace

int cmd_extract(int argc, char **argv) {
  const char *v[OPT_COUNT] = {};
  parse_result pr = parse_options(argc, argv, kOptions, OPT_COUNT, v, missing_value::needs_value);
  if (pr != parse_result::ok) return parse_exit(pr);
  if (!v[OPT_RULEBASE] || !v[OPT_SAMPLES]) {
    fputs("veldra: extract needs --rulebase and --samples\n", stderr);
    return 3;
  }

  if (refuse_output_over_inputs(v[OPT_OUT], {v[OPT_RULEBASE], v[OPT_SAMPLES]}) != 0) return 3;

  extract_state st;
  st.rulebase = read_file(v[OPT_RULEBASE]);
  if (!st.rulebase) return 3;
  st.samples = read_file(v[OPT_SAMPLES]);
  if (!st.samples) return 3;
  if (!vdr_rulebase_is_v2(st.rulebase)) {
    fputs("veldra: not a version=2 rulebase\n", stderr);
    return 5;
  }

  vdr_config cfg{};
  cfg.ctx_flags = 0;
  cfg.keep_json = 1;
  cfg.max_samples = 0;

  // The text as read first; then with the basic-types include expanded into
  // its prelude. Both load from the rulebase's own directory, so relative
  // includes resolve against it either way.
  const char *warn = "veldra: warning: could not restore cwd\n";
  st.run = run_from_rulebase_text(v[OPT_RULEBASE], st.rulebase, 0, &cfg, &st.error, warn);
  if (!st.run) {
    vdr_free(st.error);
    st.error = nullptr;
    st.run = run_from_rulebase_text(v[OPT_RULEBASE], st.rulebase, 1, &cfg, &st.error, warn);
  }
  if (!st.run) {
    fprintf(stderr, "veldra: %s\n", st.error && *st.error ? st.error : "load failed");
    return 3;
  }
  // Messages of a load that went through (invalid record types, lines too
  // long, bad field parameters) are shown, as check shows them in its report.
  print_load_messages(st.run);

  // One sample at a time, written as it goes: only the current record is
  // held, so memory does not grow with the number of samples.
  output_sink out;
  if (out.open(v[OPT_OUT]) != 0) return 3;
  std::string one;
  for (const char *p = st.samples; *p;) {
    const char *eol = strchr(p, '\n');
    const size_t len = eol ? static_cast<size_t>(eol - p) : strlen(p);
    one.assign(p, len);
    p += len + (eol ? 1 : 0);
    vdr_run_samples(st.run, one.c_str(), nullptr, nullptr);
    size_t n = 0;
    const vdr_result *results = vdr_run_results(st.run, &n);
    for (size_t i = 0; i < n; ++i) {
      char *line = extract_line(results[i], v[OPT_KEEP_LINE] != nullptr);
      if (!line) continue; // out of memory for this line only: left out
      int rc = out.write(line, strlen(line));
      vdr_free(line);
      if (rc != 0) return 3;
    }
    vdr_run_clear_results(st.run);
  }
  return out.commit() == 0 ? 0 : 3;
}
