// The program format: the exact byte layout of an instruction, the fixed
// opcode values and names, the string pool, program validation and the text
// listing of instructions and programs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vaderad/turbo_format.h"

namespace {

std::string text(const ln_instr_t &in, const char *pool = nullptr, uint32_t plen = 0) {
  char buf[256];
  ln_instr_disasm_pool(&in, pool, plen, buf, sizeof buf);
  return buf;
}

ln_instr_t make(ln_opcode_t op, uint8_t flags = 0, uint16_t aux = 0) {
  ln_instr_t in;
  memset(&in, 0, sizeof in);
  in.op = op;
  in.flags = flags;
  in.aux = aux;
  return in;
}

TEST(TurboFormat, InstructionBytes) {
  // The record is 64 bytes: op, flags, aux (little-endian here), then 60
  // operand bytes, every layout starting at byte 4.
  ln_instr_t in = make(OP_FIELD_CHAR_TO, 0x0a, 0x0102);
  strcpy(in.data.char_to.name, "n");
  in.data.char_to.set_off = 0x11223344;
  in.data.char_to.delim = ',';
  in.data.char_to.ass = '=';
  in.data.char_to.ignore_ws = 1;
  unsigned char b[64];
  static_assert(sizeof in == sizeof b);
  memcpy(b, &in, sizeof b);
  const unsigned char head[] = {40, 0x0a, 0x02, 0x01, 'n', 0};
  EXPECT_EQ(memcmp(b, head, sizeof head), 0);
  const unsigned char tail[] = {0x44, 0x33, 0x22, 0x11, ',', '=', 1, 0};
  EXPECT_EQ(memcmp(b + 56, tail, sizeof tail), 0);

  ln_instr_t j = make(OP_FORK);
  j.data.jump.offset = -3;
  memcpy(b, &j, sizeof b);
  const unsigned char jb[] = {3, 0, 0, 0, 0xfd, 0xff, 0xff, 0xff};
  EXPECT_EQ(memcmp(b, jb, sizeof jb), 0);
}

TEST(TurboFormat, OpcodeValuesAndNamesNeverChange) {
  struct {
    unsigned v;
    const char *name;
  } rows[] = {
      {0, "HALT"}, {1, "MATCH"}, {2, "JUMP"}, {3, "FORK"}, {4, "FAIL"}, {5, "CALL"}, {6, "RET"},
      {16, "LITERAL"}, {17, "LITERAL_EXT"}, {18, "LITERAL_CI"}, {19, "CHAR"}, {20, "ANY"},
      {21, "CHARSET"}, {32, "FIELD_WORD"}, {33, "FIELD_INT"}, {34, "FIELD_UINT"},
      {35, "FIELD_FLOAT"}, {36, "FIELD_IPV4"}, {37, "FIELD_IPV6"}, {38, "FIELD_HEX"},
      {39, "FIELD_QUOTED"}, {40, "FIELD_CHAR_TO"}, {41, "FIELD_STR_TO"}, {42, "FIELD_REST"},
      {43, "FIELD_JSON"}, {44, "FIELD_MAC"}, {45, "FIELD_DATE"}, {46, "FIELD_REGEX"},
      {47, "FIELD_NAME_VALUE"}, {64, "SKIP_SPACE"}, {65, "SKIP_SPACE1"}, {66, "SKIP_N"},
      {67, "SKIP_TO"}, {68, "SKIP_PAST"}, {69, "SKIP_LINE"}, {80, "TAG"}, {81, "RULE_ID"},
      {82, "STATIC_FIELD"}, {88, "CTX_PUSH"}, {89, "CTX_POP"}, {90, "CTX_NEST"},
      {91, "CTX_UNNEST"}, {96, "ASSERT_CHAR"}, {97, "ASSERT_END"}, {98, "ASSERT_START"},
      {112, "SYSLOG_PRI"}, {113, "SYSLOG_TS"}, {114, "CEF_HDR"}, {115, "V2_IPTABLES"},
      {116, "CEE_SYSLOG"}, {117, "CHECKPOINT_LEA"}, {118, "FIELD_TIME"},
      {119, "FIELD_KERNEL_TS"}, {120, "CISCO_IFACE"}, {121, "REPEAT"}, {240, "NOP"},
      {254, "DEBUG"}, {255, "INVALID"},
  };
  unsigned listed = 0;
  for (const auto &r : rows) {
    EXPECT_STREQ(ln_opcode_name(r.v), r.name) << r.v;
    ASSERT_NE(ln_opcode_info_of(r.v), nullptr);
    EXPECT_EQ(ln_opcode_info_of(r.v)->value, r.v);
  }
  for (unsigned v = 0; v < 256; ++v)
    if (ln_opcode_info_of(v)) ++listed;
  EXPECT_EQ(listed, sizeof rows / sizeof rows[0]) << "an opcode was added or removed";
  for (unsigned v : {7u, 22u, 122u, 200u, 256u, 1000u}) EXPECT_STREQ(ln_opcode_name(v), "UNKNOWN") << v;
  EXPECT_EQ(OP_FIELD_WORD, 32);
  EXPECT_EQ(OP_REPEAT, 121);
}

TEST(TurboFormat, StringPool) {
  char *pool = nullptr;
  uint32_t len = 0, cap = 0;
  EXPECT_EQ(ln_strpool_intern(&pool, &len, &cap, "ab", 2), 0u);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(cap, 256u);
  EXPECT_EQ(memcmp(pool, "ab", 3), 0);
  EXPECT_EQ(ln_strpool_intern(&pool, &len, &cap, "c", 1), 3u);
  EXPECT_EQ(ln_strpool_intern(&pool, &len, &cap, "ab", 2), 5u) << "equal strings are not shared";
  // Growth doubles until the entry fits; earlier offsets keep their text.
  std::string big(600, 'x');
  EXPECT_EQ(ln_strpool_intern(&pool, &len, &cap, big.data(), big.size()), 8u);
  EXPECT_EQ(cap, 1024u);
  EXPECT_STREQ(ln_strpool_cstr(pool, len, 3), "c");
  EXPECT_EQ(ln_strpool_cstr(pool, len, len), nullptr);
  // A span needs a NUL behind it inside the pool.
  EXPECT_TRUE(ln_strpool_span_ok(pool, len, 0, 2));
  EXPECT_TRUE(ln_strpool_span_ok(pool, len, 0, 0));
  EXPECT_FALSE(ln_strpool_span_ok(pool, len, 8, 601));
  EXPECT_FALSE(ln_strpool_span_ok(pool, len, len, 0));
  EXPECT_FALSE(ln_strpool_span_ok(nullptr, 0, 0, 0));
  uint32_t l2 = len;
  EXPECT_EQ(ln_strpool_intern(&pool, &l2, &cap, nullptr, 1), LN_POOL_FAIL);
  EXPECT_EQ(l2, len);
  free(pool);
}

TEST(TurboFormat, ValidationFindsEveryBadReference) {
  char pool[] = "abc\0set";
  const uint32_t plen = sizeof pool; // 8, the last NUL included
  struct Case {
    ln_instr_t in;
    int rc;
    const char *err;
  };
  ln_instr_t name = make(OP_FIELD_WORD, LN_IF_STORE | LN_IF_POOLED_NAME);
  name.data.name_pool.off = 8;
  ln_instr_t set = make(OP_FIELD_CHAR_TO, LN_IF_STORE | LN_IF_CHARSET, 4);
  set.data.char_to.set_off = 4; // "set" is 3 bytes; 4 would need the NUL as a member
  ln_instr_t set_ok = set;
  set_ok.aux = 3;
  ln_instr_t lit = make(OP_LITERAL_EXT, 0, 3);
  lit.data.lit_pool.len = 3;
  ln_instr_t named_lit = lit;
  named_lit.flags = LN_IF_STORE;
  named_lit.data.lit_pool.name_off = 9;
  ln_instr_t kv = make(OP_STATIC_FIELD, LN_IF_REPLACE | LN_IF_POOLED_KV, 3);
  kv.data.kv_pool.val_off = 4;
  kv.data.kv_pool.val_len = 4;
  ln_instr_t strto = make(OP_FIELD_STR_TO, LN_IF_STORE, 9);
  ln_instr_t fork = make(OP_FORK);
  fork.data.jump.offset = 5;
  ln_instr_t rep = make(OP_REPEAT, LN_IF_STORE);
  rep.data.repeat.parser_off = 0;
  rep.data.repeat.while_off = -1;
  Case cases[] = {
      {name, -1, "pooled field name at instruction 0 points outside the string pool"},
      {set, -1, "char-to terminator set at instruction 0 points outside the string pool"},
      {set_ok, 0, ""},
      {lit, 0, ""},
      {named_lit, -1, "literal field name at instruction 0 points outside the string pool"},
      {kv, -1, "static field value at instruction 0 points outside the string pool"},
      {strto, -1, "string-to delimiter at instruction 0 points outside the string pool"},
      {fork, -2, "jump target of instruction 0 lies outside the program"},
      {rep, -2, "jump target of instruction 0 lies outside the program"},
  };
  for (const Case &c : cases) {
    ln_program_t prog{};
    prog.code = &c.in;
    prog.code_len = 1;
    prog.strpool = pool;
    prog.strpool_len = plen;
    char err[128];
    EXPECT_EQ(ln_program_validate(&prog, err, sizeof err), c.rc) << text(c.in);
    EXPECT_STREQ(err, c.err);
  }
  // Without a pool every pooled reference is bad.
  ln_program_t none{};
  none.code = &lit;
  none.code_len = 1;
  char err[128];
  EXPECT_EQ(ln_program_validate(&none, err, sizeof err), -1);
}

TEST(TurboFormat, InstructionTexts) {
  char pool[] = "a.pooled.name\0key\0value\0xyz\0;,";
  const uint32_t plen = sizeof pool;
  struct Case {
    ln_instr_t in;
    const char *bare, *with_pool;
  };
  ln_instr_t fork_back = make(OP_FORK);
  fork_back.data.jump.offset = -3;
  ln_instr_t fork_fwd = make(OP_FORK);
  fork_fwd.data.jump.offset = 5;
  ln_instr_t nv = make(OP_FIELD_NAME_VALUE, LN_IF_STORE);
  strcpy(nv.data.char_to.name, "kv");
  ln_instr_t nv2 = nv;
  nv2.aux = 2;
  nv2.data.char_to.delim = ';';
  nv2.data.char_to.ass = ':';
  nv2.data.char_to.ignore_ws = 1;
  ln_instr_t ch = make(OP_CHAR);
  ch.data.str[0] = 1;
  ln_instr_t chp = make(OP_CHAR);
  chp.data.str[0] = 'q';
  ln_instr_t lit = make(OP_LITERAL, 0, 4);
  memcpy(lit.data.str, "a\"\\\n", 4);
  ln_instr_t pooled = make(OP_FIELD_INT, LN_IF_STORE | LN_IF_POOLED_NAME | LN_IF_AS_NUMBER, 300);
  pooled.data.name_pool.off = 0;
  ln_instr_t ext = make(OP_LITERAL_EXT, LN_IF_STORE, 3);
  ext.data.lit_pool.off = 24;
  ext.data.lit_pool.len = 3;
  ext.data.lit_pool.name_off = 14;
  ln_instr_t kv = make(OP_STATIC_FIELD, LN_IF_REPLACE | LN_IF_POOLED_KV, 3);
  kv.data.kv_pool.key_off = 14;
  kv.data.kv_pool.val_off = 18;
  kv.data.kv_pool.val_len = 5;
  ln_instr_t kvi = make(OP_STATIC_FIELD, 0, 1);
  strcpy(kvi.data.kv.key, "k");
  strcpy(kvi.data.kv.val, "v");
  ln_instr_t ct = make(OP_FIELD_CHAR_TO, LN_IF_STORE | LN_IF_CHARSET | LN_IF_CHARSEP, 2);
  strcpy(ct.data.char_to.name, "c");
  ct.data.char_to.delim = ';';
  ct.data.char_to.set_off = 28;
  ln_instr_t st = make(OP_FIELD_STR_TO, LN_IF_STORE, 3);
  strcpy(st.data.str_to.name, "s");
  st.data.str_to.delim_off = 24;
  ln_instr_t lea = make(OP_CHECKPOINT_LEA, LN_IF_STORE);
  strcpy(lea.data.char_to.name, "l");
  lea.data.char_to.delim = ';';
  ln_instr_t rep = make(OP_REPEAT, LN_IF_STORE | LN_IF_PERMIT_MISMATCH, 1);
  strcpy(rep.data.repeat.name, "r");
  rep.data.repeat.parser_off = 2;
  rep.data.repeat.while_off = 4;
  ln_instr_t sp = make(OP_SKIP_SPACE);
  ln_instr_t spn = make(OP_SKIP_SPACE, LN_IF_STORE);
  strcpy(spn.data.str, "ws");
  ln_instr_t skipn = make(OP_SKIP_N, 0, 7);
  ln_instr_t high = make(OP_CHAR);
  high.data.str[0] = static_cast<char>(0xe9); // C locale: not printable
  ln_instr_t ct_high = make(OP_FIELD_CHAR_TO, LN_IF_STORE);
  strcpy(ct_high.data.char_to.name, "h");
  ct_high.data.char_to.delim = 0x80;
  ln_instr_t unk = make(OP_HALT);
  unk.op = 7;
  Case cases[] = {
      {fork_back, "FORK -3", "FORK -3"},
      {fork_fwd, "FORK +5", "FORK +5"},
      {nv, "FIELD_NAME_VALUE \"kv\" sep=ws ass='='", "FIELD_NAME_VALUE \"kv\" sep=ws ass='='"},
      {nv2, "FIELD_NAME_VALUE \"kv\" sep=';' ass=':' ignore_ws aux=2",
       "FIELD_NAME_VALUE \"kv\" sep=';' ass=':' ignore_ws aux=2"},
      {ch, "CHAR 0x01", "CHAR 0x01"},
      {chp, "CHAR 'q'", "CHAR 'q'"},
      {lit, "LITERAL \"a\\\"\\\\\\x0a\"", "LITERAL \"a\\\"\\\\\\x0a\""},
      {pooled, "FIELD_INT pool+0 aux=300 flags=0x20",
       "FIELD_INT pool+0 \"a.pooled.name\" aux=300 flags=0x20"},
      {ext, "LITERAL_EXT pool+24/3 field=pool+14", "LITERAL_EXT pool+24/3 \"xyz\" field=\"key\""},
      {kv, "STATIC_FIELD pool+14=pool+18 flags=0x01",
       "STATIC_FIELD pool+14=pool+18 \"key\"=\"value\" flags=0x01"},
      {kvi, "STATIC_FIELD \"k\"=\"v\"", "STATIC_FIELD \"k\"=\"v\""},
      {ct, "FIELD_CHAR_TO \"c\" delim=';' set=+28/2 flags=0x08",
       "FIELD_CHAR_TO \"c\" delim=';' set=+28/2 \";,\" flags=0x08"},
      {st, "FIELD_STR_TO \"s\" delim=+24/3", "FIELD_STR_TO \"s\" delim=+24/3 \"xyz\""},
      {lea, "CHECKPOINT_LEA \"l\" term=';'", "CHECKPOINT_LEA \"l\" term=';'"},
      {rep, "REPEAT \"r\" body=+2 while=+4 aux=1 flags=0x40",
       "REPEAT \"r\" body=+2 while=+4 aux=1 flags=0x40"},
      {sp, "SKIP_SPACE", "SKIP_SPACE"},
      {spn, "SKIP_SPACE \"ws\"", "SKIP_SPACE \"ws\""},
      {skipn, "SKIP_N 7", "SKIP_N 7"},
      {high, "CHAR 0xe9", "CHAR 0xe9"},
      {ct_high, "FIELD_CHAR_TO \"h\" delim=0x80", "FIELD_CHAR_TO \"h\" delim=0x80"},
      {unk, "UNKNOWN", "UNKNOWN"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(text(c.in), c.bare);
    EXPECT_EQ(text(c.in, pool, plen), c.with_pool);
  }
  // snprintf semantics: the full length back, the text cut to the buffer.
  char small[8];
  EXPECT_EQ(ln_instr_disasm(&nv, small, sizeof small), 36);
  EXPECT_STREQ(small, "FIELD_N");
  EXPECT_EQ(ln_instr_disasm(nullptr, small, sizeof small), 0);
  EXPECT_EQ(ln_instr_disasm(&nv, small, 0), 0);
}

TEST(TurboFormat, ProgramListing) {
  ln_instr_t code[2] = {make(OP_ASSERT_END), make(OP_MATCH)};
  strcpy(code[1].data.str, "r1");
  ln_program_t prog{};
  prog.code = code;
  prog.code_len = 2;
  char *buf = nullptr;
  size_t len = 0;
  FILE *fp = open_memstream(&buf, &len);
  ln_program_disasm(&prog, fp);
  ln_program_disasm(nullptr, fp);
  fclose(fp);
  EXPECT_EQ(std::string(buf, len), "=== Program: (unnamed) ===\nInstructions: 2\n\n"
                                   "[   0] ASSERT_END\n[   1] MATCH \"r1\"\n\n");
  free(buf);
}

} // namespace
