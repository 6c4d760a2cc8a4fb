#include "emulator/EmuTrace.h"

namespace {
std::string Header(double timeMs, const char* direction, const char* kind) {
  char text[128];
  std::snprintf(text, sizeof text, "{\"t_ms\":%.3f,\"dir\":\"%s\",\"kind\":\"%s\"", timeMs, direction, kind);
  return text;
}
}  // namespace

std::string EmuJsonEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

CEmuTrace::~CEmuTrace() { Close(); }

bool CEmuTrace::Open(const std::string& path, bool keepInMemory) {
  std::lock_guard lock(m_mutex);
  m_keep = keepInMemory;
  if (path.empty()) return true;
  m_file = std::fopen(path.c_str(), "w");
  // Line-buffered, so the trace of an emulator that is killed is complete up to its last line.
  if (m_file != nullptr) std::setvbuf(m_file, nullptr, _IOLBF, 0);
  return m_file != nullptr;
}

void CEmuTrace::Close() {
  std::lock_guard lock(m_mutex);
  if (m_file != nullptr) std::fclose(m_file);
  m_file = nullptr;
}

void CEmuTrace::Transfer(double timeMs, const char* direction, const char* kind,
                         std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string line = Header(timeMs, direction, kind);
  line += ",\"len\":" + std::to_string(bytes.size()) + ",\"hex\":\"";
  for (std::uint8_t byte : bytes) {
    line.push_back(kDigits[byte >> 4]);
    line.push_back(kDigits[byte & 0x0F]);
  }
  line += "\"}";
  Emit(std::move(line));
}

void CEmuTrace::Event(double timeMs, const char* kind, const std::string& text) {
  Emit(Header(timeMs, "dev", kind) + ",\"text\":\"" + EmuJsonEscape(text) + "\"}");
}

void CEmuTrace::Emit(std::string line) {
  std::lock_guard lock(m_mutex);
  if (m_file != nullptr) {
    std::fputs(line.c_str(), m_file);
    std::fputc('\n', m_file);
  }
  if (m_keep) m_lines.push_back(std::move(line));
}

std::vector<std::string> CEmuTrace::Lines() const {
  std::lock_guard lock(m_mutex);
  return m_lines;
}
