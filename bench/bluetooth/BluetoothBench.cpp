// quillon-bench-bluetooth: silent upgrades by the real updater program
// against the device emulator (in this process) with its timing models on:
// full-speed USB (one interrupt report per ms each way, L ms per class
// request, one run per L), the bridged UART at a chosen speed, the chip's own
// timers, all at time scale 1. Prints for each run the wall time of the
// Bluetooth download against the floor the models imply, the updater's CPU
// time and peak memory, and where the time went (from the emulator's trace),
// then one table over L with the goals beside it. Prints figures only.
// With --windows the Windows program runs instead, under Wine, on the
// emulator's TCP form.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/testing/EndToEndRig.h"
#include "app/testing/StandInImages.h"
#include "bench/BenchOptions.h"
#include "bench/bluetooth/BluetoothFloor.h"
#include "bench/bluetooth/BluetoothTrace.h"
#include "emulator/DeviceEmulator.h"

namespace {

struct Options {
  std::uint32_t baud = 921600;
  bool wholeDevice = false;  // the main microcontroller is written too
  double noise = 0;          // share of UART bytes lost or corrupted, each direction
  std::uint32_t seed = 1;
  std::string traceFile;     // kept when given (the last run's)
  double spinMs = 0.3;       // the emulator polls this long before each due time
  std::vector<double> requestMs;  // modelled time per class request, one run each
  std::string windowsProgram;     // quillon-upgrade.exe, run under Wine; empty: the Linux program
  std::uint32_t chipBusyMs = 5;   // the chip's dfuDNBUSY time after each block
};

// Per L: the least download rate (kB/s) held against the run, from the rates
// first measured on a slower host before acknowledgements went first.
struct RateGoal {
  double requestMs;
  double minRate;  // kB/s
};
constexpr RateGoal kRateGoals[] = {{0, 56.7}, {1, 33.3}, {2, 1.3 * 18.1}, {4, 1.3 * 8.7}};
constexpr std::size_t kRetransmissionGoal = 20;

struct Row {
  double requestMs = 0;
  int exitStatus = 0;
  bool exact = false;
  double downloadS = 0;
  double rateKBs = 0;
  double floorS = 0;
  double requestsPerBlock = 0;
  ChipLinkCounts link;
};

void Usage() {
  std::puts(
      "Usage: quillon-bench-bluetooth [--baud N] [--device] [--noise RATE] [--seed N] [--trace-file FILE]\n"
      "                               [--spin-ms X] [--class-request-ms L]... [--chip-busy-ms B]\n"
      "                               [--windows quillon-upgrade.exe]\n"
      "Runs quillon-upgrade /S against an in-process emulator with full-speed USB timing, L ms\n"
      "per class request (once for each --class-request-ms given; default 0, 1, 2, 4 and 6)\n"
      "and the UART at N baud (default 921600), time scale 1. Only the Bluetooth chip is\n"
      "older than the built-in images unless --device (the main microcontroller too).\n"
      "--noise RATE loses or corrupts (half each) that share of UART bytes in each direction.\n"
      "--spin-ms X: the emulator polls instead of sleeping for the last X ms before each\n"
      "due time (default 0.3), so its own wake-up lateness is not counted against the\n"
      "updater; 0 = always sleep.\n"
      "--chip-busy-ms B: the chip answers dfuDNBUSY for B ms after each block (default 5).\n"
      "--windows EXE: the Windows program under Wine (WINEPREFIX as scripts/windows-test\n"
      "makes it) against the emulator's TCP form, instead of the Linux program.");
}

std::optional<Options> Parse(int argc, char** argv) {
  Options options;
  const bool parsed = ParseBenchOptions(
      argc, argv,
      {ValueOption("--baud", options.baud), FlagOption("--device", options.wholeDevice, true),
       ValueOption("--noise", options.noise), ValueOption("--seed", options.seed),
       ValueOption("--trace-file", options.traceFile), ValueOption("--spin-ms", options.spinMs),
       ValueOption("--chip-busy-ms", options.chipBusyMs), ValueOption("--windows", options.windowsProgram),
       {"--class-request-ms", true, [&options](const char* value) { options.requestMs.push_back(std::atof(value)); }}});
  if (!parsed || options.baud == 0 || options.noise < 0 || options.noise > 1 || options.spinMs < 0) return std::nullopt;
  for (const double requestMs : options.requestMs)
    if (requestMs < 0) return std::nullopt;
  if (options.requestMs.empty()) options.requestMs = {0, 1, 2, 4, 6};
  return options;
}

double CpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The silent run of the program the options name, on the tree's bus.
ProgramLaunch Launch(const Options& options, const e2e::CTestTree& tree) {
  ProgramLaunch launch = e2e::UpdaterLaunch(tree, {"/S"}, 1.0);
  if (options.windowsProgram.empty()) return launch;
  // Wine's drive Z: is the root of the file system.
  std::string bus = "Z:" + tree.Bus().string();
  std::replace(bus.begin(), bus.end(), '/', '\\');
  // The run's folder is the tree's: the program's path must not be relative.
  launch.arguments = {std::filesystem::absolute(options.windowsProgram).string(), "/S", "--vhid-bus=" + bus,
                      "--time-scale=1"};
  launch.program = "/usr/bin/wine";
  // Wine makes the silent run's hidden window on the X display it is given.
  std::erase(launch.unsetEnv, "DISPLAY");
  return launch;
}

// One silent upgrade at `requestMs` per class request, with its breakdown printed.
std::optional<Row> RunAt(const Options& options, const std::vector<std::uint8_t>& image, double requestMs) {
  e2e::CTestTree tree;
  if (!tree.Valid()) return std::nullopt;
  const std::string traceFile = options.traceFile.empty() ? (tree.Root() / "trace.jsonl").string() : options.traceFile;

  EmulatorConfig config;
  config.timing = EmuTiming::FullSpeed;
  config.classRequestMs = requestMs;
  config.timeScale = 1.0;
  config.spinMs = options.spinMs;
  config.uartBaud = options.baud;
  config.traceFile = traceFile;
  config.processors = {{kEmuCodeMain, options.wholeDevice ? e2e::kOlderL : e2e::kBuiltInL},
                       {kEmuCodeThird, e2e::kBuiltInA},
                       {kEmuCodeBluetoothA, e2e::kOlderB}};
  config.chipFaults.hostToChipLossRate = config.chipFaults.hostToChipCorruptRate = options.noise / 2;
  config.chipFaults.chipToHostLossRate = config.chipFaults.chipToHostCorruptRate = options.noise / 2;
  config.chipFaults.seed = options.seed;
  config.chipBlockBusyMs = options.chipBusyMs;
  if (!options.windowsProgram.empty()) config.busForm = EmuBusForm::Tcp;

  CDeviceEmulator emulator(config);
  if (!emulator.Start(tree.Bus().string()) || !e2e::WaitForDevice(tree.Bus(), std::chrono::seconds(30))) {
    std::fprintf(stderr, "the emulator did not start\n");
    return std::nullopt;
  }
  std::printf("quillon-bench-bluetooth: %s, %s, UART %u baud, noise %g per direction, %g ms per class request, "
              "chip busy %u ms after a block\n",
              options.windowsProgram.empty() ? "Linux program" : "Windows program under Wine",
              options.wholeDevice ? "whole device (main microcontroller + Bluetooth)" : "Bluetooth chip only",
              options.baud, options.noise, requestMs, options.chipBusyMs);
  std::fflush(stdout);
  const e2e::UpdaterRun run = e2e::RunUpdater(tree, Launch(options, tree), std::chrono::minutes(60));
  const std::vector<std::uint8_t> stored = emulator.BluetoothImage();
  Row row{.requestMs = requestMs, .exitStatus = run.result.exitStatus, .exact = stored == image,
          .link = emulator.ChipLinkStats()};
  const std::string chipLink = emulator.ChipLinkSummary();
  emulator.Stop();

  const ProgramResult& result = run.result;
  const double cpu = CpuSeconds(result.usage);
  std::printf("exit %d, chip image %s\n", result.exitStatus, stored == image ? "exact" : "WRONG");
  std::printf("run:   wall %.2f s, updater CPU %.2f s (%.1f %% of wall), peak memory %ld KiB\n", result.wallSeconds,
              cpu, 100.0 * cpu / result.wallSeconds, result.usage.ru_maxrss);

  const std::vector<std::string> trace = e2e::TraceLines(traceFile);
  const BluetoothTraceStats stats = AnalyseBluetoothTrace(trace, requestMs);
  if (!stats.found) {
    std::printf("the trace shows no Bluetooth download\n");
    return row;
  }
  const double windowMs = (stats.bridgeOffMs >= 0 ? stats.bridgeOffMs : stats.endMs) - stats.bridgeOnMs;

  FloorModel model;
  model.baud = options.baud;
  model.classRequestMs = requestMs;
  model.blockBusyMs = options.chipBusyMs;
  const FloorBreakdown floor = ComputeDownloadFloor(image, model);
  std::printf("bluetooth: bridge on to bridge off %.2f s, floor %.2f s, ratio %.3f\n", windowMs / 1000,
              floor.totalMs / 1000, windowMs / floor.totalMs);
  if (options.wholeDevice) {
    // The rest of the run against the main-microcontroller model of
    // quillon-bench-hex: one class request per record, erase and
    // verification, entry and exit (100 ms pause, two 1 s presence polls,
    // 3 s settle each), 100 ms after each of the two processors, 10 ms at the end.
    const double records = static_cast<double>(e2e::CountHostTransfers(trace, "003f82"));
    const double restFloorMs = records * requestMs + 800 + 20 + 2 * 5100 + 2 * 100 + 10;
    const double wholeFloorMs = restFloorMs + floor.totalMs;
    std::printf("rest of the run (main microcontroller, bootloader entry and exit): %.2f s, its floor %.2f s\n",
                result.wallSeconds - windowMs / 1000, restFloorMs / 1000);
    std::printf("whole run: wall %.2f s, floor %.2f s, ratio %.3f\n", result.wallSeconds, wholeFloorMs / 1000,
                result.wallSeconds * 1000 / wholeFloorMs);
  }
  std::printf(
      "floor: %zu output reports (%.2f s of class requests) in %zu frames, %zu of them acks ahead of a block; fixed sleeps %.2f s; "
      "%zu busy answers (%.2f s of 20 ms sleeps); chip restarts %.2f s; one block with its polls %.2f ms\n",
      floor.hostReports, floor.usbOutMs / 1000, floor.hostFrames, floor.acksAhead, floor.fixedSleepMs / 1000, floor.busyAnswers,
      floor.busySleepMs / 1000, floor.chipRestartMs / 1000, floor.perBlockMs);

  std::printf("trace: %zu UART output reports (%+ld against the floor), %zu other requests, %zu UART input reports\n",
              stats.hostUartReports, static_cast<long>(stats.hostUartReports) - static_cast<long>(floor.hostReports),
              stats.otherTransfers, stats.chipUartReports);
  std::printf("host frames: %zu (%zu link establishment, %zu pure acks, %zu reliable, %zu retransmitted, %zu damaged); "
              "download requests %zu for %zu blocks\n",
              stats.host.frames, stats.host.linkEstablishment, stats.host.pureAcks, stats.host.reliable,
              stats.host.retransmissions, stats.host.damaged, stats.host.downloadFrames, stats.host.downloadBlocks);
  std::printf("chip frames: %zu (%zu link establishment, %zu pure acks, %zu reliable, %zu retransmitted, %zu damaged)\n",
              stats.chip.frames, stats.chip.linkEstablishment, stats.chip.pureAcks, stats.chip.reliable,
              stats.chip.retransmissions, stats.chip.damaged);
  std::printf("status answers by bState:");
  for (const auto& [state, count] : stats.statusStates) std::printf(" %d:%zu", state, count);
  std::printf("\n");
  std::printf(
      "time: emulator late on UART requests %.2f s in all; host turnaround inside frames %.2f s over %zu reports "
      "(%.3f ms each); host reaction to answers %.2f s over %zu (%.3f ms mean, %.2f ms max)\n",
      stats.answerLatenessMsTotal / 1000, stats.turnaroundMsTotal / 1000, stats.turnarounds,
      stats.turnarounds ? stats.turnaroundMsTotal / static_cast<double>(stats.turnarounds) : 0.0,
      stats.reactionMsTotal / 1000, stats.reactions,
      stats.reactions ? stats.reactionMsTotal / static_cast<double>(stats.reactions) : 0.0, stats.reactionMsMax);
  // The request-bound floor: the ideal host's requests at L each (the bridge
  // request included), and the UART time of its bytes.
  row.downloadS = windowMs / 1000;
  row.rateKBs = static_cast<double>(image.size()) / windowMs;
  row.requestsPerBlock = static_cast<double>(floor.hostReports + 1) /
                         static_cast<double>(std::max<std::size_t>(stats.host.downloadBlocks, 1));
  row.floorS = (static_cast<double>(floor.hostReports + 1) * requestMs +
                static_cast<double>(floor.hostWireBytes) * 10000.0 / options.baud) / 1000;
  std::printf("chip link: %s\n\n", chipLink.c_str());
  std::fflush(stdout);
  return row;
}

std::string RateGoalText(const Row& row) {
  for (const RateGoal& goal : kRateGoals) {
    if (goal.requestMs != row.requestMs) continue;
    char text[64];
    std::snprintf(text, sizeof text, ">= %.1f kB/s: %s", goal.minRate, row.rateKBs >= goal.minRate ? "met" : "NOT MET");
    return text;
  }
  return "none";
}

void PrintTable(const std::vector<Row>& rows) {
  std::printf("| L (ms per class request) | exit | download | rate | floor | requests per block | chip retransmissions "
              "(goal <= %zu) | host frames abandoned | rate goal |\n|---|---|---|---|---|---|---|---|---|\n",
              kRetransmissionGoal);
  for (const Row& row : rows) {
    std::printf("| %g | %d%s | %.1f s | %.1f kB/s | %.1f s | %.2f | %llu (%s) | %llu | %s |\n", row.requestMs,
                row.exitStatus, row.exact ? "" : ", image WRONG", row.downloadS, row.rateKBs, row.floorS,
                row.requestsPerBlock, static_cast<unsigned long long>(row.link.retransmissions),
                row.link.retransmissions <= kRetransmissionGoal ? "met" : "NOT MET",
                static_cast<unsigned long long>(row.link.abandonedHostFrames), RateGoalText(row).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = Parse(argc, argv);
  if (!options) {
    Usage();
    return 2;
  }
  const std::vector<std::uint8_t> dfu = e2e::ReadBytes(e2e::BuildDir() / "images/bc08.dfu");
  if (dfu.size() <= e2e::kDfuSuffixLength) {
    std::fprintf(stderr, "no image at %s\n", (e2e::BuildDir() / "images/bc08.dfu").c_str());
    return 1;
  }
  const std::vector<std::uint8_t> image(dfu.begin(), dfu.end() - e2e::kDfuSuffixLength);

  std::vector<Row> rows;
  for (const double requestMs : options->requestMs) {
    const std::optional<Row> row = RunAt(*options, image, requestMs);
    if (!row) return 1;
    rows.push_back(*row);
  }
  PrintTable(rows);
  for (const Row& row : rows)
    if (row.exitStatus != 0 || !row.exact) return 1;
  return 0;
}
