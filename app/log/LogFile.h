#pragma once
// The log's file on disk: always a new file (never an existing one, never a
// link planted at its path), written by one thread, and removed only while it
// is still the very file this process created.
#include <cstdint>
#include <string>
#include <string_view>

class CLogFile {
 public:
  enum class Create { Made, Exists, Failed };

  CLogFile() = default;
  ~CLogFile() { Close(); }
  CLogFile(const CLogFile&) = delete;
  CLogFile& operator=(const CLogFile&) = delete;

  // Creates `path`; Exists when something is there already.
  Create CreateNew(const std::string& path);
  bool IsOpen() const;
  // Lines the file system refuses are lost.
  void Write(std::string_view text);
  void Close();
  // After Close: removes `path` when it is still the file CreateNew made;
  // a file put in its place since (by another program or user) stays.
  bool RemoveIfUnchanged(const std::string& path);

 private:
  // The file's identity: device and inode on POSIX, volume and file index on Windows.
  std::uint64_t m_volume = 0;
  std::uint64_t m_index = 0;
  bool m_known = false;
#ifdef _WIN32
  void* m_handle = nullptr;
#else
  int m_fd = -1;
#endif
};

// The user's own folder for logs, made when missing: on Linux
// $XDG_STATE_HOME/quillon-upgrade (default ~/.local/state/quillon-upgrade), on
// Windows %LOCALAPPDATA%\Quillon\Logs. Empty when there is none and none can
// be made. The path ends without a separator.
std::string UserLogDirectory();

// The separator of a folder and a file name in a path of this system.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif
