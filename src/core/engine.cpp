// The comparison run: one rulebase in two normalizer contexts, every sample
// through both, canonicalized, diffed and classified.
#include <cstring>

#include "core/veldra.h"

// A text declares version 2 when its first line that is neither blank nor a
// comment (after leading spaces and tabs) is "version=2" followed only by
// spaces, tabs or carriage returns.
int vdr_rulebase_is_v2(const char *text) {
  if (!text) return 0;
  const char *p = text;
  while (*p) {
    const char *eol = strchr(p, '\n');
    if (!eol) eol = p + strlen(p);
    const char *s = p;
    while (s < eol && (*s == ' ' || *s == '\t')) ++s;
    if (s == eol || *s == '#') {
      p = *eol ? eol + 1 : eol;
      continue;
    }
    if (eol - s < 9 || memcmp(s, "version=2", 9) != 0) return 0;
    for (s += 9; s < eol; ++s)
      if (*s != ' ' && *s != '\t' && *s != '\r') return 0;
    return 1;
  }
  return 0;
}
