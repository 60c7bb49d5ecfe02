// Sets or unsets one environment variable for the life of the object and
// restores the previous value afterwards. Test thread only.
#pragma once

#include <optional>
#include <string>

namespace launcher::testing {

class ScopedEnv {
 public:
  // value == std::nullopt unsets the variable.
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace launcher::testing
