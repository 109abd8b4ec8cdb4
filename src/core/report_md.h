// Markdown pieces of the check report that carry data: code spans (also inside
// table cells) and fenced blocks, written so that any value renders as itself.
#pragma once

#include <cstddef>

#include "core/veldra.h"

// Length of the longest run of backquotes in s (0 for a null s).
size_t vdr_md_backquote_run(const char *s);
// Appends s as a code span whose delimiter is longer than any backquote run
// in s, padded with a space where s starts or ends with a backquote. With
// in_table, "|" is written as "\|" and line feeds and carriage returns as
// "\n" and "\r", so that the value stays inside its table cell.
void vdr_md_code_span(vdr_sb *sb, const char *s, bool in_table);
// Appends a fence line (backquotes and a line feed) longer than any backquote
// run in body and at least three long.
void vdr_md_fence(vdr_sb *sb, const char *body);
