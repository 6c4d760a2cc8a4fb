#pragma once
// Text for whoever started the program: --help, --version, a wrong option, a
// failed silent run's line. On Windows a windowed program has no console.
// Where the caller did not redirect the stream, the text goes to the console
// of the prompt that started the program, attached only while it is written:
// a program attached to a console is ended with it (closing the prompt's
// window) and gets its Ctrl+C, which must not cut a run short.
#include <cstdio>
#include <string>

void WriteForCaller(std::FILE* stream, const std::string& text);
