// quillon-bench-hex: one full main-microcontroller upgrade by the real
// updater program against the device emulator with its full-speed bus timing
// model, at time scale 1. Prints the wall time, the floor the model implies,
// their ratio, the updater's CPU time and peak memory, and where the time
// went (from the log's time stamps and the emulator's trace). Prints figures
// only; it asserts nothing about speed.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/testing/EndToEndRig.h"
#include "bench/BenchOptions.h"
#include "emulator/DeviceEmulator.h"

namespace {

// The updater's fixed waits (program milliseconds).
constexpr double kCommandPauseMs = 100;    // after the entry or exit command
constexpr double kPollPeriodMs = 1000;     // before each presence check
constexpr double kSettleMs = 3000;         // after the device is found
constexpr double kAfterProcessorMs = 100;  // controller, after each processor
constexpr double kFinalWaitMs = 10;        // controller, before the final message
constexpr double kLeaveDelayMs = 1;        // the emulator leaves the bus this long after its answer

struct Options {
  double classRequestMs = 1.0;
  bool trace = true;
  std::string traceFile;
  double spinMs = 0.3;
};

void Usage() {
  std::puts(
      "Usage: quillon-bench-hex [--class-request-ms X] [--no-trace] [--trace-file FILE] [--spin-ms X]\n"
      "Runs quillon-upgrade /S once against an in-process emulator (processors 33 and 8,\n"
      "no Bluetooth chip, full-speed timing, time scale 1) and prints the figures.\n"
      "--spin-ms X: the emulator polls instead of sleeping for the last X ms before each\n"
      "modelled completion (default 0.3), so its own wake-up lateness is not counted\n"
      "against the updater; 0 = always sleep.");
}

std::optional<Options> Parse(int argc, char** argv) {
  Options options;
  if (!ParseBenchOptions(argc, argv,
                         {ValueOption("--class-request-ms", options.classRequestMs),
                          ValueOption("--spin-ms", options.spinMs), FlagOption("--no-trace", options.trace, false),
                          ValueOption("--trace-file", options.traceFile)}) ||
      options.spinMs < 0)
    return std::nullopt;
  return options;
}

// Presence checks until a device that is away `awayMs` after the command is seen.
double PollsUntilBack(double awayMs) {
  return std::max(1.0, std::ceil((kLeaveDelayMs + awayMs - kCommandPauseMs) / kPollPeriodMs));
}

// Milliseconds since midnight of each log line, with its message.
std::vector<std::pair<double, std::string>> StampedLog(const std::string& text) {
  static const std::regex stamp(R"(^\[\d{2}/\d{2}/\d{4} (\d{2}):(\d{2}):(\d{2}):(\d{3})\] (.*)$)");
  std::vector<std::pair<double, std::string>> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (!std::regex_match(line, m, stamp)) continue;
    const double ms = ((std::stod(m[1]) * 60 + std::stod(m[2])) * 60 + std::stod(m[3])) * 1000 + std::stod(m[4]);
    lines.emplace_back(ms, m[5]);
  }
  return lines;
}

// Time of the first line at or after `from` that contains `part`.
std::optional<std::size_t> Find(const std::vector<std::pair<double, std::string>>& log, const std::string& part,
                                std::size_t from = 0) {
  for (std::size_t i = from; i < log.size(); ++i)
    if (log[i].second.find(part) != std::string::npos) return i;
  return std::nullopt;
}

double TraceTime(const std::string& line) {
  const std::size_t at = line.find("\"t_ms\":");
  return at == std::string::npos ? -1 : std::atof(line.c_str() + at + 7);
}

bool Is(const std::string& line, const char* direction, const char* kind, const char* hexPrefix = nullptr) {
  if (line.find(std::string("\"dir\":\"") + direction + "\"") == std::string::npos) return false;
  if (line.find(std::string("\"kind\":\"") + kind + "\"") == std::string::npos) return false;
  return hexPrefix == nullptr || line.find(std::string("\"hex\":\"") + hexPrefix) != std::string::npos;
}

// Where the record phase's time goes: the device's modelled time per record
// (request to its completion) against the host's turnaround (completion to
// the next record).
void AnalyseRecords(const std::vector<std::string>& trace, double classRequestMs) {
  std::vector<double> deviceMs;
  std::vector<double> hostMs;
  double firstRecord = -1;
  double lastDone = -1;
  double pendingRequest = -1;
  for (const auto& line : trace) {
    if (Is(line, "h2d", "SET_OUTPUT", "003f82")) {
      const double t = TraceTime(line);
      if (firstRecord < 0) firstRecord = t;
      if (lastDone >= 0) hostMs.push_back(t - lastDone);
      pendingRequest = t;
    } else if (pendingRequest >= 0 && Is(line, "d2h", "SET_OUTPUT_DONE")) {
      lastDone = TraceTime(line);
      deviceMs.push_back(lastDone - pendingRequest);
      pendingRequest = -1;
    }
  }
  if (deviceMs.empty()) {
    std::puts("trace: no records seen");
    return;
  }
  const auto summary = [](std::vector<double> values, const char* what) {
    std::sort(values.begin(), values.end());
    double sum = 0;
    for (double v : values) sum += v;
    std::printf("  %-34s mean %.4f ms  median %.4f  p99 %.4f  max %.3f  total %.1f ms\n", what,
                sum / static_cast<double>(values.size()), values[values.size() / 2],
                values[values.size() * 99 / 100], values.back(), sum);
  };
  std::printf("records in the trace: %zu, from %.1f ms to %.1f ms (%.1f ms; modelled %.1f ms)\n", deviceMs.size(),
              firstRecord, lastDone, lastDone - firstRecord, static_cast<double>(deviceMs.size()) * classRequestMs);
  summary(deviceMs, "device: request to completion");
  if (!hostMs.empty()) summary(hostMs, "host: completion to next record");
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = Parse(argc, argv);
  if (!options) {
    Usage();
    return 2;
  }
  e2e::CTestTree tree;
  if (!tree.Valid()) {
    std::fputs("quillon-bench-hex: cannot make a temporary directory\n", stderr);
    return 1;
  }

  EmulatorConfig config;
  config.processors = {{kEmuCodeMain, EmuVersionWord(0x2016, 0x05, 0x12)},
                       {kEmuCodeThird, EmuVersionWord(0x2015, 0x10, 0x22)}};
  config.useBluetoothChip = false;
  config.timing = EmuTiming::FullSpeed;
  config.classRequestMs = options->classRequestMs;
  config.timeScale = 1;
  config.keepTrace = options->trace;
  config.traceFile = options->traceFile;
  config.spinMs = options->spinMs;
  CDeviceEmulator emulator(config);
  if (!emulator.Start(tree.Bus().string()) || !e2e::WaitForDevice(tree.Bus(), std::chrono::seconds(30))) {
    std::fputs("quillon-bench-hex: the emulator did not start\n", stderr);
    return 1;
  }

  const e2e::UpdaterRun run = e2e::RunUpdater(tree, {"/S"}, 1.0, std::chrono::minutes(10));
  const std::uint32_t records = emulator.RecordsReceived();
  const std::vector<std::string> trace = emulator.Trace();
  emulator.Stop();
  if (run.result.exitStatus != 0) {
    std::fprintf(stderr, "quillon-bench-hex: the upgrade failed (exit %d)\n%s", run.result.exitStatus,
                 run.result.err.c_str());
    return 1;
  }

  const double polls = PollsUntilBack(config.reenumerationDelayMs);
  const double oneWayMs = kCommandPauseMs + polls * kPollPeriodMs + kSettleMs;
  const double recordsMs = records * config.classRequestMs;
  const double floorMs =
      recordsMs + config.beginEraseMs + config.finishMs + 2 * oneWayMs + kAfterProcessorMs + kFinalWaitMs;
  const double wallMs = run.result.wallSeconds * 1000;
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  const double userS = seconds(run.result.usage.ru_utime);
  const double systemS = seconds(run.result.usage.ru_stime);

  std::printf("quillon-bench-hex: main microcontroller, %u records, class request %.3f ms, time scale 1\n", records,
              config.classRequestMs);
  std::printf("floor      %9.1f ms = records %.1f + erase %u + finish %u + entry/exit 2 x (%.0f + %.0f polls x %.0f + %.0f)"
              " + controller %.0f + %.0f\n",
              floorMs, recordsMs, config.beginEraseMs, config.finishMs, kCommandPauseMs, polls, kPollPeriodMs,
              kSettleMs, kAfterProcessorMs, kFinalWaitMs);
  std::printf("wall       %9.1f ms   ratio wall/floor %.4f (target <= 1.05)\n", wallMs, wallMs / floorMs);
  std::printf("updater CPU  user %.3f s + system %.3f s = %.3f s = %.2f %% of wall (target <= 5 %%)\n", userS,
              systemS, userS + systemS, 100 * (userS + systemS) * 1000 / wallMs);
  std::printf("updater peak memory (ru_maxrss) %ld KiB\n", run.result.usage.ru_maxrss);

  // Phases from the updater's own log (millisecond stamps).
  const auto log = StampedLog(run.logText);
  const auto at = [&](const std::string& part, std::size_t from = 0) { return Find(log, part, from); };
  struct Phase {
    const char* name;
    std::optional<std::size_t> from, to;
    double modelMs;
  };
  const auto enter = at("EnterBootloader");
  const auto begin = at("L::InitFirmwareUpgrade", enter.value_or(0));
  const auto begun = at("L::InitFirmwareUpgradeL - success", begin.value_or(0));
  const auto writeStart = at(">>> Estimated binary size", begun.value_or(0));
  const auto finish = at("L::EndFirmwareUpgradeL", writeStart.value_or(0));
  const auto finished = at("L::EndFirmwareUpgrade - success", finish.value_or(0));
  const auto exit = at("ExitBootloader", finished.value_or(0));
  const auto reloaded = at("L::Init - hRes", exit.value_or(0));
  const auto end = at("End of Log", reloaded.value_or(0));
  const Phase phases[] = {
      {"start to bootloader entry", std::size_t{0}, enter, 0},
      {"bootloader entry", enter, begin, oneWayMs},
      {"begin (version, erase)", begin, begun, config.beginEraseMs + 2 * config.classRequestMs},
      {"records", writeStart, finish, recordsMs},
      {"finish", finish, finished, config.finishMs + config.classRequestMs},
      {"processor to bootloader exit", finished, exit, kAfterProcessorMs},
      {"bootloader exit and reload", exit, reloaded, oneWayMs},
      {"reload to end of log", reloaded, end, kFinalWaitMs},
  };
  std::puts("phases (updater log, ms):");
  for (const auto& phase : phases) {
    if (!phase.from || !phase.to) {
      std::printf("  %-30s not found in the log\n", phase.name);
      continue;
    }
    std::printf("  %-30s %9.0f   model %9.1f\n", phase.name, log[*phase.to].first - log[*phase.from].first,
                phase.modelMs);
  }
  if (!trace.empty()) AnalyseRecords(trace, config.classRequestMs);
  return 0;
}
