#pragma once
#include <string>

// Shows `text` in a system-modal message box when a display is available and
// waits until it is dismissed; without a display it writes the text to
// standard error and returns at once (nobody could click it away).
void ShowSystemModalMessage(const std::string& text);
