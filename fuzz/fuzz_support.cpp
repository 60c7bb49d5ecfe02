#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

namespace launcher::fuzz {

namespace fs = std::filesystem;

const fs::path& scratch() {
  static const fs::path folder = [] {
    std::error_code ec;
    const fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::random_device random;
    fs::path made = base / ("vantor-fuzz-" + std::to_string(random()));
    fs::create_directories(made / "home/.local/share", ec);
    fs::create_directories(made / "home/.config", ec);
    fs::create_directories(made / "runtime", ec);
    fs::create_directories(made / "tmp", ec);
    fs::permissions(made / "runtime", fs::perms::owner_all, ec);
    ::setenv("HOME", (made / "home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (made / "home/.local/share").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (made / "home/.config").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (made / "runtime").c_str(), 1);
    ::setenv("TMPDIR", (made / "tmp").c_str(), 1);
    // No update server, and no program found by name (xdg-open, a browser).
    ::setenv("VANTOR_UPDATE_FEED", "/", 1);
    ::setenv("PATH", (made / "no-programs").c_str(), 1);
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(scratch(), ignored);
    });
    return made;
  }();
  return folder;
}

fs::path writeScratchFile(const std::string& name, const uint8_t* data, size_t size) {
  const fs::path file = scratch() / name;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return file;
}

std::vector<std::string> splitInput(const uint8_t* data, size_t size, size_t parts) {
  std::vector<std::string> out;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (out.size() + 1 < parts) {
    const size_t at = rest.find('\0');
    if (at == std::string_view::npos) break;
    out.emplace_back(rest.substr(0, at));
    rest.remove_prefix(at + 1);
  }
  out.emplace_back(rest);
  while (out.size() < parts) out.emplace_back();
  return out;
}

void violated(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

}  // namespace launcher::fuzz
