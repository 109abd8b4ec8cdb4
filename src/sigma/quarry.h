// The Sigma front end behind `veldra sigma match` and `veldra sigma
// correlate`: loads a compiled database, runs every event of an events file
// through the evaluator (and, for correlate, the correlation engine) and
// renders one JSON text. Every entry point answers with an allocated JSON
// text, errors included ({"ok":false,"error":"..."}); free it with
// sg_str_free (declared in sigma/compile.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sigma/compile.h"
#include "sigma/sigma_format.h"
#include "sigma/sigma_match.h"

struct sg_engine {
  sigma_db_t db;
  uint8_t *owned; // the image; the database owns it once loaded
  sigma_eval_t *ev;
};

// Copies and loads an image. Errors (allocated, in *err when given): "empty
// .sigmac", "out of memory", "sigmac load status %d", "eval create failed".
sg_engine *sg_load_mem(const uint8_t *buf, size_t len, char **err);
// Reads the file as bytes and loads it. Errors: "cannot open .sigmac",
// "cannot stat .sigmac", "out of memory", "short read", and those above.
sg_engine *sg_load_file(const char *path, char **err);
void sg_free(sg_engine *engine);
uint32_t sg_n_rules(const sg_engine *engine);
uint32_t sg_n_re_skipped(const sg_engine *engine);

// Options of sg_match_json.
enum { SG_MATCH_EXPLAIN = 1 }; // every hit names the selections and predicates that fired

// Match report over every event of the text (JSON array or JSON Lines).
char *sg_match_json(sg_engine *engine, const char *events_text, const char *techno,
                    const char *product, unsigned flags = 0);
// Explanation of one rule (by rule id) for the first event of event_json.
char *sg_explain_json(sg_engine *engine, const char *event_json, uint32_t rule_id,
                      const char *techno, const char *product);
// Correlation report: the events through the evaluator and the correlation
// rules of corr_json.
char *sg_correlate_json(sg_engine *engine, const char *corr_json, const char *events_text,
                        const char *techno, const char *product);

// Caps of the correlation engine that sg_correlate_json runs.
constexpr uint32_t SG_CORR_MAX_GROUPS = 512;
constexpr uint32_t SG_CORR_MAX_DISTINCT = 1024;
constexpr uint32_t SG_CORR_MAX_EVENTS = 256;
