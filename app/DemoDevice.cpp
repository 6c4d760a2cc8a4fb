#include "app/DemoDevice.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// The emulator is a separate program: its start-up takes real time whatever
// the program's time scale, so this wait is in real time.
constexpr auto kSocketWait = std::chrono::seconds(20);
constexpr auto kPollInterval = std::chrono::milliseconds(10);
constexpr auto kStopGrace = std::chrono::seconds(5);

std::string OwnDirectory() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.parent_path().string();
}

bool BusHasSocket(const std::string& directory) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error))
    if (entry.path().extension() == ".sock") return true;
  return false;
}

}  // namespace

CDemoDevice::~CDemoDevice() { Stop(); }

bool CDemoDevice::Fail(std::string message) {
  m_error = std::move(message);
  Stop();
  return false;
}

bool CDemoDevice::Start(std::optional<double> timeScale) {
  const std::string ownDirectory = OwnDirectory();
  if (ownDirectory.empty()) return Fail("cannot find the directory of this program");
  m_emulatorPath = ownDirectory + "/" + kEmulatorProgramName;
  if (::access(m_emulatorPath.c_str(), X_OK) != 0)
    return Fail("the device emulator " + m_emulatorPath + " is missing or not executable (" +
                std::strerror(errno) + "); build it or install it beside this program");

  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/quillon-demo-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  if (::mkdtemp(buffer.data()) == nullptr)
    return Fail("cannot create a bus directory from " + pattern + " (" + std::strerror(errno) + ")");
  m_busDirectory = buffer.data();

  // Everything the child needs is prepared before fork: between fork and exec
  // only async-signal-safe calls are allowed in a process with threads.
  std::string busOption = "--bus";
  std::string scaleOption = "--time-scale";
  char scaleText[32] = {};
  std::snprintf(scaleText, sizeof scaleText, "%.17g", timeScale.value_or(1.0));
  std::vector<char*> argv = {m_emulatorPath.data(), busOption.data(), m_busDirectory.data()};
  if (timeScale) {
    argv.push_back(scaleOption.data());
    argv.push_back(scaleText);
  }
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return Fail(std::string("cannot start the device emulator (") + std::strerror(errno) + ")");
  if (pid == 0) {
    // The emulator must not outlive the updater, even if the updater crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  m_pid = pid;

  const auto deadline = std::chrono::steady_clock::now() + kSocketWait;
  while (!BusHasSocket(m_busDirectory)) {
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      return Fail("the device emulator ended before it served its bus (status " + std::to_string(status) + ")");
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return Fail("the device emulator did not put a device on " + m_busDirectory + " in time");
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

void CDemoDevice::Stop() {
  if (m_pid > 0) {
    ::kill(m_pid, SIGTERM);
    // An emulator that ignores the request is killed after a grace period.
    const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    int status = 0;
    pid_t waited = 0;
    while ((waited = ::waitpid(m_pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(kPollInterval);
    if (waited == 0) {
      ::kill(m_pid, SIGKILL);
      while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
    m_pid = -1;
  }
  if (!m_busDirectory.empty()) {
    std::error_code error;
    std::filesystem::remove_all(m_busDirectory, error);
    m_busDirectory.clear();
  }
}
