// The program format's code: the opcode table's rows, the string pool and the
// text listing of instructions and programs.
#include "vaderad/turbo_format.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr ln_opcode_info k_rows[] = {
#define LN_OPCODE_ROW(v, e, n, c, lay, lst, aux) \
  {v, n, c, LN_LAYOUT_##lay, LN_LIST_##lst, aux},
    LN_OPCODE_TABLE(LN_OPCODE_ROW)
#undef LN_OPCODE_ROW
};

struct row_index {
  const ln_opcode_info *by_value[256] = {};
  constexpr row_index() {
    for (const auto &r : k_rows)
      by_value[r.value] = &r;
  }
};
constexpr row_index k_index;

} // namespace

const ln_opcode_info *ln_opcode_info_of(unsigned op) {
  return op < 256 ? k_index.by_value[op] : nullptr;
}

const char *ln_opcode_name(unsigned op) {
  const ln_opcode_info *r = ln_opcode_info_of(op);
  return r ? r->name : "UNKNOWN";
}

uint32_t ln_strpool_intern(char **pool, uint32_t *len, uint32_t *cap, const char *s, size_t n) {
  if (pool == nullptr || len == nullptr || cap == nullptr || (s == nullptr && n > 0))
    return LN_POOL_FAIL;
  // The end must stay below LN_POOL_FAIL so no valid offset equals it.
  const uint64_t need = static_cast<uint64_t>(*len) + n + 1;
  if (n >= LN_POOL_FAIL || need >= LN_POOL_FAIL) return LN_POOL_FAIL;
  if (*pool == nullptr || need > *cap) {
    uint64_t c = (*pool == nullptr || *cap == 0) ? 256 : *cap;
    while (c < need)
      c *= 2;
    if (c >= LN_POOL_FAIL) c = LN_POOL_FAIL - 1;
    char *p = static_cast<char *>(realloc(*pool, static_cast<size_t>(c)));
    if (p == nullptr) return LN_POOL_FAIL;
    *pool = p;
    *cap = static_cast<uint32_t>(c);
  }
  const uint32_t off = *len;
  if (n > 0) memcpy(*pool + off, s, n);
  (*pool)[off + n] = '\0';
  *len = static_cast<uint32_t>(need);
  return off;
}

bool ln_strpool_span_ok(const char *pool, uint32_t pool_len, uint32_t off, uint64_t n) {
  if (pool == nullptr || off >= pool_len) return false;
  if (n >= static_cast<uint64_t>(pool_len - off)) return false; // room for the NUL after it
  return memchr(pool + off + n, '\0', pool_len - off - n) != nullptr;
}

const char *ln_strpool_cstr(const char *pool, uint32_t pool_len, uint32_t off) {
  if (pool == nullptr || off >= pool_len) return nullptr;
  return memchr(pool + off, '\0', pool_len - off) ? pool + off : nullptr;
}

int ln_program_validate(const ln_program_t *prog, char *err, size_t errlen) {
  if (err && errlen) err[0] = '\0';
  if (prog == nullptr) return -2;
  const char *pool = prog->strpool;
  const uint32_t plen = prog->strpool_len, n = prog->code_len;
  auto span = [&](uint32_t off, uint64_t len) { return ln_strpool_span_ok(pool, plen, off, len); };
  auto bad_ref = [&](const char *what, uint32_t i) {
    if (err && errlen)
      snprintf(err, errlen, "%s at instruction %u points outside the string pool", what, i);
    return -1;
  };
  auto bad_target = [&](uint32_t i) {
    if (err && errlen) snprintf(err, errlen, "jump target of instruction %u lies outside the program", i);
    return -2;
  };
  auto target_ok = [n](uint32_t i, int32_t off) {
    const int64_t t = static_cast<int64_t>(i) + off;
    return t >= 0 && t < n;
  };
  if (n > 0 && prog->code == nullptr) return bad_target(0);
  for (uint32_t i = 0; i < n; ++i) {
    const ln_instr_t &in = prog->code[i];
    if ((in.flags & LN_IF_POOLED_NAME) && !span(in.data.name_pool.off, 0))
      return bad_ref("pooled field name", i);
    switch (in.op) {
    case OP_STATIC_FIELD:
      if (in.flags & LN_IF_POOLED_KV) {
        if (!span(in.data.kv_pool.key_off, in.aux)) return bad_ref("static field key", i);
        if (!span(in.data.kv_pool.val_off, in.data.kv_pool.val_len))
          return bad_ref("static field value", i);
      }
      break;
    case OP_LITERAL_EXT:
      if (!span(in.data.lit_pool.off, in.data.lit_pool.len)) return bad_ref("pooled literal", i);
      if ((in.flags & LN_IF_STORE) && !span(in.data.lit_pool.name_off, 0))
        return bad_ref("literal field name", i);
      break;
    case OP_FIELD_STR_TO:
      if (!span(in.data.str_to.delim_off, in.aux)) return bad_ref("string-to delimiter", i);
      break;
    case OP_FIELD_CHAR_TO:
      if ((in.flags & LN_IF_CHARSET) && !span(in.data.char_to.set_off, in.aux))
        return bad_ref("char-to terminator set", i);
      break;
    case OP_JUMP:
    case OP_FORK:
    case OP_CALL:
      if (!target_ok(i, in.data.jump.offset)) return bad_target(i);
      break;
    case OP_REPEAT:
      if (!target_ok(i, in.data.repeat.parser_off) || !target_ok(i, in.data.repeat.while_off))
        return bad_target(i);
      break;
    default:
      break;
    }
  }
  return 0;
}

namespace {

// Text of one instruction under construction.
struct line {
  std::string s;
  void printf(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    char tmp[64];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(tmp, sizeof tmp, fmt, ap);
    va_end(ap);
    if (n > 0) s.append(tmp, static_cast<size_t>(n) < sizeof tmp ? n : sizeof tmp - 1);
  }
  // n bytes between double quotes, control bytes, quote and backslash escaped.
  void quoted(const char *p, size_t n) {
    s += '"';
    for (size_t i = 0; i < n; ++i) {
      const auto c = static_cast<unsigned char>(p[i]);
      if (c == '"' || c == '\\') {
        s += '\\';
        s += static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7f) {
        printf("\\x%02x", c);
      } else {
        s += static_cast<char>(c);
      }
    }
    s += '"';
  }
  void byte(unsigned char c) {
    if (c >= 0x20 && c < 0x7f)
      printf("'%c'", c);
    else
      printf("0x%02x", c);
  }
};

struct pool_view {
  const char *base;
  uint32_t len;
};

// The name of a name-carrying instruction: with flag 0x10 "pool+OFF" and,
// when the pool holds it, the pooled text; else the inline text of the given
// width.
void put_name(line &l, const ln_instr_t &in, const char *inline_name, size_t width,
              const pool_view &pool) {
  if (in.flags & LN_IF_POOLED_NAME) {
    l.printf("pool+%u", in.data.name_pool.off);
    if (const char *t = ln_strpool_cstr(pool.base, pool.len, in.data.name_pool.off)) {
      l.s += ' ';
      l.quoted(t, strlen(t));
    }
    return;
  }
  l.quoted(inline_name, strnlen(inline_name, width));
}

// ' "text"' for a pooled span, when the pool holds it.
void put_pooled(line &l, const pool_view &pool, uint32_t off, uint64_t n) {
  if (ln_strpool_span_ok(pool.base, pool.len, off, n)) {
    l.s += ' ';
    l.quoted(pool.base + off, static_cast<size_t>(n));
  }
}

std::string disasm(const ln_instr_t &in, const pool_view &pool) {
  line l;
  const ln_opcode_info *row = ln_opcode_info_of(in.op);
  l.s = row ? row->name : "UNKNOWN";
  if (row == nullptr) return l.s;
  unsigned shown_flags = in.flags & ~(LN_IF_STORE | LN_IF_POOLED_NAME);
  bool show_aux = false;
  switch (row->listing) {
  case LN_LIST_PLAIN:
    break;
  case LN_LIST_NAME:
    if (in.op == OP_SKIP_SPACE && !(in.flags & LN_IF_STORE)) break;
    l.s += ' ';
    put_name(l, in, in.data.str, sizeof in.data.str, pool);
    show_aux = true;
    break;
  case LN_LIST_JUMP:
    l.printf(" %+d", static_cast<int>(in.data.jump.offset));
    break;
  case LN_LIST_LITERAL:
    l.s += ' ';
    l.quoted(in.data.str, in.aux < LN_LITERAL_MAX ? in.aux : LN_LITERAL_MAX);
    break;
  case LN_LIST_LIT_POOL:
    l.printf(" pool+%u/%u", in.data.lit_pool.off, in.data.lit_pool.len);
    put_pooled(l, pool, in.data.lit_pool.off, in.data.lit_pool.len);
    if (in.flags & LN_IF_STORE) {
      const char *t = ln_strpool_cstr(pool.base, pool.len, in.data.lit_pool.name_off);
      l.s += " field=";
      if (t != nullptr)
        l.quoted(t, strlen(t));
      else
        l.printf("pool+%u", in.data.lit_pool.name_off);
    }
    break;
  case LN_LIST_CHAR:
    l.s += ' ';
    l.byte(static_cast<unsigned char>(in.data.str[0]));
    break;
  case LN_LIST_CHAR_TO:
    l.s += ' ';
    put_name(l, in, in.data.char_to.name, sizeof in.data.char_to.name, pool);
    l.s += " delim=";
    l.byte(in.data.char_to.delim);
    if (in.flags & LN_IF_CHARSET) {
      l.printf(" set=+%u/%u", in.data.char_to.set_off, in.aux);
      put_pooled(l, pool, in.data.char_to.set_off, in.aux);
      shown_flags &= ~LN_IF_CHARSET;
    }
    break;
  case LN_LIST_STR_TO:
    l.s += ' ';
    put_name(l, in, in.data.str_to.name, sizeof in.data.str_to.name, pool);
    l.printf(" delim=+%u/%u", in.data.str_to.delim_off, in.aux);
    put_pooled(l, pool, in.data.str_to.delim_off, in.aux);
    break;
  case LN_LIST_NAME_VALUE:
    l.s += ' ';
    put_name(l, in, in.data.char_to.name, sizeof in.data.char_to.name, pool);
    l.s += " sep=";
    if (in.data.char_to.delim == 0)
      l.s += "ws";
    else
      l.byte(in.data.char_to.delim);
    l.s += " ass=";
    l.byte(in.data.char_to.ass ? in.data.char_to.ass : '=');
    if (in.data.char_to.ignore_ws) l.s += " ignore_ws";
    show_aux = true;
    break;
  case LN_LIST_COUNT:
    l.printf(" %u", in.aux);
    break;
  case LN_LIST_STATIC:
    if (in.flags & LN_IF_POOLED_KV) {
      l.printf(" pool+%u=pool+%u", in.data.kv_pool.key_off, in.data.kv_pool.val_off);
      if (ln_strpool_span_ok(pool.base, pool.len, in.data.kv_pool.key_off, in.aux) &&
          ln_strpool_span_ok(pool.base, pool.len, in.data.kv_pool.val_off,
                             in.data.kv_pool.val_len)) {
        l.s += ' ';
        l.quoted(pool.base + in.data.kv_pool.key_off, in.aux);
        l.s += '=';
        l.quoted(pool.base + in.data.kv_pool.val_off, in.data.kv_pool.val_len);
      }
      shown_flags &= ~LN_IF_POOLED_KV;
    } else {
      l.s += ' ';
      l.quoted(in.data.kv.key, strnlen(in.data.kv.key, sizeof in.data.kv.key));
      l.s += '=';
      l.quoted(in.data.kv.val, strnlen(in.data.kv.val, sizeof in.data.kv.val));
    }
    break;
  case LN_LIST_LEA:
    l.s += ' ';
    put_name(l, in, in.data.char_to.name, sizeof in.data.char_to.name, pool);
    if (in.data.char_to.delim != 0) {
      l.s += " term=";
      l.byte(in.data.char_to.delim);
    }
    break;
  case LN_LIST_REPEAT:
    l.s += ' ';
    put_name(l, in, in.data.repeat.name, sizeof in.data.repeat.name, pool);
    l.printf(" body=%+d while=%+d", static_cast<int>(in.data.repeat.parser_off),
             static_cast<int>(in.data.repeat.while_off));
    show_aux = true;
    break;
  }
  if (show_aux && in.aux != 0) l.printf(" aux=%u", in.aux);
  if (shown_flags != 0) l.printf(" flags=0x%02x", shown_flags);
  return l.s;
}

int copy_out(const std::string &s, char *buf, size_t len) {
  const size_t n = s.size() < len ? s.size() : len - 1;
  memcpy(buf, s.data(), n);
  buf[n] = '\0';
  return static_cast<int>(s.size());
}

} // namespace

int ln_instr_disasm(const ln_instr_t *inst, char *buf, size_t len) {
  return ln_instr_disasm_pool(inst, nullptr, 0, buf, len);
}

int ln_instr_disasm_pool(const ln_instr_t *inst, const char *pool, uint32_t pool_len, char *buf,
                         size_t len) {
  if (inst == nullptr || buf == nullptr || len == 0) return 0;
  try {
    return copy_out(disasm(*inst, pool_view{pool, pool_len}), buf, len);
  } catch (const std::bad_alloc &) {
    buf[0] = '\0';
    return 0;
  }
}

void ln_program_disasm(const ln_program_t *prog, FILE *fp) {
  if (prog == nullptr || fp == nullptr) return;
  fprintf(fp, "=== Program: %s ===\n", prog->name ? prog->name : "(unnamed)");
  fprintf(fp, "Instructions: %u\n\n", prog->code_len);
  const pool_view pool{prog->strpool, prog->strpool_len};
  for (uint32_t i = 0; i < prog->code_len && prog->code != nullptr; ++i) {
    try {
      const std::string t = disasm(prog->code[i], pool);
      fprintf(fp, "[%4u] %s\n", i, t.c_str());
    } catch (const std::bad_alloc &) {
      fprintf(fp, "[%4u] %s\n", i, ln_opcode_name(prog->code[i].op));
    }
  }
  fputc('\n', fp);
}
