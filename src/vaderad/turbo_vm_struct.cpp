// Structured field opcodes. A structured payload is read by the walker's own
// parser of the edge the instruction was compiled from, so VaderAD accepts
// exactly the bytes the walker accepts and gets the same value; the value is
// then flattened into the flat result: a "." field contributes its members as
// fields, any other name one field. Strings become text fields, everything
// else (objects, arrays, numbers, booleans, null) a raw JSON text, so the
// result reads the same as the walker's object once both are canonicalised.
#include "vaderad/turbo_vm_struct.h"

#include <libfastjson/json.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "normalizer/parser.h"
#include "normalizer/rewrite.h"
#include "normalizer/walker.h"

namespace {

struct JsonPut {
  void operator()(fjson_object *o) const {
    if (o) fjson_object_put(o);
  }
};
using Json = std::unique_ptr<fjson_object, JsonPut>;

int fail_run(ln_vm_t *vm, const char *msg) {
  vm->error = msg;
  return LN_VMS_ERROR;
}

int store_rc(int rc) {
  if (rc < 0) return LN_VMS_ERROR;
  return rc == 1 ? LN_VMS_FAIL : LN_VMS_NEXT;
}

int store_members(ln_vm_t *vm, const char *prefix, size_t plen, fjson_object *obj);

// Levels of JSON nesting a result may reach (the root object included).
constexpr size_t kMaxNesting = 30;

size_t name_components(const char *name, size_t n) {
  size_t c = 1;
  for (size_t i = 0; i < n; ++i) c += name[i] == '.';
  return c;
}

// Nesting depth of a value (0 for a scalar), counted up to kMaxNesting + 1.
size_t json_depth(fjson_object *v, size_t level = 0) {
  if (!v || level > kMaxNesting) return 0;
  size_t deepest = 0;
  if (fjson_object_is_type(v, fjson_type_array)) {
    const int n = fjson_object_array_length(v);
    for (int k = 0; k < n; ++k)
      deepest = std::max(deepest, json_depth(fjson_object_array_get_idx(v, k), level + 1));
    return 1 + deepest;
  }
  if (fjson_object_is_type(v, fjson_type_object)) {
    struct fjson_object_iterator it = fjson_object_iter_begin(v);
    struct fjson_object_iterator end = fjson_object_iter_end(v);
    for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it))
      deepest = std::max(deepest, json_depth(fjson_object_iter_peek_value(&it), level + 1));
    return 1 + deepest;
  }
  return 0;
}

// One field from a JSON value, named name (prefix "." name when a prefix is
// given). Names from the value are copied into the arena, since the value is
// freed afterwards. A non-empty object is flattened into dotted fields, so
// that its members nest beside fields of the same object stored elsewhere
// (an annotation's "event.category" beside a payload's "event.action").
int store_json(ln_vm_t *vm, const char *prefix, size_t plen, const char *name, size_t nlen,
               bool copy_name, fjson_object *v) {
  if (prefix || copy_name) {
    const size_t total = prefix ? plen + 1 + nlen : nlen;
    if (total >= 65536) return fail_run(vm, "field name too long");
    char *c = static_cast<char *>(ln_arena_alloc(vm->arena, total + 1));
    if (!c) return fail_run(vm, "arena exhausted");
    size_t k = 0;
    if (prefix) {
      memcpy(c, prefix, plen);
      c[plen] = '.';
      k = plen + 1;
    }
    memcpy(c + k, name, nlen);
    c[total] = '\0';
    name = c;
    nlen = total;
  }
  ++vm->struct_stores;
  // The writer nests a dotted name one object per component, and a reader of
  // the text (libfastjson's tokener stops at 32 levels) must get it back.
  if (json_depth(v) + name_components(name, nlen) > kMaxNesting)
    return fail_run(vm, "structured value nests too deep");
  if (v && fjson_object_is_type(v, fjson_type_object) && fjson_object_object_length(v) > 0)
    return store_members(vm, name, nlen, v);
  if (v && fjson_object_is_type(v, fjson_type_string)) {
    // The walker's JSON text ends a string at its first zero byte; so does
    // the value here.
    const char *s = fjson_object_get_string(v);
    const size_t n = s ? strlen(s) : 0;
    char *c = ln_arena_strndup(vm->arena, s ? s : "", n);
    if (!c) return fail_run(vm, "arena exhausted");
    return store_rc(ln_vm_store_value(vm, name, nlen, c, n, 0));
  }
  const char *txt = v ? fjson_object_to_json_string_ext(v, FJSON_TO_STRING_PLAIN) : "null";
  if (!txt) return fail_run(vm, "out of memory writing a structured value");
  const size_t n = strlen(txt);
  char *c = ln_arena_strndup(vm->arena, txt, n);
  if (!c) return fail_run(vm, "arena exhausted");
  return store_rc(ln_vm_store_value(vm, name, nlen, c, n, 1));
}

// Every member of an object as a field of its own, under prefix when given.
// An object built with duplicate keys (the members of a "." repeat, added one
// item after the other) reads as its last member of each name, so only that
// one is stored. A top-level key the VM would read as a name operator ("-",
// "..", "") has no field name that means the same member: the run ends.
int store_members(ln_vm_t *vm, const char *prefix, size_t plen, fjson_object *obj) {
  std::vector<std::pair<std::string_view, fjson_object *>> members;
  struct fjson_object_iterator it = fjson_object_iter_begin(obj);
  struct fjson_object_iterator end = fjson_object_iter_end(obj);
  for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it))
    members.emplace_back(fjson_object_iter_peek_name(&it), fjson_object_iter_peek_value(&it));
  std::unordered_set<std::string_view> later;
  std::vector<bool> keep(members.size());
  for (size_t k = members.size(); k-- > 0;) keep[k] = later.insert(members[k].first).second;
  for (size_t k = 0; k < members.size(); ++k) {
    if (!keep[k]) continue;
    const std::string_view key = members[k].first;
    if (!prefix && (key.empty() || key == "-" || key.substr(0, 2) == ".."))
      return fail_run(vm, "structured member name is a name operator");
    const int r = store_json(vm, prefix, plen, key.data(), key.size(), true, members[k].second);
    if (r != LN_VMS_NEXT) return r;
  }
  return LN_VMS_NEXT;
}

// Stores the value of edge prs as the walker's store of a matched edge does.
int store_edge_value(ln_vm_t *vm, const ln_parser_t *prs, fjson_object *value) {
  const char *name = prs->name;
  if (name[0] == '.' && name[1] == '\0') {
    if (prs->prsid == PRS_JSON) {
      if (const ln_rw_tab *tab = ln_rewrite_tab_for_parser(vm->prog->walker_ctx, prs)) {
        if (!fjson_object_is_type(value, fjson_type_object)) return LN_VMS_NEXT;
        Json merged(fjson_object_new_object());
        if (!merged) return fail_run(vm, "out of memory merging a structured value");
        if (ln_rewrite_merge(merged.get(), value, tab, 0) != 0) return LN_VMS_FAIL;
        return store_members(vm, nullptr, 0, merged.get());
      }
    }
    if (fjson_object_is_type(value, fjson_type_object)) return store_members(vm, nullptr, 0, value);
    // The walker keeps a member named "." that no dotted path can express.
    return fail_run(vm, "structured value under the name \".\" is not an object");
  }
  if (fjson_object_is_type(value, fjson_type_object) && fjson_object_object_length(value) == 1) {
    struct fjson_object_iterator it = fjson_object_iter_begin(value);
    if (!strcmp(fjson_object_iter_peek_name(&it), ".."))
      value = fjson_object_iter_peek_value(&it);
  }
  return store_json(vm, nullptr, 0, name, strlen(name), false, value);
}

} // namespace

int ln_vm_struct_run(ln_vm_t *vm, const ln_instr_t *) {
  const ln_program_t *prog = vm->prog;
  ln_parser_t *prs = prog->edges && vm->pc < prog->n_edges ? prog->edges[vm->pc] : nullptr;
  if (!prs || !prog->walker_ctx) return LN_VMS_PROBE;
  if (prs->prsid >= LN_NPARSER_TYPES) return fail_run(vm, "structured edge of no parser type");
  npb_t npb{};
  npb.ctx = prog->walker_ctx;
  npb.str = vm->input;
  npb.strLen = static_cast<size_t>(vm->input_end - vm->input);
  npb.prs = prs;
  size_t offs = static_cast<size_t>(vm->ip - vm->input), parsed = 0;
  fjson_object *raw = nullptr;
  const bool want = vm->result && prs->name;
  int rc;
  try {
    rc = parser_lookup_table[prs->prsid].parser(&npb, &offs, prs->parser_data, prs->name, &parsed,
                                                 want ? &raw : nullptr);
  } catch (...) {
    if (raw) fjson_object_put(raw);
    return fail_run(vm, "structured parser failed");
  }
  Json value(raw);
  if (rc == LN_RC_NO_MATCH) return LN_VMS_FAIL;
  if (rc != 0) return fail_run(vm, "structured parser failed");
  if (offs > npb.strLen || parsed > npb.strLen - offs)
    return fail_run(vm, "structured parser consumed past the message");
  if (want) {
    const int r = store_edge_value(vm, prs, value.get());
    if (r != LN_VMS_NEXT) return r;
  }
  vm->ip = vm->input + offs + parsed;
  return LN_VMS_NEXT;
}

namespace {
// "tags" and "event.tags", or a name under them: the writer's root tags and
// the walker's tag member use these names.
bool tag_name(const ln_fast_field_t &f) {
  const std::string_view n(f.name, f.name_len);
  for (const std::string_view t : {std::string_view("tags"), std::string_view("event.tags")})
    if (n.substr(0, t.size()) == t && (n.size() == t.size() || n[t.size()] == '.')) return true;
  return false;
}
} // namespace

bool ln_vm_struct_names_clash(const ln_fast_result_t *r) {
  for (int i = 0; i < r->n_fields; ++i) {
    const ln_fast_field_t &a = r->fields[i];
    if (tag_name(a)) return true;
    for (int j = 0; j < r->n_fields; ++j) {
      const ln_fast_field_t &b = r->fields[j];
      if (b.name_len <= a.name_len || b.name[a.name_len] != '.') continue;
      if (memcmp(a.name, b.name, a.name_len) == 0) return true;
    }
  }
  return false;
}
