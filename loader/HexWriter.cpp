#include "loader/HexWriter.h"

#include <algorithm>
#include <optional>
#include <string>

#include "app/log/Log.h"
#include "loader/HexText.h"
#include "loader/LoaderRequests.h"
#include "resources/StringTable.h"

namespace {

// Keeps the dialog's progress bar and byte count current while records go out.
class CHexProgress {
 public:
  CHexProgress(CProgressSurface& dialog, std::uint32_t lineCount, std::uint32_t estimatedSize)
      : m_dialog(dialog), m_estimatedSize(estimatedSize), m_step(estimatedSize / 100) {
    if (!m_dialog.IsSilentMode()) {
      m_dialog.ProgressSetPos(0);
      m_dialog.ProgressSetRange(0, 100);
      m_dialog.ProgressSetStep(1);
    }
    // The progress window is started with the line count and never stepped by this writer.
    if (m_dialog.IsProgressMode()) m_dialog.StartProgressWindow(static_cast<std::uint16_t>(lineCount));
    if (!m_dialog.IsSilentMode()) {
      m_dialog.EnableButton(DialogButton::Upgrade, false);
      m_dialog.EnableButton(DialogButton::Close, false);
      m_dialog.SetStatusText(LoadStringById(IDS_UPGRADING));
    }
  }

  void RecordSent(std::size_t recordBytes, bool lastRecord) {
    if (m_dialog.IsSilentMode()) return;
    m_bytesSent += static_cast<std::uint32_t>(recordBytes);
    const int position = m_dialog.ProgressGetPos();
    if (m_bytesSent >= static_cast<std::uint32_t>(position) * m_step && position != 100) m_dialog.ProgressStepIt();
    if (lastRecord) m_bytesSent = m_estimatedSize;
    m_dialog.SetStatusText(UpgradingStatusText(m_bytesSent, m_estimatedSize));
    m_dialog.RepaintAndShow();
  }

 private:
  CProgressSurface& m_dialog;
  std::uint32_t m_estimatedSize;
  std::uint32_t m_step;
  std::uint32_t m_bytesSent = 0;
};

}  // namespace

int SendHexRecords(CHIDHelper& helper, CMd5& md5, std::span<const std::uint8_t> text, const char* totalLinesFormat,
                   CProgressSurface* dialog) {
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

  std::optional<CHexProgress> progress;
  if (dialog != nullptr) progress.emplace(*dialog, survey.lineCount, survey.estimatedBinarySize);

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
    if (progress) progress->RecordSent(count, last);
    if (last) break;
  }
  return 1;
}
