#include "resources/Translation.h"

#include <algorithm>
#include <atomic>

#include "resources/Catalogs.h"

namespace {

// Set before the threads that read it start; atomic so that a late change stays well-defined.
std::atomic<const TextCatalog*> g_catalog{nullptr};

}  // namespace

void SetUiLanguage(std::string_view language) {
  const auto catalogs = TextCatalogs();
  const auto found = std::find_if(catalogs.begin(), catalogs.end(),
                                  [&](const TextCatalog& catalog) { return catalog.language == language; });
  g_catalog.store(found == catalogs.end() ? nullptr : &*found);
}

std::string_view UiLanguage() {
  const TextCatalog* catalog = g_catalog.load();
  return catalog ? catalog->language : std::string_view();
}

std::string Tr(std::string_view english) {
  const TextCatalog* catalog = g_catalog.load();
  if (catalog == nullptr) return std::string(english);
  const auto found = std::lower_bound(catalog->texts.begin(), catalog->texts.end(), english,
                                      [](const TranslatedText& entry, std::string_view key) { return entry.english < key; });
  if (found == catalog->texts.end() || found->english != english) return std::string(english);
  return std::string(found->translated);
}

std::string FormatText(std::string_view text, std::initializer_list<TextArgument> arguments) {
  std::string result;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t open = text.find('{', at);
    const std::size_t close = open == std::string_view::npos ? open : text.find('}', open);
    if (close == std::string_view::npos) break;
    const std::string_view name = text.substr(open + 1, close - open - 1);
    const auto argument = std::find_if(arguments.begin(), arguments.end(),
                                       [&](const TextArgument& candidate) { return candidate.name == name; });
    result.append(text.substr(at, open - at));
    if (argument != arguments.end())
      result.append(argument->value);
    else
      result.append(text.substr(open, close - open + 1));
    at = close + 1;
  }
  result.append(text.substr(at));
  return result;
}
