// fetchText and downloadFile over both kinds of location: http(s) through
// httpGet, local files and "file:" URLs read here. Shared by every transport.
#include "update/hashing_writer.h"
#include "update/http.h"
#include "update/location.h"

#include <fstream>
#include <limits>
#include <memory>
#include <system_error>

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr size_t localBlockSize = 1024 * 1024;

// Opens a local location for binary reading; fills `error` on failure.
bool openLocal(const std::string& location, std::ifstream& in, fs::path& path, std::string& error) {
  if (!tryFileUrlToPath(location, path)) {
    error = "Bad address: " + location;
    return false;
  }
  // Regular files only: a device or a pipe could be endless or never answer.
  std::error_code ec;
  if (fs::is_regular_file(path, ec)) in.open(path, std::ios::binary);
  if (!in.is_open()) {
    error = "Can't open " + location;
    return false;
  }
  return true;
}

std::string writeFailure(const fs::path& dest) { return "Couldn't write " + toUtf8(dest) + " (disk full?)"; }

}  // namespace

bool fetchText(const std::string& url, std::string& body, std::string& error, const StopRequested& stop,
               const TransferLimits& limits) {
  body.clear();
  const bool capped = limits.maxBytes != 0 && limits.maxBytes < maxTextBytes;
  const uint64_t cap = capped ? limits.maxBytes : maxTextBytes;
  const std::string tooLarge = capped ? std::string(overLimitText) : url + " is 64 MiB or larger";
  if (isHttpUrl(url)) {
    uint64_t contentLength = 0;
    bool over = false;
    const bool ok = httpGet(
        url,
        [&](const char* data, size_t length) {
          if (body.size() + length >= cap) {
            over = true;
            return false;
          }
          body.append(data, length);
          return true;
        },
        contentLength, error, stop, limits);
    if (over) {
      body.clear();
      error = tooLarge;
    }
    return ok;
  }
  std::ifstream in;
  fs::path path;
  if (!openLocal(url, in, path, error)) return false;
  char block[64 * 1024];
  while (in) {
    in.read(block, sizeof block);
    const size_t got = static_cast<size_t>(in.gcount());
    if (body.size() + got >= cap) {
      body.clear();
      error = tooLarge;
      return false;
    }
    body.append(block, got);
  }
  if (in.bad()) {
    body.clear();
    error = "Couldn't read " + url;
    return false;
  }
  return true;
}

namespace {

// Where a download's bytes go: a whole file, or one range of an existing file.
struct Destination {
  fs::path file;
  bool range = false;
  uint64_t offset = 0;
  uint64_t size = 0;
};

bool download(const std::string& url, const Destination& to, const DownloadProgress& progress,
              std::string& sha256, std::string& error, const StopRequested& stop) {
  const fs::path& dest = to.file;
  HashingWriter writer;
  if (!(to.range ? writer.openAt(dest, to.offset) : writer.open(dest))) {
    error = "Can't write " + toUtf8(dest);
    return false;
  }
  uint64_t done = 0;
  uint64_t total = 0;
  bool stopped = false;    // progress or the stop check said stop
  bool oversized = false;  // more bytes than the range holds
  // One block for both branches: checked, to the file and the hash, then progress.
  auto take = [&](const char* data, size_t length) {
    if (to.range && length > to.size - done) {
      oversized = true;
      return false;
    }
    if (!writer.write(data, length)) return false;
    done += length;
    if (progress && !progress(done, total)) {
      stopped = true;
      return false;
    }
    return true;
  };

  bool ok = false;
  if (isHttpUrl(url)) {
    ok = httpGet(url, take, total, error, stop);
  } else {
    std::ifstream in;
    fs::path source;
    if (!openLocal(url, in, source, error)) {
      writer.abandon();
      return false;
    }
    std::error_code ec;
    const uint64_t size = fs::file_size(source, ec);
    total = ec ? std::numeric_limits<uint64_t>::max() : size;
    std::unique_ptr<char[]> block(new char[localBlockSize]);
    ok = true;
    while (in) {
      if (stop && stop()) {
        stopped = true;
        ok = false;
        error = "Cancelled";
        break;
      }
      in.read(block.get(), static_cast<std::streamsize>(localBlockSize));
      const size_t got = static_cast<size_t>(in.gcount());
      if (got > 0 && !take(block.get(), got)) {
        ok = false;
        error = "Cancelled";
        break;
      }
    }
    if (ok && in.bad()) {
      ok = false;
      error = "Couldn't read " + url;
    }
  }

  if (!ok) {
    if (oversized) {
      error = objectTooLargeText;
    } else if (!stopped && writer.failed()) {
      // A destination that stopped taking bytes is not a cancel.
      error = writeFailure(dest);
    }
    writer.abandon();
    return false;
  }
  if (!writer.finish(sha256)) {
    error = writeFailure(dest);
    return false;
  }
  return true;
}

}  // namespace

bool downloadFile(const std::string& url, const fs::path& dest, const DownloadProgress& progress,
                  std::string& sha256, std::string& error, const StopRequested& stop) {
  std::error_code ec;
  if (dest.has_parent_path()) fs::create_directories(dest.parent_path(), ec);
  Destination to;
  to.file = dest;
  return download(url, to, progress, sha256, error, stop);
}

bool downloadIntoRange(const std::string& url, const fs::path& dest, uint64_t offset, uint64_t size,
                       const DownloadProgress& progress, std::string& sha256, std::string& error,
                       const StopRequested& stop) {
  Destination to;
  to.file = dest;
  to.range = true;
  to.offset = offset;
  to.size = size;
  return download(url, to, progress, sha256, error, stop);
}

}  // namespace launcher
