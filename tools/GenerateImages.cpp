// Build-time image tool.
//   quillon_imagegen standins <dir>     writes lpc18xx.hex, lpc18xx.bin, bc08.dfu
//   quillon_imagegen digest <in> <out>  writes the 16-byte MD5 digest of <in>
// Each file is written under a temporary name and renamed, so an interrupted
// build never leaves a half-written image that looks up to date.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "loader/md5/Md5.h"
#include "tools/ImageGenerator.h"

namespace {

bool WriteFile(const std::filesystem::path& path, std::span<const char> bytes) {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::fprintf(stderr, "quillon_imagegen: cannot write %s\n", temporary.c_str());
      return false;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  if (error) {
    std::fprintf(stderr, "quillon_imagegen: cannot rename %s: %s\n", temporary.c_str(), error.message().c_str());
    return false;
  }
  return true;
}

bool WriteFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  return WriteFile(path, std::span(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

int WriteStandIns(const std::filesystem::path& directory) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  const MainImage main = BuildMainImage();
  const std::vector<std::uint8_t> bluetooth = BuildBluetoothImage();
  const bool written = WriteFile(directory / "lpc18xx.hex", std::span(main.hexText.data(), main.hexText.size())) &&
                       WriteFile(directory / "lpc18xx.bin", std::span(main.memory)) &&
                       WriteFile(directory / "bc08.dfu", std::span(bluetooth));
  return written ? 0 : 1;
}

int WriteDigest(const std::filesystem::path& input, const std::filesystem::path& output) {
  std::error_code error;
  std::ifstream in;
  std::uintmax_t size = 0;
  if (std::filesystem::is_regular_file(input, error)) {
    size = std::filesystem::file_size(input, error);
    if (!error) in.open(input, std::ios::binary);
  }
  if (!in.is_open()) {
    std::fprintf(stderr, "quillon_imagegen: cannot read image %s\n", input.c_str());
    return 1;
  }
  std::vector<std::uint8_t> bytes(size);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (static_cast<std::uintmax_t>(in.gcount()) != size) {
    std::fprintf(stderr, "quillon_imagegen: error reading image %s\n", input.c_str());
    return 1;
  }
  const Md5Digest digest = CMd5::Of(bytes);
  return WriteFile(output, std::span(digest)) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "standins") return WriteStandIns(args[1]);
  if (args.size() == 3 && args[0] == "digest") return WriteDigest(args[1], args[2]);
  std::fprintf(stderr,
               "usage: quillon_imagegen standins <dir>\n"
               "       quillon_imagegen digest <image> <digest-out>\n");
  return 2;
}
