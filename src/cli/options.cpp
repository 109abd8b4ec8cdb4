// Option reading shared by the commands.
#include "cli/options.h"

#include <cstdio>
#include <cstring>

#include "cli/usage.h"

parse_result parse_options(int argc, char **argv, const cli_option *opts, size_t n_opts,
                           const char **values, missing_value mode) {
  for (int i = 2; i < argc; ++i) {
    const char *arg = argv[i];
    if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
      print_usage(stdout);
      return parse_result::help;
    }
    const cli_option *hit = nullptr;
    size_t k = 0;
    for (; k < n_opts; ++k) {
      const cli_option &o = opts[k];
      if ((o.short_name && strcmp(arg, o.short_name) == 0) || strcmp(arg, o.long_name) == 0) {
        hit = &o;
        break;
      }
    }
    if (hit && hit->takes_value && i + 1 >= argc) {
      if (mode == missing_value::needs_value) {
        fprintf(stderr, "veldra: %s needs a value\n", arg);
        return parse_result::error;
      }
      hit = nullptr;
    }
    if (!hit) {
      fprintf(stderr, "veldra: unknown option '%s'\n", arg);
      return parse_result::error;
    }
    values[k] = hit->takes_value ? argv[++i] : arg;
  }
  return parse_result::ok;
}
