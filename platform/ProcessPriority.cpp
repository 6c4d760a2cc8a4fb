#include "platform/ProcessPriority.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

// The nice value that stands for a high priority class: above every ordinary
// program, below the real-time range.
constexpr int kHighPriorityNice = -10;

}  // namespace

// Linux keeps a nice value per thread, so every thread that exists already
// (the log writer) is raised; threads started later inherit it from this one.
std::string RaiseProcessPriority() {
  int error = 0;
  std::error_code listError;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", listError)) {
    const id_t tid = static_cast<id_t>(std::strtoul(task.path().filename().c_str(), nullptr, 10));
    if (tid != 0 && ::setpriority(PRIO_PROCESS, tid, kHighPriorityNice) != 0 && error == 0) error = errno;
  }
  if (listError && ::setpriority(PRIO_PROCESS, 0, kHighPriorityNice) != 0) error = errno;
  return error != 0 ? std::strerror(error) : std::string();
}
