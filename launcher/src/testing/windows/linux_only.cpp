#include "testing/linux_only.h"

namespace launcher::testing {

bool onLinux() { return false; }

}  // namespace launcher::testing
