#include "app/EndSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>

#include "app/log/Log.h"
#include "platform/LibusbBackend.h"

namespace {

// SIGPIPE too: output piped to a program that went away with its terminal
// (`... --transcript | tee`) would otherwise end the run at the next line.
constexpr std::array kEndSignals = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// The handler only writes the signal's number here (async-signal-safe); the
// watcher thread reads it and does the rest outside the handler.
int g_pipe[2] = {-1, -1};
std::array<struct sigaction, kEndSignals.size()> g_previous{};
std::array<bool, kEndSignals.size()> g_installed{};

extern "C" void OnEndSignal(int number) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(number);
  [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
  errno = saved;
}

const char* SignalName(int number) {
  switch (number) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    case SIGPIPE:
      return "SIGPIPE";
    default:
      return "signal";
  }
}

// Ends the process by `number` as its default action would, the device's
// interface given back to the kernel's driver and the log written out first.
[[noreturn]] void EndBySignal(int number) {
  GiveBackUsbInterfaces();
  StopLog();
  ::signal(number, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, number);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(number);
  ::_exit(128 + number);
}

}  // namespace

CEndSignals::CEndSignals(CEndRequest& request) : m_request(request) {
  if (::pipe2(g_pipe, O_CLOEXEC) != 0) {
    LogMessage("CEndSignals - No pipe for signals [%d]; they end the program at once", errno);
    g_pipe[0] = g_pipe[1] = -1;
    return;
  }
  // A full pipe must never block the handler; requests beyond it add nothing.
  ::fcntl(g_pipe[1], F_SETFL, O_NONBLOCK);
  m_watcher = std::thread([this] { Watch(); });
  for (std::size_t i = 0; i < kEndSignals.size(); ++i) {
    struct sigaction action {};
    action.sa_handler = OnEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A signal the starter chose to ignore (nohup, a background job) stays ignored.
    if (::sigaction(kEndSignals[i], nullptr, &g_previous[i]) != 0 || g_previous[i].sa_handler == SIG_IGN) continue;
    g_installed[i] = ::sigaction(kEndSignals[i], &action, nullptr) == 0;
  }
}

CEndSignals::~CEndSignals() {
  for (std::size_t i = 0; i < kEndSignals.size(); ++i)
    if (g_installed[i]) ::sigaction(kEndSignals[i], &g_previous[i], nullptr);
  if (!m_watcher.joinable()) return;
  const unsigned char stop = 0;
  while (::write(g_pipe[1], &stop, 1) < 0 && errno == EINTR) {
  }
  m_watcher.join();
  ::close(g_pipe[0]);
  ::close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
}

void CEndSignals::Watch() {
  for (;;) {
    unsigned char number = 0;
    const ssize_t got = ::read(g_pipe[0], &number, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || number == 0) return;
    if (m_request.Request(SignalName(number)) == CEndRequest::Answer::EndNow) EndBySignal(number);
  }
}
