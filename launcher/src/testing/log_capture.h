// Sends the launcher log to a file of its own for the life of the object, so
// a test can read exactly the lines its code under test wrote.
#pragma once

#include "testing/temp_dir.h"

#include <string>
#include <vector>

namespace launcher::testing {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();  // closes the log again
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The messages (without time and level) of the lines at `level`, oldest first.
  [[nodiscard]] std::vector<std::string> messages(const std::string& level) const;
  [[nodiscard]] std::vector<std::string> warnings() const { return messages("warn"); }

 private:
  TempDir dir_;
};

}  // namespace launcher::testing
