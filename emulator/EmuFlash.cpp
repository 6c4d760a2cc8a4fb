#include "emulator/EmuFlash.h"

#include <algorithm>
#include <array>

namespace {
constexpr std::uint8_t kErased = 0xFF;
constexpr std::size_t kStampLength = 8;
}  // namespace

std::uint32_t EmuVersionFromStamp(std::span<const std::uint8_t> image, std::size_t offset) {
  if (offset > image.size() || image.size() - offset < kStampLength) return 0;
  const std::uint8_t* stamp = image.data() + offset;
  if (stamp[0] != 'Q' || stamp[1] != 'V' || stamp[2] != 'E' || stamp[3] != 'R') return 0;
  return (std::uint32_t{stamp[4]} << 24) | (std::uint32_t{stamp[5]} << 16) | (std::uint32_t{stamp[7]} << 8) |
         stamp[6];
}

CEmuFlash::CEmuFlash(std::vector<Bank> banks) {
  for (const Bank& bank : banks) m_banks.push_back({bank, std::vector<std::uint8_t>(bank.size, kErased)});
}

CEmuFlash::Storage* CEmuFlash::Find(std::uint32_t address, std::size_t length) {
  for (Storage& storage : m_banks) {
    if (address >= storage.bank.base && address - storage.bank.base <= storage.bank.size &&
        length <= storage.bank.size - (address - storage.bank.base)) {
      return &storage;
    }
  }
  return nullptr;
}

const CEmuFlash::Storage* CEmuFlash::Find(std::uint32_t address, std::size_t length) const {
  return const_cast<CEmuFlash*>(this)->Find(address, length);
}

bool CEmuFlash::Contains(std::uint32_t address, std::size_t length) const { return Find(address, length) != nullptr; }

bool CEmuFlash::Write(std::uint32_t address, std::span<const std::uint8_t> bytes) {
  Storage* storage = Find(address, bytes.size());
  if (storage == nullptr) return false;
  std::copy(bytes.begin(), bytes.end(), storage->bytes.begin() + (address - storage->bank.base));
  return true;
}

void CEmuFlash::Erase(std::uint32_t address, std::size_t length) {
  const std::uint64_t end = std::uint64_t{address} + length;
  for (Storage& storage : m_banks) {
    const std::uint64_t from = std::max<std::uint64_t>(address, storage.bank.base);
    const std::uint64_t to = std::min<std::uint64_t>(end, std::uint64_t{storage.bank.base} + storage.bank.size);
    if (from >= to) continue;
    std::fill(storage.bytes.begin() + static_cast<std::ptrdiff_t>(from - storage.bank.base),
              storage.bytes.begin() + static_cast<std::ptrdiff_t>(to - storage.bank.base), kErased);
  }
}

void CEmuFlash::EraseAll() {
  for (Storage& storage : m_banks) std::fill(storage.bytes.begin(), storage.bytes.end(), kErased);
}

std::vector<std::uint8_t> CEmuFlash::Read(std::uint32_t address, std::size_t length) const {
  std::vector<std::uint8_t> out(length, kErased);
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint64_t at = std::uint64_t{address} + i;
    if (at > 0xFFFFFFFFu) break;
    if (const Storage* storage = Find(static_cast<std::uint32_t>(at), 1)) {
      out[i] = storage->bytes[static_cast<std::uint32_t>(at) - storage->bank.base];
    }
  }
  return out;
}

std::uint32_t CEmuFlash::VersionAt(std::uint32_t address) const {
  const std::vector<std::uint8_t> stamp = Read(address, kStampLength);
  return EmuVersionFromStamp(stamp, 0);
}

bool CEmuFlash::WriteVersionStamp(std::uint32_t address, std::uint32_t versionWord) {
  const std::array<std::uint8_t, kStampLength> stamp = {'Q',
                                                        'V',
                                                        'E',
                                                        'R',
                                                        static_cast<std::uint8_t>(versionWord >> 24),
                                                        static_cast<std::uint8_t>(versionWord >> 16),
                                                        static_cast<std::uint8_t>(versionWord & 0xFF),
                                                        static_cast<std::uint8_t>(versionWord >> 8)};
  return Write(address, stamp);
}
