#include "platform/windows/WinHidLog.h"

#include <cstdarg>
#include <cstdio>

#include "app/log/Log.h"

void WinHidLog(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  LogMessage("%s", line);
}
