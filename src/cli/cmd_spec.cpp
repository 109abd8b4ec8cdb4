// `veldra spec`: a rulebase from a field-extraction spec.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/options.h"
#include "core/veldra.h"

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
  char *spec = read_text_file(v[OPT_SPEC]);
  if (!spec) return 3;
  char *rulebase = nullptr, *error = nullptr;
  int rc = vdr_spec_emit(spec, &rulebase, &error);
  free(spec);
  if (rc != 0) {
    fprintf(stderr, "veldra: %s\n", error && *error ? error : "spec failed");
    vdr_free(error);
    return 3;
  }
  vdr_free(error);
  rc = write_output(v[OPT_OUT], rulebase, strlen(rulebase));
  vdr_free(rulebase);
  return rc == 0 ? 0 : 3;
}
