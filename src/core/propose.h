// Rule proposal from raw sample lines: each line is cut into literal and
// typed field spans, lines with the same span types form a cluster, every
// field is named after ECS from ranked candidates, and each cluster's example
// line becomes a rule through the spec emitter. The result is one JSON
// document (free with vdr_free).
#pragma once

#include <cstddef>

// The number of sample lines a proposal uses at most.
size_t vdr_propose_max_lines(void);

// Whether the line (without its line feed) is one a proposal uses: lines that
// are empty or hold only a carriage return are skipped.
int vdr_propose_line_used(const char *line, size_t len);

// The proposal for the first vdr_propose_max_lines() used lines of samples
// (null counts as empty). aliases_json is an overlay document (null or empty:
// none; one that does not parse is ignored); parser its by_parser key or
// null. Null only when memory runs out.
char *vdr_spec_propose(const char *samples, const char *aliases_json, const char *parser);
