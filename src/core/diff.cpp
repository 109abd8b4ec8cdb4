// Field-by-field comparison of two canonical forms, and the fixed names of
// difference kinds and sample statuses.
#include <cstdlib>
#include <cstring>

#include "core/veldra.h"

namespace {

struct diff_list {
  vdr_diff *items = nullptr;
  size_t n = 0;
  size_t cap = 0;
  bool failed = false;
};

// Takes ownership of `legacy` and `turbo` (freed on failure).
void push(diff_list &d, const char *path, vdr_diff_kind kind, char *legacy, char *turbo,
          const char *legacy_type, const char *turbo_type) {
  char *p = d.failed ? nullptr : vdr_strdup_checked(path);
  bool values_ok = (legacy || legacy_type == nullptr || strcmp(legacy_type, "absent") == 0) &&
                   (turbo || turbo_type == nullptr || strcmp(turbo_type, "absent") == 0);
  if (!p || !values_ok) {
    d.failed = true;
    free(p);
    free(legacy);
    free(turbo);
    return;
  }
  if (d.n == d.cap) {
    size_t cap = d.cap ? d.cap * 2 : 8;
    auto *items = static_cast<vdr_diff *>(realloc(d.items, cap * sizeof(vdr_diff)));
    if (!items) {
      d.failed = true;
      free(p);
      free(legacy);
      free(turbo);
      return;
    }
    d.items = items;
    d.cap = cap;
  }
  d.items[d.n++] = vdr_diff{p, kind, legacy, turbo, legacy_type, turbo_type};
}

bool same_tags(const vdr_canon *a, const vdr_canon *b) {
  if (a->n_tags != b->n_tags) return false;
  for (size_t i = 0; i < a->n_tags; ++i)
    if (strcmp(a->tags[i], b->tags[i]) != 0) return false;
  return true;
}

// The tags joined with "," (the empty text for none), or null when out of memory.
char *join_tags(const vdr_canon *c) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  for (size_t i = 0; i < c->n_tags; ++i) {
    if (i) vdr_sb_putc(&sb, ',');
    vdr_sb_puts(&sb, c->tags[i]);
  }
  return vdr_sb_release(&sb);
}

} // namespace

int vdr_diff_compute(const vdr_canon *L, const vdr_canon *T, vdr_diff **diffs, size_t *n,
                     uint32_t *shape) {
  uint32_t sh = 0;
  if (L && T) {
    if (L->saw_flat_dotted && T->saw_nested_object) sh |= VDR_SHAPE_NESTED_DOTTED;
    if (L->tag_key == 0 && T->tag_key == 1) sh |= VDR_SHAPE_TAG_SPELLING;
  }
  if (shape) *shape = sh;
  if (diffs) *diffs = nullptr;
  if (n) *n = 0;
  if (!L || !T || !diffs || !n) return -1;

  diff_list d;
  size_t i = 0, j = 0;
  while ((i < L->n || j < T->n) && !d.failed) {
    int cmp;
    if (i == L->n)
      cmp = 1;
    else if (j == T->n)
      cmp = -1;
    else
      cmp = strcmp(L->fields[i].path, T->fields[j].path);
    if (cmp < 0) {
      const vdr_field &f = L->fields[i++];
      push(d, f.path, VDR_DIFF_MISSING_IN_TURBO, vdr_strdup_checked(f.value), nullptr,
           vdr_type_name(f.type), "absent");
    } else if (cmp > 0) {
      const vdr_field &f = T->fields[j++];
      push(d, f.path, VDR_DIFF_MISSING_IN_LEGACY, nullptr, vdr_strdup_checked(f.value), "absent",
           vdr_type_name(f.type));
    } else {
      const vdr_field &a = L->fields[i++];
      const vdr_field &b = T->fields[j++];
      vdr_diff_kind kind;
      if (a.type != b.type)
        kind = VDR_DIFF_TYPE;
      else if (strcmp(a.value, b.value) != 0)
        kind = VDR_DIFF_VALUE;
      else
        continue;
      push(d, a.path, kind, vdr_strdup_checked(a.value), vdr_strdup_checked(b.value),
           vdr_type_name(a.type), vdr_type_name(b.type));
    }
  }
  if (!d.failed && !same_tags(L, T))
    push(d, "@tags", VDR_DIFF_TAGS, join_tags(L), join_tags(T), "string", "string");

  if (d.failed) {
    vdr_diff_free(d.items, d.n);
    return -1;
  }
  *diffs = d.items;
  *n = d.n;
  return 0;
}

void vdr_diff_free(vdr_diff *diffs, size_t n) {
  if (!diffs) return;
  for (size_t i = 0; i < n; ++i) {
    free(diffs[i].path);
    free(diffs[i].legacy);
    free(diffs[i].turbo);
  }
  free(diffs);
}

const char *vdr_diff_kind_name(int kind) {
  static const char *const names[] = {"missing-in-legacy", "missing-in-turbo", "value-diff",
                                      "type-diff", "tag-diff"};
  return kind >= 0 && kind < 5 ? names[kind] : "unknown";
}

const char *vdr_status_name(int status) {
  static const char *const names[] = {
      "match",      "equivalent",          "unparsed", "coverage-gap", "turbo-only",
      "divergence", "duplicate-field-name"};
  return status >= 0 && status < VDR_STATUS__COUNT ? names[status] : "unknown";
}
