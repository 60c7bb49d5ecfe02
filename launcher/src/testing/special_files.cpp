#include "testing/special_files.h"

#include <sys/stat.h>

namespace launcher::testing {

bool makeFifo(const std::filesystem::path& path) { return ::mkfifo(path.c_str(), 0600) == 0; }

}  // namespace launcher::testing
