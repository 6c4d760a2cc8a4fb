#include "platform/ProcessPriority.h"

#include <windows.h>

#include <string>

std::string RaiseProcessPriority() {
  if (SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS)) return {};
  return "error " + std::to_string(GetLastError());
}
