// `veldra ecs`: the ECS lint of a rulebase as one JSON line.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/options.h"
#include "core/veldra.h"

namespace {

const cli_option kOptions[] = {{"-r", "--rulebase", true}};

} // namespace

int cmd_ecs(int argc, char **argv) {
  const char *rulebase_path = nullptr;
  parse_result pr =
      parse_options(argc, argv, kOptions, 1, &rulebase_path, missing_value::needs_value);
  if (pr != parse_result::ok) return parse_exit(pr);
  if (!rulebase_path) {
    fputs("veldra: ecs needs --rulebase\n", stderr);
    return 3;
  }
  char *rulebase = read_file(rulebase_path);
  if (!rulebase) return 3;

  vdr_ecs_report rep{};
  int rc = vdr_ecs_lint(rulebase, 0, &rep);
  free(rulebase);
  if (rc != 0) {
    // Only an allocation failure stops the lint; the command ends quietly.
    vdr_ecs_report_free(&rep);
    return 3;
  }
  const bool fail = rep.verdict == VDR_ECS_FAIL;
  vdr_sb sb;
  vdr_sb_init(&sb);
  vdr_sb_puts(&sb, "{\"verdict\":");
  vdr_sb_json_string(&sb, fail ? "fail" : "ok");
  vdr_sb_puts(&sb, ",\"schema\":");
  vdr_sb_json_string(&sb, rep.schema_version ? rep.schema_version : vdr_ecs_schema_version());
  vdr_sb_puts(&sb, ",\"errors\":");
  vdr_sb_json_string_array(&sb, rep.errors, rep.n_errors);
  vdr_sb_puts(&sb, ",\"warnings\":");
  vdr_sb_json_string_array(&sb, rep.warnings, rep.n_warnings);
  vdr_sb_puts(&sb, "}\n");
  vdr_ecs_report_free(&rep);
  char *line = vdr_sb_release(&sb);
  if (!line) {
    fputs("veldra: out of memory building the lint result\n", stderr);
    return 3;
  }
  rc = write_output(nullptr, line, strlen(line));
  vdr_free(line);
  if (rc != 0) return 3;
  return fail ? 6 : 0;
}
