// The Windows build watches no folder: its tests of folder events skip (they
// check VANTOR_LINUX_ONLY before making one).
#include "testing/folder_events.h"

namespace launcher::testing {

FolderEvents::FolderEvents(const std::filesystem::path&) {}
FolderEvents::~FolderEvents() = default;
std::vector<FolderEvent> FolderEvents::take() { return {}; }

}  // namespace launcher::testing
