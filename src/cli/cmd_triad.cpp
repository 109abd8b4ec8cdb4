// `veldra triad`: the exchange kit for a proven rulebase.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/options.h"
#include "core/veldra.h"

namespace {

enum {
  OPT_RULEBASE,
  OPT_OUT,
  OPT_SOURCE_ID,
  OPT_LABEL,
  OPT_FACILITY,
  OPT_INPUT_PATH,
  OPT_INPUT_TYPE,
  OPT_ALLOW_NON_ECS,
  OPT_COUNT
};

const cli_option kOptions[OPT_COUNT] = {
    {"-r", "--rulebase", true},       {"-o", "--out", true},
    {nullptr, "--source-id", true},   {nullptr, "--label", true},
    {nullptr, "--facility", true},    {nullptr, "--input-path", true},
    {nullptr, "--input-type", true},  {nullptr, "--allow-non-ecs", false},
};

struct triad_state {
  char *rulebase = nullptr;
  vdr_ecs_report ecs{};
  vdr_triad kit{};

  triad_state() = default;
  triad_state(const triad_state &) = delete;
  triad_state &operator=(const triad_state &) = delete;
  ~triad_state() {
    vdr_triad_free(&kit);
    vdr_ecs_report_free(&ecs);
    free(rulebase);
  }
};

} // namespace

int cmd_triad(int argc, char **argv) {
  const char *v[OPT_COUNT] = {};
  parse_result pr = parse_options(argc, argv, kOptions, OPT_COUNT, v, missing_value::unknown);
  if (pr != parse_result::ok) return parse_exit(pr);
  if (!v[OPT_RULEBASE] || !v[OPT_OUT]) {
    fputs("veldra: triad needs --rulebase and --out\n", stderr);
    return 3;
  }
  triad_state st;
  st.rulebase = read_text_file(v[OPT_RULEBASE]);
  if (!st.rulebase) return 3;
  if (!vdr_rulebase_is_v2(st.rulebase)) {
    fprintf(stderr,
            "veldra: %s is not a version=2 rulebase; it must be migrated before either engine "
            "can load it\n",
            v[OPT_RULEBASE]);
    return 5;
  }
  const char *source_id = v[OPT_SOURCE_ID];
  if (source_id && *source_id && !vdr_source_id_valid(source_id)) {
    fputs("veldra: --source-id must be techno-product (linux-sshd); the index is "
          "customer-techno-product\n",
          stderr);
    return 3;
  }

  if (vdr_ecs_lint(st.rulebase, 0, &st.ecs) != 0) {
    fputs("veldra: ECS lint failed to run\n", stderr);
    return 3;
  }
  if (st.ecs.verdict == VDR_ECS_FAIL && !v[OPT_ALLOW_NON_ECS]) {
    fputs("veldra: ECS lint failed; triad export refused\n", stderr);
    for (size_t i = 0; i < st.ecs.n_errors; ++i) fprintf(stderr, "  %s\n", st.ecs.errors[i]);
    return 6;
  }

  vdr_triad_opts opts{v[OPT_FACILITY], v[OPT_INPUT_PATH], v[OPT_INPUT_TYPE]};
  if (vdr_triad_build_ex(st.rulebase, source_id, v[OPT_LABEL], &opts, &st.kit) != 0) {
    const char *why = vdr_triad_error();
    if (why && *why)
      fprintf(stderr, "veldra: %s\n", why);
    else
      fputs("veldra: failed to build the exchange kit (set --source-id techno-product, e.g. "
            "linux-sshd; facility is [a-z0-9], path is absolute, input-type is "
            "imfile/imudp/imtcp)\n",
            stderr);
    return 3;
  }

  const char *dir = v[OPT_OUT];
  bool created = mkdir(dir, 0755) == 0;
  if (!created && errno != EEXIST) {
    fprintf(stderr, "veldra: cannot create %s: %s\n", dir, strerror(errno));
    return 3;
  }
  const char *const names[] = {"parser.rulebase", "meta.yaml"};
  const char *const bodies[] = {st.kit.rulebase, st.kit.meta_yaml};
  if (write_files_together(dir, names, bodies, 2) != 0) {
    // A directory made for this kit alone is not left behind empty.
    if (created) rmdir(dir);
    return 3;
  }
  printf("wrote parser.rulebase and meta.yaml for %s in %s\n", st.kit.id, dir);
  return 0;
}
