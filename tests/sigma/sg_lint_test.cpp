// Sigma lint: every check fires on a rule made to trigger it, with its kind,
// token and message, and stays silent on a clean rule.
#include <gtest/gtest.h>

#include <string>

#include "sigma/compile.h"

namespace {

std::string lint(const std::string &yaml, const char *source_id = "linux-sshd",
                 const char *fields = "user.name,source.ip,process.name") {
  char *t = sg_lint_json(yaml.c_str(), source_id, fields);
  std::string s = t ? t : "<null>";
  sg_str_free(t);
  return s;
}

std::string mark(const std::string &kind, const std::string &token, const std::string &msg) {
  return "{\"kind\":\"" + kind + "\",\"token\":\"" + token + "\",\"msg\":\"" + msg + "\"}";
}

std::string marks(const std::string &inner) { return "{\"ok\":true,\"marks\":[" + inner + "]}"; }

// A clean rule with substitutions: each key of the head can be replaced.
std::string rule(const std::string &head, const std::string &sel = "    user.name: root\n") {
  return head + "logsource:\n  product: linux\n  service: sshd\ndetection:\n  sel:\n" + sel +
         "  condition: sel\n";
}
const std::string clean_head =
    "title: c\ntaxonomy: ecs\nlevel: high\nhark_verdict: alert\n# hark-tier: STRONG\n";

const std::string kTaxonomy = mark("ecs-bad", "taxonomy",
                                   "in-tab compile is taxonomy: ecs; SigmaHQ maps need native sigmac");
const std::string kVerdict =
    mark("ecs-warn", "hark_verdict",
         "missing hark_verdict; compiler will bake alert (STRONG). Informational bases should be "
         "benign (CONTEXT).");
const std::string kTier =
    mark("tier-strong", "hark-tier",
         "STRONG packing gate. Either this is escalate / named HIGH with a written story, or it is "
         "a correlation with an informational base.");
const std::string kLogsource =
    mark("ecs-warn", "logsource",
         "logsource product/service may not match this source_id; matcher routes on "
         "techno/product");

TEST(SigmaLint, CleanRuleAndCorrelationsHaveNoMarks) {
  EXPECT_EQ(lint(rule(clean_head)), marks(""));
  EXPECT_EQ(lint(rule(clean_head), nullptr, nullptr), marks(""));
  // Benign and escalate rules need no tier; informational ones no verdict.
  EXPECT_EQ(lint(rule("title: c\ntaxonomy: ecs\nlevel: informational\n")), marks(""));
  EXPECT_EQ(lint(rule("title: c\ntaxonomy: ecs\nhark_verdict: escalate\n")), marks(""));
  EXPECT_EQ(lint(rule(clean_head, "    user.name:\n      - a\n      - b\n    process.name|cased: c\n")),
            marks(""));
  EXPECT_EQ(lint("title: x\ncorrelation:\n  type: event_count\n  rules: r\n"), marks(""));
  // Every standard Sigma form the compiler reads lints clean, and a key with
  // "all" beside the same field's other key is no mixed-modifier mistake.
  EXPECT_EQ(lint(clean_head + "logsource:\n  product: linux\n  service: sshd\ndetection:\n"
                              "  sel_a:\n    - user.name: root\n"
                              "    - user.name|windash|contains|all:\n        - ' -x '\n"
                              "        - '\\\\'\n      user.name|contains: z\n"
                              "  sel_b:\n    process.name:\n      - ''\n      - ' a '\n"
                              "  condition: 1 of sel_* or all of them\n"),
            marks(""));
}

TEST(SigmaLint, EachCheckFiresOnTheRuleMadeToTriggerIt) {
  struct {
    std::string yaml;
    const char *source_id;
    const char *fields;
    std::string want;
  } cases[] = {
      {rule("title: c\nlevel: high\nhark_verdict: alert\n# hark-tier: STRONG\n"), "linux-sshd",
       nullptr, marks(kTaxonomy)},
      {rule("title: c\ntaxonomy: ecs\nlevel: high\n# hark-tier: STRONG\n"), "linux-sshd", nullptr,
       marks(kVerdict)},
      // Level low without a verdict bakes an alert: tier mark, no verdict mark.
      {rule("title: c\ntaxonomy: ecs\nlevel: low\n"), "linux-sshd", nullptr, marks(kTier)},
      {rule("title: c\ntaxonomy: ecs\nhark_verdict: alert\n# hark-tier: WEAK\n"), "linux-sshd",
       nullptr, marks(kTier)},
      {rule(clean_head), "windows-security", nullptr, marks(kLogsource)},
      {rule(clean_head), "nodash", nullptr, marks("")},
      {rule(clean_head), "linux-sshd", "source.ip,process.name",
       marks(mark("ecs-bad", "user.name",
                  "parser catalog does not emit this field; match will be a non-match"))},
  };
  for (const auto &k : cases) EXPECT_EQ(lint(k.yaml, k.source_id, k.fields), k.want) << k.yaml;
}

TEST(SigmaLint, MixedModifiersRuleErrorsAndYamlErrorsAreMarked) {
  // One field with two modifier chains in one selection: one mark per field.
  std::string mixed =
      lint(rule(clean_head, "    user.name|contains: ro\n    user.name|endswith: ot\n"
                            "    user.name|cased: x\n"));
  EXPECT_EQ(mixed,
            marks(mark("mixed-modifiers", "user.name",
                       "selection 'sel' gives this field two modifier chains ('contains' and "
                       "'endswith'); they are compiled as alternatives (OR), while Sigma reads "
                       "them as AND: put them in two selections joined with 'and'")));
  EXPECT_EQ(lint(rule(clean_head, "    user.name|windash|re: x\n")),
            marks(mark("rule-error", "document 1",
                       "document 1 (\\\"c\\\"), line 11: key 'user.name|windash|re': windash "
                       "applies to text comparisons (equality, contains, startswith, endswith), not "
                       "to 'windash|re'")));
  EXPECT_EQ(lint(rule(clean_head, "    user.name|any: x\n")),
            marks(mark("rule-error", "document 1",
                       "document 1 (\\\"c\\\"), line 11: key 'user.name|any': unsupported field "
                       "modifier 'any'")));
  EXPECT_EQ(lint(rule(clean_head, "    user.name: [a, b]\n")),
            marks(mark("yaml-error", "document 1",
                       "line 11: flow collections ([...] and {...}) are not supported; use block "
                       "style")));
  EXPECT_EQ(lint(rule(clean_head, "    user.name: x\n    user.name: y\n")),
            marks(mark("yaml-error", "document 1", "line 12: duplicate key 'user.name'")));
  // Marks of several documents come in document order; a broken document does
  // not hide the others.
  std::string two = lint("title: a\nlevel: high\n---\n" + rule(clean_head, "    f: [\n") + "---\n" +
                         rule("title: c\ntaxonomy: ecs\nlevel: low\n"));
  size_t tax = two.find(kTaxonomy), doc2 = two.find("\"token\":\"document 2\""),
         tier = two.rfind(kTier);
  EXPECT_TRUE(tax != std::string::npos && doc2 != std::string::npos && tier != std::string::npos &&
              tax < doc2 && doc2 < tier)
      << two;
  EXPECT_EQ(lint(std::string("\x01\x02", 2)),
            marks(mark("yaml-error", "input", "line 1: control byte 0x01; this is not a YAML text")));
}

} // namespace
