#include "loader/HexText.h"

namespace {

std::optional<std::uint8_t> HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  return std::nullopt;
}

}  // namespace

std::optional<std::string_view> CHexLines::Next() {
  while (m_position < m_text.size()) {
    std::size_t end = m_position;
    while (end < m_text.size() && m_text[end] != '\n') ++end;
    std::size_t length = end - m_position;
    const char* start = reinterpret_cast<const char*>(m_text.data() + m_position);
    m_position = end < m_text.size() ? end + 1 : end;
    // Only LF separates lines; the CR before it belongs to no record.
    if (length > 0 && start[length - 1] == '\r') --length;
    if (length > 0) return std::string_view(start, length);
  }
  return std::nullopt;
}

bool IsLastRecordLine(std::string_view line) { return line.size() >= 3 && line[1] == '0' && line[2] == '0'; }

std::optional<std::size_t> DecodeRecordLine(std::string_view line, RecordBytes& out) {
  if (line.size() < 3 || (line.size() - 1) % 2 != 0) return std::nullopt;
  const std::size_t count = (line.size() - 1) / 2;
  if (count > kMaxRecordBytes) return std::nullopt;
  for (std::size_t i = 0; i < count; ++i) {
    const auto high = HexDigit(line[1 + 2 * i]);
    const auto low = HexDigit(line[2 + 2 * i]);
    if (!high || !low) return std::nullopt;
    out[i] = static_cast<std::uint8_t>(*high << 4 | *low);
  }
  return count;
}

HexTextSurvey SurveyHexText(std::span<const std::uint8_t> text) {
  HexTextSurvey survey;
  CHexLines lines(text);
  bool lastSeen = false;
  RecordBytes scratch{};
  while (const auto line = lines.Next()) {
    ++survey.lineCount;
    if (lastSeen || survey.badLine) continue;
    if (!DecodeRecordLine(*line, scratch)) survey.badLine = survey.lineCount;
    lastSeen = IsLastRecordLine(*line);
  }
  const std::uint64_t framing = 3ull * survey.lineCount;
  survey.estimatedBinarySize =
      text.size() > framing ? static_cast<std::uint32_t>((text.size() - framing) / 2) : 0;
  return survey;
}
