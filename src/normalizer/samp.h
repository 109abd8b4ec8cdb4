// Rulebase reader: reads version-2 rulebases record by record from a file or
// from text and applies every record to a normalizer context (rules and types
// to the parse DAGs, annotations, rewrite lines, includes, prefixes).
#pragma once

#include <cstddef>
#include <cstdint>

#include "normalizer/context.h"

// Longest record the reader accepts (bytes, without terminator).
#define LN_SAMP_MAX_RECORD 65535
// Deepest include nesting accepted; one more level is a load error.
#define LN_SAMP_MAX_INCLUDE_DEPTH 64
// Largest rulebase file read into memory.
#define LN_SAMP_MAX_FILE_SIZE (64u * 1024u * 1024u)

// Read cursor over rulebase bytes. For file input the whole file is held in
// memory, which makes the look-ahead of the runaway check cheap and exact.
struct ln_samp_input {
  const char *buf;
  size_t len;
  size_t pos;
  int isFile; // the runaway look-ahead applies to file input only
  // Cached look-ahead of the runaway check: positions from..to all lead to
  // the same next line.
  size_t la_from = 1;
  size_t la_to = 0;
  int la_result = 0;
};

// One record as read (for callers and tests that read record by record).
struct ln_samp {
  char *text; // owned, NUL-terminated (the record may hold further NUL bytes)
  size_t len;
};

// Load a rulebase file: 0 on success, 1 for open, read and version problems,
// otherwise the first hard error of a record.
int ln_sampLoad(ln_ctx ctx, const char *file);
// Load rulebase text read from `file` as that file would load (version
// header required, messages and rule locations name `file`).
int ln_sampLoadText(ln_ctx ctx, const char *file, const char *text, size_t len);
// The version header of rulebase text: blank lines and comment lines (after
// leading spaces and tabs) are passed over; the first other line decides.
// 2 when it is "version=2" followed only by spaces, tabs or carriage
// returns, else 1. *body receives the offset after that line and *lines the
// number of lines up to and including it (either may be null).
int ln_sampVersion(const char *text, size_t len, size_t *body, uint32_t *lines);
// Load rulebase text, always as version 2; 1 for a null text.
int ln_sampLoadFromString(ln_ctx ctx, const char *text);
// Read and process one record; *isEof is set at the end of input.
int ln_sampRead(ln_ctx ctx, struct ln_samp_input *in, int *isEof);
// Process one complete record (type=value) of length len.
int ln_sampProcessRecord(ln_ctx ctx, const char *rec, size_t len);
// Add a rule sample text to the DAG rooted at *root; marks the end node
// terminal with tags (taken over, may be null), file and line.
int ln_sampAddToDAG(ln_ctx ctx, struct ln_pdag *root, const char *text, size_t len,
                    struct fjson_object *tags);
void ln_sampFree(ln_ctx ctx, struct ln_samp *samp);
