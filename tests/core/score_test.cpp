// Severity preview of one normalized event.
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

} // namespace
