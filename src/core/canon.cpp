// Canonical form of one normalized result: the leaves flattened to dotted
// paths and sorted, the tag values as a sorted set, and a few observations
// about the layout (flat dotted names, nested objects, which tag member).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/veldra.h"

namespace {

char *dup_text(const char *s, size_t n) {
  char *p = static_cast<char *>(malloc(n + 1));
  if (!p) return nullptr;
  if (n) memcpy(p, s, n);
  p[n] = '\0';
  return p;
}

int add_leaf(vdr_canon *c, const std::string &path, int type, const char *value) {
  if (c->n == c->cap) {
    size_t cap = c->cap ? c->cap * 2 : 16;
    auto *f = static_cast<vdr_field *>(realloc(c->fields, cap * sizeof(vdr_field)));
    if (!f) return -1;
    c->fields = f;
    c->cap = cap;
  }
  char *p = dup_text(path.data(), path.size());
  char *v = p ? vdr_strdup_checked(value ? value : "") : nullptr;
  if (!v) {
    free(p);
    return -1;
  }
  c->fields[c->n++] = vdr_field{p, type, v};
  return 0;
}

// Appends one leaf per scalar, empty object or empty array below `path`.
// `path` is extended in place and restored before returning.
int flatten(vdr_canon *c, fjson_object *v, std::string &path) {
  int type = v ? static_cast<int>(fjson_object_get_type(v)) : fjson_type_null;
  switch (type) {
  case fjson_type_null:
    return add_leaf(c, path, fjson_type_null, "null");
  case fjson_type_object: {
    if (fjson_object_object_length(v) == 0) return add_leaf(c, path, fjson_type_object, "{}");
    const size_t base = path.size();
    fjson_object_iterator it = fjson_object_iter_begin(v);
    fjson_object_iterator end = fjson_object_iter_end(v);
    for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it)) {
      path.push_back('.');
      path.append(fjson_object_iter_peek_name(&it));
      int rc = flatten(c, fjson_object_iter_peek_value(&it), path);
      path.resize(base);
      if (rc != 0) return rc;
    }
    return 0;
  }
  case fjson_type_array: {
    int len = fjson_object_array_length(v);
    if (len <= 0) return add_leaf(c, path, fjson_type_array, "[]");
    const size_t base = path.size();
    for (int i = 0; i < len; ++i) {
      path.push_back('[');
      path.append(std::to_string(i));
      path.push_back(']');
      int rc = flatten(c, fjson_object_array_get_idx(v, i), path);
      path.resize(base);
      if (rc != 0) return rc;
    }
    return 0;
  }
  default:
    return add_leaf(c, path, type, fjson_object_get_string(v));
  }
}

// Adds the string form of every element of a non-empty array to the tag list;
// anything else contributes nothing.
int gather_tags(vdr_canon *c, fjson_object *v, size_t *tag_cap) {
  if (!v || fjson_object_get_type(v) != fjson_type_array) return 0;
  int len = fjson_object_array_length(v);
  for (int i = 0; i < len; ++i) {
    if (c->n_tags == *tag_cap) {
      size_t cap = *tag_cap ? *tag_cap * 2 : 8;
      auto *t = static_cast<char **>(realloc(c->tags, cap * sizeof(char *)));
      if (!t) return -1;
      c->tags = t;
      *tag_cap = cap;
    }
    fjson_object *e = fjson_object_array_get_idx(v, i);
    const char *s = e ? fjson_object_get_string(e) : "";
    char *copy = vdr_strdup_checked(s ? s : "");
    if (!copy) return -1;
    c->tags[c->n_tags++] = copy;
  }
  return 0;
}

void sort_tags(vdr_canon *c) {
  if (c->n_tags == 0) return;
  std::sort(c->tags, c->tags + c->n_tags,
            [](const char *a, const char *b) { return strcmp(a, b) < 0; });
  size_t w = 1;
  for (size_t r = 1; r < c->n_tags; ++r) {
    if (strcmp(c->tags[r], c->tags[w - 1]) == 0) {
      free(c->tags[r]);
    } else {
      c->tags[w++] = c->tags[r];
    }
  }
  c->n_tags = w;
}

int build(fjson_object *root, vdr_canon *out) {
  if (!root || fjson_object_get_type(root) != fjson_type_object) {
    out->unparsed = 1;
    return 0;
  }
  size_t tag_cap = 0;
  std::string path;
  fjson_object_iterator it = fjson_object_iter_begin(root);
  fjson_object_iterator end = fjson_object_iter_end(root);
  for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it)) {
    const char *name = fjson_object_iter_peek_name(&it);
    fjson_object *v = fjson_object_iter_peek_value(&it);
    if (strcmp(name, "unparsed-data") == 0) {
      out->unparsed = 1;
      continue;
    }
    // A result holding both tag members gets the union of their values;
    // tag_key records the member met last.
    if (strcmp(name, "event.tags") == 0) {
      out->tag_key = 0;
      if (gather_tags(out, v, &tag_cap) != 0) return -1;
      continue;
    }
    if (strcmp(name, "tags") == 0) {
      out->tag_key = 1;
      if (gather_tags(out, v, &tag_cap) != 0) return -1;
      continue;
    }
    if (strchr(name, '.')) out->saw_flat_dotted = 1;
    if (v && fjson_object_get_type(v) == fjson_type_object) out->saw_nested_object = 1;
    path.assign(name);
    if (flatten(out, v, path) != 0) return -1;
  }
  sort_tags(out);
  // Two leaves may share a path ("f[0]" beside the first element of "f", or
  // "a.b" beside "a":{"b"}): those are ordered by type and value too, so two
  // results holding the same leaves compare equal whichever order their
  // members came in.
  std::sort(out->fields, out->fields + out->n, [](const vdr_field &a, const vdr_field &b) {
    if (const int c = strcmp(a.path, b.path)) return c < 0;
    if (a.type != b.type) return a.type < b.type;
    return strcmp(a.value, b.value) < 0;
  });
  return 0;
}

} // namespace

int vdr_canon_build(struct fjson_object *root, vdr_canon *out) {
  if (!out) return -1;
  *out = vdr_canon{};
  out->tag_key = -1;
  try {
    return build(root, out);
  } catch (const std::bad_alloc &) {
    return -1;
  }
}

void vdr_canon_free(vdr_canon *c) {
  if (!c) return;
  for (size_t i = 0; i < c->n; ++i) {
    free(c->fields[i].path);
    free(c->fields[i].value);
  }
  free(c->fields);
  for (size_t i = 0; i < c->n_tags; ++i)
    free(c->tags[i]);
  free(c->tags);
  *c = vdr_canon{};
  c->tag_key = -1;
}
