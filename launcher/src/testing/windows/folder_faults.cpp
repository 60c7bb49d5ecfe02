// Windows: readdir is not interposed there (the system lists folders through
// FindFirstFileW), so these make no fault; the tests that need them are
// Linux-only and skip before making one.
#include "testing/folder_faults.h"

namespace launcher::testing {

FolderReadFailure::FolderReadFailure(const std::filesystem::path&, int, int) {}
FolderReadFailure::~FolderReadFailure() = default;
int FolderReadFailure::failures() const { return 0; }

FolderReadGate::FolderReadGate(const std::filesystem::path&, int) {}
FolderReadGate::~FolderReadGate() = default;
bool FolderReadGate::waitUntilHeld(int) { return false; }
void FolderReadGate::release() {}
bool FolderReadGate::timedOut() const { return false; }

}  // namespace launcher::testing
