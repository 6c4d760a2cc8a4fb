#pragma once
#include <string>

// Shows `text` in a system-modal message box with no owner window and the
// system's default caption, and waits until it is dismissed.
void ShowSystemModalMessage(const std::string& text);
