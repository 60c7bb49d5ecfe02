// Streaming reads and writes for the folder sync: byte ranges go through one
// 1 MiB buffer per reader, so no file and no chunk is ever held whole. Each
// object belongs to one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace launcher {

inline constexpr size_t ioBlockSize = 1 << 20;

// The size of a file on disk, or all bits set when it cannot be read (a
// missing file, a folder), which matches no manifest size.
[[nodiscard]] uint64_t fileSizeOrNone(const std::filesystem::path& file);

class RangeReader {
 public:
  RangeReader();
  ~RangeReader();
  RangeReader(const RangeReader&) = delete;
  RangeReader& operator=(const RangeReader&) = delete;

  // Hands [offset, offset + length) of `file` to `sink` in blocks of at most
  // 1 MiB. False when the file cannot be opened, holds fewer bytes, or the
  // sink answers false. The file stays open for the next call, so the chunks
  // of one file cost one open.
  [[nodiscard]] bool read(const std::filesystem::path& file, uint64_t offset, uint64_t length,
                          const std::function<bool(const char* data, size_t length)>& sink);

  // The digest of a range, or "" when it cannot be read whole or `cancel`
  // (may be null) is seen set between two blocks, so that a large object
  // answers a cancel within a block's time.
  [[nodiscard]] std::string hashRange(const std::filesystem::path& file, uint64_t offset, uint64_t length,
                                      const std::atomic<bool>* cancel = nullptr);

  void close();

 private:
  std::filesystem::path path_;
  std::FILE* in_ = nullptr;
  uint64_t position_ = 0;
  std::unique_ptr<char[]> buffer_;
};

// A file written from the start or in place, unbuffered (callers pass blocks
// of up to 1 MiB).
class FileWriter {
 public:
  FileWriter() = default;
  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  // Creates or truncates `file`. False when it cannot be opened.
  [[nodiscard]] bool open(const std::filesystem::path& file);
  // Opens an existing `file` for writing in place, keeping its content.
  [[nodiscard]] bool openExisting(const std::filesystem::path& file);
  // Moves the write position; false on failure (then failed() is true).
  bool seek(uint64_t offset);
  // False once any write has failed (a full disk); later writes are dropped.
  bool write(const char* data, size_t length);
  [[nodiscard]] bool failed() const { return failed_; }
  // Closes the file; false when a write or the close failed.
  [[nodiscard]] bool finish();

 private:
  std::FILE* out_ = nullptr;
  bool failed_ = false;
};

}  // namespace launcher
