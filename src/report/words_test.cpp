#include "report/words.h"

#include <gtest/gtest.h>

#include "base/messages.h"

namespace quillon {
namespace {

TEST(CatalogueTest, ReadsEntriesAsGettextWritesThem) {
  const Catalogue catalogue(R"(# a comment
msgid ""
msgstr ""
"Language: ja\n"

#: src/a.cpp:1
#, c-format
msgid "%s exists"
msgstr "%s はあります"

msgid ""
"a text on "
"two lines\n"
msgstr "二行の"
"テキスト\n"

#, fuzzy
msgid "old"
msgstr "古い"

msgid "not yet"
msgstr ""

msgid "quote \" and \\ and\ttab"
msgstr "引用 \" と \\ と\tタブ"
)");
  EXPECT_EQ(catalogue.Find("%s exists"), "%s はあります");
  EXPECT_EQ(catalogue.Find("a text on two lines\n"), "二行のテキスト\n");
  EXPECT_EQ(catalogue.Find("quote \" and \\ and\ttab"), "引用 \" と \\ と\tタブ");
  // Fuzzy and untranslated entries, and the header, stay English.
  EXPECT_EQ(catalogue.Find("old"), "");
  EXPECT_EQ(catalogue.Find("not yet"), "");
  EXPECT_EQ(catalogue.Find(""), "");
  EXPECT_EQ(catalogue.size(), 3u);
}

struct FormatCase {
  const char* format;
  const char* expected;
};

class FormatArgsTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatArgsTest, ReplacesInOrderOrByPlace) {
  EXPECT_EQ(FormatArgs(GetParam().format, {"A", "B", "C"}), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Formats, FormatArgsTest,
                         ::testing::Values(FormatCase{"%s and %s", "A and B"},
                                           FormatCase{"%2$s before %1$s", "B before A"},
                                           FormatCase{"100%% of %s", "100% of A"},
                                           FormatCase{"%s%s%s%s", "ABC"},
                                           FormatCase{"a lone % sign", "a lone % sign"},
                                           FormatCase{"%9$s", ""},
                                           FormatCase{"ends in %", "ends in %"}));

struct LocaleCase {
  const char* locale;
  Language language;
};

class LanguageOfLocaleTest : public ::testing::TestWithParam<LocaleCase> {};

TEST_P(LanguageOfLocaleTest, JapaneseOnlyForJapanese) {
  EXPECT_EQ(LanguageOfLocale(GetParam().locale), GetParam().language) << GetParam().locale;
}

INSTANTIATE_TEST_SUITE_P(Locales, LanguageOfLocaleTest,
                         ::testing::Values(LocaleCase{"ja_JP.UTF-8", Language::kJapanese},
                                           LocaleCase{"ja", Language::kJapanese},
                                           LocaleCase{"ja_JP.eucJP", Language::kJapanese},
                                           LocaleCase{"Japanese_Japan.932", Language::kJapanese},
                                           LocaleCase{"C.UTF-8", Language::kEnglish},
                                           LocaleCase{"C", Language::kEnglish},
                                           LocaleCase{"POSIX", Language::kEnglish},
                                           LocaleCase{"en_US.UTF-8", Language::kEnglish},
                                           LocaleCase{"", Language::kEnglish},
                                           LocaleCase{"jv_ID", Language::kEnglish}));

// The built-in catalogue answers in Japanese only when Japanese is asked for.
TEST(WordsTest, TheBuiltInCatalogueFollowsTheLanguage) {
  SetLanguage(Language::kJapanese);
  EXPECT_EQ(Tr("interrupted"), "中断");
  EXPECT_EQ(TrF("%s of %s ports updated; exit status %s\n", {"1", "2", "17"}),
            "2 ポート中 1 ポートを更新しました。終了ステータス 17\n");
  EXPECT_EQ(Tr("a text nobody translated"), "a text nobody translated");
  EXPECT_EQ(TrIn(Language::kEnglish, "interrupted"), "interrupted");
  SetLanguage(Language::kEnglish);
  EXPECT_EQ(Tr("interrupted"), "interrupted");
}

// The command line shows a message id's own text to readers of Japanese, the English to others;
// 504 keeps the port it names.
TEST(WordsTest, MessagesInEitherLanguage) {
  const std::string refused = PortOpenFailedText("/dev/ttyUSB0");
  EXPECT_EQ(MessageTextEnglish(kMsgPortOpenFailed, refused), "/dev/ttyUSB0 cannot be opened.");
  EXPECT_EQ(MessageTextEnglish(kMsgPortOpenFailed, PortOpenFailedText("COM3")),
            "COM3 cannot be opened.");
  EXPECT_EQ(MessageTextEnglish(kMsgUpdateFinished, MessageText(kMsgUpdateFinished)),
            "The update has finished.\nSet the DIP switches back and restart the device.");
  for (int id : {202, 203, 204, 205, 500, 501, 502, 503, 504, 505, 506}) {
    EXPECT_FALSE(MessageTextEnglish(id).empty()) << id;
  }
  SetLanguage(Language::kJapanese);
  EXPECT_EQ(MessageTextShown(kMsgPortOpenFailed, refused), refused);
  SetLanguage(Language::kEnglish);
  EXPECT_EQ(MessageTextShown(kMsgPortOpenFailed, refused), "/dev/ttyUSB0 cannot be opened.");
  EXPECT_EQ(MessageTextShownNaming(kMsgPortOpenFailed, "/dev/ttyUSB0"), "/dev/ttyUSB0 cannot be opened.");
  EXPECT_EQ(MessageTextShownNaming(kMsgPortOpenFailed, "COM3", Language::kJapanese), "COM3がオープンできません。");
  // A text that is not the message's own is shown as it is.
  EXPECT_EQ(MessageTextEnglish(kMsgPortOpenFailed, "something else"), "something else");
}

}  // namespace
}  // namespace quillon
