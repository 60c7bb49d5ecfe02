// Bytes are gathered into 256 KiB blocks. The feeding thread writes each full
// block to the file and hands it to a hashing thread, which gives it back
// once hashed; so receiving and writing overlap with hashing, and at most
// blockCount blocks are ever held. The hashing thread starts with the first
// full block: a small file is hashed on the caller's thread at finish.
#include "update/hashing_writer.h"

#include "base/thread_start.h"
#include "update/sha256.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

namespace launcher {

namespace {
// Small enough to be written and hashed while still in cache, enough of them
// to ride out a hashing thread that is briefly not scheduled: 2 MiB at most.
constexpr size_t blockSize = 256 * 1024;
constexpr size_t blockCount = 8;

// Blocks that earlier writers used, kept for the next one. A block is above
// malloc's mmap threshold, so without this every object (a chunk worker writes
// thousands) mapped, faulted in and unmapped its blocks afresh: in a download
// of 1 MiB objects that cost far more than the bytes. One pool for the
// process, not one per thread: a thread_local vector of owned blocks crashes
// at thread exit in the Windows build's runtime (its thread-local storage is
// freed before such destructors run). It keeps what the chunk transfer's four
// writers use at most, and one writer's worth (2 MiB) when none is left.
constexpr size_t maxSpareBlocks = 4 * blockCount;

struct SparePool {
  std::mutex mutex;
  std::vector<std::unique_ptr<char[]>> blocks;
  size_t writers = 0;
};

SparePool& sparePool() {
  // Never destroyed: a writer on a thread that outlives main() may still use it.
  static SparePool* pool = new SparePool;
  return *pool;
}

std::unique_ptr<char[]> takeBlock() {
  SparePool& pool = sparePool();
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (!pool.blocks.empty()) {
      std::unique_ptr<char[]> block = std::move(pool.blocks.back());
      pool.blocks.pop_back();
      return block;
    }
  }
  return std::unique_ptr<char[]>(new char[blockSize]);
}
}  // namespace

struct HashingWriter::Impl {
  std::ofstream out;
  bool open = false;
  bool failed = false;  // a write, the flush or the close failed

  Sha256 hash;  // touched by the hashing thread while it runs, else by the caller
  std::vector<std::unique_ptr<char[]>> storage;
  char* current = nullptr;  // the block being filled, owned by the caller
  size_t used = 0;

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::pair<char*, size_t>> toHash;
  std::vector<char*> free;
  bool ending = false;   // no more blocks will come
  bool discard = false;  // stop without hashing the rest
  bool inline_ = false;  // the hashing thread could not start: hash here
  std::thread hasher;

  Impl() {
    {
      SparePool& pool = sparePool();
      std::lock_guard<std::mutex> lock(pool.mutex);
      ++pool.writers;
      // Room for every spare block now, so that giving them back never allocates.
      pool.blocks.reserve(maxSpareBlocks);
    }
    storage.push_back(takeBlock());
    current = storage.back().get();
  }
  // The hashing thread has ended (abandon() joins it): the blocks are ours.
  ~Impl() {
    std::vector<std::unique_ptr<char[]>> released;
    SparePool& pool = sparePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    --pool.writers;
    for (auto& block : storage) {
      if (pool.blocks.size() < maxSpareBlocks) pool.blocks.push_back(std::move(block));
    }
    // The last writer gone: one writer's worth is kept for the next.
    while (pool.writers == 0 && pool.blocks.size() > blockCount) {
      released.push_back(std::move(pool.blocks.back()));
      pool.blocks.pop_back();
    }
  }

  void hashLoop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return !toHash.empty() || ending || discard; });
      if (discard || toHash.empty()) return;
      auto [block, length] = toHash.front();
      toHash.pop_front();
      lock.unlock();
      hash.update(block, length);
      lock.lock();
      free.push_back(block);
      changed.notify_all();
    }
  }

  // Writes the current block, queues it for hashing and takes an empty one.
  void passOn() {
    if (!failed && !out.write(current, static_cast<std::streamsize>(used))) failed = true;
    if (!inline_ && !hasher.joinable()) {
      // Runs inside curl's write callback: nothing may throw from here.
      std::string ignored;
      inline_ = !startThread(hasher, [this] { hashLoop(); }, ignored);
    }
    if (inline_) {
      hash.update(current, used);
      used = 0;
      return;
    }
    std::unique_lock<std::mutex> lock(mutex);
    toHash.emplace_back(current, used);
    changed.notify_all();
    used = 0;
    current = nullptr;
    if (free.empty() && storage.size() < blockCount) {
      storage.push_back(takeBlock());
      current = storage.back().get();
      return;
    }
    changed.wait(lock, [&] { return !free.empty(); });
    current = free.back();
    free.pop_back();
  }

  // Ends the hashing thread: after the queued blocks, or at once on discard.
  void stopHasher(bool drop) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ending = true;
      discard = drop;
    }
    changed.notify_all();
    if (hasher.joinable()) hasher.join();
  }
};

HashingWriter::HashingWriter() : impl_(new Impl) {}

HashingWriter::~HashingWriter() { abandon(); }

bool HashingWriter::open(const std::filesystem::path& file) {
  // Unbuffered: every block goes to the file in one call, straight from ours.
  impl_->out.rdbuf()->pubsetbuf(nullptr, 0);
  impl_->out.open(file, std::ios::binary | std::ios::trunc);
  impl_->open = impl_->out.is_open();
  return impl_->open;
}

bool HashingWriter::openAt(const std::filesystem::path& file, uint64_t offset) {
  impl_->out.rdbuf()->pubsetbuf(nullptr, 0);
  // in | out opens an existing file for writing without truncating it.
  impl_->out.open(file, std::ios::binary | std::ios::in | std::ios::out);
  impl_->open = impl_->out.is_open();
  if (impl_->open && !impl_->out.seekp(static_cast<std::streamoff>(offset))) {
    impl_->out.close();
    impl_->open = false;
  }
  return impl_->open;
}

bool HashingWriter::write(const char* data, size_t length) {
  Impl& s = *impl_;
  while (length > 0 && !s.failed) {
    const size_t n = std::min(length, blockSize - s.used);
    std::memcpy(s.current + s.used, data, n);
    s.used += n;
    data += n;
    length -= n;
    if (s.used == blockSize) s.passOn();
  }
  return !s.failed;
}

bool HashingWriter::failed() const { return impl_->failed; }

bool HashingWriter::finish(std::string& sha256) {
  Impl& s = *impl_;
  sha256.clear();
  if (!s.open) return false;
  if (!s.failed && s.used > 0 && !s.out.write(s.current, static_cast<std::streamsize>(s.used))) s.failed = true;
  s.stopHasher(false);
  if (s.used > 0) s.hash.update(s.current, s.used);
  s.used = 0;
  s.out.close();  // fails when the last data cannot be flushed or closed
  if (s.out.fail()) s.failed = true;
  s.open = false;
  if (!s.failed) sha256 = s.hash.finishHex();
  return !s.failed;
}

void HashingWriter::abandon() {
  Impl& s = *impl_;
  s.stopHasher(true);
  if (!s.open) return;
  s.out.close();
  s.open = false;
}

}  // namespace launcher
