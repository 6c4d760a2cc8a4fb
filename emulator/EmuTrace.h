#pragma once
// The emulator's JSON-lines trace: one object per line for every vhid message
// in either direction and for the device's own events (docs/emulator.md).
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>
#include <vector>

class CEmuTrace {
 public:
  CEmuTrace() = default;
  ~CEmuTrace();
  CEmuTrace(const CEmuTrace&) = delete;
  CEmuTrace& operator=(const CEmuTrace&) = delete;

  // Starts writing to `path` (truncated) and/or keeping lines in memory; false if the file cannot be opened.
  bool Open(const std::string& path, bool keepInMemory);
  void Close();

  // A transfer: `direction` is "h2d" or "d2h", `kind` the message name.
  void Transfer(double timeMs, const char* direction, const char* kind, std::span<const std::uint8_t> bytes);
  // A device event (ATTACH, DETACH, CONNECT, ...) with free text.
  void Event(double timeMs, const char* kind, const std::string& text);

  std::vector<std::string> Lines() const;

 private:
  void Emit(std::string line);

  mutable std::mutex m_mutex;
  std::FILE* m_file = nullptr;
  bool m_keep = false;
  std::vector<std::string> m_lines;
};

// `text` as the inside of a JSON string (quotes, backslashes and control characters escaped).
std::string EmuJsonEscape(const std::string& text);
