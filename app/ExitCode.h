#pragma once
// The exit-code rules of the program: how the run's 32-bit result code becomes
// the process's exit code on each system, how that code is written for people,
// and which codes keep the log.
#include <cstdint>
#include <string>

// A POSIX parent sees only the low 8 bits of the exit code: 0, 4, 1, 6, 7.
constexpr int PosixExitStatus(std::int32_t returnCode) { return static_cast<int>(returnCode & 0xFF); }

// The process's exit code: on Windows the whole 32-bit result (0x80000007),
// elsewhere its low 8 bits.
constexpr int ProcessExitCode(std::int32_t returnCode) {
#ifdef _WIN32
  return static_cast<int>(returnCode);
#else
  return PosixExitStatus(returnCode);
#endif
}

// Bit 31 set: the run failed, and its log is kept.
constexpr bool IsFailureCode(std::int32_t returnCode) { return returnCode < 0; }

// The exit code as the parent process sees it: "7" on Linux, "0x80000007" on Windows.
std::string ExitCodeText(std::int32_t returnCode);
