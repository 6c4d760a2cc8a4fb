#include "app/CallerOutput.h"

void WriteForCaller(std::FILE* stream, const std::string& text) {
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}
