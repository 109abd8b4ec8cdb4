// Events files: JSON arrays and JSON Lines read one event at a time,
// flattening to field/value pairs, and event times.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "sigma/sg_event.h"

namespace {

// Reads every event of the text; the error text when reading fails.
struct read_all {
  std::vector<sg_event> events;
  std::string err;
  read_all(const std::string &text, const char *techno = nullptr, const char *product = nullptr) {
    sg_event_reader r;
    if (!sg_events_begin(&r, text.data(), text.size(), techno, product, &err)) return;
    sg_event ev;
    int rc;
    while ((rc = sg_events_next(&r, &ev, &err)) == 1) events.push_back(ev);
    if (rc < 0) events.clear();
  }
  std::string get(size_t i, const char *k) const {
    const std::string *v = events.at(i).get(k);
    return v ? *v : "<absent>";
  }
};

TEST(SgEvent, Flattening) {
  read_all r(R"([{"a":{"b":[1,2]},"n":null,"f":1.5,"t":true,"s":"x","arr":[0,1,2,3,4,5,6,7,8,9],
                 "o":{"p":{"q":"deep"}},"dup":"first","dup":"last","":"empty key"}])");
  ASSERT_EQ(r.err, "");
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(r.get(0, "a.b[0]"), "1");
  EXPECT_EQ(r.get(0, "a.b[1]"), "2");
  EXPECT_EQ(r.get(0, "n"), "<absent>");
  EXPECT_EQ(r.get(0, "f"), "1.5");
  EXPECT_EQ(r.get(0, "t"), "true");
  EXPECT_EQ(r.get(0, "arr[7]"), "7");
  EXPECT_EQ(r.get(0, "arr[8]"), "<absent>");
  EXPECT_EQ(r.get(0, "o.p.q"), "deep");
  EXPECT_EQ(r.get(0, "dup"), "last");
  EXPECT_EQ(r.get(0, ""), "<absent>");

  // A very wide event keeps every field, and a repeated key still replaces.
  std::string wide = "{";
  for (int i = 0; i < 300; ++i) wide += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  wide += "\"k5\":\"again\",\"" + std::string(300, 'x') + "\":1}";
  read_all w(wide);
  ASSERT_EQ(w.events.size(), 1u);
  EXPECT_EQ(w.events[0].kv.size(), 301u);
  EXPECT_EQ(w.get(0, "k299"), "299");
  EXPECT_EQ(w.get(0, "k5"), "again");
  EXPECT_EQ(w.get(0, std::string(255, 'x').c_str()), "1");
}

TEST(SgEvent, ArraysLinesAndErrors) {
  read_all lines("{\"a\":1}\r\n\n   {\"a\":2}  \r\n\t{\"a\":3}");
  ASSERT_EQ(lines.err, "");
  ASSERT_EQ(lines.events.size(), 3u);
  EXPECT_EQ(lines.get(2, "a"), "3");

  // More events than any fixed table: all are read, one at a time.
  std::string many;
  for (int i = 0; i < 5000; ++i) many += "{\"i\":" + std::to_string(i) + "}\n";
  read_all m(many);
  ASSERT_EQ(m.events.size(), 5000u);
  EXPECT_EQ(m.get(4999, "i"), "4999");

  read_all arr(" [ {\"a\":1} , {\"a\":2} ] \n");
  ASSERT_EQ(arr.events.size(), 2u);
  read_all empty("[]");
  EXPECT_EQ(empty.err, "");
  EXPECT_TRUE(empty.events.empty());

  struct bad_case {
    const char *text;
    const char *err;
  } bad[] = {
      {"{\"a\":1}\nnot json\n", "event JSON parse failed"},
      {"{\"a\":1} {\"b\":2}\n", "event JSON parse failed"},
      {"[{\"a\":1},", "events JSON is not an array"},
      {"[{\"a\":1},]", "events JSON is not an array"},
      {"[{\"a\":1}] x", "events JSON is not an array"},
      {"[{\"a\":1} {\"a\":2}]", "events JSON is not an array"},
      {"hello", "events must be JSON or JSONL"},
      {"  ", "events must be JSON or JSONL"},
  };
  for (const bad_case &b : bad) {
    read_all r(b.text);
    EXPECT_EQ(r.err, b.err) << b.text;
    EXPECT_TRUE(r.events.empty()) << b.text;
  }
}

TEST(SgEvent, TechnoProductAndTime) {
  read_all r("{\"techno\":\"own\",\"@timestamp\":\"2024-03-01T12:00:00Z\"}\n{\"_ts\":1709294400123}\n{\"@timestamp\":\"nonsense\"}\n",
             "linux", "sshd");
  ASSERT_EQ(r.events.size(), 3u);
  EXPECT_EQ(r.get(0, "techno"), "own");
  EXPECT_EQ(r.get(0, "product"), "sshd");
  EXPECT_EQ(r.get(1, "techno"), "linux");
  EXPECT_TRUE(r.events[0].has_ts);
  EXPECT_DOUBLE_EQ(r.events[0].ts, 1709294400.0);
  EXPECT_NEAR(r.events[1].ts, 1709294400.123, 1e-6);
  EXPECT_FALSE(r.events[2].has_ts);
}

TEST(SgEvent, TimeParsing) {
  struct good_case {
    const char *text;
    double want;
  } good[] = {
      {"2024-03-01T12:00:00Z", 1709294400.0},
      {"2024-03-01T12:00:00.250Z", 1709294400.25},
      {"2024-03-01 14:00:00+02:00", 1709294400.0},
      {"2024-03-01T10:30:00-0130", 1709294400.0},
      {"2024-03-01T12:00Z", 1709294400.0},
      {"2024-03-01T12:00:00", 1709294400.0},
      {"2024-02-29", 1709164800.0},
      {"1969-12-31T23:00:00Z", -3600.0},
      {"0001-01-01T00:00:00Z", -62135596800.0},
      {"1709294400", 1709294400.0},
      {"1709294400.5", 1709294400.5},
      {"1709294400123", 1709294400.123},
      {" 60 ", 60.0},
  };
  for (const good_case &g : good) {
    double t = -1;
    EXPECT_TRUE(sg_parse_time(g.text, &t)) << g.text;
    EXPECT_NEAR(t, g.want, 1e-6) << g.text;
  }
  for (const char *bad : {"2024-13-01T00:00:00Z", "2023-02-29", "2024-03-01T24:00:00Z",
                          "2024-03-01T12:00:00+25:00", "2024-03-01T12:00:00Zjunk", "2024-03-01T",
                          "NaN", "inf", "-inf", "1e400", "1e300", "-1e20", "12abc", "", "abc"}) {
    double t = 0;
    EXPECT_FALSE(sg_parse_time(bad, &t)) << bad;
  }
}

} // namespace
