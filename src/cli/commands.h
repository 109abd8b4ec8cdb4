// The commands of the tool. Each takes the whole argument vector (argv[1] is
// the command word) and returns the exit status.
#pragma once

int cmd_check(int argc, char **argv);
int cmd_triad(int argc, char **argv);
int cmd_spec(int argc, char **argv);
int cmd_propose(int argc, char **argv);
int cmd_extract(int argc, char **argv);
int cmd_normalize(int argc, char **argv);
int cmd_translate(int argc, char **argv);
int cmd_ecs(int argc, char **argv);
int cmd_sigma(int argc, char **argv);

// Ends a command whose work is not available in this build yet: one line on
// standard error, exit 3.
int command_not_built(const char *what);
