// Text builder, JSON string writer and the small string helpers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/veldra.h"

namespace {

// Releases the builder and hands back its text ("<null>" for a null result).
std::string take(vdr_sb *sb) {
  char *p = vdr_sb_release(sb);
  if (!p) return "<null>";
  std::string s = p;
  vdr_free(p);
  return s;
}

std::string json(const char *s, size_t n) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  EXPECT_EQ(vdr_sb_json_stringn(&sb, s, n), 0);
  return take(&sb);
}

TEST(TextBuilder, ReleaseOfUntouchedBufferIsEmptyText) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  EXPECT_EQ(sb.buf, nullptr);
  EXPECT_EQ(sb.len, 0u);
  EXPECT_EQ(sb.cap, 0u);
  EXPECT_EQ(sb.oom, 0);
  char *p = vdr_sb_release(&sb);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p, "");
  vdr_free(p);
}

TEST(TextBuilder, GrowthStartsAt256AndDoubles) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  ASSERT_EQ(vdr_sb_puts(&sb, "abc"), 0);
  EXPECT_EQ(sb.cap, 256u);
  ASSERT_EQ(vdr_sb_putn(&sb, std::string(252, 'x').data(), 252), 0); // 255 + terminator
  EXPECT_EQ(sb.cap, 256u);
  ASSERT_EQ(vdr_sb_putc(&sb, 'y'), 0);
  EXPECT_EQ(sb.cap, 512u);
  ASSERT_EQ(vdr_sb_putn(&sb, std::string(1500, 'z').data(), 1500), 0); // needs 1757
  EXPECT_EQ(sb.cap, 2048u);
  EXPECT_EQ(sb.len, 1756u);
  EXPECT_EQ(sb.buf[sb.len], '\0');
  vdr_sb_free(&sb);
  EXPECT_EQ(sb.buf, nullptr);
  EXPECT_EQ(sb.cap, 0u);

  vdr_sb_init(&sb);
  ASSERT_EQ(vdr_sb_putn(&sb, std::string(300, 'a').data(), 300), 0);
  EXPECT_EQ(sb.cap, 512u);
  EXPECT_EQ(take(&sb), std::string(300, 'a'));
}

TEST(TextBuilder, PrintfMeasuresThenFormats) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  ASSERT_EQ(vdr_sb_printf(&sb, "%s=%d;", "n", 42), 0);
  std::string big(400, 'b');
  ASSERT_EQ(vdr_sb_printf(&sb, "[%s]%zu", big.c_str(), size_t{7}), 0);
  EXPECT_EQ(sb.cap, 512u);
  EXPECT_EQ(take(&sb), "n=42;[" + big + "]7");
}

// A format the C library cannot render (a wide character with no narrow
// form in the C locale) sets the latch like an allocation failure.
TEST(TextBuilder, PrintfFormatErrorLatches) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  ASSERT_EQ(vdr_sb_puts(&sb, "ok"), 0);
  const wchar_t bad[] = {static_cast<wchar_t>(0x20AC), 0};
  EXPECT_EQ(vdr_sb_printf(&sb, "%ls", bad), -1);
  EXPECT_EQ(sb.oom, 1);
  EXPECT_EQ(take(&sb), "<null>");
}

// After a size overflow every append fails and leaves the text alone; the
// release gives null and the builder is then as new.
TEST(TextBuilder, OutOfMemoryLatchIsSticky) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  ASSERT_EQ(vdr_sb_puts(&sb, "keep"), 0);
  EXPECT_EQ(vdr_sb_putn(&sb, "x", static_cast<size_t>(INT64_MAX)), -1);
  EXPECT_EQ(sb.oom, 1);
  EXPECT_STREQ(sb.buf, "keep");
  EXPECT_EQ(sb.cap, 256u);

  EXPECT_EQ(vdr_sb_puts(&sb, "more"), -1);
  EXPECT_EQ(vdr_sb_putc(&sb, 'c'), -1);
  EXPECT_EQ(vdr_sb_putn(&sb, "", 0), -1);
  EXPECT_EQ(vdr_sb_printf(&sb, "%d", 1), -1);
  EXPECT_EQ(vdr_sb_json_string(&sb, "j"), -1);
  EXPECT_EQ(vdr_sb_json_string(&sb, nullptr), -1);
  EXPECT_EQ(vdr_sb_puts(&sb, nullptr), 0); // a null text appends nothing, even now
  EXPECT_STREQ(sb.buf, "keep");
  EXPECT_EQ(sb.len, 4u);

  EXPECT_EQ(take(&sb), "<null>");
  EXPECT_EQ(sb.buf, nullptr);
  EXPECT_EQ(sb.oom, 0);
  ASSERT_EQ(vdr_sb_puts(&sb, "again"), 0);
  EXPECT_EQ(take(&sb), "again");
}

TEST(TextBuilder, LengthsThatCannotBeSizedLatch) {
  for (size_t n : {SIZE_MAX, SIZE_MAX - 1, static_cast<size_t>(INT64_MAX) + 1}) {
    vdr_sb sb;
    vdr_sb_init(&sb);
    ASSERT_EQ(vdr_sb_putc(&sb, 'a'), 0);
    EXPECT_EQ(vdr_sb_putn(&sb, "a", n), -1) << n;
    EXPECT_EQ(sb.oom, 1) << n;
    vdr_sb_free(&sb);
    EXPECT_EQ(sb.oom, 0);
  }
}

// Appending the builder's own text while it grows must not read freed
// memory (the sanitizer build would report it).
TEST(TextBuilder, AppendsOfItsOwnTextSurviveGrowth) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  ASSERT_EQ(vdr_sb_puts(&sb, "ab\"c"), 0);
  std::string expect = "ab\"c";
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(vdr_sb_puts(&sb, sb.buf), 0);
    expect += expect;
  }
  EXPECT_EQ(std::string(sb.buf), expect);
  ASSERT_EQ(vdr_sb_printf(&sb, "<%s>", sb.buf), 0);
  expect += "<" + expect + ">";
  EXPECT_EQ(std::string(sb.buf), expect);
  std::string quoted = expect;
  ASSERT_EQ(vdr_sb_json_string(&sb, sb.buf + 1000), 0);
  std::string tail = expect.substr(1000), esc;
  for (char c : tail) esc += c == '"' ? std::string("\\\"") : std::string(1, c);
  EXPECT_EQ(take(&sb), expect + "\"" + esc + "\"");
}

TEST(JsonString, EveryControlByte) {
  std::string all;
  for (int c = 0; c < 32; ++c) all += static_cast<char>(c);
  EXPECT_EQ(json(all.data(), all.size()),
            "\"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r"
            "\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019"
            "\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f\"");
}

TEST(JsonString, QuotesBackslashesAndBytesLeftAlone) {
  const char in[] = "q\"b\\s/d\x7f";
  EXPECT_EQ(json(in, sizeof in - 1), "\"q\\\"b\\\\s/d\x7f\"");
  // Well-formed UTF-8 is copied as it stands, not re-encoded.
  const char mixed[] = "A\x01\xC3\xA9\t";
  EXPECT_EQ(json(mixed, sizeof mixed - 1), "\"A\\u0001\xC3\xA9\\t\"");
}

// The output is valid UTF-8 whatever the input: a byte that does not begin a
// well-formed sequence is written as \u00XX of its value; well-formed
// sequences of every length stay as they are.
TEST(JsonString, BytesOfInvalidSequencesAreEscaped) {
  struct {
    std::string in, out;
  } cases[] = {
      {"\x80\xff", "\\u0080\\u00ff"},
      {"\xC3", "\\u00c3"},                            // cut short at the end
      {"\xC3(", "\\u00c3("},                          // cut short by ASCII
      {"\xC0\xAF", "\\u00c0\\u00af"},                 // overlong "/"
      {"\xE0\x80\xAF", "\\u00e0\\u0080\\u00af"},      // overlong, three bytes
      {"\xED\xA0\x80", "\\u00ed\\u00a0\\u0080"},      // a surrogate
      {"\xF4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"}, // above U+10FFFF
      {"\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", "\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
      {"a\xE2\x82z", "a\\u00e2\\u0082z"},
      // ASCII runs longer than a word around bad bytes and good sequences
      {"abcdefghij\xffklmnopqrstuvw\xC3(xyz\xE2\x82\xAC0123456789",
       "abcdefghij\\u00ffklmnopqrstuvw\\u00c3(xyz\xE2\x82\xAC0123456789"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(json(c.in.data(), c.in.size()), "\"" + c.out + "\"") << c.out;
    vdr_sb sb;
    vdr_sb_init(&sb);
    ASSERT_EQ(vdr_sb_json_text(&sb, c.in.data(), c.in.size()), 0);
    EXPECT_EQ(take(&sb), c.out);
  }
  EXPECT_EQ(vdr_utf8_len("\xF0\x9F\x98\x80", 4), 4u);
  EXPECT_EQ(vdr_utf8_len("\xF0\x9F\x98", 3), 0u);
}

TEST(JsonString, NullAndEmptyAreTwoQuotes) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  ASSERT_EQ(vdr_sb_json_string(&sb, nullptr), 0);
  ASSERT_EQ(vdr_sb_json_string(&sb, ""), 0);
  ASSERT_EQ(vdr_sb_json_stringn(&sb, nullptr, 5), 0);
  EXPECT_EQ(take(&sb), "\"\"\"\"\"\"");
}

TEST(JsonString, LongRunsCrossGrowth) {
  std::string in(1000, 'x');
  in[500] = '\n';
  EXPECT_EQ(json(in.data(), in.size()), "\"" + in.substr(0, 500) + "\\n" + in.substr(501) + "\"");
}

TEST(StringHelpers, JoinsCopiesAndTypeNames) {
  auto own = [](char *p) {
    std::string s = p ? p : "<null>";
    vdr_free(p);
    return s;
  };
  EXPECT_EQ(own(vdr_strjoin_path("a.b", "c")), "a.b.c");
  EXPECT_EQ(own(vdr_strjoin_path(nullptr, "c")), "c");
  EXPECT_EQ(own(vdr_strjoin_path(nullptr, nullptr)), "<null>");
  EXPECT_EQ(own(vdr_strjoin_path("", "k")), ".k");
  EXPECT_EQ(own(vdr_strjoin_index(nullptr, 3)), "[3]");
  EXPECT_EQ(own(vdr_strjoin_index("tags", 12)), "tags[12]");
  EXPECT_EQ(own(vdr_strjoin_index("a", SIZE_MAX)), "a[18446744073709551615]");
  EXPECT_EQ(own(vdr_strdup_checked("dup")), "dup");
  EXPECT_EQ(own(vdr_strdup_checked(nullptr)), "<null>");

  const char *names[] = {"null", "boolean", "double", "int", "object", "array", "string"};
  for (int t = 0; t < 7; ++t) EXPECT_STREQ(vdr_type_name(t), names[t]);
  EXPECT_STREQ(vdr_type_name(7), "unknown");
  EXPECT_STREQ(vdr_type_name(-1), "unknown");
}

}  // namespace
