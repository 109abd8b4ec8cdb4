// The common ending of commands whose work has not landed in this build.
#include <cstdio>

#include "cli/commands.h"

int command_not_built(const char *what) {
  fprintf(stderr, "veldra: %s is not built yet\n", what);
  return 3;
}
