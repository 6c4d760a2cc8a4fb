#pragma once
// The translations the build turns the catalogs under resources/po into
// (tools/text_catalogs.py writes the definition).
#include <span>
#include <string_view>

struct TranslatedText {
  std::string_view english;
  std::string_view translated;
};

struct TextCatalog {
  std::string_view language;
  // Sorted by the English text, byte by byte.
  std::span<const TranslatedText> texts;
};

std::span<const TextCatalog> TextCatalogs();
