#include "tools/ImageGenerator.h"

#include <algorithm>
#include <cstring>

namespace {

// xorshift32: cheap, portable and the same on every host, so the stand-ins
// (and their digests) are identical from build to build.
class CFiller {
 public:
  explicit CFiller(std::uint32_t seed) : m_state(seed) {}
  std::uint8_t Next() {
    m_state ^= m_state << 13;
    m_state ^= m_state >> 17;
    m_state ^= m_state << 5;
    return static_cast<std::uint8_t>(m_state >> 24);
  }

 private:
  std::uint32_t m_state;
};

constexpr std::uint32_t kMainSeed = 0x1A006000;
constexpr std::uint32_t kBluetoothSeed = 0xB0C08D1F;
constexpr std::uint32_t kMainStackTop = 0x10008000;
constexpr char kDfuMagic[] = "CSR-dfu2";

void PutLe32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutLe16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

// The first eight vectors of a Cortex-M table, the eighth holding the value
// that makes the eight words sum to zero (the check the LPC18xx boot ROM
// applies to an image's vector table).
void PutVectorTable(std::uint8_t* at) {
  std::uint32_t words[8] = {kMainStackTop,         kMainEntryAddress,     kMainEntryAddress + 0x10,
                            kMainEntryAddress + 0x12, kMainEntryAddress + 0x14, kMainEntryAddress + 0x16,
                            kMainEntryAddress + 0x18, 0};
  std::uint32_t sum = 0;
  for (int i = 0; i < 7; ++i) sum += words[i];
  words[7] = 0u - sum;
  for (int i = 0; i < 8; ++i) PutLe32(at + 4 * i, words[i]);
}

std::uint32_t MainAddressOf(std::size_t index) {
  return index < kMainBankAUsed ? kMainDataStart + static_cast<std::uint32_t>(index)
                                : kMainBankBStart + static_cast<std::uint32_t>(index - kMainBankAUsed);
}

void AppendHexByte(std::string& text, std::uint8_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  text.push_back(kDigits[value >> 4]);
  text.push_back(kDigits[value & 0x0F]);
}

}  // namespace

std::string FormatHexRecord(std::uint8_t type, std::uint16_t offset, std::span<const std::uint8_t> data) {
  const std::size_t length = std::min<std::size_t>(data.size(), 255);
  const std::uint8_t head[4] = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(offset >> 8),
                                static_cast<std::uint8_t>(offset & 0xFF), type};
  std::string line;
  line.reserve(1 + 2 * (length + 5) + 2);
  line.push_back(':');
  std::uint8_t sum = 0;
  for (std::uint8_t byte : head) {
    AppendHexByte(line, byte);
    sum = static_cast<std::uint8_t>(sum + byte);
  }
  for (std::size_t i = 0; i < length; ++i) {
    AppendHexByte(line, data[i]);
    sum = static_cast<std::uint8_t>(sum + data[i]);
  }
  AppendHexByte(line, static_cast<std::uint8_t>(0u - sum));
  line += "\r\n";
  return line;
}

MainImage BuildMainImage() {
  MainImage image;
  image.memory.resize(kMainDataBytes);
  CFiller filler(kMainSeed);
  for (auto& byte : image.memory) byte = filler.Next();
  PutVectorTable(image.memory.data());
  std::copy(kMainVersionStamp.begin(), kMainVersionStamp.end(),
            image.memory.begin() + (kMainStampAddress - kMainDataStart));

  image.hexText.reserve(kMainHexSize);
  std::uint32_t upperHalf = 0xFFFFFFFF;  // no extended address given yet
  std::size_t index = 0;
  while (index < image.memory.size()) {
    const std::uint32_t address = MainAddressOf(index);
    // A record never crosses the end of bank A's used part or a 64 KiB boundary.
    std::size_t count = std::min<std::size_t>(16, image.memory.size() - index);
    if (index < kMainBankAUsed) count = std::min<std::size_t>(count, kMainBankAUsed - index);
    count = std::min<std::size_t>(count, 0x10000 - (address & 0xFFFF));
    if ((address >> 16) != upperHalf) {
      upperHalf = address >> 16;
      const std::uint8_t half[2] = {static_cast<std::uint8_t>(upperHalf >> 8),
                                    static_cast<std::uint8_t>(upperHalf & 0xFF)};
      image.hexText += FormatHexRecord(0x04, 0, half);
    }
    image.hexText += FormatHexRecord(0x00, static_cast<std::uint16_t>(address & 0xFFFF),
                                     std::span(image.memory).subspan(index, count));
    index += count;
  }
  const std::uint8_t entry[4] = {static_cast<std::uint8_t>(kMainEntryAddress >> 24),
                                 static_cast<std::uint8_t>(kMainEntryAddress >> 16),
                                 static_cast<std::uint8_t>(kMainEntryAddress >> 8),
                                 static_cast<std::uint8_t>(kMainEntryAddress)};
  image.hexText += FormatHexRecord(0x05, 0, entry);
  image.hexText += FormatHexRecord(0x01, 0, {});
  return image;
}

std::vector<std::uint8_t> BuildBluetoothImage() {
  std::vector<std::uint8_t> file(kBluetoothDfuSize);
  CFiller filler(kBluetoothSeed);
  for (auto& byte : file) byte = filler.Next();
  std::memcpy(file.data(), kDfuMagic, 8);
  std::copy(kBluetoothVersionStamp.begin(), kBluetoothVersionStamp.end(), file.begin() + kBluetoothStampOffset);

  std::uint8_t* suffix = file.data() + file.size() - kDfuSuffixLength;
  PutLe16(suffix + 0, kDfuSuffixDevice);
  PutLe16(suffix + 2, kDfuSuffixProduct);
  PutLe16(suffix + 4, kDfuSuffixVendor);
  PutLe16(suffix + 6, 0x0100);  // bcdDFU 1.0
  suffix[8] = 'U';
  suffix[9] = 'F';
  suffix[10] = 'D';
  suffix[11] = kDfuSuffixLength;
  PutLe32(suffix + 12, DfuCrc(std::span(file).first(file.size() - 4)));
  return file;
}

std::uint32_t DfuCrc(std::span<const std::uint8_t> bytes) {
  static const auto kTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t value = i;
      for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
      table[i] = value;
    }
    return table;
  }();
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::uint8_t byte : bytes) crc = kTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  return crc;
}
