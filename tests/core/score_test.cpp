// Severity preview of one normalized event, and the readiness check an
// exchange kit must pass.
#include <gtest/gtest.h>

#include <string>

#include "core/veldra.h"

namespace {

TEST(ScorePreview, Table) {
  const std::string fallback =
      "{\"severity_weight\":\"none\",\"hark.alert\":\"no\",\"threat_level\":0.10,"
      "\"note\":\"no severity weight\"}";
  auto hit = [](int id, const char *alert, const char *level) {
    return std::string("{\"severity_id\":") + std::to_string(id) + ",\"hark.alert\":\"" + alert +
           "\",\"threat_level\":" + level + ",\"note\":\"this line only\"}";
  };
  struct Case {
    const char *json;
    std::string want;
  } cases[] = {
      {"{\"event.severity\":\"critical\"}", hit(5, "yes", "0.90")},
      {"{\"event.severity\":\"High\"}", hit(4, "no", "0.60")},
      {"{\"event.severity\":\"fatal\"}", hit(6, "yes", "1.00")},
      {"{\"event.severity\":\"unknown\"}", hit(0, "no", "0.10")},
      {"{\"event.severity\": \"very low\"}", hit(2, "no", "0.25")},
      {"{\"event.severity\":\"MEDIUM\"}", hit(3, "no", "0.40")},
      {"{\"event.severity\":\"very high\"}", hit(5, "yes", "0.90")},
      {"{\"event.severity\":5}", fallback},
      // A non-string severity never borrows the next member's name as its value.
      {"{\"event.severity\":3,\"alert\":1}", fallback},
      {"{\"event.severity\":null,\"msg\":\"high\"}", fallback},
      {"{\"event.severity\":\"5\"}", fallback},
      {"{\"msg\":\"critical\"}", fallback},
      {"{\"event.severity\":\"critical", fallback},
      {"{\"event.severity\":\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\"}", fallback},
  };
  for (const Case &k : cases) {
    char buf[192];
    ASSERT_EQ(vdr_score_preview_json(k.json, buf, sizeof buf), 0) << k.json;
    EXPECT_EQ(std::string(buf), k.want) << k.json;
  }
}

TEST(ScorePreview, RefusesBadArguments) {
  char buf[192];
  EXPECT_EQ(vdr_score_preview_json(nullptr, buf, sizeof buf), -1);
  EXPECT_EQ(vdr_score_preview_json("", buf, sizeof buf), -1);
  EXPECT_EQ(vdr_score_preview_json("{}", nullptr, sizeof buf), -1);
  EXPECT_EQ(vdr_score_preview_json("{}", buf, 7), -1);
  // A buffer too small for the whole preview is refused rather than cut.
  EXPECT_EQ(vdr_score_preview_json("{}", buf, 16), -1);
}

const char k_outcome_key[] = "outcome:event.outcome:auth";

TEST(ScoreCheck, Table) {
  const char *const with_outcome[] = {"src_host:source.ip", k_outcome_key};
  const char *const without[] = {"src_host:source.ip"};
  const std::string detection_msg =
      "ssh_fail: is a detection rule and has no lexicon severity (log.level is not a band)";
  const std::string outcome_msg =
      "event.outcome or event.action is parsed and entity_keys has no outcome role";
  struct Case {
    std::string rb;
    const char *ent;
    bool keyed;
    std::string want; // empty: passes
  } cases[] = {
      {"version=2\nrule=t:%source.ip:ipv4%\n", "auth", false, ""},
      {"annotate=ssh_fail:+event.outcome=\"failure\"\n", "auth", true, detection_msg},
      {"annotate=ssh_fail:+event.outcome=\"failure\"\nannotate=ssh_fail:+event.severity=\"High\"\n",
       "auth", false, outcome_msg},
      {"annotate=ssh_fail:+event.outcome=\"failure\"\nannotate=ssh_fail:+event.severity=\"High\"\n",
       "auth", true, ""},
      // Several operations on one annotate line all count, as the loader
      // reads them.
      {"annotate=ssh_fail:+event.outcome=\"failure\" +event.severity=\"critical\"\n", "auth", true,
       ""},
      {"annotate=ssh_fail:+event.action=\"DENIED\"\n", "auth", true, detection_msg},
      {"annotate=ssh_fail:+event.outcome=\"success\" +event.action=\"drop\"\n", "auth", true,
       detection_msg},
      {"annotate=ssh_fail:+threat.technique.id=\"T1110\"\n", "auth", true, detection_msg},
      {"annotate=ok_rule:+event.action=\"allow\"\n", "network", false, outcome_msg},
      {"annotate=ok_rule:+event.action=\"login\"\n", "network", false, ""},
      {"annotate=ids:+event.category=\"Malware\"\n", "auth", false,
       "an intrusion or endpoint category is keyed as auth"},
      {"annotate=ids:+event.category=\"malware\"\n", "endpoint", false, ""},
      // Comment lines never count.
      {"#annotate=ssh_fail:+event.outcome=\"failure\"\n", "auth", false, ""},
      {"  # annotate=ids:+event.category=\"threat\"\n", "auth", false, ""},
      // A line without a rule key records nothing and ends nothing.
      {"annotate=+event.outcome=\"failure\"\nannotate=ssh_fail:+event.outcome=\"failure\"\n",
       "auth", true, detection_msg},
      {"annotate=" + std::string(64, 'k') + "+event.action=\"x\"\n", "auth", true,
       "score gate could not record every rule"},
  };
  for (const Case &c : cases) {
    const char *const *keys = c.keyed ? with_outcome : without;
    int rc = vdr_score_check(c.rb.c_str(), c.ent, const_cast<char *const *>(keys), c.keyed ? 2 : 1);
    EXPECT_EQ(rc, c.want.empty() ? 0 : -1) << c.rb;
    EXPECT_EQ(std::string(vdr_triad_error()), c.want) << c.rb;
  }
  vdr_score_clear();
  EXPECT_STREQ(vdr_triad_error(), "");
}

TEST(ScoreCheck, TooManyRules) {
  std::string rb;
  for (int i = 0; i < 128; ++i) rb += "annotate=r" + std::to_string(i) + ":+event.action=\"x\"\n";
  EXPECT_EQ(vdr_score_check(rb.c_str(), "auth", nullptr, 0), 0);
  rb += "annotate=r128:+event.action=\"x\"\n";
  EXPECT_EQ(vdr_score_check(rb.c_str(), "auth", nullptr, 0), -1);
  EXPECT_STREQ(vdr_triad_error(), "score gate could not record every rule");
}

TEST(ScoreWire, Table) {
  struct Case {
    const char *rb;
    int want;
  } cases[] = {
      {"version=2\nrule=t:%source.ip:ipv4%\n", 1},
      {"annotate=a:+event.action=\"login\"\nannotate=b:+event.action=\"login\"\n", 0},
      {"annotate=a:+event.action=\"login\"\nannotate=b:+event.action=\"ALLOWED\"\n", 1},
      {"annotate=a:+event.action=\"login\"\nrule=a:%event.action:word%\n", 1},
      {"annotate=a:+event.action=\"login\"\n# rule=a:%event.action:word%\n", 0},
      {"annotate=a:+event.category=\"web\"\n", 1},
  };
  for (const Case &c : cases) EXPECT_EQ(vdr_score_wire_action(c.rb), c.want) << c.rb;
}

} // namespace
