#include "testing/scoped_env.h"

#include "platform/platform.h"

namespace launcher::testing {

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
  old_ = environmentVariable(name_.c_str());
  setEnvironmentVariable(name_.c_str(), value);
}

ScopedEnv::~ScopedEnv() { setEnvironmentVariable(name_.c_str(), old_); }

}  // namespace launcher::testing
