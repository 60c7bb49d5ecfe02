#include "update/moved_chunks.h"

#include "platform/platform.h"
#include "update/rolling_search.h"
#include "update/sha256.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <unordered_map>
#include <unordered_set>

namespace launcher {

namespace fs = std::filesystem;

namespace {

// A chunk whose weak checksum matched this often without its SHA-256 is no
// longer looked for: its weak value is shared by common local content, or
// made to be.
constexpr int refusalsPerChunk = 4;
// The same for windows whose CRC half matched but not the Adler half, which
// cost a pass over the window each.
constexpr int crcOnlyPerChunk = 16;

class Searcher {
 public:
  Searcher(const MovedSearch& s, const std::atomic<bool>* cancel, MovedSearchStats& stats);
  bool run();

 private:
  [[nodiscard]] uint64_t spent() const { return stats_.bytesRead + stats_.bytesRefused; }
  [[nodiscard]] bool over(uint64_t limit) const { return spent() >= limit; }
  bool stopping() {
    if (!stop_ && cancel_ && cancel_->load()) stop_ = cancelled_ = true;
    return stop_;
  }
  [[nodiscard]] bool full(size_t c) const { return s_.chunks[c].size == s_.chunkSize; }
  [[nodiscard]] uint64_t wantedBytesOf(size_t file) const;
  void settle(size_t c);
  void report();
  // Checks bytes at `offset` of local file `from` against chunk c.
  void confirm(size_t c, const ChunkPieces& bytes, size_t from, uint64_t offset);
  bool onWindow(size_t from, uint64_t position, uint32_t state, const BytePieces& bytes);
  void roll(size_t from, uint64_t first, uint64_t last, uint64_t limit);
  void rollWhole(size_t from, uint64_t limit);
  void probe(size_t file, size_t from, bool sameSize, uint64_t limit);
  bool tryAt(size_t c, size_t from, uint64_t offset);
  void checkEnds(size_t from, const std::vector<size_t>& tails, uint64_t limit);
  std::vector<size_t> nearestInSize(size_t file) const;

  const MovedSearch& s_;
  const std::atomic<bool>* cancel_;
  MovedSearchStats& stats_;
  CrcWindow crc_;
  WindowRoller roller_;
  CrcSet wanted_;
  std::unordered_map<uint32_t, std::vector<size_t>> byState_;  // full chunks by their CRC state
  std::vector<std::vector<size_t>> byFile_;                     // chunks of each wanted file, by offset
  std::vector<bool> settled_;                                   // found, or no longer looked for
  std::vector<int> refusals_;
  std::vector<int> crcOnly_;
  std::vector<std::pair<size_t, uint64_t>> foundAt_;  // local file and offset of a found chunk
  std::vector<bool> rolledWhole_;
  std::unordered_map<std::string, size_t> localByKey_;
  std::vector<unsigned char> buffer_;
  size_t left_ = 0;
  bool stop_ = false;  // cancelled, or `found` said so
  bool cancelled_ = false;
};

Searcher::Searcher(const MovedSearch& s, const std::atomic<bool>* cancel, MovedSearchStats& stats)
    : s_(s), cancel_(cancel), stats_(stats), crc_(s.chunkSize), roller_(crc_) {
  const size_t n = s.chunks.size();
  settled_.assign(n, false);
  refusals_.assign(n, 0);
  crcOnly_.assign(n, 0);
  foundAt_.assign(n, {std::numeric_limits<size_t>::max(), 0});
  byFile_.resize(s.files.size());
  rolledWhole_.assign(s.local.size(), false);
  std::vector<uint32_t> states;
  uint64_t wantedBytes = 0;
  for (size_t c = 0; c < n; ++c) {
    const WantedChunk& chunk = s.chunks[c];
    // Nothing to gain from an empty chunk, and a chunk longer than the
    // window cannot be rolled for.
    if (chunk.size == 0 || chunk.size > s.chunkSize || chunk.file >= s.files.size()) {
      settled_[c] = true;
      continue;
    }
    ++left_;
    wantedBytes += chunk.size;
    byFile_[chunk.file].push_back(c);
    if (full(c)) {
      const uint32_t state = crc_.stateOf(weakCrc(chunk.weak));
      states.push_back(state);
      byState_[state].push_back(c);
    }
  }
  for (auto& list : byFile_) {
    std::sort(list.begin(), list.end(), [&](size_t a, size_t b) { return s.chunks[a].offset < s.chunks[b].offset; });
  }
  wanted_.assign(std::move(states));
  for (size_t i = 0; i < s.local.size(); ++i) localByKey_.try_emplace(s.local[i].key, i);
  stats_.budget = movedSearchBudgetFactor * wantedBytes;
  roller_.setProgress([this](uint64_t) { report(); });
}

void Searcher::report() {
  if (s_.progress) s_.progress(spent(), stats_.budget);
}

uint64_t Searcher::wantedBytesOf(size_t file) const {
  uint64_t total = 0;
  for (size_t c : byFile_[file]) {
    if (!settled_[c]) total += s_.chunks[c].size;
  }
  return total;
}

// A chunk is found or no longer looked for: a full one leaves the rolled set
// once no other chunk shares its state, so that a run of equal windows
// (zeros) does not stop at every position.
void Searcher::settle(size_t c) {
  if (settled_[c]) return;
  settled_[c] = true;
  --left_;
  if (!full(c)) return;
  const uint32_t state = crc_.stateOf(weakCrc(s_.chunks[c].weak));
  const auto& sharing = byState_[state];
  if (std::all_of(sharing.begin(), sharing.end(), [&](size_t other) { return settled_[other]; })) {
    wanted_.remove(state);
  }
}

void Searcher::confirm(size_t c, const ChunkPieces& bytes, size_t from, uint64_t offset) {
  if (settled_[c] || stop_) return;
  const WantedChunk& chunk = s_.chunks[c];
  uint32_t adler = 1;
  for (const auto& [data, n] : bytes) adler = adler32Update(adler, data, n);
  stats_.bytesHashed += chunk.size;
  if (adler != weakAdler(chunk.weak)) {
    stats_.bytesRefused += chunk.size;
    if (++crcOnly_[c] >= crcOnlyPerChunk) settle(c);
    return;
  }
  ++stats_.weakMatches;
  Sha256 sha;
  for (const auto& [data, n] : bytes) sha.update(data, n);
  stats_.bytesHashed += chunk.size;
  if (sha.finishHex() != chunk.hash) {
    ++stats_.falseMatches;
    stats_.bytesRefused += 2 * chunk.size;
    if (++refusals_[c] >= refusalsPerChunk) settle(c);
    return;
  }
  settle(c);
  foundAt_[c] = {from, offset};
  ++stats_.found;
  stats_.foundBytes += chunk.size;
  if (!s_.found(c, bytes, s_.local[from], offset)) stop_ = true;
}

bool Searcher::onWindow(size_t from, uint64_t position, uint32_t state, const BytePieces& bytes) {
  auto it = byState_.find(state);
  if (it != byState_.end()) {
    // Copied: confirming may settle chunks and so change the list.
    const std::vector<size_t> candidates = it->second;
    for (size_t c : candidates) confirm(c, bytes, from, position);
  }
  return !stopping() && left_ > 0;
}

void Searcher::roll(size_t from, uint64_t first, uint64_t last, uint64_t limit) {
  if (stopping() || wanted_.empty() || over(limit)) return;
  const LocalFile& local = s_.local[from];
  // The roller counts what it reads; refused candidates count too.
  const RollEnd end = roller_.roll(
      local.path, first, last, wanted_, limit, cancel_,
      [&](uint64_t position, uint32_t state, const BytePieces& bytes) { return onWindow(from, position, state, bytes); },
      stats_.bytesRead, &stats_.bytesRefused);
  if (end == RollEnd::Cancelled) stop_ = cancelled_ = true;
  report();
}

void Searcher::rollWhole(size_t from, uint64_t limit) {
  if (rolledWhole_[from]) return;
  rolledWhole_[from] = true;
  const uint64_t size = s_.local[from].size;
  if (size >= s_.chunkSize) roll(from, 0, size - s_.chunkSize, limit);
}

// Reads one window at `offset` and checks it against chunk c alone.
bool Searcher::tryAt(size_t c, size_t from, uint64_t offset) {
  const LocalFile& local = s_.local[from];
  const uint64_t size = s_.chunks[c].size;
  if (offset > local.size || local.size - offset < size || over(stats_.budget)) return false;
  std::FILE* in = openFile(local.path, FileOpen::Read);
  if (!in) return false;
  buffer_.resize(static_cast<size_t>(size));
  const bool read = seekFile(in, offset) && std::fread(buffer_.data(), 1, buffer_.size(), in) == buffer_.size();
  std::fclose(in);
  if (!read) return false;
  stats_.bytesRead += size;
  if (crc32Update(0, buffer_.data(), buffer_.size()) != weakCrc(s_.chunks[c].weak)) return false;
  confirm(c, {{buffer_.data(), buffer_.size()}}, from, offset);
  return foundAt_[c].first == from && foundAt_[c].second == offset;
}

// For a file whose old version is much larger than what it wants: each
// wanted chunk is first tried at the shifts found so far (bytes inserted or
// deleted earlier in the file move everything after them alike), then
// looked for around its own offset. A file that keeps its size gets one
// look; content replaced in place is not worth more.
void Searcher::probe(size_t file, size_t from, bool sameSize, uint64_t limit) {
  const uint64_t window = s_.chunkSize;
  const LocalFile& local = s_.local[from];
  if (local.size < window) return;
  const uint64_t reach = sameSize ? window / 4 : window;
  std::vector<int64_t> shifts;
  int hits = 0;
  int misses = 0;
  for (size_t c : byFile_[file]) {
    if (stopping() || over(limit) || wanted_.empty()) return;
    if (settled_[c] || !full(c)) continue;
    const uint64_t offset = s_.chunks[c].offset;
    bool got = false;
    for (size_t i = 0; i < shifts.size() && !got; ++i) {
      const int64_t at = static_cast<int64_t>(offset) + shifts[i];
      if (at >= 0 && tryAt(c, from, static_cast<uint64_t>(at))) {
        got = true;
        std::rotate(shifts.begin(), shifts.begin() + static_cast<std::ptrdiff_t>(i),
                    shifts.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      }
    }
    if (!got) {
      const uint64_t lastStart = local.size - window;
      const uint64_t first = offset > reach ? offset - reach : 0;
      const uint64_t last = std::min(lastStart, offset + reach);
      if (first <= last) roll(from, first, last, limit);
      if (foundAt_[c].first == from) {
        got = true;
        shifts.insert(shifts.begin(), static_cast<int64_t>(foundAt_[c].second) - static_cast<int64_t>(offset));
      }
    }
    if (got) {
      ++hits;
      misses = 0;
    } else if (++misses >= (sameSize ? 1 : hits > 0 ? 4 : 2)) {
      return;
    }
  }
}

// The shorter last chunks among `tails` that may be the end of local file
// `from`: the end of a file stays its end when bytes are inserted, deleted
// or put in front. All suffix lengths come from one read of the longest.
void Searcher::checkEnds(size_t from, const std::vector<size_t>& tails, uint64_t limit) {
  const LocalFile& local = s_.local[from];
  std::map<uint64_t, std::vector<size_t>> bySize;
  for (size_t c : tails) {
    if (!settled_[c] && !full(c) && s_.chunks[c].size <= local.size) bySize[s_.chunks[c].size].push_back(c);
  }
  if (bySize.empty() || stopping()) return;
  const uint64_t longest = bySize.rbegin()->first;
  if (spent() + longest > limit) return;
  std::FILE* in = openFile(local.path, FileOpen::Read);
  if (!in) return;
  buffer_.resize(static_cast<size_t>(longest));
  const bool read =
      seekFile(in, local.size - longest) && std::fread(buffer_.data(), 1, buffer_.size(), in) == buffer_.size();
  std::fclose(in);
  if (!read) return;
  stats_.bytesRead += longest;
  const unsigned char* end = buffer_.data() + buffer_.size();
  uint32_t state = 0;
  uint64_t done = 0;
  for (const auto& [size, chunks] : bySize) {
    // The suffix of `size` bytes is the new part in front of the one before.
    state = crcShift(crcRawUpdate(0, end - size, static_cast<size_t>(size - done)), done) ^ state;
    done = size;
    const uint32_t crc = crcFromRaw(state, size);
    for (size_t c : chunks) {
      if (crc == weakCrc(s_.chunks[c].weak)) confirm(c, {{end - size, static_cast<size_t>(size)}}, from, local.size - size);
    }
  }
  report();
}

// For a file without an old version: the local files nearest to it in size,
// within an eighth of its size or one chunk.
std::vector<size_t> Searcher::nearestInSize(size_t file) const {
  const uint64_t size = s_.files[file].size;
  const uint64_t slack = std::max(s_.chunkSize, size / 8);
  std::vector<std::pair<uint64_t, size_t>> near;
  for (size_t i = 0; i < s_.local.size(); ++i) {
    const uint64_t other = s_.local[i].size;
    const uint64_t gap = other > size ? other - size : size - other;
    if (gap <= slack) near.emplace_back(gap, i);
  }
  std::sort(near.begin(), near.end());
  std::vector<size_t> out;
  for (size_t i = 0; i < near.size() && i < 2; ++i) out.push_back(near[i].second);
  return out;
}

bool Searcher::run() {
  if (left_ == 0 || s_.chunkSize > movedSearchMaxChunkSize) return true;
  // First where moved content usually lies.
  std::vector<bool> reshaped(s_.files.size(), false);
  for (size_t f = 0; f < s_.files.size() && !stopping() && left_ > 0; ++f) {
    if (wantedBytesOf(f) == 0) continue;
    auto old = localByKey_.find(s_.files[f].key);
    std::vector<size_t> sources;
    if (old != localByKey_.end()) {
      sources.push_back(old->second);
    } else {
      sources = nearestInSize(f);
    }
    const bool sameSize = old != localByKey_.end() && s_.local[old->second].size == s_.files[f].size;
    reshaped[f] = !sameSize;
    for (size_t from : sources) {
      if (stopping() || over(stats_.budget) || wantedBytesOf(f) == 0) break;
      if (s_.local[from].size <= 2 * wantedBytesOf(f)) {
        rollWhole(from, stats_.budget);
      } else {
        probe(f, from, sameSize, stats_.budget);
      }
      if (!sameSize) checkEnds(from, byFile_[f], stats_.budget);
    }
  }
  // Then, for the files that changed shape or are new, every other local
  // file, within their share of the budget: files the release drops first.
  std::vector<size_t> eligible;
  uint64_t eligibleBytes = 0;
  for (size_t f = 0; f < s_.files.size(); ++f) {
    if (!reshaped[f]) continue;
    for (size_t c : byFile_[f]) {
      if (settled_[c]) continue;
      eligible.push_back(c);
      eligibleBytes += s_.chunks[c].size;
    }
  }
  if (!eligible.empty() && !stop_) {
    const uint64_t limit = std::min(stats_.budget, spent() + movedSearchBudgetFactor * eligibleBytes);
    std::vector<size_t> order;
    for (int pass = 0; pass < 2; ++pass) {
      for (size_t i = 0; i < s_.local.size(); ++i) {
        if (s_.local[i].dropped == (pass == 0)) order.push_back(i);
      }
    }
    for (size_t from : order) {
      if (stopping() || over(limit)) break;
      if (std::none_of(eligible.begin(), eligible.end(), [&](size_t c) { return !settled_[c]; })) break;
      rollWhole(from, limit);
      checkEnds(from, eligible, limit);
    }
  }
  report();
  return !stop_;
}

}  // namespace

bool findMovedChunks(const MovedSearch& search, const std::atomic<bool>* cancel, MovedSearchStats& stats) {
  stats = MovedSearchStats{};
  Searcher searcher(search, cancel, stats);
  return searcher.run();
}

}  // namespace launcher
