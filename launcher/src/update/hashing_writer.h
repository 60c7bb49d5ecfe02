// Writes a stream of blocks to a file and hashes them in the same pass, so a
// download needs no second read of what it wrote. One thread feeds a writer;
// it may hand the work on to a helper thread of its own (bounded memory), and
// hashes on the feeding thread instead when the system refuses that thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace launcher {

class HashingWriter {
 public:
  HashingWriter();
  // Abandons the file when neither finish nor abandon was called.
  ~HashingWriter();
  HashingWriter(const HashingWriter&) = delete;
  HashingWriter& operator=(const HashingWriter&) = delete;

  // Creates or truncates `file`. False when it cannot be opened.
  [[nodiscard]] bool open(const std::filesystem::path& file);
  // Opens an existing `file` without truncating it; writing starts at
  // `offset` and leaves every other byte of it as it is.
  [[nodiscard]] bool openAt(const std::filesystem::path& file, uint64_t offset);
  // Takes the bytes (copied; `data` may be reused at once). False once a
  // write to the file has failed; a failure may also surface only later.
  [[nodiscard]] bool write(const char* data, size_t length);
  // True when some write, flush or the close has failed so far.
  [[nodiscard]] bool failed() const;
  // Writes what is left, closes the file and gives the digest of every byte
  // taken. False when any write, the flush or the close failed.
  [[nodiscard]] bool finish(std::string& sha256);
  // Stops and closes the file as it is; for a transfer that failed.
  void abandon();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace launcher
