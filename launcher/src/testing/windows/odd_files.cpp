// Windows: no named pipes in the file system and no descriptors to inherit;
// no owner a test can give a file to; the tests that need them are
// Linux-only.
#include "testing/odd_files.h"

namespace launcher::testing {

bool makeFifo(const std::filesystem::path&) { return false; }

int openInheritable(const std::filesystem::path&) { return -1; }

void closeDescriptor(int) {}

bool giveToNobody(const std::filesystem::path&) { return false; }

bool runningAsRoot() { return false; }

}  // namespace launcher::testing
