// Date, time and address field parsers, driven directly with a hand-built
// walker state. Every message is copied into a buffer of exactly its length
// (no terminator), so a read past the end shows up under the address
// sanitizer.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "normalizer/parser.h"
#include "parser_harness.h"

namespace {


TEST(DateRfc5424, AcceptedFormsAndBadInput) {
  const prsid_t D = PRS_DATE_RFC5424;
  runTable({
      {D, "{}", "2026-03-01T10:11:12Z rest", 0, 20, "\"2026-03-01T10:11:12Z\""},
      {D, "{}", "2026-03-01T10:11:12.123456+02:00", 0, 32, "\"2026-03-01T10:11:12.123456+02:00\""},
      {D, "{}", "2026-03-01T10:11:60Z", 0, 20, "\"2026-03-01T10:11:60Z\""},
      // Digit runs may be empty where a field has no lower bound.
      {D, "{}", "-1-1T::Z", 0, 8, "\"-1-1T::Z\""},
      {D, "{}", "2026-03-01T10:11:12", NM, 0, ""},        // no time zone
      {D, "{}", "2026-03-01T10:11:12Zx", NM, 0, ""},      // not followed by a blank
      {D, "{}", "2026-03-01T10:11:12\tZ", NM, 0, ""},
      {D, "{}", "2026-13-01T10:11:12Z", NM, 0, ""},
      {D, "{}", "2026-03-00T10:11:12Z", NM, 0, ""},
      {D, "{}", "2026-03-01T24:11:12Z", NM, 0, ""},
      {D, "{}", "2026-03-01T10:60:12Z", NM, 0, ""},
      {D, "{}", "2026-03-01T10:11:61Z", NM, 0, ""},
      {D, "{}", "2026-03-01T10:11:12+24:00", NM, 0, ""},
      {D, "{}", "2026-03-01T10:11:12+02", NM, 0, ""},     // truncated offset
      {D, "{}", "2026-03-01T10:11:12.5", NM, 0, ""},      // fraction runs to the end
      {D, "{}", "2026-03-01T10:11:12.Z", NM, 0, ""},      // fraction without digits
      {D, "{}", "2026-03-01T10:11:1", NM, 0, ""},
      {D, "{}", "99999999999999999999-03-01T10:11:12Z", 0, 36,
       "\"99999999999999999999-03-01T10:11:12Z\""},
      {D, "{}", "2026-0000000000000000000003-01T10:11:12Z", 0, 40,
       "\"2026-0000000000000000000003-01T10:11:12Z\""},
      {D, "{}", "", NM, 0, ""},
      // Unix time.
      {D, R"({"format":"timestamp-unix"})", "1970-01-01T00:00:00Z", 0, 20, "0"},
      {D, R"({"format":"timestamp-unix"})", "2026-03-01T10:11:12Z", 0, 20, "1772359872"},
      {D, R"({"format":"timestamp-unix"})", "2000-03-01T00:00:00+01:00", 0, 25, "951865200"},
      {D, R"({"format":"timestamp-unix"})", "2026-03-01T10:11:12-05:30 x", 0, 25, "1772379672"},
      {D, R"({"format":"timestamp-unix-ms"})", "2026-03-01T10:11:12.25Z", 0, 23, "1772359872250"},
      {D, R"({"format":"timestamp-unix-ms"})", "2026-03-01T10:11:12.1239Z", 0, 25, "1772359872123"},
      {D, R"({"format":"timestamp-unix-ms"})", "2026-03-01T10:11:12Z", 0, 20, "1772359872000"},
      // Years outside 1970 to 2100 give 0.
      {D, R"({"format":"timestamp-unix"})", "1969-12-31T23:59:59Z", 0, 20, "0"},
      {D, R"({"format":"timestamp-unix"})", "2101-01-01T00:00:00Z", 0, 20, "0"},
  });
}

TEST(DateRfc3164, AcceptedFormsAndBadInput) {
  const prsid_t D = PRS_DATE_RFC3164;
  runTable({
      {D, "{}", "Oct 11 22:14:15 host", 0, 15, "\"Oct 11 22:14:15\""},
      {D, "{}", "Oct  1 22:14:15", 0, 15, "\"Oct  1 22:14:15\""},
      {D, "{}", "Oct 1 22:14:15", 0, 14, "\"Oct 1 22:14:15\""},
      {D, "{}", "oCT 11 22:14:15: msg", 0, 16, "\"oCT 11 22:14:15:\""},
      {D, "{}", "Dec 31 2026 23:59:60x", 0, 20, "\"Dec 31 2026 23:59:60\""},
      {D, "{}", "Oct 11 1970 22:14:15", NM, 0, ""}, // 1970 is no year: read as an hour
      {D, "{}", "Oct 11 2026  22:14:15", NM, 0, ""},
      {D, "{}", "Oct   1 22:14:15", NM, 0, ""},
      {D, "{}", "Oct 11 22:14", NM, 0, ""},
      {D, "{}", "Oct 11 22:14:", NM, 0, ""},
      {D, "{}", "Oct 32 22:14:15", NM, 0, ""},
      {D, "{}", "Oct 0 22:14:15", NM, 0, ""},
      {D, "{}", "Oct 11 24:14:15", NM, 0, ""},
      {D, "{}", "Oct 11 22:60:15", NM, 0, ""},
      {D, "{}", "Oct 11 22:14:61", NM, 0, ""},
      {D, "{}", "Okt 11 22:14:15", NM, 0, ""},
      {D, "{}", "Oct11 22:14:15", NM, 0, ""},
      {D, "{}", "Oc", NM, 0, ""},
      {D, "{}", "Oct", NM, 0, ""},
      {D, "{}", "Oct 11", NM, 0, ""},
  });
}

// The Unix time of an RFC 3164 date uses the current year (UTC); the
// expected value is computed the same way so the test does not depend on
// the date it runs on.
TEST(DateRfc3164, UnixTimeUsesTheCurrentYear) {
  const time_t now = time(nullptr);
  struct tm tm;
  gmtime_r(&now, &tm);
  const int64_t expect = syslogTime2time_t(tm.tm_year + 1900, 10, 11, 22, 14, 15, 0, 0, '+');
  ASSERT_GT(expect, 0);
  for (int ms = 0; ms < 2; ++ms) {
    Edge e(PRS_DATE_RFC3164, ms ? R"({"format":"timestamp-unix-ms"})" : R"({"format":"timestamp-unix"})");
    size_t parsed = 0;
    std::string val;
    // The year in the text is ignored.
    ASSERT_EQ(e.run("Oct 11 1999 22:14:15 x", 0, &parsed, &val), 0);
    EXPECT_EQ(parsed, 20u);
    // A second sample may run on the other side of New Year; retry once.
    const int64_t want = ms ? expect * 1000 : expect;
    if (val != std::to_string(want)) {
      const time_t now2 = time(nullptr);
      gmtime_r(&now2, &tm);
      const int64_t e2 = syslogTime2time_t(tm.tm_year + 1900, 10, 11, 22, 14, 15, 0, 0, '+');
      EXPECT_EQ(val, std::to_string(ms ? e2 * 1000 : e2));
    }
  }
}

TEST(DateFormats, ConstructorMessagesNeverFail) {
  {
    Edge e(PRS_DATE_RFC5424, R"({"format":"iso","name":"-","color":1})");
    EXPECT_EQ(e.rc, 0);
    ASSERT_EQ(e.fc.err.msgs.size(), 2u);
    EXPECT_NE(e.fc.err.msgs[0].find("invalid value for date-rfc5424:format iso"), std::string::npos);
    EXPECT_NE(e.fc.err.msgs[1].find("invalid param for date-rfc5424 color"), std::string::npos);
    size_t parsed;
    std::string val;
    ASSERT_EQ(e.run("2026-03-01T10:11:12Z", 0, &parsed, &val), 0);
    EXPECT_EQ(val, "\"2026-03-01T10:11:12Z\""); // default mode kept
  }
  {
    Edge e(PRS_DATE_RFC3164, R"({"format":7})");
    EXPECT_EQ(e.rc, 0);
    ASSERT_EQ(e.fc.err.msgs.size(), 1u);
    EXPECT_NE(e.fc.err.msgs[0].find("invalid value for date-rfc3164:format null"), std::string::npos);
  }
}

TEST(SyslogTime2TimeT, CalendarArithmetic) {
  EXPECT_EQ(syslogTime2time_t(1970, 1, 1, 0, 0, 0, 0, 0, '+'), 0);
  EXPECT_EQ(syslogTime2time_t(2000, 3, 1, 0, 0, 0, 0, 0, '+'), 951868800);  // 2000 is a leap year
  EXPECT_EQ(syslogTime2time_t(2100, 3, 1, 0, 0, 0, 0, 0, '+'), 4107542400); // 2100 is not
  EXPECT_EQ(syslogTime2time_t(2024, 2, 29, 12, 0, 0, 0, 0, '+'), 1709208000);
  EXPECT_EQ(syslogTime2time_t(2024, 12, 31, 23, 59, 60, 0, 0, '+'), 1735689600);
  EXPECT_EQ(syslogTime2time_t(2099, 12, 31, 23, 59, 59, 0, 0, '+'), 4102444799);
  EXPECT_EQ(syslogTime2time_t(2026, 3, 1, 10, 11, 12, 1, 30, '+'), 1772359872 - 5400);
  EXPECT_EQ(syslogTime2time_t(2026, 3, 1, 10, 11, 12, 1, 30, '-'), 1772359872 + 5400);
  EXPECT_EQ(syslogTime2time_t(1969, 12, 31, 23, 59, 59, 0, 0, '+'), 0);
  EXPECT_EQ(syslogTime2time_t(2101, 1, 1, 0, 0, 0, 0, 0, '+'), 0);
  EXPECT_EQ(syslogTime2time_t(2026, 13, 1, 0, 0, 0, 0, 0, '+'), 0); // no month 13
  EXPECT_EQ(syslogTime2time_t(2026, 0, 1, 0, 0, 0, 0, 0, '+'), 0);
}

TEST(FixedShapes, KernelTimestampIsoDateClocksDurationMac) {
  runTable({
      {PRS_KERNEL_TIMESTAMP, "{}", "[12345.123456] eth0", 0, 14, "\"[12345.123456]\""},
      {PRS_KERNEL_TIMESTAMP, "{}", "[123456789012.123456]", 0, 21, "\"[123456789012.123456]\""},
      {PRS_KERNEL_TIMESTAMP, "{}", "[1234.123456]x", NM, 0, ""},
      {PRS_KERNEL_TIMESTAMP, "{}", "[1234567890123.123456]", NM, 0, ""},
      {PRS_KERNEL_TIMESTAMP, "{}", "[12345.12345]", NM, 0, ""},
      {PRS_KERNEL_TIMESTAMP, "{}", "[12345.1234567]", NM, 0, ""},
      {PRS_KERNEL_TIMESTAMP, "{}", "[12345.123456", NM, 0, ""},
      {PRS_DATE_ISO, "{}", "2026-12-10T08:00", 0, 10, "\"2026-12-10\""},
      {PRS_DATE_ISO, "{}", "2026-02-30", 0, 10, "\"2026-02-30\""},
      {PRS_DATE_ISO, "{}", "2026-13-01", NM, 0, ""},
      {PRS_DATE_ISO, "{}", "2026-00-10", NM, 0, ""},
      {PRS_DATE_ISO, "{}", "2026-12-32", NM, 0, ""},
      {PRS_DATE_ISO, "{}", "2026-12-00", NM, 0, ""},
      {PRS_DATE_ISO, "{}", "2026-12-1", NM, 0, ""},
      {PRS_DATE_ISO, "{}", "26-12-10xx", NM, 0, ""},
      {PRS_TIME_24HR, "{}", "23:59:59", 0, 8, "\"23:59:59\""},
      {PRS_TIME_24HR, "{}", "00:00:00.5", 0, 8, "\"00:00:00\""},
      {PRS_TIME_24HR, "{}", "24:00:00", NM, 0, ""},
      {PRS_TIME_24HR, "{}", "12:60:00", NM, 0, ""},
      {PRS_TIME_24HR, "{}", "12:00:60", NM, 0, ""},
      {PRS_TIME_24HR, "{}", "1:00:00", NM, 0, ""},
      {PRS_TIME_24HR, "{}", "12:00:0", NM, 0, ""},
      {PRS_TIME_12HR, "{}", "00:10:10", 0, 8, "\"00:10:10\""},
      {PRS_TIME_12HR, "{}", "12:59:59", 0, 8, "\"12:59:59\""},
      {PRS_TIME_12HR, "{}", "13:00:00", NM, 0, ""},
      {PRS_DURATION, "{}", "1:02:03", 0, 7, "\"1:02:03\""},
      {PRS_DURATION, "{}", "12:02:03 h", 0, 8, "\"12:02:03\""},
      {PRS_DURATION, "{}", "123:02:03", NM, 0, ""},
      {PRS_DURATION, "{}", "1:60:03", NM, 0, ""},
      {PRS_DURATION, "{}", "1:02:0", NM, 0, ""},
      {PRS_DURATION, "{}", "1:", NM, 0, ""},
      {PRS_MAC48, "{}", "00:1a:2B:3c:4d:5e", 0, 17, "\"00:1a:2B:3c:4d:5e\""},
      {PRS_MAC48, "{}", "00-1a-2b-3c-4d-5e-ff", 0, 17, "\"00-1a-2b-3c-4d-5e\""},
      {PRS_MAC48, "{}", "00:1a-2b:3c:4d:5e", NM, 0, ""},
      {PRS_MAC48, "{}", "00:1a:2b:3c:4d:5", NM, 0, ""},
      {PRS_MAC48, "{}", "00:1a:2b:3c:4d:5g", NM, 0, ""},
      {PRS_MAC48, "{}", "00.1a.2b.3c.4d.5e", NM, 0, ""},
  });
}

TEST(Addresses, IPv4AndIPv6) {
  const prsid_t V4 = PRS_IPV4, V6 = PRS_IPV6;
  runTable({
      {V4, "{}", "192.168.1.1 port", 0, 11, "\"192.168.1.1\""},
      {V4, "{}", "01.002.3.4", 0, 10, "\"01.002.3.4\""},
      {V4, "{}", "1.2.3.99", 0, 8, "\"1.2.3.99\""},
      {V4, "{}", "1.2.3.2555", 0, 9, "\"1.2.3.255\""}, // the 5 stays for what follows
      {V4, "{}", "1.2.3.4567", NM, 0, ""},              // 456 is no address byte
      {V4, "{}", "256.1.1.1", NM, 0, ""},
      {V4, "{}", "1.2.3.999", NM, 0, ""},
      {V4, "{}", "1.2.3", NM, 0, ""},
      {V4, "{}", "1.2.3.x", NM, 0, ""},
      {V4, "{}", "1.2.3.", NM, 0, ""},
      {V4, "{}", "1234.1.1.1", NM, 0, ""},
      {V4, "{}", "1.2.3.4.5", 0, 7, "\"1.2.3.4\""}, // a fifth group is left alone
      {V6, "{}", "fe80::1 x", 0, 7, "\"fe80::1\""},
      {V6, "{}", "::1", 0, 3, "\"::1\""},
      {V6, "{}", "::", 0, 2, "\"::\""},
      {V6, "{}", "1::", 0, 3, "\"1::\""},
      {V6, "{}", "2001:db8::8a2e:370:7334]", 0, 23, "\"2001:db8::8a2e:370:7334\""},
      {V6, "{}", "1:2:3:4:5:6:7:8", 0, 15, "\"1:2:3:4:5:6:7:8\""},
      {V6, "{}", "1:2:3:4:5:6:7:8:9", 0, 15, "\"1:2:3:4:5:6:7:8\""},
      {V6, "{}", "::ffff:192.168.1.1", 0, 18, "\"::ffff:192.168.1.1\""},
      {V6, "{}", "12345", 0, 4, "\"1234\""},
      {V6, "{}", "1.2.3.4", NM, 0, ""},           // plain IPv4
      {V6, "{}", "::ffff:1.2.3", NM, 0, ""},      // bad embedded IPv4
      {V6, "{}", "1::2::3", NM, 0, ""},           // two abbreviations
      {V6, "{}", "::1:2:3:4:5:6:7", NM, 0, ""},   // "::" with eight blocks
      {V6, "{}", "1:2:", NM, 0, ""},              // single colon at the end
      {V6, "{}", "1:2: x", NM, 0, ""},            // ends in a single colon
      {V6, "{}", ":1", NM, 0, ""},
      {V6, "{}", "g::", NM, 0, ""},
      {V6, "{}", "a", NM, 0, ""},
  });
}

// Parsers started at an offset inside the message, and at its very end.
TEST(Offsets, StartInsideAndAtTheEnd) {
  Edge v4(PRS_IPV4, "{}");
  size_t parsed;
  std::string val;
  EXPECT_EQ(v4.run("src=10.0.0.1", 4, &parsed, &val), 0);
  EXPECT_EQ(parsed, 8u);
  EXPECT_EQ(val, "\"10.0.0.1\"");
  for (prsid_t id : {PRS_DATE_RFC5424, PRS_DATE_RFC3164, PRS_KERNEL_TIMESTAMP, PRS_DATE_ISO,
                     PRS_TIME_24HR, PRS_TIME_12HR, PRS_DURATION, PRS_IPV4, PRS_IPV6, PRS_MAC48}) {
    Edge e(id, "{}");
    EXPECT_EQ(e.run("x 10:00:00", 10, &parsed, &val), NM) << parser_lookup_table[id].name;
  }
}

} // namespace
