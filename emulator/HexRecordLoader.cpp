#include "emulator/HexRecordLoader.h"

#include <algorithm>
#include <cstdio>

namespace {
constexpr std::uint8_t kTypeData = 0x00;
constexpr std::uint8_t kTypeEnd = 0x01;
constexpr std::uint8_t kTypeSegment = 0x02;
constexpr std::uint8_t kTypeStartSegment = 0x03;
constexpr std::uint8_t kTypeLinear = 0x04;
constexpr std::uint8_t kTypeStartLinear = 0x05;
constexpr std::size_t kRecordOverhead = 5;  // length, address high, address low, type, checksum

std::string Describe(const char* what, std::uint32_t value) {
  char text[96];
  std::snprintf(text, sizeof text, "%s 0x%08X", what, static_cast<unsigned>(value));
  return text;
}
}  // namespace

std::uint32_t CEmuHexLoader::Begin(std::uint32_t startAddress) {
  m_begun = false;
  if (startAddress < kEmuApplicationStart || startAddress >= kEmuBankA + kEmuBankSize) return kEmuStatusBadAddress;
  m_flash.Erase(startAddress, kEmuBankA + kEmuBankSize - startAddress);
  m_flash.Erase(kEmuBankB, kEmuBankSize);
  m_md5.Restart();
  m_begun = true;
  m_refuseNext = false;
  m_lowest = startAddress;
  m_upper = 0;
  m_records = 0;
  m_entryPoint = 0;
  m_firstError.clear();
  return kEmuStatusOk;
}

void CEmuHexLoader::Refuse(std::string reason) {
  if (m_firstError.empty()) m_firstError = std::move(reason);
}

void CEmuHexLoader::WriteRecord(std::span<const std::uint8_t> record) {
  if (!m_begun) return;
  ++m_records;
  m_md5.Update(record);
  if (m_refuseNext) {
    m_refuseNext = false;
    Refuse(Describe("record refused on request, number", m_records));
    return;
  }
  if (record.size() < kRecordOverhead || record[0] != record.size() - kRecordOverhead) {
    Refuse(Describe("record length does not match its count, record", m_records));
    return;
  }
  std::uint8_t sum = 0;
  for (std::uint8_t byte : record) sum = static_cast<std::uint8_t>(sum + byte);
  if (sum != 0) {
    Refuse(Describe("record checksum wrong, record", m_records));
    return;
  }
  const std::uint32_t offset = (std::uint32_t{record[1]} << 8) | record[2];
  const std::span<const std::uint8_t> data = record.subspan(4, record[0]);
  switch (record[3]) {
    case kTypeData: {
      const std::uint32_t address = m_upper + offset;
      if (address < m_lowest || !m_flash.Contains(address, data.size())) {
        Refuse(Describe("record outside the application area at", address));
        return;
      }
      m_flash.Write(address, data);
      return;
    }
    case kTypeEnd:
      return;
    case kTypeSegment:
    case kTypeLinear:
      if (data.size() != 2) {
        Refuse(Describe("address record with wrong length, record", m_records));
        return;
      }
      m_upper = ((std::uint32_t{data[0]} << 8) | data[1]) << (record[3] == kTypeLinear ? 16 : 4);
      return;
    case kTypeStartSegment:
      return;
    case kTypeStartLinear:
      if (data.size() == 4) {
        m_entryPoint = (std::uint32_t{data[0]} << 24) | (std::uint32_t{data[1]} << 16) |
                       (std::uint32_t{data[2]} << 8) | data[3];
      }
      return;
    default:
      Refuse(Describe("unknown record type, record", m_records));
  }
}

std::uint32_t CEmuHexLoader::Finish(std::span<const std::uint8_t, 16> hostDigest) {
  if (!m_begun) return kEmuStatusNotBegun;
  m_begun = false;
  if (!m_firstError.empty()) return kEmuStatusRecordRefused;
  const CEmuMd5::Digest own = m_md5.Current();
  return std::equal(own.begin(), own.end(), hostDigest.begin()) ? kEmuStatusOk : kEmuStatusDigestMismatch;
}
