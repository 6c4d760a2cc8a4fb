#pragma once
// The main microcontroller's bootloader as it takes an image: LDR_BEGIN erases
// the application area, each LDR_WRITE_RECORD carries one Intel HEX record in
// binary, which the loader checks and writes into flash, and LDR_FINISH
// compares the host's MD5 of every payload byte since the begin with its own.
// A refused record is remembered and reported only by the finish.
#include <cstdint>
#include <span>
#include <string>

#include "emulator/EmuFlash.h"
#include "emulator/EmuMd5.h"

// Status words of the loaders' status reports (bytes 3..6, little-endian).
inline constexpr std::uint32_t kEmuStatusOk = 0x4B4F;             // 'O','K'
inline constexpr std::uint32_t kEmuStatusBadAddress = 0x4441;     // 'A','D': begin address outside the application
inline constexpr std::uint32_t kEmuStatusRecordRefused = 0x4A52;  // 'R','J': a record was refused
inline constexpr std::uint32_t kEmuStatusDigestMismatch = 0x444D; // 'M','D': MD5 differs
inline constexpr std::uint32_t kEmuStatusNotBegun = 0x424E;       // 'N','B': finish without begin

// The main microcontroller's memory: two 512 KiB banks; the application starts
// at 0x1A006000, below it lives the bootloader.
inline constexpr std::uint32_t kEmuBankA = 0x1A000000;
inline constexpr std::uint32_t kEmuBankB = 0x1B000000;
inline constexpr std::uint32_t kEmuBankSize = 512 * 1024;
inline constexpr std::uint32_t kEmuApplicationStart = 0x1A006000;
inline constexpr std::uint32_t kEmuMainStampAddress = 0x1A006100;

class CEmuHexLoader {
 public:
  explicit CEmuHexLoader(CEmuFlash& flash) : m_flash(flash) {}

  // LDR_BEGIN: erases the application area from `startAddress` on; returns the status word.
  std::uint32_t Begin(std::uint32_t startAddress);
  // LDR_WRITE_RECORD: the n payload bytes of one report (one record in binary).
  void WriteRecord(std::span<const std::uint8_t> record);
  // Refuses the current record although it is sound (an injected fault).
  void RefuseNext() { m_refuseNext = true; }
  // LDR_FINISH: the host's digest; returns the status word and ends the session.
  std::uint32_t Finish(std::span<const std::uint8_t, 16> hostDigest);

  // A restart ends any session without a verdict.
  void Abandon() { m_begun = false; }
  bool Begun() const { return m_begun; }
  std::uint32_t RecordCount() const { return m_records; }
  std::uint32_t EntryPoint() const { return m_entryPoint; }
  // Why the first record was refused; empty when none was.
  const std::string& FirstError() const { return m_firstError; }

 private:
  void Refuse(std::string reason);

  CEmuFlash& m_flash;
  CEmuMd5 m_md5;
  bool m_begun = false;
  bool m_refuseNext = false;
  std::uint32_t m_lowest = kEmuApplicationStart;
  std::uint32_t m_upper = 0;  // upper address bits from type 02 or 04 records
  std::uint32_t m_records = 0;
  std::uint32_t m_entryPoint = 0;
  std::string m_firstError;
};
