#include "resources/Translation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "resources/Catalogs.h"
#include "resources/Language.h"
#include "resources/StringTable.h"

namespace {

struct LocaleCase {
  std::map<std::string, std::string> environment;
  std::string language;
};

class LanguageFromEnvironmentTest : public ::testing::TestWithParam<LocaleCase> {};

TEST_P(LanguageFromEnvironmentTest, PicksTheCatalogTheUserAsksFor) {
  const auto& environment = GetParam().environment;
  const auto getenv = [&](const char* name) -> const char* {
    const auto found = environment.find(name);
    return found == environment.end() ? nullptr : found->second.c_str();
  };
  EXPECT_EQ(LanguageFromEnvironment(getenv), GetParam().language);
}

INSTANTIATE_TEST_SUITE_P(
    Locales, LanguageFromEnvironmentTest,
    ::testing::Values(LocaleCase{{}, ""}, LocaleCase{{{"LANG", "de_DE.UTF-8"}}, "de"},
                      LocaleCase{{{"LANG", "fr_CA.UTF-8"}}, "fr"}, LocaleCase{{{"LANG", "ja_JP.eucJP"}}, "ja"},
                      LocaleCase{{{"LANG", "it_IT@euro"}}, "it"}, LocaleCase{{{"LANG", "es"}}, "es"},
                      // Simplified Chinese only: Taiwan and Hong Kong write Traditional Chinese.
                      LocaleCase{{{"LANG", "zh_CN.UTF-8"}}, "zh_CN"}, LocaleCase{{{"LANG", "zh_SG"}}, "zh_CN"},
                      LocaleCase{{{"LANG", "zh_TW.UTF-8"}}, ""}, LocaleCase{{{"LANG", "zh_HK"}}, ""},
                      LocaleCase{{{"LANG", "pt_BR.UTF-8"}}, ""}, LocaleCase{{{"LANG", "en_GB.UTF-8"}}, ""},
                      // LC_ALL over LC_MESSAGES over LANG.
                      LocaleCase{{{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "fr_FR.UTF-8"}}, "fr"},
                      LocaleCase{{{"LC_MESSAGES", "fr_FR.UTF-8"}, {"LC_ALL", "ja_JP.UTF-8"}}, "ja"},
                      LocaleCase{{{"LANG", "de_DE.UTF-8"}, {"LC_ALL", ""}}, "de"},
                      // LANGUAGE first, its first entry with a catalog (or English) wins.
                      LocaleCase{{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "ja"}}, "ja"},
                      LocaleCase{{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "pt_BR:it:de"}}, "it"},
                      LocaleCase{{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "en_US:de"}}, ""},
                      LocaleCase{{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "pt:nl"}}, "de"},
                      LocaleCase{{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "::"}}, "de"},
                      // A C locale keeps the program in English, whatever LANGUAGE says.
                      LocaleCase{{{"LC_ALL", "C"}, {"LANGUAGE", "de"}}, ""},
                      LocaleCase{{{"LANG", "C.UTF-8"}, {"LANGUAGE", "de"}}, ""},
                      LocaleCase{{{"LANG", "POSIX"}}, ""}, LocaleCase{{{"LANGUAGE", "de"}}, "de"}));

TEST(LanguageFromLangIdTest, MapsPrimaryLanguagesAndTheChineseScripts) {
  const std::map<std::uint16_t, std::string> cases = {
      {0x0407, "de"}, {0x0807, "de"}, {0x040C, "fr"}, {0x0C0C, "fr"},    {0x0C0A, "es"},   {0x0410, "it"},
      {0x0411, "ja"}, {0x0804, "zh_CN"}, {0x1004, "zh_CN"}, {0x0004, "zh_CN"}, {0x0404, ""}, {0x0C04, ""},
      {0x1404, ""},   {0x7C04, ""},   {0x0409, ""},   {0x0416, ""},       {0x0000, ""}};
  for (const auto& [langId, language] : cases) EXPECT_EQ(LanguageFromLangId(langId), language) << std::hex << langId;
}

TEST(FormatTextTest, ReplacesEveryNamedPlaceholder) {
  EXPECT_EQ(FormatText("{a} and {b}, {a}", {{"a", "x"}, {"b", "{a}"}}), "x and {a}, x");
  EXPECT_EQ(FormatText("{missing} stays", {{"a", "x"}}), "{missing} stays");
  EXPECT_EQ(FormatText("unclosed {a", {{"a", "x"}}), "unclosed {a");
  EXPECT_EQ(FormatText("", {{"a", "x"}}), "");
}

class TranslationTest : public ::testing::Test {
 protected:
  void TearDown() override { SetUiLanguage(""); }
};

TEST_F(TranslationTest, ChosenCatalogTranslatesAndEnglishIsTheFallback) {
  EXPECT_EQ(Tr("Close"), "Close");
  SetUiLanguage("de");
  EXPECT_EQ(UiLanguage(), "de");
  EXPECT_EQ(Tr("Close"), "Schließen");
  EXPECT_EQ(Tr("A text no catalog has"), "A text no catalog has");
  EXPECT_EQ(UpgradingStatusText(512, 1024), "Aktualisierung läuft, bitte warten...\n512 von 1024 Bytes");
  SetUiLanguage("ja");
  EXPECT_EQ(WindowTitle("Aurelix Rho"), "Aurelix Rho デバイス ファームウェア アップグレード");
  SetUiLanguage("xx");
  EXPECT_EQ(UiLanguage(), "");
  EXPECT_EQ(Tr("Close"), "Close");
}

// The English texts are the ones the dialog always showed, to the character.
TEST_F(TranslationTest, EnglishSentencesWithPlaceholdersReadAsBefore) {
  EXPECT_EQ(FormatText(LoadStringById(IDS_WILL_UPGRADE), {{"product", "Aurelix Rho"}}),
            "This program will upgrade the firmware of your Aurelix Rho. Press Upgrade to begin.");
  EXPECT_EQ(UpgradingStatusText(0, 86016), "Upgrading in progress, please wait...\n0 of 86016 bytes");
  EXPECT_EQ(WindowTitle(kTemplateProductName), "Quillon Device Firmware Upgrade");
  EXPECT_EQ(AboutBoxCaption(), "About Quillon Device HID Firmware Upgrade");
  EXPECT_EQ(AboutBoxText(), "Quillon Device HID Firmware Upgrade Version 2.00");
  EXPECT_EQ(FormatText(LoadStringById(IDS_CURRENT_VERSION), {{"version", LoadStringById(IDS_VERSION_UNKNOWN)}}),
            "Current Version: Unknown.");
}

TEST_F(TranslationTest, CatalogsAreSortedForTheirLookup) {
  for (const TextCatalog& catalog : TextCatalogs()) {
    EXPECT_TRUE(std::is_sorted(catalog.texts.begin(), catalog.texts.end(),
                               [](const TranslatedText& a, const TranslatedText& b) { return a.english < b.english; }))
        << catalog.language;
    SetUiLanguage(catalog.language);
    for (const TranslatedText& text : catalog.texts) EXPECT_EQ(Tr(text.english), text.translated);
  }
}

}  // namespace
