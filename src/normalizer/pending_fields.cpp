// Placeholders for the date, address and structured-payload field parsers
// until they are built; each is removed as its real definition lands.
#include "normalizer/parser.h"

#define PENDING_PARSE(stem)                                                              \
  int ln_v2_parse##stem(npb_t *, size_t *, void *, const char *, size_t *parsed,         \
                        struct fjson_object **) { *parsed = 0; return LN_RC_NO_MATCH; }
#define PENDING_FULL(stem)                                                               \
  int ln_construct##stem(ln_ctx, struct fjson_object *, void **) { return 0; }           \
  void ln_destruct##stem(ln_ctx, void *) {}                                              \
  PENDING_PARSE(stem)

PENDING_FULL(JSON)
PENDING_PARSE(CEESyslog)
PENDING_FULL(NameValue)
PENDING_PARSE(CEF)
PENDING_FULL(CheckpointLEA)
PENDING_PARSE(v2IPTables)
PENDING_PARSE(CiscoInterfaceSpec)
PENDING_FULL(Repeat)
