#pragma once
// Which catalog speaks the user's language: from the locale settings of the
// environment (Linux) or from the user's UI language identifier (Windows).
// Each returns a language code of the catalogs, or empty for English.
#include <cstdint>
#include <functional>
#include <string>

// The variables LANGUAGE, LC_ALL, LC_MESSAGES and LANG, read through `getenv`.
// LANGUAGE is a colon-separated list of preferences and comes first, except
// that, as with gettext, a C or POSIX locale keeps the program in English.
std::string LanguageFromEnvironment(const std::function<const char*(const char*)>& getenv);

// A Windows LANGID: its primary language, and for Chinese its sublanguage.
std::string LanguageFromLangId(std::uint16_t langId);

// The user's language on this system.
std::string UserLanguage();
