#pragma once
// What a host feeds the emulated loaders, built here independently of the
// code under test: Intel HEX records in binary and the MD5 digest of a stream.
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <vector>

// One Intel HEX record in binary, written out field by field.
inline std::vector<std::uint8_t> HexRecord(std::uint8_t type, std::uint16_t offset,
                                           const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> record = {static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(offset >> 8),
                                      static_cast<std::uint8_t>(offset & 0xFF), type};
  record.insert(record.end(), data.begin(), data.end());
  std::uint8_t sum = 0;
  for (std::uint8_t byte : record) sum = static_cast<std::uint8_t>(sum + byte);
  record.push_back(static_cast<std::uint8_t>(0x100 - sum));
  return record;
}

inline std::array<std::uint8_t, 16> Md5Of(const std::vector<std::uint8_t>& bytes) {
  std::array<std::uint8_t, 16> digest{};
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_md5(), nullptr);
  return digest;
}
