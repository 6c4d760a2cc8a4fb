#include "app/MyCommandLineInfo.h"

#include <limits>

#include "app/log/Log.h"

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return std::numeric_limits<int>::max();
}

}  // namespace

std::uint32_t ParseUnsigned32(const char* text, int base) {
  if (text == nullptr) return 0;
  const char* p = text;
  while (IsSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(p[2]) < 16) p += 2;
  std::uint64_t value = 0;
  bool overflow = false;
  for (; DigitValue(*p) < base; ++p) {
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(DigitValue(*p));
    if (value > std::numeric_limits<std::uint32_t>::max()) {
      overflow = true;
      value = std::numeric_limits<std::uint32_t>::max();
    }
  }
  if (overflow) return std::numeric_limits<std::uint32_t>::max();
  const auto result = static_cast<std::uint32_t>(value);
  return negative ? static_cast<std::uint32_t>(0u - result) : result;
}

void CMyCommandLineInfo::ParseParam(const char* lpszParam) {
  if (lpszParam == nullptr) return;
  const char* param = lpszParam;
  if (*param == '-' || *param == '/') ++param;
  LogMessage("ParseParam - lpszParam [%s]", param);
  if (*param == 0) return;

  char letter = *param;
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  const char* value = param + 1;
  switch (letter) {
    case 'S':
      SilentMode = true;
      LogMessage("ParseParam S - SilentMode [%d]", SilentMode);
      break;
    case 'P':
      SilentMode = true;
      ProgressMode = true;
      LogMessage("ParseParam P - SilentMode [%d] ProgressMode[%d]", SilentMode, ProgressMode);
      break;
    case 'F':
      CheckMode = false;
      LogMessage("ParseParam F - CheckMode [%d]", CheckMode);
      break;
    case 'V':
      lpInputVersion = value;
      LogMessage("ParseParam V - lpInputVersion [%s]", lpInputVersion);
      break;
    case 'M':
      mcuIndex = static_cast<std::int16_t>(ParseUnsigned32(value, 10) & 0xFFFFu);
      LogMessage("ParseParam M - mcuIndex [%d]", mcuIndex);
      break;
    case 'I':
      ProductID = static_cast<std::uint16_t>(ParseUnsigned32(value, 16) & 0xFFFFu);
      LogMessage("ParseParam I - ProductID [0x%04X]", ProductID);
      break;
    default:
      LogMessage("ParseParam Unknown [%c]", letter);
      break;
  }
}

void CMyCommandLineInfo::ParseCommandLine(std::span<const std::string> arguments) {
  for (const std::string& argument : arguments) ParseParam(argument.c_str());
}
