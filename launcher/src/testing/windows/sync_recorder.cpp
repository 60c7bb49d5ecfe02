// Windows: the system's calls cannot be interposed in the test binary, so
// nothing is recorded; the tests that need it are Linux-only.
#include "testing/sync_recorder.h"

namespace launcher::testing {

SyncRecorder::SyncRecorder() = default;
SyncRecorder::~SyncRecorder() = default;
std::vector<std::string> SyncRecorder::events() const { return {}; }

FolderFlushFailure::FolderFlushFailure() = default;
FolderFlushFailure::~FolderFlushFailure() = default;

}  // namespace launcher::testing
