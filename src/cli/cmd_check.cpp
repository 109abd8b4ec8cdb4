// `veldra check`: one rulebase through both engines over the samples, a
// report, and an exit status that states the worst finding.
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>

#include "cli/commands.h"
#include "cli/exit_code.h"
#include "cli/files.h"
#include "cli/options.h"
#include "core/veldra.h"

namespace {

enum {
  OPT_RULEBASE,
  OPT_SAMPLES,
  OPT_FORMAT,
  OPT_OUT,
  OPT_MAX,
  OPT_EMBED_INPUTS,
  OPT_SUMMARY_ONLY,
  OPT_REDACT_VALUES,
  OPT_ALLOW_REGEX,
  OPT_STRICT_UNPARSED,
  OPT_STRICT_ECS,
  OPT_RULE_COVERAGE,
  OPT_SARIF,
  OPT_JOBS,
  OPT_COUNT
};

const cli_option kOptions[OPT_COUNT] = {
    {"-r", "--rulebase", true},         {"-s", "--samples", true},
    {"-f", "--format", true},           {"-o", "--out", true},
    {nullptr, "--max", true},           {nullptr, "--embed-inputs", false},
    {nullptr, "--summary-only", false}, {nullptr, "--redact-values", false},
    {nullptr, "--allow-regex", false},  {nullptr, "--strict-unparsed", false},
    {nullptr, "--strict-ecs", false},   {nullptr, "--rule-coverage", false},
    {nullptr, "--sarif", true},         {"-j", "--jobs", true},
};

// Everything check holds after reading its inputs; freed on every path.
struct check_state {
  char *rulebase = nullptr;
  char *samples = nullptr;
  char *report = nullptr;
  char *sarif = nullptr;
  char *error = nullptr;
  vdr_run *run = nullptr;
  vdr_ecs_report ecs{};

  check_state() = default;
  check_state(const check_state &) = delete;
  check_state &operator=(const check_state &) = delete;
  ~check_state() {
    vdr_ecs_report_free(&ecs);
    vdr_free(report);
    vdr_free(sarif);
    vdr_free(error);
    free(rulebase);
    free(samples);
    vdr_run_free(run);
  }
};

} // namespace

int cmd_check(int argc, char **argv) {
  const char *v[OPT_COUNT] = {};
  parse_result pr = parse_options(argc, argv, kOptions, OPT_COUNT, v, missing_value::needs_value);
  if (pr != parse_result::ok) return parse_exit(pr);

  const char *rulebase_path = v[OPT_RULEBASE];
  const char *samples_path = v[OPT_SAMPLES];
  const char *format = v[OPT_FORMAT] ? v[OPT_FORMAT] : "markdown";
  unsigned flags = (v[OPT_EMBED_INPUTS] ? VDR_REPORT_EMBED_INPUTS : 0u) |
                   (v[OPT_SUMMARY_ONLY] ? VDR_REPORT_SUMMARY_ONLY : 0u) |
                   (v[OPT_REDACT_VALUES] ? VDR_REPORT_REDACT_VALUES : 0u) |
                   (v[OPT_RULE_COVERAGE] ? VDR_REPORT_RULE_COVERAGE : 0u);
  const char *sarif_path = v[OPT_SARIF];
  const bool strict_unparsed = v[OPT_STRICT_UNPARSED] != nullptr;
  const bool strict_ecs = v[OPT_STRICT_ECS] != nullptr;

  if (!rulebase_path || !samples_path) {
    fputs("veldra: --rulebase and --samples are both required\n", stderr);
    return 3;
  }
  if (strcmp(format, "json") != 0 && strcmp(format, "markdown") != 0) {
    fputs("veldra: --format must be json or markdown\n", stderr);
    return 3;
  }

  // --jobs: threads of the comparison run (default: the number of cores).
  int jobs = static_cast<int>(std::thread::hardware_concurrency());
  if (jobs < 1) jobs = 1;
  if (jobs > 256) jobs = 256;
  if (const char *j = v[OPT_JOBS]) {
    char *end = nullptr;
    errno = 0;
    long n = strtol(j, &end, 10);
    if (!*j || *end || errno || n < 1 || n > 256) {
      fprintf(stderr, "veldra: --jobs takes a whole number from 1 to 256, not '%s'\n", j);
      return 3;
    }
    jobs = static_cast<int>(n);
  }

  if (refuse_output_over_inputs(v[OPT_OUT], {rulebase_path, samples_path}) != 0) return 3;
  if (sarif_path) {
    if (refuse_output_over_inputs(sarif_path, {rulebase_path, samples_path}) != 0) return 3;
    const bool sarif_stdout = strcmp(sarif_path, "-") == 0;
    const bool report_stdout = !v[OPT_OUT] || strcmp(v[OPT_OUT], "-") == 0;
    if ((sarif_stdout && report_stdout) || (v[OPT_OUT] && strcmp(v[OPT_OUT], sarif_path) == 0)) {
      fputs("veldra: --sarif and the report cannot go to the same place\n", stderr);
      return 3;
    }
  }

  check_state st;
  st.rulebase = read_file(rulebase_path);
  if (!st.rulebase) return 3;
  st.samples = read_file(samples_path);
  if (!st.samples) return 3;

  vdr_config cfg{};
  cfg.ctx_flags = v[OPT_ALLOW_REGEX] ? 1u : 0u;
  cfg.keep_json = 0;
  cfg.max_samples = max_samples_from(v[OPT_MAX]);
  // The report lists only samples needing attention, and none under
  // --summary-only: the others leave their status in the tally only. Rule
  // coverage counts every sample under its rule, so it keeps every record.
  if (flags & VDR_REPORT_RULE_COVERAGE)
    cfg.keep = VDR_KEEP_ALL;
  else
    cfg.keep = (flags & VDR_REPORT_SUMMARY_ONLY) ? VDR_KEEP_NONE : VDR_KEEP_ATTENTION;
  cfg.jobs = jobs;

  if (!vdr_rulebase_is_v2(st.rulebase)) {
    fprintf(stderr,
            "veldra: %s is not a version=2 rulebase; it must be migrated before either engine "
            "can load it\n",
            rulebase_path);
    return 5;
  }

  // The text already read is loaded (the file is not opened a second time,
  // which a FIFO or a pipe would not survive), from the rulebase's own
  // directory so that relative includes resolve against it.
  st.run = run_from_rulebase_text(rulebase_path, st.rulebase, 0, &cfg, &st.error,
                                  "veldra: warning: could not restore working directory\n");

  if (!st.run) {
    if (flags & VDR_REPORT_SUMMARY_ONLY)
      fputs("veldra: rulebase failed to load (details withheld by --summary-only)\n", stderr);
    else
      fprintf(stderr, "veldra: %s\n",
              st.error && *st.error ? st.error : "rulebase failed to load");
    return 3;
  }
  const int turbo_available = vdr_run_turbo_available(st.run);
  if (!turbo_available) {
    fputs("veldra: warning: this rulebase did not compile to bytecode; every sample will read as "
          "a coverage gap\n",
          stderr);
    const char *why = vdr_run_turbo_reason(st.run);
    // Like load failures, the compiler's words (they name fields of the
    // rulebase) stay back under --summary-only.
    if (*why && !(flags & VDR_REPORT_SUMMARY_ONLY))
      fprintf(stderr, "veldra: bytecode compiler: %s\n", why);
  }

  vdr_run_samples(st.run, st.samples, progress, nullptr);
  // End the progress line. On a terminal also erase it, so that a report
  // written to the same screen does not start on top of its remains.
  fputs(isatty(fileno(stderr)) ? "\r\033[K" : "\r", stderr);

  if ((flags & VDR_REPORT_EMBED_INPUTS) && (flags & VDR_REPORT_REDACT_VALUES)) {
    fputs("veldra: --embed-inputs contradicts --redact-values\n", stderr);
    return 3;
  }
  if ((flags & VDR_REPORT_EMBED_INPUTS) && (flags & VDR_REPORT_SUMMARY_ONLY)) {
    fputs("veldra: --embed-inputs contradicts --summary-only\n", stderr);
    return 3;
  }

  if (vdr_ecs_lint(st.rulebase, strict_ecs ? VDR_ECS_STRICT : 0u, &st.ecs) != 0) {
    fputs("veldra: ECS lint failed to run\n", stderr);
    return 3;
  }

  st.report = strcmp(format, "json") == 0 ? vdr_report_json(st.run, flags, &st.ecs)
                                          : vdr_report_markdown(st.run, flags, &st.ecs);
  if (!st.report) {
    fputs("veldra: out of memory building the report\n", stderr);
    return 3;
  }
  if (sarif_path) {
    const vdr_sarif_input in{rulebase_path, st.rulebase, samples_path};
    st.sarif = vdr_report_sarif(st.run, flags, &st.ecs, &in);
    if (!st.sarif) {
      fputs("veldra: out of memory building the SARIF log\n", stderr);
      return 3;
    }
    if (write_output(sarif_path, st.sarif, strlen(st.sarif)) != 0) return 3;
  }
  if (write_output(v[OPT_OUT], st.report, strlen(st.report)) != 0) return 3;

  return exit_code_for(turbo_available, vdr_run_tally(st.run), strict_unparsed, strict_ecs,
                       st.ecs.verdict);
}
