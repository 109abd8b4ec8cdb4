// Structured-payload field parsers. The table cases drive each matching
// function directly with a hand-built walker state over a buffer of exactly
// the message's length (no terminator), so a read past the end shows up under
// the address sanitizer. Rewrite tables and "repeat" need a loaded rulebase
// and the walker; those cases go through ln_loadSamplesFromString and
// ln_normalize.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "normalizer/parser.h"
#include "parser_harness.h"
#include "normalizer/walker.h"

namespace {


TEST(Json, ObjectsArraysSkipEmptyAndBrokenText) {
  const prsid_t J = PRS_JSON;
  std::string deep(40, '[');
  deep += std::string(40, ']');
  runTable({
      {J, "{}", R"({"a":1} tail)", 0, 7, R"({"a":1})"}, // whitespace after the value is left
      {J, "{}", R"([1,"x"])", 0, 7, R"([1,"x"])"},
      {J, "{}", R"({"a":{"b":[true,null]}}x)", 0, 23, R"({"a":{"b":[true,null]}})"},
      {J, "{}", R"({"a":1)", NM, 0, ""},
      {J, "{}", R"({"a":"abc)", NM, 0, ""},
      {J, "{}", R"(x{"a":1})", NM, 0, ""},
      {J, "{}", R"("str")", NM, 0, ""},
      {J, "{}", "{", NM, 0, ""},
      {J, "{}", "", NM, 0, ""},
      {J, "{}", deep, NM, 0, ""}, // nesting beyond the tokener's depth
      {J, R"({"extradata":"skipempty"})",
       R"({"a":"","b":null,"c":[],"d":{},"e":{"f":""},"g":[1,"",[],2],"h":0,"i":false})", 0, 76,
       R"({"g":[1,2],"h":0,"i":false})"},
      {J, R"({"extradata":"SkipEmpty"})", R"({"a":""})", 0, 8, ""}, // empty as a whole: no value
      {J, R"({"extradata":"skipempty"})", R"([[],{}])", 0, 7, ""},
  });
}

TEST(Json, ConstructorRejectsUnknownFlags) {
  Edge e(PRS_JSON, R"({"extradata":"keepall"})");
  EXPECT_EQ(e.rc, LN_RC_BAD_CONFIG);
}

TEST(CeeSyslog, CookieObjectAndEnd) {
  const prsid_t C = PRS_CEE_SYSLOG;
  runTable({
      {C, "{}", R"(@cee:{"a":1})", 0, 12, R"({"a":1})"},
      {C, "{}", R"(@cee:  {"a":"b c"})", 0, 18, R"({"a":"b c"})"},
      {C, "{}", R"(@cee:{"a":1} x)", NM, 0, ""},
      {C, "{}", "@cee:{\"a\":1}  ", 0, 14, R"({"a":1})"}, // the tokener takes trailing blanks
      {C, "{}", R"(@CEE:{"a":1})", NM, 0, ""},
      {C, "{}", R"(@cee:[1,2])", NM, 0, ""},
      {C, "{}", R"(@cee:{"a":1)", NM, 0, ""},
      {C, "{}", R"(@cee: x{"a":1})", NM, 0, ""},
      {C, "{}", "@cee:{", NM, 0, ""},
      {C, "{}", "@cee:", NM, 0, ""},
  });
}

TEST(NameValue, PairsQuotesSeparatorsAndBrokenText) {
  const prsid_t N = PRS_NAME_VALUE_LIST;
  runTable({
      {N, "{}", R"(a=1 b="x y" c=3)", 0, 15, R"({"a":"1","b":"x y","c":"3"})"},
      {N, "{}", "a=1  b=2", 0, 8, R"({"a":"1","b":"2"})"},
      {N, "{}", "a=1 a=2", 0, 7, R"({"a":"2"})"},
      {N, "{}", "a= b=2", 0, 6, R"({"a":"","b":"2"})"},
      {N, "{}", "a='x y' b=2", 0, 11, R"({"a":"x y","b":"2"})"},
      {N, "{}", R"(a="x\"y" b=1)", 0, 12, R"({"a":"x\\\"y","b":"1"})"},
      {N, "{}", R"(k=a\ b x=1)", 0, 10, R"({"k":"a\\ b","x":"1"})"},
      // An even run of backslashes escapes nothing; an odd one the byte after.
      {N, "{}", R"(k=a\\ b=1)", 0, 9, R"({"k":"a\\\\","b":"1"})"},
      {N, "{}", R"(k=a\\\ b x=1)", 0, 12, R"({"k":"a\\\\\\ b","x":"1"})"},
      {N, "{}", R"(a=x\)", 0, 4, R"({"a":"x\\"})"},
      {N, R"({"separator":","})", R"(a=1\,2,b=3)", 0, 10, R"({"a":"1\\,2","b":"3"})"},
      {N, "{}", "k=aaaaaaaaaaaaaaaaaaaa\\ bbb\rc=1", 0, 31, R"({"k":"aaaaaaaaaaaaaaaaaaaa\\ bbb","c":"1"})"},
      {N, "{}", "k=aaaaaaaaaaaaaaaaaaaa\fc=1", 0, 26, R"({"k":"aaaaaaaaaaaaaaaaaaaa","c":"1"})"},
      {N, R"({"separator":"\\"})", R"(a=1\b=2)", 0, 7, R"({"a":"1","b":"2"})"},
      {N, "{}", "=x", 0, 0, "{}"},
      {N, "{}", "", 0, 0, "{}"},
      // A pair that does not parse ends the list at its start; separators
      // before it stay consumed.
      {N, "{}", R"(a=1 b="unterminated c=3)", 0, 4, R"({"a":"1"})"},
      {N, "{}", "a=1 ;junk", 0, 4, R"({"a":"1"})"},
      {N, "{}", "a=1;b=2", 0, 7, R"({"a":"1;b=2"})"},
      {N, "{}", R"(a="q"b=2)", 0, 5, R"({"a":"q"})"},
      {N, "{}", "na me=1", 0, 0, "{}"},
      {N, R"({"separator":",","assignator":":"})", "a:1,b:2,,c:3", 0, 12,
       R"({"a":"1","b":"2","c":"3"})"},
      {N, R"({"extradata":";"})", "a=1;b=x y", 0, 9, R"({"a":"1","b":"x y"})"},
      {N, R"({"separator":",","assignator":":","ignore_whitespaces":true})", " a : 1 , b :2 ", 0, 14,
       R"({"a":"1","b":"2"})"},
      {N, R"({"ignore_whitespaces":true})", "a = 1 b= 2", 0, 10, R"({"a":"1","b":"2"})"},
  });
}

TEST(NameValue, ConstructorErrors) {
  for (const char *bad : {R"({"extradata":"ab"})", R"({"separator":""})", R"({"assignator":"=="})",
                          R"({"ignore_whitespaces":"yes"})"}) {
    Edge e(PRS_NAME_VALUE_LIST, bad);
    EXPECT_EQ(e.rc, LN_RC_BAD_CONFIG) << bad;
  }
}

TEST(Cef, HeaderExtensionsEscapesAndBrokenText) {
  const prsid_t C = PRS_CEF;
  const std::string hdr = "CEF:0|Security|threatmanager|1.0|100|worm stopped|10|";
  const std::string hobj =
      R"("DeviceVendor":"Security","DeviceProduct":"threatmanager","DeviceVersion":"1.0",)"
      R"("SignatureID":"100","Name":"worm stopped","Severity":"10")";
  runTable({
      {C, "{}", hdr + "src=10.0.0.1 dst=2.1.2.2 spt=1232", 0, hdr.size() + 33,
       ("{" + hobj + R"(,"Extensions":{"src":"10.0.0.1","dst":"2.1.2.2","spt":"1232"}})").c_str()},
      // Values keep their blanks up to the blank before the next key.
      {C, "{}", hdr + "msg=hello big world act=blocked now", 0, hdr.size() + 35,
       ("{" + hobj + R"(,"Extensions":{"msg":"hello big world","act":"blocked now"}})").c_str()},
      {C, "{}", hdr + R"(msg=a\=b\\c\nd\re)", 0, hdr.size() + 17,
       ("{" + hobj + R"(,"Extensions":{"msg":"a=b\\c\nd\re"}})").c_str()},
      {C, "{}", hdr, 0, hdr.size(), ("{" + hobj + R"(,"Extensions":{}})").c_str()},
      {C, "{}", hdr + "   ", 0, hdr.size() + 3, ("{" + hobj + R"(,"Extensions":{}})").c_str()},
      {C, "{}", R"(CEF:0|V\|x|P\\|1|2|N|3|a=b)", 0, 26,
       R"({"DeviceVendor":"V|x","DeviceProduct":"P\\","DeviceVersion":"1","SignatureID":"2",)"
       R"("Name":"N","Severity":"3","Extensions":{"a":"b"}})"},
      // Escapes and "=" past the first sixteen bytes of a field or value.
      {C, "{}", R"(CEF:0|A very long vendor name\|x|P|1|2|N|3|m=sixteen bytes and more\=x k2=an other value y=1)",
       0, 92,
       R"({"DeviceVendor":"A very long vendor name|x","DeviceProduct":"P","DeviceVersion":"1","SignatureID":"2",)"
       R"("Name":"N","Severity":"3","Extensions":{"m":"sixteen bytes and more=x","k2":"an other value","y":"1"}})"},
      {C, "{}", R"(CEF:0|V\x|P|1|2|N|3|a=b)", NM, 0, ""},   // bad header escape
      {C, "{}", hdr + R"(a=b\qc)", NM, 0, ""},               // bad extension escape
      {C, "{}", hdr + R"(a=b\)", NM, 0, ""},                 // backslash at the end
      {C, "{}", hdr + "a-b=c", NM, 0, ""},                   // bad key byte
      {C, "{}", hdr + "a=b=c", NM, 0, ""},                   // "=" without a key before it
      {C, "{}", hdr + "novalue", NM, 0, ""},
      {C, "{}", "CEF:0|a|b|c|d|e|f", NM, 0, ""},             // sixth field not closed
      {C, "{}", "CEF:0|a|b|c|d|e|", NM, 0, ""},              // too short
      {C, "{}", "CEF:1|a|b|c|d|e|f|", NM, 0, ""},
  });
}

TEST(CheckpointLea, PairsTerminatorAndBrokenText) {
  const prsid_t L = PRS_CHECKPOINT_LEA;
  runTable({
      {L, "{}", R"(fw:1.2.3.4; action: "drop it"; proto:tcp ;)", 0, 42,
       R"({"fw":"1.2.3.4","action":"drop it","proto":"tcp"})"},
      {L, "{}", "time::12:00; ", 0, 13, R"({"time:":"12:00"})"},
      {L, "{}", R"(a:"x\"y";)", 0, 9, R"({"a":"x\\\"y"})"},
      {L, "{}", "", 0, 0, "{}"},
      {L, R"({"terminator":"]"})", "a:1; b:2]rest", 0, 8, R"({"a":"1","b":"2"})"},
      {L, R"({"terminator":"]"})", "]", 0, 0, "{}"},
      {L, "{}", "a:1; b:2", NM, 0, ""},   // last pair not ended by ";"
      {L, "{}", "a:1 x", NM, 0, ""},
      {L, "{}", "   ", NM, 0, ""},        // only blanks and no pair
      {L, "{}", R"(a:"open;)", NM, 0, ""},
      {L, "{}", "noColon", NM, 0, ""},
  });
  Edge bad(PRS_CHECKPOINT_LEA, R"({"terminator":"ab"})");
  EXPECT_EQ(bad.rc, LN_RC_BAD_CONFIG);
}

TEST(V2IPTables, FieldsFlagsAndBrokenText) {
  const prsid_t I = PRS_V2_IPTABLES;
  runTable({
      {I, "{}", "IN=eth0 OUT= SRC=10.0.0.1 DF PROTO=TCP SYN URGP=0 ", 0, 50,
       R"({"IN":"eth0","OUT":"","SRC":"10.0.0.1","DF":null,"PROTO":"TCP","SYN":null,"URGP":"0"})"},
      {I, "{}", "IN=eth0 DF", 0, 10, R"({"IN":"eth0","DF":null})"},
      {I, "{}", "IN=eth0  OUT=", NM, 0, ""},
      {I, "{}", "IN=eth0 out=x", NM, 0, ""},
      {I, "{}", "IN=eth0\tOUT=", NM, 0, ""},
      {I, "{}", "MAC=00:11:22:33:44:55:66:77:88 DF", 0, 33, R"({"MAC":"00:11:22:33:44:55:66:77:88","DF":null})"},
      {I, "{}", "MAC=00:11:22:33:44:55:66:77:88\vDF", NM, 0, ""}, // a value ends at any space byte
      {I, "{}", "IN=eth0 OUT=  ", NM, 0, ""},
      {I, "{}", "Syn", NM, 0, ""},
      {I, "{}", "", NM, 0, ""},
  });
}

TEST(CiscoInterfaceSpec, PartsAndBrokenText) {
  const prsid_t S = PRS_CISCO_INTERFACE_SPEC;
  runTable({
      {S, "{}", "outside:192.0.2.10/443 (203.0.113.5/8443)", 0, 41,
       R"({"interface":"outside","ip":"192.0.2.10","port":"443","ip2":"203.0.113.5","port2":"8443"})"},
      {S, "{}", "dmz:10.0.0.1/80 (10.0.0.2/8080) (alice) x", 0, 39,
       R"({"interface":"dmz","ip":"10.0.0.1","port":"80","ip2":"10.0.0.2","port2":"8080","user":"alice"})"},
      {S, "{}", "inside:10.1.1.1/1234(bob)", 0, 25,
       R"({"interface":"inside","ip":"10.1.1.1","port":"1234","user":"bob"})"},
      {S, "{}", "10.1.1.1/22 rest", 0, 11, R"({"ip":"10.1.1.1","port":"22"})"},
      {S, "{}", "outside:10.1.1.1/22 (oops", 0, 19, R"({"interface":"outside","ip":"10.1.1.1","port":"22"})"},
      {S, "{}", "outside:10.1.1.1/22 (a b)", 0, 19, R"({"interface":"outside","ip":"10.1.1.1","port":"22"})"},
      {S, "{}", "outside:10.1.1.1/", NM, 0, ""},
      {S, "{}", "outside:10.1.1.1", NM, 0, ""},
      {S, "{}", ":10.1.1.1/22", NM, 0, ""},
      {S, "{}", " outside:10.1.1.1/22", NM, 0, ""},
      {S, "{}", "out side:10.1.1.1/22", NM, 0, ""},
      {S, "{}", "outside:host/22", NM, 0, ""},
      {S, "{}", "outside", NM, 0, ""},
  });
}

// ----------------------------------------------------------- rulebase level

// Top-level members of a normalized result as compact JSON texts.
using Fields = std::map<std::string, std::string>;

struct Rulebase {
  ln_ctx ctx = nullptr;
  Sink err;
  int loadRc = -1;
  explicit Rulebase(const char *text) {
    ctx = ln_initCtx();
    if (ctx == nullptr) return;
    ln_setErrMsgCB(ctx, Sink::cb, &err);
    loadRc = ln_loadSamplesFromString(ctx, text);
  }
  ~Rulebase() {
    if (ctx) ln_exitCtx(ctx);
  }
  int normalize(const std::string &msg, Fields *out) {
    std::vector<char> buf(msg.begin(), msg.end());
    fjson_object *json = nullptr;
    const int r = ln_normalize(ctx, buf.empty() ? "" : buf.data(), buf.size(), &json);
    out->clear();
    if (json) {
      struct fjson_object_iterator it = fjson_object_iter_begin(json);
      struct fjson_object_iterator end = fjson_object_iter_end(json);
      for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it))
        (*out)[fjson_object_iter_peek_name(&it)] =
            fjson_object_to_json_string_ext(fjson_object_iter_peek_value(&it), FJSON_TO_STRING_PLAIN);
      fjson_object_put(json);
    }
    return r;
  }
};

#define LOAD(rb, text)                                                                       \
  Rulebase rb(text);                                                                         \
  ASSERT_NE(rb.ctx, nullptr);                                                                \
  ASSERT_EQ(rb.loadRc, 0) << (rb.err.msgs.empty() ? std::string() : rb.err.msgs.front())

TEST(RewriteTables, NameValueKeysAreRenamedAndUnknownKeysDropped) {
  LOAD(rb,
       "rewrite=fw:src_ip=source.ip\n"
       "rewrite=fw:ACT=event.action|lower\n"
       "rule=fw:fw: %.:name-value-list%\n"
       "rule=:plain: %kv:name-value-list%\n");
  Fields f;
  ASSERT_EQ(rb.normalize("fw: src_ip=10.0.0.1 ACT=DROP junk=1", &f), 0);
  EXPECT_EQ(f, (Fields{{"source.ip", R"("10.0.0.1")"},
                       {"event.action", R"("drop")"},
                       {"event.tags", R"(["fw"])"}}));
  // A rule without the tag keeps the vendor keys.
  ASSERT_EQ(rb.normalize("plain: src_ip=10.0.0.1 ACT=DROP", &f), 0);
  EXPECT_EQ(f, (Fields{{"kv", R"({"src_ip":"10.0.0.1","ACT":"DROP"})"}}));
}

TEST(RewriteTables, CefExtensionKeysAreRenamed) {
  LOAD(rb,
       "rewrite=cef:src=source.ip\n"
       "rewrite=cef:act=event.action|lower\n"
       "rule=cef:%cef:cef%\n");
  Fields f;
  ASSERT_EQ(rb.normalize("CEF:0|Vend|Prod|1.0|7|Blocked|5|src=10.1.1.1 act=DENY spt=80", &f), 0);
  EXPECT_EQ(f["cef"], R"({"DeviceVendor":"Vend","DeviceProduct":"Prod","DeviceVersion":"1.0",)"
                      R"("SignatureID":"7","Name":"Blocked","Severity":"5",)"
                      R"("Extensions":{"source.ip":"10.1.1.1","event.action":"deny"}})");
}

TEST(RewriteTables, JsonDotIsMergedThroughTheTable) {
  LOAD(rb,
       "rewrite=js:a.b=n|lower\n"
       "rewrite=js:user.name=user.name\n"
       "rule=js:%.:json%\n");
  Fields f;
  ASSERT_EQ(rb.normalize(R"({"a":{"b":"X"},"c":1,"user":{"name":"bob"}})", &f), 0);
  EXPECT_EQ(f, (Fields{{"n", R"("x")"}, {"user.name", R"("bob")"}, {"event.tags", R"(["js"])"}}));
}

TEST(JsonField, TextAfterTheValueIsLeftForTheRule) {
  LOAD(rb, "rule=:%j:json% tail\n"
           "rule=:skip %j:json:skipempty%\n");
  Fields f;
  ASSERT_EQ(rb.normalize(R"({"a":1} tail)", &f), 0);
  EXPECT_EQ(f, (Fields{{"j", R"({"a":1})"}}));
  // A payload that is empty as a whole still matches and is stored as null.
  ASSERT_EQ(rb.normalize(R"(skip {"a":"","b":[]})", &f), 0);
  EXPECT_EQ(f, (Fields{{"j", "null"}}));
  ASSERT_EQ(rb.normalize(R"(skip {"a":"","b":[2]})", &f), 0);
  EXPECT_EQ(f, (Fields{{"j", R"({"b":[2]})"}}));
}

constexpr const char *kIpList =
    R"(%ips:repeat{"parser":{"type":"ipv4","name":"ip"},"while":{"type":"literal","text":", "}}%)";

TEST(Repeat, ArrayOfItemsStopsWhenTheWhilePartFails) {
  const std::string rules = std::string("rule=:ips ") + kIpList + "\n" + "rule=:to " + kIpList + " end\n";
  LOAD(rb, rules.c_str());
  Fields f;
  ASSERT_EQ(rb.normalize("ips 1.1.1.1, 2.2.2.2, 3.3.3.3", &f), 0);
  EXPECT_EQ(f["ips"], R"([{"ip":"1.1.1.1"},{"ip":"2.2.2.2"},{"ip":"3.3.3.3"}])");
  ASSERT_EQ(rb.normalize("to 1.1.1.1, 2.2.2.2 end", &f), 0);
  EXPECT_EQ(f["ips"], R"([{"ip":"1.1.1.1"},{"ip":"2.2.2.2"}])");
  // An item that does not parse fails the repeat.
  EXPECT_EQ(rb.normalize("ips 1.1.1.1, x", &f), LN_RC_NO_MATCH);
}

TEST(Repeat, DotMergesAndDotMemberReplacesTheItem) {
  LOAD(rb,
       "rule=:m %.:repeat{\"parser\":{\"type\":\"json\",\"name\":\".\"},"
       "\"while\":{\"type\":\"literal\",\"text\":\",\"}}%\n"
       "rule=:w %w:repeat{\"parser\":{\"type\":\"char-sep\",\"name\":\".\",\"extradata\":\",\"},"
       "\"while\":{\"type\":\"literal\",\"text\":\",\"}}%\n");
  Fields f;
  ASSERT_EQ(rb.normalize(R"(m {"a":1},{"b":2})", &f), 0);
  EXPECT_EQ(f, (Fields{{"a", "1"}, {"b", "2"}}));
  ASSERT_EQ(rb.normalize("w x,y,z", &f), 0);
  EXPECT_EQ(f["w"], R"(["x","y","z"])");
}

TEST(Repeat, PermitMismatchEndsAtTheLastCompleteItem) {
  LOAD(rb,
       "rule=:p %l:repeat{\"parser\":{\"type\":\"number\",\"name\":\"n\"},"
       "\"while\":{\"type\":\"literal\",\"text\":\",\"},\"option.permitMismatchInParser\":true}%"
       "%r:rest%\n"
       "rule=:s %l:repeat{\"parser\":{\"type\":\"number\",\"name\":\"n\"},"
       "\"while\":{\"type\":\"literal\",\"text\":\",\"}}%%r:rest%\n");
  Fields f;
  ASSERT_EQ(rb.normalize("p 1,2,x", &f), 0);
  EXPECT_EQ(f, (Fields{{"l", R"([{"n":"1"},{"n":"2"}])"}, {"r", R"(",x")"}}));
  ASSERT_EQ(rb.normalize("p x", &f), 0);
  EXPECT_EQ(f, (Fields{{"l", "[]"}, {"r", R"("x")"}}));
  EXPECT_EQ(rb.normalize("s 1,2,x", &f), LN_RC_NO_MATCH);
}

// A body and a while part that both consume nothing must not loop forever:
// the repeat stops after the first iteration that makes no progress.
TEST(Repeat, NoProgressStops) {
  LOAD(rb,
       "rule=:%x:repeat{\"parser\":{\"type\":\"char-sep\",\"name\":\"v\",\"extradata\":\";\"},"
       "\"while\":{\"type\":\"literal\",\"text\":\"\"}}%;end\n");
  Fields f;
  ASSERT_EQ(rb.normalize("ab;end", &f), 0);
  EXPECT_EQ(f["x"], R"([{"v":"ab"},{"v":""}])");
  ASSERT_EQ(rb.normalize(";end", &f), 0);
  EXPECT_EQ(f["x"], R"([{"v":""}])");
}

TEST(Repeat, ConstructorErrors) {
  FakeCtx fc;
  for (const char *bad : {R"({})", R"({"parser":{"type":"word","name":"a"}})",
                          R"({"while":{"type":"literal","text":","}})"}) {
    fjson_object *j = fjson_tokener_parse(bad);
    void *data = nullptr;
    EXPECT_EQ(ln_constructRepeat(&fc.c, j, &data), LN_RC_BAD_CONFIG) << bad;
    EXPECT_EQ(data, nullptr);
    fjson_object_put(j);
  }
  fjson_object *j = fjson_tokener_parse(
      R"({"parser":[{"type":"word","name":"."},{"type":"literal","text":"-"},{"type":"word","name":"b"}],)"
      R"("while":{"type":"literal","text":","}})");
  void *data = nullptr;
  EXPECT_EQ(ln_constructRepeat(&fc.c, j, &data), LN_RC_BAD_CONFIG);
  fjson_object_put(j);
}

} // namespace
