#include "resources/EmbeddedImages.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kImagesDir = QUILLON_IMAGES_DIR;

std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
  std::error_code error;
  const auto size = fs::file_size(path, error);
  if (error) return {};
  std::vector<std::uint8_t> bytes(size);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

// The digest as md5sum prints it, in lowercase hexadecimal; empty when md5sum failed.
std::string Md5sumOf(const fs::path& path) {
  const std::string command = "md5sum '" + path.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  char buffer[256] = {};
  const std::size_t got = std::fread(buffer, 1, sizeof buffer - 1, pipe);
  const int status = pclose(pipe);
  if (status != 0 || got < 32) return {};
  return std::string(buffer, 32);
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

struct ImageCase {
  const char* item;
  const char* digestItem;
  const char* file;
  bool isStandIn;
  std::size_t standInSize;
};

void PrintTo(const ImageCase& c, std::ostream* os) { *os << c.item; }

class EmbeddedImage : public ::testing::TestWithParam<ImageCase> {};

TEST_P(EmbeddedImage, ItemHoldsExactlyTheFileBytes) {
  const auto item = FindEmbeddedItem(GetParam().item);
  ASSERT_TRUE(item.has_value());
  const std::vector<std::uint8_t> file = ReadBytes(kImagesDir / GetParam().file);
  ASSERT_FALSE(file.empty()) << "missing " << (kImagesDir / GetParam().file);
  ASSERT_EQ(item->size(), file.size());
  EXPECT_TRUE(std::equal(item->begin(), item->end(), file.begin()));
  if (GetParam().isStandIn) {
    EXPECT_EQ(item->size(), GetParam().standInSize);
  }
}

TEST_P(EmbeddedImage, DigestItemIsMd5sumOfTheFile) {
  if (std::system("command -v md5sum >/dev/null 2>&1") != 0) {
    FAIL() << "md5sum is not installed; this check needs it (Debian package coreutils)";
  }
  const auto digest = FindEmbeddedItem(GetParam().digestItem);
  ASSERT_TRUE(digest.has_value());
  ASSERT_EQ(digest->size(), 16u);
  const std::string expected = Md5sumOf(kImagesDir / GetParam().file);
  ASSERT_EQ(expected.size(), 32u) << "md5sum failed on " << (kImagesDir / GetParam().file);
  EXPECT_EQ(Hex(*digest), expected);
}

INSTANTIATE_TEST_SUITE_P(Items, EmbeddedImage,
                         ::testing::Values(ImageCase{"LPC18XX_RCDATA", "LPC18XX_RCDATA_MD5", "lpc18xx.hex",
                                                     QUILLON_LPC18XX_IS_STANDIN != 0, 1258039},
                                           ImageCase{"BC08_RCDATA", "BC08_RCDATA_MD5", "bc08.dfu",
                                                     QUILLON_BC08_IS_STANDIN != 0, 1541948}),
                         [](const auto& info) { return std::string(info.param.item); });

TEST(EmbeddedImages, OnlyTheCarriedNamesAreFound) {
  const char* absent[] = {"KESTRAN_RCDATA", "KESTRAN_RCDATA_MD5", "", "lpc18xx_rcdata", "LPC18XX_RCDATA ",
                          "LPC18XX", "BC08_RCDATA_MD5X"};
  for (const char* name : absent) EXPECT_FALSE(FindEmbeddedItem(name).has_value()) << '"' << name << '"';
}

TEST(EmbeddedImages, ItemsStayTheSameAcrossLookups) {
  const auto first = FindEmbeddedItem("BC08_RCDATA");
  const auto second = FindEmbeddedItem("BC08_RCDATA");
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->data(), second->data());
  EXPECT_EQ(first->size(), second->size());
}

}  // namespace
