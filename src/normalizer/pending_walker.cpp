// Placeholders for the walker until it is built; each is removed as its real
// definition lands.
#include "normalizer/parser.h"
#include "normalizer/walker.h"

int ln_normalize(ln_ctx, const char *, size_t, struct fjson_object **) { return -1; }
int ln_normalize_to_str(ln_ctx, const char *, size_t, char **s, size_t *) { if (s) *s = nullptr; return -1; }
int ln_normalizeRec(npb_t *, struct ln_pdag *, size_t, int, struct fjson_object *,
                    struct ln_pdag **, int, struct fjson_object *, const char *) { return LN_RC_NO_MATCH; }
