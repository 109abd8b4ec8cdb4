// Drives one field parser directly with a hand-built walker state. Every
// message is copied into a buffer of exactly its length (no terminator), so a
// read past the end shows up under the address sanitizer.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "normalizer/parser.h"

// Collects the messages a context sends to one sink.
struct Sink {
  std::vector<std::string> msgs;
  static void cb(void *cookie, const char *msg, size_t len) {
    static_cast<Sink *>(cookie)->msgs.emplace_back(msg, len);
  }
};

// A bare context whose error and debug messages are collected.
struct FakeCtx {
  ln_ctx_s c{};
  Sink err, dbg;
  FakeCtx() {
    c.objID = LN_OBJID_CTX;
    c.errmsgCB = Sink::cb;
    c.errmsgCookie = &err;
    c.dbgCB = Sink::cb;
    c.dbgCookie = &dbg;
  }
};

// Private data built from a descriptor's parameter keys; freed on scope exit.
struct Edge {
  FakeCtx fc;
  prsid_t id;
  void *data = nullptr;
  int rc = 0; // the constructor's result
  Edge(prsid_t id_, const char *params) : id(id_) {
    fjson_object *j = fjson_tokener_parse(params);
    EXPECT_NE(j, nullptr) << params;
    if (parser_lookup_table[id].construct) rc = parser_lookup_table[id].construct(&fc.c, j, &data);
    fjson_object_put(j);
  }
  ~Edge() {
    if (data && parser_lookup_table[id].destruct) parser_lookup_table[id].destruct(&fc.c, data);
  }
  Edge(const Edge &) = delete;
  Edge &operator=(const Edge &) = delete;

  // Runs the parser on line at offs; returns its result, the consumed length
  // and the value as compact JSON text ("" when there is none). A match must
  // stay inside the line; a mismatch must consume nothing.
  int run(const std::string &line, size_t offs, size_t *parsed, std::string *val,
          bool wantValue = true) {
    std::vector<char> buf(line.begin(), line.end());
    npb_t npb{};
    npb.ctx = &fc.c;
    npb.str = buf.empty() ? reinterpret_cast<const char *>(&npb) : buf.data();
    npb.strLen = buf.size();
    fjson_object *v = nullptr;
    size_t o = offs;
    *parsed = 12345;
    const int r = parser_lookup_table[id].parser(&npb, &o, data, "f", parsed, wantValue ? &v : nullptr);
    val->clear();
    if (v) {
      *val = fjson_object_to_json_string_ext(v, FJSON_TO_STRING_PLAIN);
      fjson_object_put(v);
    }
    if (r == 0) EXPECT_LE(o + *parsed, line.size());
    else EXPECT_EQ(*parsed, 0u);
    return r;
  }
};

constexpr int NM = LN_RC_NO_MATCH;

// One parser run from offset 0: expected result, consumed length and value.
struct Case {
  prsid_t id;
  const char *params;
  std::string line;
  int rc;
  size_t parsed;
  const char *value; // compact JSON of the value ("" for none)
};

inline void runTable(const std::vector<Case> &cases) {
  for (const Case &c : cases) {
    Edge e(c.id, c.params);
    ASSERT_EQ(e.rc, 0) << c.params;
    size_t parsed = 0;
    std::string val;
    const int r = e.run(c.line, 0, &parsed, &val);
    EXPECT_EQ(r, c.rc) << parser_lookup_table[c.id].name << " on '" << c.line << "'";
    if (r == 0 && c.rc == 0) {
      EXPECT_EQ(parsed, c.parsed) << parser_lookup_table[c.id].name << " on '" << c.line << "'";
      EXPECT_EQ(val, c.value) << parser_lookup_table[c.id].name << " on '" << c.line << "'";
      // Without a value wanted the same bytes are consumed.
      size_t p2 = 0;
      std::string v2;
      EXPECT_EQ(e.run(c.line, 0, &p2, &v2, false), 0);
      EXPECT_EQ(p2, c.parsed);
    }
  }
}
