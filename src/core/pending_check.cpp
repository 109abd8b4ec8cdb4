// Placeholders for the comparison harness, reports and ECS modules until they
// are built; each is removed as its real definition lands.
#include "core/veldra.h"

int vdr_canon_build(struct fjson_object *, vdr_canon *) { return -1; }
void vdr_canon_free(vdr_canon *) {}
int vdr_diff_compute(const vdr_canon *, const vdr_canon *, vdr_diff **d, size_t *n, uint32_t *s) {
  *d = nullptr; *n = 0; *s = 0; return -1;
}
void vdr_diff_free(vdr_diff *, size_t) {}
const char *vdr_diff_kind_name(int) { return "unknown"; }
const char *vdr_status_name(int) { return "unknown"; }

vdr_run *vdr_run_new(const char *, const vdr_config *, char **e) { if (e) *e = nullptr; return nullptr; }
vdr_run *vdr_run_new_from_file(const char *, const vdr_config *, char **e) { if (e) *e = nullptr; return nullptr; }
const char *vdr_run_diagnostics(const vdr_run *, vdr_engine) { return ""; }
int vdr_run_turbo_available(const vdr_run *) { return 0; }
size_t vdr_run_samples(vdr_run *, const char *, vdr_progress_cb, void *) { return 0; }
const vdr_result *vdr_run_results(const vdr_run *, size_t *c) { if (c) *c = 0; return nullptr; }
const size_t *vdr_run_tally(const vdr_run *) { static const size_t z[VDR_STATUS__COUNT] = {}; return z; }
void vdr_run_free(vdr_run *) {}

const char *vdr_ecs_schema_version(void) { return "9.5.0"; }
int vdr_ecs_field_known(const char *, int *) { return 0; }
int vdr_ecs_field_acceptable(const char *, int *) { return 0; }
int vdr_ecs_key_hints(const char *, const char **, int) { return 0; }
int vdr_ecs_lint(const char *, unsigned, vdr_ecs_report *) { return -1; }
void vdr_ecs_report_free(vdr_ecs_report *) {}

char *vdr_report_json(const vdr_run *, unsigned, const vdr_ecs_report *) { return nullptr; }
char *vdr_report_markdown(const vdr_run *, unsigned, const vdr_ecs_report *) { return nullptr; }
int vdr_score_preview_json(const char *, char *, size_t) { return -1; }
