// `veldra translate`: a rulebase's field names rewritten to ECS names.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/options.h"
#include "core/translate.h"
#include "core/veldra.h"

namespace {

enum { OPT_RULEBASE, OPT_ALIASES, OPT_PARSER, OPT_OUT, OPT_COUNT };

const cli_option kOptions[OPT_COUNT] = {
    {"-r", "--rulebase", true},
    {nullptr, "--aliases", true},
    {nullptr, "--parser", true},
    {"-o", "--out", true},
};

// The rulebase path's last component without its last extension, cut to
// 127 bytes: the name an overlay's parser key is guessed from.
std::string file_stem(const char *path) {
  const char *slash = strrchr(path, '/');
  std::string name(slash ? slash + 1 : path);
  if (name.size() > 127) name.resize(127);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

} // namespace

int cmd_translate(int argc, char **argv) {
  const char *v[OPT_COUNT] = {};
  parse_result pr = parse_options(argc, argv, kOptions, OPT_COUNT, v, missing_value::needs_value);
  if (pr != parse_result::ok) return parse_exit(pr);
  if (!v[OPT_RULEBASE]) {
    fputs("veldra: translate needs --rulebase\n", stderr);
    return 3;
  }
  char *rulebase = read_text_file(v[OPT_RULEBASE]);
  if (!rulebase) return 3;
  char *overlay = nullptr;
  if (v[OPT_ALIASES]) {
    overlay = read_text_file(v[OPT_ALIASES]);
    if (!overlay) {
      free(rulebase);
      return 3;
    }
  }

  const char *parser = v[OPT_PARSER];
  char *guessed = nullptr;
  if (overlay && (!parser || strcmp(parser, "auto") == 0) && strcmp(v[OPT_RULEBASE], "-") != 0) {
    guessed = vdr_ecs_guess_parser(overlay, file_stem(v[OPT_RULEBASE]).c_str());
    fprintf(stderr, "translate: parser=%s\n", guessed ? guessed : "(baked+hints)");
    parser = guessed;
  }

  char *text = vdr_ecs_translate(rulebase, overlay, parser);
  vdr_free(guessed);
  free(overlay);
  free(rulebase);
  if (!text) {
    fputs("veldra: translate failed (bad aliases JSON?)\n", stderr);
    return 3;
  }
  int rc = write_output(v[OPT_OUT], text, strlen(text)) == 0 ? 0 : 3;
  vdr_free(text);
  return rc;
}
