// Placeholders for the context, DAG, annotation and rewrite modules until
// they are built; each is removed as its real definition lands.
#include "normalizer/annot.h"
#include "normalizer/context.h"
#include "normalizer/pdag.h"
#include "normalizer/rewrite.h"

ln_ctx ln_initCtx(void) { return nullptr; }
int ln_exitCtx(ln_ctx) { return -1; }
int ln_setCtxOpts(ln_ctx, uint32_t) { return -1; }
uint32_t ln_getCtxOpts(ln_ctx) { return 0; }
int ln_setDebugCB(ln_ctx, ln_msg_cb, void *) { return -1; }
int ln_setErrMsgCB(ln_ctx, ln_msg_cb, void *) { return -1; }
void ln_enableDebug(ln_ctx, int) {}
int ln_loadSamples(ln_ctx, const char *) { return -1; }
int ln_loadSamplesFromString(ln_ctx, const char *) { return -1; }
int ln_addUnparsedDataBinaryField(ln_ctx, const char *, size_t, struct fjson_object *) { return 0; }
const char *ln_version(void) { return "2.1.1"; }
int ln_hasAdvancedStats(void) { return 0; }
void ln_dbgprintf(ln_ctx, const char *, ...) {}
void ln_errprintf(ln_ctx, int, const char *, ...) {}

prsid_t ln_parserName2ID(const char *) { return PRSID_NONE; }
const char *ln_parserName(prsid_t) { return "INVALID"; }
int ln_pdagFindType(ln_ctx, const char *, int) { return -1; }
struct ln_pdag *ln_newPDAG(ln_ctx) { return nullptr; }
ln_parser_t *ln_newParser(ln_ctx, struct fjson_object *) { return nullptr; }
int ln_pdagAddParser(ln_ctx, struct ln_pdag **, struct fjson_object *) { return LN_RC_BAD_CONFIG; }
void ln_pdagDelete(struct ln_pdag *) {}
int ln_pdagOptimize(ln_ctx) { return 0; }
void ln_displayPDAG(ln_ctx) {}
void ln_displayPDAGComponent(struct ln_pdag *, int) {}
void ln_displayPDAGComponentAlternative(struct ln_pdag *, int) {}
void ln_fullPdagStats(ln_ctx, FILE *, int) {}
void ln_fullPDagStatsDOT(ln_ctx, FILE *) {}
void ln_genDotPDAGGraph(struct ln_pdag *, es_str_t **) {}

ln_annotSet *ln_newAnnotSet(ln_ctx) { return nullptr; }
void ln_deleteAnnotSet(ln_annotSet *) {}
ln_annot *ln_newAnnot(es_str_t *) { return nullptr; }
void ln_deleteAnnot(ln_annot *) {}
int ln_addAnnotOp(ln_annot *, ln_annot_opcode, es_str_t *, es_str_t *) { return -1; }
int ln_addAnnotToSet(ln_annotSet *, ln_annot *) { return -1; }
ln_annot *ln_findAnnot(ln_annotSet *, es_str_t *) { return nullptr; }
int ln_annotate(ln_ctx, struct fjson_object *, struct fjson_object *) { return 0; }

ln_rewriteSet *ln_newRewriteSet(ln_ctx) { return nullptr; }
void ln_deleteRewriteSet(ln_rewriteSet *) {}
int ln_rewrite_add_line(ln_ctx, const char *, size_t, size_t) { return -1; }
int ln_rewrite_bind(ln_ctx) { return 0; }
ln_rw_tab **ln_rewrite_tabs(ln_ctx, uint32_t *count) { if (count) *count = 0; return nullptr; }
const ln_rw_tab *ln_rewrite_tab(ln_ctx, uint32_t) { return nullptr; }
const ln_rw_tab *ln_rewrite_tab_for_parser(ln_ctx, const ln_parser_t *) { return nullptr; }
uint32_t ln_rewrite_id_for_parser(const ln_parser_t *) { return 0; }
const struct ln_rw_ent *ln_rw_lookup(const ln_rw_tab *, const char *, size_t) { return nullptr; }
int ln_rewrite_merge(struct fjson_object *, struct fjson_object *, const ln_rw_tab *, int) { return -1; }
