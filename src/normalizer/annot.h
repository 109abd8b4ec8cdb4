// Annotations: fixed fields added to every result whose rule carries a tag.
#pragma once

#include "normalizer/context.h"

typedef enum { ln_annot_ADD = 0, ln_annot_RM = 1 } ln_annot_opcode;

struct ln_annot_op_s {
  struct ln_annot_op_s *next;
  ln_annot_opcode opc;
  es_str_t *name;  // owned
  es_str_t *value; // owned, null for the empty value
};
typedef struct ln_annot_op_s ln_annot_op;

struct ln_annot_s {
  struct ln_annot_s *next;
  es_str_t *tag; // owned
  ln_annot_op *oproot;
};
typedef struct ln_annot_s ln_annot;

struct ln_annotSet_s {
  ln_annot *aroot;
  ln_ctx ctx;
};

ln_annotSet *ln_newAnnotSet(ln_ctx ctx);
void ln_deleteAnnotSet(ln_annotSet *as);
ln_annot *ln_newAnnot(es_str_t *tag);
void ln_deleteAnnot(ln_annot *annot);
int ln_addAnnotOp(ln_annot *annot, ln_annot_opcode opc, es_str_t *name, es_str_t *value);
int ln_addAnnotToSet(ln_annotSet *as, ln_annot *annot);
ln_annot *ln_findAnnot(ln_annotSet *as, es_str_t *tag);
int ln_annotate(ln_ctx ctx, struct fjson_object *json, struct fjson_object *tags);
