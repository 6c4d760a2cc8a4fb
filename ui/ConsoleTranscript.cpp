#include "ui/ConsoleTranscript.h"

#include <optional>

#include "resources/StringTable.h"

namespace {

// The tenth (0..10) of a byte-count line, or -1 when the line is not one.
int TenthOfByteCount(const std::string& line) {
  const std::optional<ByteCount> count = ByteCountOf(line);
  if (!count || count->total == 0) return -1;
  return static_cast<int>(count->written >= count->total ? 10 : count->written * 10 / count->total);
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
