#pragma once
// The run's log: LogMessage formats one line, stamps it with the local time and
// queues it; a writer thread appends queued lines to the log file.
//
// LogMessage is type-safe: its arguments are captured with their types and
// the format is interpreted by the log's own formatter, which understands
// %d %u %x %X (with width and zero fill), %s, %ls (UTF-16 text), %c and %p.
// %d, %u, %x and %X take the low 32 bits of an integer argument, as printf
// does with an int-sized argument.
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "app/log/Status.h"

// One captured argument of a log call.
struct LogArg {
  enum class Kind { Signed, Unsigned, Text, Utf16Text, Pointer };
  Kind kind;
  std::int64_t signedValue = 0;
  std::uint64_t unsignedValue = 0;
  const char* text = nullptr;
  const char16_t* utf16Text = nullptr;
  const void* pointer = nullptr;

  template <typename T>
    requires std::is_integral_v<T> || std::is_enum_v<T>
  LogArg(T value) {  // NOLINT(google-explicit-constructor)
    if constexpr (std::is_enum_v<T>) {
      kind = Kind::Signed;
      signedValue = static_cast<std::int64_t>(value);
    } else if constexpr (std::is_signed_v<T>) {
      kind = Kind::Signed;
      signedValue = value;
    } else {
      kind = Kind::Unsigned;
      unsignedValue = value;
    }
  }
  LogArg(const char* value) : kind(Kind::Text), text(value) {}  // NOLINT
  LogArg(char* value) : kind(Kind::Text), text(value) {}  // NOLINT
  LogArg(const std::string& value) : kind(Kind::Text), text(value.c_str()) {}  // NOLINT
  LogArg(const char16_t* value) : kind(Kind::Utf16Text), utf16Text(value) {}  // NOLINT
  LogArg(char16_t* value) : kind(Kind::Utf16Text), utf16Text(value) {}  // NOLINT
  LogArg(std::nullptr_t) : kind(Kind::Pointer), pointer(nullptr) {}  // NOLINT
  template <typename T>
    requires(!std::is_same_v<std::remove_cv_t<T>, char> && !std::is_same_v<std::remove_cv_t<T>, char16_t>)
  LogArg(T* value) : kind(Kind::Pointer), pointer(value) {}  // NOLINT
};

// Formats `format` with `args` the way LogMessage does, cut to 1023 characters.
std::string FormatLogMessage(const char* format, std::span<const LogArg> args);

void LogMessageArgs(const char* format, std::span<const LogArg> args);

// Queues one line. Never blocks beyond a short lock and never fails; while the
// writer is not running the line is dropped (tests may still observe it, below).
template <typename... Args>
void LogMessage(const char* format, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    LogMessageArgs(format, {});
  } else {
    const LogArg captured[] = {LogArg(args)...};
    LogMessageArgs(format, captured);
  }
}

// Opens `fileName` as a new file (never truncating or following a symbolic
// link; a taken name gets a numeric suffix before ".log") and starts the
// writer. S_OK when started or already running, E_FAIL otherwise.
HRESULT StartLog(const std::string& fileName);

// Writes every queued line, flushes and closes the file. Returns 0.
int StopLog();

// Path of the file this process created for its log; empty when none was created.
std::string LogFilePath();

// Deletes the log file this process created, if any. Returns true when deleted.
bool DeleteLogFile();

// Test support: while a LogCapture exists, every formatted message (without
// its time stamp) is also handed to it, whether or not the writer runs.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Messages() const;
  // True when `expected` occur in this order among the messages (others may lie between).
  bool ContainsInOrder(std::span<const std::string> expected) const;
  bool Contains(std::string_view message) const;
  void Clear();

  void Add(std::string message);

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_messages;
};
