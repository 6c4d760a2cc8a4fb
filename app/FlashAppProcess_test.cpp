// Runs the real program as a child process, in a temporary current directory,
// on an empty virtual HID bus, so no device of the machine is touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/FlashApp.h"
#include "app/testing/ProgramRunner.h"
#include "platform/InstanceLock.h"
#include "platform/testing/TempDirectory.h"
#include "resources/StringTable.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct RunResult {
  int exitStatus = -1;  // -1: killed or not run
  std::string out;
  std::string err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The single-instance lock of the copies this test process starts: its own,
// so that a copy running elsewhere on the machine does not refuse them.
std::string TestLockName() { return "quillon-test-instance-" + std::to_string(::getpid()); }

// Starts `program` with `arguments` in `cwd`, with no display in its
// environment (so a message goes to standard error), the test's lock name
// and `extraEnv` added.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments, const fs::path& cwd,
              const std::map<std::string, std::string>& extraEnv = {}) {
  RunResult result;
  const CTempDirectory output("quillon-run-output");
  const fs::path& outputDir = output.Path();
  const std::string outPath = (outputDir / "out").string();
  const std::string errPath = (outputDir / "err").string();

  std::vector<std::string> envText;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == kInstanceLockNameVariable ||
        IsLanguageVariable(name) || extraEnv.contains(name))
      continue;
    envText.push_back(entry);
  }
  if (!extraEnv.contains(kInstanceLockNameVariable))
    envText.push_back(std::string(kInstanceLockNameVariable) + "=" + TestLockName());
  for (const auto& [name, value] : extraEnv) envText.push_back(name + "=" + value);
  std::vector<std::string> argText = {program};
  argText.insert(argText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : argText) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string cwdText = cwd.string();

  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || ::chdir(cwdText.c_str()) != 0) ::_exit(125);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(126);
  }
  if (pid < 0) return result;
  // A hung program must not hang the test run: it is killed after a generous bound.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  int status = 0;
  pid_t waited = 0;
  while ((waited = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (waited == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ADD_FAILURE() << program << " did not end";
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  result.out = ReadFile(outPath);
  result.err = ReadFile(errPath);
  return result;
}

std::vector<fs::path> Entries(const fs::path& directory) {
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(directory)) entries.push_back(entry.path());
  std::sort(entries.begin(), entries.end());
  return entries;
}

// The messages of a log file, time stamps taken off (a line with none is the
// empty line after a message that ends in a newline).
std::vector<std::string> LogMessages(const fs::path& path) {
  static const std::regex stamp(R"(^\[\d{2}/\d{2}/\d{4} \d{2}:\d{2}:\d{2}:\d{3}\] )");
  std::vector<std::string> messages;
  std::istringstream in(ReadFile(path));
  std::string line;
  while (std::getline(in, line)) {
    std::smatch match;
    messages.push_back(std::regex_search(line, match, stamp) ? std::string(match.suffix()) : line);
  }
  return messages;
}

bool InOrder(const std::vector<std::string>& messages, const std::vector<std::string>& expected) {
  std::size_t found = 0;
  for (const auto& m : messages)
    if (found < expected.size() && m == expected[found]) ++found;
  return found == expected.size();
}

// The log names the program may choose when it starts within the next `seconds`.
std::vector<std::string> LogNamesFromNow(int seconds) {
  std::vector<std::string> names;
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now - 1; t <= now + seconds; ++t) {
    std::tm local{};
    ::localtime_r(&t, &local);
    LocalTime time;
    time.year = local.tm_year + 1900;
    time.month = local.tm_mon + 1;
    time.day = local.tm_mday;
    time.hour = local.tm_hour;
    time.minute = local.tm_min;
    time.second = local.tm_sec;
    names.push_back(MakeLogFileName(time));
  }
  return names;
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_cwdDir.Valid());
    ASSERT_TRUE(m_busDir.Valid());
  }
  std::string BusOption() const { return "--vhid-bus=" + m_bus.string(); }

  CTempDirectory m_cwdDir{"quillon-cwd"};
  CTempDirectory m_busDir{"quillon-bus"};
  const fs::path m_cwd = m_cwdDir.Path();
  const fs::path m_bus = m_busDir.Path();
  const std::string m_program = QUILLON_UPGRADE_PATH;
};

TEST_F(ProgramTest, NoDeviceExitsWithOneAndKeepsItsLog) {
  const RunResult run = RunProgram(m_program, {BusOption(), "/S"}, m_cwd);
  EXPECT_EQ(run.exitStatus, 1) << run.err;
  const auto entries = Entries(m_cwd);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(std::regex_match(entries[0].filename().string(), std::regex(R"(Upgrade-\d{8}-\d{6}\.log)")))
      << entries[0];
  const auto messages = LogMessages(entries[0]);
  ASSERT_GE(messages.size(), 4u);
  EXPECT_EQ(messages[0], "Start of Log");
  EXPECT_EQ(messages[1], "");
  EXPECT_EQ(messages[2], "CFlashApp::InitInstance");
  EXPECT_TRUE(InOrder(messages, {"CFlashApp::InitInstance - Option [" + BusOption() + "]",
                                 "ParseParam - lpszParam [S]", "ParseParam S - SilentMode [1]",
                                 "Cancel with Return Code = 0x80000001", "CFlashApp::InitInstance - Done",
                                 "CFlashApp::ExitInstance - Done"}))
      << ReadFile(entries[0]);
  EXPECT_EQ(messages[messages.size() - 2], "End of Log");
  EXPECT_EQ(messages.back(), "");
}

TEST_F(ProgramTest, PrintingOptionsExitAtOnceWithoutLockOrLog) {
  // Held by this test: an option that took the lock would be refused instead.
  CInstanceLock held(TestLockName());
  ASSERT_EQ(held.GetState(), CInstanceLock::State::Held);
  struct {
    std::vector<std::string> arguments;
    int exitStatus;
    const char* outNeedle;  // in standard output
    const char* errNeedle;  // in standard error
  } const cases[] = {
      {{"--help"}, 0, "--vhid-bus=DIR", ""},
      {{"/S", "--help"}, 0, "0x80000007", ""},
      {{"--version"}, 0, "quillon-upgrade ", ""},
      {{"--bogus"}, 2, "", "unknown option --bogus"},
      {{"--time-scale=0"}, 2, "", "--time-scale"},
      {{"--transcript=on"}, 2, "", "option --transcript takes no value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.back());
    const RunResult run = RunProgram(m_program, c.arguments, m_cwd);
    EXPECT_EQ(run.exitStatus, c.exitStatus);
    EXPECT_NE(run.out.find(c.outNeedle), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(c.errNeedle), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(LoadStringById(IDS_ALREADY_RUNNING)), std::string::npos);
    EXPECT_TRUE(Entries(m_cwd).empty());
  }
}

TEST_F(ProgramTest, SecondCopyIsRefusedAndLeavesTheOtherRunsLogAlone) {
  // Logs of the running copy, at every name this copy could take while it starts.
  const std::vector<std::string> names = LogNamesFromNow(60);
  for (const auto& name : names) std::ofstream(m_cwd / name) << "first copy " << name << "\n";
  {
    CInstanceLock firstCopy(TestLockName());
    ASSERT_EQ(firstCopy.GetState(), CInstanceLock::State::Held);
    const RunResult run = RunProgram(m_program, {BusOption(), "/S"}, m_cwd);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.err.find(LoadStringById(IDS_ALREADY_RUNNING)), std::string::npos) << run.err;
    // Its own log is gone; the other run's are as they were.
    EXPECT_EQ(Entries(m_cwd).size(), names.size());
    for (const auto& name : names) EXPECT_EQ(ReadFile(m_cwd / name), "first copy " + name + "\n");
  }
  // Once the first copy is gone, a copy runs (and fails for want of a device).
  const RunResult run = RunProgram(m_program, {BusOption(), "/S"}, m_cwd);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err.find(LoadStringById(IDS_ALREADY_RUNNING)), std::string::npos);
  EXPECT_EQ(Entries(m_cwd).size(), names.size() + 1);
}

// Without a lock name, and in every run that may reach real devices (no
// virtual bus), the product's own lock is taken.
TEST_F(ProgramTest, RunsThatMayReachRealDevicesTakeTheProductsLock) {
  CInstanceLock productLock;
  if (productLock.GetState() != CInstanceLock::State::Held)
    GTEST_SKIP() << "a copy of the updater runs on this machine";
  struct Case {
    std::vector<std::string> arguments;
    std::string lockName;
  };
  for (const Case& c : {Case{{BusOption(), "/S"}, ""}, Case{{"/S"}, "quillon-test-renamed"}}) {
    const RunResult run = RunProgram(m_program, c.arguments, m_cwd, {{kInstanceLockNameVariable, c.lockName}});
    EXPECT_EQ(run.exitStatus, 0) << c.lockName;
    EXPECT_NE(run.err.find(LoadStringById(IDS_ALREADY_RUNNING)), std::string::npos) << run.err;
  }
  EXPECT_EQ(kInstanceLockName, "Global\\{D2B45C67-FC2B-4269-AE40-BFD8B580246B}");
}

// The abstract socket is per network namespace; the lock file is not.
TEST_F(ProgramTest, ACopyInAnotherNetworkNamespaceIsRefused) {
  if (RunProgram("/usr/bin/unshare", {"-n", "/bin/true"}, m_cwd).exitStatus != 0)
    GTEST_SKIP() << "no permission to make a network namespace here";
  CInstanceLock firstCopy(TestLockName());
  ASSERT_EQ(firstCopy.GetState(), CInstanceLock::State::Held);
  const RunResult run = RunProgram("/usr/bin/unshare", {"-n", m_program, BusOption(), "/S"}, m_cwd);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_NE(run.err.find(LoadStringById(IDS_ALREADY_RUNNING)), std::string::npos) << run.err;
}

// A current folder that cannot be written: the log goes to the user's folder
// for logs, and the failure line names it; only when no place can be written
// does the run go on without a log.
TEST_F(ProgramTest, ReadOnlyCurrentDirectoryPutsTheLogInTheUsersFolder) {
  fs::permissions(m_cwd, fs::perms::owner_read | fs::perms::owner_exec);
  fs::path cwd = m_cwd;
  // A privileged user writes anywhere; /proc refuses new files even then.
  const bool writable = ::access(m_cwd.c_str(), W_OK) == 0;
  if (writable) cwd = "/proc";
  const CTempDirectory user("quillon-user");
  ASSERT_TRUE(user.Valid());
  const fs::path home = user.Path() / "home";
  const fs::path state = user.Path() / "state";
  struct Case {
    const char* name;
    std::map<std::string, std::string> env;
    fs::path folder;  // where the log must be; empty: nowhere
  } const cases[] = {
      {"XDG_STATE_HOME", {{"XDG_STATE_HOME", state.string()}, {"HOME", home.string()}}, state / "quillon-upgrade"},
      {"default", {{"XDG_STATE_HOME", ""}, {"HOME", home.string()}}, home / ".local/state/quillon-upgrade"},
      // A relative XDG_STATE_HOME is not valid and is ignored.
      {"relative XDG_STATE_HOME", {{"XDG_STATE_HOME", "state"}, {"HOME", home.string()}},
       home / ".local/state/quillon-upgrade"},
      {"no place", {{"XDG_STATE_HOME", ""}, {"HOME", "/proc"}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code error;
    fs::remove_all(home, error);
    fs::remove_all(state, error);
    const RunResult run = RunProgram(m_program, {BusOption(), "/S"}, cwd, c.env);
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    if (!writable) {
      EXPECT_TRUE(Entries(m_cwd).empty());
    }
    if (c.folder.empty()) {
      EXPECT_EQ(run.err, "quillon-upgrade: no device was found (exit code 1); no log could be written\n");
      continue;
    }
    ASSERT_TRUE(fs::is_directory(c.folder));
    const auto logs = Entries(c.folder);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(run.err, "quillon-upgrade: no device was found (exit code 1); log kept in " + logs[0].string() + "\n");
    EXPECT_TRUE(InOrder(LogMessages(logs[0]),
                        {"Start of Log", "CFlashApp::InitInstance - The current folder cannot be written; log in [" +
                                             c.folder.string() + "]",
                         "Cancel with Return Code = 0x80000001", "End of Log"}));
    EXPECT_EQ(fs::status(c.folder).permissions() & fs::perms::all, fs::perms::owner_all) << "private to the user";
  }
}

TEST_F(ProgramTest, LinkPlantedAtTheLogPathIsNotFollowed) {
  const CTempDirectory elsewhere("quillon-victim");
  const fs::path target = elsewhere.Path() / "planted-target";
  const std::vector<std::string> names = LogNamesFromNow(60);
  for (const auto& name : names) fs::create_symlink(target, m_cwd / name);

  const RunResult run = RunProgram(m_program, {BusOption(), "/S"}, m_cwd);
  EXPECT_EQ(run.exitStatus, 1) << run.err;
  EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
  std::vector<fs::path> logs;
  for (const auto& entry : Entries(m_cwd))
    if (!fs::is_symlink(fs::symlink_status(entry))) logs.push_back(entry);
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_TRUE(logs[0].filename().string().ends_with("-1.log")) << logs[0];
  EXPECT_EQ(LogMessages(logs[0]).front(), "Start of Log");
}

// The program copied alone into a directory, optionally with a stand-in
// emulator program beside it.
fs::path InstallCopy(const fs::path& directory, const std::string& program) {
  const fs::path copy = directory / "quillon-upgrade";
  fs::copy_file(program, copy);
  fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  return copy;
}

TEST_F(ProgramTest, DemoWithoutTheEmulatorReportsNoDevice) {
  const CTempDirectory install("quillon-install");
  const fs::path& installDir = install.Path();
  const fs::path copy = InstallCopy(installDir, m_program);
  const RunResult run = RunProgram(copy.string(), {"--demo"}, m_cwd);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find((installDir / "quillon-devemu").string()), std::string::npos) << run.err;
  const auto entries = Entries(m_cwd);
  ASSERT_EQ(entries.size(), 1u);
  const auto messages = LogMessages(entries[0]);
  EXPECT_TRUE(InOrder(messages, {"CFlashApp::InitInstance - Option [--demo]", "CFlashApp::InitInstance - Done",
                                 "CFlashApp::ExitInstance - Done"}))
      << ReadFile(entries[0]);
  // No dialog ran.
  for (const auto& m : messages) EXPECT_EQ(m.find("Return Code"), std::string::npos) << m;
}

TEST_F(ProgramTest, DemoStartsTheEmulatorOnAPrivateBusAndStopsIt) {
  const CTempDirectory install("quillon-install");
  const fs::path& installDir = install.Path();
  const fs::path copy = InstallCopy(installDir, m_program);
  // A stand-in emulator: it tells its pid and bus, puts a device file on the
  // bus and then waits to be stopped.
  const fs::path pidFile = installDir / "emulator.pid";
  const fs::path emulator = installDir / "quillon-devemu";
  std::ofstream(emulator) << "#!/bin/sh\n"
                             "[ \"$1\" = --bus ] || exit 3\n"
                             "echo \"$@\" > \"$FAKE_EMULATOR_PID.args\"\n"
                             "echo $$ > \"$FAKE_EMULATOR_PID\"\n"
                             "touch \"$2/vid_1a2b&pid_0c01#0.sock\"\n"
                             "exec sleep 600\n";
  fs::permissions(emulator, fs::perms::owner_all);

  const RunResult run =
      RunProgram(copy.string(), {"--time-scale=4", "--demo"}, m_cwd, {{"FAKE_EMULATOR_PID", pidFile.string()}});
  // Nothing plays the device behind the file, so the run ends without one.
  EXPECT_EQ(run.exitStatus, 1) << run.err;
  const auto entries = Entries(m_cwd);
  ASSERT_EQ(entries.size(), 1u);
  const auto messages = LogMessages(entries[0]);
  const std::string busPrefix = "CFlashApp::InitInstance - Demo device on bus [";
  std::string bus;
  for (const auto& m : messages)
    if (m.starts_with(busPrefix) && m.ends_with("]")) bus = m.substr(busPrefix.size(), m.size() - busPrefix.size() - 1);
  ASSERT_FALSE(bus.empty()) << ReadFile(entries[0]);
  EXPECT_TRUE(InOrder(messages, {"CFlashApp::InitInstance - Option [--time-scale=4]",
                                 "CFlashApp::InitInstance - Option [--demo]", "ParseParam - lpszParam [S]",
                                 "ParseParam S - SilentMode [1]", "CFlashApp::InitInstance - Done",
                                 "CFlashApp::ExitInstance - Demo device stopped", "CFlashApp::ExitInstance - Done"}))
      << ReadFile(entries[0]);
  EXPECT_FALSE(fs::exists(bus)) << bus;
  // The emulator's clock runs as fast as the updater's.
  EXPECT_EQ(ReadFile(pidFile.string() + ".args"), "--bus " + bus + " --time-scale 4\n");
  const pid_t emulatorPid = static_cast<pid_t>(std::stol(ReadFile(pidFile)));
  ASSERT_GT(emulatorPid, 0);
  // Stopped and reaped by the program: no such process is left.
  EXPECT_EQ(::kill(emulatorPid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

struct DemoLanguageCase {
  friend void PrintTo(const DemoLanguageCase& c, std::ostream* out) { *out << c.name; }
  const char* name;
  std::map<std::string, std::string> environment;
  std::vector<std::string> transcript;  // lines, in order
};

const DemoLanguageCase kDemoLanguageCases[] = {
    {"German",
     {{"LANG", "de_DE.UTF-8"}},
     {"Firmware-Aktualisierung für Aurelix Rho USB Audio", "Aktuelle Version: L:20160512 A:20151022 B:20140630",
      "Aktualisierung läuft, bitte warten...", "  1541932 von 1541932 Bytes",
      "Treiber wird neu geladen, Firmware-Versionen werden neu gelesen...",
      "Aktuelle Version: L:20171003 A:20151022 B:20150928", "Aktualisierung erfolgreich"}},
    {"Japanese",
     {{"LANG", "en_US.UTF-8"}, {"LANGUAGE", "ja_JP:en"}},
     {"Aurelix Rho USB Audio デバイス ファームウェア アップグレード", "現在のバージョン: L:20160512 A:20151022 B:20140630",
      "アップグレード中です。しばらくお待ちください...", "  1541932 / 1541932 バイト",
      "ドライバーを再読み込みし、ファームウェアのバージョンを更新しています...",
      "現在のバージョン: L:20171003 A:20151022 B:20150928", "アップグレードが完了しました"}},
};

class DemoInTheUsersLanguage : public ProgramTest, public ::testing::WithParamInterface<DemoLanguageCase> {};

// The demo as a newcomer runs it, whole device and emulator included, with the
// user's locale: what it tells on the console is in that language.
TEST_P(DemoInTheUsersLanguage, TranscriptSpeaksItAndTheUpgradeSucceeds) {
  const RunResult run = RunProgram(m_program, {"--time-scale=10", "--demo"}, m_cwd, GetParam().environment);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  std::vector<std::string> lines;
  std::istringstream out(run.out);
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  EXPECT_TRUE(InOrder(lines, GetParam().transcript)) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Languages, DemoInTheUsersLanguage, ::testing::ValuesIn(kDemoLanguageCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(InstanceLock, OneHolderPerNameUntilReleased) {
  const std::string name = "quillon-test-lock-" + std::to_string(::getpid());
  CInstanceLock first(name);
  ASSERT_EQ(first.GetState(), CInstanceLock::State::Held);
  {
    CInstanceLock second(name);
    EXPECT_TRUE(second.AlreadyRunning());
  }
  EXPECT_FALSE(CInstanceLock(name + "-other").AlreadyRunning());
  first.Release();
  EXPECT_EQ(first.GetState(), CInstanceLock::State::Released);
  CInstanceLock third(name);
  EXPECT_EQ(third.GetState(), CInstanceLock::State::Held);
  EXPECT_EQ(CInstanceLock(std::string(200, 'x')).GetState(), CInstanceLock::State::Unavailable);
}

}  // namespace
