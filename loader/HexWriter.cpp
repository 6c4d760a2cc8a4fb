#include "loader/HexWriter.h"

#include <algorithm>

#include "app/log/Log.h"
#include "loader/HexText.h"
#include "loader/LoaderRequests.h"

int SendHexRecords(CHIDHelper& helper, CMd5& md5, std::span<const std::uint8_t> text, const char* totalLinesFormat,
                   CWriteProgress* progress) {
  LogMessage("L::FirmwareUpgradeWriteL");
  const HexTextSurvey survey = SurveyHexText(text);
  LogMessage(totalLinesFormat, survey.lineCount);
  LogMessage(">>> Estimated binary size = %d", survey.estimatedBinarySize);
  if (survey.badLine) {
    // A half-written image is worse than none.
    LogMessage("L::FirmwareUpgradeWriteL - line [%d] is not a record that fits one report; image refused",
               *survey.badLine);
    return 0;
  }

  // The bar shows hundredths of the estimated size; the progress window is
  // started with the line count and never stepped by this writer.
  if (progress != nullptr)
    progress->WriteBegins({.steps = 100, .windowSteps = static_cast<std::uint16_t>(survey.lineCount)});
  std::uint32_t bytesSent = 0;

  OutputReport report = MakeLoaderRequest(CMD_GROUP_LOADER, LDR_WRITE_RECORD);
  RecordBytes record{};
  CHexLines lines(text);
  while (const auto line = lines.Next()) {
    const bool last = IsLastRecordLine(*line);
    const std::size_t count = DecodeRecordLine(*line, record).value_or(0);
    SetPayloadCount(report, static_cast<std::uint8_t>(count));
    std::copy_n(record.begin(), count, RequestPayload(report).begin());
    md5.Update(std::span(record).first(count));
    if (!SendClassRequest(helper, report)) return 0;
    bytesSent += static_cast<std::uint32_t>(count);
    if (progress != nullptr) progress->RecordSent(bytesSent, survey.estimatedBinarySize, last);
    if (last) break;
  }
  return 1;
}
