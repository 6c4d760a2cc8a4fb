#include "emulator/ThirdControllerLoader.h"

#include <algorithm>
#include <cstdio>

#include "emulator/HexRecordLoader.h"

bool CEmuThirdLoader::EraseBlock(std::uint32_t block) {
  if (block >= kEmuThirdBlockCount) return false;
  if (block == 0) {
    m_md5.Restart();
    m_begun = true;
    m_erased.fill(false);
    m_firstError.clear();
  }
  m_flash.Erase(block * kEmuThirdBlockSize, kEmuThirdBlockSize);
  m_erased[block] = true;
  return true;
}

void CEmuThirdLoader::Refuse(std::string reason) {
  if (m_firstError.empty()) m_firstError = std::move(reason);
}

void CEmuThirdLoader::Write(std::span<const std::uint8_t> payload) {
  if (!m_begun) return;
  m_md5.Update(payload);
  if (payload.size() < 5) {
    Refuse("write shorter than address and checksum");
    return;
  }
  std::uint8_t sum = 0;
  for (std::uint8_t byte : payload) sum = static_cast<std::uint8_t>(sum + byte);
  const std::uint32_t address = payload[0] | (std::uint32_t{payload[1]} << 8) | (std::uint32_t{payload[2]} << 16) |
                                (std::uint32_t{payload[3]} << 24);
  char text[80];
  if (sum != 0) {
    std::snprintf(text, sizeof text, "write checksum wrong at 0x%08X", static_cast<unsigned>(address));
    Refuse(text);
    return;
  }
  const std::span<const std::uint8_t> data = payload.subspan(4, payload.size() - 5);
  const bool inside = m_flash.Contains(address, data.size());
  bool erased = inside;
  if (inside && !data.empty()) {
    for (std::uint32_t block = address / kEmuThirdBlockSize;
         block <= (address + data.size() - 1) / kEmuThirdBlockSize; ++block) {
      erased = erased && m_erased[block];
    }
  }
  if (!erased) {
    std::snprintf(text, sizeof text, "write outside the erased blocks at 0x%08X", static_cast<unsigned>(address));
    Refuse(text);
    return;
  }
  m_flash.Write(address, data);
}

std::uint32_t CEmuThirdLoader::Finish(std::span<const std::uint8_t, 16> hostDigest) {
  if (!m_begun) return kEmuStatusNotBegun;
  m_begun = false;
  if (!m_firstError.empty()) return kEmuStatusRecordRefused;
  const CEmuMd5::Digest own = m_md5.Current();
  return std::equal(own.begin(), own.end(), hostDigest.begin()) ? kEmuStatusOk : kEmuStatusDigestMismatch;
}
