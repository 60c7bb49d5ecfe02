// A real temporary folder for a test, removed with everything in it at the end.
#pragma once

#include <filesystem>
#include <string>

namespace launcher::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Writes bytes to a file, creating parents. Fails the test on error.
void writeFile(const std::filesystem::path& file, const std::string& bytes);
// The whole file, or "" when it cannot be read.
[[nodiscard]] std::string readFile(const std::filesystem::path& file);

// Points HOME, XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_RUNTIME_DIR and TMPDIR into
// a fresh temporary folder for the life of the object, restoring them after.
class ScopedHome {
 public:
  ScopedHome();
  ~ScopedHome();
  [[nodiscard]] const std::filesystem::path& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  struct Saved;
  Saved* saved_;
};

}  // namespace launcher::testing
