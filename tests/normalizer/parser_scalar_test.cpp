// Scalar and text field parsers, driven directly with a hand-built walker
// state. Every message is copied into a buffer of exactly its length (no
// terminator), so any read past the end shows up under the address sanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "normalizer/parser.h"
#include "parser_harness.h"

namespace {

// A parser run at a given offset (the shared Case table runs from offset 0).
struct OffsCase {
  prsid_t id;
  const char *params;
  std::string line;
  size_t offs;
  int rc;
  size_t parsed;
  const char *value; // compact JSON of the value
};

void run_cases(const std::vector<OffsCase> &cases) {
  for (const OffsCase &c : cases) {
    Edge e(c.id, c.params);
    ASSERT_EQ(e.rc, 0) << c.params;
    size_t parsed = 0;
    std::string val;
    int r = e.run(c.line, c.offs, &parsed, &val);
    std::string where = std::string(parser_lookup_table[c.id].name) + " " + c.params + " on '" +
                        c.line + "' @" + std::to_string(c.offs);
    EXPECT_EQ(r, c.rc) << where;
    if (c.rc == 0) {
      EXPECT_EQ(parsed, c.parsed) << where;
      EXPECT_EQ(val, c.value) << where;
    } else {
      EXPECT_EQ(parsed, 0u) << where;
      EXPECT_EQ(val, "") << where;
    }
  }
}

TEST(ScalarParsers, LiteralAndNumbers) {
  run_cases({
      {PRS_LITERAL, R"({"text":"abc"})", "abcd", 0, 0, 3, R"("abc")"},
      {PRS_LITERAL, R"({"text":"abc"})", "xabc", 1, 0, 3, R"("abc")"},
      {PRS_LITERAL, R"({"text":"abc"})", "ab", 0, NM, 0, ""},
      {PRS_LITERAL, R"({"text":"abc"})", "abX", 0, NM, 0, ""},
      {PRS_LITERAL, R"({"text":""})", "", 0, 0, 0, R"("")"},
      {PRS_NUMBER, R"({})", "00042 x", 0, 0, 5, R"("00042")"},
      {PRS_NUMBER, R"({"format":"number"})", "00042", 0, 0, 5, "42"},
      {PRS_NUMBER, R"({"format":"number","maxval":40})", "00042", 0, NM, 0, ""},
      {PRS_NUMBER, R"({"format":"number","maxval":42})", "42", 0, 0, 2, "42"},
      {PRS_NUMBER, R"({"maxval":"40"})", "41", 0, NM, 0, ""},
      {PRS_NUMBER, R"({})", "-5", 0, NM, 0, ""},
      {PRS_NUMBER, R"({})", "12", 2, NM, 0, ""},
      {PRS_NUMBER, R"({"format":"number"})", "9223372036854775807", 0, 0, 19,
       "9223372036854775807"},
      // A value past 2^63-1 never wraps: kept as text, or no match where a
      // number is needed.
      {PRS_NUMBER, R"({"format":"number"})", "9223372036854775808", 0, NM, 0, ""},
      {PRS_NUMBER, R"({})", "99999999999999999999 x", 0, 0, 20, R"("99999999999999999999")"},
      {PRS_NUMBER, R"({"maxval":5})", "99999999999999999999", 0, NM, 0, ""},
      {PRS_FLOAT, R"({})", "-12.5x", 0, 0, 5, R"("-12.5")"},
      {PRS_FLOAT, R"({"format":"number"})", "-12.5x", 0, 0, 5, "-12.5"},
      {PRS_FLOAT, R"({})", "1.2.3", 0, 0, 3, R"("1.2")"},
      {PRS_FLOAT, R"({})", "-", 0, 0, 1, R"("-")"},
      {PRS_FLOAT, R"({})", ".x", 0, 0, 1, R"(".")"},
      {PRS_FLOAT, R"({})", "x", 0, NM, 0, ""},
      {PRS_FLOAT, R"({})", "", 0, NM, 0, ""},
      // In number format a value needs a digit and is written as valid JSON.
      {PRS_FLOAT, R"({"format":"number"})", "-", 0, NM, 0, ""},
      {PRS_FLOAT, R"({"format":"number"})", "-.", 0, NM, 0, ""},
      {PRS_FLOAT, R"({"format":"number"})", "5.", 0, 0, 2, "5"},
      {PRS_FLOAT, R"({"format":"number"})", "-.5", 0, 0, 3, "-0.5"},
      {PRS_FLOAT, R"({"format":"number"})", "007.50", 0, 0, 6, "7.50"},
      {PRS_FLOAT, R"({"format":"number"})", "000", 0, 0, 3, "0"},
      {PRS_HEXNUMBER, R"({})", "0x1F x", 0, 0, 4, R"("0x1F")"},
      {PRS_HEXNUMBER, R"({"format":"number"})", "0x1F\tx", 0, 0, 4, "31"},
      {PRS_HEXNUMBER, R"({})", "0x1F", 0, NM, 0, ""},
      {PRS_HEXNUMBER, R"({"format":"number"})", "0x ", 0, 0, 2, "0"},
      {PRS_HEXNUMBER, R"({})", "0X1F ", 0, NM, 0, ""},
      {PRS_HEXNUMBER, R"({})", "0x1G ", 0, NM, 0, ""},
      {PRS_HEXNUMBER, R"({})", "0", 0, NM, 0, ""},
      {PRS_HEXNUMBER, R"({"maxval":16})", "0x1F ", 0, NM, 0, ""},
      {PRS_HEXNUMBER, R"({"maxval":31})", "0x1F ", 0, 0, 4, R"("0x1F")"},
      {PRS_HEXNUMBER, R"({"format":"number"})", "0x7FFFFFFFFFFFFFFF ", 0, 0, 18,
       "9223372036854775807"},
      {PRS_HEXNUMBER, R"({"format":"number"})", "0xFFFFFFFFFFFFFFFF ", 0, NM, 0, ""},
      {PRS_HEXNUMBER, R"({})", "0xFFFFFFFFFFFFFFFF ", 0, 0, 18, R"("0xFFFFFFFFFFFFFFFF")"},
      {PRS_HEXNUMBER, R"({})", "0x10000000000000000 ", 0, 0, 19, R"("0x10000000000000000")"},
      {PRS_HEXNUMBER, R"({"format":"number"})", "0x10000000000000000 ", 0, NM, 0, ""},
  });
}

TEST(ScalarParsers, Runs) {
  run_cases({
      {PRS_WHITESPACE, "{}", " \t\r\nx", 0, 0, 4, R"(" \t\r\n")"},
      {PRS_WHITESPACE, "{}", "x ", 0, NM, 0, ""},
      {PRS_WORD, "{}", "ab\tc d", 0, 0, 4, R"("ab\tc")"},
      {PRS_WORD, "{}", " x", 0, NM, 0, ""},
      {PRS_WORD, "{}", "abc", 0, 0, 3, R"("abc")"},
      {PRS_WORD, "{}", "abc", 3, NM, 0, ""},
      {PRS_ALPHA, "{}", "abC1", 0, 0, 3, R"("abC")"},
      {PRS_ALPHA, "{}", "\xc3\xa9t", 0, NM, 0, ""},
      {PRS_REST, "{}", "abc", 1, 0, 2, R"("bc")"},
      {PRS_REST, "{}", "abc", 3, 0, 0, R"("")"},
      {PRS_CHAR_TO, R"({"extradata":":;"})", "ab;c", 0, 0, 2, R"("ab")"},
      {PRS_CHAR_TO, R"({"extradata":":;"})", "abc", 0, NM, 0, ""},
      {PRS_CHAR_TO, R"({"extradata":":;"})", ":ab;", 0, NM, 0, ""},
      {PRS_CHAR_SEP, R"({"extradata":","})", "a b,c", 0, 0, 3, R"("a b")"},
      {PRS_CHAR_SEP, R"({"extradata":","})", "ab", 2, 0, 0, R"("")"},
      {PRS_CHAR_SEP, R"({"extradata":","})", ",x", 0, 0, 0, R"("")"},
      {PRS_CHAR_SEP, R"({"extradata":","})", "abc", 0, 0, 3, R"("abc")"},
      {PRS_STRING_TO, R"({"extradata":"::"})", "a::b", 0, 0, 1, R"("a")"},
      {PRS_STRING_TO, R"({"extradata":"::"})", "::b::", 0, 0, 3, R"("::b")"},
      {PRS_STRING_TO, R"({"extradata":"::"})", "ab:", 0, NM, 0, ""},
      {PRS_STRING_TO, R"({"extradata":"::"})", "::", 0, NM, 0, ""},
      {PRS_STRING_TO, R"({"extradata":":"})", "a:b", 0, NM, 0, ""},
  });
}

TEST(ScalarParsers, QuotedStrings) {
  run_cases({
      {PRS_QUOTED_STRING, "{}", R"(""x)", 0, 0, 2, R"("")"},
      {PRS_QUOTED_STRING, "{}", R"("a\" c)", 0, 0, 4, R"("a\\")"},
      {PRS_QUOTED_STRING, "{}", R"("ab)", 0, NM, 0, ""},
      {PRS_QUOTED_STRING, "{}", "\"", 0, NM, 0, ""},
      {PRS_QUOTED_STRING, "{}", "ab", 0, NM, 0, ""},
      {PRS_OP_QUOTED_STRING, "{}", R"("a b" c)", 0, 0, 5, R"("a b")"},
      {PRS_OP_QUOTED_STRING, "{}", "ab\tc d", 0, 0, 4, R"("ab\tc")"},
      {PRS_OP_QUOTED_STRING, "{}", R"("abc)", 0, NM, 0, ""},
      {PRS_OP_QUOTED_STRING, "{}", R"("")", 0, 0, 2, R"("")"},
      {PRS_OP_QUOTED_STRING, "{}", "", 0, NM, 0, ""},
      {PRS_OP_QUOTED_STRING, "{}", " x", 0, NM, 0, ""},
      {PRS_OP_QUOTED_STRING, R"({"escape":true})", R"("a\"b\\" x)", 0, 0, 8, R"("a\"b\\")"},
      {PRS_OP_QUOTED_STRING, R"({"escape":true})", R"("a\x")", 0, 0, 5, R"("a\\x")"},
      {PRS_OP_QUOTED_STRING, R"({"escape":true})", R"("a\")", 0, NM, 0, ""},
      {PRS_OP_QUOTED_STRING, R"({"escape":true})", R"("a\\\")", 0, NM, 0, ""},
      {PRS_OP_QUOTED_STRING, R"({"escape":false})", R"("a\"b")", 0, 0, 4, R"("a\\")"},
  });
}

TEST(ScalarParsers, StringParser) {
  const char *digits = R"({"matching.permitted":[{"class":"digit"}]})";
  run_cases({
      {PRS_STRING, "{}", R"("a""b" c)", 0, 0, 6, R"("a\"b")"},
      {PRS_STRING, "{}", R"("a""b"c)", 0, NM, 0, ""},
      {PRS_STRING, R"({"matching.mode":"lazy"})", R"("a""b"c)", 0, 0, 6, R"("a\"b")"},
      {PRS_STRING, "{}", R"("a\"b" x)", 0, 0, 6, R"("a\"b")"},
      {PRS_STRING, "{}", "abc def", 0, 0, 3, R"("abc")"},
      {PRS_STRING, "{}", "abc", 0, 0, 3, R"("abc")"},
      {PRS_STRING, "{}", " abc", 0, NM, 0, ""},
      {PRS_STRING, "{}", "", 0, NM, 0, ""},
      {PRS_STRING, "{}", R"("" x)", 0, 0, 2, R"("")"},
      {PRS_STRING, "{}", R"("abc)", 0, NM, 0, ""},
      {PRS_STRING, "{}", R"("abc\)", 0, NM, 0, ""},
      {PRS_STRING, "{}", R"("abc"")", 0, NM, 0, ""},
      {PRS_STRING, "{}", "ab\\", 0, 0, 3, R"("ab\\")"},
      {PRS_STRING, "{}", "-", 0, 0, 1, R"("-")"},
      {PRS_STRING, R"({"option.dashIsEmpty":true})", "- x", 0, 0, 1, R"("")"},
      {PRS_STRING, R"({"option.dashIsEmpty":true})", R"("-")", 0, 0, 3, R"("")"},
      {PRS_STRING, R"({"quoting.mode":"none"})", R"("ab" x)", 0, 0, 4, R"("\"ab\"")"},
      {PRS_STRING, R"({"quoting.mode":"required"})", "ab", 0, NM, 0, ""},
      {PRS_STRING, R"({"quoting.char.begin":"[","quoting.char.end":"]"})", "[a b] x", 0, 0, 5,
       R"("a b")"},
      {PRS_STRING, R"({"quoting.escape.mode":"none"})", R"("a\"b" x)", 0, NM, 0, ""},
      {PRS_STRING, R"({"quoting.escape.mode":"backslash"})", R"("a""b" x)", 0, NM, 0, ""},
      {PRS_STRING, R"({"quoting.escape.mode":"double"})", R"("a\b" x)", 0, 0, 5, R"("a\\b")"},
      // "none" as the last quoting mode turns escapes off whatever was asked.
      {PRS_STRING, R"({"QUOTING.MODE":"NONE","quoting.escape.mode":"backslash"})", R"(a\"b)",
       0, 0, 4, R"("a\\\"b")"},
      {PRS_STRING, R"({"quoting.escape.mode":"backslash"})", R"(a\"b)", 0, 0, 4, R"("a\"b")"},
      {PRS_STRING, digits, "123 abc", 0, 0, 3, R"("123")"},
      {PRS_STRING, digits, "123abc", 0, NM, 0, ""},
      {PRS_STRING, R"({"matching.permitted":[{"class":"digit"}],"matching.mode":"lazy"})",
       "123abc", 0, 0, 3, R"("123")"},
      {PRS_STRING, digits, R"("12a")", 0, NM, 0, ""},
      {PRS_STRING, digits, R"("12")", 0, 0, 4, R"("12")"},
      {PRS_STRING, R"({"matching.permitted":[{"class":"alpha"},{"chars":"-_"}]})", "a-b_c x",
       0, 0, 5, R"("a-b_c")"},
      {PRS_STRING, R"({"matching.permitted":"xy"})", "xyx", 0, 0, 3, R"("xyx")"},
      {PRS_STRING, R"({"matching.permitted":5})", "abc", 0, NM, 0, ""},
  });
}

struct ErrCase {
  prsid_t id;
  const char *params;
  int rc;
  const char *msg; // expected first error message, or "" for none
};

TEST(ScalarParsers, ConstructorsReportInTheirWords) {
  const std::vector<ErrCase> cases = {
      {PRS_LITERAL, "{}", LN_RC_BAD_CONFIG, "literal type needs 'text' parameter"},
      {PRS_STRING_TO, "{}", LN_RC_BAD_CONFIG, "string-to type needs 'extradata' parameter"},
      {PRS_CHAR_TO, "{}", LN_RC_BAD_CONFIG, "char-to type needs 'extradata' parameter"},
      {PRS_CHAR_SEP, "{}", LN_RC_BAD_CONFIG, "char-separated type needs 'extradata' parameter"},
      {PRS_OP_QUOTED_STRING, R"({"escape":"yes"})", LN_RC_BAD_CONFIG,
       "op-quoted-string's 'escape' field should be boolean"},
      {PRS_NUMBER, R"({"maxval":"abc"})", 0, R"(param 'maxval' must be integer but is: "abc")"},
      {PRS_NUMBER, R"({"format":"hex"})", 0, "invalid value for number:format hex"},
      {PRS_NUMBER, R"({"foo":1})", 0, "invalid param for number: foo"},
      {PRS_NUMBER, R"({"name":"-"})", 0, ""},
      {PRS_FLOAT, R"({"format":"x"})", 0, "invalid value for float:format x"},
      {PRS_FLOAT, R"({"maxval":3})", 0, "invalid param for float: maxval"},
      {PRS_HEXNUMBER, R"({"bar":1})", 0, "invalid param for hexnumber: bar"},
      {PRS_STRING, R"({"quoting.mode":"x"})", LN_RC_BAD_CONFIG,
       "invalid quoting.mode for string parser: x"},
      {PRS_STRING, R"({"quoting.escape.mode":"x"})", LN_RC_BAD_CONFIG,
       "invalid quoting.escape.mode for string parser: x"},
      {PRS_STRING, R"({"quoting.char.begin":"ab"})", LN_RC_BAD_CONFIG,
       "quoting.char.begin must be exactly one character but is: 'ab'"},
      {PRS_STRING, R"({"quoting.char.end":""})", LN_RC_BAD_CONFIG,
       "quoting.char.end must be exactly one character but is: ''"},
      {PRS_STRING, R"({"matching.mode":"x"})", LN_RC_BAD_CONFIG,
       "invalid matching.mode for string parser: x"},
      {PRS_STRING, R"({"matching.permitted":[{"class":"foo"}]})", 0,
       "invalid character class 'foo'"},
      {PRS_STRING, R"({"matching.permitted":5})", 0,
       "matching.permitted is invalid object type, given as '5"},
      {PRS_STRING, R"({"name":"-"})", 0, ""},
      {PRS_STRING, R"({"name":"x"})", 0, "invalid param for string: name"},
  };
  for (const ErrCase &c : cases) {
    Edge e(c.id, c.params);
    EXPECT_EQ(e.rc, c.rc) << c.params;
    if (c.rc != 0) {
      EXPECT_EQ(e.data, nullptr) << c.params;
    }
    if (*c.msg) {
      ASSERT_FALSE(e.fc.err.msgs.empty()) << c.params;
      EXPECT_EQ(e.fc.err.msgs[0], c.msg);
    } else {
      EXPECT_TRUE(e.fc.err.msgs.empty()) << c.params;
    }
  }
}

TEST(ScalarParsers, LiteralAndCharToHelpers) {
  Edge a(PRS_LITERAL, R"({"text":"ab"})");
  Edge b(PRS_LITERAL, R"({"text":"cd"})");
  EXPECT_STREQ(ln_JsonConfLiteral(&a.fc.c, a.data), R"({ "text": "ab" })");
  ASSERT_EQ(ln_combineData_Literal(a.data, b.data), 0);
  EXPECT_STREQ(ln_DataForDisplayLiteral(&a.fc.c, a.data), "abcd");
  size_t parsed = 0;
  std::string val;
  EXPECT_EQ(a.run("abcde", 0, &parsed, &val), 0);
  EXPECT_EQ(parsed, 4u);
  EXPECT_EQ(val, R"("abcd")");

  Edge c(PRS_CHAR_TO, R"({"extradata":":;"})");
  EXPECT_STREQ(ln_DataForDisplayCharTo(&c.fc.c, c.data), "char-to{:;}");
  EXPECT_STREQ(ln_DataForDisplayCharTo(&c.fc.c, c.data), "char-to{:;}");
}

// Every parser at every offset of hostile inputs: binary bytes, invalid
// UTF-8, input ending inside a quote or an escape. Nothing may read past the
// end (the sanitizer watches) or claim more bytes than are left.
TEST(ScalarParsers, HostileInputStaysInBounds) {
  const std::vector<std::pair<prsid_t, const char *>> edges = {
      {PRS_LITERAL, R"({"text":"ab"})"}, {PRS_NUMBER, R"({"format":"number"})"},
      {PRS_FLOAT, R"({"format":"number"})"}, {PRS_HEXNUMBER, "{}"},
      {PRS_WHITESPACE, "{}"}, {PRS_WORD, "{}"}, {PRS_ALPHA, "{}"}, {PRS_REST, "{}"},
      {PRS_STRING_TO, R"({"extradata":"\"\\"})"}, {PRS_CHAR_TO, R"({"extradata":"\""})"},
      {PRS_CHAR_SEP, R"({"extradata":"\\"})"}, {PRS_QUOTED_STRING, "{}"},
      {PRS_OP_QUOTED_STRING, "{}"}, {PRS_OP_QUOTED_STRING, R"({"escape":true})"},
      {PRS_STRING, "{}"}, {PRS_STRING, R"({"quoting.mode":"required"})"},
      {PRS_STRING, R"({"matching.mode":"lazy","quoting.char.end":"\\"})"},
  };
  const std::vector<std::string> inputs = {
      "",
      "\"",
      "\\",
      "\"abc\\",
      "\"ab\"\"",
      "0x",
      "0x1",
      "-",
      "12.",
      std::string("a\0b\"\0\\", 6),
      "\xff\xfe\x80\xc3(\x01\x7f \"\xe2\x82",
      "\"a\\\\\\\"",
  };
  for (auto &[id, params] : edges) {
    Edge e(id, params);
    ASSERT_EQ(e.rc, 0);
    for (const std::string &in : inputs) {
      for (size_t o = 0; o <= in.size(); ++o) {
        size_t parsed = 0;
        std::string val;
        int r = e.run(in, o, &parsed, &val);
        EXPECT_TRUE(r == 0 || r == NM);
        if (r == 0) {
          EXPECT_LE(o + parsed, in.size());
        }
      }
    }
  }
}

} // namespace
