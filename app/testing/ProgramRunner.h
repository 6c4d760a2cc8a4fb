#pragma once
// Starts a program as a child process the way a user or a script would: with
// its own arguments and environment, in a chosen current directory, standard
// output and error captured to files. Used by the end-to-end tests and the
// benchmarks; it knows nothing of GoogleTest.
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/testing/TempDirectory.h"

// The variables that choose the program's language. A child started for a
// test speaks English, whatever the language of the person running the tests,
// unless the test sets one of them.
inline bool IsLanguageVariable(std::string_view name) {
  return name == "LANGUAGE" || name == "LC_ALL" || name == "LC_MESSAGES" || name == "LANG";
}

struct ProgramLaunch {
  std::string program;  // path of the executable
  std::vector<std::string> arguments;
  std::filesystem::path cwd;  // empty: the caller's
  // Variables to set (replacing inherited ones) and to remove from the
  // caller's environment. The language variables (LANGUAGE, LC_ALL,
  // LC_MESSAGES, LANG) are never inherited: set them to choose a language.
  std::map<std::string, std::string> setEnv;
  std::vector<std::string> unsetEnv;
  // Kill the child when the thread that started it ends (for servers a test starts).
  bool dieWithParent = true;
};

struct ProgramResult {
  bool started = false;
  bool timedOut = false;    // killed after the time-out
  int exitStatus = -1;      // exit code; -1 when ended by a signal
  int termSignal = 0;       // the signal that ended it, if any
  std::string out;
  std::string err;
  double wallSeconds = 0;   // from start to reaping
  rusage usage{};           // of the child alone
};

class CChildProcess {
 public:
  CChildProcess() = default;
  // Kills and reaps a child that still runs, and removes the capture files.
  ~CChildProcess();
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  bool Start(const ProgramLaunch& launch);
  bool Running();
  pid_t Pid() const { return m_pid; }
  bool Signal(int signalNumber);
  // Waits for the end; after `timeout` the child is killed (SIGKILL).
  ProgramResult Wait(std::chrono::milliseconds timeout);
  // What the child wrote so far.
  std::string Output() const;
  std::string Errors() const;

 private:
  bool Reap(bool block);

  pid_t m_pid = -1;
  bool m_reaped = false;
  int m_status = 0;
  rusage m_usage{};
  std::chrono::steady_clock::time_point m_startTime;
  std::chrono::steady_clock::time_point m_endTime;
  std::filesystem::path m_captureDir;
};

// Starts `launch`, waits for its end (killing it after `timeout`).
ProgramResult RunProgram(const ProgramLaunch& launch, std::chrono::milliseconds timeout);

// The whole content of a file (empty when it cannot be read).
std::string ReadWholeFile(const std::filesystem::path& path);
