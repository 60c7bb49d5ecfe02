#include "testing/odd_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace launcher::testing {

bool makeFifo(const std::filesystem::path& path) { return ::mkfifo(path.c_str(), 0600) == 0; }

int openInheritable(const std::filesystem::path& path) { return ::open(path.c_str(), O_RDONLY); }

void closeDescriptor(int fd) {
  if (fd >= 0) ::close(fd);
}

bool giveToNobody(const std::filesystem::path& path) { return ::chown(path.c_str(), 65534, 65534) == 0; }

bool runningAsRoot() { return ::geteuid() == 0; }

}  // namespace launcher::testing
