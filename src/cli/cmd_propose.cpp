// `veldra propose`: typed spans of sample lines, clustered and named.
#include <cstdio>
#include <cstdlib>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/options.h"

namespace {

enum { OPT_SAMPLES, OPT_ALIASES, OPT_PARSER, OPT_OUT, OPT_COUNT };

const cli_option kOptions[OPT_COUNT] = {
    {"-s", "--samples", true},
    {nullptr, "--aliases", true},
    {nullptr, "--parser", true},
    {"-o", "--out", true},
};

} // namespace

int cmd_propose(int argc, char **argv) {
  const char *v[OPT_COUNT] = {};
  parse_result pr = parse_options(argc, argv, kOptions, OPT_COUNT, v, missing_value::unknown);
  if (pr != parse_result::ok) return parse_exit(pr);
  if (!v[OPT_SAMPLES]) {
    fputs("veldra: propose needs --samples\n", stderr);
    return 3;
  }
  char *samples = read_file(v[OPT_SAMPLES]);
  if (!samples) return 3;
  char *overlay = nullptr;
  if (v[OPT_ALIASES]) {
    overlay = read_file(v[OPT_ALIASES]);
    if (!overlay) {
      free(samples);
      return 3;
    }
  }
  free(overlay);
  free(samples);
  return command_not_built("propose");
}
