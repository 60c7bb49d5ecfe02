#include "testing/scoped_env.h"

#include <cstdlib>

namespace launcher::testing {

namespace {

void assign(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}

}  // namespace

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = std::string(old);
  assign(name_, value);
}

ScopedEnv::~ScopedEnv() { assign(name_, old_); }

}  // namespace launcher::testing
