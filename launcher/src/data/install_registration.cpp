#include "data/install_registration.h"

#include "base/log.h"

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
    if (!it->is_symlink(entryError) && it->is_regular_file(entryError)) {
      const uint64_t size = it->file_size(entryError);
      if (!entryError) total += size;
    }
  }
  return total;
}

void updateEstimatedSize(const fs::path& launcherFolder) {
  logf("info", "Install size {} KiB", installedSizeBytes(launcherFolder) / 1024);
}

}  // namespace launcher
