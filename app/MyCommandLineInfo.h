#pragma once
// CMyCommandLineInfo: the options an installer or a user gives on the command
// line, one argument at a time. An argument is "/X<value>", "-X<value>" or
// "X<value>"; the letter is read case-insensitively and the value follows it
// with no separator.
#include <cstdint>
#include <span>
#include <string>

#include "hid/DeviceIdentity.h"

// The value of `text` read as an unsigned 32-bit number in `base` (10 or 16):
// leading white space and one sign are accepted, a "0x" prefix in base 16,
// reading stops at the first character that is not a digit, no digits give 0,
// a value too large gives 0xFFFFFFFF, and a minus sign negates modulo 2^32.
std::uint32_t ParseUnsigned32(const char* text, int base);

class CMyCommandLineInfo {
 public:
  CMyCommandLineInfo() = default;

  // Reads one argument; `lpszParam` must outlive the record (option V keeps a pointer into it).
  void ParseParam(const char* lpszParam);
  // Reads every argument, left to right.
  void ParseCommandLine(std::span<const std::string> arguments);

  bool SilentMode = false;
  bool CheckMode = true;
  bool ProgressMode = false;
  const char* lpInputVersion = nullptr;  // not owned: points into an argument
  std::int16_t mcuIndex = 0;
  std::uint16_t ProductID = kApplicationProductId;
};
