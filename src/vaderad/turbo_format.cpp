// The program format's code: the opcode table's rows, the string pool and the
// text listing of instructions and programs.
#include "vaderad/turbo_format.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
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
