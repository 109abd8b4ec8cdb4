// Placeholders for the comparison harness, reports and ECS modules until they
// are built; each is removed as its real definition lands.
#include "core/veldra.h"

const char *vdr_ecs_schema_version(void) { return "9.5.0"; }
int vdr_ecs_field_known(const char *, int *) { return 0; }
int vdr_ecs_field_acceptable(const char *, int *) { return 0; }
int vdr_ecs_key_hints(const char *, const char **, int) { return 0; }
int vdr_ecs_lint(const char *, unsigned, vdr_ecs_report *) { return -1; }
void vdr_ecs_report_free(vdr_ecs_report *) {}

char *vdr_report_json(const vdr_run *, unsigned, const vdr_ecs_report *) { return nullptr; }
char *vdr_report_markdown(const vdr_run *, unsigned, const vdr_ecs_report *) { return nullptr; }
int vdr_score_preview_json(const char *, char *, size_t) { return -1; }
