// A stand-in for the game: holds the game lock while it runs, records its
// command line, waits, and exits with a chosen code.
//
//   Vantor [--record FILE] [--hold-ms N] [--exit-code N] [anything else...]
//
// FILE gets the arguments, one a line, written once the lock is held (so a
// test that sees the file knows the game counts as running). Unknown
// arguments (the launcher's "--connect ADDRESS", launch options) are only
// recorded.
#include "platform/platform.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

bool parseInt(const char* text, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0';
}

bool writeRecord(const std::string& file, const std::vector<std::string>& args) {
  const std::string tmp = file + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    for (const auto& a : args) out << a << '\n';
    if (!out) return false;
  }
  return std::rename(tmp.c_str(), file.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string record;
  long holdMs = 0;
  long exitCode = 0;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const bool hasValue = i + 1 < args.size();
    if (args[i] == "--record" && hasValue) {
      record = args[++i];
    } else if (args[i] == "--hold-ms" && hasValue) {
      if (!parseInt(args[++i].c_str(), holdMs) || holdMs < 0) {
        std::fprintf(stderr, "Vantor: bad --hold-ms %s\n", args[i].c_str());
        return 2;
      }
    } else if (args[i] == "--exit-code" && hasValue) {
      if (!parseInt(args[++i].c_str(), exitCode) || exitCode < 0 || exitCode > 255) {
        std::fprintf(stderr, "Vantor: bad --exit-code %s\n", args[i].c_str());
        return 2;
      }
    }
  }

  // Held until the process ends; the kernel drops it however the process ends.
  launcher::GameLock lock;
  std::string error;
  if (!lock.acquire(error)) {
    std::fprintf(stderr, "Vantor: %s\n", error.c_str());
    return 3;
  }
  if (!record.empty() && !writeRecord(record, args)) {
    std::fprintf(stderr, "Vantor: can't write %s\n", record.c_str());
    return 2;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
  return static_cast<int>(exitCode);
}
