#include "data/install_registration.h"

#include "base/log.h"
#include "platform/platform.h"

namespace launcher {

namespace fs = std::filesystem;

uint64_t installedSizeBytes(const fs::path& folder) {
  uint64_t total = 0;
  std::error_code ec;
  // Directory links are not followed (the iterator's default), and a link to
  // a file is not counted: only what lies inside the folder is.
  fs::recursive_directory_iterator it(folder, fs::directory_options::none, ec);
  for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    std::error_code entryError;
    // A junction on Windows reads as a plain folder to the iterator.
    if (isLink(it->path())) {
      it.disable_recursion_pending();
      continue;
    }
    if (!it->is_symlink(entryError) && it->is_regular_file(entryError)) {
      const uint64_t size = it->file_size(entryError);
      if (!entryError) total += size;
    }
  }
  return total;
}

void updateEstimatedSize(const fs::path& launcherFolder) {
  const uint64_t kib = installedSizeBytes(launcherFolder) / 1024;
  logf("info", "Install size {} KiB", kib);
  // Only the low 32 bits fit the registry's value.
  (void)setUninstallEntrySize(static_cast<uint32_t>(kib));
}

}  // namespace launcher
