// Canonical form and diff of two normalized results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/veldra.h"

namespace {

struct Canon {
  vdr_canon c{};
  explicit Canon(const char *json) {
    fjson_object *o = json ? fjson_tokener_parse(json) : nullptr;
    EXPECT_EQ(vdr_canon_build(o, &c), 0) << json;
    fjson_object_put(o);
  }
  ~Canon() { vdr_canon_free(&c); }
  std::string leaves() const {
    std::string s;
    for (size_t i = 0; i < c.n; ++i) {
      if (i) s += ' ';
      s += std::string(c.fields[i].path) + "=" + c.fields[i].value + ":" +
           vdr_type_name(c.fields[i].type);
    }
    return s;
  }
  std::string tags() const {
    std::string s;
    for (size_t i = 0; i < c.n_tags; ++i)
      s += std::string(i ? "," : "") + c.tags[i];
    return s;
  }
};

struct Diff {
  vdr_diff *d = nullptr;
  size_t n = 0;
  uint32_t shape = 99;
  Diff(const char *l, const char *t) {
    Canon a(l), b(t);
    EXPECT_EQ(vdr_diff_compute(&a.c, &b.c, &d, &n, &shape), 0);
  }
  ~Diff() { vdr_diff_free(d, n); }
  std::string text() const {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
      if (i) s += "; ";
      s += std::string(d[i].path) + " " + vdr_diff_kind_name(d[i].kind) + " " +
           (d[i].legacy ? d[i].legacy : "(null)") + "/" + d[i].legacy_type + " " +
           (d[i].turbo ? d[i].turbo : "(null)") + "/" + d[i].turbo_type;
    }
    return s;
  }
};

TEST(Canon, FlattensSortsAndRecordsShape) {
  struct Case {
    const char *json;
    const char *leaves;
    int unparsed, flat_dotted, nested;
  } cases[] = {
      {"{\"b\":1,\"a\":{\"y\":true,\"x\":null}}", "a.x=null:null a.y=true:boolean b=1:int", 0, 0,
       1},
      {"{\"a.b\":\"v\"}", "a.b=v:string", 0, 1, 0},
      {"{\"l\":[1,[\"x\"],{}],\"e\":[],\"o\":{}}",
       "e=[]:array l[0]=1:int l[1][0]=x:string l[2]={}:object o={}:object", 0, 0, 1},
      {"{\"d\":1.50}", "d=1.50:double", 0, 0, 0},
      {"[1,2]", "", 1, 0, 0},
      {"\"text\"", "", 1, 0, 0},
      {nullptr, "", 1, 0, 0},
      {"{\"unparsed-data\":\"x\",\"originalmsg\":\"y\"}", "originalmsg=y:string", 1, 0, 0},
      {"{}", "", 0, 0, 0},
      // Byte-wise order: "a.b" < "a_b" < "ab" ('.' < '_' < 'b').
      {"{\"ab\":1,\"a_b\":2,\"a\":{\"b\":3}}", "a.b=3:int a_b=2:int ab=1:int", 0, 0, 1},
  };
  for (const Case &k : cases) {
    Canon c(k.json);
    EXPECT_EQ(c.leaves(), k.leaves) << (k.json ? k.json : "null");
    EXPECT_EQ(c.c.unparsed, k.unparsed) << (k.json ? k.json : "null");
    EXPECT_EQ(c.c.saw_flat_dotted, k.flat_dotted) << k.json;
    EXPECT_EQ(c.c.saw_nested_object, k.nested) << (k.json ? k.json : "null");
    EXPECT_EQ(c.c.dup_field_names, 0);
  }
}

TEST(Canon, TagsAreASortedSetUnderEitherMember) {
  struct Case {
    const char *json;
    const char *tags;
    int tag_key;
  } cases[] = {
      {"{\"tags\":[\"b\",\"a\",\"a\"]}", "a,b", 1},
      {"{\"event.tags\":[\"z\",null,\"y\"]}", ",y,z", 0},
      {"{\"tags\":[]}", "", 1},
      {"{\"tags\":\"scalar\"}", "", 1},
      {"{}", "", -1},
      // Both members: the union of their values; tag_key names the later one.
      {"{\"tags\":[\"b\"],\"event.tags\":[\"a\",\"b\"]}", "a,b", 0},
  };
  for (const Case &k : cases) {
    Canon c(k.json);
    EXPECT_EQ(c.tags(), k.tags) << k.json;
    EXPECT_EQ(c.c.tag_key, k.tag_key) << k.json;
    EXPECT_EQ(c.c.n, 0u) << "tags never become leaves: " << k.json;
  }
}

TEST(Canon, FreeResetsEverything) {
  vdr_canon c{};
  fjson_object *o = fjson_tokener_parse("{\"a\":1,\"tags\":[\"x\"]}");
  ASSERT_EQ(vdr_canon_build(o, &c), 0);
  fjson_object_put(o);
  vdr_canon_free(&c);
  EXPECT_EQ(c.fields, nullptr);
  EXPECT_EQ(c.n, 0u);
  EXPECT_EQ(c.tags, nullptr);
  EXPECT_EQ(c.tag_key, -1);
  vdr_canon_free(&c); // twice is harmless
}

TEST(Diff, KindsValuesAndShape) {
  struct Case {
    const char *legacy, *turbo, *diffs;
    uint32_t shape;
  } cases[] = {
      {"{\"a\":1}", "{\"a\":1}", "", 0},
      {"{\"a.b\":\"x\"}", "{\"a\":{\"b\":\"x\"}}", "", 1},
      {"{\"event.tags\":[\"t\"]}", "{\"tags\":[\"t\"]}", "", 2},
      {"{\"a.b\":1,\"event.tags\":[\"t\"]}", "{\"a\":{\"b\":1},\"tags\":[\"t\"]}", "", 3},
      // Walker nested, VaderAD flat: no shape bit (only the other direction is known).
      {"{\"a\":{\"b\":1}}", "{\"a.b\":1}", "", 0},
      {"{\"n\":\"5\"}", "{\"n\":5}", "n type-diff 5/string 5/int", 0},
      {"{\"n\":\"5\"}", "{\"n\":\"6\"}", "n value-diff 5/string 6/string", 0},
      {"{\"a\":{}}", "{}", "a missing-in-turbo {}/object (null)/absent", 0},
      {"{}", "{\"a\":[]}", "a missing-in-legacy (null)/absent []/array", 0},
      {"{\"a\":1,\"c\":3,\"z\":0}", "{\"b\":2,\"c\":4}",
       "a missing-in-turbo 1/int (null)/absent; b missing-in-legacy (null)/absent 2/int; "
       "c value-diff 3/int 4/int; z missing-in-turbo 0/int (null)/absent",
       0},
      {"{\"tags\":[\"b\",\"a\",\"a\"]}", "{\"tags\":[\"a\",\"b\"]}", "", 0},
      {"{\"tags\":[]}", "{}", "", 0},
      {"{\"m\":1,\"tags\":[\"a\"]}", "{\"m\":2,\"tags\":[\"a\",\"b\"]}",
       "m value-diff 1/int 2/int; @tags tag-diff a/string a,b/string", 0},
      {"{\"tags\":[\"x\"]}", "{}", "@tags tag-diff x/string /string", 0},
      // A key that reads like an element path, in either order beside the
      // array (a fuzzer finding: this was a type-diff).
      {"{\"f[0]\":[],\"f\":[{},2]}", "{\"f\":[{},2],\"f[0]\":[]}", "", 0},
      {"{\"f[0]\":\"x\",\"f\":[\"y\"]}", "{\"f\":[\"x\"],\"f[0]\":\"y\"}", "", 0},
      {"{\"f[0]\":\"x\",\"f\":[\"y\"]}", "{\"f\":[\"x\"],\"f[0]\":\"z\"}",
       "f[0] value-diff y/string z/string", 0},
  };
  for (const Case &k : cases) {
    Diff d(k.legacy, k.turbo);
    EXPECT_EQ(d.text(), k.diffs) << k.legacy << " vs " << k.turbo;
    EXPECT_EQ(d.shape, k.shape) << k.legacy << " vs " << k.turbo;
    if (d.n == 0) {
      EXPECT_EQ(d.d, nullptr);
    }
  }
}

TEST(Diff, ManyDifferencesGrowTheArray) {
  std::string l = "{", t = "{";
  for (int i = 0; i < 40; ++i) {
    l += (i ? ",\"" : "\"") + std::to_string(100 + i) + "\":" + std::to_string(i);
    t += (i ? ",\"" : "\"") + std::to_string(100 + i) + "\":" + std::to_string(i + 1);
  }
  l += "}";
  t += "}";
  Diff d(l.c_str(), t.c_str());
  ASSERT_EQ(d.n, 40u);
  EXPECT_STREQ(d.d[0].path, "100");
  EXPECT_STREQ(d.d[39].path, "139");
}

TEST(Names, KindsAndStatuses) {
  const char *kinds[] = {"missing-in-legacy", "missing-in-turbo", "value-diff", "type-diff",
                         "tag-diff"};
  for (int k = 0; k < 5; ++k)
    EXPECT_STREQ(vdr_diff_kind_name(k), kinds[k]);
  EXPECT_STREQ(vdr_diff_kind_name(5), "unknown");
  EXPECT_STREQ(vdr_diff_kind_name(-1), "unknown");
  const char *st[] = {"match",      "equivalent",          "unparsed", "coverage-gap", "turbo-only",
                      "divergence", "duplicate-field-name"};
  for (int s = 0; s < VDR_STATUS__COUNT; ++s)
    EXPECT_STREQ(vdr_status_name(s), st[s]);
  EXPECT_STREQ(vdr_status_name(7), "unknown");
  EXPECT_STREQ(vdr_status_name(-1), "unknown");
}

} // namespace
