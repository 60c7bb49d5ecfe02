// Rolls the weak checksum's CRC half over a stretch of a file, one window
// start at a time, and hands every position whose state is wanted to a
// callback with the window's bytes. Up to four stretches of the file are
// rolled at once, interleaved, so that their table lookups overlap. Memory:
// about the window plus 256 KiB per stretch. One object per thread.
#pragma once

#include "update/weak_checksum.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <utility>
#include <vector>

namespace launcher {

// The states a search wants, with a bitmap in front so that nearly every
// position costs one lookup in a table that stays in the processor's cache,
// and a second, larger one keyed by other bits so that the few states that
// pass the first rarely reach the sorted list.
class CrcSet {
 public:
  // `states` may repeat; an empty set matches nothing.
  void assign(std::vector<uint32_t> states);
  [[nodiscard]] bool mightContain(uint32_t state) const {
    return (bits_[state >> shift_] >> (state & 63)) & 1;
  }
  [[nodiscard]] bool contains(uint32_t state) const;
  [[nodiscard]] bool empty() const { return states_.empty(); }
  // Takes a state out; allowed while a roll that uses the set calls back.
  void remove(uint32_t state);
  // For the rolling loop: bit (state & 63) of word (state >> shift) is set
  // for every state in the set. The words stay where they are for the
  // set's life.
  [[nodiscard]] const uint64_t* bitWords() const { return bits_.data(); }
  [[nodiscard]] uint32_t wordShift() const { return shift_; }

 private:
  [[nodiscard]] uint32_t secondBit(uint32_t state) const { return (state * 0x9e3779b1u) >> secondShift_; }

  std::vector<uint64_t> bits_ = std::vector<uint64_t>(2, 0);
  uint32_t shift_ = 31;
  std::vector<uint64_t> second_ = std::vector<uint64_t>(1, 0);
  uint32_t secondShift_ = 26;
  std::vector<uint32_t> states_;  // sorted, unique
};

// A window's bytes in order, in pieces; valid only during the callback.
using BytePieces = std::vector<std::pair<const unsigned char*, size_t>>;

enum class RollEnd {
  Done,         // every position was rolled
  Stopped,      // the callback asked to stop
  OutOfBudget,  // the next read would pass the allowance
  Cancelled,
  Unreadable,   // the file could not be opened or was shorter than asked
};

class WindowRoller {
 public:
  explicit WindowRoller(const CrcWindow& crc);
  ~WindowRoller();
  WindowRoller(const WindowRoller&) = delete;
  WindowRoller& operator=(const WindowRoller&) = delete;

  // Called with a window's start, its state and its bytes; false stops.
  using Match = std::function<bool(uint64_t position, uint32_t state, const BytePieces& bytes)>;

  // Called after each block read with the bytes read so far; may be empty.
  void setProgress(std::function<void(uint64_t bytesRead)> progress) { progress_ = std::move(progress); }

  // Rolls the windows that start at `first` .. `last` (inclusive) of `file`,
  // which must hold at least last + window bytes. Reads while `bytesRead`
  // plus `alsoSpent` (may be null; the caller's other costs, which the
  // callback may raise) stays within `allowance`, adding what it read to
  // `bytesRead`. `cancel` (may be null) is polled between blocks.
  [[nodiscard]] RollEnd roll(const std::filesystem::path& file, uint64_t first, uint64_t last, const CrcSet& wanted,
                             uint64_t allowance, const std::atomic<bool>* cancel, const Match& onMatch,
                             uint64_t& bytesRead, const uint64_t* alsoSpent = nullptr);

 private:
  struct Lane;
  template <int Lanes>
  RollEnd rollLockstep(Lane* lanes, uint64_t steps, const CrcSet& wanted, const Match& onMatch);
  template <int Lanes>
  RollEnd handlePassed(Lane* lanes, const uint32_t* states, uint64_t r, const CrcSet& wanted, const Match& onMatch);
  RollEnd handle(Lane& lane, uint64_t position, uint32_t state, const CrcSet& wanted, const Match& onMatch);

  const CrcWindow& crc_;
  std::vector<Lane> lanes_;
  uint64_t allowance_ = 0;
  uint64_t* bytesRead_ = nullptr;
  const uint64_t* alsoSpent_ = nullptr;
  const std::atomic<bool>* cancel_ = nullptr;
  std::function<void(uint64_t)> progress_;
};

}  // namespace launcher
