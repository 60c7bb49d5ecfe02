#include "update/range_io.h"

#include "platform/platform.h"
#include "update/sha256.h"

#include <algorithm>
#include <limits>
#include <system_error>

namespace launcher {

namespace fs = std::filesystem;

uint64_t fileSizeOrNone(const fs::path& file) {
  std::error_code ec;
  uint64_t size = fs::file_size(file, ec);
  return ec ? std::numeric_limits<uint64_t>::max() : size;
}

RangeReader::RangeReader() : buffer_(new char[ioBlockSize]) {}

RangeReader::~RangeReader() { close(); }

void RangeReader::close() {
  if (in_) std::fclose(in_);
  in_ = nullptr;
  path_.clear();
}

bool RangeReader::read(const fs::path& file, uint64_t offset, uint64_t length,
                       const std::function<bool(const char*, size_t)>& sink) {
  if (!in_ || path_ != file) {
    close();
    in_ = openFile(file, FileOpen::Read);
    if (!in_) return false;
    // Our buffer is the only one: each read goes straight into it.
    std::setvbuf(in_, nullptr, _IONBF, 0);
    path_ = file;
    position_ = 0;
  }
  if (position_ != offset) {
    if (!seekFile(in_, offset)) {
      close();
      return false;
    }
    position_ = offset;
  }
  uint64_t left = length;
  while (left > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, ioBlockSize));
    const size_t got = std::fread(buffer_.get(), 1, want, in_);
    position_ += got;
    if (got != want) {
      close();  // short file or read error; the stream state is not worth keeping
      return false;
    }
    left -= got;
    if (!sink(buffer_.get(), got)) return false;
  }
  return true;
}

std::string RangeReader::hashRange(const fs::path& file, uint64_t offset, uint64_t length,
                                   const std::atomic<bool>* cancel) {
  Sha256 hash;
  bool ok = read(file, offset, length, [&](const char* data, size_t n) {
    hash.update(data, n);
    return !(cancel && cancel->load());
  });
  return ok ? hash.finishHex() : std::string();
}

FileWriter::~FileWriter() {
  if (out_) std::fclose(out_);
}

bool FileWriter::open(const fs::path& file) {
  if (out_) std::fclose(out_);
  failed_ = false;
  out_ = openFile(file, FileOpen::CreateOrTruncate);
  if (!out_) return false;
  std::setvbuf(out_, nullptr, _IONBF, 0);
  return true;
}

bool FileWriter::openExisting(const fs::path& file) {
  if (out_) std::fclose(out_);
  failed_ = false;
  out_ = openFile(file, FileOpen::UpdateExisting);
  if (!out_) return false;
  std::setvbuf(out_, nullptr, _IONBF, 0);
  return true;
}

bool FileWriter::seek(uint64_t offset) {
  if (failed_ || !out_) return false;
  if (!seekFile(out_, offset)) failed_ = true;
  return !failed_;
}

bool FileWriter::write(const char* data, size_t length) {
  if (failed_ || !out_) return false;
  if (std::fwrite(data, 1, length, out_) != length) failed_ = true;
  return !failed_;
}

bool FileWriter::finish() {
  if (!out_) return false;
  bool ok = !failed_ && std::fflush(out_) == 0 && !std::ferror(out_);
  if (std::fclose(out_) != 0) ok = false;
  out_ = nullptr;
  if (!ok) failed_ = true;
  return ok;
}

}  // namespace launcher
