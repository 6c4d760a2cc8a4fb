#pragma once
// The Bluetooth chip behind the microcontroller's UART bridge, played from the
// chip's side: its own BCSP link-layer peer and its DFU loader. It shares no
// code with the updater's link layer, so one mistake cannot hide on both sides.
//
// The chip runs one thread of its own. Bytes the host writes to the UART arrive
// through OnUartBytes (any thread); the bytes the chip writes to its UART leave
// through the sendToHost callback, always from the chip's thread and never
// while the chip holds its lock, one call per frame.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "emulator/bluetooth_chip/ChipLink.h"

// Where the chip's DFU loader stands, for tests that act at a point of a download.
struct ChipDfuProgress {
  bool inLoader = false;
  std::uint8_t state = 0;      // bState
  std::uint32_t nextBlock = 0;  // block number the loader takes next
  bool linkActive = false;
};

class CEmuBluetoothChip {
 public:
  // How the loader's dfuERROR fault behaves.
  enum class EDfuErrorFault {
    None,
    BeforeFirstBlock,  // the loader starts in dfuERROR; one clear-status fixes it
    NeverClears,       // the loader starts in dfuERROR and clear-status does not help
  };

  // Which restart leaves the chip silent for good.
  enum class EResetFault {
    None,
    IntoLoader,       // the reset that should start the DFU loader
    IntoApplication,  // the reset that should start the new application
  };

  struct Faults {
    // Share of UART bytes (0..1) lost or corrupted (one bit flipped), per
    // direction, drawn from a generator seeded with `seed`.
    double hostToChipLossRate = 0.0;
    double hostToChipCorruptRate = 0.0;
    double chipToHostLossRate = 0.0;
    double chipToHostCorruptRate = 0.0;
    std::uint32_t seed = 1;
    EDfuErrorFault dfuError = EDfuErrorFault::None;
    std::int32_t errorAtBlock = -1;   // a download of this block number ends in dfuERROR
    bool statusNeverSettles = false;  // after the zero-length block the loader stays in dfuMANIFEST
    EResetFault neverReturns = EResetFault::None;
    bool linkNeverUp = false;     // link establishment is neither started nor answered
    bool stopResponding = false;  // every byte from the host is ignored and nothing is sent
  };

  struct Config {
    double timeScale = 1.0;  // the chip's timers run this many times faster
    // Version of the application the chip starts with: day << 24 | month << 16 |
    // year, all BCD (30 June 2014).
    std::uint32_t initialVersion = 0x30062014;
    // Send a separate acknowledgement frame before each reply instead of relying
    // only on the acknowledgement carried in the reply's header.
    bool pureAckBeforeReply = false;
    // Timers, in milliseconds before scaling.
    std::uint32_t syncIntervalMs = 250;    // SYNC (and CONF) repetition until answered
    std::uint32_t restartDelayMs = 200;    // silence between a reset and the first SYNC
    std::uint32_t retransmitMs = 100;      // resend of an unacknowledged reliable reply
    std::uint32_t retransmitLimit = 0;     // resends of one reply before the link is given up; 0 = none
    std::uint32_t resetAckWaitMs = 1000;   // longest wait for the reset reply's acknowledgement
    std::uint32_t blockBusyMs = 5;         // dfuDNBUSY after each download block
    std::uint32_t manifestMs = 50;         // dfuMANIFEST after the zero-length block
    // A loader that refuses every request USB DFU 1.1 does not allow in its
    // current state (DETACH in the loader, for one), and the host's opening
    // message once the loader runs (ChipDfuLoader.h).
    bool strictDfu = false;
    // A loader that knows only the requests of the updater's download and
    // refuses any other, DFU_ABORT among them, leaving its state as it was
    // (ChipDfuLoader.h).
    bool basicDfu = false;
    Faults faults;
  };

  using SendFunction = std::function<void(std::span<const std::uint8_t>)>;

  CEmuBluetoothChip(Config config, SendFunction sendToHost);
  ~CEmuBluetoothChip();  // stops the chip's thread
  CEmuBluetoothChip(const CEmuBluetoothChip&) = delete;
  CEmuBluetoothChip& operator=(const CEmuBluetoothChip&) = delete;

  // Bytes from the host's side of the UART, in order.
  void OnUartBytes(std::span<const std::uint8_t> bytes);

  // Version of the application the chip holds (day << 24 | month << 16 | BCD
  // year), read from its image; 0 when the application is gone (a download was
  // started but not completed) or its image carries no version stamp.
  std::uint32_t VersionWord() const;

  // The image written by the last complete download; empty if there was none.
  std::vector<std::uint8_t> StoredImage() const;

  // True while the chip runs its DFU loader rather than the application.
  bool RunningLoader() const;

  ChipDfuProgress DfuProgress() const;

  // Requests the chip refused (not valid in its state, malformed, out of order).
  std::uint64_t RefusedRequests() const;

  // The chip loses power and gets it back: it keeps what its flash holds and
  // starts again, in its loader when it has no whole application.
  void PowerCycle();

  // Replaces the faults; the byte generator is seeded again from faults.seed.
  void SetFaults(const Faults& faults);

  // What the chip's link saw so far (retransmissions, host frames cut short).
  ChipLinkCounts LinkCounts() const;

 private:
  class CImpl;
  std::unique_ptr<CImpl> m_impl;
};
