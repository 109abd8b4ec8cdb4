// Rulebase reader and loader: records, messages with their location prefix,
// rules, types, prefixes, includes (relative, VELDRA_RULEBASES, cycles, depth)
// and bad input that must never crash.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/veldra.h"
#include "load_helpers.h"
#include "normalizer/walker.h"

namespace {

struct LoadCase {
  const char *name;
  std::string text;
  int rc;
  std::vector<std::string> errors;
};

const std::string P = "rulebase file --NO-FILE--";

TEST(Loader, TextRecordsAndMessages) {
  const std::string longName(1023, 'n');
  const std::vector<LoadCase> cases = {
      {"unknown record type", "bogus=1\n", 0, {P + "[1]: invalid record type detected: 'bogus'"}},
      {"blank-led hash is no comment", "rule=:a\n\n  #x\n", 0,
       {P + "[3]: invalid record type detected: '  #x'"}},
      {"version line inside text", "version=2\nrule=:a\n", 0,
       {P + "[1]: invalid record type detected: 'version'"}},
      {"missing sample", "rule=:\n", 0, {P + "[1]: error: actual message sample part is missing"}},
      {"empty rule value", "rule=\n", -1,
       {P + "[1]: rule record is empty (expected tags, ':' and a sample)"}},
      {"rule value starting with comma", "rule=,a:b\n", -1,
       {P + "[1]: rule tag list begins with ',': ',a:b'"}},
      {"record starting with =", "=x\n", -1, {P + "[1]: record has no type before '=': '=x'"}},
      {"type without @", "type=port:%a:number%\n", -1,
       {P + "[1]: user-defined type name must start with '@'"}},
      {"type name with blank", "type=@my port:%a:number%\n", -1,
       {P + "[1]: user-defined type name must not contain whitespace"}},
      {"type without sample", "type=@port:\n", 0,
       {P + "[1]: error: actual message sample part is missing in type def"}},
      {"type without colon", "type=@port\n", -1,
       {P + "[1]: user-defined type '@port' needs ':' and a sample after its name"}},
      {"invalid field type", "rule=:%a:foo%\n", LN_RC_BAD_CONFIG, {P + "[1]: invalid field type 'foo'"}},
      {"unknown user type", "rule=:x %a:@nope%\n", LN_RC_BAD_CONFIG,
       {P + "[1]: unknown user-defined type '@nope'"}},
      {"field without colon", "rule=:%abc\n", -1, {P + "[1]: field definition wrong in: %abc"}},
      {"field without end", "rule=:x%a:word\n", -1, {P + "[1]: premature end (missing %?) in: %a:word"}},
      {"empty field name", "rule=:%:word%\n", -1, {P + "[1]: field name missing in: %:word%"}},
      {"field name too long", "rule=:%" + longName + ":word%\n", -1,
       {P + "[1]: field name too long in: %" + longName + ":word%"}},
      {"unterminated json field", "rule=:%{\"type\":\"word\"\n", -1, {P + "[1]: invalid json in ''"}},
      {"json field not closed by %", "rule=:%{\"type\":\"word\",\"name\":\"x\"}x%\n", -1,
       {P + "[1]: invalid json in 'x%'"}},
      {"alternative without array", "rule=:%{\"type\":\"alternative\",\"parser\":5}%\n",
       LN_RC_BAD_CONFIG,
       {P + "[1]: alternative type needs array of parsers. Object: "
            "'{\"type\":\"alternative\",\"parser\":5}', type is int"}},
      {"descriptor without type", "rule=:%{\"name\":\"x\"}%\n", LN_RC_BAD_CONFIG,
       {P + "[1]: parser type missing in config: {\"name\":\"x\"}"}},
      {"json field of wrong kind", "rule=:%[5]%\n", LN_RC_BAD_CONFIG,
       {P + "[1]: parser type missing in config: 5"}},
      {"annotation without colon", "annotate=web+a=\"1\"\n", -1,
       {P + "[1]: invalid tag field in annotation, line is 'web+a=\"1\"'"}},
      {"annotation remove op", "annotate=web:-a\n", -1, {P + "[1]: invalid annotate operation '-': -a"}},
      {"annotation junk op", "annotate=web:+a=\"1\" x\n", -1,
       {P + "[1]: invalid annotate operation 'x': x"}},
      {"annotation op without value", "annotate=web:+a\n", -1,
       {P + "[1]: invalid annotate operation, expected +name=\"value\": +a"}},
      {"rewrite syntax error", "rewrite=fw :a=b\n", -1, {P + "[1]: rewrite: expected <tag>:<src>=<dst>"}},
      {"invalid json parameters go on", "rule=:%a:word{x%\n", 0, {P + "[1]: invalid json in 'x%'"}},
      {"error on line 3", "rule=:a\n# c\nnope\n", 0, {P + "[3]: invalid record type detected: 'nope'"}},
  };
  for (const auto &c : cases) {
    TestCtx t;
    EXPECT_EQ(t.load(c.text), c.rc) << c.name;
    EXPECT_EQ(t.errors, c.errors) << c.name;
  }
}

TEST(Loader, StopsAtFirstHardErrorAndKeepsEarlierRules) {
  TestCtx t;
  EXPECT_EQ(t.load("rule=:a\nrule=\nbogus=1\n"), -1);
  // The hard error says what is wrong; the record after it is never read.
  EXPECT_EQ(t.errors, std::vector<std::string>{P + "[2]: rule record is empty (expected tags, ':' and a sample)"});
  ASSERT_EQ(t.ctx->pdag->nparsers, 1);
}

TEST(Loader, RuleTagsSampleAndLocation) {
  TestCtx t;
  ASSERT_EQ(t.load("rule=web,,linux:x\n"), 0);
  ASSERT_EQ(t.ctx->pdag->nparsers, 1);
  struct ln_pdag *term = t.ctx->pdag->parsers[0].node;
  ASSERT_TRUE(term->flags.isTerminal);
  ASSERT_NE(term->tags, nullptr);
  EXPECT_STREQ(fjson_object_to_json_string_ext(term->tags, FJSON_TO_STRING_PLAIN), "[\"web\",\"linux\"]");
  EXPECT_STREQ(term->rb_file, "--NO-FILE--");
  EXPECT_EQ(term->rb_lineno, 1u);
  EXPECT_TRUE(t.hasDebug("tag found: 'web'"));
}

// Consecutive rules with the same tag list share one tag array; another
// list, or another context, gets its own.
TEST(Loader, EqualTagListsShareOneArray) {
  TestCtx t, u;
  ASSERT_EQ(t.load("rule=a,b:x\nrule=a,b:y\nrule=a:z\nrule=a,b:w\n"), 0);
  ASSERT_EQ(u.load("rule=a,b:x\n"), 0);
  auto tags = [](TestCtx &c, char lit) -> fjson_object * {
    for (int i = 0; i < c.ctx->pdag->nparsers; ++i)
      if (edgeList(c.ctx, c.ctx->pdag)[i] == std::string("literal:'") + lit + "'")
        return c.ctx->pdag->parsers[i].node->tags;
    return nullptr;
  };
  ASSERT_NE(tags(t, 'x'), nullptr);
  EXPECT_EQ(tags(t, 'x'), tags(t, 'y'));
  EXPECT_NE(tags(t, 'x'), tags(t, 'z'));
  EXPECT_NE(tags(t, 'x'), tags(t, 'w')); // the list changed in between
  EXPECT_NE(tags(t, 'x'), tags(u, 'x'));
  EXPECT_STREQ(fjson_object_to_json_string_ext(tags(t, 'y'), FJSON_TO_STRING_PLAIN), "[\"a\",\"b\"]");
  EXPECT_STREQ(fjson_object_to_json_string_ext(tags(t, 'z'), FJSON_TO_STRING_PLAIN), "[\"a\"]");
  EXPECT_STREQ(fjson_object_to_json_string_ext(tags(t, 'w'), FJSON_TO_STRING_PLAIN), "[\"a\",\"b\"]");
}

TEST(Loader, OpenFieldContinuesOnNextLine) {
  TestCtx t;
  ASSERT_EQ(t.load("\nrule=:%a\n:word%\n"), 0);
  ASSERT_EQ(edgeList(t.ctx, t.ctx->pdag), std::vector<std::string>{"word:a"});
  EXPECT_EQ(t.ctx->pdag->parsers[0].node->rb_lineno, 3u);
}

TEST(Loader, FieldsLiteralsAndPercent) {
  TestCtx t;
  ASSERT_EQ(t.load("rule=:%a:word% %b:word%\nrule=:100%%%n:number%\n"), 0);
  // root: literal '1' (from 100%) and the word field, literal first
  EXPECT_EQ(edgeList(t.ctx, t.ctx->pdag), (std::vector<std::string>{"literal:'100%'", "word:a"}));
  struct ln_pdag *n = t.ctx->pdag->parsers[1].node;
  EXPECT_EQ(edgeList(t.ctx, n), std::vector<std::string>{"literal:' '"});
  EXPECT_EQ(edgeList(t.ctx, n->parsers[0].node), std::vector<std::string>{"word:b"});
  EXPECT_EQ(edgeList(t.ctx, t.ctx->pdag->parsers[0].node), std::vector<std::string>{"number:n"});
}

TEST(Loader, ExtraDataAndParametersReachTheDescriptor) {
  TestCtx t;
  ASSERT_EQ(t.load("rule=:%a:char-to:\\x3a%:\nrule=:%b:number{\"format\":\"number\"}%\n"), 0);
  ASSERT_EQ(t.ctx->pdag->nparsers, 2);
  std::vector<std::string> confs;
  for (int i = 0; i < 2; ++i) confs.push_back(t.ctx->pdag->parsers[i].conf);
  EXPECT_NE(std::find(confs.begin(), confs.end(),
                      "{\"name\":\"a\",\"type\":\"char-to\",\"extradata\":\":\"}"),
            confs.end());
  EXPECT_NE(std::find(confs.begin(), confs.end(),
                      "{\"name\":\"b\",\"type\":\"number\",\"format\":\"number\"}"),
            confs.end());
}

TEST(Loader, TrailingLonePercentIsDropped) {
  TestCtx t;
  ASSERT_EQ(t.load("rule=:ab%"), 0);
  EXPECT_EQ(edgeList(t.ctx, t.ctx->pdag), std::vector<std::string>{"literal:'ab'"});
}

TEST(Loader, PrefixAndExtendPrefix) {
  TestCtx t;
  ASSERT_EQ(t.load("prefix=%host:word% \nrule=:x\nextendprefix=y\nrule=:z\nprefix=\nrule=:q\n"), 0);
  EXPECT_EQ(edgeList(t.ctx, t.ctx->pdag), (std::vector<std::string>{"literal:'q'", "word:host"}));
  struct ln_pdag *afterHost = t.ctx->pdag->parsers[1].node;
  EXPECT_EQ(edgeList(t.ctx, afterHost), std::vector<std::string>{"literal:' '"});
  struct ln_pdag *afterBlank = afterHost->parsers[0].node;
  EXPECT_EQ(edgeList(t.ctx, afterBlank), (std::vector<std::string>{"literal:'x'", "literal:'yz'"}));
}

TEST(Loader, UserDefinedTypes) {
  TestCtx t;
  ASSERT_EQ(t.load("type=@port:%p:number%\ntype=@port:-\nrule=:%x:@port%\n"), 0);
  ASSERT_EQ(t.ctx->nTypes, 1);
  EXPECT_STREQ(t.ctx->type_pdags[0].name, "@port");
  EXPECT_EQ(edgeList(t.ctx, t.ctx->type_pdags[0].pdag),
            (std::vector<std::string>{"literal:'-'", "number:p"}));
  ASSERT_EQ(t.ctx->pdag->nparsers, 1);
  EXPECT_EQ(t.ctx->pdag->parsers[0].prsid, PRSID_USER_DEFINED);
  EXPECT_EQ(t.ctx->pdag->parsers[0].custType, 0);
  EXPECT_EQ(t.ctx->pdag->parsers[0].prio, 30000 * 256 + 16);
  EXPECT_TRUE(t.hasDebug("type name is '@port'"));
}

TEST(Loader, LongRecordIsReportedAndReadingGoesOn) {
  TestCtx t;
  std::string text = "rule=:" + std::string(70000, 'a') + "\nrule=:b\n";
  EXPECT_EQ(t.load(text), 0);
  ASSERT_EQ(t.errors.size(), 2u);
  EXPECT_EQ(t.errors[0], P + "[1]: line is too long");
  EXPECT_EQ(t.errors[1].rfind(P + "[1]: invalid record type detected: 'aaa", 0), 0u);
  EXPECT_EQ(edgeList(t.ctx, t.ctx->pdag), std::vector<std::string>{"literal:'b'"});
}

TEST(Loader, SecondLoadKeepsPathIdsClean) {
  TestCtx t;
  ASSERT_EQ(t.load("rule=:ab\n"), 0);
  ASSERT_EQ(t.load("rule=:ac\n"), 0);
  // the compacted "ab" must not swallow the new rule's "a"
  EXPECT_EQ(edgeList(t.ctx, t.ctx->pdag), (std::vector<std::string>{"literal:'ab'", "literal:'ac'"}));
  EXPECT_STREQ(t.ctx->pdag->rb_id, "");
  EXPECT_STREQ(t.ctx->pdag->parsers[0].node->rb_id, "ab");
  EXPECT_STREQ(t.ctx->pdag->parsers[1].node->rb_id, "ac");
  EXPECT_STREQ(t.ctx->pdag->parsers[0].conf, "{\"type\":\"literal\",\"text\":\"ab\"}");
}

TEST(Loader, BadInputNeverCrashes) {
  // Random records over the characters that drive the sample language.
  const char alphabet[] = "%%%{}[]:\\\"x a@#\n=,\x01\x7f" "0";
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7fff;
  };
  TempDir dir;
  for (int round = 0; round < 300; ++round) {
    std::string rec = (round % 3 == 0) ? "rule=:" : (round % 3 == 1) ? "type=@t:" : "annotate=t:";
    const int n = static_cast<int>(next() % 40);
    for (int i = 0; i < n; ++i) rec += alphabet[next() % (sizeof(alphabet) - 1)];
    if (round % 10 == 9) { // now and then bytes of any value, no record type
      rec.clear();
      for (int i = 0; i < n; ++i) rec += static_cast<char>(next() & 0xff);
    }
    // A load that fails always says where and why.
    TestCtx t;
    if (t.load(rec) != 0) {
      ASSERT_FALSE(t.errors.empty()) << rec;
      EXPECT_EQ(t.errors.back().rfind(P + "[", 0), 0u) << t.errors.back();
    }
    TestCtx f;
    const std::string path = dir.write("r.rb", "version=2\n" + rec + std::string("\0z\n", 3));
    if (f.loadFile(path) != 0) {
      ASSERT_FALSE(f.errors.empty()) << rec;
      EXPECT_EQ(f.errors.back().rfind("rulebase file " + path + "[", 0), 0u) << f.errors.back();
    }
  }
}

// Text read from a file (or a pipe) loads as that file would: the header is
// required, messages and rule locations name the file and count its lines.
TEST(LoaderText, LoadsAsTheNamedFile) {
  {
    TestCtx t;
    ASSERT_EQ(ln_loadSamplesFromText(t.ctx, "# c\nversion=2\nbogus=1\nrule=:a\n", "dir/x.rb"), 0);
    EXPECT_EQ(t.errors, std::vector<std::string>{"rulebase file dir/x.rb[3]: invalid record type detected: 'bogus'"});
    ASSERT_EQ(t.ctx->pdag->nparsers, 1);
    EXPECT_STREQ(t.ctx->pdag->parsers[0].node->rb_file, "dir/x.rb");
    EXPECT_EQ(t.ctx->pdag->parsers[0].node->rb_lineno, 4u);
  }
  {
    TestCtx t;
    EXPECT_EQ(ln_loadSamplesFromText(t.ctx, "rule=:a\n", "x.rb"), 1);
    ASSERT_EQ(t.errors.size(), 1u);
    EXPECT_EQ(t.errors[0].rfind("rulebase file x.rb[1]: rulebase 'x.rb' is not a version-2", 0), 0u);
  }
  // The hard errors that once failed without a word: each names file, line
  // and what is wrong.
  const std::vector<std::pair<std::string, std::string>> hard = {
      {"rule=", "rule record is empty (expected tags, ':' and a sample)"},
      {"rule=,", "rule tag list begins with ',': ','"},
      {"rule=:%:word%", "field name missing in: %:word%"},
      {"=x", "record has no type before '=': '=x'"},
      {"annotate=", "invalid tag field in annotation, line is ''"},
      {"annotate=t:+", "invalid annotate operation, expected +name=\"value\": +"},
      {"annotate=t:+a=", "invalid annotate operation, expected +name=\"value\": +a="},
      {"type=@x", "user-defined type '@x' needs ':' and a sample after its name"},
      {"annotate=\xc3\xa9t:+a=\"1\"", "invalid tag field in annotation, line is '\xc3\xa9t:+a=\"1\"'"},
  };
  for (const auto &[rec, why] : hard) {
    TestCtx t;
    EXPECT_NE(ln_loadSamplesFromText(t.ctx, ("version=2\n\n" + rec + "\n").c_str(), "x.rb"), 0) << rec;
    EXPECT_EQ(t.errors, std::vector<std::string>{"rulebase file x.rb[3]: " + why}) << rec;
  }
}

// A carriage return before a line feed ends the record, so a CRLF rulebase
// matches what its LF twin matches; a carriage return elsewhere stays.
TEST(Loader, CrlfLineEndsAreLineEnds) {
  TestCtx crlf, lf;
  ASSERT_EQ(crlf.load("# c\r\nrule=:%a:word% x\r\nrule=:y\rz\r\n"), 0);
  ASSERT_EQ(lf.load("# c\nrule=:%a:word% x\nrule=:y\rz\n"), 0);
  EXPECT_EQ(statsText(crlf.ctx, 1), statsText(lf.ctx, 1));
  EXPECT_TRUE(crlf.errors.empty());
  TempDir dir;
  const std::string f = dir.write("c.rb", "version=2\r\nrule=:%a:word% x\r\n");
  TestCtx file;
  ASSERT_EQ(file.loadFile(f), 0);
  fjson_object *ev = nullptr;
  EXPECT_EQ(ln_normalize(file.ctx, "w x", 3, &ev), 0);
  if (ev) fjson_object_put(ev);
}

// The loader accepts exactly the headers the front end's test accepts: blank
// and comment lines before "version=2", blanks, tabs and carriage returns
// around it. Whatever one refuses, the other refuses too.
TEST(LoaderFile, VersionLine) {
  TempDir dir;
  struct VCase {
    const char *content;
    int rc;
    std::string error;
  };
  const std::string notV2 =
      "rulebase 'F' is not a version-2 rulebase (its first line that is neither blank nor a "
      "comment is not \"version=2\"); version-1 rulebases cannot be loaded";
  const std::vector<VCase> cases = {
      {"version=2\r\nrule=:a\n", 0, ""},
      {"version=2", 0, ""},
      {"# comment\nversion=2\nrule=:a\n", 0, ""},
      {"\n \t\n  # indented comment\n \tversion=2 \t\r\nrule=:a\n", 0, ""},
      {"version=2\n\nrule=:a\n", 0, ""},
      {"version=2 # no\nrule=:a\n", 1, "rulebase file F[1]: " + notV2},
      {"# c\nversion=20\nrule=:a\n", 1, "rulebase file F[2]: " + notV2},
      {"\r\nversion=2\n", 1, "rulebase file F[1]: " + notV2},
      {"# only a comment\n", 1, "rulebase file F[1]: " + notV2},
      {"", 1, "rulebase file F[0]: error determining version of F"},
  };
  for (const auto &c : cases) {
    const std::string f = dir.write("v.rb", c.content);
    TestCtx t;
    EXPECT_EQ(t.loadFile(f), c.rc) << c.content;
    EXPECT_EQ(vdr_rulebase_is_v2(c.content), c.rc == 0 ? 1 : 0) << c.content;
    std::string want = c.error;
    // Substitute left to right, resuming after each inserted path: the path
    // itself may hold an 'F' (mkdtemp's random suffix).
    for (size_t p = 0; (p = want.find('F', p)) != std::string::npos; p += f.size())
      want.replace(p, 1, f);
    if (c.error.empty())
      EXPECT_TRUE(t.errors.empty()) << c.content;
    else
      EXPECT_EQ(t.errors, std::vector<std::string>{want}) << c.content;
  }
  // Lines before the header are counted: the rule of line 4 says so.
  const std::string f = dir.write("v.rb", "# a\n\nversion=2\nrule=:a\n");
  TestCtx t;
  ASSERT_EQ(t.loadFile(f), 0);
  ASSERT_EQ(t.ctx->pdag->nparsers, 1);
  EXPECT_EQ(t.ctx->pdag->parsers[0].node->rb_lineno, 4u);
}

TEST(LoaderFile, MissingFileAndRulebaseDirectory) {
  TempDir dir;
  unsetenv("VELDRA_RULEBASES");
  {
    TestCtx t;
    EXPECT_EQ(t.loadFile((dir.path / "nope.rb").string()), 1);
    const std::string f = (dir.path / "nope.rb").string();
    EXPECT_EQ(t.errors, std::vector<std::string>{"rulebase file " + f + "[0]: cannot open rulebase '" +
                                                 f + "': No such file or directory"});
  }
  dir.write("lib/sub.rb", "version=2\nrule=:sub\n");
  dir.write("main/main.rb", "version=2\ninclude=sub.rb   \nrule=:main\n");
  ChDir cd(dir.path / "main");
  for (const std::string &env : {(dir.path / "lib").string(), (dir.path / "lib").string() + "/"}) {
    setenv("VELDRA_RULEBASES", env.c_str(), 1);
    TestCtx t;
    EXPECT_EQ(t.loadFile("main.rb"), 0);
    EXPECT_TRUE(t.errors.empty());
    EXPECT_EQ(edgeList(t.ctx, t.ctx->pdag), (std::vector<std::string>{"literal:'sub'", "literal:'main'"}));
  }
  setenv("VELDRA_RULEBASES", "/nonexistent-dir", 1);
  {
    TestCtx t;
    EXPECT_EQ(t.loadFile("main.rb"), 1);
    EXPECT_EQ(t.errors,
              (std::vector<std::string>{
                  "rulebase file sub.rb[0]: cannot open rulebase 'sub.rb': No such file or directory",
                  "rulebase file sub.rb[0]: also tried to locate sub.rb via rulebase directory "
                  "without success. Expanded name was '/nonexistent-dir/sub.rb'"}));
  }
  unsetenv("VELDRA_RULEBASES");
}

TEST(LoaderFile, VersionMismatchCarriesNoStaleSystemError) {
  // The include is found through VELDRA_RULEBASES after a failed first open;
  // that failure's error number must not be appended to the version message.
  TempDir dir;
  dir.write("lib/v1.rb", "# old style\nrule=:a\n");
  setenv("VELDRA_RULEBASES", (dir.path / "lib").string().c_str(), 1);
  ChDir cd(dir.path);
  TestCtx t;
  EXPECT_EQ(t.load("include=v1.rb\n"), 1);
  unsetenv("VELDRA_RULEBASES");
  EXPECT_EQ(t.errors, std::vector<std::string>{"rulebase file v1.rb[0]: rulebase 'v1.rb' must be "
                                               "version 2, but is version 1  - can not be processed"});
}

TEST(LoaderFile, RelativeIncludeRestoresLocationAndSharesPrefix) {
  TempDir dir;
  dir.write("sub.rb", "version=2\nrule=:s\nprefix=p\n");
  dir.write("main.rb", "version=2\n\ninclude=sub.rb x\nbogus\nrule=:m\n");
  ChDir cd(dir.path);
  TestCtx t;
  EXPECT_EQ(t.loadFile("main.rb"), 0);
  EXPECT_EQ(t.errors, std::vector<std::string>{"rulebase file main.rb[4]: invalid record type detected: 'bogus'"});
  // the prefix set inside the include applies to the including file's rule
  EXPECT_EQ(edgeList(t.ctx, t.ctx->pdag), (std::vector<std::string>{"literal:'s'", "literal:'pm'"}));
  EXPECT_STREQ(t.ctx->pdag->parsers[0].node->rb_file, "sub.rb");
  EXPECT_EQ(t.ctx->pdag->parsers[0].node->rb_lineno, 2u);
  EXPECT_STREQ(t.ctx->pdag->parsers[1].node->rb_file, "main.rb");
  EXPECT_EQ(t.ctx->pdag->parsers[1].node->rb_lineno, 5u);
  EXPECT_EQ(t.ctx->include_level, 0);
  EXPECT_EQ(t.ctx->conf_file, nullptr);
}

TEST(LoaderFile, IncludeCycleIsALoadError) {
  TempDir dir;
  dir.write("a.rb", "version=2\ninclude=b.rb\n");
  dir.write("b.rb", "version=2\nrule=:b\ninclude=a.rb\n");
  dir.write("self.rb", "version=2\ninclude=self.rb\n");
  ChDir cd(dir.path);
  {
    TestCtx t;
    EXPECT_EQ(t.loadFile("a.rb"), 1);
    EXPECT_EQ(t.errors, std::vector<std::string>{
                            "rulebase file b.rb[3]: include cycle: rulebase 'a.rb' is already being loaded"});
  }
  {
    TestCtx t;
    EXPECT_EQ(t.load("include=self.rb\n"), 1);
    EXPECT_EQ(t.errors, std::vector<std::string>{"rulebase file self.rb[2]: include cycle: rulebase "
                                                 "'self.rb' is already being loaded"});
  }
  {
    // Including the same file twice one after the other is no cycle.
    dir.write("leaf.rb", "version=2\nrule=:l\n");
    TestCtx t;
    EXPECT_EQ(t.load("include=leaf.rb\ninclude=leaf.rb\n"), 0);
    EXPECT_TRUE(t.errors.empty());
  }
}

TEST(LoaderFile, IncludeDepthIsLimited) {
  TempDir dir;
  for (int i = 0; i < 70; ++i)
    dir.write("f" + std::to_string(i) + ".rb",
              "version=2\ninclude=f" + std::to_string(i + 1) + ".rb\n");
  dir.write("f70.rb", "version=2\nrule=:x\n");
  ChDir cd(dir.path);
  TestCtx t;
  EXPECT_EQ(t.loadFile("f0.rb"), 1);
  EXPECT_EQ(t.errors, std::vector<std::string>{"rulebase file f63.rb[2]: include nesting deeper than "
                                               "64 levels, not including 'f64.rb'"});
  EXPECT_EQ(t.ctx->include_level, 0);
}

TEST(LoaderFile, DeepIncludesFitASmallThreadStack) {
  // 64 nested loads of files larger than one read chunk: no level keeps its
  // read buffer on the stack, so 1 MB of stack is plenty.
  TempDir dir;
  const std::string pad = "# " + std::string(70000, 'p') + "\n";
  for (int i = 0; i < 63; ++i)
    dir.write("d" + std::to_string(i) + ".rb",
              "version=2\n" + pad + "include=d" + std::to_string(i + 1) + ".rb\n");
  dir.write("d63.rb", "version=2\n" + pad + "rule=:deep\n");
  ChDir cd(dir.path);
  struct Arg {
    int rc = -99;
    size_t errors = 0;
  } arg;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 1024 * 1024);
  pthread_t th;
  ASSERT_EQ(pthread_create(
                &th, &attr,
                [](void *p) -> void * {
                  auto *a = static_cast<Arg *>(p);
                  TestCtx t;
                  a->rc = t.loadFile("d0.rb");
                  a->errors = t.errors.size();
                  return nullptr;
                },
                &arg),
            0);
  pthread_join(th, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(arg.rc, 0);
  EXPECT_EQ(arg.errors, 0u);
}

TEST(LoaderFile, RunawayFieldBeforeRuleLine) {
  TempDir dir;
  const std::string f =
      dir.write("r.rb", "version=2\nrule=:a %x:word\n# note\n\nrule=:b\nrule=:c %y\n:word%\n");
  TestCtx t;
  EXPECT_EQ(t.loadFile(f), 0);
  ASSERT_EQ(t.errors.size(), 1u);
  EXPECT_EQ(t.errors[0],
            "rulebase file " + f +
                "[2]: line has 'rule=' at begin of line, which does look like a typo in the previous "
                "lines (unmatched % character) and is forbidden. If valid, please re-format the rule "
                "to start with other characters. Rule ignored.");
  // rule b loads; rule c takes the next line into its open field
  EXPECT_EQ(edgeList(t.ctx, t.ctx->pdag), (std::vector<std::string>{"literal:'b'", "literal:'c '"}));
}

TEST(LoaderFile, OpenFieldBeforeManyCommentLinesStaysLinear) {
  // Every line feed inside the open field looks ahead past the comment block;
  // the look-ahead is cached, so 200000 comment lines are scanned once.
  TempDir dir;
  std::string text = "version=2\nrule=:%a:word\n";
  for (int i = 0; i < 200000; ++i) text += "# c\n";
  text += "x=1\n";
  const std::string f = dir.write("c.rb", text);
  TestCtx t;
  EXPECT_EQ(t.loadFile(f), 0);
  ASSERT_FALSE(t.errors.empty());
  EXPECT_NE(t.errors[0].find("]: line is too long"), std::string::npos);
  EXPECT_NE(t.errors.back().find("]: invalid record type detected: 'x'"), std::string::npos);
}

TEST(LoaderFile, BinaryBytesInFile) {
  TempDir dir;
  using namespace std::string_literals;
  const std::string f = dir.write("b.rb", "version=2\nrule=:a\0b\nrule=:\xff\xfe\n"s);
  TestCtx t;
  EXPECT_EQ(t.loadFile(f), 0);
  EXPECT_EQ(t.ctx->pdag->nparsers, 2);
}

TEST(LoaderFile, OversizedFileIsRefused) {
  TempDir dir;
  const std::string f = dir.write("big.rb", "version=2\n");
  std::filesystem::resize_file(f, 64u * 1024u * 1024u + 1u);
  TestCtx t;
  EXPECT_EQ(t.loadFile(f), 1);
  EXPECT_EQ(t.errors, std::vector<std::string>{"rulebase file " + f + "[0]: rulebase '" + f +
                                               "' is larger than 67108864 bytes, not loaded"});
}

TEST(LoaderFile, DirectoryIsNotARulebase) {
  TempDir dir;
  TestCtx t;
  EXPECT_EQ(t.loadFile(dir.path.string()), 1);
  ASSERT_EQ(t.errors.size(), 1u);
  EXPECT_NE(t.errors[0].find("error determining version of"), std::string::npos);
}

} // namespace
