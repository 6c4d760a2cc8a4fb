// Stand-in until the images are embedded: the build carries no item yet.
#include "resources/EmbeddedImages.h"

std::optional<std::span<const std::uint8_t>> FindEmbeddedItem(std::string_view) { return std::nullopt; }
