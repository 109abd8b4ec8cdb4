// The VM on hand-written programs: control flow and its limits, backtracking,
// calls, field contexts and naming, the stores, and every scalar, text, date,
// time and address opcode held to the walker's parser of the same type.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "../normalizer/parser_harness.h"
#include "vaderad/turbo_json.h"
#include "vaderad/turbo_vm_struct.h"
#include "vm_helpers.h"

namespace {

TEST(VmControl, HaltAloneIsNoMatchWithoutBacktracking) {
  Prog p;
  p.add(OP_HALT);
  Vm v;
  EXPECT_EQ(v.run(p, "x"), LN_VM_NOMATCH);
  EXPECT_EQ(v.vm.backtrack_count, 0u);
}

TEST(VmControl, BadProgramsStopWithAnError) {
  {
    Prog p;
    p.jump(OP_FORK, 1); // target == code_len
    Vm v;
    EXPECT_EQ(v.run(p, ""), LN_VM_ERROR);
    EXPECT_EQ(v.error(), "control-flow target out of bounds");
  }
  {
    Prog p;
    p.add(7);
    Vm v;
    EXPECT_EQ(v.run(p, ""), LN_VM_ERROR);
    EXPECT_EQ(v.error(), "unknown opcode 0x07 at pc=0");
  }
  {
    Prog p;
    p.add(OP_NOP); // falls off the end
    Vm v;
    EXPECT_EQ(v.run(p, ""), LN_VM_ERROR);
    EXPECT_EQ(v.error(), "PC out of bounds");
  }
}

TEST(VmControl, InstructionLimitEndsTheRun) {
  Prog p;
  p.jump(OP_JUMP, 0);
  Vm v;
  v.vm.instr_limit = 1000;
  EXPECT_EQ(v.run(p, ""), LN_VM_LIMIT);
  EXPECT_EQ(v.error(), "instruction limit exceeded");
  EXPECT_EQ(v.vm.instr_count, 1001u);
}

// Overflowing any of the three stacks ends the run with an error even though
// an earlier alternative would match: a lost alternative could otherwise make
// another rule win than the walker's.
TEST(VmControl, StackOverflowsEndTheRun) {
  {
    Prog p;
    uint32_t first = p.jump(OP_FORK, 0);
    for (int i = 0; i < 64; ++i) p.jump(OP_FORK, 0);
    p.add(OP_FAIL);
    p.patch(first, p.match("early"));
    for (uint32_t i = 1; i <= 64; ++i) p.patch(i, first + 65);
    Vm v;
    EXPECT_EQ(v.run(p, ""), LN_VM_ERROR);
    EXPECT_EQ(v.error(), "fork stack overflow");
  }
  {
    Prog p;
    p.jump(OP_CALL, 0); // calls itself
    Vm v;
    EXPECT_EQ(v.run(p, ""), LN_VM_ERROR);
    EXPECT_EQ(v.error(), "call stack overflow");
  }
  {
    Prog p;
    for (int i = 0; i < 17; ++i) p.str(OP_CTX_PUSH, "c");
    p.match();
    Vm v;
    EXPECT_EQ(v.run(p, ""), LN_VM_ERROR);
    EXPECT_EQ(v.error(), "field context stack overflow");
  }
  {
    Prog p;
    p.add(OP_RET);
    Vm v;
    EXPECT_EQ(v.run(p, ""), LN_VM_ERROR);
    EXPECT_EQ(v.error(), "call stack underflow");
  }
}

// FORK alt; CTX_PUSH c; WORD w; TAG t; LITERAL "!" (fails) -> alt: WORD other.
TEST(VmBacktrack, RestoresInputFieldsTagsAndContexts) {
  Prog p;
  uint32_t fork = p.jump(OP_FORK, 0);
  p.str(OP_CTX_PUSH, "c");
  p.field(OP_FIELD_WORD, "w");
  p.str(OP_TAG, "t");
  p.literal("!");
  p.match("first");
  p.patch(fork, p.here());
  p.field(OP_FIELD_WORD, "other");
  p.add(OP_ASSERT_END);
  p.match("second");
  Vm v;
  ASSERT_EQ(v.run(p, "abc"), LN_VM_MATCH);
  EXPECT_EQ(v.fields(), "other=abc");
  EXPECT_EQ(v.res.n_tags, 0);
  EXPECT_EQ(v.vm.field_ctx_sp, 0u);
  EXPECT_STREQ(v.res.rule_id, "second");
  EXPECT_EQ(v.vm.backtrack_count, 1u);
}

// CALL body; the body tries "a" before "ab" and returns after the first that
// works. The continuation "c" then fails on "abc", and the run does not go
// back into the body (a user-defined type commits to its first match).
TEST(VmBacktrack, ReturnCommitsToTheBodysFirstPath) {
  Prog p;
  uint32_t call = p.jump(OP_CALL, 0);
  p.literal("c");
  p.add(OP_ASSERT_END);
  p.match();
  uint32_t body = p.here();
  uint32_t fork = p.jump(OP_FORK, 0);
  p.literal("a");
  p.add(OP_RET);
  p.patch(fork, p.here());
  p.literal("ab");
  p.add(OP_RET);
  p.patch(call, body);
  Vm v;
  EXPECT_EQ(v.run(p, "abc"), LN_VM_NOMATCH);
  EXPECT_EQ(v.run(p, "ac"), LN_VM_MATCH);
}

// A chain of alternatives that each start with a literal: the ones whose
// first byte does not fit are passed over without a backtrack, the first one
// that fits wins, and a FORK chain that loops on itself is stopped by the
// instruction limit.
TEST(VmBacktrack, ForkChainsSkipDeadAlternatives) {
  Prog p;
  const std::string firsts = "bcdefghijklmnopqrstuvwxyzBCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::vector<uint32_t> forks;
  for (char c : firsts) {
    forks.push_back(p.jump(OP_FORK, 0));
    p.literal(std::string(1, c) + "x");
    p.add(OP_ASSERT_END);
    p.match(std::string(1, c));
    p.patch(forks.back(), p.here());
  }
  p.literal("a"); // the last alternative has no FORK
  p.field(OP_FIELD_REST, "rest");
  p.match("a");
  Vm v;
  ASSERT_EQ(v.run(p, "Zx"), LN_VM_MATCH);
  EXPECT_STREQ(v.res.rule_id, "Z");
  EXPECT_EQ(v.vm.backtrack_count, 0u);
  ASSERT_EQ(v.run(p, "abc"), LN_VM_MATCH);
  EXPECT_STREQ(v.res.rule_id, "a");
  EXPECT_EQ(v.fields(), "rest=bc");
  EXPECT_EQ(v.run(p, "Zy"), LN_VM_NOMATCH); // "Zx" fits the first byte only

  Prog loop;
  loop.jump(OP_FORK, 0); // its own target, and the next instruction is dead
  loop.literal("q");
  loop.match();
  v.vm.instr_limit = 500;
  EXPECT_EQ(v.run(loop, "x"), LN_VM_LIMIT);
  v.vm.instr_limit = 0;
}

// Random alternatives built from the opcodes the start sets know, as FORK
// trees like the compiler's (every FORK leads forward).
struct RandomTree {
  std::mt19937 &rng;
  Prog &p;
  int rules = 0;
  const char *alphabet = "ab1 .-0xJ";

  std::string text(int max) {
    std::string s;
    for (int k = 1 + static_cast<int>(rng() % max); k > 0; --k) s += alphabet[rng() % 9];
    return s;
  }
  void atom() {
    switch (rng() % 14) {
    case 0: case 1: case 2: p.literal(text(2)); break;
    case 3: p.field(OP_FIELD_INT, "n", rng() % 3 ? 0 : 50); break;
    case 4: p.field(OP_FIELD_WORD, "w", static_cast<uint16_t>(rng() % 3)); break;
    case 5: p.field(OP_FIELD_HEX, "h"); break;
    case 6: p.field(OP_FIELD_FLOAT, "f"); break;
    case 7: p.char_to("c", alphabet[rng() % 9], rng() % 4 ? 0 : LN_IF_CHARSEP); break;
    case 8: p.field(OP_FIELD_DATE, "d"); break;
    case 9: p.add(OP_ASSERT_END); break;
    case 10: p.add(OP_NOP); break;
    case 11: p.str(OP_CHAR, std::string(1, alphabet[rng() % 9])); break;
    case 12:
      if (rng() % 2) { // a pooled name
        const uint32_t i = p.add(OP_FIELD_WORD, LN_IF_STORE | LN_IF_POOLED_NAME);
        p.at(i).data.name_pool.off = p.intern("pooled.w" + std::to_string(rng() % 3));
        break;
      }
      [[fallthrough]];
    default: p.field(OP_FIELD_REST, "r"); break;
    }
  }
  void node(int depth) {
    for (int k = static_cast<int>(rng() % 3); k > 0; --k) atom();
    if (depth == 0 || rng() % 3 == 0) {
      if (rng() % 6 == 0) p.add(OP_FAIL);
      p.match("rule" + std::to_string(rules++));
      return;
    }
    const int kids = 2 + static_cast<int>(rng() % 6); // chains long enough for jump tables
    for (int k = 0; k < kids; ++k) {
      const bool last = k + 1 == kids;
      const uint32_t fork = last ? 0 : p.jump(OP_FORK, 0);
      if (rng() % 5 == 0) { // a JUMP over a dead instruction
        const uint32_t j = p.jump(OP_JUMP, 0);
        p.add(OP_HALT);
        p.patch(j, p.here());
      }
      node(depth - 1);
      if (!last) p.patch(fork, p.here());
    }
  }
};

// The program index (start sets, FORK jump tables and resolved names)
// changes no result: over
// seeded random programs and inputs, a run with it gives exactly the result of
// a run that judges each alternative by its first instruction and resolves
// every name itself; and no single instruction ever succeeds on a byte its set
// leaves out.
TEST(VmBacktrack, ProgramIndexNeverSkipsAnAlternativeThatCouldMatch) {
  std::mt19937 rng(4242);
  int matches = 0, skipped = 0, tabled = 0;
  for (int prog = 0; prog < 300; ++prog) {
    Prog p;
    RandomTree t{rng, p};
    t.node(4);
    ln_program_t view = p.view();
    ln_vm_index_t ix{};
    ASSERT_EQ(ln_vm_index_build(&ix, &view), 0);
    if (ix.jump_of) ++tabled;
    Vm with, without;
    with.vm.index = &ix;
    for (int in = 0; in < 60; ++in) {
      std::string s;
      if (in % 3 == 0) s = "Jan  5 10:11:12 ";
      for (int k = static_cast<int>(rng() % 10); k > 0; --k) s += t.alphabet[rng() % 9];
      const int a = with.run(p, s), b = without.run(p, s);
      ASSERT_EQ(a, b) << "program " << prog << " input \"" << s << "\"";
      if (a == LN_VM_MATCH) {
        ++matches;
        ASSERT_EQ(with.fields(), without.fields()) << "program " << prog << " input \"" << s << "\"";
        ASSERT_STREQ(with.res.rule_id, without.res.rule_id) << "input \"" << s << "\"";
      }
      if (with.vm.instr_count < without.vm.instr_count) ++skipped;
    }
    ln_vm_index_free(&ix);
  }
  EXPECT_GT(matches, 1000); // the inputs reach the rules
  EXPECT_GT(skipped, 1000); // and the sets do skip
  EXPECT_GT(tabled, 100);   // through jump tables too

  // One instruction and MATCH: whatever it accepts starts in its set.
  std::vector<Prog> singles;
  for (int k = 0; k < 400; ++k) {
    Prog p;
    RandomTree t{rng, p};
    t.atom();
    p.match();
    singles.push_back(p);
  }
  Vm v;
  for (const Prog &p : singles) {
    ln_program_t view = p.view();
    ln_vm_index_t ix{};
    ASSERT_EQ(ln_vm_index_build(&ix, &view), 0);
    for (int in = 0; in < 40; ++in) {
      std::string s = in == 0 ? "" : in == 1 ? "Jan  5 10:11:12" : "";
      for (int k = static_cast<int>(rng() % 6); in > 1 && k > 0; --k) s += "ab1 .-0xJ"[rng() % 9];
      if (v.run(p, s) != LN_VM_MATCH) continue;
      const ln_vm_start_set_t &set = ix.sets[0];
      if (s.empty()) {
        EXPECT_TRUE(set.at_end) << ln_opcode_name(p.code[0].op);
      } else {
        const unsigned char c = static_cast<unsigned char>(s[0]);
        EXPECT_TRUE((set.bits[c >> 6] >> (c & 63)) & 1) << ln_opcode_name(p.code[0].op) << " on \"" << s << "\"";
      }
    }
    ln_vm_index_free(&ix);
  }
}

TEST(VmFields, ContextsNameTheirFields) {
  Prog p;
  p.str(OP_CTX_PUSH, "ctx");
  p.field(OP_FIELD_WORD, "a");
  p.literal(" ");
  p.field(OP_FIELD_WORD, "..");
  p.literal(" ");
  p.field(OP_FIELD_WORD, "-");
  p.literal(" ");
  p.str(OP_CTX_PUSH, "inner");
  p.add(OP_CTX_POP); // nothing stored inside: {}
  p.add(OP_CTX_POP);
  p.str(OP_CTX_PUSH, "-");
  p.field(OP_FIELD_REST, "dropped");
  p.add(OP_CTX_POP);
  p.match();
  Vm v;
  ASSERT_EQ(v.run(p, "x y z rest"), LN_VM_MATCH);
  EXPECT_EQ(v.fields(), "ctx.a=x ctx=y ctx.inner={}");
  EXPECT_TRUE(v.res.fields[2].flags & LN_FF_RAW_JSON);
}

// A named literal (LITERAL_EXT with flag 0x04) stores its text under the
// pooled name, prefixed by the open context like any field.
TEST(VmFields, NamedLiteralStoresItsText) {
  Prog p;
  p.str(OP_CTX_PUSH, "process");
  uint32_t i = p.add(OP_LITERAL_EXT, LN_IF_STORE, 6);
  p.at(i).data.lit_pool.off = p.intern("kernel");
  p.at(i).data.lit_pool.len = 6;
  p.at(i).data.lit_pool.name_off = p.intern("name");
  p.add(OP_CTX_POP);
  p.add(OP_ASSERT_END);
  p.match();
  Vm v;
  ASSERT_EQ(v.run(p, "kernel"), LN_VM_MATCH);
  EXPECT_EQ(v.fields(), "process.name=kernel");
  EXPECT_EQ(v.run(p, "kernels"), LN_VM_NOMATCH);
}

TEST(VmFields, InlineAndSpanValues) {
  Prog p;
  p.char_to("a", ',');
  p.literal(",");
  p.field(OP_FIELD_REST, "b");
  p.match();
  Vm v;
  std::string v47(47, 'x'), v48(48, 'y');
  v47[3] = '\0'; // a zero byte stays part of an inline value
  ASSERT_EQ(v.run(p, v47 + "," + v48), LN_VM_MATCH);
  EXPECT_EQ(v.res.fields[0].type, LN_FTYPE_STRING_INLINE);
  EXPECT_EQ(v.res.fields[0].inl_len, 47u);
  EXPECT_EQ(std::string(v.res.fields[0].v.inl, 47), v47);
  EXPECT_EQ(v.res.fields[1].type, LN_FTYPE_STRING);
  EXPECT_EQ(v.res.fields[1].v.str.len, 48u);
}

TEST(VmFields, FullResultTruncatesAndIntegerStoresFail) {
  Prog p;
  for (int i = 0; i < 128; ++i) p.kv("k", "v");
  uint32_t fork = p.jump(OP_FORK, 0);
  p.field(OP_FIELD_INT, "n"); // the 129th field: refused, the path fails
  p.match("int");
  p.patch(fork, p.here());
  p.field(OP_FIELD_WORD, "w"); // refused too, but a text field goes on
  p.match("word");
  Vm v;
  ASSERT_EQ(v.run(p, "12"), LN_VM_MATCH);
  EXPECT_STREQ(v.res.rule_id, "word");
  EXPECT_EQ(v.res.n_fields, 128);
  EXPECT_TRUE(ln_fast_result_is_truncated(&v.res));
}

TEST(VmFields, SameTagInstructionAddsOnce) {
  Prog p;
  uint32_t tag = p.str(OP_TAG, "t");
  p.str(OP_TAG, "u");
  p.literal("a");
  uint32_t fork = p.jump(OP_FORK, 0);
  p.jump(OP_JUMP, tag); // runs both TAGs again, then "a" fails the second time
  p.patch(fork, p.here());
  p.match();
  Vm v;
  ASSERT_EQ(v.run(p, "aa"), LN_VM_MATCH);
  ASSERT_EQ(v.res.n_tags, 2);
  EXPECT_STREQ(v.res.tags[0].tag, "t");
  EXPECT_STREQ(v.res.tags[1].tag, "u");
}

// An annotation value replacing a field stored before the newest alternative
// must come back when that alternative is resumed.
TEST(VmFields, ReplaceAcrossAForkIsUndoneOnBacktrack) {
  Prog p;
  p.kv("k", "old");
  uint32_t fork = p.jump(OP_FORK, 0);
  p.kv("k", "new", LN_IF_REPLACE);
  p.literal("x"); // fails on "y"
  p.match("replaced");
  p.patch(fork, p.here());
  p.literal("y");
  p.match("kept");
  Vm v;
  ASSERT_EQ(v.run(p, "y"), LN_VM_MATCH);
  EXPECT_EQ(v.fields(), "k=old");
  ASSERT_EQ(v.run(p, "x"), LN_VM_MATCH);
  EXPECT_EQ(v.fields(), "k=new"); // superseded at MATCH, not duplicated
  EXPECT_EQ(v.res.flags & LN_RF_SUPERSEDES, 0);

  Prog q; // no alternative in between: replaced in place
  q.kv("k", "old");
  q.kv("j", "1");
  q.kv("k", "new", LN_IF_REPLACE);
  q.match();
  ASSERT_EQ(v.run(q, ""), LN_VM_MATCH);
  EXPECT_EQ(v.fields(), "k=new j=1");
}

TEST(VmFields, FullArenaDeclinesInsteadOfMisnaming) {
  Prog p;
  p.str(OP_CTX_PUSH, std::string(40, 'c'));
  p.str(OP_CTX_PUSH, std::string(40, 'd')); // 81-byte name: fits 128 bytes
  p.field(OP_FIELD_WORD, std::string(50, 'n')); // 132 more: does not
  p.match();
  Vm v(128);
  EXPECT_EQ(v.run(p, "w"), LN_VM_ERROR);
  EXPECT_EQ(v.error(), "arena exhausted");
}

// A structured field the VM does not serve yet: where the walker's parser
// does not match, the path fails as in the walker; where it matches, only a
// MATCH reached over it declines the message.
TEST(VmFields, UnservedStructuredFieldDeclinesOnlyTheMatchesThatUseIt) {
  Prog p;
  uint32_t fork = p.jump(OP_FORK, 0);
  p.field(OP_FIELD_JSON, "j");
  p.literal(" end");
  p.add(OP_ASSERT_END);
  p.match("json");
  p.patch(fork, p.here());
  p.field(OP_FIELD_REST, "r");
  p.match("rest");
  Vm v;
  EXPECT_EQ(v.run(p, "{\"a\":1} end"), LN_VM_ERROR);
  EXPECT_EQ(v.error(), "unsupported opcode FIELD_JSON at pc=1");
  EXPECT_EQ(v.run(p, "{\"a\":1} other"), LN_VM_MATCH); // the JSON path fails later
  EXPECT_STREQ(v.res.rule_id, "rest");
  EXPECT_EQ(v.run(p, "not json"), LN_VM_MATCH);
  EXPECT_STREQ(v.res.rule_id, "rest");

  Prog r;
  r.add(OP_REPEAT);
  r.match();
  EXPECT_EQ(v.run(r, "x"), LN_VM_ERROR);
  EXPECT_EQ(v.error(), "unsupported opcode REPEAT at pc=0");
}

// ------------------------------------------------------------------------
// Each field opcode against the walker's parser of the same type, on fixed
// and seeded random inputs: the same match, length and value.

struct Differential {
  prsid_t id;
  const char *params;
  uint8_t op;
  uint16_t aux;
  uint8_t flags;
  const char *delim; // char-to terminators or string-to delimiter
};

Prog program_for(const Differential &d) {
  Prog p;
  if (d.op == OP_FIELD_CHAR_TO) {
    std::string t = d.delim;
    uint32_t i = p.char_to("f", t.empty() ? 0 : t[0], d.flags);
    if (t.size() > 1) {
      p.at(i).flags |= LN_IF_CHARSET;
      p.at(i).aux = static_cast<uint16_t>(t.size());
      p.at(i).data.char_to.set_off = p.intern(t);
    }
  } else if (d.op == OP_FIELD_STR_TO) {
    uint32_t i = p.add(OP_FIELD_STR_TO, LN_IF_STORE, static_cast<uint16_t>(strlen(d.delim)));
    p.at(i).data.str_to.name[0] = 'f';
    p.at(i).data.str_to.delim_off = p.intern(d.delim);
  } else {
    p.field(d.op, "f", d.aux, d.flags);
  }
  p.match();
  return p;
}

// The value of "f" as the comparison run sees it: the JSON document read back
// and the member written again.
std::string member_f(const std::string &doc) {
  fjson_object *o = fjson_tokener_parse(doc.c_str());
  fjson_object *f = nullptr;
  std::string s = o && fjson_object_object_get_ex(o, "f", &f)
                      ? fjson_object_to_json_string_ext(f, FJSON_TO_STRING_PLAIN)
                      : "<no f in " + doc + ">";
  fjson_object_put(o);
  return s;
}

std::string vm_value(const ln_fast_result_t &r) {
  if (r.n_fields != 1) return "<" + std::to_string(r.n_fields) + " fields>";
  char buf[4096];
  size_t n = 0;
  if (ln_fast_to_json(&r, buf, sizeof buf, &n) != 0) return "<writer failed>";
  return member_f(std::string(buf, n));
}

std::vector<std::string> inputs() {
  std::vector<std::string> in = {
      "", " ", "0", "42", "00042", "-5", "-", ".", "-.", "5.", ".5", "1.2.3", "-0", "007.50",
      "9223372036854775807", "9223372036854775808", "99999999999999999999 x",
      "0x", "0x ", "0x1F ", "0X1F ", "0x1F", "0xffffffffffffffff ", "0x10000000000000000 ",
      "0x7fffffffffffffff ", "0x8000000000000000 ", "abc def", "\tabc", "ab,cd;ef", ",x",
      "\"\"", "\"a b\" c", "\"a\\\"b\" c", "\"a\\\\\" b", "\"open", "x\"y\"", "aab", "xab", "ab",
      "Oct 11 22:14:15 x", "oct 11 22:14:15:", "OCT  1 22:14:15", "Oct 11 2024 22:14:15 x",
      "Oct 11 1970 22:14:15", "Oct 11 22:14", "Jan 32 00:00:00", "Feb 1 24:00:00",
      "jAN  5 00:00:00", "Dec 31 23:59:60:", "Mai 1 00:00:00", "May 1 2100 00:00:00",
      "Sep 9 1971 1:2:3", "Nov 9 1971x1:2:3", "Aug\t1 00:00:00", "@pr 1 00:00:00", "Jun 1  0:0:0",
      "Jul 01 00:00:00", "Mar 7 0:0:0", "Apr 7 0:0:0 ", "Ja", "Feb 1 00:00:0",
      "Oct 11 22:14:155", "Oct 11 22:14:15:x", "Oct 00 22:14:15", "Oct  0 22:14:15",
      "Oct 11 24:14:15", "Oct 11 22:60:15", "Oct 11 22:14:61", "Oct 1122:14:15", "Oct 31 00:00:60",
      "Oct 11 22:14:15", "Oct 11 22:14:1", "Oct 3 22:14:15",
      "2024-01-02T03:04:05Z", "2024-01-02T03:04:05.123+01:00 x", "2024-01-02T03:04:05",
      "2024-01-02T03:04:05.5Z", "2024-01-02T03:04:05.Z", "2024-1-2T3:4:5-1:30", "2024-01-02T03:04:05Zx",
      "12024-01-02T03:04:05Z", "2024-02-31", "2024-13-01", "2024-00-10", "2024-01-02x",
      "00:00:00", "23:59:59", "24:00:00", "12:60:00", "13:00:00", "9:05:07", "99:59:59", "1:2:3",
      "[12345.123456]", "[1234.123456]", "[123456789012.123456] x", "[12345.12345]",
      "1.2.3.4", "256.1.1.1", "1.2.3.4567", "01.002.3.4x", "1.2.3", "::", "::1", "fe80::1%eth0",
      "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8:9", "1::2::3", "::ffff:1.2.3.4", "1:", "1::", "1.2.3.4:80",
      "aa:bb:cc:dd:ee:ff", "AA-BB-CC-DD-EE-FF", "aa:bb-cc:dd:ee:ff", "aa:bb:cc:dd:ee:f",
  };
  static const char *const tokens[] = {"0", "1", "2", "9", "12", "23", "59", "60", "255", "256",
                                       "2024", "-", ".", ":", " ", "x", "0x", "ff", "FF", "\"",
                                       "\\", "a", "Oct", "oct", "T", "Z", "+", "[", "]", ",", ";",
                                       "ab", "::", "\t", "000000", "99999999999999999999"};
  std::mt19937 rng(4711); // fixed seed: the same inputs on every run
  for (int n = 0; n < 3000; ++n) {
    std::string s;
    for (int k = 1 + static_cast<int>(rng() % 8); k > 0; --k) s += tokens[rng() % std::size(tokens)];
    in.push_back(s);
  }
  return in;
}

TEST(VmDifferential, FieldOpcodesAgreeWithTheWalker) {
  const Differential cases[] = {
      {PRS_NUMBER, "{}", OP_FIELD_INT, 0, 0, ""},
      {PRS_NUMBER, "{\"format\":\"number\"}", OP_FIELD_INT, 0, LN_IF_AS_NUMBER, ""},
      {PRS_NUMBER, "{\"maxval\":100}", OP_FIELD_INT, 100, 0, ""},
      {PRS_FLOAT, "{}", OP_FIELD_FLOAT, 0, 0, ""},
      {PRS_FLOAT, "{\"format\":\"number\"}", OP_FIELD_FLOAT, 0, LN_IF_AS_NUMBER, ""},
      {PRS_HEXNUMBER, "{}", OP_FIELD_HEX, 0, 0, ""},
      {PRS_HEXNUMBER, "{\"format\":\"number\"}", OP_FIELD_HEX, 0, LN_IF_AS_NUMBER, ""},
      {PRS_HEXNUMBER, "{\"maxval\":31}", OP_FIELD_HEX, 31, 0, ""},
      {PRS_WHITESPACE, "{}", OP_SKIP_SPACE, 0, 0, ""},
      {PRS_WORD, "{}", OP_FIELD_WORD, 0, 0, ""},
      {PRS_ALPHA, "{}", OP_FIELD_WORD, 2, 0, ""},
      {PRS_REST, "{}", OP_FIELD_REST, 0, 0, ""},
      {PRS_CHAR_TO, "{\"extradata\":\",\"}", OP_FIELD_CHAR_TO, 0, 0, ","},
      {PRS_CHAR_TO, "{\"extradata\":\",;\\\"\"}", OP_FIELD_CHAR_TO, 0, 0, ",;\""},
      {PRS_CHAR_SEP, "{\"extradata\":\",\"}", OP_FIELD_CHAR_TO, 0, LN_IF_CHARSEP, ","},
      {PRS_CHAR_SEP, "{\"extradata\":\"\"}", OP_FIELD_CHAR_TO, 0, LN_IF_CHARSEP, ""},
      {PRS_STRING_TO, "{\"extradata\":\"ab\"}", OP_FIELD_STR_TO, 0, 0, "ab"},
      {PRS_QUOTED_STRING, "{}", OP_FIELD_QUOTED, 2, 0, ""},
      {PRS_OP_QUOTED_STRING, "{}", OP_FIELD_QUOTED, 0, 0, ""},
      {PRS_OP_QUOTED_STRING, "{\"escape\":true}", OP_FIELD_QUOTED, 1, 0, ""},
      {PRS_DATE_RFC3164, "{}", OP_FIELD_DATE, 0x000, 0, ""},
      {PRS_DATE_RFC5424, "{}", OP_FIELD_DATE, 0x100, 0, ""},
      {PRS_DATE_RFC5424, "{\"format\":\"timestamp-unix\"}", OP_FIELD_DATE, 0x102, LN_IF_DATE_CONVERT, ""},
      {PRS_DATE_RFC5424, "{\"format\":\"timestamp-unix-ms\"}", OP_FIELD_DATE, 0x103, LN_IF_DATE_CONVERT, ""},
      {PRS_DATE_ISO, "{}", OP_FIELD_DATE, 1, 0, ""},
      {PRS_TIME_24HR, "{}", OP_FIELD_TIME, 0, 0, ""},
      {PRS_TIME_12HR, "{}", OP_FIELD_TIME, 1, 0, ""},
      {PRS_DURATION, "{}", OP_FIELD_TIME, 2, 0, ""},
      {PRS_KERNEL_TIMESTAMP, "{}", OP_FIELD_KERNEL_TS, 0, 0, ""},
      {PRS_IPV4, "{}", OP_FIELD_IPV4, 0, 0, ""},
      {PRS_IPV6, "{}", OP_FIELD_IPV6, 0, 0, ""},
      {PRS_MAC48, "{}", OP_FIELD_MAC, 0, 0, ""},
  };
  const std::vector<std::string> in = inputs();
  for (const Differential &d : cases) {
    Edge e(d.id, d.params);
    ASSERT_EQ(e.rc, 0) << d.params;
    Prog p = program_for(d);
    Vm v;
    int mismatches = 0;
    for (const std::string &s : in) {
      size_t parsed = 0;
      std::string wval;
      const int wr = e.run(s, 0, &parsed, &wval);
      const int vr = v.run(p, s);
      const std::string what = std::string(parser_lookup_table[d.id].name) + " " + d.params +
                               " on \"" + s + "\"";
      ASSERT_EQ(vr == LN_VM_MATCH, wr == 0) << what;
      if (wr != 0) continue;
      EXPECT_EQ(static_cast<size_t>(v.vm.ip - s.data()), parsed) << what;
      EXPECT_EQ(vm_value(v.res), member_f("{\"f\":" + wval + "}")) << what;
      if (++mismatches > 0 && HasFailure()) return;
    }
  }
}

TEST(VmDates, UnixTimeOfBothForms) {
  size_t parsed = 0;
  int64_t ts = 0;
  ASSERT_EQ(ln_turbo_date2unix(1, "2024-01-02T03:04:05.25+01:00", 28, 1, &parsed, &ts), 0);
  EXPECT_EQ(parsed, 28u);
  EXPECT_EQ(ts, (1704164645LL - 3600) * 1000 + 250);
  ASSERT_EQ(ln_turbo_date2unix(1, "1969-12-31T23:59:59Z", 20, 0, &parsed, &ts), 0);
  EXPECT_EQ(ts, 0); // outside 1970 to 2100
  EXPECT_EQ(ln_turbo_date2unix(1, "2024-01-02T03:04:05", 19, 0, &parsed, &ts), -1);
  EXPECT_EQ(ln_turbo_date2unix(0, "oct 11 22:14:15:", 16, 0, &parsed, &ts), 0);
  EXPECT_EQ(parsed, 16u);
  EXPECT_EQ(ln_turbo_date2unix(0, "Oct 11", 6, 0, &parsed, &ts), -1);
}

} // namespace

// The start sets of the structured types: every payload the walker's parser
// of the type accepts begins with a byte of its instruction's set, and the
// sets are narrow enough to pass a syslog message text by.
TEST(VmBacktrack, StructuredStartSetsHoldEveryPayloadTheirParserAccepts) {
  struct Case {
    uint8_t op;
    ln_parser_fn fn;
    std::vector<std::string> inputs;
  };
  const std::vector<Case> cases = {
      {OP_CEF_HDR, ln_v2_parseCEF,
       {"CEF:0|Vendor|Product|1.0|100|Name|5|src=10.0.0.1 dst=10.0.0.2", "CEF:0|a|b|c|d|e|f|",
        "cef:0|a|b|c|d|e|f|", " CEF:0|a|b|c|d|e|f|", "Accepted password for root"}},
      {OP_FIELD_JSON, ln_v2_parseJSON,
       {"{\"a\":1}", "[1,2]", "{}", " {\"a\":1}", "\"text\"", "12", "true", "Accepted password"}},
      {OP_CEE_SYSLOG, ln_v2_parseCEESyslog,
       {"@cee:{\"a\":\"b\"}", "@cee: {}", " @cee:{}", "cee:{}", "session opened for user"}},
  };
  for (const Case &c : cases) {
    Prog p;
    p.field(c.op, ".");
    p.match();
    ln_program_t view = p.view();
    ln_vm_index_t ix{};
    ASSERT_EQ(ln_vm_index_build(&ix, &view), 0);
    const ln_vm_start_set_t &set = ix.sets[0];
    int accepted = 0, outside = 0;
    for (const std::string &s : c.inputs) {
      npb_t npb{};
      npb.str = s.data();
      npb.strLen = s.size();
      size_t offs = 0, parsed = 0;
      const unsigned char b = static_cast<unsigned char>(s[0]);
      const bool in_set = (set.bits[b >> 6] >> (b & 63)) & 1;
      if (c.fn(&npb, &offs, nullptr, nullptr, &parsed, nullptr) == 0) {
        ++accepted;
        EXPECT_TRUE(in_set) << ln_opcode_name(c.op) << " on \"" << s << "\"";
      }
      if (!in_set) ++outside;
    }
    EXPECT_GE(accepted, 2) << ln_opcode_name(c.op);
    EXPECT_GE(outside, 2) << ln_opcode_name(c.op);
    EXPECT_FALSE(set.at_end) << ln_opcode_name(c.op);
    ln_vm_index_free(&ix);
  }
}

// A store outside a field context keeps the name as it is and marks it
// dotted exactly when it holds a '.', at any position of a name of any
// length; "-", ".." and "..." keep no field.
TEST(VmStores, MemberStoresKeepTheNameAndMarkDots) {
  Prog p;
  p.match();
  Vm v;
  ASSERT_EQ(v.run(p, ""), LN_VM_MATCH);
  for (size_t len = 1; len <= 20; ++len) {
    for (size_t dot = 0; dot <= len; ++dot) { // dot == len: no dot
      std::string name(len, 'k');
      if (dot < len) name[dot] = '.';
      if (name == "." || name.rfind("..", 0) == 0) continue;
      const int before = v.res.n_fields;
      ASSERT_EQ(ln_vm_store_value(&v.vm, name.data(), name.size(), "v", 1, 0), 0);
      ASSERT_EQ(v.res.n_fields, before + 1) << name;
      const ln_fast_field_t &f = v.res.fields[before];
      EXPECT_EQ(std::string(f.name, f.name_len), name);
      EXPECT_EQ((f.flags & LN_FF_DOTTED) != 0, dot < len) << name;
      v.res.n_fields = 0;
    }
  }
  for (const std::string name : {"-", "..", "...", "...x"}) {
    ASSERT_EQ(ln_vm_store_value(&v.vm, name.data(), name.size(), "v", 1, 0), 0);
    EXPECT_EQ(v.res.n_fields, 0) << name;
  }
}
