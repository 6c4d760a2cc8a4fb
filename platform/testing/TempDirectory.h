#pragma once
// Temporary directories for tests, benchmarks and their helper programs.
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

// A new empty directory "<stem>-XXXXXX" under the temporary directory; empty path on failure.
inline std::filesystem::path MakeTempDirectory(const std::string& stem) {
  std::string pattern = (std::filesystem::temp_directory_path() / (stem + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

// A temporary directory that is removed with everything in it when the object
// ends, also when a test stops early.
class CTempDirectory {
 public:
  explicit CTempDirectory(const std::string& stem) : m_path(MakeTempDirectory(stem)) {}
  ~CTempDirectory() {
    if (m_path.empty()) return;
    std::error_code error;
    // A test may have taken the owner's rights away to provoke a failure.
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, error);
    std::filesystem::remove_all(m_path, error);
  }
  CTempDirectory(const CTempDirectory&) = delete;
  CTempDirectory& operator=(const CTempDirectory&) = delete;

  // False when the directory could not be made.
  bool Valid() const { return !m_path.empty(); }
  const std::filesystem::path& Path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};
