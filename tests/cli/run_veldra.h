// Runs the built veldra in a child process and captures what it did: exit
// status, standard output and standard error, with standard input fed from a
// text and the working directory and environment chosen by the test.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

struct veldra_run {
  int status = -1; // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

struct veldra_call {
  std::vector<std::string> args;                           // after the program name
  std::string stdin_text;                                  // fed on standard input
  std::string cwd;                                         // empty: the test's own
  std::vector<std::pair<std::string, std::string>> env;    // set in the child
};

inline std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void spill(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// A fresh private directory, removed with its contents by the destructor.
struct temp_dir {
  std::string path;
  temp_dir() {
    char tmpl[] = "/tmp/veldra-test-XXXXXX";
    if (char *p = mkdtemp(tmpl)) path = p;
  }
  ~temp_dir() {
    if (!path.empty()) {
      std::string cmd = "rm -rf '" + path + "'";
      if (system(cmd.c_str()) != 0) {
      }
    }
  }
  std::string operator/(const std::string &name) const { return path + "/" + name; }
};

inline veldra_run run_veldra(const veldra_call &call) {
  temp_dir io;
  const std::string in_path = io / "stdin", out_path = io / "stdout", err_path = io / "stderr";
  spill(in_path, call.stdin_text);
  veldra_run r;
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(in_path.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (!call.cwd.empty() && chdir(call.cwd.c_str()) != 0) _exit(127);
    for (const auto &[k, v] : call.env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(VELDRA_BIN));
    for (const std::string &a : call.args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(VELDRA_BIN, argv.data());
    _exit(127);
  }
  int st = 0;
  if (pid > 0 && waitpid(pid, &st, 0) == pid)
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = slurp(out_path);
  r.err = slurp(err_path);
  return r;
}

// The fixture directory of the front-end tests.
inline std::string fixtures() { return std::string(VELDRA_TEST_DIR) + "/fixtures"; }
