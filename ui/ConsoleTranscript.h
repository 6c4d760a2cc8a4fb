#pragma once
// Turns what a hidden dialog shows into a short transcript on a console: the
// window title, each new status text, each new version line, and the byte
// count of a write at every tenth of the way, so that a run without a display
// still tells its user what happened.
#include <cstdio>
#include <mutex>
#include <string>

class CConsoleTranscript {
 public:
  explicit CConsoleTranscript(std::FILE* out) : m_out(out) {}

  void Title(const std::string& title);
  void Status(const std::string& text);
  void Version(const std::string& text);

 private:
  void Print(const std::string& line);

  std::FILE* m_out;
  std::mutex m_mutex;
  std::string m_lastTitle;
  std::string m_lastHeadline;
  std::string m_lastVersion;
  int m_lastTenth = -1;
};
