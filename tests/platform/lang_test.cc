#include <gtest/gtest.h>

#include "platform/lang.h"
#include "platform/text_ids.h"
#include "support/test_support.h"

namespace km {
namespace {

TEST(LanguageTable, ReadsIdsTextsAndEscapes) {
  size_t count = loadLanguageTableText("# a comment\n"
                                       "\n"
                                       "10000\tError title\r\n"
                                       "10011\tLine one\\nLine two\\tTabbed \\\\ back\n"
                                       "not a number\tignored\n"
                                       "10150\tEnglish");
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(languageText(10000), "Error title");
  EXPECT_EQ(languageText(10011), "Line one\nLine two\tTabbed \\ back");
  EXPECT_EQ(languageText(10150), "English");
  EXPECT_FALSE(hasLanguageText(12345));
  EXPECT_EQ(languageText(12345), "[text 12345]");
}

TEST(LanguageTable, ShippedTableHasEveryTextTheProgramAsksFor) {
  test::loadShippedLanguageTable();
#define KM_EXPECT_TEXT(name, id) EXPECT_TRUE(hasLanguageText(id)) << #name " (" #id ")";
  KM_TEXT_IDS(KM_EXPECT_TEXT)
#undef KM_EXPECT_TEXT
  EXPECT_EQ(languageText(kTextLanguageName), "English");
}

} // namespace
} // namespace km
