#include <windows.h>

#include "app/CallerOutput.h"
#include "app/log/Utf16Text.h"

void WriteForCaller(std::FILE* stream, const std::string& text) {
  const HANDLE given = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  // A file or pipe the caller handed over is written as on any system.
  if (given != nullptr && given != INVALID_HANDLE_VALUE && GetFileType(given) != FILE_TYPE_UNKNOWN) {
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
    return;
  }
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
  if (console != INVALID_HANDLE_VALUE) {
    // As UTF-16: the console's code page need not be the program's UTF-8.
    const std::u16string wide = Utf8ToUtf16(text);
    DWORD written = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    CloseHandle(console);
  }
  FreeConsole();
}
