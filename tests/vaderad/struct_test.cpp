// Structured fields on both engines: one fixture per family (rulebase and
// samples in fixtures/struct) must check clean through the comparison run,
// the messages VaderAD cannot write as the walker's object are declined, the
// names of a structured value outlive the value and the input, and VaderAD's
// native readers (the member sink, the JSON scanner) give the walker's value
// or hand the payload to the exact path.
#include <gtest/gtest.h>
#include <libfastjson/json.h>
#include <libfastjson/json_tokener.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/veldra.h"
#include "normalizer/context.h"
#include "normalizer/walker.h"
#include "vaderad/turbo_json.h"
#include "vaderad/turbo_state.h"

// The comparison run's own steps (src/core/engine.cpp).
int vdr_count_dup_names(fjson_object *ev);
vdr_status vdr_classify(bool legacy_unparsed, bool turbo_unparsed, size_t n_diffs, uint32_t shape,
                        int dup_names);

namespace {

const std::string kFixtures = std::string(VELDRA_TEST_DIR) + "/fixtures/struct/";

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Edge cases of every family are in the samples: truncated, unbalanced and
// empty payloads, payloads followed by text, rewrite tables, custom
// separators, repeats with permitted mismatches, zero items, duplicates and
// an item and separator that consume nothing.
TEST(StructFixtures, EveryFamilyChecksClean) {
  for (const char *family : {"cef", "lea", "iptables", "kv", "json", "asa", "repeat"}) {
    SCOPED_TRACE(family);
    char *err = nullptr;
    vdr_config cfg{};
    cfg.keep_json = 1;
    vdr_run *run = vdr_run_new_from_file((kFixtures + family + ".rb").c_str(), &cfg, &err);
    ASSERT_NE(run, nullptr) << (err ? err : "");
    ASSERT_EQ(vdr_run_turbo_available(run), 1) << vdr_run_diagnostics(run, VDR_ENGINE_TURBO);
    const std::string samples = read_file(kFixtures + family + ".log");
    vdr_run_samples(run, samples.c_str(), nullptr, nullptr);
    size_t n = 0;
    const vdr_result *res = vdr_run_results(run, &n);
    size_t served = 0;
    for (size_t i = 0; i < n; ++i) {
      const vdr_result &r = res[i];
      EXPECT_TRUE(r.status == VDR_STATUS_MATCH || r.status == VDR_STATUS_EQUIVALENT ||
                  r.status == VDR_STATUS_UNPARSED_BOTH)
          << vdr_status_name(r.status) << ": " << r.line << "\n"
          << (r.legacy_json ? r.legacy_json : "") << "\n" << (r.turbo_json ? r.turbo_json : "");
      served += r.status == VDR_STATUS_MATCH || r.status == VDR_STATUS_EQUIVALENT;
    }
    EXPECT_GE(served, 4u);
    vdr_run_free(run);
    vdr_free(err);
  }
}

// A result whose names the nesting writer cannot give the walker's members is
// declined; the walker serves the message.
TEST(StructFixtures, UnwritableResultsAreDeclined) {
  const char *rb = "version=2\n"
                   "rule=:KV %.:name-value-list%\n"
                   "rule=t:DOT %.:json%\n"
                   "rule=:W %w:word% %.:json%\n";
  struct Case {
    const char *line;
    int status;
  } cases[] = {
      {"KV a.b=1 a=2", VDR_STATUS_COVERAGE_GAP},   // "a" beside "a.b"
      {"DOT [1,2]", VDR_STATUS_COVERAGE_GAP},      // "." with no object
      {"DOT {\"..\":1}", VDR_STATUS_COVERAGE_GAP}, // a member named like an operator
      {"DOT {\"-\":1}", VDR_STATUS_COVERAGE_GAP},
      {"KV tags=1", VDR_STATUS_COVERAGE_GAP},      // the names of the rule tags
      {"DOT {\"tags.z\":1}", VDR_STATUS_COVERAGE_GAP},
      {"DOT {\"event\":{\"tags\":1}}", VDR_STATUS_COVERAGE_GAP},
      {"W x {\"w\":1}", VDR_STATUS_EQUIVALENT},    // a name stored twice: the rule's field wins
      {"KV a=1 b=2", VDR_STATUS_EQUIVALENT},
  };
  std::string samples;
  for (const Case &c : cases) samples += std::string(c.line) + "\n";
  char *err = nullptr;
  vdr_config cfg{};
  cfg.keep_json = 1;
  vdr_run *run = vdr_run_new(rb, &cfg, &err);
  ASSERT_NE(run, nullptr) << (err ? err : "");
  vdr_run_samples(run, samples.c_str(), nullptr, nullptr);
  size_t n = 0;
  const vdr_result *res = vdr_run_results(run, &n);
  ASSERT_EQ(n, std::size(cases));
  for (size_t i = 0; i < n; ++i)
    EXPECT_TRUE(res[i].status == cases[i].status ||
                (cases[i].status == VDR_STATUS_EQUIVALENT && res[i].status == VDR_STATUS_MATCH))
        << cases[i].line << ": " << vdr_status_name(res[i].status) << "\n"
        << (res[i].legacy_json ? res[i].legacy_json : "") << "\n"
        << (res[i].turbo_json ? res[i].turbo_json : "");
  vdr_run_free(run);
  vdr_free(err);
}

// The member names of a merged payload are copied into the arena: they stay
// readable (by their length) after the payload's value and the input are gone,
// until the next message.
TEST(StructFixtures, MergedNamesLiveInTheArenaOrTheNameBuffer) {
  ln_ctx ctx = ln_initCtx();
  ln_setCtxOpts(ctx, LN_CTXOPT_TURBO);
  ASSERT_EQ(ln_loadSamplesFromString(ctx, "version=2\nrule=:%.:json%\nrule=:%kv:name-value-list%\n"), 0);
  ASSERT_TRUE(ln_turbo_is_available(ctx));
  const ln_arena_t &arena = ctx->turbo->arena;
  for (const char *msg : {"{\"outer\":{\"inner_name_long_enough\":\"v\"},\"k\":[1]}", "alpha=1 beta=two"}) {
    SCOPED_TRACE(msg);
    auto input = std::make_unique<std::string>(msg);
    const ln_fast_result_t *r = nullptr;
    ASSERT_EQ(ln_turbo_normalize_raw(ctx, input->data(), input->size(), &r), 0);
    const char *lo = input->data(), *hi = lo + input->size();
    input.reset();
    ASSERT_GE(r->n_fields, 2);
    for (int i = 0; i < r->n_fields; ++i) {
      const ln_fast_field_t &f = r->fields[i];
      EXPECT_FALSE(f.name >= lo && f.name < hi) << "name points into the input";
      const bool in_arena = reinterpret_cast<const uint8_t *>(f.name) >= arena.base &&
                            reinterpret_cast<const uint8_t *>(f.name) < arena.base + arena.capacity;
      const char *nb = ctx->turbo->vm.name_buf;
      const bool in_name_buf = nb && f.name >= nb && f.name < nb + LN_VM_NAME_BUF;
      const bool is_rule_name = std::string(f.name, f.name_len) == "kv";
      EXPECT_TRUE(in_arena || in_name_buf || is_rule_name) << std::string(f.name, f.name_len);
      EXPECT_GT(std::string(f.name, f.name_len).size(), 0u);
    }
  }
  ln_exitCtx(ctx);
}

// Findings of the differential fuzzer: a value with a zero byte reads up to
// it, as the walker's JSON text does; a payload whose dotted member names
// would nest past what a JSON reader takes is declined, not written.
TEST(StructFixtures, ZeroBytesAndDeepNamesFollowTheWalker) {
  ln_ctx ctx = ln_initCtx();
  ln_setCtxOpts(ctx, LN_CTXOPT_TURBO);
  ASSERT_EQ(ln_loadSamplesFromString(ctx, "version=2\nrule=:L %lea:checkpoint-lea%\nrule=:J %j:json%\n"), 0);
  ASSERT_TRUE(ln_turbo_is_available(ctx));
  const std::string lea("L a: x\0y; b: 2;", 15);
  char *text = nullptr;
  size_t n = 0;
  ASSERT_EQ(ln_turbo_normalize_to_str(ctx, lea.data(), lea.size(), &text, &n), 0);
  EXPECT_EQ(std::string(text, n), "{\"lea\":{\"a\":\"x\",\"b\":\"2\"}}");
  free(text);
  std::string deep = "J {\"";
  for (int i = 0; i < 40; ++i) deep += "k.";
  deep += "k\":1}";
  text = nullptr;
  EXPECT_EQ(ln_turbo_normalize_to_str(ctx, deep.data(), deep.size(), &text, &n), -1);
  EXPECT_EQ(text, nullptr);
  ln_exitCtx(ctx);
}

// ------------------------------------------------------- native readers

fjson_object *parse_json(const char *text, size_t len) {
  fjson_tokener *tok = fjson_tokener_new();
  fjson_object *o = fjson_tokener_parse_ex(tok, text, static_cast<int>(len));
  if (fjson_tokener_get_error(tok) != fjson_tokener_success && o) {
    fjson_object_put(o);
    o = nullptr;
  }
  fjson_tokener_free(tok);
  return o;
}

// Status of one message (any bytes) as `check` gives it: the walker's object
// against VaderAD's text, both canonicalised. *detail gets both texts.
vdr_status compare_engines(ln_ctx ctx, const std::string &line, std::string *detail) {
  vdr_canon leg{}, tur{};
  leg.tag_key = tur.tag_key = -1;
  leg.unparsed = tur.unparsed = 1;
  fjson_object *event = nullptr;
  ln_normalize(ctx, line.data(), line.size(), &event);
  *detail = "walker:  ";
  if (event) {
    const int dups = vdr_count_dup_names(event);
    const char *t = fjson_object_to_json_string_ext(event, 0);
    *detail += t ? t : "";
    vdr_canon_build(event, &leg);
    leg.dup_field_names = dups;
    fjson_object_put(event);
  }
  *detail += "\nVaderAD: ";
  char *text = nullptr;
  size_t n = 0;
  if (ln_turbo_normalize_to_str(ctx, line.data(), line.size(), &text, &n) == 0 && text) {
    *detail += text;
    fjson_object *p = parse_json(text, n);
    EXPECT_NE(p, nullptr) << "VaderAD wrote JSON that does not parse: " << text;
    if (p) {
      vdr_canon_build(p, &tur);
      fjson_object_put(p);
    }
  } else {
    *detail += "(declined)";
  }
  free(text);
  vdr_diff *diffs = nullptr;
  size_t nd = 0;
  uint32_t shape = 0;
  if (!leg.unparsed && !tur.unparsed) vdr_diff_compute(&leg, &tur, &diffs, &nd, &shape);
  const vdr_status st = vdr_classify(leg.unparsed != 0, tur.unparsed != 0, nd, shape, leg.dup_field_names);
  vdr_diff_free(diffs, nd);
  vdr_canon_free(&leg);
  vdr_canon_free(&tur);
  return st;
}

// What a line of the table expects: both engines give the same value
// (served), neither matches (none), or VaderAD declines (gap).
enum Expect { SERVED, NONE, GAP };

struct Line {
  std::string text;
  Expect expect;
};

void check_table(const char *rulebase, const std::vector<Line> &lines) {
  ln_ctx ctx = ln_initCtx();
  ln_setCtxOpts(ctx, LN_CTXOPT_TURBO);
  ASSERT_EQ(ln_loadSamplesFromString(ctx, rulebase), 0);
  ASSERT_TRUE(ln_turbo_is_available(ctx));
  for (const Line &l : lines) {
    std::string detail;
    const vdr_status st = compare_engines(ctx, l.text, &detail);
    const bool ok = l.expect == SERVED ? st == VDR_STATUS_MATCH || st == VDR_STATUS_EQUIVALENT
                    : l.expect == NONE ? st == VDR_STATUS_UNPARSED_BOTH
                                       : st == VDR_STATUS_COVERAGE_GAP;
    EXPECT_TRUE(ok) << vdr_status_name(st) << " for line: " << l.text << "\n" << detail;
  }
  ln_exitCtx(ctx);
}

// A line with zero or other binary bytes: every byte of the literal.
template <size_t N> std::string bin(const char (&s)[N]) { return std::string(s, N - 1); }

// name-value-list, cef, checkpoint-lea and v2-iptables run the walker's own
// parse core; VaderAD's sink must give the members the walker's object holds:
// a repeated key's last value, rewritten names and lower-cased values, a lone
// ".." member as the value itself, names cut at a zero byte, and the name
// operators at the root declined. Truncated, binary and over-long payloads
// fail cleanly or match on both engines.
TEST(NativeReaders, MemberPayloadsAgreeWithTheWalker) {
  const char *rb = "version=2\n"
                   "rewrite=fw:srcip=source.ip\n"
                   "rewrite=fw:addr=source.ip\n"
                   "rewrite=fw:action=event.action|lower\n"
                   "rule=:KV %kv:name-value-list%\n"
                   "rule=:DOT %.:name-value-list%\n"
                   "rule=fw:RW %.:name-value-list%\n"
                   "rule=fw:RWN %kv:name-value-list%\n"
                   "rule=:SEP %kv:name-value-list{\"separator\":\",\",\"assignator\":\":\"}%\n"
                   "rule=:CEF %cef:cef%\n"
                   "rule=fw:CRW %.:cef%\n"
                   "rule=:CDOT %.:cef%\n"
                   "rule=:LEA %lea:checkpoint-lea%\n"
                   "rule=:LDOT %.:checkpoint-lea%\n"
                   "rule=:LT %lea:checkpoint-lea{\"terminator\":\"|\"}%|%rest:rest%\n"
                   "rule=:IPT %ipt:v2-iptables%\n"
                   "rule=:IDOT %.:v2-iptables%\n"
                   "rule=:DASH %-:name-value-list%\n";
  std::string many_pairs, deep_key = "k";
  for (int i = 0; i < 200; ++i) many_pairs += "k" + std::to_string(i) + "=v ";
  for (int i = 0; i < 30; ++i) deep_key += ".k";
  std::string long_keys; // names past the VM's name buffer
  for (int i = 0; i < 100; ++i) long_keys += std::string(200, 'a') + std::to_string(i) + "=v ";
  const std::string long_value(100000, 'x');
  check_table(rb, {
      {"KV a=1 b=2 a=3", SERVED},               // the first position, the last value
      {"KV a=\"x y\" b='q' c=", SERVED},
      {"KV ..=x", SERVED},                      // a lone ".." member is the value
      {"KV a=\"unterminated", NONE},
      {"KV a=1 " + deep_key + "=2", GAP},       // nests too deep for the writer
      {"KV " + many_pairs, GAP},                 // more fields than the result holds
      {"KV a=" + long_value, SERVED},
      {"KV a=1 b=2 ..=3 c=4", SERVED},         // ".." after other members
      {"KV a=1 " + std::string(5000, 'n') + "=2 b=3", SERVED}, // a name of 5000 bytes
      {"KV " + long_keys, SERVED},
      {"DASH a=1 b=2", SERVED},
      {bin("KV a=x\0y b=2"), SERVED}, // a value ends at a zero byte
      {bin("KV a\0b=1"), NONE},
      {"DOT a.b=1 c=2", SERVED},
      {"DOT -=1", GAP},                         // a name operator at the root
      {"DOT ..=1", GAP},
      {"RW srcip=1.2.3.4 addr=5.6.7.8 action=DENY other=1", SERVED}, // two keys, one name
      {"RW other=1", SERVED},                   // every key dropped
      {"RWN action=DENY", SERVED},
      {"RW action=" + std::string(60, 'D') + " action=Two", SERVED}, // lower-cased, long then short
      {"RW action=Two action=" + std::string(60, 'D'), SERVED},
      {"CRW CEF:0|V|P|1|id|name|5|action=A\\=" + std::string(60, 'B') + " srcip=1", SERVED},
      {"CEF CEF:0|V|P|1|id|name|5|m=" + std::string(60, 'x') + "\\=y n=\\=z", SERVED},
      {"SEP a:1,b:2,a:3", SERVED},
      {"CEF CEF:0|V\\|x|P\\\\|1|id|n|5|a=b\\=c d=e f g=h", SERVED},
      {"CEF CEF:0|V|P|1|id|name|5|", SERVED},   // Extensions is an empty object
      {"CEF CEF:0|V|P|1|id|name|5|a=1 a=2", SERVED},
      {"CEF CEF:0|V|P|1|id|name|5|a=b\\q", NONE}, // an escape cef does not know
      {"CEF CEF:0|V|P|1|id|name|5|abc", NONE},
      {"CEF CEF:0|V|P|1|id", NONE},
      {"CRW CEF:0|V|P|1|id|name|5|srcip=1.1.1.1 action=BLOCK x=1", SERVED},
      {"CDOT CEF:0|V|P|1|id|name|5|a=1", SERVED},
      {"CDOT CEF:0|V|P|1|id|name|5|", SERVED},
      {"CRW CEF:0|V|P|1|id|name|5|action=BLOCK action=Pass srcip=1 ..=2", SERVED},
      {bin("CEF CEF:0|V|P|1|id|name|5|a=x\0y"), SERVED},
      {"LEA a: 1; b: \"x;y\"; a: 3;", SERVED},
      {"LEA : x;", SERVED},                     // an empty name under the field
      {"LDOT : x;", GAP},
      {"LEA a: 1", NONE},
      {"LT a: 1|tail", SERVED},
      {"IPT IN=eth0 OUT= DF SYN", SERVED},
      {"IPT IN=eth0 IN=eth1 ", SERVED},
      {"IPT IN=eth0  OUT=", NONE},
      {"IPT in=x", NONE},
      {"IDOT SRC=1.2.3.4 DF", SERVED},
      {bin("IPT IN=\xff\xfe\x01 OUT=\x80"), SERVED},
  });
}

// json and cee-syslog objects of the common shape are read by VaderAD's own
// scanner; everything else takes the walker's parser. Either way the value is
// the walker's: escapes, numbers the library rewrites, literals in other
// letter cases, comments, trailing commas, duplicate and dotted keys,
// rewrite tables with lower-casing and two paths to one name, deep and wide
// objects, truncated and binary payloads.
TEST(NativeReaders, JsonPayloadsAgreeWithTheWalker) {
  const char *rb = "version=2\n"
                   "rewrite=aj:user.name=user.name\n"
                   "rewrite=aj:login=user.name\n"
                   "rewrite=aj:action=event.action|lower\n"
                   "rewrite=aj:n=event.count\n"
                   "rewrite=aj:e=event.extra\n"
                   "rule=:J %j:json%\n"
                   "rule=:DOT %.:json%\n"
                   "rule=aj:RW %.:json%\n"
                   "rule=:TAIL %j:json% tail\n"
                   "rule=:SKIP %j:json{\"extradata\":\"skipempty\"}%\n"
                   "rule=:CEE %.:cee-syslog%\n"
                   "rule=:CN %c:cee-syslog%\n";
  std::string deep = "{\"a\":", deep_end = "}";
  for (int i = 0; i < 20; ++i) {
    deep += "{\"a\":";
    deep_end += "}";
  }
  deep += "1" + deep_end;
  std::string wide = "{";
  for (int i = 0; i < 200; ++i) wide += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":1";
  wide += "}";
  const std::string long_text(100000, 'y');
  check_table(rb, {
      {"J {\"a\":\"x\",\"b\":{\"c\":1,\"d\":true,\"e\":null,\"f\":{}},\"g\":-5,\"h\":0,\"i\":false}", SERVED},
      {"J {\"a\":\"q \\\" \\\\ \\/ \\b \\f \\n \\r \\t\"}", SERVED},
      {"J {\"a\":\"\\u00e9\"}", SERVED},
      {"J {\"a\":\"x\\u0000y\"}", SERVED},
      {"J {\"a\\n\":1}", SERVED},             // an escaped key
      {"J {\"a\":1.5,\"b\":1e3,\"c\":01,\"d\":-0,\"e\":123456789012345678901}", SERVED},
      {"J {\"a\":123456789012345678,\"b\":-123456789012345678}", SERVED},
      {"J {\"a\":True,\"b\":NULL}", SERVED},
      {"J {\"a\":1,}", SERVED},
      {"J {\"a\":'x'}", SERVED},
      {"J {\"a\":/*c*/1}", SERVED},
      {"J {\"a\":1}/*c*/", SERVED},
      {"J {\"a\":1} /", NONE},
      {"J {\"a\":\"x\",\"a\":{\"b\":1}}", SERVED}, // a duplicate key
      {"J {\"a\":[1,{\"b\":null}],\"c\":[]}", SERVED},
      {"J [1,2]", SERVED},
      {"J {\"..\":1}", SERVED},
      {"J {}", SERVED},
      {"J { \"a\" :\t1 ,\r\n\"b\" : \"x\" }", SERVED},
      {"J {\"a\"\v:1}", SERVED},
      {"J " + deep, SERVED},
      {"J " + wide, GAP},                        // more fields than the result holds
      {"J {\"a\":\"" + long_text + "\"}", SERVED},
      {"J {\"" + std::string(5000, 'k') + "\":1,\"b\":2}", SERVED}, // a path past the scanner's buffer
      {"J {\"a\":\"0123456789abcdef\\n\"}", SERVED}, // an escape in the last sixteen bytes
      {"J {\"a\":1", NONE},                      // truncated
      {"J {\"a\":\"x", NONE},
      {"J {\"a\"", NONE},
      {"J {\"a\":1}}", NONE},                    // unbalanced: text after the field
      {"J {", NONE},
      {bin("J {\"a\":\"x\0y\"}"), NONE},
      {bin("J {\"a\xff\":\"\x80\x01\"}"), SERVED},
      {"DOT {\"x\":1,\"y\":{\"z\":\"w\",\"\":2}}", SERVED},
      {"DOT {}", SERVED},
      {"DOT {\"-\":1}", GAP},
      // A "." key holding keys that start with '.': the names start "...".
      {"DOT {\".\":{\".b\":\"y\"}}", SERVED},
      {"DOT {\".\":{\"a\":\"x\"},\".\":{\".b\":\"y\"}}", GAP}, // the exact path: a fuzzer finding
      {"CEE @cee:{\".\":{\"a\":\"x\"},\".\":{\".b\":\"y\"}}", GAP},
      {"CEE @cee:{\".\":{\"a\":\"x\"},\".\":{\"b\":\"y\"}}", SERVED},
      // A flat dotted key beside the same path through an object: two members
      // for the walker, one nested object for the writer (a fuzzer finding).
      {"CEE @cee:{\"x.n\":1,\"x\":{\"n\":\"y\"}}", GAP},
      {"J {\"x.n\":1,\"x\":{\"n\":\"y\"},\"b\":[1]}", GAP},
      {"DOT {\"x\":{\"n\":\"y\"},\"x.n\":1}", GAP},
      {"DOT {\"\":1}", GAP},
      {"RW {\"user\":{\"name\":\"Al\"},\"action\":\"VIEW\",\"debug\":1,\"n\":7,\"e\":{}}", SERVED},
      {"RW {\"user\":{\"name\":\"Al\"},\"login\":\"Bo\"}", SERVED}, // two paths, one name
      {"RW {\"other\":1}", SERVED},
      {"RW {\"action\":1.5}", SERVED},
      {"TAIL {\"a\":1} tail", SERVED},
      {"TAIL {\"a\":1}tail", NONE},
      {"SKIP {\"a\":\"\",\"b\":1}", SERVED},
      {"CEE @cee:{\"a\":{\"b\":\"c\"}}", SERVED},
      {"CEE @cee: {\"a\":1}  \t", SERVED},
      {"CEE @cee:{\"a\":1} x", NONE},
      {"CEE @cee:{\"a\":1}/**/", SERVED},
      {"CEE @cee:{\"a\":1}/", NONE},
      {"CEE @cee:{\"a\":", NONE},
      {bin("CEE @cee:{\"a\":1}\0"), NONE},
      {"CN @cee:{\"a\":1,\"b\":{}}", SERVED},
  });
}

} // namespace
