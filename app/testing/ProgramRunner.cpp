#include "app/testing/ProgramRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

CChildProcess::~CChildProcess() {
  if (m_pid > 0 && !m_reaped) {
    ::kill(m_pid, SIGKILL);
    Reap(true);
  }
  if (!m_captureDir.empty()) {
    std::error_code error;
    fs::remove_all(m_captureDir, error);
  }
}

bool CChildProcess::Start(const ProgramLaunch& launch) {
  if (m_pid > 0) return false;
  m_captureDir = MakeTempDirectory("quillon-child");
  if (m_captureDir.empty()) return false;
  const std::string outPath = (m_captureDir / "out").string();
  const std::string errPath = (m_captureDir / "err").string();

  // Everything the child needs is prepared here: between fork and exec only
  // async-signal-safe calls are allowed (the caller may run other threads).
  std::vector<std::string> envText;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (launch.setEnv.contains(name) || IsLanguageVariable(name) ||
        std::find(launch.unsetEnv.begin(), launch.unsetEnv.end(), name) != launch.unsetEnv.end())
      continue;
    envText.push_back(text);
  }
  for (const auto& [name, value] : launch.setEnv) envText.push_back(name + "=" + value);
  std::vector<std::string> argText = {launch.program};
  argText.insert(argText.end(), launch.arguments.begin(), launch.arguments.end());
  std::vector<char*> argv;
  for (auto& text : argText) argv.push_back(text.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& text : envText) envp.push_back(text.data());
  envp.push_back(nullptr);
  const std::string cwdText = launch.cwd.string();
  const bool dieWithParent = launch.dieWithParent;
  const pid_t parent = ::getpid();

  m_startTime = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (dieWithParent) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(125);
    }
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) ::_exit(125);
    if (!cwdText.empty() && ::chdir(cwdText.c_str()) != 0) ::_exit(125);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(126);
  }
  if (pid < 0) return false;
  m_pid = pid;
  return true;
}

bool CChildProcess::Reap(bool block) {
  if (m_reaped) return true;
  int status = 0;
  rusage usage{};
  pid_t waited = 0;
  do {
    waited = ::wait4(m_pid, &status, block ? 0 : WNOHANG, &usage);
  } while (waited < 0 && errno == EINTR);
  if (waited != m_pid) return false;
  m_endTime = std::chrono::steady_clock::now();
  m_reaped = true;
  m_status = status;
  m_usage = usage;
  return true;
}

bool CChildProcess::Running() { return m_pid > 0 && !Reap(false); }

bool CChildProcess::Signal(int signalNumber) { return m_pid > 0 && !m_reaped && ::kill(m_pid, signalNumber) == 0; }

std::string CChildProcess::Output() const { return ReadWholeFile(m_captureDir / "out"); }

std::string CChildProcess::Errors() const { return ReadWholeFile(m_captureDir / "err"); }

ProgramResult CChildProcess::Wait(std::chrono::milliseconds timeout) {
  ProgramResult result;
  if (m_pid <= 0) return result;
  result.started = true;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!Reap(false) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!m_reaped) {
    ::kill(m_pid, SIGKILL);
    Reap(true);
    result.timedOut = true;
  }
  if (WIFEXITED(m_status)) result.exitStatus = WEXITSTATUS(m_status);
  if (WIFSIGNALED(m_status)) result.termSignal = WTERMSIG(m_status);
  result.out = Output();
  result.err = Errors();
  result.wallSeconds = std::chrono::duration<double>(m_endTime - m_startTime).count();
  result.usage = m_usage;
  return result;
}

ProgramResult RunProgram(const ProgramLaunch& launch, std::chrono::milliseconds timeout) {
  CChildProcess child;
  if (!child.Start(launch)) return {};
  return child.Wait(timeout);
}
