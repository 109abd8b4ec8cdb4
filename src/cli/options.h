// Option reading shared by the commands: options from argv[2] on, one at a
// time; a value option takes the next argument whatever it looks like; a
// repeated option overwrites the earlier value; short forms are exact words.
#pragma once

#include <cstddef>

struct cli_option {
  const char *short_name; // "-r", or null
  const char *long_name;  // "--rulebase"
  bool takes_value;
};

// What a value option given as the last argument leads to.
enum class missing_value {
  needs_value, // "veldra: OPT needs a value"
  unknown      // not recognised: "veldra: unknown option 'OPT'"
};

enum class parse_result { ok, help, error };

// Fills values[i] with the value of opts[i] (switches get their own word), or
// leaves it untouched when the option is absent. "-h"/"--help" print the usage
// to standard output and give help; a bad option prints its message and gives
// error.
parse_result parse_options(int argc, char **argv, const cli_option *opts, size_t n_opts,
                           const char **values, missing_value mode);

// Exit status for a parse result other than ok: 0 after help, 3 after error.
inline int parse_exit(parse_result r) { return r == parse_result::help ? 0 : 3; }
