#pragma once
// What the end-to-end tests share: where the built programs and images are,
// the device emulator run as its own program, and runs of the updater program
// on a vhid bus in a directory of their own.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/testing/ProgramRunner.h"
#include "platform/testing/TempDirectory.h"

namespace e2e {

// The build tree: QUILLON_BUILD_DIR from the environment (ctest sets it),
// else the tree this test was built in.
std::filesystem::path BuildDir();
std::filesystem::path UpdaterPath();
std::filesystem::path EmulatorPath();
std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path);
// True when this build embeds the generated stand-in images, whose contents
// (version stamps, memory layout) the tests know.
bool EmbedsStandInImages();

// Waits (real time) until a device is on the bus (its socket file, or the file naming its TCP port).
bool WaitForDevice(const std::filesystem::path& bus, std::chrono::milliseconds timeout);

// quillon-devemu serving a bus, as a user starts it from a shell.
class CEmulatorProgram {
 public:
  // Starts it with `--bus bus` and `arguments`; true once its device is on the bus.
  bool Start(const std::filesystem::path& bus, const std::vector<std::string>& arguments);
  // SIGTERM, then waits for the end; its exit status (-1 if it had to be killed).
  int Terminate();
  std::string Errors() const { return m_child.Errors(); }

 private:
  CChildProcess m_child;
};

// A temporary tree: bus/ (the vhid bus), run/ (the updater's current
// directory) and seen/ (hard links to every log file the updater created, so
// the contents of a log it deleted can still be read).
class CTestTree {
 public:
  CTestTree();
  bool Valid() const { return m_valid; }
  std::filesystem::path Root() const { return m_root.Path(); }
  std::filesystem::path Bus() const { return Root() / "bus"; }
  std::filesystem::path RunDir() const { return Root() / "run"; }
  std::filesystem::path SeenDir() const { return Root() / "seen"; }
  // The system bus of the updater's runs: nothing listens there unless the
  // test starts a private bus (CPrivateSystemBus) on it, so runs never reach
  // the machine's logind.
  std::filesystem::path SystemBusSocket() const { return Root() / "system_bus_socket"; }

 private:
  CTempDirectory m_root{"quillon-e2e"};
  bool m_valid = false;
};

struct UpdaterRun {
  ProgramResult result;
  // Upgrade-*.log files in the run directory after the end (also those of earlier runs).
  std::vector<std::filesystem::path> keptLogs;
  // Messages of this run's log (time stamps removed), whether it was kept or
  // deleted; empty when no log was seen.
  std::vector<std::string> log;
  std::string logText;  // the same log as written, with its time stamps
};

// Runs quillon-upgrade silently on `tree.Bus()` in `tree.RunDir()` with the
// letter options `arguments`, no display in its environment and a
// single-instance lock name of this test process, and the tree's system bus.
// Killed after `timeout`.
UpdaterRun RunUpdater(const CTestTree& tree, const std::vector<std::string>& arguments, double timeScale,
                      std::chrono::milliseconds timeout = std::chrono::seconds(240));
// That run's launch, for a test that changes it (another backend, another user) before RunUpdater.
ProgramLaunch UpdaterLaunch(const CTestTree& tree, const std::vector<std::string>& arguments, double timeScale);
// `whileRunning` is called about every millisecond while the updater runs
// (a test that signals it at a moment of its choosing).
UpdaterRun RunUpdater(const CTestTree& tree, const ProgramLaunch& launch,
                      std::chrono::milliseconds timeout = std::chrono::seconds(240),
                      const std::function<void(CChildProcess& updater)>& whileRunning = {});

// The messages of a log text, the "[dd/mm/yyyy hh:mm:ss:mmm] " stamps taken off.
std::vector<std::string> LogMessagesOf(const std::string& text);

// True when each of `parts` occurs in a message, in this order, each in a
// later message than the one before.
bool ContainsInOrder(const std::vector<std::string>& messages, const std::vector<std::string>& parts);
bool ContainsMessage(const std::vector<std::string>& messages, const std::string& part);

// Validates a --result-json file against docs/result.schema.json and sums it
// up: "exit N 0xRESULT log PATH|-" and, per processor, "INDEX TYPE BEFORE|-
// AFTER|- VERDICT written|not-written OUTCOME", a line each; or "invalid: ...".
std::string CheckedResult(const std::filesystem::path& resultFile);

// The lines of an emulator trace file.
std::vector<std::string> TraceLines(const std::filesystem::path& traceFile);
// Host-to-device transfers whose payload starts with `hexPrefix` (lower-case hex).
std::size_t CountHostTransfers(const std::vector<std::string>& trace, const std::string& hexPrefix);

}  // namespace e2e
