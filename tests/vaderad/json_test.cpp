// The JSON writer of flat results: member order and nesting, duplicates,
// values and escapes, tags, buffer limits, and the cases where no valid JSON
// can be written (the writer fails and VaderAD declines).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "vaderad/turbo_json.h"

namespace {

struct R {
  ln_fast_result_t r{};
  std::string names[LN_FAST_MAX_FIELDS];

  ln_fast_field_t &add(const std::string &name) {
    names[r.n_fields] = name;
    ln_fast_field_t &f = r.fields[r.n_fields++];
    memset(&f, 0, sizeof f);
    f.name = names[r.n_fields - 1].data();
    f.name_len = static_cast<uint16_t>(name.size());
    return f;
  }
  void text(const std::string &name, const std::string &v, bool raw = false) {
    ln_fast_field_t &f = add(name);
    f.flags = LN_FF_TEXT | (raw ? LN_FF_RAW_JSON : 0);
    f.type = LN_FTYPE_STRING_INLINE;
    ASSERT_LE(v.size(), 47u);
    memcpy(f.v.inl, v.data(), v.size());
    f.inl_len = static_cast<uint32_t>(v.size());
  }
  void integer(const std::string &name, int64_t v) {
    ln_fast_field_t &f = add(name);
    f.type = LN_FTYPE_INT;
    f.v.i = v;
  }
  void dbl(const std::string &name, double v) {
    ln_fast_field_t &f = add(name);
    f.type = LN_FTYPE_DOUBLE;
    f.v.d = v;
  }
  std::string json() const {
    char *s = nullptr;
    size_t n = 0;
    if (ln_fast_to_json_alloc(&r, &s, &n) != 0) return "<failed>";
    std::string out(s, n);
    EXPECT_EQ(strlen(s), n);
    free(s);
    EXPECT_TRUE(ln_json_text_valid(out.data(), out.size())) << out;
    return out;
  }
};

TEST(FastJson, OrderNestingAndDuplicates) {
  EXPECT_EQ(R().json(), "{}");
  R a;
  a.text("b", "1");
  a.text("a.y", "2");
  a.text("a.x", "3");
  a.text("c", "4");
  EXPECT_EQ(a.json(), R"({"a":{"x":"3","y":"2"},"b":"1","c":"4"})");
  R d;
  d.integer("a", 1);
  d.integer("a", 2);
  EXPECT_EQ(d.json(), R"({"a":2,"a":1})");
  R p;
  p.text("a.b", "x");
  p.text("a", "v");
  EXPECT_EQ(p.json(), R"({"a":"v","a":{"b":"x"}})");
  R deep;
  deep.text("a.b.c", "1");
  deep.text("a.b.d", "2");
  deep.text("a.e", "3");
  deep.text("f", "4");
  EXPECT_EQ(deep.json(), R"({"a":{"b":{"c":"1","d":"2"},"e":"3"},"f":"4"})");
}

TEST(FastJson, ValuesAndEscapes) {
  R r;
  r.integer("i", -1234567);
  r.integer("min", INT64_MIN);
  r.dbl("d", 1.5);
  r.dbl("third", 1.0 / 3);
  r.text("o", "{\"k\":[1,2]}", true);
  r.text("s", std::string("\t\"\x01\\ \xc3\xa9/\0z", 10));
  ln_fast_field_t &b = r.add("t");
  b.type = LN_FTYPE_BOOL;
  b.v.b = true;
  r.add("z").type = LN_FTYPE_NULL;
  EXPECT_EQ(r.json(), "{\"d\":1.5,\"i\":-1234567,\"min\":-9223372036854775808,\"o\":{\"k\":[1,2]},"
                      "\"s\":\"\\t\\\"\\u0001\\\\ \xc3\xa9/\\u0000z\",\"t\":true,"
                      "\"third\":0.3333333333333333,\"z\":null}");
}

// Byte-by-byte reference of a JSON string.
std::string ref_escaped(const std::string &s) {
  std::string o = "\"";
  for (unsigned char c : s) {
    char u[8];
    switch (c) {
    case '"': o += "\\\""; break;
    case '\\': o += "\\\\"; break;
    case '\b': o += "\\b"; break;
    case '\t': o += "\\t"; break;
    case '\n': o += "\\n"; break;
    case '\f': o += "\\f"; break;
    case '\r': o += "\\r"; break;
    default:
      if (c < 0x20) {
        snprintf(u, sizeof u, "\\u%04x", c);
        o += u;
      } else {
        o += static_cast<char>(c);
      }
    }
  }
  return o + "\"";
}

// The writer copies clean runs a word at a time and compares names by an
// eight-byte key first: escapes at every position of every length around the
// word size, and names that differ only past the key, agree with a byte-wise
// reference (names without dots: members in byte order, equal names newest
// first).
TEST(FastJson, WordCopiesAndNameKeysMatchAByteWiseReference) {
  static const char special[] = "\"\\\x01\x1f\n";
  for (size_t len = 0; len <= 40; ++len)
    for (size_t pos = 0; pos <= len; ++pos)
      for (size_t k = 0; k < 5; ++k) {
        std::string v(len, 'x');
        for (size_t i = 0; i < len; ++i) v[i] = static_cast<char>(0x20 + (i * 7 + len) % 95);
        for (char &c : v)
          if (c == '"' || c == '\\') c = 'q';
        if (pos < len) v[pos] = special[k];
        R r;
        r.text("v", v);
        ASSERT_EQ(r.json(), "{\"v\":" + ref_escaped(v) + "}") << "len " << len << " pos " << pos;
      }
  std::mt19937 rng(7);
  static const char bytes[] = "ab\x7f\xff\x01 \"\\";
  for (int rep = 0; rep < 400; ++rep) {
    R r;
    std::vector<std::pair<std::string, std::string>> fields;
    const int nf = 1 + static_cast<int>(rng() % 24);
    for (int i = 0; i < nf; ++i) {
      // Long shared prefixes, so that many keys tie.
      std::string name = rng() % 2 ? "abababab" : "";
      for (int k = static_cast<int>(rng() % 12); k > 0 || name.empty(); --k) name += bytes[rng() % 8];
      if (rng() % 4 == 0 && !fields.empty()) name = fields[rng() % fields.size()].first;
      std::string val;
      for (int k = static_cast<int>(rng() % 47); k > 0; --k) val += bytes[rng() % 8];
      r.text(name, val);
      fields.emplace_back(name, val);
    }
    std::vector<int> order(fields.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(order.size() - 1 - i);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return fields[a].first < fields[b].first; });
    std::string want = "{";
    for (size_t i = 0; i < order.size(); ++i) {
      if (i) want += ",";
      want += ref_escaped(fields[order[i]].first) + ":" + ref_escaped(fields[order[i]].second);
    }
    want += "}";
    ASSERT_EQ(r.json(), want) << "rep " << rep;
  }
}

TEST(FastJson, TagsFollowTheFields) {
  R r;
  r.text("a", "1");
  r.r.tags[0] = {"x", 0};
  r.r.tags[1] = {"y\"", 0};
  r.r.n_tags = 2;
  EXPECT_EQ(r.json(), R"({"a":"1","tags":["x","y\""]})");
  R t;
  t.r.tags[0] = {"x", 0};
  t.r.n_tags = 1;
  EXPECT_EQ(t.json(), R"({"tags":["x"]})");
}

// Names are taken by their length: a name pointing into a longer text (a
// span of the message or the program) must not run on.
TEST(FastJson, NamesByLength) {
  R r;
  r.text("ab", "1");
  r.r.fields[0].name_len = 1;
  r.text("", "dropped"); // no name: not written
  EXPECT_EQ(r.json(), R"({"a":"1"})");
}

TEST(FastJson, RefusesWhatIsNotValidJson) {
  char buf[64];
  size_t n = 99;
  R small;
  EXPECT_EQ(ln_fast_to_json(&small.r, buf, 2, &n), -1);
  EXPECT_EQ(ln_fast_to_json(&small.r, buf, 3, &n), 0);
  EXPECT_STREQ(buf, "{}");
  R full;
  full.text("a", "0123456789");
  EXPECT_EQ(ln_fast_to_json(&full.r, buf, 17, &n), -1); // {"a":"0123456789"} needs 19
  EXPECT_EQ(ln_fast_to_json(&full.r, buf, 19, &n), 0);
  EXPECT_EQ(n, 18u);

  for (double d : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                   std::nan("")}) {
    R r;
    r.dbl("d", d);
    EXPECT_EQ(r.json(), "<failed>");
  }
  for (const char *raw : {"{", "01", "[1,]", "\"a", "{} x", "nul", "{\"a\" 1}", "1.", ""}) {
    R r;
    r.text("r", raw, true);
    EXPECT_EQ(r.json(), "<failed>") << raw;
  }
  std::string name = "a";
  for (int i = 0; i < 63; ++i) name += ".a";
  R ok64;
  ok64.text(name, "v");
  EXPECT_NE(ok64.json(), "<failed>");
  R no65;
  no65.text(name + ".a", "v");
  EXPECT_EQ(no65.json(), "<failed>");
}

// The estimate is an upper bound: a buffer of exactly that size always holds
// the text (ln_fast_to_json_alloc allocates just that).
TEST(FastJson, EstimateBoundsTheText) {
  std::mt19937 rng(99);
  static const char bytes[] = "a.\"\\\x01\x7f\xff z";
  for (int rep = 0; rep < 500; ++rep) {
    R r;
    const int nf = static_cast<int>(rng() % 20);
    for (int i = 0; i < nf; ++i) {
      std::string name, val;
      for (int k = 1 + static_cast<int>(rng() % 12); k > 0; --k) name += bytes[rng() % 9];
      for (int k = static_cast<int>(rng() % 47); k > 0; --k) val += bytes[rng() % 9];
      if (rng() % 3 == 0)
        r.integer(name, static_cast<int64_t>(rng()) * -1000003);
      else
        r.text(name, val);
    }
    r.r.tags[0] = {"\x01\x01\x01", 0};
    r.r.n_tags = rng() % 2;
    std::string s = r.json();
    EXPECT_NE(s, "<failed>");
    EXPECT_LT(s.size(), ln_fast_json_estimate(&r.r));
  }
}

TEST(FastJson, ValidatorFollowsTheGrammar) {
  for (const char *ok : {"0", "-0", "1.5e-3", "\"\\u00e9\"", " {\"a\":[true,false,null,{}]} ", "[]"})
    EXPECT_TRUE(ln_json_text_valid(ok, strlen(ok))) << ok;
  for (const char *bad : {"+1", ".5", "1e", "\"\\x\"", "[1 2]", "{\"a\":}", "tru", "\"\x01\""})
    EXPECT_FALSE(ln_json_text_valid(bad, strlen(bad))) << bad;
  std::string deep(300, '[');
  deep += std::string(300, ']');
  EXPECT_FALSE(ln_json_text_valid(deep.data(), deep.size()));
}

} // namespace
