// Arbitrary bytes as an Intel HEX text: the line walker, the record decoder and
// the counting pass must stay inside the text, decode at most one report's worth
// of bytes, and agree with each other.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/FuzzCheck.h"
#include "loader/HexText.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> text(data, size);
  const char* const begin = reinterpret_cast<const char*>(data);
  const char* const end = begin + size;

  const HexTextSurvey survey = SurveyHexText(text);

  std::uint32_t lineNumber = 0;
  bool lastSeen = false;
  std::optional<std::uint32_t> firstBad;
  CHexLines lines(text);
  while (const auto line = lines.Next()) {
    ++lineNumber;
    FUZZ_CHECK(!line->empty());
    FUZZ_CHECK(line->data() >= begin && line->data() + line->size() <= end);
    FUZZ_CHECK(line->find('\n') == std::string_view::npos);

    RecordBytes out;
    out.fill(0xA5);
    const auto decoded = DecodeRecordLine(*line, out);
    if (decoded) {
      FUZZ_CHECK(*decoded >= 1 && *decoded <= kMaxRecordBytes);
      FUZZ_CHECK(line->size() == 1 + 2 * *decoded);
      for (std::size_t i = 0; i < *decoded; ++i) {
        const int high = HexValue((*line)[1 + 2 * i]);
        const int low = HexValue((*line)[2 + 2 * i]);
        FUZZ_CHECK(high >= 0 && low >= 0);
        FUZZ_CHECK(out[i] == (high << 4 | low));
      }
    } else if (line->size() >= 3 && line->size() <= 1 + 2 * kMaxRecordBytes && line->size() % 2 == 1) {
      // A refused line of a decodable length must hold a non-hexadecimal character.
      bool allHex = true;
      for (std::size_t i = 1; i < line->size(); ++i) allHex = allHex && HexValue((*line)[i]) >= 0;
      FUZZ_CHECK(!allHex);
    }
    if (!lastSeen && !firstBad && !decoded) firstBad = lineNumber;
    if (!firstBad) lastSeen = lastSeen || IsLastRecordLine(*line);
  }

  FUZZ_CHECK(survey.lineCount == lineNumber);
  // The survey refuses exactly the first line up to the last record that does
  // not decode: a text it accepts decodes every line that would be sent.
  FUZZ_CHECK(survey.badLine == firstBad);
  if (survey.badLine) FUZZ_CHECK(*survey.badLine >= 1 && *survey.badLine <= survey.lineCount);
  FUZZ_CHECK(survey.estimatedBinarySize <= size / 2);
  return 0;
}
