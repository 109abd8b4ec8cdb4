// `veldra propose`: typed spans of sample lines, clustered and named.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/options.h"
#include "core/propose.h"
#include "core/translate.h"
#include "core/veldra.h"

namespace {

enum { OPT_SAMPLES, OPT_ALIASES, OPT_PARSER, OPT_OUT, OPT_COUNT };

const cli_option kOptions[OPT_COUNT] = {
    {"-s", "--samples", true},
    {nullptr, "--aliases", true},
    {nullptr, "--parser", true},
    {"-o", "--out", true},
};

// The samples as far as a proposal uses them: the text of the first
// vdr_propose_max_lines() used lines is kept, later lines are only counted,
// so memory does not grow with lines that are not used.
struct samples_read {
  std::string text;
  size_t used = 0;  // used lines kept in text
  size_t total = 0; // used lines in the whole input
};

bool read_samples(const char *path, samples_read &out) {
  const bool is_stdin = strcmp(path, "-") == 0;
  const char *what = is_stdin ? "stdin" : path;
  FILE *f = is_stdin ? stdin : fopen(path, "rb");
  if (!f) {
    fprintf(stderr, "veldra: cannot open %s: %s\n", path, strerror(errno));
    return false;
  }
  struct stat st;
  if (!is_stdin && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    fclose(f);
    fprintf(stderr, "veldra: cannot open %s: %s\n", path, strerror(EISDIR));
    return false;
  }
  const size_t max = vdr_propose_max_lines();
  static char chunk[65536];
  size_t offset = 0;      // bytes read before this chunk
  std::string line_head;  // the start of the line being read (up to 2 bytes)
  size_t line_len = 0;
  bool collecting = true, ok = true;
  auto end_line = [&]() {
    // Two bytes decide: a used line is not empty and not a lone "\r".
    if (vdr_propose_line_used(line_head.data(), line_len < 2 ? line_len : 2)) {
      ++out.total;
      if (collecting) ++out.used;
    }
    line_len = 0;
    line_head.clear();
  };
  for (;;) {
    size_t n = fread(chunk, 1, sizeof chunk, f);
    if (n == 0) break;
    if (const void *z = memchr(chunk, '\0', n)) {
      fprintf(stderr, "veldra: %s holds a zero byte at offset %zu; it is not text and is refused\n",
              what, offset + static_cast<size_t>(static_cast<const char *>(z) - chunk));
      ok = false;
      break;
    }
    size_t p = 0;
    while (p < n) {
      const char *nl = static_cast<const char *>(memchr(chunk + p, '\n', n - p));
      const size_t end = nl ? static_cast<size_t>(nl - chunk) : n;
      if (collecting) out.text.append(chunk + p, end - p + (nl ? 1 : 0));
      for (size_t k = p; k < end && line_head.size() < 2; ++k) line_head += chunk[k];
      line_len += end - p;
      p = end;
      if (nl) {
        ++p;
        end_line();
        if (collecting && out.used == max) collecting = false;
      }
    }
    offset += n;
  }
  if (ok && ferror(f)) {
    fprintf(stderr, "veldra: read error on %s: %s\n", what, strerror(errno ? errno : EIO));
    ok = false;
  }
  if (ok && line_len > 0) end_line();
  if (!is_stdin) fclose(f);
  return ok;
}

// The samples path's last component, cut to 127 bytes and at its last ".":
// the name an overlay's parser key is guessed from.
std::string file_stem(const char *path) {
  const char *slash = strrchr(path, '/');
  std::string name(slash ? slash + 1 : path);
  if (name.size() > 127) name.resize(127);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

} // namespace

int cmd_propose(int argc, char **argv) {
  const char *v[OPT_COUNT] = {};
  parse_result pr = parse_options(argc, argv, kOptions, OPT_COUNT, v, missing_value::unknown);
  if (pr != parse_result::ok) return parse_exit(pr);
  if (!v[OPT_SAMPLES]) {
    fputs("veldra: propose needs --samples\n", stderr);
    return 3;
  }
  const bool samples_stdin = strcmp(v[OPT_SAMPLES], "-") == 0;
  if (samples_stdin && v[OPT_ALIASES] && strcmp(v[OPT_ALIASES], "-") == 0) {
    fputs("veldra: stdin can feed only one input; name a file for the other\n", stderr);
    return 3;
  }
  samples_read samples;
  if (!read_samples(v[OPT_SAMPLES], samples)) return 3;
  char *overlay = nullptr;
  if (v[OPT_ALIASES]) {
    overlay = read_text_file(v[OPT_ALIASES]);
    if (!overlay) return 3;
  }
  if (samples.total > samples.used)
    fprintf(stderr, "veldra: propose used the first %zu of %zu sample lines\n", samples.used,
            samples.total);

  const char *parser = v[OPT_PARSER];
  char *guessed = nullptr;
  if (overlay && !samples_stdin && (!parser || strcmp(parser, "auto") == 0)) {
    guessed = vdr_ecs_guess_parser(overlay, file_stem(v[OPT_SAMPLES]).c_str());
    parser = guessed;
  }
  char *proposal = vdr_spec_propose(samples.text.c_str(), overlay, parser);
  vdr_free(guessed);
  free(overlay);
  if (!proposal) {
    fputs("veldra: propose failed\n", stderr);
    return 3;
  }
  int rc = write_output(v[OPT_OUT], proposal, strlen(proposal)) == 0 ? 0 : 3;
  vdr_free(proposal);
  return rc;
}
