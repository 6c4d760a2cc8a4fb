#pragma once
// The third controller's loader: seven 64 KiB blocks, erased one by one
// (LDR_M_ERASE_BLOCK), written in addressed pieces with a checksum
// (LDR_M_WRITE) and closed by LDR_M_FINISH with the MD5 of every write
// payload (address, data and checksum bytes). Erasing block 0 starts a new
// session. A refused write shows only in the finish's status.
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "emulator/EmuFlash.h"
#include "emulator/EmuMd5.h"

inline constexpr std::uint32_t kEmuThirdBlockCount = 7;
inline constexpr std::uint32_t kEmuThirdBlockSize = 0x10000;
inline constexpr std::uint32_t kEmuThirdStampOffset = 0x100;

class CEmuThirdLoader {
 public:
  explicit CEmuThirdLoader(CEmuFlash& flash) : m_flash(flash) {}

  // False for a block number outside 0..6.
  bool EraseBlock(std::uint32_t block);
  // The bytes 4 .. 3 + count of one LDR_M_WRITE: address, data, checksum.
  void Write(std::span<const std::uint8_t> payload);
  std::uint32_t Finish(std::span<const std::uint8_t, 16> hostDigest);

  // A restart ends any session without a verdict.
  void Abandon() { m_begun = false; }
  const std::string& FirstError() const { return m_firstError; }

 private:
  void Refuse(std::string reason);

  CEmuFlash& m_flash;
  CEmuMd5 m_md5;
  bool m_begun = false;
  std::array<bool, kEmuThirdBlockCount> m_erased{};
  std::string m_firstError;
};
