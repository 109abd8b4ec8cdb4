// The compiler from parse DAG to bytecode: golden listings of the program
// shapes, every parser's emission and its options, declines with their
// reasons, pool references, and the bounds on depth and program size.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../normalizer/load_helpers.h"
#include "vaderad/turbo.h"
#include "vaderad/turbo_state.h"

namespace {

// A VaderAD context loaded from rulebase text.
struct Compiled : TestCtx {
  int rc;
  explicit Compiled(const std::string &rb) : TestCtx(LN_CTXOPT_TURBO) {
    rc = load("version=2\n" + rb);
  }
  bool available() const { return ln_turbo_is_available(ctx) == 1; }
  std::string reason() const { return ln_turbo_compile_reason(ctx); }
  std::string listing() const {
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    ln_turbo_disasm(ctx, fp, nullptr);
    fclose(fp);
    std::string s(buf, len);
    free(buf);
    return s;
  }
  // The instruction lines only, without the header and the final HALT.
  std::string body() const {
    std::string s = listing(), out;
    size_t p = s.find("\n\n");
    if (p == std::string::npos) return s;
    p += 2;
    while (p < s.size()) {
      size_t e = s.find('\n', p);
      if (e == std::string::npos) break;
      std::string l = s.substr(p, e - p);
      if (l.size() > 7) out += l.substr(7) + "\n"; // drop "[NNNN] "
      p = e + 1;
    }
    const std::string halt = "HALT\n";
    if (out.size() >= halt.size() && out.compare(out.size() - halt.size(), halt.size(), halt) == 0)
      out.erase(out.size() - halt.size());
    return out;
  }
  const ln_turbo_ctx_t *t() const { return ctx->turbo; }
};

TEST(TurboCompile, LiteralChainListing) {
  Compiled c("rule=:user %u:word% logged in\n");
  ASSERT_EQ(c.rc, 0);
  ASSERT_TRUE(c.available()) << c.reason();
  EXPECT_EQ(c.reason(), "");
  EXPECT_TRUE(c.hasDebug("turbo VM ready"));
  EXPECT_TRUE(c.hasDebug("turbo: compiled 6 instructions, 1 rules, 0 branches"));
  EXPECT_EQ(c.listing(), "=== Program: turbo ===\n"
                         "Instructions: 6\n"
                         "\n"
                         "[   0] LITERAL \"user \"\n"
                         "[   1] FIELD_WORD \"u\"\n"
                         "[   2] LITERAL \" logged in\"\n"
                         "[   3] ASSERT_END\n"
                         "[   4] MATCH \"user %u:word% logged in\"\n"
                         "[   5] HALT\n"
                         "\n");
  ln_turbo_stats_t st{};
  ASSERT_EQ(ln_turbo_get_stats(c.ctx, &st), 0);
  EXPECT_EQ(st.n_instructions, 6u);
  EXPECT_EQ(st.n_rules, 1u);
}


// The program shapes: shared prefixes, alternatives, a rule that is a prefix
// of another, user-defined types, repeats, tags and annotations.
TEST(TurboCompile, GoldenShapes) {
  struct Case {
    const char *name, *rb, *body;
  } cases[] = {
      {"two rules sharing a prefix", "rule=:user %u:word% in\nrule=:user %u:word% out\n",
       "LITERAL \"user \"\nFIELD_WORD \"u\"\nLITERAL \" \"\nFORK +4\n"
       "LITERAL \"in\"\nASSERT_END\nMATCH \"user %u:word% in\"\n"
       "LITERAL \"out\"\nASSERT_END\nMATCH \"user %u:word% out\"\n"},
      {"alternatives (the join node is compiled under each)",
       "rule=:a %{\"type\":\"alternative\",\"parser\":[{\"type\":\"number\",\"name\":\"n\"},"
       "{\"type\":\"word\",\"name\":\"w\"}]}% end\n",
       "LITERAL \"a \"\nFORK +5\nFIELD_INT \"n\"\nLITERAL \" end\"\nASSERT_END\n"
       "MATCH \"a [%n:number%|%w:word%] end\"\nFIELD_WORD \"w\"\nLITERAL \" end\"\nASSERT_END\n"
       "MATCH \"a [%n:number%|%w:word%] end\"\n"},
      {"a rule that is a prefix of another", "rule=:a b\nrule=:a b c\n",
       "LITERAL \"a b\"\nFORK +4\nLITERAL \" c\"\nASSERT_END\nMATCH \"a b c\"\n"
       "ASSERT_END\nMATCH \"a b\"\n"},
      {"a user-defined type, named and merged",
       "type=@kv:%k:char-to:=%=%v:word%\nrule=:x %p:@kv% %.:@kv%\n",
       "LITERAL \"x \"\nCTX_PUSH \"p\"\nCALL +2\nJUMP +5\nFIELD_CHAR_TO \"k\" delim='='\n"
       "LITERAL \"=\"\nFIELD_WORD \"v\"\nRET\nCTX_POP\nLITERAL \" \"\nCALL +2\nJUMP +5\n"
       "FIELD_CHAR_TO \"k\" delim='='\nLITERAL \"=\"\nFIELD_WORD \"v\"\nRET\nASSERT_END\n"
       "MATCH \"x %p:USER-DEFINED% %.:USER-DEFINED%\"\n"},
      {"a repeat",
       "rule=:%l:repeat{\"parser\":{\"type\":\"number\",\"name\":\"n\"},\"while\":{\"type\":"
       "\"literal\",\"text\":\",\"},\"option.permitMismatchInParser\":true,"
       "\"option.failOnDuplicate\":true}% end\n",
       "REPEAT \"l\" body=+2 while=+4 aux=1 flags=0x40\nJUMP +5\nFIELD_INT \"n\"\nRET\n"
       "LITERAL \",\"\nRET\nLITERAL \" end\"\nASSERT_END\nMATCH \"%l:repeat% end\"\n"},
      {"tags and annotations (tags last to first, each tag's adds as the walker adds them)",
       "annotate=web:+a=\"1\" +b=\"2\"\n"
       "annotate=fw:+long.field.name.that.is.long=\"a value well beyond thirty bytes\"\n"
       "rule=web,fw:x %v:word%\n",
       "LITERAL \"x \"\nFIELD_WORD \"v\"\nASSERT_END\nTAG \"web\"\nTAG \"fw\"\n"
       "STATIC_FIELD pool+0=pool+29 \"long.field.name.that.is.long\"=\"a value well beyond "
       "thirty bytes\" flags=0x01\n"
       "STATIC_FIELD \"b\"=\"2\" flags=0x01\nSTATIC_FIELD \"a\"=\"1\" flags=0x01\n"
       "MATCH \"x %v:word%\"\n"},
  };
  for (const Case &k : cases) {
    Compiled c(k.rb);
    ASSERT_EQ(c.rc, 0) << k.name;
    ASSERT_TRUE(c.available()) << k.name << ": " << c.reason();
    EXPECT_EQ(c.body(), k.body) << k.name;
  }
}

// Every parser and the options the VM serves; an option it cannot serve
// exactly as the walker declines the rulebase (next test).
TEST(TurboCompile, EveryParsersEmission) {
  const std::string n59(59, 'n'), n60(60, 'n');
  struct Case {
    std::string field, first;
  } cases[] = {
      {"%x:number%", "FIELD_INT \"x\""},
      {"%x:number{\"maxval\":300,\"format\":\"number\"}%", "FIELD_INT \"x\" aux=300 flags=0x20"},
      {"%x:number{\"maxval\":-5}%", "FIELD_INT \"x\""},
      {"%x:float{\"format\":\"number\"}%", "FIELD_FLOAT \"x\" flags=0x20"},
      {"%x:hexnumber{\"maxval\":65535}%", "FIELD_HEX \"x\" aux=65535"},
      {"%x:kernel-timestamp%", "FIELD_KERNEL_TS \"x\""},
      {"%x:whitespace%", "SKIP_SPACE \"x\""},
      {"%-:whitespace%", "SKIP_SPACE"},
      {"%x:ipv4%", "FIELD_IPV4 \"x\""},
      {"%x:ipv6%", "FIELD_IPV6 \"x\""},
      {"%x:word%", "FIELD_WORD \"x\""},
      {"%-:word%", "FIELD_WORD \"-\""},
      {"%x:alpha%", "FIELD_WORD \"x\" aux=2"},
      {"%x:rest%", "FIELD_REST \"x\""},
      {"%x:op-quoted-string%", "FIELD_QUOTED \"x\""},
      {"%x:op-quoted-string{\"escape\":true}%", "FIELD_QUOTED \"x\" aux=1"},
      {"%x:quoted-string%", "FIELD_QUOTED \"x\" aux=2"},
      {"%x:date-rfc3164%", "FIELD_DATE \"x\""},
      {"%x:date-rfc3164{\"format\":\"timestamp-unix\"}%", "FIELD_DATE \"x\" aux=2 flags=0x80"},
      {"%x:date-rfc5424%", "FIELD_DATE \"x\" aux=256"},
      {"%x:date-rfc5424{\"format\":\"timestamp-unix-ms\"}%", "FIELD_DATE \"x\" aux=259 flags=0x80"},
      {"%x:date-iso%", "FIELD_DATE \"x\" aux=1"},
      {"%x:time-24hr%", "FIELD_TIME \"x\""},
      {"%x:time-12hr%", "FIELD_TIME \"x\" aux=1"},
      {"%x:duration%", "FIELD_TIME \"x\" aux=2"},
      {"%x:cisco-interface-spec%", "CISCO_IFACE \"x\""},
      {"%x:json%", "FIELD_JSON \"x\""},
      {"%x:cee-syslog%", "CEE_SYSLOG \"x\""},
      {"%x:mac48%", "FIELD_MAC \"x\""},
      {"%x:cef%", "CEF_HDR \"x\""},
      {"%x:v2-iptables%", "V2_IPTABLES \"x\""},
      {"%x:name-value-list%", "FIELD_NAME_VALUE \"x\" sep=ws ass='='"},
      {"%x:name-value-list{\"separator\":\";\",\"assignator\":\":\",\"ignore_whitespaces\":true}%",
       "FIELD_NAME_VALUE \"x\" sep=';' ass=':' ignore_ws"},
      {"%x:checkpoint-lea%", "CHECKPOINT_LEA \"x\""},
      {"%x:checkpoint-lea{\"terminator\":\";\"}%", "CHECKPOINT_LEA \"x\" term=';'"},
      {"%x:string-to:ab%", "FIELD_STR_TO \"x\" delim=+0/2 \"ab\""},
      // The walker's string-to never matches a one-byte delimiter.
      {"%x:string-to:a%", "FAIL"},
      {"%x:char-to:,%", "FIELD_CHAR_TO \"x\" delim=','"},
      {"%x:char-to:,;%", "FIELD_CHAR_TO \"x\" delim=',' set=+0/2 \",;\""},
      {"%x:char-sep:,%", "FIELD_CHAR_TO \"x\" delim=',' flags=0x08"},
      {"%x:char-sep:,;%", "FIELD_CHAR_TO \"x\" delim=',' set=+0/2 \",;\" flags=0x08"},
      // No terminator: char-to never matches, char-sep takes the rest.
      {"%{\"type\":\"char-to\",\"name\":\"x\",\"extradata\":\"\"}%", "FAIL"},
      {"%{\"type\":\"char-sep\",\"name\":\"x\",\"extradata\":\"\"}%", "FIELD_REST \"x\""},
      {"%x:string{\"quoting.mode\":\"none\"}%", "FIELD_WORD \"x\""},
      {"%x:string{\"quoting.mode\":\"none\",\"matching.mode\":\"lazy\",\"matching.permitted\":"
       "[{\"class\":\"hexdigit\"}]}%",
       "FIELD_WORD \"x\" aux=1"},
      {"%x:string{\"quoting.mode\":\"none\",\"matching.mode\":\"lazy\",\"matching.permitted\":"
       "[{\"class\":\"alpha\"}]}%",
       "FIELD_WORD \"x\" aux=2"},
      // A named literal is an ordinary text field; an unnamed one only matches.
      {"%{\"type\":\"literal\",\"text\":\"abc\",\"name\":\"lit\"}%",
       "LITERAL_EXT pool+0/3 \"abc\" field=\"lit\""},
      {"%{\"type\":\"literal\",\"text\":\"abc\",\"name\":\"-\"}%", "LITERAL \"abc\""},
      // Names longer than the inline slot go to the pool, never truncated.
      {"%" + n59 + ":word%", "FIELD_WORD \"" + n59 + "\""},
      {"%" + n60 + ":word%", "FIELD_WORD pool+0 \"" + n60 + "\""},
      {"%" + std::string(51, 'c') + ":char-to:,%", "FIELD_CHAR_TO \"" + std::string(51, 'c') + "\" delim=','"},
      {"%" + std::string(52, 'c') + ":char-to:,%",
       "FIELD_CHAR_TO pool+0 \"" + std::string(52, 'c') + "\" delim=','"},
      {"%" + std::string(56, 's') + ":string-to:ab%",
       "FIELD_STR_TO pool+3 \"" + std::string(56, 's') + "\" delim=+0/2 \"ab\""},
  };
  for (const Case &k : cases) {
    Compiled c("rule=:" + k.field + "\n");
    ASSERT_EQ(c.rc, 0) << k.field;
    ASSERT_TRUE(c.available()) << k.field << ": " << c.reason();
    const std::string b = c.body();
    EXPECT_EQ(b.substr(0, b.find('\n')), k.first) << k.field;
  }
}

TEST(TurboCompile, LongTextsArePooled) {
  const std::string lit(70, 'L'), tag(60, 't'), key(40, 'k');
  Compiled c("annotate=" + tag + ":+" + key + "=\"v\"\nrule=" + tag + ":" + lit + "\n");
  ASSERT_TRUE(c.available()) << c.reason();
  EXPECT_EQ(c.body(), "LITERAL_EXT pool+0/70 \"" + lit + "\"\nASSERT_END\n"
                      "TAG pool+71 \"" + tag + "\"\n"
                      "STATIC_FIELD pool+132=pool+173 \"" + key + "\"=\"v\" flags=0x01\n"
                      "MATCH pool+175 \"" + lit + "\"\n");
  // A 59-byte tag stays inline.
  Compiled inl("rule=" + std::string(59, 't') + ":x\n");
  EXPECT_EQ(inl.body(), "LITERAL \"x\"\nASSERT_END\nTAG \"" + std::string(59, 't') +
                            "\"\nMATCH \"x\"\n");
}

TEST(TurboCompile, RewriteTableNumbers) {
  Compiled c("rewrite=kv:a=b\nrewrite=js:c=d\n"
             "rule=kv:x %.:name-value-list%\nrule=js:y %.:json%\nrule=js:z %j:json%\n");
  ASSERT_TRUE(c.available()) << c.reason();
  const std::string b = c.body();
  EXPECT_NE(b.find("FIELD_NAME_VALUE \".\" sep=ws ass='=' aux=1\n"), std::string::npos) << b;
  EXPECT_NE(b.find("FIELD_JSON \".\" aux=2\n"), std::string::npos) << b;
  EXPECT_NE(b.find("FIELD_JSON \"j\"\n"), std::string::npos) << b;
}

// Anything the VM could not run exactly as the walker declines the whole
// rulebase: no program at all, and the reason on the debug channel.
TEST(TurboCompile, DeclinesWithAReason) {
  struct Case {
    std::string rb, reason;
  } cases[] = {
      {"rule=:%x:number{\"maxval\":70000}%\n",
       "turbo: number field 'x' has maxval 70000, above the 65535 the VM serves"},
      {"rule=:%x:hexnumber{\"maxval\":65536}%\n",
       "turbo: hexnumber field 'x' has maxval 65536, above the 65535 the VM serves"},
      {"rule=:%x:string%\n", "turbo: string field 'x' uses options the VM does not serve"},
      {"rule=:%x:string{\"quoting.mode\":\"none\",\"option.dashIsEmpty\":true}%\n",
       "turbo: string field 'x' uses options"},
      {"rule=:%x:string{\"quoting.mode\":\"none\",\"matching.permitted\":[{\"class\":"
       "\"hexdigit\"}]}%\n",
       "turbo: string field 'x' uses options"},
      {"rule=:%x:string{\"quoting.mode\":\"required\"}%\n", "turbo: string field 'x' uses options"},
      // A type that contains itself expands without end.
      {"type=@r:x%a:@r%\nrule=:%v:@r%\n", "turbo: compile recursion exceeds 1024 (depth=1025)"},
  };
  for (const Case &k : cases) {
    Compiled c("rule=:fine\n" + k.rb);
    ASSERT_EQ(c.rc, 0) << k.rb;
    EXPECT_FALSE(c.available()) << k.rb;
    EXPECT_EQ(c.reason().compare(0, k.reason.size(), k.reason), 0) << c.reason();
    EXPECT_TRUE(c.hasDebug(c.reason())) << c.reason();
    EXPECT_TRUE(c.hasDebug("turbo: compilation failed, discarding partial program"));
    EXPECT_TRUE(c.hasDebug("turbo VM compilation failed, using recursive walker"));
    EXPECT_EQ(c.t()->code, nullptr);
    EXPECT_EQ(c.t()->code_len, 0u);
    EXPECT_EQ(c.t()->strpool, nullptr);
    EXPECT_EQ(c.t()->strpool_len, 0u);
    EXPECT_EQ(c.listing(), "=== Program: turbo ===\nInstructions: 0\n\n\n");
  }
}

// An edge whose next node is missing ends in FAIL, so its alternative never
// runs on into the next alternative's code.
TEST(TurboCompile, EdgeWithoutNextNodeFails) {
  Compiled c("rule=:ab\nrule=:ac\n");
  ASSERT_TRUE(c.available());
  struct ln_pdag *n = c.ctx->pdag->parsers[0].node; // behind "a": edges "b" and "c"
  ASSERT_EQ(n->nparsers, 2);
  struct ln_pdag *saved = n->parsers[0].node;
  n->parsers[0].node = nullptr;
  EXPECT_EQ(ln_turbo_compile(c.ctx), 0);
  const std::string b = c.body();
  n->parsers[0].node = saved;
  EXPECT_EQ(b, "LITERAL \"a\"\nFORK +3\nLITERAL \"b\"\nFAIL\nLITERAL \"c\"\nASSERT_END\n"
               "MATCH \"ac\"\n");
  EXPECT_TRUE(c.hasDebug("turbo: edge without a next node (depth=1), emitting OP_FAIL"));
}

// Tree expansion repeats a type's body at every use: doubling uses grow the
// program exponentially until the instruction cap declines it.
TEST(TurboCompile, InstructionCapDeclines) {
  std::string rb = "type=@t0:%a:word%\n";
  for (int i = 1; i <= 24; ++i)
    rb += "type=@t" + std::to_string(i) + ":%a:@t" + std::to_string(i - 1) + "%-%b:@t" +
          std::to_string(i - 1) + "%\n";
  rb += "rule=:%x:@t24%\n";
  Compiled c(rb);
  ASSERT_EQ(c.rc, 0);
  EXPECT_FALSE(c.available());
  EXPECT_EQ(c.reason().rfind("turbo: the program would exceed 1048576 instructions", 0), 0u)
      << c.reason();
}

std::string bytes_of(const ln_turbo_ctx_t *t) {
  return std::string(reinterpret_cast<const char *>(t->code), t->code_len * sizeof(ln_instr_t)) +
         "|" + std::string(t->strpool ? t->strpool : "", t->strpool_len);
}

// 10,000 rules under one node compile, and compiling again gives the same
// bytes; so does compiling the bundled example in a second context.
TEST(TurboCompile, WideDagAndDeterminism) {
  std::string wide;
  for (int i = 0; i < 10000; ++i) wide += "rule=:event " + std::to_string(i) + " %v:word%\n";
  Compiled w(wide);
  ASSERT_TRUE(w.available()) << w.reason();
  ln_turbo_stats_t st{};
  ln_turbo_get_stats(w.ctx, &st);
  EXPECT_EQ(st.n_rules, 10000u);
  const std::string first = bytes_of(w.t());
  ASSERT_EQ(ln_turbo_compile(w.ctx), 0);
  EXPECT_EQ(bytes_of(w.t()), first);

  const std::string example = std::string(VELDRA_SOURCE_DIR) + "/examples/linux-syslog.rb";
  TestCtx a(LN_CTXOPT_TURBO), b(LN_CTXOPT_TURBO);
  ASSERT_EQ(a.loadFile(example), 0);
  ASSERT_EQ(b.loadFile(example), 0);
  ASSERT_EQ(ln_turbo_is_available(a.ctx), 1) << ln_turbo_compile_reason(a.ctx);
  EXPECT_EQ(bytes_of(a.ctx->turbo), bytes_of(b.ctx->turbo));
}

// Nesting counts branch points (rule i is i x's and "1", so every node of
// the x chain branches) and user-defined type bodies; neither uses the
// machine stack. Types nested to exactly the limit compile, one level more is
// declined.
TEST(TurboCompile, DeepDags) {
  std::string rb;
  for (int i = 1; i <= 300; ++i) rb += "rule=:" + std::string(i, 'x') + "1\n";
  Compiled branches(rb);
  ASSERT_TRUE(branches.available()) << branches.reason();
  ln_turbo_stats_t st{};
  ln_turbo_get_stats(branches.ctx, &st);
  EXPECT_EQ(st.max_depth, 300u);
  EXPECT_EQ(st.n_branches, 299u);

  auto types = [](int n) {
    std::string rb = "type=@d0:%v:word%\n";
    for (int i = 1; i < n; ++i)
      rb += "type=@d" + std::to_string(i) + ":<%a:@d" + std::to_string(i - 1) + "%\n";
    return rb + "rule=:%x:@d" + std::to_string(n - 1) + "%\n";
  };
  Compiled t_ok(types(1023));
  ASSERT_TRUE(t_ok.available()) << t_ok.reason();
  ln_turbo_get_stats(t_ok.ctx, &st);
  EXPECT_EQ(st.max_depth, 1024u);
  Compiled t_deep(types(1024));
  EXPECT_FALSE(t_deep.available());
  EXPECT_EQ(t_deep.reason(), "turbo: compile recursion exceeds 1024 (depth=1025)");
}

// Every byte of an instruction that its operands do not use is zero.
TEST(TurboCompile, RecordsAreZeroFilled) {
  TestCtx c(LN_CTXOPT_TURBO);
  ASSERT_EQ(c.loadFile(std::string(VELDRA_SOURCE_DIR) + "/examples/linux-syslog.rb"), 0);
  const ln_turbo_ctx_t *t = c.ctx->turbo;
  ASSERT_GT(t->code_len, 100u);
  auto zero_from = [](const ln_instr_t &in, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
      if (in.data.bytes[i] != 0) return false;
    return true;
  };
  for (uint32_t i = 0; i < t->code_len; ++i) {
    const ln_instr_t &in = t->code[i];
    const ln_opcode_info *row = ln_opcode_info_of(in.op);
    ASSERT_NE(row, nullptr) << i;
    EXPECT_TRUE(row->compiled) << ln_opcode_name(in.op);
    size_t used = 0;
    switch (row->layout) {
    case LN_LAYOUT_NONE: used = 0; break;
    case LN_LAYOUT_JUMP: used = 4; break;
    case LN_LAYOUT_STR:
      used = in.op == OP_LITERAL ? in.aux
             : (in.flags & LN_IF_POOLED_NAME) ? 4
                                              : strnlen(in.data.str, sizeof in.data.str);
      break;
    case LN_LAYOUT_CHAR_TO:
      EXPECT_EQ(in.data.char_to.pad, 0) << i;
      used = (in.flags & LN_IF_POOLED_NAME) ? 4 : strnlen(in.data.char_to.name, 52);
      EXPECT_TRUE(zero_from(in, used, 52)) << i;
      continue;
    default: continue;
    }
    EXPECT_TRUE(zero_from(in, used, 60)) << i << " " << ln_opcode_name(in.op);
  }
}

TEST(TurboCompile, RecompileReplacesTheProgram) {
  Compiled c("rule=:a\n");
  ASSERT_TRUE(c.available());
  EXPECT_EQ(c.load("rule=:%x:string%\n"), 0); // a second load compiles again
  EXPECT_FALSE(c.available());
  EXPECT_NE(c.reason(), "");
  EXPECT_EQ(ln_turbo_compile(nullptr), -1);
  EXPECT_EQ(ln_turbo_is_available(nullptr), 0);
  EXPECT_STREQ(ln_turbo_compile_reason(nullptr), "");
  TestCtx plain; // no VaderAD state
  EXPECT_EQ(plain.load("version=2\nrule=:a\n"), 0);
  EXPECT_EQ(ln_turbo_compile(plain.ctx), -1);
  EXPECT_EQ(ln_turbo_is_available(plain.ctx), 0);
}

} // namespace

// The JSON layouts know names in the program by their addresses, so they must
// go with the program: a program compiled again in place, the same size but
// with another field name, writes the new name.
TEST(TurboCompile, LayoutsGoWithTheirProgram) {
  Compiled c("rule=:x %aaaa:word% %bbbb.cc:word%\n");
  ASSERT_TRUE(c.available()) << c.reason();
  const auto text = [&c](const std::string &line) {
    char *s = nullptr;
    size_t n = 0;
    if (ln_turbo_normalize_to_str(c.ctx, line.data(), line.size(), &s, &n) != 0) return std::string("declined");
    std::string out(s, n);
    free(s);
    return out;
  };
  EXPECT_EQ(text("x 1 2"), "{\"aaaa\":\"1\",\"bbbb\":{\"cc\":\"2\"}}");
  EXPECT_EQ(text("x 3 4"), "{\"aaaa\":\"3\",\"bbbb\":{\"cc\":\"4\"}}"); // from the layout
  for (ln_pdag *n = c.ctx->pdag; n && n->nparsers > 0; n = n->parsers[0].node)
    if (char *name = n->parsers[0].name)
      for (char *p = name; *p; ++p)
        if (*p >= 'a' && *p <= 'c') *p = static_cast<char>(*p + 3); // aaaa -> dddd
  ASSERT_EQ(ln_turbo_compile(c.ctx), 0);
  EXPECT_EQ(text("x 5 6"), "{\"dddd\":\"5\",\"eeee\":{\"ff\":\"6\"}}");
}
