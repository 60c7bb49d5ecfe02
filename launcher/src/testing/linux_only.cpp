#include "testing/linux_only.h"

namespace launcher::testing {

bool onLinux() { return true; }

}  // namespace launcher::testing
