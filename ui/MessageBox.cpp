// Stand-in until the desktop dialog lands: standard error only.
#include "ui/MessageBox.h"

#include <cstdio>

void ShowSystemModalMessage(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }
