#include "testing/log_capture.h"

#include "base/log.h"

#include <sstream>

namespace launcher::testing {

LogCapture::LogCapture() { startLogAt((dir_ / "launcher.log").string()); }

LogCapture::~LogCapture() { stopLog(); }

std::vector<std::string> LogCapture::messages(const std::string& level) const {
  const std::string tag = " [" + level + "] ";
  std::vector<std::string> out;
  std::istringstream in(readFile(dir_ / "launcher.log"));
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find(tag);
    if (at != std::string::npos) out.push_back(line.substr(at + tag.size()));
  }
  return out;
}

}  // namespace launcher::testing
