// `veldra translate`: a rulebase's field names rewritten to ECS names.
#include <cstdio>
#include <cstdlib>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/options.h"

namespace {

enum { OPT_RULEBASE, OPT_ALIASES, OPT_PARSER, OPT_OUT, OPT_COUNT };

const cli_option kOptions[OPT_COUNT] = {
    {"-r", "--rulebase", true},
    {nullptr, "--aliases", true},
    {nullptr, "--parser", true},
    {"-o", "--out", true},
};

} // namespace

int cmd_translate(int argc, char **argv) {
  const char *v[OPT_COUNT] = {};
  parse_result pr = parse_options(argc, argv, kOptions, OPT_COUNT, v, missing_value::needs_value);
  if (pr != parse_result::ok) return parse_exit(pr);
  if (!v[OPT_RULEBASE]) {
    fputs("veldra: translate needs --rulebase\n", stderr);
    return 3;
  }
  char *rulebase = read_file(v[OPT_RULEBASE]);
  if (!rulebase) return 3;
  char *overlay = nullptr;
  if (v[OPT_ALIASES]) {
    overlay = read_file(v[OPT_ALIASES]);
    if (!overlay) {
      free(rulebase);
      return 3;
    }
  }
  free(overlay);
  free(rulebase);
  return command_not_built("translate");
}
