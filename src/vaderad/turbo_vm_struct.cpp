// Structured field opcodes. name-value-list, cef, checkpoint-lea and
// v2-iptables run the walker's own parse core (normalizer/parser_members.h)
// with a sink that stores the members straight into the flat result; json
// and cee-syslog payloads of the common shape (objects of strings, plain
// integers, booleans and null) are read by a native scanner held to what the
// walker's JSON parser accepts. Everything else, and every payload the native
// readers are not sure to read as the walker does, takes the exact path: the
// walker's parser of the edge builds its value, which is then flattened into
// the result. A "." field contributes its members as fields, any other name
// one field; strings become text fields, everything else (objects, arrays,
// numbers, booleans, null) a raw JSON text, so the result reads the same as
// the walker's object once both are canonicalised.
#include "vaderad/turbo_vm_struct.h"

#include <libfastjson/json.h>

#include <algorithm>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "normalizer/parser.h"
#include "normalizer/parser_members.h"
#include "normalizer/rewrite.h"
#include "normalizer/walker.h"
#include "vaderad/turbo_arena.h"
#include "vaderad/turbo_shape.h"
#include "vaderad/turbo_store.h"

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

// A key the VM would read as a name operator ("", "-", or one starting ".."),
// which no field name can stand for at the root.
bool operator_name(std::string_view key) {
  return key.empty() || key == "-" || key.substr(0, 2) == "..";
}

// ".." or a name starting "...": what the VM's stores read as the name of
// the enclosing field context.
bool context_operator(const char *n, size_t len) {
  return (len == 2 && n[0] == '.' && n[1] == '.') || (len >= 3 && memcmp(n, "...", 3) == 0);
}

int store_rc(int rc) {
  if (rc < 0) return LN_VMS_ERROR;
  return rc == 1 ? LN_VMS_FAIL : LN_VMS_NEXT;
}

int store_members(ln_vm_t *vm, const char *prefix, size_t plen, fjson_object *obj);

// Levels of JSON nesting a result may reach (the root object included).
constexpr size_t kMaxNesting = 30;

// The number of dots in w: one bit per dot byte, summed by a multiply.
inline size_t dots_in(uint64_t w) {
  return static_cast<size_t>(((ln_dot_bytes(w) >> 7) * 0x0101010101010101ull) >> 56);
}

size_t name_components(const char *name, size_t n) {
  size_t c = 1, i = 0;
  for (; i + 8 <= n; i += 8) c += dots_in(ln_load8(name + i));
  if (i < n) c += dots_in(ln_head_word(name + i, n - i));
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

// "prefix.key", or key alone without a prefix, in the arena.
const char *arena_name(ln_vm_t *vm, const char *prefix, size_t plen, const char *key, size_t klen,
                       size_t *out) {
  const size_t total = prefix ? plen + 1 + klen : klen;
  if (total >= 65536) return fail_run(vm, "field name too long"), nullptr;
  char *c = static_cast<char *>(ln_arena_alloc(vm->arena, total + 1));
  if (!c) return fail_run(vm, "arena exhausted"), nullptr;
  size_t k = 0;
  if (prefix) {
    memcpy(c, prefix, plen);
    c[plen] = '.';
    k = plen + 1;
  }
  memcpy(c + k, key, klen);
  c[total] = '\0';
  *out = total;
  return c;
}

// One field from a JSON value, named name (prefix "." name when a prefix is
// given). Names from the value are copied into the arena, since the value is
// freed afterwards. A non-empty object is flattened into dotted fields, so
// that its members nest beside fields of the same object stored elsewhere
// (an annotation's "event.category" beside a payload's "event.action").
int store_json(ln_vm_t *vm, const char *prefix, size_t plen, const char *name, size_t nlen,
               bool copy_name, fjson_object *v) {
  if (prefix || copy_name) {
    size_t total = 0;
    const char *c = arena_name(vm, prefix, plen, name, nlen, &total);
    if (!c) return LN_VMS_ERROR;
    name = c;
    nlen = total;
    // A name made of payload keys that the VM's stores would read as the
    // context operator ("..", or one starting "...", as from a "." key at
    // the root holding a key that starts with '.') would lose the member:
    // the run ends instead and the walker serves the line.
    if (context_operator(name, nlen)) return fail_run(vm, "structured member name is a name operator");
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
    if (!prefix && operator_name(key))
      return fail_run(vm, "structured member name is a name operator");
    const int r = store_json(vm, prefix, plen, key.data(), key.size(), true, members[k].second);
    if (r != LN_VMS_NEXT) return r;
  }
  return LN_VMS_NEXT;
}

// Whether two of the fields from `from` on have one name: a flat dotted key
// beside the same path through nested objects ("a.b" beside "a":{"b"}) is two
// members of the walker's object, but VaderAD's writer would nest both into
// one object, and a reader of the text keeps one of them.
bool members_share_a_name(const ln_fast_result_t *r, int from) {
  for (int a = from; a < r->n_fields; ++a)
    for (int b = a + 1; b < r->n_fields; ++b)
      if (r->fields[a].name_len == r->fields[b].name_len &&
          ln_same_bytes(r->fields[a].name, r->fields[b].name, r->fields[a].name_len))
        return true;
  return false;
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

namespace {

// The exact path: the walker's parser of the edge builds the value, which is
// flattened into the result.
int run_exact(ln_vm_t *vm, ln_parser_t *prs) {
  const ln_program_t *prog = vm->prog;
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
    const int before = vm->result->n_fields;
    int r = store_edge_value(vm, prs, value.get());
    if (r == LN_VMS_NEXT && members_share_a_name(vm->result, before))
      r = fail_run(vm, "two members of a structured value flatten to one name");
    if (r != LN_VMS_NEXT) return r;
  }
  vm->ip = vm->input + offs + parsed;
  return LN_VMS_NEXT;
}

} // namespace

namespace {

// A native reader's answer that it cannot be sure of the walker's value: the
// edge takes the exact path instead.
constexpr int kFallBack = 100;

// Bytes up to the first zero byte: the walker's object keys and JSON text
// end there.
inline __attribute__((always_inline)) size_t cut_at_zero(const char *s, size_t n) {
  if (n <= 16) {
    // The usual short name or value: two words (overlapping when shorter),
    // tested for a zero byte at once; memchr finds where.
    const uint64_t a = ln_head_word(s, n < 8 ? n : 8), b = n > 8 ? ln_load8(s + n - 8) : ~0ull;
    constexpr uint64_t ones = 0x0101010101010101ull, high = 0x8080808080808080ull;
    // ln_head_word pads with zero bytes: compare its bytes past n with the pad.
    const uint64_t pad = n < 8 ? ~0ull << (8 * n) : 0;
    const uint64_t za = ((a | pad) - ones) & ~(a | pad) & high, zb = (b - ones) & ~b & high;
    if (!za && !zb) return n;
  }
  const void *z = n ? memchr(s, 0, n) : nullptr;
  return z ? static_cast<size_t>(static_cast<const char *>(z) - s) : n;
}

bool in_input(const ln_vm_t *vm, const char *p, size_t n) {
  return p >= vm->input && p <= vm->input_end && n <= static_cast<size_t>(vm->input_end - p);
}

// ------------------------------------------------- members of a parse core

// One member of a flat payload as the walker's object holds it: its name
// (rewritten, cut at a zero byte), its value (message or arena memory, cut at
// a zero byte; null for a JSON null).
struct Member {
  const char *key;
  uint32_t klen;
  const char *val;
  uint32_t vlen;
  uint64_t head; // ln_head_word of the key: most keys differ there
};

// VaderAD's sink for the parse cores: applies the rewrite table as the
// walker's object does, replaces the value of a member named twice in place
// and keeps the members until the payload has matched. Values that do not
// lie in the message are copied into the arena.
class ArenaSink final : public ln_member_sink {
public:
  // zero_free: the message holds no zero byte from the payload on, so no
  // name or value read from it needs cutting.
  ArenaSink(ln_vm_t *vm, const ln_rw_tab *tab, int rw_group, bool zero_free, std::vector<Member> &top,
            std::vector<Member> &ext)
      : vm_(vm), tab_(tab), rw_group_(rw_group), zero_free_(zero_free), top_(top), ext_(ext) {}

  int member(int group, std::string_view key, const char *val, size_t vlen) override {
    const char *name = key.data();
    size_t nlen = key.size();
    bool lower = false;
    if (tab_ && group == rw_group_) {
      const ln_rw_ent *e = ln_rw_lookup(tab_, key.data(), key.size());
      if (!e) return 0;
      name = e->dst;
      nlen = cut_at_zero(e->dst, e->dlen);
      lower = e->lower && val;
    } else if (!zero_free_) {
      nlen = cut_at_zero(name, nlen);
    }
    if (val) {
      const bool from_input = in_input(vm_, val, vlen);
      if (!zero_free_ || !from_input) vlen = cut_at_zero(val, vlen);
      if (lower || !from_input) {
        char *c = ln_arena_strndup(vm_->arena, val, vlen);
        if (!c) return kFallBack;
        if (lower)
          for (size_t k = 0; k < vlen; ++k)
            if (c[k] >= 'A' && c[k] <= 'Z') c[k] = static_cast<char>(c[k] - 'A' + 'a');
        val = c;
      }
    }
    if (nlen >= 65536 || vlen > UINT32_MAX) return kFallBack;
    std::vector<Member> &list = group == LN_MEMBERS_CEF_EXT ? ext_ : top_;
    const uint64_t head = ln_head_word(name, nlen);
    // A name seen before in this group sets its bit of the group's filter;
    // without the bit the list need not be searched.
    uint64_t &seen = seen_[group == LN_MEMBERS_CEF_EXT ? 1 : 0][(head ^ nlen) * 0x9e3779b97f4a7c15ull >> 62];
    const uint64_t bit = 1ull << (((head ^ nlen) * 0xc2b2ae3d27d4eb4full) >> 58);
    if (seen & bit) {
      for (Member &m : list) {
        if (m.head == head && m.klen == nlen && (nlen <= 8 || memcmp(m.key + 8, name + 8, nlen - 8) == 0)) {
          m.val = val;
          m.vlen = static_cast<uint32_t>(vlen);
          return 0;
        }
      }
    }
    seen |= bit;
    // Past the result's capacity the linear search would only cost; the
    // exact path gives the truncated result.
    if (list.size() >= LN_FAST_MAX_FIELDS) return kFallBack;
    list.push_back({name, static_cast<uint32_t>(nlen), val, static_cast<uint32_t>(vlen), head});
    return 0;
  }

private:
  ln_vm_t *vm_;
  const ln_rw_tab *tab_;
  int rw_group_;
  bool zero_free_;
  std::vector<Member> &top_, &ext_;
  uint64_t seen_[2][4] = {}; // a 256-bit filter of the names of each group
};

// Stores one member under the full name, as store_json does for a string
// (a text field) or a null (raw "null").
int store_member_value(ln_vm_t *vm, const char *name, size_t nlen, const Member &m) {
  ++vm->struct_stores;
  if (m.val) return store_rc(ln_vm_store_value(vm, name, nlen, m.val, m.vlen, 0));
  return store_rc(ln_vm_store_value(vm, name, nlen, "null", 4, 1));
}

int store_member_list(ln_vm_t *vm, const char *prefix, size_t plen, const std::vector<Member> &list,
                      bool check_operators) {
  // The names in one block of the arena, each "prefix.key" and a zero byte,
  // and the stores in one batch; a name too long for a field (or a list
  // longer than a result) takes the one-by-one way, which fails where the
  // walker's flattening would.
  const size_t each = prefix ? plen + 2 : 1;
  size_t total = 0;
  bool fits = true;
  for (const Member &m : list) {
    fits = fits && each - 1 + m.klen < 65536;
    total += each + m.klen;
  }
  char *block = fits && !list.empty() && list.size() <= LN_FAST_MAX_FIELDS
                    ? static_cast<char *>(ln_arena_alloc(vm->arena, total))
                    : nullptr;
  if (block) {
    ln_vm_text_store items[LN_FAST_MAX_FIELDS];
    size_t k = 0;
    for (const Member &m : list) {
      if (check_operators && operator_name(std::string_view(m.key, m.klen)))
        return fail_run(vm, "structured member name is a name operator");
      char *name = block;
      if (prefix) {
        ln_copy_text(block, prefix, plen);
        block[plen] = '.';
        block += plen + 1;
      }
      ln_copy_text(block, m.key, m.klen);
      block[m.klen] = '\0';
      block += m.klen + 1;
      items[k++] = m.val ? ln_vm_text_store{name, static_cast<uint32_t>(block - 1 - name), m.val, m.vlen, 0}
                         : ln_vm_text_store{name, static_cast<uint32_t>(block - 1 - name), "null", 4, 1};
    }
    vm->struct_stores += static_cast<uint32_t>(k);
    return store_rc(ln_vm_store_members(vm, items, k, prefix ? 1 : -1));
  }
  for (const Member &m : list) {
    if (check_operators && operator_name(std::string_view(m.key, m.klen)))
      return fail_run(vm, "structured member name is a name operator");
    size_t n = 0;
    const char *name = arena_name(vm, prefix, plen, m.key, m.klen, &n);
    if (!name) return LN_VMS_ERROR;
    const int r = store_member_value(vm, name, n, m);
    if (r != LN_VMS_NEXT) return r;
  }
  return LN_VMS_NEXT;
}

// The "Extensions" member of a cef value under prefix (null at the root).
int store_extensions(ln_vm_t *vm, const char *prefix, size_t plen, const std::vector<Member> &ext) {
  size_t n = 0;
  const char *name = arena_name(vm, prefix, plen, "Extensions", 10, &n);
  if (!name) return LN_VMS_ERROR;
  ++vm->struct_stores;
  if (ext.empty()) return store_rc(ln_vm_store_value(vm, name, n, "{}", 2, 1));
  return store_member_list(vm, name, n, ext, false);
}

// Whether the flattened value stays within the nesting the JSON writer may
// produce; store_json checks depth + name components at every level, and
// the exact path reproduces its errors where this says no.
bool members_fit(const char *name, size_t nlen, bool root, bool cef, const std::vector<Member> &top,
                 const std::vector<Member> &ext) {
  const size_t base = root ? 0 : name_components(name, nlen);
  if (!root && base + (cef ? 2 : 1) > kMaxNesting) return false;
  // A key of k bytes has at most k + 1 components: short keys need no count.
  const auto fits = [](size_t used, const Member &m) {
    return used + m.klen + 1 <= kMaxNesting || used + name_components(m.key, m.klen) <= kMaxNesting;
  };
  for (const Member &m : top)
    if (!fits(base, m)) return false;
  if (cef) {
    if (base + 2 > kMaxNesting) return false;
    for (const Member &m : ext)
      if (!fits(base + 1, m)) return false;
  }
  return true;
}

// Stores the members of a flat payload as store_edge_value does with the
// object the walker's parser would build.
int store_members_native(ln_vm_t *vm, const ln_parser_t *prs, bool cef, const std::vector<Member> &top,
                         const std::vector<Member> &ext) {
  const char *name = prs->name;
  const size_t nlen = strlen(name);
  const bool root = nlen == 1 && name[0] == '.';
  if (root) {
    if (!members_fit(name, nlen, true, cef, top, ext)) return kFallBack;
    const int r = store_member_list(vm, nullptr, 0, top, true);
    if (r != LN_VMS_NEXT || !cef) return r;
    return store_extensions(vm, nullptr, 0, ext);
  }
  if (!cef && top.size() == 1 && top[0].klen == 2 && memcmp(top[0].key, "..", 2) == 0) {
    // A lone ".." member stands for the value itself.
    if (name_components(name, nlen) > kMaxNesting) return kFallBack;
    return store_member_value(vm, name, nlen, top[0]);
  }
  if (!members_fit(name, nlen, false, cef, top, ext)) return kFallBack;
  ++vm->struct_stores;
  if (!cef && top.empty()) return store_rc(ln_vm_store_value(vm, name, nlen, "{}", 2, 1));
  const int r = store_member_list(vm, name, nlen, top, false);
  if (r != LN_VMS_NEXT || !cef) return r;
  return store_extensions(vm, name, nlen, ext);
}

// A sink's answer that the payload is out of the ordinary for DirectSink:
// the general way reads it again.
constexpr int kGiveUp = 101;

// The usual case of a flat payload, stored as the core hands out its
// members: a result to store into, no field context, no failOnDuplicate,
// no zero byte in the payload. Each member becomes its field at once; its
// name ("prefix.key", or the key alone at the root) is built in the VM's
// name buffer, so the names lie one after the other as the shape caches
// like. A member named twice replaces the earlier value in place, as the
// walker's object does. Anything rarer (a key the VM reads as a name
// operator, a name the nesting limit would refuse, a full name buffer, a
// full result) makes it give up: the fields it wrote are taken back and
// ArenaSink reads the payload again.
class DirectSink final : public ln_member_sink {
public:
  // prefix: the edge's name, null at the root; base: its name components
  // (0 at the root). cef: the payload has an "Extensions" group. ok() says
  // whether the prefixes fit.
  DirectSink(ln_vm_t *vm, const ln_rw_tab *tab, int rw_group, const char *prefix, size_t plen, size_t base,
             bool cef)
      : vm_(vm), r_(vm->result), tab_(tab), rw_group_(rw_group), prefix_(prefix), plen_(plen), base_(base),
        start_(vm->result->n_fields) {
    if (plen + 12 > sizeof pre_[0]) return;
    if (!vm->name_buf) vm->name_buf = new (std::nothrow) char[LN_VM_NAME_BUF];
    if (!vm->name_buf) return;
    buf_ = vm->name_buf + vm->name_buf_used;
    room_ = LN_VM_NAME_BUF - vm->name_buf_used;
    // "prefix." and "prefix.Extensions." (or nothing and "Extensions." at
    // the root): what each group's names start with.
    size_t k = 0;
    if (prefix) {
      memcpy(pre_[0], prefix, plen);
      pre_[0][plen] = '.';
      k = plen + 1;
    }
    pre_len_[0] = k;
    if (cef) {
      memcpy(pre_[1], pre_[0], k);
      memcpy(pre_[1] + k, "Extensions.", 11);
      pre_len_[1] = k + 11;
    }
    gstart_[0] = start_;
    fits_ = true;
  }

  bool ok() const { return fits_; }

  int member(int group, std::string_view key, const char *val, size_t vlen) override {
    if (tab_ && group == rw_group_) return rewritten(group, key, val, vlen);
    if (val && !in_input(vm_, val, vlen)) {
      // The core's own buffer: a short value is copied into its field.
      vlen = cut_at_zero(val, vlen);
      if (vlen > LN_FAST_INLINE_MAX && !(val = copy_value(val, &vlen, false))) return kFallBack;
    }
    return add(group == LN_MEMBERS_CEF_EXT ? 1 : 0, key.data(), key.size(), val, vlen, false);
  }

  // After the core matched: the "Extensions" member of a cef value when it
  // got no member (or the empty object of a named value without members),
  // and the names written are kept in the VM's buffer. LN_VMS_* or kGiveUp.
  int finish(bool cef) {
    if (cef && count_[1] == 0) {
      // "Extensions" under the prefix: "{}".
      const size_t n = pre_len_[1] - 1;
      if (r_->n_fields >= LN_FAST_MAX_FIELDS || n + 1 > room_ - used_) return kGiveUp;
      char *w = buf_ + used_;
      memcpy(w, pre_[1], n);
      w[n] = '\0';
      ln_push_text(r_, w, n, prefix_ != nullptr, "{}", 2, true);
      used_ += n + 1;
    }
    if (!cef && prefix_ && count_[0] == 0) {
      // No member: the value is an empty object.
      if (r_->n_fields >= LN_FAST_MAX_FIELDS) return kGiveUp;
      ln_push_text(r_, prefix_, plen_, ln_has_dot(prefix_, plen_), "{}", 2, true);
      ++vm_->struct_stores;
      return LN_VMS_NEXT;
    }
    vm_->name_buf_used += static_cast<uint32_t>(used_);
    vm_->struct_stores += static_cast<uint32_t>(r_->n_fields - start_) + 1;
    return LN_VMS_NEXT;
  }

  // Takes back every field written.
  void undo() { r_->n_fields = static_cast<uint8_t>(start_); }

private:
  static void set_value(ln_fast_field_t *f, const char *val, size_t vlen) {
    if (val)
      ln_set_text(f, val, vlen, false);
    else
      ln_set_text(f, "null", 4, true);
  }

  // Lower-cases the inline text of f.
  static void lower_inline(ln_fast_field_t *f) {
    for (uint32_t k = 0; k < f->inl_len; ++k)
      if (f->v.inl[k] >= 'A' && f->v.inl[k] <= 'Z') f->v.inl[k] = static_cast<char>(f->v.inl[k] - 'A' + 'a');
  }

  // A value that does not lie in the message (the core's buffer), or one
  // to lower-case, copied into the arena; null when the arena is out.
  __attribute__((noinline)) const char *copy_value(const char *val, size_t *vlen, bool lower) {
    const size_t n = cut_at_zero(val, *vlen);
    char *c = ln_arena_strndup(vm_->arena, val, n);
    if (!c) return nullptr;
    if (lower)
      for (size_t k = 0; k < n; ++k)
        if (c[k] >= 'A' && c[k] <= 'Z') c[k] = static_cast<char>(c[k] - 'A' + 'a');
    *vlen = n;
    return c;
  }

  // A member of the group the rewrite table renames: dropped unless the
  // table names it.
  __attribute__((noinline)) int rewritten(int group, std::string_view key, const char *val, size_t vlen) {
    const ln_rw_ent *e = ln_rw_lookup(tab_, key.data(), key.size());
    if (!e) return 0;
    bool lower = e->lower && val;
    if (val) {
      // A short value is copied into its field, and lower-cased there; a
      // longer one needs a copy of its own when it is to be lower-cased or
      // lies in the core's buffer.
      const bool outside = !in_input(vm_, val, vlen);
      if (outside) vlen = cut_at_zero(val, vlen);
      if ((lower || outside) && vlen > LN_FAST_INLINE_MAX) {
        if (!(val = copy_value(val, &vlen, lower))) return kFallBack;
        lower = false;
      }
    }
    return add(group == LN_MEMBERS_CEF_EXT ? 1 : 0, e->dst, cut_at_zero(e->dst, e->dlen), val, vlen, lower);
  }

  // The field of member name (of group g: 0 the value, 1 its Extensions).
  // lower: lower-case the value, which is short enough to lie in the field.
  __attribute__((always_inline)) int add(int g, const char *name, size_t nlen, const char *val, size_t vlen,
                                         bool lower) {
    const uint64_t head = ln_head_word(name, nlen);
    const uint64_t h = (head ^ nlen) * 0x9e3779b97f4a7c15ull;
    uint64_t &seen = seen_[g][h >> 62];
    const uint64_t bit = 1ull << ((h >> 56) & 63);
    const size_t plen = pre_len_[g];
    if (seen & bit) {
      // A name seen before in this group (or a filter collision): the
      // group's fields lie together, each under the group's prefix.
      for (int i = gstart_[g], end = gstart_[g] + count_[g]; i < end; ++i) {
        ln_fast_field_t &f = r_->fields[i];
        if (f.name_len == plen + nlen && ln_same_bytes(f.name + plen, name, nlen)) {
          set_value(&f, val, vlen);
          if (lower) lower_inline(&f);
          return 0;
        }
      }
    }
    seen |= bit;
    // The general way's limits: the result's capacity, the nesting of the
    // name, a key that is a name operator at the root or ".." below it; and
    // a group's fields must lie together (cef's header comes first).
    if (__builtin_expect(r_->n_fields >= LN_FAST_MAX_FIELDS || nlen - 1 >= LN_VM_NAME_BUF ||
                             vlen > UINT32_MAX || static_cast<uint16_t>(head) == 0x2e2e ||
                             (!prefix_ && nlen == 1 && head == '-') || (g == 0 && count_[1]),
                         0))
      return kGiveUp;
    const size_t used = base_ + static_cast<size_t>(g);
    if (__builtin_expect(used + nlen + 1 > kMaxNesting, 0) && used + name_components(name, nlen) > kMaxNesting)
      return kGiveUp;
    if (plen + nlen + 1 > room_ - used_) return kGiveUp;
    if (count_[g]++ == 0) gstart_[g] = r_->n_fields;
    char *w = buf_ + used_;
    ln_copy_text(w, pre_[g], plen);
    ln_copy_text(w + plen, name, nlen);
    w[plen + nlen] = '\0';
    used_ += plen + nlen + 1;
    const bool dotted = plen || ln_has_dot(name, nlen);
    if (!val) {
      ln_push_text(r_, w, plen + nlen, dotted, "null", 4, true);
      return 0;
    }
    ln_fast_field_t *f = ln_push_text(r_, w, plen + nlen, dotted, val, vlen, false);
    if (lower) lower_inline(f);
    return 0;
  }

  ln_vm_t *vm_;
  ln_fast_result_t *r_;
  const ln_rw_tab *tab_;
  int rw_group_;
  const char *prefix_;
  size_t plen_;
  size_t base_;
  int start_;
  bool fits_ = false;
  size_t used_ = 0;
  size_t pre_len_[2] = {};
  int gstart_[2] = {};
  int count_[2] = {};
  uint64_t seen_[2][4] = {}; // a 256-bit filter of the names of each group
  char pre_[2][256];
  char *buf_ = nullptr; // where this payload's names start in the VM's buffer
  size_t room_ = 0;      // and the bytes left there
};

// Runs the parse core of the edge's family with sink s.
int run_core(const ln_parser_t *prs, npb_t *npb, size_t *offs, size_t *parsed, ln_member_sink *s) {
  switch (prs->prsid) {
  case PRS_NAME_VALUE_LIST: {
    static const data_NameValue defaults{0, 0, 0};
    const auto *cfg = static_cast<const data_NameValue *>(prs->parser_data);
    return ln_members_NameValue(npb, offs, cfg ? *cfg : defaults, parsed, s);
  }
  case PRS_CEF: return ln_members_CEF(npb, offs, parsed, s);
  case PRS_CHECKPOINT_LEA: {
    const auto *cfg = static_cast<const data_CheckpointLEA *>(prs->parser_data);
    return ln_members_CheckpointLEA(npb, offs, cfg ? cfg->terminator : 0, parsed, s);
  }
  default: return ln_members_v2IPTables(npb, offs, parsed, s);
  }
}

// The parse core with DirectSink: LN_VMS_*, kFallBack, or kGiveUp when the
// payload needs the general way (nothing of it is left in the result then).
int run_members_direct(ln_vm_t *vm, ln_parser_t *prs, npb_t *npb, size_t *offs, size_t *parsed,
                       const ln_rw_tab *tab, bool cef) {
  const char *name = prs->name;
  const size_t nlen = strlen(name);
  const bool root = nlen == 1 && name[0] == '.';
  // A name the VM reads as an operator ("-", or one starting "..") takes
  // the general way, as does one the nesting limit refuses outright.
  if (!root && operator_name(std::string_view(name, nlen))) return kGiveUp;
  const size_t base = root ? 0 : name_components(name, nlen);
  if (!root && base + (cef ? 2 : 1) > kMaxNesting) return kGiveUp;
  DirectSink sink(vm, tab, cef ? LN_MEMBERS_CEF_EXT : LN_MEMBERS_TOP, root ? nullptr : name, root ? 0 : nlen,
                  base, cef);
  if (!sink.ok()) return kGiveUp;
  const size_t at = *offs;
  const int rc = run_core(prs, npb, offs, parsed, &sink);
  const int r = rc == 0 ? sink.finish(cef) : rc;
  if (rc == 0 && r == LN_VMS_NEXT) return r;
  sink.undo();
  *offs = at;
  *parsed = 0;
  if (rc == 0 || r == kFallBack || r == kGiveUp) return r; // finish's answer, or the sink's
  if (rc == LN_RC_NO_MATCH) return LN_VMS_FAIL;
  return fail_run(vm, "structured parser failed");
}

// Runs the parse core of a flat payload family: LN_VMS_* or kFallBack.
int run_members(ln_vm_t *vm, ln_parser_t *prs, npb_t *npb, size_t *offs, size_t *parsed) {
  const bool want = vm->result && prs->name;
  const bool cef = prs->prsid == PRS_CEF;
  const ln_rw_tab *tab = nullptr;
  if (want && (prs->prsid == PRS_NAME_VALUE_LIST || cef))
    tab = ln_rewrite_tab_for_parser(vm->prog->walker_ctx, prs);
  const size_t rest = npb->strLen - *offs;
  const bool zero_free = !want || !memchr(npb->str + *offs, 0, rest);
  if (want && zero_free && !vm->field_ctx_sp && !vm->fail_on_dup) {
    const int r = run_members_direct(vm, prs, npb, offs, parsed, tab, cef);
    if (r != kGiveUp) return r;
  }
  thread_local std::vector<Member> top, ext;
  top.clear();
  ext.clear();
  ArenaSink sink(vm, tab, cef ? LN_MEMBERS_CEF_EXT : LN_MEMBERS_TOP, zero_free, top, ext);
  const int rc = run_core(prs, npb, offs, parsed, want ? &sink : nullptr);
  if (rc == kFallBack) return kFallBack;
  if (rc == LN_RC_NO_MATCH) return LN_VMS_FAIL;
  if (rc != 0) return fail_run(vm, "structured parser failed");
  if (!want) return LN_VMS_NEXT;
  return store_members_native(vm, prs, cef, top, ext);
}

// ------------------------------------------------------------ JSON objects

// One value of a JSON payload to be stored: the full field name (arena), the
// value (message or arena memory) and whether it is raw JSON text.
struct Leaf {
  const char *name;
  uint32_t nlen;
  const char *val;
  uint32_t vlen;
  bool raw;
};

bool json_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads a JSON object the way the walker's JSON parser (libfastjson's
// tokener) reads it, for the shapes this scanner knows: objects whose members
// are strings (escapes other than \u), plain integers that fit int64 and
// that the library writes back unchanged, true, false, null and objects, with
// blanks, tabs and line ends as whitespace. Whatever else the payload holds
// (arrays, fractions, exponents, leading zeros, "-0", \u escapes, comments,
// single quotes, a trailing comma, literals in other letter cases, zero
// bytes, other whitespace, a duplicate key, deep nesting, too many values)
// makes it give up, and the edge takes the exact path.
//
// Every value that is not a non-empty object becomes a leaf named by its path
// of keys joined with "." after the prefix (a rewrite table instead maps the
// path to the name, dropping paths it does not know).
class JsonScan {
public:
  // direct: each leaf becomes its field of vm->result at once (no field
  // context, no failOnDuplicate, a plain prefix); else the leaves are
  // collected for the general stores. base: the name components of the
  // prefix in path (0 when empty).
  JsonScan(ln_vm_t *vm, const char *s, size_t len, std::vector<Leaf> &leaves, const char *prefix, size_t plen,
           std::vector<std::string_view> &keys, const ln_rw_tab *tab, bool root, bool collect, bool direct,
           size_t base)
      : vm_(vm), s_(s), len_(len), leaves_(leaves), keys_(keys), tab_(tab), root_(root), collect_(collect),
        direct_(direct), comps_(base), start_(direct ? vm->result->n_fields : 0),
        names_at_(vm->name_buf_used) {
    append(prefix, plen);
    if (direct_ && !vm->name_buf) vm->name_buf = new (std::nothrow) char[LN_VM_NAME_BUF];
  }

  // Takes back the fields and names a direct scan wrote.
  void undo() {
    if (!direct_) return;
    vm_->result->n_fields = static_cast<uint8_t>(start_);
    vm_->name_buf_used = names_at_;
  }

  // The leaves stored or collected.
  size_t leaves() const { return nleaves_; }

  // Reads the object at i (a '{'); true with *end after its '}'.
  bool object_at(size_t i, size_t *end) {
    i_ = i;
    if (!object(0)) return false;
    *end = i_;
    return !dotted_ || distinct_names();
  }

private:
  static constexpr int kMaxDepth = 16;

  void ws() {
    while (i_ < len_ && json_ws(s_[i_])) ++i_;
  }

  // A string at i_ (a '"'): its bytes, decoded into the arena when it holds
  // escapes.
  bool string(const char **out, size_t *n) {
    const size_t start = ++i_;
    size_t k = start;
#ifdef __SSE2__
    // Sixteen bytes at a time while that many remain, for the first '"', '\\'
    // or zero byte.
    const __m128i quote = _mm_set1_epi8('"'), bs = _mm_set1_epi8('\\'), zero = _mm_setzero_si128();
    const auto stops = [&](size_t at) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s_ + at));
      const __m128i stop =
          _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_or_si128(_mm_cmpeq_epi8(v, bs), _mm_cmpeq_epi8(v, zero)));
      return static_cast<unsigned>(_mm_movemask_epi8(stop));
    };
    for (; k + 16 <= len_; k += 16) {
      if (const unsigned m = stops(k)) {
        k += static_cast<size_t>(__builtin_ctz(m));
        break;
      }
    }
    if (k < len_ && k + 16 > len_ && len_ >= 16) {
      // Fewer than sixteen bytes left: the block that ends at the last byte,
      // without the bytes before k.
      const size_t at = len_ - 16;
      const unsigned m = stops(at) >> (k - at);
      k = m ? k + static_cast<size_t>(__builtin_ctz(m)) : len_;
    }
#endif
    while (k < len_ && s_[k] != '"' && s_[k] != '\\' && s_[k] != '\0') ++k;
    if (k >= len_ || s_[k] == '\0') return false;
    if (s_[k] == '"') {
      *out = s_ + start;
      *n = k - start;
      i_ = k + 1;
      return true;
    }
    // Escapes: decode into the arena (never longer than the text).
    size_t close = k;
    while (close < len_ && s_[close] != '"') {
      if (s_[close] == '\0') return false;
      close += s_[close] == '\\' ? 2 : 1;
    }
    if (close >= len_) return false;
    char *d = static_cast<char *>(ln_arena_alloc(vm_->arena, close - start + 1));
    if (!d) return false;
    size_t o = k - start;
    memcpy(d, s_ + start, o);
    for (size_t p = k; p < close; ++p) {
      if (s_[p] != '\\') {
        d[o++] = s_[p];
        continue;
      }
      switch (s_[++p]) {
      case '"': d[o++] = '"'; break;
      case '\\': d[o++] = '\\'; break;
      case '/': d[o++] = '/'; break;
      case 'b': d[o++] = '\b'; break;
      case 'f': d[o++] = '\f'; break;
      case 'n': d[o++] = '\n'; break;
      case 'r': d[o++] = '\r'; break;
      case 't': d[o++] = '\t'; break;
      default: return false;
      }
    }
    *out = d;
    *n = o;
    i_ = close + 1;
    return true;
  }

  // A byte that may follow a scalar inside an object.
  bool scalar_end(size_t k) const { return k < len_ && (json_ws(s_[k]) || s_[k] == ',' || s_[k] == '}'); }

  bool literal(const char *word, size_t n) {
    if (len_ - i_ < n || memcmp(s_ + i_, word, n) != 0 || !scalar_end(i_ + n)) return false;
    i_ += n;
    return true;
  }

  // -?(0|[1-9][0-9]{0,17}): in range of int64 and written back as read.
  bool integer() {
    size_t k = i_;
    if (s_[k] == '-') ++k;
    const size_t d = k;
    while (k < len_ && s_[k] >= '0' && s_[k] <= '9') ++k;
    const size_t nd = k - d;
    if (nd == 0 || nd > 18 || (nd > 1 && s_[d] == '0') || (s_[d] == '0' && d > i_)) return false;
    if (!scalar_end(k)) return false;
    i_ = k;
    return true;
  }

  // Appends s[0, n) to the path; false when the path would be longer than
  // its buffer (the exact path reads such a payload).
  bool append(const char *s, size_t n) {
    if (n > sizeof path_ - path_len_) return false;
    ln_copy_text(path_ + path_len_, s, n);
    path_len_ += n;
    return true;
  }

  // A leaf's name, zero-terminated, in the VM's name buffer when the leaves
  // go straight into the result (else in the arena, unaligned): the names of
  // one payload then lie one after the other, which the shape caches compare
  // as one span.
  char *name_copy(const char *s, size_t n) {
    char *c;
    if (direct_ && vm_->name_buf && n < LN_VM_NAME_BUF - vm_->name_buf_used) {
      c = vm_->name_buf + vm_->name_buf_used;
      vm_->name_buf_used += static_cast<uint32_t>(n + 1);
    } else {
      c = static_cast<char *>(ln_arena_alloc_aligned(vm_->arena, n + 1, 1));
      if (!c) return nullptr;
    }
    ln_copy_text(c, s, n);
    c[n] = '\0';
    return c;
  }

  bool leaf(const char *val, size_t vlen, bool raw, size_t depth) {
    if (!collect_) return true;
    if (nleaves_ >= LN_FAST_MAX_FIELDS) return false;
    const char *name;
    size_t nlen;
    if (tab_) {
      if (path_len_ > 511) return false; // the rewrite merge fails such a path
      const ln_rw_ent *e = ln_rw_lookup(tab_, path_, path_len_);
      if (!e) return true;
      nlen = cut_at_zero(e->dst, e->dlen);
      if (operator_name(std::string_view(e->dst, nlen))) return false;
      char *c = name_copy(e->dst, nlen);
      if (!c) return false;
      name = c;
      if (e->lower && !raw) {
        char *v = ln_arena_strndup(vm_->arena, val, vlen);
        if (!v) return false;
        for (size_t k = 0; k < vlen; ++k)
          if (v[k] >= 'A' && v[k] <= 'Z') v[k] = static_cast<char>(v[k] - 'A' + 'a');
        val = v;
      }
      dotted_ = true; // two paths may map to one name
      if (nlen >= 65536 || name_components(name, nlen) + depth > kMaxNesting) return false;
    } else {
      nlen = path_len_;
      if (nlen >= 65536 || comps_ + depth > kMaxNesting) return false;
      char *c = name_copy(path_, nlen);
      if (!c) return false;
      name = c;
    }
    ++nleaves_;
    if (!direct_) {
      // The general stores read such a name as an operator: the exact path
      // says what happens to it.
      if (context_operator(name, nlen)) return false;
      leaves_.push_back({name, static_cast<uint32_t>(nlen), val, static_cast<uint32_t>(vlen), raw});
      return true;
    }
    // A full result: the exact path says how the walker's value is cut.
    ln_fast_result_t *r = vm_->result;
    if (r->n_fields >= LN_FAST_MAX_FIELDS) return false;
    ln_push_text(r, name, nlen, ln_has_dot(name, nlen), val, vlen, raw);
    return true;
  }

  bool object(int depth) {
    if (depth >= kMaxDepth) return false;
    ++i_; // '{'
    ws();
    if (i_ >= len_) return false;
    if (s_[i_] == '}') {
      ++i_;
      // An empty object is a value of its own: raw "{}" (at the root only
      // for a named field).
      if (depth == 0 && (root_ || tab_)) return true;
      return leaf("{}", 2, true, 1);
    }
    const size_t first_key = keys_.size();
    const size_t saved = path_len_;
    for (;;) {
      if (i_ >= len_ || s_[i_] != '"') return false;
      const size_t key_at = i_;
      const char *key;
      size_t klen;
      if (!string(&key, &klen) || key != s_ + key_at + 1) return false; // escaped keys: exact path
      const std::string_view k(key, klen);
      for (size_t j = first_key; j < keys_.size(); ++j)
        if (keys_[j] == k) return false;
      keys_.push_back(k);
      const size_t comps = comps_;
      comps_ += 1;
      if (memchr(key, '.', klen)) {
        dotted_ = true;
        comps_ += name_components(key, klen) - 1;
      }
      if (depth == 0 && root_ && !tab_ && operator_name(k)) return false;
      // The rewrite merge joins a path to an empty prefix without a dot.
      if ((tab_ ? path_len_ != 0 : depth > 0 || !root_) && !append(".", 1)) return false;
      if (!append(key, klen)) return false;
      ws();
      if (i_ >= len_ || s_[i_] != ':') return false;
      ++i_;
      ws();
      if (i_ >= len_) return false;
      const char c = s_[i_];
      bool ok;
      if (c == '"') {
        const char *v;
        size_t vlen;
        ok = string(&v, &vlen) && leaf(v, vlen, false, 0);
      } else if (c == '{') {
        ok = object(depth + 1);
      } else if (c == 't') {
        ok = literal("true", 4) && leaf(s_ + i_ - 4, 4, true, 0);
      } else if (c == 'f') {
        ok = literal("false", 5) && leaf(s_ + i_ - 5, 5, true, 0);
      } else if (c == 'n') {
        ok = literal("null", 4) && leaf(s_ + i_ - 4, 4, true, 0);
      } else if (c == '-' || (c >= '0' && c <= '9')) {
        const size_t at = i_;
        ok = integer() && leaf(s_ + at, i_ - at, true, 0);
      } else {
        ok = false;
      }
      if (!ok) return false;
      path_len_ = saved;
      comps_ = comps;
      ws();
      if (i_ >= len_) return false;
      if (s_[i_] == '}') {
        ++i_;
        break;
      }
      if (s_[i_] != ',') return false;
      ++i_;
      ws();
    }
    // A lone ".." member of a named field's value stands for the value.
    if (depth == 0 && !root_ && !tab_ && keys_.size() - first_key == 1 && keys_[first_key] == "..")
      return false;
    keys_.resize(first_key);
    return true;
  }

  // With dotted keys or a rewrite table two leaves may share a name ("a.b"
  // beside "a":{"b"}); the exact path knows which one the walker keeps.
  bool distinct_names() const {
    if (direct_) return !members_share_a_name(vm_->result, start_);
    for (size_t a = 0; a < leaves_.size(); ++a)
      for (size_t b = a + 1; b < leaves_.size(); ++b)
        if (leaves_[a].nlen == leaves_[b].nlen && memcmp(leaves_[a].name, leaves_[b].name, leaves_[a].nlen) == 0)
          return false;
    return true;
  }

  ln_vm_t *vm_;
  const char *s_;
  size_t len_, i_ = 0;
  std::vector<Leaf> &leaves_;
  char path_[4096];     // the dotted path of the value being read
  size_t path_len_ = 0;
  std::vector<std::string_view> &keys_;
  const ln_rw_tab *tab_;
  bool root_;
  bool collect_; // false: only match, store nothing
  bool direct_;
  bool dotted_ = false;
  size_t comps_;        // name components of path_
  int start_;           // the result's fields before a direct scan
  uint32_t names_at_;   // and the VM's name buffer
  size_t nleaves_ = 0;
};

// Reads a json or cee-syslog payload natively: LN_VMS_* or kFallBack.
int run_json(ln_vm_t *vm, ln_parser_t *prs, size_t offs, size_t *parsed) {
  const char *s = vm->input;
  const size_t len = static_cast<size_t>(vm->input_end - vm->input);
  const bool cee = prs->prsid == PRS_CEE_SYSLOG;
  size_t start = offs;
  if (cee) {
    npb_t npb{};
    npb.str = s;
    npb.strLen = len;
    if (ln_cee_object_start(&npb, offs, &start) != 0) return LN_VMS_FAIL;
  } else {
    if (offs >= len || (s[offs] != '{' && s[offs] != '[')) return LN_VMS_FAIL;
    if (s[offs] != '{') return kFallBack;
    const auto *cfg = static_cast<const data_JSON *>(prs->parser_data);
    if (cfg && cfg->skipempty) return kFallBack;
  }
  const bool want = vm->result && prs->name;
  const bool root = want && prs->name[0] == '.' && prs->name[1] == '\0';
  const ln_rw_tab *tab =
      root && !cee ? ln_rewrite_tab_for_parser(vm->prog->walker_ctx, prs) : nullptr;
  thread_local std::vector<Leaf> leaves;
  thread_local std::vector<std::string_view> keys;
  leaves.clear();
  keys.clear();
  const char *path = want && !root ? prs->name : "";
  const size_t plen = strlen(path);
  if (plen >= 4096) return kFallBack;
  // Leaves go straight into the result unless a store could need more than
  // a plain field: a field context, failOnDuplicate, or a prefix the VM
  // reads as a name operator.
  const bool direct =
      want && !vm->field_ctx_sp && !vm->fail_on_dup && (root || !operator_name(std::string_view(path, plen)));
  JsonScan scan(vm, s, len, leaves, path, plen, keys, tab, root, want, direct,
                plen ? name_components(path, plen) : 0);
  size_t end = 0;
  if (!scan.object_at(start, &end)) {
    scan.undo();
    return kFallBack;
  }
  // What follows the object: the tokener eats whitespace and reads "/" as
  // the start of a comment.
  size_t k = end;
  while (k < len && c_space(s[k])) ++k;
  if ((k < len && s[k] == '/') || (cee && k != len)) {
    scan.undo();
    return k < len && s[k] == '/' ? kFallBack : LN_VMS_FAIL;
  }
  *parsed = (cee ? len : end) - offs;
  if (!want) return LN_VMS_NEXT;
  if (!root) ++vm->struct_stores;
  if (direct) {
    vm->struct_stores += static_cast<uint32_t>(scan.leaves());
    return LN_VMS_NEXT;
  }
  ln_vm_text_store items[LN_FAST_MAX_FIELDS]; // the scan keeps at most that many
  size_t nitems = 0;
  for (const Leaf &l : leaves) {
    if (nitems == LN_FAST_MAX_FIELDS) return kFallBack;
    items[nitems++] = ln_vm_text_store{l.name, l.nlen, l.val, l.vlen, static_cast<uint8_t>(l.raw ? 1 : 0)};
  }
  vm->struct_stores += static_cast<uint32_t>(nitems);
  return store_rc(ln_vm_store_members(vm, items, nitems, -1));
}

} // namespace

int ln_vm_struct_run(ln_vm_t *vm, const ln_instr_t *) {
  const ln_program_t *prog = vm->prog;
  ln_parser_t *prs = prog->edges && vm->pc < prog->n_edges ? prog->edges[vm->pc] : nullptr;
  if (!prs || !prog->walker_ctx) return LN_VMS_PROBE;
  if (prs->prsid >= LN_NPARSER_TYPES) return fail_run(vm, "structured edge of no parser type");
  size_t offs = static_cast<size_t>(vm->ip - vm->input), parsed = 0;
  int r = kFallBack;
  ln_arena_mark_t mark;
  ln_arena_save(vm->arena, &mark);
  try {
    switch (prs->prsid) {
    case PRS_NAME_VALUE_LIST:
    case PRS_CEF:
    case PRS_CHECKPOINT_LEA:
    case PRS_V2_IPTABLES: {
      npb_t npb{};
      npb.ctx = prog->walker_ctx;
      npb.str = vm->input;
      npb.strLen = static_cast<size_t>(vm->input_end - vm->input);
      npb.prs = prs;
      r = run_members(vm, prs, &npb, &offs, &parsed);
      break;
    }
    case PRS_JSON:
    case PRS_CEE_SYSLOG: r = run_json(vm, prs, offs, &parsed); break;
    default: break;
    }
  } catch (const std::bad_alloc &) {
    return fail_run(vm, "out of memory reading a structured value");
  }
  if (r == kFallBack) {
    ln_arena_restore(vm->arena, &mark);
    return run_exact(vm, prs);
  }
  if (r != LN_VMS_NEXT) return r;
  vm->ip = vm->input + offs + parsed;
  return LN_VMS_NEXT;
}

namespace {
// "tags" and "event.tags", or a name under them: the writer's root tags and
// the walker's tag member use these names.
bool tag_name(const char *n, size_t len) {
  if (len >= 4 && memcmp(n, "tags", 4) == 0 && (len == 4 || n[4] == '.')) return true;
  return len >= 10 && memcmp(n, "event.tags", 10) == 0 && (len == 10 || n[10] == '.');
}

} // namespace

bool ln_vm_struct_names_clash(const ln_fast_result_t *r) {
  // Every name goes into a small hash table keyed by its length and first
  // word; then every prefix of a dotted name that ends before a '.' is looked
  // up there. A pair costs nothing unless the two share length and head.
  constexpr unsigned kSlots = 4 * LN_FAST_MAX_FIELDS; // a power of two
  uint64_t head[LN_FAST_MAX_FIELDS];
  uint8_t slot[kSlots] = {}; // field index + 1, 0 = empty
  const auto hash = [](size_t len, uint64_t h) {
    return static_cast<unsigned>(((h ^ len) * 0x9e3779b97f4a7c15ull) >> 40) & (kSlots - 1);
  };
  const int n = r->n_fields < LN_FAST_MAX_FIELDS ? r->n_fields : LN_FAST_MAX_FIELDS;
  for (int i = 0; i < n; ++i) {
    const ln_fast_field_t &f = r->fields[i];
    if (tag_name(f.name, f.name_len)) return true;
    head[i] = ln_head_word(f.name, f.name_len);
    unsigned s = hash(f.name_len, head[i]);
    while (slot[s]) s = (s + 1) & (kSlots - 1);
    slot[s] = static_cast<uint8_t>(i + 1);
  }
  // The members of one payload are stored one after the other under one
  // parent ("iptables.fields."): a name whose parent is the one just looked
  // at has no prefix left to look up.
  const char *parent = nullptr;
  size_t parent_len = 0;
  for (int j = 0; j < n; ++j) {
    const ln_fast_field_t &b = r->fields[j];
    if (!(b.flags & LN_FF_DOTTED)) continue; // set by the VM's store of every field
    if (parent && b.name_len > parent_len && b.name[parent_len] == '.' &&
        memcmp(b.name, parent, parent_len) == 0) {
      size_t k = parent_len + 1;
      while (k < b.name_len && b.name[k] != '.') ++k;
      if (k == b.name_len) continue;
    }
    size_t last_dot = 0;
    // The dots of b, eight bytes at a time (names are short: no calls).
    for (size_t w = 0; w < b.name_len; w += 8) {
      const size_t k = b.name_len - w < 8 ? b.name_len - w : 8;
      for (uint64_t dots = ln_dot_bytes(ln_head_word(b.name + w, k)); dots; dots &= dots - 1) {
        const size_t al = w + static_cast<size_t>(__builtin_ctzll(dots) >> 3);
        last_dot = al;
        const uint64_t mask = al >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * al)) - 1;
        const uint64_t h = head[j] & mask;
        for (unsigned s = hash(al, h); slot[s]; s = (s + 1) & (kSlots - 1)) {
          const ln_fast_field_t &a = r->fields[slot[s] - 1];
          if (a.name_len == al && head[slot[s] - 1] == h &&
              (al <= 8 || memcmp(a.name + 8, b.name + 8, al - 8) == 0))
            return true;
        }
      }
    }
    parent = b.name;
    parent_len = last_dot;
  }
  return false;
}
