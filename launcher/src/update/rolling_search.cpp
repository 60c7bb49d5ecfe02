#include "update/rolling_search.h"

#include "platform/platform.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>

namespace launcher {

namespace fs = std::filesystem;

namespace {

// Bytes per read. A lane keeps the blocks its window spans plus one.
constexpr uint64_t blockSize = 256 * 1024;

}  // namespace

void CrcSet::assign(std::vector<uint32_t> states) {
  std::sort(states.begin(), states.end());
  states.erase(std::unique(states.begin(), states.end()), states.end());
  states_ = std::move(states);
  // About 256 bits per state: a position that is not wanted passes the
  // bitmap once in that many times or more, and the bitmap stays small
  // (64 KiB for a thousand states, 4 MiB at most).
  const uint64_t want = std::max<uint64_t>(uint64_t{1} << 16, states_.size() * 256);
  const uint64_t bits = std::min<uint64_t>(uint64_t{1} << 25, std::bit_ceil(want));
  shift_ = static_cast<uint32_t>(32 - std::countr_zero(bits / 64));
  bits_.assign(bits / 64, 0);
  // The second map takes its index from a product of all the bits, so that
  // it keeps out what the first lets through; 64 bits per state.
  const uint64_t second = std::min<uint64_t>(uint64_t{1} << 26,
                                             std::bit_ceil(std::max<uint64_t>(4096, states_.size() * 64)));
  secondShift_ = static_cast<uint32_t>(32 - std::countr_zero(second));
  second_.assign(second / 64, 0);
  for (uint32_t s : states_) {
    bits_[s >> shift_] |= uint64_t{1} << (s & 63);
    const uint32_t b = secondBit(s);
    second_[b >> 6] |= uint64_t{1} << (b & 63);
  }
}

bool CrcSet::contains(uint32_t state) const {
  const uint32_t b = secondBit(state);
  if (!((second_[b >> 6] >> (b & 63)) & 1)) return false;
  return std::binary_search(states_.begin(), states_.end(), state);
}

void CrcSet::remove(uint32_t state) {
  auto it = std::lower_bound(states_.begin(), states_.end(), state);
  if (it == states_.end() || *it != state) return;
  states_.erase(it);
  // A bit stays set while another state shares it. A scan per removal is
  // cheap next to the search that found the chunk.
  bool first = false;
  bool other = false;
  const uint32_t b = secondBit(state);
  for (uint32_t s : states_) {
    first |= (s >> shift_) == (state >> shift_) && (s & 63) == (state & 63);
    other |= secondBit(s) == b;
  }
  if (!first) bits_[state >> shift_] &= ~(uint64_t{1} << (state & 63));
  if (!other) second_[b >> 6] &= ~(uint64_t{1} << (b & 63));
}

struct WindowRoller::Lane {
  std::FILE* in = nullptr;
  uint64_t first = 0;   // its first window start, in the file
  uint64_t count = 0;   // window starts it rolls
  uint64_t length = 0;  // bytes it reads from `first` on
  uint64_t loaded = 0;  // blocks read so far
  uint64_t r = 0;       // the current window start, from `first`
  uint32_t state = 0;   // of the window at r
  std::vector<std::unique_ptr<unsigned char[]>> slots;

  Lane() = default;
  Lane(Lane&& other) noexcept { *this = std::move(other); }
  Lane& operator=(Lane&& other) noexcept {
    std::swap(in, other.in);
    first = other.first;
    count = other.count;
    length = other.length;
    loaded = other.loaded;
    r = other.r;
    state = other.state;
    slots = std::move(other.slots);
    return *this;
  }
  ~Lane() { close(); }
  void close() {
    if (in) std::fclose(in);
    in = nullptr;
  }

  [[nodiscard]] const unsigned char* at(uint64_t rel) const {
    return slots[(rel / blockSize) % slots.size()].get() + rel % blockSize;
  }

  // The bytes [rel, rel + n), all loaded.
  void pieces(uint64_t rel, uint64_t n, BytePieces& out) const {
    out.clear();
    while (n > 0) {
      const uint64_t take = std::min(n, blockSize - rel % blockSize);
      out.emplace_back(at(rel), static_cast<size_t>(take));
      rel += take;
      n -= take;
    }
  }
};

WindowRoller::WindowRoller(const CrcWindow& crc) : crc_(crc) {}

WindowRoller::~WindowRoller() = default;

RollEnd WindowRoller::handle(Lane& lane, uint64_t position, uint32_t state, const CrcSet& wanted,
                             const Match& onMatch) {
  if (!wanted.contains(state)) return RollEnd::Done;
  BytePieces bytes;
  lane.pieces(position - lane.first, crc_.window(), bytes);
  return onMatch(position, state, bytes) ? RollEnd::Done : RollEnd::Stopped;
}

namespace {

// Reads blocks until the lane holds its bytes below `relEnd` (or all it
// reads). False with the reason when it cannot.
RollEnd ensureLoaded(std::vector<std::unique_ptr<unsigned char[]>>& slots, std::FILE* in, uint64_t length,
                     uint64_t& loaded, uint64_t relEnd, uint64_t allowance, uint64_t& bytesRead,
                     const uint64_t* alsoSpent, const std::function<void(uint64_t)>& progress) {
  while (loaded * blockSize < std::min(relEnd, length)) {
    const uint64_t n = std::min(blockSize, length - loaded * blockSize);
    if (bytesRead + (alsoSpent ? *alsoSpent : 0) + n > allowance) return RollEnd::OutOfBudget;
    unsigned char* slot = slots[loaded % slots.size()].get();
    if (std::fread(slot, 1, static_cast<size_t>(n), in) != n) return RollEnd::Unreadable;
    bytesRead += n;
    ++loaded;
    if (progress) progress(bytesRead);
  }
  return RollEnd::Done;
}

}  // namespace

// The lanes whose state passed the bitmap at window start r (from each
// lane's first); out of line, so that the rolling loop stays small.
template <int Lanes>
[[gnu::noinline]] RollEnd WindowRoller::handlePassed(Lane* lanes, const uint32_t* states, uint64_t r,
                                                     const CrcSet& wanted, const Match& onMatch) {
  for (int l = 0; l < Lanes; ++l) {
    if (!wanted.mightContain(states[l])) continue;
    const RollEnd end = handle(lanes[l], lanes[l].first + r, states[l], wanted, onMatch);
    if (end != RollEnd::Done) return end;
  }
  return RollEnd::Done;
}

template <int Lanes>
RollEnd WindowRoller::rollLockstep(Lane* lanes, uint64_t steps, const CrcSet& wanted, const Match& onMatch) {
  const uint32_t* table = crc_.table();
  const uint32_t* leaving = crc_.leavingTable();
  const uint64_t window = crc_.window();
  // The words stay put while a callback removes states from the set.
  const uint64_t* bits = wanted.bitWords();
  const uint32_t shift = wanted.wordShift();
  uint64_t r = lanes[0].r;
  uint32_t s[Lanes];
  for (int l = 0; l < Lanes; ++l) s[l] = lanes[l].state;
  RollEnd end = RollEnd::Done;
  // One test for all lanes, a load and a shift each: a state that passes
  // the bitmap is rare. After a stop the lanes' states are not needed.
  auto passed = [&]() {
    uint64_t any = 0;
#pragma GCC unroll 8
    for (int l = 0; l < Lanes; ++l) any |= bits[s[l] >> shift] >> (s[l] & 63);
    return (any & 1) != 0;
  };
  while (steps > 0 && end == RollEnd::Done) {
    if (cancel_ && cancel_->load()) {
      end = RollEnd::Cancelled;
      break;
    }
    // A stretch in which neither the leaving nor the entering byte crosses
    // a block: the same for every lane, since all start on a block.
    const uint64_t m = std::min({steps, blockSize - r % blockSize, blockSize - (r + window) % blockSize});
    for (int l = 0; l < Lanes && end == RollEnd::Done; ++l) {
      end = ensureLoaded(lanes[l].slots, lanes[l].in, lanes[l].length, lanes[l].loaded, r + window + m, allowance_,
                         *bytesRead_, alsoSpent_, progress_);
    }
    if (end != RollEnd::Done) break;
    const unsigned char* out[Lanes];
    const unsigned char* in[Lanes];
    for (int l = 0; l < Lanes; ++l) {
      out[l] = lanes[l].at(r);
      in[l] = lanes[l].at(r + window);
    }
    uint64_t k = 0;
    if constexpr (std::endian::native == std::endian::little) {
      // Eight positions per round: each lane's entering and leaving bytes
      // come from one load of eight, taken apart by shifts.
      for (; k + 8 <= m; k += 8) {
        uint64_t ins[Lanes];
        uint64_t outs[Lanes];
        for (int l = 0; l < Lanes; ++l) {
          std::memcpy(&ins[l], in[l] + k, 8);
          std::memcpy(&outs[l], out[l] + k, 8);
        }
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j) {
          if (passed()) [[unlikely]] {
            end = handlePassed<Lanes>(lanes, s, r + k + static_cast<uint64_t>(j), wanted, onMatch);
            if (end != RollEnd::Done) return end;
          }
#pragma GCC unroll 8
          for (int l = 0; l < Lanes; ++l) {
            s[l] = (s[l] >> 8) ^ table[(s[l] ^ static_cast<uint32_t>(ins[l])) & 0xff] ^ leaving[outs[l] & 0xff];
            ins[l] >>= 8;
            outs[l] >>= 8;
          }
        }
      }
    }
    for (; k < m; ++k) {
      if (passed()) [[unlikely]] {
        end = handlePassed<Lanes>(lanes, s, r + k, wanted, onMatch);
        if (end != RollEnd::Done) return end;
      }
#pragma GCC unroll 8
      for (int l = 0; l < Lanes; ++l) s[l] = (s[l] >> 8) ^ table[(s[l] ^ in[l][k]) & 0xff] ^ leaving[out[l][k]];
    }
    r += m;
    steps -= m;
  }
  for (int l = 0; l < Lanes; ++l) {
    lanes[l].state = s[l];
    lanes[l].r = r;
  }
  return end;
}

RollEnd WindowRoller::roll(const fs::path& file, uint64_t first, uint64_t last, const CrcSet& wanted,
                           uint64_t allowance, const std::atomic<bool>* cancel, const Match& onMatch,
                           uint64_t& bytesRead, const uint64_t* alsoSpent) {
  if (last < first || wanted.empty()) return RollEnd::Done;
  allowance_ = allowance;
  bytesRead_ = &bytesRead;
  alsoSpent_ = alsoSpent;
  cancel_ = cancel;
  const uint64_t window = crc_.window();
  uint64_t positions = last - first + 1;
  // Each lane after the first reads one window more; worth it once each
  // rolls several windows' worth of positions, and only within the allowance.
  const uint64_t spent = bytesRead + (alsoSpent ? *alsoSpent : 0);
  const uint64_t canRead = allowance > spent ? allowance - spent : 0;
  auto need = [&](int lanes) {
    return positions - static_cast<uint64_t>(lanes) + static_cast<uint64_t>(lanes) * window;
  };
  int laneCount = positions >= 16 * window ? 4 : positions >= 4 * window ? 2 : 1;
  while (laneCount > 1 && need(laneCount) > canRead) laneCount /= 2;
  // As far as the allowance reaches.
  bool capped = false;
  if (need(1) > canRead) {
    if (canRead < window) return RollEnd::OutOfBudget;
    last = first + (canRead - window);
    positions = last - first + 1;
    capped = true;
  }
  const uint64_t part = positions / static_cast<uint64_t>(laneCount);
  const size_t slotCount = static_cast<size_t>((window + blockSize - 1) / blockSize + 1);

  lanes_.clear();
  lanes_.resize(static_cast<size_t>(laneCount));
  for (int l = 0; l < laneCount; ++l) {
    Lane& lane = lanes_[static_cast<size_t>(l)];
    lane.first = first + part * static_cast<uint64_t>(l);
    lane.count = l + 1 < laneCount ? part : positions - part * static_cast<uint64_t>(l);
    lane.length = lane.count - 1 + window;
    lane.slots.resize(slotCount);
    for (auto& slot : lane.slots) slot.reset(new unsigned char[blockSize]);
    lane.in = openFile(file, FileOpen::Read);
    if (!lane.in) return RollEnd::Unreadable;
    std::setvbuf(lane.in, nullptr, _IONBF, 0);
    if (!seekFile(lane.in, lane.first)) return RollEnd::Unreadable;
    const RollEnd loaded =
        ensureLoaded(lane.slots, lane.in, lane.length, lane.loaded, window, allowance_, *bytesRead_, alsoSpent_, progress_);
    if (loaded != RollEnd::Done) return loaded;
    BytePieces start;
    lane.pieces(0, window, start);
    uint32_t state = 0;
    for (const auto& [data, n] : start) state = crcRawUpdate(state, data, n);
    lane.state = state;
  }

  // Every lane rolls `part` positions in step; the last then rolls the rest.
  RollEnd end = RollEnd::Done;
  switch (laneCount) {
    case 4:
      end = rollLockstep<4>(lanes_.data(), part - 1, wanted, onMatch);
      break;
    case 2:
      end = rollLockstep<2>(lanes_.data(), part - 1, wanted, onMatch);
      break;
    default:
      end = rollLockstep<1>(lanes_.data(), part - 1, wanted, onMatch);
      break;
  }
  for (Lane& lane : lanes_) {
    if (end != RollEnd::Done) break;
    if (wanted.mightContain(lane.state)) end = handle(lane, lane.first + lane.r, lane.state, wanted, onMatch);
  }
  Lane& tail = lanes_.back();
  if (end == RollEnd::Done && tail.count > part) {
    // One step onto the rest, then the rest alone.
    end = ensureLoaded(tail.slots, tail.in, tail.length, tail.loaded, tail.r + window + 1, allowance_, *bytesRead_,
                       alsoSpent_, progress_);
    if (end == RollEnd::Done) {
      tail.state = crc_.roll(tail.state, *tail.at(tail.r), *tail.at(tail.r + window));
      ++tail.r;
      end = rollLockstep<1>(&tail, tail.count - part - 1, wanted, onMatch);
      if (end == RollEnd::Done && wanted.mightContain(tail.state)) {
        end = handle(tail, tail.first + tail.r, tail.state, wanted, onMatch);
      }
    }
  }
  for (Lane& lane : lanes_) lane.close();
  return end == RollEnd::Done && capped ? RollEnd::OutOfBudget : end;
}

}  // namespace launcher
