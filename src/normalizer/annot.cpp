// Annotations: per-tag lists of fixed fields, merged per tag while loading
// and applied to a walker result whose rule carries the tag.
#include "normalizer/annot.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

std::string to_std(es_str_t *s) {
  if (s == nullptr) return std::string();
  return std::string(reinterpret_cast<const char *>(es_getBufAddr(s)), es_strlen(s));
}

void delete_op(ln_annot_op *op) {
  if (op->name) es_deleteStr(op->name);
  if (op->value) es_deleteStr(op->value);
  free(op);
}

ln_annot *find_annot(ln_annotSet *as, const char *tag, size_t len) {
  if (as == nullptr) return nullptr;
  for (ln_annot *a = as->aroot; a != nullptr; a = a->next)
    if (a->tag && es_strlen(a->tag) == len &&
        (len == 0 || memcmp(es_getBufAddr(a->tag), tag, len) == 0))
      return a;
  return nullptr;
}

} // namespace

ln_annotSet *ln_newAnnotSet(ln_ctx ctx) {
  auto *as = static_cast<ln_annotSet *>(calloc(1, sizeof(ln_annotSet)));
  if (as) as->ctx = ctx;
  return as;
}

void ln_deleteAnnotSet(ln_annotSet *as) {
  if (as == nullptr) return;
  ln_annot *a = as->aroot;
  while (a != nullptr) {
    ln_annot *next = a->next;
    ln_deleteAnnot(a);
    a = next;
  }
  free(as);
}

ln_annot *ln_newAnnot(es_str_t *tag) {
  auto *a = static_cast<ln_annot *>(calloc(1, sizeof(ln_annot)));
  if (a) a->tag = tag;
  return a;
}

void ln_deleteAnnot(ln_annot *annot) {
  if (annot == nullptr) return;
  ln_annot_op *op = annot->oproot;
  while (op != nullptr) {
    ln_annot_op *next = op->next;
    delete_op(op);
    op = next;
  }
  if (annot->tag) es_deleteStr(annot->tag);
  free(annot);
}

int ln_addAnnotOp(ln_annot *annot, ln_annot_opcode opc, es_str_t *name, es_str_t *value) {
  if (annot == nullptr) return -1;
  auto *op = static_cast<ln_annot_op *>(calloc(1, sizeof(ln_annot_op)));
  if (op == nullptr) return -1;
  op->opc = opc;
  op->name = name;
  op->value = value;
  op->next = annot->oproot;
  annot->oproot = op;
  return 0;
}

int ln_addAnnotToSet(ln_annotSet *as, ln_annot *annot) {
  if (as == nullptr || annot == nullptr) return -1;
  const size_t len = annot->tag ? es_strlen(annot->tag) : 0;
  const char *tag = annot->tag ? reinterpret_cast<const char *>(es_getBufAddr(annot->tag)) : "";
  ln_annot *have = find_annot(as, tag, len);
  if (have == nullptr) {
    annot->next = as->aroot;
    as->aroot = annot;
    return 0;
  }
  // Move the new operations, in their list order, one by one to the front
  // of the existing list.
  ln_annot_op *op = annot->oproot;
  while (op != nullptr) {
    ln_annot_op *next = op->next;
    op->next = have->oproot;
    have->oproot = op;
    op = next;
  }
  annot->oproot = nullptr;
  ln_deleteAnnot(annot);
  return 0;
}

ln_annot *ln_findAnnot(ln_annotSet *as, es_str_t *tag) {
  if (tag == nullptr) return nullptr;
  return find_annot(as, reinterpret_cast<const char *>(es_getBufAddr(tag)), es_strlen(tag));
}

int ln_annotate(ln_ctx ctx, struct fjson_object *json, struct fjson_object *tags) {
  if (ctx == nullptr) return -1;
  ln_annotSet *as = ctx->pas;
  ln_dbgprintf(ctx, "ln_annotate called [aroot=%p]", as ? static_cast<void *>(as->aroot) : nullptr);
  if (as == nullptr || as->aroot == nullptr) return 0;
  if (tags == nullptr || json == nullptr) return 0;
  if (!fjson_object_is_type(tags, fjson_type_array)) return -1;
  try {
    for (int i = fjson_object_array_length(tags) - 1; i >= 0; --i) {
      fjson_object *t = fjson_object_array_get_idx(tags, i);
      if (t == nullptr) return -1;
      const char *cstr = fjson_object_get_string(t);
      if (cstr == nullptr) return -1;
      const size_t tlen = fjson_object_is_type(t, fjson_type_string)
                              ? static_cast<size_t>(fjson_object_get_string_len(t))
                              : strlen(cstr);
      ln_dbgprintf(ctx, "ln_annotate, current tag %d, cstr %s", i, cstr);
      ln_annot *a = find_annot(as, cstr, tlen);
      if (a == nullptr) continue;
      for (ln_annot_op *op = a->oproot; op != nullptr; op = op->next) {
        if (op->opc != ln_annot_ADD) continue;
        const std::string name = to_std(op->name);
        const std::string value = to_std(op->value);
        fjson_object *v = fjson_object_new_string_len(value.data(), static_cast<int>(value.size()));
        if (v == nullptr) return -1;
        fjson_object_object_add(json, name.c_str(), v);
      }
    }
  } catch (const std::bad_alloc &) {
    return -1;
  }
  return 0;
}
