// `veldra triad`: the exchange kit for a proven rulebase.
#include <cstdio>
#include <cstdlib>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/options.h"

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

} // namespace

int cmd_triad(int argc, char **argv) {
  const char *v[OPT_COUNT] = {};
  parse_result pr = parse_options(argc, argv, kOptions, OPT_COUNT, v, missing_value::unknown);
  if (pr != parse_result::ok) return parse_exit(pr);
  if (!v[OPT_RULEBASE] || !v[OPT_OUT]) {
    fputs("veldra: triad needs --rulebase and --out\n", stderr);
    return 3;
  }
  char *rulebase = read_file(v[OPT_RULEBASE]);
  if (!rulebase) return 3;
  free(rulebase);
  return command_not_built("triad");
}
