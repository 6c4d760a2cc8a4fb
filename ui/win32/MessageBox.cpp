#include "ui/win32/MessageBox.h"

#include <windows.h>

#include "ui/win32/WideText.h"

void ShowSystemModalMessage(const std::string& text) {
  MessageBoxW(nullptr, win32::Wide(text).c_str(), nullptr, MB_OK | MB_SYSTEMMODAL);
}
