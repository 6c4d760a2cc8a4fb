#include "app/log/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

CLogFile::Create CLogFile::CreateNew(const std::string& path) {
  Close();
  m_known = false;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return errno == EEXIST ? Create::Exists : Create::Failed;
  struct stat created {};
  if (::fstat(fd, &created) != 0) {
    ::close(fd);
    ::unlink(path.c_str());
    return Create::Failed;
  }
  m_fd = fd;
  m_volume = static_cast<std::uint64_t>(created.st_dev);
  m_index = static_cast<std::uint64_t>(created.st_ino);
  m_known = true;
  return Create::Made;
}

bool CLogFile::IsOpen() const { return m_fd >= 0; }

void CLogFile::Write(std::string_view text) {
  std::size_t done = 0;
  while (m_fd >= 0 && done < text.size()) {
    const ssize_t n = ::write(m_fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void CLogFile::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

bool CLogFile::RemoveIfUnchanged(const std::string& path) {
  struct stat current {};
  const bool same = m_known && ::lstat(path.c_str(), &current) == 0 && S_ISREG(current.st_mode) &&
                    static_cast<std::uint64_t>(current.st_dev) == m_volume &&
                    static_cast<std::uint64_t>(current.st_ino) == m_index;
  m_known = false;
  return same && ::unlink(path.c_str()) == 0;
}

namespace {

// Makes `path` and the folders above it that are missing, private to the
// user as the base directory rules ask; true when it is a directory then.
bool MakeDirectories(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat made {};
  return ::stat(path.c_str(), &made) == 0 && S_ISDIR(made.st_mode);
}

}  // namespace

std::string UserLogDirectory() {
  std::string base;
  // A relative $XDG_STATE_HOME is invalid and ignored.
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    base = state;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    base = std::string(home) + "/.local/state";
  } else {
    return {};
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  const std::string folder = base + "/quillon-upgrade";
  return MakeDirectories(folder) ? folder : std::string();
}
