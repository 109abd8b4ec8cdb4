// Text builder and JSON string writer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/veldra.h"

TEST(TextBuilder, ReleaseOfUntouchedBufferIsEmptyText) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  char *p = vdr_sb_release(&sb);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p, "");
  vdr_free(p);
}
