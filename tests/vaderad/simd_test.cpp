// The scanning primitives against their byte-wise references (exhaustive for
// short inputs, seeded random inputs around the 16-byte block boundaries,
// inputs that end at a guard page), plus the contracts' fixed cases.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vaderad/turbo_simd.h"

namespace {

std::string span_str(int rc, const ln_span_t &s) {
  return std::to_string(rc) + ":" + std::to_string(s.len) + "/" + std::to_string(s.consumed);
}

// Every span and index primitive on one input, once through the public entry
// points and once through the references; the two transcripts must be equal.
// Offsets are recorded relative to buf so that both can be compared.
std::string transcript(const char *buf, size_t len, bool ref) {
  static const char *const kSets[] = {",;", " \t", "\"\\", "abcdefghijklmnopqrstuvwxyz,.", ""};
  std::string out;
  auto add = [&](const std::string &s) { out += s + "|"; };
  auto span = [&](int rc, const ln_span_t &s) {
    add(span_str(rc, s) + "@" + std::to_string(rc == 0 || rc == -2 ? s.start - buf : 0));
  };
  for (char c : std::string(" ,\"\0a", 5))
    add(std::to_string(ref ? ln_simd_ref::find_char(buf, len, c) : ln_simd_find_char(buf, len, c)));
  for (const char *set : kSets) {
    add(std::to_string(ref ? ln_simd_ref::find_char_set(buf, len, set)
                           : ln_simd_find_char_set(buf, len, set)));
    add(std::to_string(ref ? ln_simd_ref::find_not_char_set(buf, len, set)
                           : ln_simd_find_not_char_set(buf, len, set)));
    ln_span_t s{};
    int rc = ref ? ln_simd_ref::char_to_set(buf, len, set, &s) : ln_simd_char_to_set(buf, len, set, &s);
    span(rc, s);
  }
  add(std::to_string(ref ? ln_simd_ref::skip_space(buf, len) : ln_simd_skip_space(buf, len)));
  add(std::to_string(ref ? ln_simd_ref::find_space(buf, len) : ln_simd_find_space(buf, len)));
  ln_span_t s{};
  int rc = ref ? ln_simd_ref::word(buf, len, &s) : ln_simd_word(buf, len, &s);
  span(rc, s);
  rc = ref ? ln_simd_ref::char_to(buf, len, ',', &s) : ln_simd_char_to(buf, len, ',', &s);
  span(rc, s);
  rc = ref ? ln_simd_ref::string_to(buf, len, "a,", 2, &s) : ln_simd_string_to(buf, len, "a,", 2, &s);
  span(rc, s);
  rc = ref ? ln_simd_ref::quoted(buf, len, &s) : ln_simd_quoted(buf, len, &s);
  span(rc, s);
  rc = ref ? ln_simd_ref::bracketed(buf, len, '"', 'a', &s) : ln_simd_bracketed(buf, len, '"', 'a', &s);
  span(rc, s);
  rc = ref ? ln_simd_ref::iso_date(buf, len, &s) : ln_simd_iso_date(buf, len, &s);
  span(rc, s);
  rc = ref ? ln_simd_ref::timestamp(buf, len, &s, nullptr) : ln_simd_timestamp(buf, len, &s, nullptr);
  span(rc, s);
  std::string copy(buf, len);
  size_t n = ref ? ln_simd_ref::unescape(copy.data(), len) : ln_simd_unescape(copy.data(), len);
  add(copy.substr(0, n));
  return out;
}

void expect_same(const std::string &in) {
  ASSERT_EQ(transcript(in.data(), in.size(), false), transcript(in.data(), in.size(), true))
      << "input: \"" << in << "\" (" << in.size() << " bytes)";
}

TEST(Simd, ExhaustiveShortInputsMatchReference) {
  // Every string of up to 5 bytes over the bytes the scanners care about.
  const std::string alphabet(" ,\"\\a\t\0-", 8);
  std::string s;
  std::vector<size_t> idx;
  for (size_t len = 0; len <= 5; ++len) {
    idx.assign(len, 0);
    while (true) {
      s.resize(len);
      for (size_t k = 0; k < len; ++k) s[k] = alphabet[idx[k]];
      expect_same(s);
      if (HasFatalFailure()) return;
      size_t k = 0;
      while (k < len && ++idx[k] == alphabet.size()) idx[k++] = 0;
      if (k == len) break;
    }
  }
}

TEST(Simd, RandomInputsAroundBlockBoundariesMatchReference) {
  std::mt19937 rng(12345); // fixed seed: the same inputs on every run
  const std::string alphabet(" ,\"\\a\t\0-09:Tx.\x80\xff\x0b", 17);
  for (size_t len = 0; len <= 70; ++len) {
    for (int rep = 0; rep < 300; ++rep) {
      std::string s(len, 'a');
      // Mostly filler with a few interesting bytes, so hits land in every
      // position of the block and of the tail.
      for (size_t k = 0; k < len; ++k)
        if (rng() % 4 == 0) s[k] = alphabet[rng() % alphabet.size()];
      expect_same(s);
      if (HasFatalFailure()) return;
    }
  }
  // Timestamps and dates whose fixed shape straddles the block boundary.
  for (const char *t : {"2024-01-02T03:04:05.123+01:00 x", "2024-01-02 03:04:05Z", "2024-02-31xxxxxxxxx",
                        "2024-13-01xxxxxxxxxxx", "Oct 11 2024 22:14:15 host", "1999-12-31T23:59:5x"})
    expect_same(t);
}

// Inputs whose last byte is the last byte before an unmapped page: any read
// past buf + len faults.
TEST(Simd, NeverReadsPastTheEndOfTheInput) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void *mem = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  ASSERT_EQ(mprotect(static_cast<char *>(mem) + page, page, PROT_NONE), 0);
  char *end = static_cast<char *>(mem) + page;
  const std::string fills[] = {std::string(64, 'a'), std::string(64, ' '),
                               "2024-01-02T03:04:05.123456789012345678901234567890123456789",
                               std::string(64, '"'), "Oct 11 22:14:15 aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"};
  for (const std::string &f : fills) {
    for (size_t len = 0; len <= 48; ++len) {
      char *buf = end - len;
      memcpy(buf, f.data(), len);
      transcript(buf, len, false);
      ln_number_t n;
      ln_simd_number(buf, len, &n);
      ln_simd_unsigned(buf, len, &n);
      ln_simd_hex(buf, len, &n);
      ln_ipv4_t ip;
      uint16_t port;
      ln_simd_ipv4(buf, len, &ip);
      ln_simd_ipv4_port(buf, len, &ip, &port);
    }
  }
  munmap(mem, 2 * page);
}

TEST(Simd, BytewiseBackendServesWhenForced) {
  int prev = ln_simd_force_bytewise(1);
  EXPECT_STREQ(ln_simd_backend_name(), "bytewise");
  expect_same(std::string(40, '\t') + "x");
  ln_simd_force_bytewise(prev);
  if (__builtin_cpu_supports("sse4.2")) {
    EXPECT_STREQ(ln_simd_backend_name(), "sse42");
  }
}

TEST(Simd, ContractCases) {
  std::string ws;
  const char mix[] = {'\t', '\v', '\f', ' '};
  for (int i = 0; i < 40; ++i) ws += mix[i % 4];
  for (size_t k = 0; k <= 40; ++k) // whatever the block/tail split
    EXPECT_EQ(ln_simd_skip_space((ws.substr(0, k) + "x").data(), k + 1), k);

  EXPECT_EQ(ln_simd_find_char_set("abc\0", 4, ",;"), 4u);
  const char *set20 = "ABCDEFGHIJKLMNOPQRSz";
  EXPECT_EQ(ln_simd_find_char_set("aaaazaaaaaaaaaaaaaaa", 20, set20), 4u);
  EXPECT_EQ(ln_simd_find_not_char_set("  x", 3, " "), 2u);

  ln_span_t s{};
  EXPECT_EQ(ln_simd_word(" abc", 4, &s), -2);
  EXPECT_EQ(ln_simd_word("abc", 3, &s), 0);
  EXPECT_EQ(s.len, 3u);
  EXPECT_EQ(ln_simd_char_to(",ab", 3, ',', &s), 0);
  EXPECT_EQ(s.len, 0u);
  EXPECT_EQ(ln_simd_char_to("ab", 2, ',', &s), -2);
  EXPECT_EQ(s.len, 2u);
  EXPECT_EQ(ln_simd_string_to("xa,b", 4, "a,", 2, &s), 0);
  EXPECT_EQ(s.len, 1u);
  EXPECT_EQ(ln_simd_string_to("xa,b", 4, nullptr, 2, &s), -1);

  EXPECT_EQ(ln_simd_quoted("'a\\'b' x", 8, &s), 0);
  EXPECT_EQ(std::string(s.start, s.len), "a\\'b");
  EXPECT_EQ(s.consumed, 6u);
  EXPECT_EQ(ln_simd_quoted("\"abc", 4, &s), -4);
  EXPECT_EQ(ln_simd_quoted("\"", 1, &s), -1);
  EXPECT_EQ(ln_simd_bracketed("[a[b]c]d", 8, '[', ']', &s), 0);
  EXPECT_EQ(std::string(s.start, s.len), "a[b]c");
  EXPECT_EQ(ln_simd_bracketed("[a[b]c", 6, '[', ']', &s), -4);

  EXPECT_EQ(ln_simd_iso_date("2024-02-31", 10, &s), 0);
  EXPECT_EQ(ln_simd_iso_date("2024-13-01", 10, &s), -4);
  EXPECT_EQ(ln_simd_iso_date("2024-00-10", 10, &s), -4);
  EXPECT_EQ(ln_simd_iso_date("2024-01-0", 9, &s), -4);

  int64_t ms = 7;
  const char *t1 = "2024-01-02T03:04:05.123+01:00";
  EXPECT_EQ(ln_simd_timestamp(t1, strlen(t1), &s, &ms), 0);
  EXPECT_EQ(s.len, 29u);
  EXPECT_EQ(ms, 0);
  EXPECT_EQ(ln_simd_timestamp("Oct 11 22:14:15 host", 20, &s, nullptr), 0);
  EXPECT_EQ(s.len, 15u);
  EXPECT_EQ(ln_simd_timestamp("Oct 11 2024 22:14:15", 20, &s, nullptr), 0);
  EXPECT_EQ(s.len, 20u);
  EXPECT_EQ(ln_simd_timestamp("oct 11 22:14:15 host", 20, &s, nullptr), -4);
  // An incomplete zone offset stays outside the span.
  EXPECT_EQ(ln_simd_timestamp("2024-01-02T03:04:05+01", 22, &s, nullptr), 0);
  EXPECT_EQ(s.len, 19u);

  char esc[] = "a\\\"b\\\\c\\x41\\n\\q\\";
  size_t n = ln_simd_unescape(esc, strlen(esc));
  EXPECT_EQ(std::string(esc, n), "a\"b\\cA\n\\q\\");
}

TEST(Simd, NumbersCheckBothBounds) {
  struct Case {
    const char *in;
    int rc;
    int64_t value;
    bool overflow;
    size_t consumed;
  } cases[] = {
      {"9223372036854775807", 0, INT64_MAX, false, 19},
      {"9223372036854775808", 0, INT64_MAX, true, 19},
      {"-9223372036854775808", 0, INT64_MIN, false, 20},
      {"-9223372036854775809", 0, INT64_MIN, true, 20},
      {"99999999999999999999", 0, INT64_MAX, true, 20},
      {"+12x", 0, 12, false, 3},
      {"-", -4, 0, false, 0},
      {"x", -4, 0, false, 0},
  };
  for (const Case &c : cases) {
    ln_number_t r{};
    EXPECT_EQ(ln_simd_number(c.in, strlen(c.in), &r), c.rc) << c.in;
    if (c.rc != 0) continue;
    EXPECT_EQ(r.value, c.value) << c.in;
    EXPECT_EQ(r.overflow, c.overflow) << c.in;
    EXPECT_EQ(r.consumed, c.consumed) << c.in;
  }
  ln_number_t r{};
  EXPECT_EQ(ln_simd_unsigned("-1", 2, &r), -4);
  EXPECT_EQ(ln_simd_unsigned("18446744073709551615", 20, &r), 0);
  EXPECT_FALSE(r.overflow);
  EXPECT_EQ(static_cast<uint64_t>(r.value), UINT64_MAX);
  EXPECT_EQ(ln_simd_unsigned("18446744073709551616", 20, &r), 0);
  EXPECT_TRUE(r.overflow);
  EXPECT_EQ(ln_simd_hex("0xffffffffffffffff", 18, &r), 0);
  EXPECT_FALSE(r.overflow);
  EXPECT_EQ(ln_simd_hex("0X1ffffffffffffffff", 19, &r), 0);
  EXPECT_TRUE(r.overflow);
  EXPECT_EQ(ln_simd_hex("0xg", 3, &r), 0); // no digit after the prefix: the "0" alone
  EXPECT_EQ(r.consumed, 1u);

  ln_ipv4_t ip{};
  EXPECT_EQ(ln_simd_ipv4("10.1.255.7 x", 12, &ip), 0);
  EXPECT_EQ(ip.addr, 0x0A01FF07u);
  EXPECT_EQ(ip.consumed, 10u);
  EXPECT_EQ(ln_simd_ipv4("1.2.3.4567", 10, &ip), -4);
  EXPECT_EQ(ln_simd_ipv4("1.2.256.4", 9, &ip), -4);
  EXPECT_EQ(ln_simd_ipv4("1.2.3.", 6, &ip), -4);
  uint16_t port = 1;
  EXPECT_EQ(ln_simd_ipv4_port("1.2.3.4:8080", 12, &ip, &port), 0);
  EXPECT_EQ(port, 8080);
  EXPECT_EQ(ip.consumed, 12u);
  EXPECT_EQ(ln_simd_ipv4_port("1.2.3.4:99999", 13, &ip, &port), 0);
  EXPECT_EQ(port, 0);
  EXPECT_EQ(ip.consumed, 7u);
}

} // namespace
