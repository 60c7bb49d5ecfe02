#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>

namespace launcher::testing {

namespace fs = std::filesystem;

namespace {

fs::path makeUniqueFolder() {
  std::random_device rd;
  std::mt19937_64 gen(rd());
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = fs::temp_directory_path() / ("vantor-test-" + std::to_string(gen()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) return candidate;
  }
  ADD_FAILURE() << "could not create a temporary folder";
  return {};
}

}  // namespace

TempDir::TempDir() : path_(makeUniqueFolder()) {}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  // Tests may leave read-only files or folders behind; make them removable.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

void writeFile(const fs::path& file, const std::string& bytes) {
  std::error_code ec;
  if (file.has_parent_path()) fs::create_directories(file.parent_path(), ec);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  ASSERT_TRUE(out) << "could not write " << file;
}

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct ScopedHome::Saved {
  std::vector<std::pair<std::string, std::string>> values;  // name, old value
  std::vector<std::string> unset;
};

namespace {
const char* const homeVariables[] = {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR",
                                     "TMPDIR", "VANTOR_UPDATE_FEED"};
}

ScopedHome::ScopedHome() : saved_(new Saved) {
  for (const char* name : homeVariables) {
    if (const char* old = std::getenv(name)) {
      saved_->values.emplace_back(name, old);
    } else {
      saved_->unset.emplace_back(name);
    }
  }
  const fs::path root = dir_.path();
  std::error_code ec;
  for (const char* sub : {"home", "home/.local/share", "home/.config", "runtime", "tmp"}) {
    fs::create_directories(root / sub, ec);
  }
  setenv("HOME", (root / "home").c_str(), 1);
  setenv("XDG_DATA_HOME", (root / "home/.local/share").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root / "home/.config").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (root / "runtime").c_str(), 1);
  setenv("TMPDIR", (root / "tmp").c_str(), 1);
  unsetenv("VANTOR_UPDATE_FEED");
}

ScopedHome::~ScopedHome() {
  for (const auto& [name, value] : saved_->values) setenv(name.c_str(), value.c_str(), 1);
  for (const auto& name : saved_->unset) unsetenv(name.c_str());
  delete saved_;
}

}  // namespace launcher::testing
