#pragma once
// A simulated flash memory made of banks at fixed addresses; erased bytes read 0xFF.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class CEmuFlash {
 public:
  struct Bank {
    std::uint32_t base = 0;
    std::uint32_t size = 0;
  };

  explicit CEmuFlash(std::vector<Bank> banks);

  // True when [address, address + length) lies inside one bank.
  bool Contains(std::uint32_t address, std::size_t length) const;
  // Stores bytes; false (and nothing stored) when they do not fit one bank.
  bool Write(std::uint32_t address, std::span<const std::uint8_t> bytes);
  // Erases the part of [address, address + length) that lies in the banks.
  void Erase(std::uint32_t address, std::size_t length);
  void EraseAll();
  // Bytes at [address, address + length); addresses outside every bank read 0xFF.
  std::vector<std::uint8_t> Read(std::uint32_t address, std::size_t length) const;

  // The version word (day << 24 | month << 16 | year) of the stamp "QVER",
  // day, month, year low, year high at `address`; 0 when no stamp is there.
  std::uint32_t VersionAt(std::uint32_t address) const;
  // Writes such a stamp (used to give a processor its starting version).
  bool WriteVersionStamp(std::uint32_t address, std::uint32_t versionWord);

 private:
  struct Storage {
    Bank bank;
    std::vector<std::uint8_t> bytes;
  };
  Storage* Find(std::uint32_t address, std::size_t length);
  const Storage* Find(std::uint32_t address, std::size_t length) const;

  std::vector<Storage> m_banks;
};

// Reads a version stamp at `offset` of a byte image; 0 when there is none.
std::uint32_t EmuVersionFromStamp(std::span<const std::uint8_t> image, std::size_t offset);
