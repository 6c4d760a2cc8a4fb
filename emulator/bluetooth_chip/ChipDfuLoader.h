#pragma once
// The chip's firmware as the DFU requests see it: the application (device
// information, functional descriptor, detach, reset into the loader) and the
// DFU loader (status, clear status, abort, numbered download blocks,
// manifestation, reset into the new application). Pure logic: the caller
// passes the time.
//
// As in USB DFU, a busy or manifestation phase ends only when the host polls
// the status after its time has passed; a download block sent without that
// poll is refused.
//
// A strict loader takes a request only in the states where USB DFU 1.1 allows
// it (DETACH only in appIDLE, CLRSTATUS only in dfuERROR, ABORT only in
// dfuIDLE and dfuDNLOAD-IDLE, no reset while a download is open); any other is
// refused and, in the loader, stalls into dfuERROR. The default loader is lenient.
//
// A basic loader knows only the requests the updater's download is made of
// (device information, functional descriptor, detach, vendor reset, status,
// clear status, download): any other (DFU_ABORT, DFU_GETSTATE, DFU_UPLOAD) is
// refused and changes nothing, so a download left open stays open.
//
// Every request payload starts with an 8-byte USB setup header (bmRequestType,
// bRequest, wValue, wIndex, wLength, little-endian), download data behind it.
// Every reply starts with a 32-bit little-endian result: 0 when the request was
// taken, 1 when it was refused; the data a request asks for follows it.
#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

class CChipDfuLoader {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  // DFU states (bState).
  enum EDfuState : std::uint8_t {
    APP_IDLE = 0,
    APP_DETACH = 1,
    DFU_IDLE = 2,
    DFU_DNLOAD_SYNC = 3,
    DFU_DNBUSY = 4,
    DFU_DNLOAD_IDLE = 5,
    DFU_MANIFEST_SYNC = 6,
    DFU_MANIFEST = 7,
    DFU_ERROR = 10,
  };

  // DFU status codes (bStatus) this loader reports.
  enum EDfuStatus : std::uint8_t {
    DFU_STATUS_OK = 0x00,
    DFU_STATUS_ERR_WRITE = 0x03,
    DFU_STATUS_ERR_ADDRESS = 0x08,
    DFU_STATUS_ERR_UNKNOWN = 0x0E,
    DFU_STATUS_ERR_STALLEDPKT = 0x0F,
  };

  // What the chip does once the reply has gone out.
  enum class EAfterReply { None, RestartIntoLoader, RestartIntoApplication };

  struct Timing {
    Duration blockBusy;  // dfuDNBUSY after each block
    Duration manifest;   // manifestation after the zero-length block
  };

  // Faults that change what the loader answers.
  struct Faults {
    bool errorBeforeFirstBlock = false;  // the loader starts in dfuERROR
    bool errorNeverClears = false;       // clear-status leaves dfuERROR
    std::int32_t errorAtBlock = -1;      // this block number ends in dfuERROR
    bool statusNeverSettles = false;     // manifestation never ends
  };

  struct Reply {
    std::vector<std::uint8_t> payload;
    EAfterReply after = EAfterReply::None;
  };

  static constexpr std::size_t kMaxBlock = 1023;
  static constexpr std::uint32_t kStampOffset = 0x100;

  CChipDfuLoader(Timing timing, std::uint32_t initialVersion, bool strict = false, bool basic = false);

  void SetFaults(const Faults& faults) { m_faults = faults; }

  // Answers one request.
  Reply HandleRequest(std::span<const std::uint8_t> request, TimePoint now);

  // The chip restarted into its loader or its application. A restart into the
  // application without a complete image lands in the loader again.
  void Restart(bool intoLoader);

  // Power lost and back: what the flash holds stays (a manifested image, a
  // half-overwritten application); the state of a download in progress does not.
  void PowerCycle() { Restart(false); }

  bool RunningLoader() const { return m_inLoader; }
  bool Strict() const { return m_strict; }
  // Requests refused since the chip was made.
  std::uint64_t RefusedRequests() const { return m_refused; }
  std::uint8_t State() const { return m_state; }
  std::uint32_t NextBlock() const { return m_nextBlock; }
  std::uint32_t VersionWord() const { return m_version; }
  const std::vector<std::uint8_t>& StoredImage() const { return m_storedImage; }

  // Version stamp of an image: "QVER", day, month, year low, year high (BCD)
  // at kStampOffset; 0 when absent.
  static std::uint32_t ReadVersionStamp(std::span<const std::uint8_t> image);

 private:
  Reply Status(TimePoint now);
  Reply Refuse();
  bool StrictlyRefused(bool dfuClass, bool vendor, std::uint8_t code) const;
  static bool KnownToBasicLoader(bool dfuClass, bool vendor, bool in, std::uint8_t code);
  Reply Download(std::uint16_t block, std::uint16_t length, std::span<const std::uint8_t> data, TimePoint now);
  void EnterError(std::uint8_t status);
  void ForgetDownload();

  Timing m_timing;
  Faults m_faults;
  bool m_strict;
  bool m_basic;
  std::uint64_t m_refused = 0;
  bool m_inLoader = false;
  std::uint8_t m_state = APP_IDLE;
  std::uint8_t m_status = DFU_STATUS_OK;
  std::uint32_t m_version;
  bool m_applicationIntact = true;  // false once a download has begun to overwrite it
  bool m_imageComplete = false;     // manifestation of the current download has ended
  std::uint32_t m_nextBlock = 0;
  std::vector<std::uint8_t> m_download;
  std::vector<std::uint8_t> m_storedImage;
  TimePoint m_busyUntil{};  // end of the current dfuDNBUSY or manifestation
};
