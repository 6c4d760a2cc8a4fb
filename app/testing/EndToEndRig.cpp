#include "app/testing/EndToEndRig.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include "app/FlashApp.h"

namespace fs = std::filesystem;

namespace e2e {

namespace {

constexpr char kSourceDir[] = QUILLON_E2E_SOURCE_DIR;

bool IsLogName(const std::string& name) {
  return name.rfind("Upgrade-", 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0;
}

std::vector<fs::path> LogFilesIn(const fs::path& directory) {
  std::vector<fs::path> logs;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    if (IsLogName(entry.path().filename().string())) logs.push_back(entry.path());
  }
  std::sort(logs.begin(), logs.end());
  return logs;
}

}  // namespace

fs::path BuildDir() {
  if (const char* fromEnvironment = std::getenv("QUILLON_BUILD_DIR"); fromEnvironment != nullptr && *fromEnvironment)
    return fromEnvironment;
  return QUILLON_E2E_BUILD_DIR;
}

fs::path UpdaterPath() { return BuildDir() / "bin" / "quillon-upgrade"; }
fs::path EmulatorPath() { return BuildDir() / "bin" / "quillon-devemu"; }

std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
  const std::string text = ReadWholeFile(path);
  return {text.begin(), text.end()};
}

bool EmbedsStandInImages() {
  const fs::path images = BuildDir() / "images";
  const auto hex = ReadBytes(images / "lpc18xx.hex");
  const auto dfu = ReadBytes(images / "bc08.dfu");
  return !hex.empty() && !dfu.empty() && hex == ReadBytes(images / "standin" / "lpc18xx.hex") &&
         dfu == ReadBytes(images / "standin" / "bc08.dfu");
}

bool WaitForDevice(const fs::path& bus, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(bus, error)) {
      if (entry.path().extension() == ".sock" || entry.path().extension() == ".tcp") return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool CEmulatorProgram::Start(const fs::path& bus, const std::vector<std::string>& arguments) {
  ProgramLaunch launch;
  launch.program = EmulatorPath().string();
  launch.arguments = {"--bus", bus.string()};
  launch.arguments.insert(launch.arguments.end(), arguments.begin(), arguments.end());
  if (!m_child.Start(launch)) return false;
  // Start-up is real time: the emulator's clock scale does not speed it up.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (WaitForDevice(bus, std::chrono::milliseconds(20))) return true;
    if (!m_child.Running()) return false;
  }
  return false;
}

int CEmulatorProgram::Terminate() {
  if (!m_child.Signal(SIGTERM)) return m_child.Wait(std::chrono::milliseconds(0)).exitStatus;
  return m_child.Wait(std::chrono::seconds(30)).exitStatus;
}

CTestTree::CTestTree() {
  if (!m_root.Valid()) return;
  std::error_code error;
  for (const char* sub : {"bus", "run", "seen"}) fs::create_directory(Root() / sub, error);
  m_valid = !error;
}

std::string CheckedResult(const fs::path& resultFile) {
  static const char kSummary[] = R"(
import json, sys, jsonschema
result = json.load(open(sys.argv[1]))
try:
    jsonschema.validate(result, json.load(open(sys.argv[2])), format_checker=jsonschema.FormatChecker())
except jsonschema.ValidationError as error:
    sys.exit("invalid: " + error.message)
print("exit", result["exitCode"], result["resultCode"], "log", result["log"] or "-")
for p in result["processors"]:
    print(p["index"], p["type"], p["versionBefore"] or "-", p["versionAfter"] or "-", p["verdict"],
          "written" if p["written"] else "not-written", p["outcome"])
)";
  ProgramLaunch launch;
  launch.program = "/usr/bin/python3";
  launch.arguments = {"-c", kSummary, resultFile.string(), std::string(kSourceDir) + "/docs/result.schema.json"};
  const ProgramResult checked = RunProgram(launch, std::chrono::seconds(60));
  return checked.exitStatus == 0 ? checked.out : checked.err;
}

ProgramLaunch UpdaterLaunch(const CTestTree& tree, const std::vector<std::string>& arguments, double timeScale) {
  ProgramLaunch launch;
  launch.program = UpdaterPath().string();
  launch.arguments = arguments;
  std::ostringstream scale;
  scale << timeScale;
  launch.arguments.push_back("--vhid-bus=" + tree.Bus().string());
  launch.arguments.push_back("--time-scale=" + scale.str());
  launch.cwd = tree.RunDir();
  launch.unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY"};
  launch.setEnv[kInstanceLockNameVariable] = "quillon-e2e-" + std::to_string(::getpid());
  // Both buses are the tree's own, never the machine's logind or desktop.
  launch.setEnv["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + tree.SystemBusSocket().string();
  launch.setEnv["DBUS_SESSION_BUS_ADDRESS"] = launch.setEnv["DBUS_SYSTEM_BUS_ADDRESS"];
  return launch;
}

UpdaterRun RunUpdater(const CTestTree& tree, const std::vector<std::string>& arguments, double timeScale,
                      std::chrono::milliseconds timeout) {
  return RunUpdater(tree, UpdaterLaunch(tree, arguments, timeScale), timeout);
}

UpdaterRun RunUpdater(const CTestTree& tree, const ProgramLaunch& launch, std::chrono::milliseconds timeout,
                      const std::function<void(CChildProcess& updater)>& whileRunning) {
  UpdaterRun run;
  const std::vector<fs::path> before = LogFilesIn(tree.RunDir());
  CChildProcess child;
  if (!child.Start(launch)) return run;
  // While the program runs, every log file it creates gets a second name in
  // seen/, so its content survives the deletion at a successful end.
  std::set<std::string> linked;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (child.Running() && std::chrono::steady_clock::now() < deadline) {
    for (const auto& log : LogFilesIn(tree.RunDir())) {
      const std::string name = log.filename().string();
      if (linked.contains(name) || std::find(before.begin(), before.end(), log) != before.end()) continue;
      if (::link(log.c_str(), (tree.SeenDir() / name).c_str()) == 0) linked.insert(name);
    }
    if (whileRunning) whileRunning(child);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  run.result = child.Wait(std::max(left, std::chrono::milliseconds(0)));
  run.keptLogs = LogFilesIn(tree.RunDir());
  // A log this run kept is read where it is (it may have been created and
  // finished between two polls); otherwise its link.
  std::vector<fs::path> created;
  for (const auto& log : run.keptLogs) {
    if (std::find(before.begin(), before.end(), log) == before.end()) created.push_back(log);
  }
  if (!created.empty()) {
    run.logText = ReadWholeFile(created.back());
  } else if (const auto seen = LogFilesIn(tree.SeenDir()); !seen.empty()) {
    run.logText = ReadWholeFile(seen.back());
  }
  run.log = LogMessagesOf(run.logText);
  // The next run starts with an empty seen/.
  std::error_code error;
  for (const auto& log : LogFilesIn(tree.SeenDir())) fs::remove(log, error);
  return run;
}

std::vector<std::string> LogMessagesOf(const std::string& text) {
  static const std::regex stamp(R"(^\[\d{2}/\d{2}/\d{4} \d{2}:\d{2}:\d{2}:\d{3}\] )");
  std::vector<std::string> messages;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::smatch match;
    messages.push_back(std::regex_search(line, match, stamp) ? std::string(match.suffix()) : line);
  }
  return messages;
}

bool ContainsInOrder(const std::vector<std::string>& messages, const std::vector<std::string>& parts) {
  std::size_t next = 0;
  for (const auto& part : parts) {
    while (next < messages.size() && messages[next].find(part) == std::string::npos) ++next;
    if (next == messages.size()) return false;
    ++next;
  }
  return true;
}

bool ContainsMessage(const std::vector<std::string>& messages, const std::string& part) {
  return ContainsInOrder(messages, {part});
}

std::vector<std::string> TraceLines(const fs::path& traceFile) {
  std::vector<std::string> lines;
  std::istringstream in(ReadWholeFile(traceFile));
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::size_t CountHostTransfers(const std::vector<std::string>& trace, const std::string& hexPrefix) {
  std::size_t count = 0;
  for (const auto& line : trace) {
    if (line.find("\"dir\":\"h2d\"") != std::string::npos &&
        line.find("\"hex\":\"" + hexPrefix) != std::string::npos)
      ++count;
  }
  return count;
}

}  // namespace e2e
