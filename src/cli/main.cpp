// Process entry point: reads the command word and dispatches.
#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "cli/usage.h"
#include "normalizer/context.h"

namespace {

struct command {
  const char *word;
  int (*run)(int argc, char **argv);
};

// Compared exactly, in this order; the first match wins.
const command kCommands[] = {
    {"triad", cmd_triad},         {"spec", cmd_spec}, {"propose", cmd_propose},
    {"extract", cmd_extract},     {"translate", cmd_translate},
    {"ecs", cmd_ecs},             {"sigma", cmd_sigma}, {"check", cmd_check},
    {"normalize", cmd_normalize},
};

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    print_usage(stderr);
    return 3;
  }
  const char *word = argv[1];
  if (strcmp(word, "--version") == 0) {
    printf("veldra (normalizer %s, turbo %s, pcre %s)\n", ln_version(), "supported", "supported");
    return 0;
  }
  if (strcmp(word, "-h") == 0 || strcmp(word, "--help") == 0) {
    print_usage(stdout);
    return 0;
  }
  for (const command &c : kCommands)
    if (strcmp(word, c.word) == 0) return c.run(argc, argv);
  fprintf(stderr, "veldra: unknown command '%s'\n\n", word);
  print_usage(stderr);
  return 3;
}
