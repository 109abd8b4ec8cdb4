// VaderAD state and the compiler from parse DAG to bytecode.
//
// The compiler expands the DAG into a tree of code: at a node with several
// edges each edge but the last is preceded by a FORK to the next edge's code,
// a terminal node with edges tries its edges first and its own match last,
// and every alternative ends in MATCH, FAIL or RET, so no closing jumps are
// needed. The walk is iterative (an explicit task stack), so neither long
// chains nor deep nesting use the machine stack; the nesting depth and the
// program size are capped and a rulebase past either cap is declined.
//
// A program is all or nothing: any edge the VM could not run exactly as the
// walker does declines the whole rulebase, with the reason kept in the state
// and logged on the debug channel.
//
// The VM runs the program (turbo_vm.cpp); the normalize entry points and the
// JSON output are in turbo_json.cpp.
#include "vaderad/turbo.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "normalizer/annot.h"
#include "normalizer/parser.h"
#include "normalizer/pdag.h"
#include "normalizer/rewrite.h"
#include "vaderad/turbo_json.h"
#include "vaderad/turbo_state.h"

ln_turbo_ctx_t *ln_turbo_ctx_init(void) {
  auto *t = static_cast<ln_turbo_ctx_t *>(calloc(1, sizeof(ln_turbo_ctx_t)));
  if (t == nullptr) return nullptr;
  if (ln_arena_init(&t->arena) != 0) {
    free(t);
    return nullptr;
  }
  t->enabled = 1;
  if (ln_turbo_runtime_init(t) != 0) {
    ln_turbo_ctx_free(t);
    return nullptr;
  }
  return t;
}

namespace {

void discard_program(ln_turbo_ctx_t *t) {
  ln_turbo_json_shapes_clear(t);
  free(t->code);
  t->code = nullptr;
  t->code_len = t->code_cap = 0;
  free(t->strpool);
  t->strpool = nullptr;
  t->strpool_len = t->strpool_cap = 0;
  free(t->match_rules);
  t->match_rules = nullptr;
  t->n_match_rules = 0;
  free(t->edges);
  t->edges = nullptr;
  t->n_edges = 0;
}

} // namespace

void ln_turbo_ctx_free(ln_turbo_ctx_t *turbo) {
  if (turbo == nullptr) return;
  discard_program(turbo);
  ln_turbo_runtime_free(turbo);
  ln_arena_destroy(&turbo->arena);
  free(turbo);
}

namespace {

constexpr int kMaxDepth = LN_TURBO_MAX_DEPTH;
constexpr uint32_t kMaxInstructions = LN_TURBO_MAX_INSTRUCTIONS;

// ASCII hexadecimal digits, the permitted set a "string" field needs to run
// as a hex-digit word.
bool is_hex_digit(unsigned c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
bool is_letter(unsigned c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// One step of the iterative compilation.
enum task_kind {
  T_NODE,        // compile a node (and its linear chain)
  T_EDGE,        // compile edge `index` of a branching node, then the rest
  T_TERMINAL,    // patch the node's own FORK (at `at`) and emit its end
  T_PATCH_JUMP,  // point the JUMP/FORK at `at` to the current end of code
  T_EMIT_POP,    // CTX_POP after a user-defined type body
  T_REPEAT_BODY, // the REPEAT at `at`: body starts here
  T_REPEAT_COND, // the REPEAT at `at`: loop condition starts here
  T_DEAD_END,    // a chain ended in a missing node
};

struct task {
  task_kind kind;
  struct ln_pdag *node;
  int depth;  // nesting depth of the node (branch points and bodies)
  int custom; // inside a user-defined type or repeat body: terminals RET
  uint32_t at;
  int index;
};

struct compiler_t {
  ln_turbo_ctx_t *turbo;
  ln_ctx ctx;
  uint32_t n_rules = 0;
  uint32_t n_branches = 0;
  int max_depth = 0;
  std::vector<std::pair<uint32_t, ln_parser_t *>> structured_edges; // (instruction, edge)
  bool failed = false;
  std::vector<task> tasks;
  std::vector<uint32_t> match_rules; // (MATCH index, rule index) pairs

  compiler_t(ln_turbo_ctx_t *t, ln_ctx c) : turbo(t), ctx(c) {}

  // A message on the debug channel.
  void note(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    char buf[LN_TURBO_REASON_MAX];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    ln_dbgprintf(ctx, "%s", buf);
  }
  // Declines the rulebase: logs the reason on the debug channel; the first
  // reason of a compilation is the one kept. Returns false.
  bool fail(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (!failed) {
      va_list ap;
      va_start(ap, fmt);
      vsnprintf(turbo->compile_reason, sizeof turbo->compile_reason, fmt, ap);
      va_end(ap);
      ln_dbgprintf(ctx, "%s", turbo->compile_reason);
    }
    failed = true;
    return false;
  }
  // As fail, for a reason whose message was already logged in its own words.
  bool fail_quietly(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (!failed) {
      va_list ap;
      va_start(ap, fmt);
      vsnprintf(turbo->compile_reason, sizeof turbo->compile_reason, fmt, ap);
      va_end(ap);
    }
    failed = true;
    return false;
  }

  // ------------------------------------------------------------- emitting
  // Appends a zero-filled instruction; its index, or UINT32_MAX on failure.
  uint32_t emit(ln_opcode_t op, uint8_t flags = 0, uint16_t aux = 0) {
    if (failed) return UINT32_MAX;
    if (turbo->code_len >= kMaxInstructions) {
      fail("turbo: the program would exceed %u instructions (the parse DAG expands too much: "
           "shared nodes and user-defined types are compiled again at every use)",
           kMaxInstructions);
      return UINT32_MAX;
    }
    if (turbo->code_len == turbo->code_cap) {
      const uint32_t cap = turbo->code_cap ? turbo->code_cap * 2 : 256;
      void *p = realloc(turbo->code, static_cast<size_t>(cap) * sizeof(ln_instr_t));
      if (p == nullptr) {
        fail("turbo: out of memory growing the program to %u instructions", cap);
        return UINT32_MAX;
      }
      turbo->code = static_cast<ln_instr_t *>(p);
      turbo->code_cap = cap;
    }
    ln_instr_t *in = &turbo->code[turbo->code_len];
    memset(in, 0, sizeof *in);
    in->op = op;
    in->flags = flags;
    in->aux = aux;
    return turbo->code_len++;
  }
  ln_instr_t &at(uint32_t i) { return turbo->code[i]; }
  uint32_t here() const { return turbo->code_len; }

  uint32_t intern(const char *s, size_t n) {
    if (failed) return LN_POOL_FAIL;
    uint32_t off =
        ln_strpool_intern(&turbo->strpool, &turbo->strpool_len, &turbo->strpool_cap, s, n);
    if (off == LN_POOL_FAIL) fail("turbo: out of memory growing the string pool");
    return off;
  }

  // Puts name into the instruction's inline slot of `width` bytes when it
  // fits with its terminator, else into the pool (flag 0x10).
  bool set_name(uint32_t i, char *slot, size_t width, std::string_view name) {
    if (name.size() < width) {
      memcpy(slot, name.data(), name.size());
      return true;
    }
    const uint32_t off = intern(name.data(), name.size());
    if (off == LN_POOL_FAIL) return false;
    at(i).flags |= LN_IF_POOLED_NAME;
    at(i).data.name_pool.off = off;
    return true;
  }

  // A field instruction of the str layout with flag 0x04 and the name.
  bool emit_named(ln_opcode_t op, std::string_view name, uint16_t aux = 0, uint8_t flags = 0) {
    const uint32_t i = emit(op, static_cast<uint8_t>(flags | LN_IF_STORE), aux);
    if (i == UINT32_MAX) return false;
    return set_name(i, at(i).data.str, sizeof at(i).data.str, name);
  }

  void patch_jump(uint32_t i) {
    if (!failed) at(i).data.jump.offset = static_cast<int32_t>(here() - i);
  }

  uint32_t emit_fork() {
    ++n_branches;
    return emit(OP_FORK);
  }

  // ------------------------------------------------------------ terminals
  bool emit_static_field(std::string_view key, std::string_view val) {
    if (key.size() > 65535)
      return fail("turbo: annotation field name of %zu bytes is longer than 65535", key.size());
    if (val.size() > 0xFFFFFFFEu)
      return fail("turbo: annotation value of %zu bytes is too long", val.size());
    const uint32_t i = emit(OP_STATIC_FIELD, LN_IF_REPLACE, static_cast<uint16_t>(key.size()));
    if (i == UINT32_MAX) return false;
    if (key.size() <= LN_INLINE_KV && val.size() <= LN_INLINE_KV) {
      memcpy(at(i).data.kv.key, key.data(), key.size());
      memcpy(at(i).data.kv.val, val.data(), val.size());
      return true;
    }
    const uint32_t k = intern(key.data(), key.size());
    const uint32_t v = intern(val.data(), val.size());
    if (k == LN_POOL_FAIL || v == LN_POOL_FAIL) return false;
    at(i).flags |= LN_IF_POOLED_KV;
    at(i).data.kv_pool.key_off = k;
    at(i).data.kv_pool.val_off = v;
    at(i).data.kv_pool.val_len = static_cast<uint32_t>(val.size());
    return true;
  }

  // The annotation fields of the node's tags, as the walker adds them: tags
  // from last to first, each tag's add operations in list order, each value
  // replacing an earlier one of the same name.
  bool emit_annotations(fjson_object *tags) {
    if (ctx->pas == nullptr || ctx->pas->aroot == nullptr) return true;
    for (int t = fjson_object_array_length(tags) - 1; t >= 0; --t) {
      fjson_object *tag = fjson_object_array_get_idx(tags, t);
      const char *s = tag ? fjson_object_get_string(tag) : nullptr;
      if (s == nullptr) continue;
      es_str_t *key = es_newStrFromCStr(s, static_cast<es_size_t>(fjson_object_get_string_len(tag)));
      if (key == nullptr) return fail("turbo: out of memory reading the annotations");
      ln_annot *a = ln_findAnnot(ctx->pas, key);
      es_deleteStr(key);
      if (a == nullptr) continue;
      for (ln_annot_op *op = a->oproot; op != nullptr; op = op->next) {
        if (op->opc != ln_annot_ADD) continue;
        std::string_view name, value;
        if (op->name)
          name = {reinterpret_cast<const char *>(es_getBufAddr(op->name)), es_strlen(op->name)};
        if (op->value)
          value = {reinterpret_cast<const char *>(es_getBufAddr(op->value)), es_strlen(op->value)};
        if (!emit_static_field(name, value)) return false;
      }
    }
    return true;
  }

  bool emit_terminal(struct ln_pdag *node, int custom) {
    if (custom > 0) return emit(OP_RET) != UINT32_MAX;
    if (emit(OP_ASSERT_END) == UINT32_MAX) return false;
    fjson_object *tags = node->tags;
    if (tags != nullptr && fjson_object_is_type(tags, fjson_type_array)) {
      const int n = fjson_object_array_length(tags);
      for (int t = 0; t < n; ++t) {
        fjson_object *tag = fjson_object_array_get_idx(tags, t);
        const char *s = tag ? fjson_object_get_string(tag) : nullptr;
        if (s == nullptr || *s == '\0') continue;
        const uint32_t i = emit(OP_TAG);
        if (i == UINT32_MAX ||
            !set_name(i, at(i).data.str, sizeof at(i).data.str,
                      {s, static_cast<size_t>(fjson_object_get_string_len(tag))}))
          return false;
      }
      if (!emit_annotations(tags)) return false;
    }
    const uint32_t m = emit(OP_MATCH);
    if (m == UINT32_MAX) return false;
    ++n_rules;
    if (node->rule_idx) {
      match_rules.push_back(m);
      match_rules.push_back(node->rule_idx);
    }
    return set_name(m, at(m).data.str, sizeof at(m).data.str, node->rb_id ? node->rb_id : "");
  }

  // -------------------------------------------------------------- parsers
  // Emits one edge. Edges with a body (user-defined types, repeats) emit
  // their opening code here and push the tasks for the body, which run
  // before anything the caller pushed earlier.
  // Emits one edge; a structured opcode also records its edge, whose parser
  // the VM runs on the payload.
  bool emit_parser(const ln_parser_t &p, int depth, int custom) {
    const uint32_t pc = here();
    if (!emit_parser_code(p, depth, custom)) return false;
    switch (p.prsid) {
    case PRS_JSON: case PRS_CEE_SYSLOG: case PRS_CEF: case PRS_V2_IPTABLES:
    case PRS_NAME_VALUE_LIST: case PRS_CHECKPOINT_LEA: case PRS_CISCO_INTERFACE_SPEC:
    case PRS_REPEAT:
      structured_edges.emplace_back(pc, const_cast<ln_parser_t *>(&p));
      break;
    default: break;
    }
    return true;
  }

  bool emit_parser_code(const ln_parser_t &p, int depth, int custom) {
    const std::string_view name = p.name ? p.name : "-";
    const bool named = p.name != nullptr;
    const void *pd = p.parser_data;
    switch (p.prsid) {
    case PRS_LITERAL: {
      const auto *d = static_cast<const data_Literal *>(pd);
      if (d == nullptr) return fail("turbo: literal without its text");
      if (named) return emit_named_literal(d, name);
      if (d->len == 0) return emit(OP_NOP) != UINT32_MAX;
      if (d->len <= LN_INLINE_STR) {
        const uint32_t i = emit(OP_LITERAL, 0, static_cast<uint16_t>(d->len));
        if (i == UINT32_MAX) return false;
        memcpy(at(i).data.str, d->lit, d->len);
        return true;
      }
      return emit_literal_ext(d, nullptr) != UINT32_MAX;
    }
    case PRS_REPEAT:
      return emit_repeat(p, name, depth, custom);
    case PRS_DATE_RFC3164:
    case PRS_DATE_RFC5424: {
      const bool is5424 = p.prsid == PRS_DATE_RFC5424;
      const int mode = pd ? (is5424 ? static_cast<const data_RFC5424Date *>(pd)->fmt_mode
                                    : static_cast<const data_RFC3164Date *>(pd)->fmt_mode)
                          : FMT_AS_STRING;
      if (mode != FMT_AS_STRING && mode != FMT_AS_TIMESTAMP_UX && mode != FMT_AS_TIMESTAMP_UX_MS)
        return fail("turbo: date field '%.*s' has a format the VM does not serve", (int)name.size(),
                    name.data());
      const uint16_t aux = static_cast<uint16_t>((is5424 ? 0x100 : 0) | (mode & 0xff));
      return emit_named(OP_FIELD_DATE, name, aux, mode != FMT_AS_STRING ? LN_IF_DATE_CONVERT : 0);
    }
    case PRS_DATE_ISO:
      return emit_named(OP_FIELD_DATE, name, 1);
    case PRS_NUMBER: {
      const auto *d = static_cast<const data_Number *>(pd);
      const int64_t max = d && d->maxval > 0 ? d->maxval : 0;
      if (max > 65535)
        return fail("turbo: number field '%.*s' has maxval %lld, above the 65535 the VM serves",
                    (int)name.size(), name.data(), static_cast<long long>(max));
      return emit_named(OP_FIELD_INT, name, static_cast<uint16_t>(max),
                        d && d->fmt_mode == FMT_AS_NUMBER ? LN_IF_AS_NUMBER : 0);
    }
    case PRS_FLOAT: {
      const auto *d = static_cast<const data_Float *>(pd);
      return emit_named(OP_FIELD_FLOAT, name, 0,
                        d && d->fmt_mode == FMT_AS_NUMBER ? LN_IF_AS_NUMBER : 0);
    }
    case PRS_HEXNUMBER: {
      const auto *d = static_cast<const data_HexNumber *>(pd);
      const uint64_t max = d ? d->maxval : 0;
      if (max > 65535)
        return fail("turbo: hexnumber field '%.*s' has maxval %llu, above the 65535 the VM serves",
                    (int)name.size(), name.data(), static_cast<unsigned long long>(max));
      return emit_named(OP_FIELD_HEX, name, static_cast<uint16_t>(max),
                        d && d->fmt_mode == FMT_AS_NUMBER ? LN_IF_AS_NUMBER : 0);
    }
    case PRS_KERNEL_TIMESTAMP:
      return emit_named(OP_FIELD_KERNEL_TS, name);
    case PRS_WHITESPACE: {
      if (!named) return emit(OP_SKIP_SPACE) != UINT32_MAX;
      return emit_named(OP_SKIP_SPACE, name);
    }
    case PRS_IPV4:
      return emit_named(OP_FIELD_IPV4, name);
    case PRS_IPV6:
      return emit_named(OP_FIELD_IPV6, name);
    case PRS_WORD:
      return emit_named(OP_FIELD_WORD, name, 0);
    case PRS_ALPHA:
      return emit_named(OP_FIELD_WORD, name, 2);
    case PRS_STRING:
      return emit_string(static_cast<const data_String *>(pd), name);
    case PRS_REST:
      return emit_named(OP_FIELD_REST, name);
    case PRS_OP_QUOTED_STRING: {
      const auto *d = static_cast<const data_OpQuotedString *>(pd);
      return emit_named(OP_FIELD_QUOTED, name, d && d->escape ? 1 : 0);
    }
    case PRS_QUOTED_STRING:
      return emit_named(OP_FIELD_QUOTED, name, 2);
    case PRS_TIME_24HR:
      return emit_named(OP_FIELD_TIME, name, 0);
    case PRS_TIME_12HR:
      return emit_named(OP_FIELD_TIME, name, 1);
    case PRS_DURATION:
      return emit_named(OP_FIELD_TIME, name, 2);
    case PRS_CISCO_INTERFACE_SPEC:
      return emit_named(OP_CISCO_IFACE, name);
    case PRS_JSON: { // skipempty is the walker parser's own option: the VM runs that parser
      uint16_t tab = 0;
      if (name == "." && !rewrite_table(p, &tab)) return false;
      return emit_named(OP_FIELD_JSON, name, tab);
    }
    case PRS_CEE_SYSLOG:
      return emit_named(OP_CEE_SYSLOG, name);
    case PRS_MAC48:
      return emit_named(OP_FIELD_MAC, name);
    case PRS_CEF: {
      uint16_t tab = 0;
      if (!rewrite_table(p, &tab)) return false;
      return emit_named(OP_CEF_HDR, name, tab);
    }
    case PRS_V2_IPTABLES:
      return emit_named(OP_V2_IPTABLES, name);
    case PRS_NAME_VALUE_LIST: {
      uint16_t tab = 0;
      if (!rewrite_table(p, &tab)) return false;
      const uint32_t i = emit(OP_FIELD_NAME_VALUE, LN_IF_STORE, tab);
      if (i == UINT32_MAX) return false;
      if (const auto *d = static_cast<const data_NameValue *>(pd)) {
        at(i).data.char_to.delim = static_cast<uint8_t>(d->sep);
        at(i).data.char_to.ass = static_cast<uint8_t>(d->ass);
        at(i).data.char_to.ignore_ws = d->ignore_whitespaces ? 1 : 0;
      }
      return set_name(i, at(i).data.char_to.name, sizeof at(i).data.char_to.name, name);
    }
    case PRS_CHECKPOINT_LEA: {
      const uint32_t i = emit(OP_CHECKPOINT_LEA, LN_IF_STORE);
      if (i == UINT32_MAX) return false;
      if (const auto *d = static_cast<const data_CheckpointLEA *>(pd))
        at(i).data.char_to.delim = static_cast<uint8_t>(d->terminator);
      return set_name(i, at(i).data.char_to.name, sizeof at(i).data.char_to.name, name);
    }
    case PRS_STRING_TO:
      return emit_string_to(static_cast<const data_StringTo *>(pd), name);
    case PRS_CHAR_TO: {
      const auto *d = static_cast<const data_CharTo *>(pd);
      if (d == nullptr) return fail("turbo: char-to field '%.*s' without terminators", (int)name.size(), name.data());
      return emit_char_to(d->term_chars, d->n_term_chars, false, name);
    }
    case PRS_CHAR_SEP: {
      const auto *d = static_cast<const data_CharSeparated *>(pd);
      if (d == nullptr) return fail("turbo: char-sep field '%.*s' without terminators", (int)name.size(), name.data());
      return emit_char_to(d->term_chars, d->n_term_chars, true, name);
    }
    case PRSID_USER_DEFINED:
      return emit_user_type(p, name, depth, custom);
    default:
      return fail("turbo: unsupported parser %d", p.prsid);
    }
  }

  uint32_t emit_literal_ext(const data_Literal *d, const std::string_view *field) {
    const uint16_t aux = d->len < 65536 ? static_cast<uint16_t>(d->len) : 0;
    if (d->len > 0xFFFFFFFEu) {
      fail("turbo: literal of %zu bytes is too long", d->len);
      return UINT32_MAX;
    }
    const uint32_t i = emit(OP_LITERAL_EXT, field ? LN_IF_STORE : 0, aux);
    if (i == UINT32_MAX) return i;
    const uint32_t off = intern(d->lit, d->len);
    if (off == LN_POOL_FAIL) return UINT32_MAX;
    at(i).data.lit_pool.off = off;
    at(i).data.lit_pool.len = static_cast<uint32_t>(d->len);
    if (field != nullptr) {
      const uint32_t n = intern(field->data(), field->size());
      if (n == LN_POOL_FAIL) return UINT32_MAX;
      at(i).data.lit_pool.name_off = n;
    }
    return i;
  }

  // A named literal matches its text and stores it like any text field.
  bool emit_named_literal(const data_Literal *d, std::string_view name) {
    return emit_literal_ext(d, &name) != UINT32_MAX;
  }

  // "string" runs on the VM only where a FIELD_WORD does exactly what the
  // walker's string parser does: no quoting (hence no escapes), no "-" as
  // empty, and either every byte permitted (a run up to a space, whatever the
  // matching mode) or, with lazy matching, exactly the hexadecimal digits or
  // exactly the letters.
  bool emit_string(const data_String *d, std::string_view name) {
    if (d == nullptr) return fail("turbo: string field '%.*s' without options", (int)name.size(), name.data());
    bool all = true, hex = true, alpha = true;
    for (unsigned c = 0; c < 256; ++c) {
      const bool p = d->perm_chars[c];
      all = all && p;
      hex = hex && p == is_hex_digit(c);
      alpha = alpha && p == is_letter(c);
    }
    if (d->quoteMode == ST_QUOTE_NONE && !d->dashIsEmpty) {
      if (all) return emit_named(OP_FIELD_WORD, name, 0);
      if (d->matching == ST_MATCH_LAZY && hex) return emit_named(OP_FIELD_WORD, name, 1);
      if (d->matching == ST_MATCH_LAZY && alpha) return emit_named(OP_FIELD_WORD, name, 2);
    }
    return fail("turbo: string field '%.*s' uses options the VM does not serve (only "
                "quoting.mode none without dashIsEmpty, with every character permitted, or "
                "lazy matching of only hex digits or only letters)",
                (int)name.size(), name.data());
  }

  bool emit_string_to(const data_StringTo *d, std::string_view name) {
    if (d == nullptr || d->toFind == nullptr) {
      note("turbo: string-to without a delimiter");
      return fail_quietly("turbo: string-to field '%.*s' without a delimiter", (int)name.size(),
                          name.data());
    }
    // The walker's string-to never matches a delimiter shorter than two
    // bytes: neither does the program.
    if (d->len < 2) return emit(OP_FAIL) != UINT32_MAX;
    if (d->len > 65535)
      return fail("turbo: string-to field '%.*s' has a delimiter of %zu bytes, longer than 65535",
                  (int)name.size(), name.data(), d->len);
    const uint32_t i = emit(OP_FIELD_STR_TO, LN_IF_STORE, static_cast<uint16_t>(d->len));
    if (i == UINT32_MAX) return false;
    const uint32_t off = intern(d->toFind, d->len);
    if (off == LN_POOL_FAIL) return false;
    at(i).data.str_to.delim_off = off;
    return set_name(i, at(i).data.str_to.name, sizeof at(i).data.str_to.name, name);
  }

  // char-to and char-sep: every byte of the list terminates the value.
  bool emit_char_to(const char *terms, size_t n, bool sep, std::string_view name) {
    if (n == 0) {
      // No terminator: char-to never finds one (the walker never matches);
      // char-sep takes the rest of the input.
      if (!sep) return emit(OP_FAIL) != UINT32_MAX;
      return emit_named(OP_FIELD_REST, name);
    }
    if (n > 65535)
      return fail("turbo: %s field '%.*s' has %zu terminators, more than 65535",
                  sep ? "char-sep" : "char-to", (int)name.size(), name.data(), n);
    uint8_t flags = LN_IF_STORE | (sep ? LN_IF_CHARSEP : 0);
    const uint32_t i = emit(OP_FIELD_CHAR_TO, flags, n > 1 ? static_cast<uint16_t>(n) : 0);
    if (i == UINT32_MAX) return false;
    at(i).data.char_to.delim = static_cast<uint8_t>(terms[0]);
    if (n > 1) {
      const uint32_t off = intern(terms, n);
      if (off == LN_POOL_FAIL) return false;
      at(i).flags |= LN_IF_CHARSET;
      at(i).data.char_to.set_off = off;
    }
    return set_name(i, at(i).data.char_to.name, sizeof at(i).data.char_to.name, name);
  }

  bool rewrite_table(const ln_parser_t &p, uint16_t *tab) {
    const uint32_t id = ln_rewrite_id_for_parser(&p);
    if (id > 65535) return fail("turbo: rewrite table number %u is above 65535", id);
    *tab = static_cast<uint16_t>(id);
    return true;
  }

  // A user-defined type: CTX_PUSH name, CALL body, JUMP past it, the body
  // (its terminals RET), CTX_POP. A type the walker cannot run (unknown index
  // or no DAG) never matches, so its edge compiles to FAIL.
  bool emit_user_type(const ln_parser_t &p, std::string_view name, int depth, int custom) {
    if (p.custType < 0 || p.custType >= ctx->nTypes || ctx->type_pdags[p.custType].pdag == nullptr)
      return emit(OP_FAIL) != UINT32_MAX;
    const bool ctx_name = !(name.empty() || name == ".");
    if (ctx_name && !emit_named(OP_CTX_PUSH, name)) return false;
    const uint32_t call = emit(OP_CALL);
    if (call == UINT32_MAX) return false;
    at(call).data.jump.offset = 2;
    const uint32_t jump = emit(OP_JUMP);
    if (jump == UINT32_MAX) return false;
    // Run in this order: body, patch the JUMP, CTX_POP.
    if (ctx_name) push({T_EMIT_POP, nullptr, depth, custom, 0, 0});
    push({T_PATCH_JUMP, nullptr, depth, custom, jump, 0});
    push({T_NODE, ctx->type_pdags[p.custType].pdag, depth + 1, custom + 1, 0, 0});
    return true;
  }

  // REPEAT, JUMP past both bodies, the item body, the loop condition.
  bool emit_repeat(const ln_parser_t &p, std::string_view name, int depth, int custom) {
    const auto *d = static_cast<const data_Repeat *>(p.parser_data);
    if (d == nullptr || d->parser == nullptr || d->while_cond == nullptr)
      return fail("turbo: repeat field '%.*s' without both a parser and a while part",
                  (int)name.size(), name.data());
    uint8_t flags = LN_IF_STORE | (d->permitMismatchInParser ? LN_IF_PERMIT_MISMATCH : 0);
    const uint32_t r = emit(OP_REPEAT, flags, d->failOnDuplicate ? 1 : 0);
    if (r == UINT32_MAX) return false;
    if (!set_name(r, at(r).data.repeat.name, sizeof at(r).data.repeat.name, name)) return false;
    const uint32_t jump = emit(OP_JUMP);
    if (jump == UINT32_MAX) return false;
    push({T_PATCH_JUMP, nullptr, depth, custom, jump, 0});
    push({T_NODE, d->while_cond, depth + 1, custom + 1, 0, 0});
    push({T_REPEAT_COND, nullptr, depth, custom, r, 0});
    push({T_NODE, d->parser, depth + 1, custom + 1, 0, 0});
    push({T_REPEAT_BODY, nullptr, depth, custom, r, 0});
    return true;
  }

  // ---------------------------------------------------------------- nodes
  void push(const task &t) { tasks.push_back(t); }

  // The parser of a one-edge chain link opens a body: the rest of the chain
  // is continued as a task after it.
  static bool has_body(const ln_parser_t &p) {
    return p.prsid == PRS_REPEAT || p.prsid == PRSID_USER_DEFINED;
  }

  bool compile_node(struct ln_pdag *node, int depth, int custom) {
    if (depth >= kMaxDepth)
      return fail("turbo: compile recursion exceeds %d (depth=%d)", kMaxDepth, depth + 1);
    if (depth + 1 > max_depth) max_depth = depth + 1;
    // A linear chain runs without nesting.
    while (!node->flags.isTerminal && node->nparsers == 1) {
      const ln_parser_t &p = node->parsers[0];
      if (has_body(p)) {
        if (p.node != nullptr)
          push({T_NODE, p.node, depth, custom, 0, 0});
        else
          push({T_DEAD_END, nullptr, depth, custom, 0, 0});
        return emit_parser(p, depth, custom);
      }
      if (!emit_parser(p, depth, custom)) return false;
      if (p.node == nullptr) return dead_end(depth);
      node = p.node;
    }
    if (node->nparsers == 0) {
      if (node->flags.isTerminal) return emit_terminal(node, custom);
      note("turbo: non-terminal dead-end node %p (nparsers=0, depth=%d), emitting OP_FAIL",
           static_cast<void *>(node), depth + 1);
      return emit(OP_FAIL) != UINT32_MAX;
    }
    uint32_t own = 0;
    if (node->flags.isTerminal) {
      own = emit_fork();
      if (own == UINT32_MAX) return false;
      push({T_TERMINAL, node, depth, custom, own, 0});
    }
    push({T_EDGE, node, depth, custom, 0, 0});
    return true;
  }

  // A missing next node: after a chain link (edge = false) or after one
  // alternative of a branching node (edge = true).
  bool dead_end(int depth, bool edge = false) {
    if (edge)
      note("turbo: edge without a next node (depth=%d), emitting OP_FAIL", depth);
    else
      note("turbo: non-terminal dead-end after linear chain (depth=%d), emitting OP_FAIL",
           depth + 1);
    return emit(OP_FAIL) != UINT32_MAX;
  }

  // Edge `index` of a branching node: FORK to the next edge (unless it is
  // the last), the parser, the subtree behind it; then the next edge.
  bool compile_edge(struct ln_pdag *node, int index, int depth, int custom) {
    const ln_parser_t &p = node->parsers[index];
    const bool last = index + 1 == node->nparsers;
    uint32_t fork = 0;
    if (!last) {
      fork = emit_fork();
      if (fork == UINT32_MAX) return false;
      push({T_EDGE, node, depth, custom, 0, index + 1});
      push({T_PATCH_JUMP, nullptr, depth, custom, fork, 0});
    }
    // Behind the parser: the next node, or FAIL where there is none, so
    // that execution never runs on into the next alternative's code.
    if (p.node != nullptr)
      push({T_NODE, p.node, depth + 1, custom, 0, 0});
    else
      push({T_DEAD_END, nullptr, depth + 1, custom, 0, 1});
    return emit_parser(p, depth, custom);
  }

  bool run(struct ln_pdag *root) {
    push({T_NODE, root, 0, 0, 0, 0});
    while (!tasks.empty() && !failed) {
      const task t = tasks.back();
      tasks.pop_back();
      bool ok = true;
      switch (t.kind) {
      case T_NODE:
        ok = compile_node(t.node, t.depth, t.custom);
        break;
      case T_EDGE:
        ok = compile_edge(t.node, t.index, t.depth, t.custom);
        break;
      case T_TERMINAL:
        patch_jump(t.at);
        ok = emit_terminal(t.node, t.custom);
        break;
      case T_PATCH_JUMP:
        patch_jump(t.at);
        break;
      case T_EMIT_POP:
        ok = emit(OP_CTX_POP) != UINT32_MAX;
        break;
      case T_REPEAT_BODY:
        at(t.at).data.repeat.parser_off = static_cast<int32_t>(here() - t.at);
        break;
      case T_REPEAT_COND:
        at(t.at).data.repeat.while_off = static_cast<int32_t>(here() - t.at);
        break;
      case T_DEAD_END:
        ok = dead_end(t.depth, t.index == 1);
        break;
      }
      if (!ok) failed = true;
    }
    return !failed;
  }

  // -------------------------------------------------------- validation
  bool validate() {
    ln_program_t prog{};
    prog.code = turbo->code;
    prog.code_len = turbo->code_len;
    prog.strpool = turbo->strpool;
    prog.strpool_len = turbo->strpool_len;
    char why[256];
    const int r = ln_program_validate(&prog, why, sizeof why);
    if (r == 0) return true;
    if (r == -1) {
      if (turbo->strpool != nullptr) note("turbo: %s", why);
      note("turbo: string-pool validation failed, discarding the program");
      return fail_quietly("turbo: %s", why);
    }
    return fail("turbo: %s", why);
  }
};

int compile(ln_ctx ctx) {
  ln_turbo_ctx_t *t = ctx->turbo;
  struct ln_pdag *root = ctx->pdag;
  ln_dbgprintf(ctx, "turbo: compile entry: version=%d pdag=%p nparsers=%d isTerminal=%d nNodes=%d",
               ctx->version, static_cast<void *>(root), root->nparsers, root->flags.isTerminal,
               static_cast<int>(ctx->nNodes));
  discard_program(t);
  t->compile_reason[0] = '\0';
  t->stats.n_instructions = t->stats.n_rules = t->stats.n_branches = t->stats.max_depth = 0;
  compiler_t c(t, ctx);
  bool ok = false;
  try {
    ok = c.run(root);
    if (ok && c.emit(OP_HALT) == UINT32_MAX) {
      c.note("turbo: could not emit the terminating HALT, discarding the program");
      ok = false;
    }
    if (ok) ok = c.validate();
    if (ok && !c.match_rules.empty()) {
      const size_t bytes = c.match_rules.size() * sizeof(uint32_t);
      t->match_rules = static_cast<uint32_t *>(malloc(bytes));
      if (t->match_rules == nullptr) throw std::bad_alloc();
      memcpy(t->match_rules, c.match_rules.data(), bytes);
      t->n_match_rules = static_cast<uint32_t>(c.match_rules.size() / 2);
    }
    if (ok) {
      t->edges = static_cast<ln_parser_t **>(calloc(t->code_len, sizeof(ln_parser_t *)));
      if (t->edges == nullptr) {
        c.note("turbo: out of memory recording the structured edges");
        ok = false;
      } else {
        t->n_edges = t->code_len;
      }
      for (const auto &[pc, edge] : c.structured_edges)
        if (ok && pc < t->code_len) t->edges[pc] = edge;
    }
  } catch (const std::bad_alloc &) {
    c.fail("turbo: out of memory");
    ok = false;
  }
  if (!ok) {
    if (t->compile_reason[0] == '\0')
      snprintf(t->compile_reason, sizeof t->compile_reason, "turbo: compilation failed");
    ln_dbgprintf(ctx, "turbo: compilation failed, discarding partial program");
    discard_program(t);
    return -1;
  }
  t->stats.n_instructions = t->code_len;
  t->stats.n_rules = c.n_rules;
  t->stats.n_branches = c.n_branches;
  t->stats.max_depth = static_cast<uint32_t>(c.max_depth);
  ln_dbgprintf(ctx, "turbo: compiled %u instructions, %u rules, %u branches", t->code_len,
               c.n_rules, c.n_branches);
  return 0;
}

} // namespace

int ln_turbo_compile(ln_ctx ctx) {
  if (!ctx || !ctx->turbo || !ctx->pdag) {
    if (ctx && ctx->turbo) {
      discard_program(ctx->turbo);
      snprintf(ctx->turbo->compile_reason, sizeof ctx->turbo->compile_reason,
               "turbo: no parse DAG to compile");
    }
    return -1;
  }
  // The start sets belong to the program being replaced.
  ln_vm_index_free(&ctx->turbo->index);
  return compile(ctx);
}

int ln_turbo_is_available(ln_ctx ctx) {
  return ctx && ctx->turbo && ctx->turbo->enabled && ctx->turbo->code_len > 0;
}

uint32_t ln_turbo_matched_rule(ln_ctx ctx) {
  if (!ln_turbo_is_available(ctx)) return 0;
  const ln_turbo_ctx_t *t = ctx->turbo;
  // A run that matched stops on its MATCH instruction.
  const uint32_t pc = t->vm.pc;
  if (!(t->result.flags & LN_RF_MATCHED) || pc >= t->code_len || t->code[pc].op != OP_MATCH)
    return 0;
  uint32_t lo = 0, hi = t->n_match_rules;
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (t->match_rules[2 * mid] < pc)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo < t->n_match_rules && t->match_rules[2 * lo] == pc ? t->match_rules[2 * lo + 1] : 0;
}

const char *ln_turbo_compile_reason(ln_ctx ctx) {
  if (!ctx || !ctx->turbo) return "";
  return ctx->turbo->compile_reason;
}

int ln_turbo_get_stats(ln_ctx ctx, ln_turbo_stats_t *stats) {
  if (!ctx || !ctx->turbo || !stats) return -1;
  *stats = ctx->turbo->stats;
  return 0;
}

void ln_turbo_program(ln_ctx ctx, ln_program_t *prog) {
  if (prog == nullptr) return;
  memset(prog, 0, sizeof *prog);
  prog->name = "turbo";
  if (!ctx || !ctx->turbo) return;
  prog->code = ctx->turbo->code;
  prog->code_len = ctx->turbo->code_len;
  prog->strpool = ctx->turbo->strpool;
  prog->strpool_len = ctx->turbo->strpool_len;
  uint32_t n = 0;
  prog->rw_tabs = ln_rewrite_tabs(ctx, &n);
  prog->n_rw_tabs = n;
  prog->walker_ctx = ctx;
  prog->edges = ctx->turbo->edges;
  prog->n_edges = ctx->turbo->edges ? ctx->turbo->n_edges : 0;
}

void ln_turbo_disasm(ln_ctx ctx, FILE *fp, const char *label) {
  if (!ctx || !ctx->turbo || !fp) return;
  ln_program_t prog;
  ln_turbo_program(ctx, &prog);
  if (label) prog.name = label;
  ln_program_disasm(&prog, fp);
}
