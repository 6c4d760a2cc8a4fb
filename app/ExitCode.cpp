#include "app/ExitCode.h"

#include <cstdio>

std::string ExitCodeText(std::int32_t returnCode) {
#ifdef _WIN32
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(ProcessExitCode(returnCode)));
  return text;
#else
  return std::to_string(ProcessExitCode(returnCode));
#endif
}
