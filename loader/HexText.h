#pragma once
// Intel HEX text as the main microcontroller's bootloader takes it: the text is
// split at LF, each line is ":" followed by pairs of hexadecimal digits, and
// each line is decoded straight into one output report, never into a memory image.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// The most bytes one record line may decode to: bytes 4..64 of an output report.
inline constexpr std::size_t kMaxRecordBytes = 61;

using RecordBytes = std::array<std::uint8_t, kMaxRecordBytes>;

// Walks the lines of a text. A line is what lies between two LFs, without its
// trailing CR; lines that are empty or hold nothing but CR are skipped.
class CHexLines {
 public:
  explicit CHexLines(std::span<const std::uint8_t> text) : m_text(text) {}
  // The next line, or nullopt at the end of the text.
  std::optional<std::string_view> Next();

 private:
  std::span<const std::uint8_t> m_text;
  std::size_t m_position = 0;
};

// The record's length field is "00": the line is the last one to be sent.
bool IsLastRecordLine(std::string_view line);

// Decodes the pairs of hexadecimal digits after position 0 into `out`; the
// number of bytes, or nullopt when a pair is not two hexadecimal digits, a digit
// is left over, nothing is decoded, or more than kMaxRecordBytes would be.
std::optional<std::size_t> DecodeRecordLine(std::string_view line, RecordBytes& out);

struct HexTextSurvey {
  std::uint32_t lineCount = 0;          // every non-empty line of the text
  std::uint32_t estimatedBinarySize = 0;
  std::optional<std::uint32_t> badLine;  // 1-based number of the first line that cannot be sent
};

// The counting pass: counts the lines and checks every line up to and including
// the last one to be sent, so that a text that cannot be sent whole is refused
// before a single record goes out.
HexTextSurvey SurveyHexText(std::span<const std::uint8_t> text);
