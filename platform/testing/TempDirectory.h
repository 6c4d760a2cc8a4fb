#pragma once
// Temporary directories for tests, benchmarks and their helper programs.
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

// A new empty directory "<stem>-xxxxxxxx" under the temporary directory, made
// by this call and nobody else (a name that exists is never taken); empty path
// on failure.
inline std::filesystem::path MakeTempDirectory(const std::string& stem) {
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) return {};
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%08x", static_cast<unsigned>(random()));
    std::filesystem::path path = base / (stem + suffix);
    if (std::filesystem::create_directory(path, error)) {
      std::filesystem::permissions(path, std::filesystem::perms::owner_all, error);
      return path;
    }
    if (error) return {};
  }
  return {};
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
