// `veldra sigma compile|match|correlate|lint`: argument handling and the
// outside converter of `compile --full`.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "cli/commands.h"
#include "cli/files.h"
#include "sigma/compile.h"
#include "sigma/quarry.h"

extern char **environ;

namespace {

struct sigma_args {
  const char *out = nullptr;
  const char *sigmac = nullptr;
  const char *events = nullptr;
  const char *corr = nullptr;
  const char *techno = nullptr;
  const char *product = nullptr;
  const char *source_id = nullptr;
  const char *yaml = nullptr; // the last argument not beginning with "-"
  bool full = false;
  bool explain = false; // match: name the selections and predicates of each hit
};

// Every argument after the subcommand. Unknown dashed arguments, and value
// options with nothing after them, are ignored.
sigma_args read_sigma_args(int argc, char **argv) {
  struct value_option {
    const char *short_name;
    const char *long_name;
    const char *sigma_args::*field;
  };
  static const value_option kValues[] = {
      {"-o", "--out", &sigma_args::out},
      {nullptr, "--sigmac", &sigma_args::sigmac},
      {nullptr, "--events", &sigma_args::events},
      {nullptr, "--corr", &sigma_args::corr},
      {nullptr, "--techno", &sigma_args::techno},
      {nullptr, "--product", &sigma_args::product},
      {nullptr, "--source-id", &sigma_args::source_id},
  };
  sigma_args a;
  for (int i = 3; i < argc; ++i) {
    const char *arg = argv[i];
    if (arg[0] != '-') {
      a.yaml = arg;
      continue;
    }
    if (strcmp(arg, "--full") == 0) {
      a.full = true;
      continue;
    }
    if (strcmp(arg, "--explain") == 0) {
      a.explain = true;
      continue;
    }
    for (const value_option &o : kValues) {
      if ((o.short_name && strcmp(arg, o.short_name) == 0) || strcmp(arg, o.long_name) == 0) {
        if (i + 1 < argc) a.*o.field = argv[++i];
        break;
      }
    }
  }
  return a;
}

// Runs the outside converter over the YAML file; it writes the database.
int compile_full(const sigma_args &a) {
  const char *python = getenv("VELDRA_PYTHON");
  if (!python || !*python) python = "python3";
  const char *out = a.out ? a.out : "rules.sigmac";
  const char *args[] = {python, "-m", "sigma.backends.libtallis.cli", "-o", out, "--", a.yaml,
                        nullptr};
  fflush(stdout);
  fflush(stderr);
  pid_t pid;
  if (posix_spawnp(&pid, python, nullptr, nullptr, const_cast<char *const *>(args), environ) !=
      0) {
    fprintf(stderr, "veldra sigma compile --full: cannot run %s\n", python);
    return 3;
  }
  int status = 0;
  pid_t w;
  do {
    w = waitpid(pid, &status, 0);
  } while (w < 0 && errno == EINTR);
  if (w < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr,
            "veldra sigma compile --full: failed; it needs pysigma-backend-libtallis>=0.1,<0.2 "
            "in %s\n",
            python);
    return 3;
  }
  return 0;
}

int sigma_compile(const sigma_args &a) {
  if (!a.yaml) {
    fputs("veldra sigma compile: YAML file required\n", stderr);
    return 3;
  }
  char *yaml = read_file(a.yaml);
  if (!yaml) return 3;
  if (a.full) {
    free(yaml);
    return compile_full(a);
  }
  // A zero byte ends the text read; a rule file holding one is binary, and
  // compiling the part before it would drop the rest in silence.
  struct stat st;
  if (stat(a.yaml, &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<uintmax_t>(st.st_size) > strlen(yaml)) {
    fprintf(stderr, "veldra sigma compile: %s holds a zero byte; this is not a YAML text\n",
            a.yaml);
    free(yaml);
    return 3;
  }
  uint8_t *img = nullptr;
  size_t n = 0;
  char *corr = nullptr, *err = nullptr;
  int rc = sg_compile(yaml, &img, &n, &corr, nullptr, &err);
  free(yaml);
  if (rc != 0) {
    fprintf(stderr, "veldra sigma compile: %s\n", err && *err ? err : "failed");
    // Rules written with Sigma's own field names (public rule sets) need the
    // outside converter: say how to reach it.
    if (err && strstr(err, "in-tab compiler is taxonomy: ecs only"))
      fprintf(stderr,
              "veldra sigma compile: rules with other field names compile with "
              "'veldra sigma compile --full %s'\n",
              a.yaml);
    free(err);
    return 3;
  }
  // The database and its correlation side file appear together or not at
  // all: both are written beside their targets and renamed into place.
  const char *out = a.out ? a.out : "rules.sigmac";
  std::string corr_path = a.out && corr ? std::string(a.out) + ".corr.json" : "";
  output_sink db_sink, corr_sink;
  bool ok = db_sink.open(out) == 0 && db_sink.write(reinterpret_cast<char *>(img), n) == 0;
  if (ok && !corr_path.empty())
    ok = corr_sink.open(corr_path.c_str()) == 0 && corr_sink.write(corr, strlen(corr)) == 0;
  ok = ok && db_sink.commit() == 0 && (corr_path.empty() || corr_sink.commit() == 0);
  free(img);
  free(corr);
  if (!ok) {
    fputs("veldra sigma compile: write failed\n", stderr);
    return 3;
  }
  printf("wrote %zu bytes\n", n);
  return 0;
}

int sigma_match_or_correlate(const char *sub, const sigma_args &a) {
  if (!a.sigmac || !a.events) {
    fprintf(stderr, "veldra sigma %s: --sigmac and --events required\n", sub);
    return 3;
  }
  const bool correlate = strcmp(sub, "correlate") == 0;
  // The database is binary: it is read as bytes by the loader, never as text.
  char *err = nullptr;
  sg_engine *engine = sg_load_file(a.sigmac, &err);
  if (!engine) {
    fprintf(stderr, "veldra sigma: %s\n", err && *err ? err : "load failed");
    free(err);
    return 3;
  }
  char *events = read_file(a.events);
  if (!events) {
    sg_free(engine);
    return 3;
  }
  char *text = nullptr;
  if (correlate) {
    if (!a.corr) {
      fputs("veldra sigma correlate: --corr required\n", stderr);
      free(events);
      sg_free(engine);
      return 3;
    }
    // A correlation file that cannot be read is passed on as absent.
    char *corr = read_file(a.corr);
    text = sg_correlate_json(engine, corr, events, a.techno, a.product);
    free(corr);
  } else {
    text = sg_match_json(engine, events, a.techno, a.product, a.explain ? SG_MATCH_EXPLAIN : 0);
  }
  free(events);
  if (text && *text) {
    size_t n = strlen(text);
    fwrite(text, 1, n, stdout);
    if (text[n - 1] != '\n') fputc('\n', stdout);
  }
  sg_str_free(text);
  sg_free(engine);
  if (fflush(stdout) != 0) {
    fprintf(stderr, "veldra sigma %s: write failed\n", sub);
    return 3;
  }
  return 0;
}

int sigma_lint(const sigma_args &a) {
  if (!a.yaml) {
    fputs("veldra sigma lint: YAML file required\n", stderr);
    return 3;
  }
  char *yaml = read_file(a.yaml);
  if (!yaml) return 3;
  char *text = sg_lint_json(yaml, a.source_id, nullptr);
  free(yaml);
  if (text) printf("%s\n", text);
  sg_str_free(text);
  return 0;
}

} // namespace

int cmd_sigma(int argc, char **argv) {
  if (argc < 3) {
    fputs("veldra sigma compile|match|correlate|lint ...\n", stderr);
    return 3;
  }
  const char *sub = argv[2];
  sigma_args a = read_sigma_args(argc, argv);
  if (strcmp(sub, "compile") == 0) return sigma_compile(a);
  if (strcmp(sub, "match") == 0 || strcmp(sub, "correlate") == 0)
    return sigma_match_or_correlate(sub, a);
  if (strcmp(sub, "lint") == 0) return sigma_lint(a);
  fprintf(stderr, "veldra sigma: unknown subcommand '%s'\n", sub);
  return 3;
}
