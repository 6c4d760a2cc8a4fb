#include "ui/ConsoleTranscript.h"

#include <cinttypes>

namespace {

// The tenth (0..10) of a "<done> of <total> bytes" line, or -1 when the line is not one.
int TenthOfByteCount(const std::string& line) {
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  char tail[8] = {};
  if (std::sscanf(line.c_str(), "%" SCNu64 " of %" SCNu64 " %7s", &done, &total, tail) != 3 || total == 0)
    return -1;
  return static_cast<int>(done >= total ? 10 : done * 10 / total);
}

}  // namespace

void CConsoleTranscript::Print(const std::string& line) {
  std::fprintf(m_out, "%s\n", line.c_str());
  std::fflush(m_out);
}

void CConsoleTranscript::Title(const std::string& title) {
  std::lock_guard lock(m_mutex);
  if (title == m_lastTitle) return;
  m_lastTitle = title;
  Print(title);
}

void CConsoleTranscript::Version(const std::string& text) {
  std::lock_guard lock(m_mutex);
  if (text == m_lastVersion) return;
  m_lastVersion = text;
  Print(text);
}

void CConsoleTranscript::Status(const std::string& text) {
  std::lock_guard lock(m_mutex);
  const std::size_t newline = text.find('\n');
  const std::string headline = text.substr(0, newline);
  const std::string detail = newline == std::string::npos ? "" : text.substr(newline + 1);
  if (headline != m_lastHeadline) {
    m_lastHeadline = headline;
    m_lastTenth = -1;
    Print(headline);
  }
  const int tenth = TenthOfByteCount(detail);
  if (tenth > m_lastTenth) {
    m_lastTenth = tenth;
    Print("  " + detail);
  }
}
