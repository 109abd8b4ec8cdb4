// `veldra spec`: a rulebase from a field-extraction spec.
#include <cstdio>
#include <cstdlib>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/options.h"

namespace {

enum { OPT_SPEC, OPT_OUT, OPT_COUNT };

const cli_option kOptions[OPT_COUNT] = {
    {nullptr, "--spec", true},
    {"-o", "--out", true},
};

} // namespace

int cmd_spec(int argc, char **argv) {
  const char *v[OPT_COUNT] = {};
  parse_result pr = parse_options(argc, argv, kOptions, OPT_COUNT, v, missing_value::unknown);
  if (pr != parse_result::ok) return parse_exit(pr);
  if (!v[OPT_SPEC]) {
    fputs("veldra: spec needs --spec\n", stderr);
    return 3;
  }
  char *spec = read_file(v[OPT_SPEC]);
  if (!spec) return 3;
  free(spec);
  return command_not_built("spec");
}
