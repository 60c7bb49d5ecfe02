#include "update/sha256.h"

#include "platform/platform.h"

#include <cstdio>
#include <memory>

namespace launcher {

std::string sha256Hex(const void* data, size_t length) {
  Sha256 hash;
  hash.update(data, length);
  return hash.finishHex();
}

std::string sha256Hex(const std::string& bytes) { return sha256Hex(bytes.data(), bytes.size()); }

std::string sha256File(const std::filesystem::path& file, const std::atomic<bool>* cancel,
                       const std::function<void(uint64_t)>& onBytes) {
  static constexpr size_t blockSize = 1 << 20;
  // stdio without its own buffer: each fread goes straight into ours.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(openFile(file, FileOpen::Read), &std::fclose);
  if (!in) return {};
  std::setvbuf(in.get(), nullptr, _IONBF, 0);
  std::unique_ptr<char[]> buffer(new char[blockSize]);
  Sha256 hash;
  for (;;) {
    if (cancel && cancel->load()) return {};
    size_t n = std::fread(buffer.get(), 1, blockSize, in.get());
    if (n == 0) break;
    hash.update(buffer.get(), n);
    if (onBytes) onBytes(n);
    if (n < blockSize) break;  // end of file or a read error: digest of what was read
  }
  return hash.finishHex();
}

bool isValidDigest(const std::string& digest) {
  if (digest.size() != 64) return false;
  for (char c : digest) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace launcher
