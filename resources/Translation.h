#pragma once
// The texts the user reads, in the user's language. English is the source
// language: a text looks itself up by its English wording in the catalog of the
// chosen language, and stays English when the catalog has no translation. The
// log never goes through here: it is for support and stays English.
#include <initializer_list>
#include <string>
#include <string_view>

// Marks a literal for the translators' catalog where the lookup happens later
// (the string table); the text itself is returned unchanged.
constexpr const char* MarkForTranslation(const char* english) { return english; }

// Chooses the catalog: a language code of the catalogs ("de", "zh_CN"), or
// empty for English. An unknown code means English. Called at start, before
// any other thread runs.
void SetUiLanguage(std::string_view language);
// The code chosen, empty for English.
std::string_view UiLanguage();

// `english` in the chosen language.
std::string Tr(std::string_view english);

// A text's placeholders, each written {name} in the text.
struct TextArgument {
  std::string_view name;
  std::string value;
};

// `text` with every {name} replaced by the argument of that name; a
// placeholder without an argument stays as written.
std::string FormatText(std::string_view text, std::initializer_list<TextArgument> arguments);
