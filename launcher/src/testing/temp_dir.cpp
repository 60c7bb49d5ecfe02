#include "testing/temp_dir.h"

#include "platform/platform.h"
#include "update/location.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <random>
#include <vector>

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
  std::vector<std::pair<const char*, std::optional<std::string>>> values;  // name, old value
};

namespace {
// Linux reads the per-user folders from these (and children inherit them);
// Windows reads TMP and TEMP for its temporary folder, and its known folders
// through the platform layer's override.
const char* const homeVariables[] = {"HOME",   "XDG_DATA_HOME", "XDG_CONFIG_HOME",   "XDG_RUNTIME_DIR",
                                     "TMPDIR", "TMP",           "TEMP", "VANTOR_UPDATE_FEED"};
}

ScopedHome::ScopedHome() : saved_(new Saved) {
  for (const char* name : homeVariables) saved_->values.emplace_back(name, environmentVariable(name));
  const fs::path root = dir_.path();
  std::error_code ec;
  for (const char* sub : {"home", "home/.local/share", "home/.config", "runtime", "tmp"}) {
    fs::create_directories(root / sub, ec);
  }
  auto text = [&](const char* sub) { return std::optional<std::string>(toUtf8(root / sub)); };
  setEnvironmentVariable("HOME", text("home"));
  setEnvironmentVariable("XDG_DATA_HOME", text("home/.local/share"));
  setEnvironmentVariable("XDG_CONFIG_HOME", text("home/.config"));
  setEnvironmentVariable("XDG_RUNTIME_DIR", text("runtime"));
  setEnvironmentVariable("TMPDIR", text("tmp"));
  setEnvironmentVariable("TMP", text("tmp"));
  setEnvironmentVariable("TEMP", text("tmp"));
  setEnvironmentVariable("VANTOR_UPDATE_FEED", std::nullopt);
  overrideUserFolders(root);
}

ScopedHome::~ScopedHome() {
  overrideUserFolders({});
  for (const auto& [name, value] : saved_->values) setEnvironmentVariable(name, value);
  delete saved_;
}

}  // namespace launcher::testing
