#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <thread>

#include "app/log/Log.h"
#include "app/log/LocalTime.h"
#include "app/log/LogFile.h"
#include "app/log/Utf16Text.h"

namespace {

constexpr std::size_t kMaxMessageChars = 1023;
constexpr std::size_t kMaxLineBytes = 2048;

// Writer state; one per process.
struct LogWriter {
  std::mutex queueLock;
  std::condition_variable dataAvailable;
  std::deque<std::string> queue;
  bool stopRequested = false;
  bool running = false;
  CLogFile file;
  std::string path;
  std::thread thread;
  std::mutex lifecycleLock;  // serialises StartLog and StopLog
};

// The writer is never destroyed: a process that ends through exit() while
// other threads still log (a window system that exits when its display goes
// away) must neither destroy a running thread, which aborts the process, nor
// leave those threads a destroyed queue. An exit handler writes what is queued.
LogWriter& Writer() {
  static LogWriter& writer = *new LogWriter;
  static const bool flushAtExit = std::atexit([] { StopLog(); }) == 0;
  (void)flushAtExit;
  return writer;
}

std::mutex g_captureLock;
LogCapture* g_capture = nullptr;

void WriterThread(LogWriter& w) {
  std::unique_lock lock(w.queueLock);
  for (;;) {
    w.dataAvailable.wait(lock, [&] { return w.stopRequested || !w.queue.empty(); });
    // Lines leave the queue in lock order; only this thread writes the file,
    // so writing outside the lock keeps that order without holding up callers.
    std::deque<std::string> batch;
    batch.swap(w.queue);
    const bool stopping = w.stopRequested;
    lock.unlock();
    std::string text;
    for (const auto& line : batch) text += line;
    w.file.Write(text);
    lock.lock();
    if (stopping && w.queue.empty()) return;
  }
}

void AppendUtf16AsUtf8(std::string& out, const char16_t* text) {
  out += text != nullptr ? Utf16ToUtf8(text) : "(null)";
}

std::uint32_t Low32(const LogArg& arg) {
  return arg.kind == LogArg::Kind::Signed ? static_cast<std::uint32_t>(arg.signedValue)
                                          : static_cast<std::uint32_t>(arg.unsignedValue);
}

bool IsInteger(const LogArg& arg) {
  return arg.kind == LogArg::Kind::Signed || arg.kind == LogArg::Kind::Unsigned;
}

void AppendPadded(std::string& out, const std::string& digits, int width, bool zeroFill) {
  if (static_cast<int>(digits.size()) < width) {
    const std::size_t pad = static_cast<std::size_t>(width) - digits.size();
    if (zeroFill && !digits.empty() && digits[0] == '-') {
      out += '-';
      out.append(pad, '0');
      out.append(digits, 1);
      return;
    }
    out.append(pad, zeroFill ? '0' : ' ');
  }
  out += digits;
}

void LogLine(const std::string& message) {
  {
    std::lock_guard lock(g_captureLock);
    if (g_capture != nullptr) g_capture->Add(message);
  }
  LogWriter& w = Writer();
  const LocalTime t = GetLocalTime();
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "[%02d/%02d/%04d %02d:%02d:%02d:%03d] ", t.day, t.month, t.year,
                t.hour, t.minute, t.second, t.millisecond);
  std::string line = stamp;
  line += message;
  line += '\n';
  if (line.size() > kMaxLineBytes - 1) line.resize(kMaxLineBytes - 1);
  {
    std::lock_guard lock(w.queueLock);
    if (!w.running) return;  // nothing to write to: the line is dropped
    w.queue.push_back(std::move(line));
  }
  w.dataAvailable.notify_one();
}

}  // namespace

std::string FormatLogMessage(const char* format, std::span<const LogArg> args) {
  std::string out;
  if (format == nullptr) return out;
  std::size_t next = 0;
  for (const char* p = format; *p != 0; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    ++p;
    if (*p == '%') {
      out += '%';
      continue;
    }
    bool zeroFill = false;
    if (*p == '0') {
      zeroFill = true;
      ++p;
    }
    int width = 0;
    while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
    bool wide = false;
    if (*p == 'l') {
      wide = true;
      ++p;
    }
    if (*p == 0) break;
    const LogArg* arg = next < args.size() ? &args[next++] : nullptr;
    std::string field;
    char buffer[32];
    switch (*p) {
      case 'd':
      case 'i':
        if (arg != nullptr && IsInteger(*arg)) {
          std::snprintf(buffer, sizeof buffer, "%d", static_cast<std::int32_t>(Low32(*arg)));
          field = buffer;
        }
        break;
      case 'u':
        if (arg != nullptr && IsInteger(*arg)) field = std::to_string(Low32(*arg));
        break;
      case 'x':
      case 'X':
        if (arg != nullptr && IsInteger(*arg)) {
          std::snprintf(buffer, sizeof buffer, *p == 'x' ? "%x" : "%X", Low32(*arg));
          field = buffer;
        }
        break;
      case 'c':
        if (arg != nullptr && IsInteger(*arg)) field = std::string(1, static_cast<char>(Low32(*arg)));
        break;
      case 's':
        if (arg == nullptr) break;
        if (wide || arg->kind == LogArg::Kind::Utf16Text) {
          AppendUtf16AsUtf8(field, arg->kind == LogArg::Kind::Utf16Text ? arg->utf16Text : nullptr);
        } else if (arg->kind == LogArg::Kind::Text) {
          field = arg->text != nullptr ? arg->text : "(null)";
        }
        break;
      case 'p':
        if (arg != nullptr) {
          const void* pointer = arg->kind == LogArg::Kind::Pointer ? arg->pointer
                                : arg->kind == LogArg::Kind::Text  ? static_cast<const void*>(arg->text)
                                                                   : static_cast<const void*>(arg->utf16Text);
          std::snprintf(buffer, sizeof buffer, "%016llX",
                        static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer)));
          field = buffer;
        }
        break;
      default:
        field = std::string("%") + *p;
        break;
    }
    AppendPadded(out, field, width, zeroFill);
    if (out.size() >= kMaxMessageChars) break;
  }
  if (out.size() > kMaxMessageChars) out.resize(kMaxMessageChars);
  return out;
}

void LogMessageArgs(const char* format, std::span<const LogArg> args) {
  LogLine(FormatLogMessage(format, args));
}

HRESULT StartLog(const std::string& fileName) {
  LogWriter& w = Writer();
  std::lock_guard lifecycle(w.lifecycleLock);
  if (w.running) return S_OK;
  // A new file only: never truncate a log of another run that took the same
  // one-second name, and never follow a link planted at the log's path.
  const bool hasExtension = fileName.ends_with(".log");
  const std::string stem = hasExtension ? fileName.substr(0, fileName.size() - 4) : fileName;
  const std::string extension = hasExtension ? ".log" : "";
  std::string path;
  CLogFile::Create created = CLogFile::Create::Failed;
  for (int suffix = 0; suffix < 1000; ++suffix) {
    path = suffix == 0 ? fileName : stem + "-" + std::to_string(suffix) + extension;
    created = w.file.CreateNew(path);
    if (created != CLogFile::Create::Exists) break;
  }
  if (created != CLogFile::Create::Made) return E_FAIL;
  {
    std::lock_guard lock(w.queueLock);
    w.path = path;
    w.stopRequested = false;
    w.running = true;
  }
  try {
    w.thread = std::thread(WriterThread, std::ref(w));
  } catch (const std::system_error&) {
    std::lock_guard lock(w.queueLock);
    w.running = false;
    w.file.Close();
    return E_FAIL;
  }
  return S_OK;
}

int StopLog() {
  LogWriter& w = Writer();
  std::lock_guard lifecycle(w.lifecycleLock);
  if (w.thread.joinable()) {
    {
      std::lock_guard lock(w.queueLock);
      w.stopRequested = true;
    }
    w.dataAvailable.notify_one();
    w.thread.join();
  }
  std::lock_guard lock(w.queueLock);
  w.running = false;
  w.queue.clear();
  w.file.Close();
  return 0;
}

std::string LogFilePath() {
  LogWriter& w = Writer();
  std::lock_guard lock(w.queueLock);
  return w.path;
}

bool DeleteLogFile() {
  LogWriter& w = Writer();
  std::lock_guard lock(w.queueLock);
  if (w.path.empty() || w.running) return false;
  const bool deleted = w.file.RemoveIfUnchanged(w.path);
  w.path.clear();
  return deleted;
}

LogCapture::LogCapture() {
  std::lock_guard lock(g_captureLock);
  g_capture = this;
}

LogCapture::~LogCapture() {
  std::lock_guard lock(g_captureLock);
  if (g_capture == this) g_capture = nullptr;
}

void LogCapture::Add(std::string message) {
  std::lock_guard lock(m_mutex);
  m_messages.push_back(std::move(message));
}

std::vector<std::string> LogCapture::Messages() const {
  std::lock_guard lock(m_mutex);
  return m_messages;
}

bool LogCapture::Contains(std::string_view message) const {
  std::lock_guard lock(m_mutex);
  for (const auto& m : m_messages)
    if (m == message) return true;
  return false;
}

bool LogCapture::ContainsInOrder(std::span<const std::string> expected) const {
  std::lock_guard lock(m_mutex);
  std::size_t found = 0;
  for (const auto& m : m_messages)
    if (found < expected.size() && m == expected[found]) ++found;
  return found == expected.size();
}

void LogCapture::Clear() {
  std::lock_guard lock(m_mutex);
  m_messages.clear();
}
