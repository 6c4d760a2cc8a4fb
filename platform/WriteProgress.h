#pragma once
// What a writer tells while it writes a processor's image: that the write
// begins and with how many steps, and each thing that happens on the way. How
// that is shown (and whether at all) is the listener's business: a writer
// knows nothing of windows, buttons or display modes. Called from the
// flashing thread; every call completes before it returns.
#include <cstdint>

struct WriteSteps {
  // Steps of the main progress bar for the whole write.
  std::uint16_t steps = 0;
  // Steps the separate progress window is started with.
  std::uint16_t windowSteps = 0;
};

class CWriteProgress {
 public:
  virtual ~CWriteProgress() = default;

  // The write begins; it is shown in `steps`.
  virtual void WriteBegins(WriteSteps steps) = 0;
  // An image record went out; `bytesSent` of the estimated `total` so far,
  // `lastRecord` for the record that ends the image.
  virtual void RecordSent(std::uint32_t bytesSent, std::uint32_t total, bool lastRecord) = 0;
  // A block of the image was written: `written` of `total` bytes so far.
  virtual void BlockWritten(std::uint32_t written, std::uint32_t total) = 0;
  // One of the write's steps is done.
  virtual void Stepped() = 0;
  // The device acknowledged `sent` of `total` bytes.
  virtual void BytesAcknowledged(std::uint32_t sent, std::uint32_t total) = 0;
};
