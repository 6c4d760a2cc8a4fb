#pragma once
// Controls that grow to fit their texts: a translation or a long product name
// may need more room than the English the templates were laid out for. They
// only ever grow, and the window grows with them, so nothing is cut.
#include <windows.h>

#include <initializer_list>

namespace win32 {

// Widens `buttons` of `dialog` to what the longest of their texts needs, never
// narrower than they are; they keep their left edges and the window widens by
// what they gained, so they keep their right margin.
void WidenButtonsToFit(HWND dialog, std::initializer_list<int> buttons);

// Grows text control `id` of `dialog` downward until its word-wrapped text
// fits its width, and moves the controls `below` and the window's bottom
// edge down by as much.
void GrowTextToFit(HWND dialog, int id, std::initializer_list<int> below);

}  // namespace win32
