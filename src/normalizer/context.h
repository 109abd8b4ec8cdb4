// Normalizer context: one loaded rulebase with its parse DAG, user-defined
// types, annotations, rewrite tables, option bits, optional VaderAD state and
// the two message sinks (debug and error) through which the normalizer reports.
#pragma once

#include <cstddef>
#include <cstdint>

// libestr has C linkage but its header does not declare it.
extern "C" {
#include <libestr.h>
}
#include <libfastjson/json.h>

// Result codes of the normalizer core.
#define LN_RC_NO_MEMORY (-1)
#define LN_RC_BAD_CONFIG (-250)
#define LN_RC_NO_MATCH (-1000)

// objID of every live context.
#define LN_OBJID_CTX 0xFEFE0001u

// Option bits (ln_setCtxOpts only ever adds bits).
#define LN_CTXOPT_ALLOW_REGEX 0x01u       // version-1 engine only
#define LN_CTXOPT_ADD_ORIGINALMSG 0x04u   // add "originalmsg" to a match
#define LN_CTXOPT_ADD_RULE 0x08u          // add metadata.rule.mockup
#define LN_CTXOPT_ADD_RULE_LOCATION 0x10u // add metadata.rule.location
#define LN_CTXOPT_TURBO 0x20u             // VaderAD on: compile after each load
#define LN_CTXOPT_NO_UNPARSED_BINARY 0x40u
#define LN_CTXOPT_TURBO_STRICT 0x80u      // no walker fallback when VaderAD fails

struct ln_pdag;
struct ln_annotSet_s;
struct ln_rewriteSet_s;
struct ln_turbo_ctx_s;
typedef struct ln_annotSet_s ln_annotSet;
typedef struct ln_rewriteSet_s ln_rewriteSet;
typedef struct ln_turbo_ctx_s ln_turbo_ctx_t;

typedef void (*ln_msg_cb)(void *cookie, const char *msg, size_t len);

// A user-defined type ("@name") with its own DAG.
struct ln_type_pdag {
  char *name;          // owned, including the leading "@"
  struct ln_pdag *pdag; // root of the type's DAG
};

struct ln_ctx_s {
  uint32_t objID;
  ln_msg_cb dbgCB;
  void *dbgCookie;
  ln_msg_cb errmsgCB;
  void *errmsgCookie;
  struct ln_pdag *pdag;     // root of the main DAG
  ln_annotSet *pas;
  ln_rewriteSet *rewrites;
  uint32_t nNodes;          // DAG nodes ever created (never decremented)
  uint8_t debug;            // detailed debug messages wanted
  es_str_t *rulePrefix;     // put in front of every following rule, or null
  uint32_t opts;
  ln_turbo_ctx_t *turbo;    // VaderAD state or null
  struct ln_type_pdag *type_pdags;
  int nTypes;
  int version;              // 0 unknown, 1 or 2
  void *ptree;              // version-1 tree (unused by this tool)
  int include_level;        // load calls in progress
  char *conf_file;          // file being loaded, "--NO-FILE--" for text, or null
  uint32_t conf_ln_nbr;     // line number inside conf_file
};
typedef struct ln_ctx_s *ln_ctx;

ln_ctx ln_initCtx(void);
int ln_exitCtx(ln_ctx ctx);
int ln_setCtxOpts(ln_ctx ctx, uint32_t opts);
uint32_t ln_getCtxOpts(ln_ctx ctx);
int ln_setDebugCB(ln_ctx ctx, ln_msg_cb cb, void *cookie);
int ln_setErrMsgCB(ln_ctx ctx, ln_msg_cb cb, void *cookie);
void ln_enableDebug(ln_ctx ctx, int i);

// Load a rulebase file / rulebase text (always version 2); 0 on success.
int ln_loadSamples(ln_ctx ctx, const char *file);
int ln_loadSamplesFromString(ln_ctx ctx, const char *text);
// Load rulebase text that was read from the file `name` (or a pipe or
// standard input) exactly as ln_loadSamples would load that file, without
// opening it again: the version header is required, messages name `name`,
// and relative includes resolve against the working directory.
int ln_loadSamplesFromText(ln_ctx ctx, const char *text, const char *name);

// Adds "unparsed-data-binary" (hex copy) to json when the rest holds control
// bytes; see context.cpp for the exact rules.
int ln_addUnparsedDataBinaryField(ln_ctx ctx, const char *str, size_t len,
                                  struct fjson_object *json);

const char *ln_version(void); // "2.1.1"
int ln_hasAdvancedStats(void);

void ln_dbgprintf(ln_ctx ctx, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void ln_errprintf(ln_ctx ctx, int eno, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// Number of error messages raised on this thread so far (sent or not): the
// loader compares it before and after a record to know whether a failing
// record already said why.
unsigned long ln_errCount(void);
