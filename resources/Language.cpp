#include "resources/Language.h"

#include <cstdlib>
#include <string_view>
#include <utility>

#include "resources/Catalogs.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// `language` when a catalog speaks it, empty (English) otherwise.
std::string Shipped(std::string_view language) {
  for (const TextCatalog& catalog : TextCatalogs())
    if (catalog.language == language) return std::string(language);
  return {};
}

// Simplified Chinese is written in mainland China and Singapore; Taiwan, Hong
// Kong and Macao write Traditional Chinese, which has no catalog.
std::string Chinese(bool simplified) { return simplified ? Shipped("zh_CN") : std::string(); }

// The language part of a locale name language[_TERRITORY][.codeset][@modifier].
std::string_view LanguageOf(std::string_view locale) { return locale.substr(0, locale.find_first_of("_.@")); }

// The catalog for one locale name, the language with its territory first
// (pt_BR), then the language alone (pt); empty for English or when none matches.
std::string CatalogForLocale(std::string_view locale) {
  const std::string_view language = LanguageOf(locale);
  locale = locale.substr(0, locale.find_first_of(".@"));
  const std::string_view region = locale.substr(language.size() + (locale.size() > language.size() ? 1 : 0));
  if (language == "zh") return Chinese(region.empty() || region == "CN" || region == "SG" || region == "Hans");
  if (std::string regional = Shipped(locale); !regional.empty()) return regional;
  return Shipped(language);
}

bool IsCLocale(std::string_view locale) { return locale == "C" || locale == "POSIX" || locale.starts_with("C."); }

}  // namespace

std::string LanguageFromEnvironment(const std::function<const char*(const char*)>& getenv) {
  auto value = [&](const char* name) -> std::string_view {
    const char* text = getenv(name);
    return text ? text : "";
  };
  std::string_view locale = value("LC_ALL");
  if (locale.empty()) locale = value("LC_MESSAGES");
  if (locale.empty()) locale = value("LANG");
  if (IsCLocale(locale)) return {};

  std::string_view preferences = value("LANGUAGE");
  while (!preferences.empty()) {
    const std::size_t colon = preferences.find(':');
    const std::string_view preference = preferences.substr(0, colon);
    preferences = colon == std::string_view::npos ? "" : preferences.substr(colon + 1);
    if (preference.empty()) continue;
    if (LanguageOf(preference) == "en") return {};
    if (std::string language = CatalogForLocale(preference); !language.empty()) return language;
  }
  return CatalogForLocale(locale);
}

std::string LanguageFromLangId(std::uint16_t langId) {
  // Windows' primary language identifiers of languages a catalog may be added
  // for; a language without a catalog reads English.
  static constexpr std::pair<unsigned, std::string_view> kPrimaryLanguages[] = {
      {0x05, "cs"}, {0x06, "da"}, {0x07, "de"}, {0x08, "el"}, {0x0A, "es"}, {0x0B, "fi"}, {0x0C, "fr"},
      {0x0E, "hu"}, {0x10, "it"}, {0x11, "ja"}, {0x12, "ko"}, {0x13, "nl"}, {0x14, "nb"}, {0x15, "pl"},
      {0x16, "pt"}, {0x19, "ru"}, {0x1D, "sv"}, {0x1F, "tr"}, {0x22, "uk"}};
  const unsigned primary = langId & 0x3FFu;
  const unsigned sublanguage = langId >> 10;
  // Neutral (zh-Hans), PRC and Singapore; Taiwan 1, Hong Kong 3, Macao 5 and zh-Hant 0x1F are Traditional.
  if (primary == 0x04) return Chinese(sublanguage == 0x00 || sublanguage == 0x02 || sublanguage == 0x04);
  for (const auto& [id, language] : kPrimaryLanguages)
    if (id == primary) return Shipped(language);
  return {};
}

std::string UserLanguage() {
#ifdef _WIN32
  return LanguageFromLangId(GetUserDefaultUILanguage());
#else
  return LanguageFromEnvironment([](const char* name) { return std::getenv(name); });
#endif
}
