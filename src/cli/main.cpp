// Process entry point (placeholder until the command-line front end lands).
#include <cstdio>

int main(int argc, char **argv) {
  fputs("veldra: not built yet\n", stderr);
  return 3;
}
