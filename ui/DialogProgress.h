#pragma once
// CDialogProgress: the dialog's side of a write. It turns what a writer tells
// into the dialog's progress bar, status texts, buttons and progress window,
// following the silent and progress modes of `surface`: a silent run shows
// only the byte counts the device acknowledged, and the progress window
// appears in progress mode alone.
#include <cstdint>

#include "platform/ProgressSurface.h"
#include "platform/WriteProgress.h"

class CDialogProgress final : public CWriteProgress {
 public:
  explicit CDialogProgress(CProgressSurface& surface) : m_surface(surface) {}

  // The bar at 0 with the write's range and step 1, a new progress window,
  // both buttons off and the text that the upgrade is under way.
  void WriteBegins(WriteSteps steps) override;
  // The bar steps once the bytes reach its next share of the total (never
  // past its end); the byte count, the whole total after the last record.
  void RecordSent(std::uint32_t bytesSent, std::uint32_t total, bool lastRecord) override;
  // One step of the bar and of the progress window, and the byte count.
  void BlockWritten(std::uint32_t written, std::uint32_t total) override;
  // One step of the bar while it has room for one.
  void Stepped() override;
  // The byte count, silent runs included.
  void BytesAcknowledged(std::uint32_t sent, std::uint32_t total) override;

  CProgressSurface& Surface() const { return m_surface; }

 private:
  bool Silent() const { return m_surface.IsSilentMode(); }
  void ShowBytes(std::uint32_t written, std::uint32_t total);

  CProgressSurface& m_surface;
  std::uint16_t m_steps = 0;
};
