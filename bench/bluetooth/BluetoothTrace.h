#pragma once
// Reads an emulator trace (JSON lines) of a Bluetooth download and tells where
// the time went: the UART streams in both directions cut back into BCSP
// frames, retransmissions, the chip's status answers, the bus transfers and
// the host's reaction times.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct TraceRecord {
  double tMs = 0;
  std::string dir;   // h2d, d2h, dev
  std::string kind;  // SET_OUTPUT, INPUT_REPORT, ...
  std::vector<std::uint8_t> bytes;
};

// One trace line; false when it is not a record this reader knows.
bool ParseTraceLine(const std::string& line, TraceRecord& record);

// Frames seen in one direction of the UART.
struct FrameStats {
  std::size_t frames = 0;           // complete frames with a valid header and CRC
  std::size_t damaged = 0;          // delimited byte runs that are not such a frame
  std::size_t linkEstablishment = 0;
  std::size_t pureAcks = 0;
  std::size_t reliable = 0;
  std::size_t retransmissions = 0;  // a reliable frame equal to the reliable frame before it
  std::size_t downloadFrames = 0;   // DFU_DNLOAD requests (host side)
  std::size_t downloadBlocks = 0;   // distinct block numbers among them
  std::size_t wireBytes = 0;        // UART bytes, delimiters and escapes included
};

struct BluetoothTraceStats {
  bool found = false;         // the bridge was switched on
  double bridgeOnMs = 0;      // the bridge-on request
  double bridgeOffMs = -1;    // the bridge-off request; -1 when there was none
  double endMs = 0;           // last record of the trace
  std::size_t hostUartReports = 0;  // UART data output reports
  std::size_t chipUartReports = 0;  // UART data input reports
  std::size_t otherTransfers = 0;   // host requests in the window that carry no UART data
  FrameStats host;
  FrameStats chip;
  std::map<int, std::size_t> statusStates;  // bState of the chip's status answers (first copies)
  // Host reports that followed a finished request within the same frame:
  // the time from the request's answer to the next request.
  double turnaroundMsTotal = 0;
  std::size_t turnarounds = 0;
  // How much later than its modelled time the emulator answered a UART data request.
  double answerLatenessMsTotal = 0;
  // From the input report that completed a chip frame to the host's next
  // UART report, when the chip's answer was not a busy status (after which
  // the host sleeps on purpose).
  double reactionMsTotal = 0;
  std::size_t reactions = 0;
  double reactionMsMax = 0;
};

// Analyses the records from the first bridge-on request to the first
// bridge-off request after it (or to the end); a class request was modelled
// to take `classRequestMs`.
BluetoothTraceStats AnalyseBluetoothTrace(const std::vector<std::string>& lines, double classRequestMs);
