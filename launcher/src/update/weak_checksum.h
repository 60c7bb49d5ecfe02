// The weak checksum a manifest gives of every chunk, so that a sync can find
// a chunk at any offset of the local files by rolling it one byte at a time,
// the way rsync and zsync do, and confirm each match with SHA-256.
//
// The choice, kind "crc32+adler32": zlib's CRC-32 and zlib's Adler-32 of the
// whole chunk, 64 bits written as 16 lowercase hex digits (CRC-32 first).
// - A whole-chunk window (1 MiB and more) rolls in constant work per byte: the
//   CRC-32 of the next window is one table step for the byte that enters and
//   one table lookup for the byte that leaves; the Adler-32 follows from two
//   running sums of the window.
// - Few false matches on both kinds of game data. CRC-32 is linear over
//   GF(2) with a primitive polynomial: two windows that differ in one to
//   three bits, or by a short burst, never collide, which is where similar
//   uncompressed data (tables, padding, textures) would trip a plain sum.
//   Adler-32 is arithmetic, so a difference that CRC-32 cannot see (a
//   multiple of its polynomial) still changes it. On compressed data both act
//   as random: a false match costs 2^-64 per position and chunk, so rolling a
//   gibibyte past a thousand wanted chunks expects none.
// - Rolling at memory speed: the CRC half rolls with two table lookups per
//   byte, several windows interleaved so that the lookups overlap; the Adler
//   half is computed only where the CRC half matches, which happens about
//   once per four billion positions and wanted chunk, unless the chunk is
//   there.
// - The publishing tools are Python: both halves are zlib.crc32 and
//   zlib.adler32, which run at memory speed there too.
// Not a polynomial hash modulo a prime (Python has no fast way to compute it
// over a chunk), nor a buzhash (a window that is a multiple of its word size
// makes bytes 64 positions apart cancel), nor rsync's 32-bit sum (too many
// false matches at this window size).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace launcher {

// The kind a manifest names at its top ("weakKind"); weak values of another
// kind are not read.
inline constexpr const char* weakChecksumKind = "crc32+adler32";

// zlib's crc32(crc, data, length); start with 0.
[[nodiscard]] uint32_t crc32Update(uint32_t crc, const void* data, size_t length);
// zlib's adler32(adler, data, length); start with 1.
[[nodiscard]] uint32_t adler32Update(uint32_t adler, const void* data, size_t length);

// CRC-32 in the high half, Adler-32 in the low half.
[[nodiscard]] inline uint64_t packWeak(uint32_t crc, uint32_t adler) {
  return (static_cast<uint64_t>(crc) << 32) | adler;
}
[[nodiscard]] inline uint32_t weakCrc(uint64_t weak) { return static_cast<uint32_t>(weak >> 32); }
[[nodiscard]] inline uint32_t weakAdler(uint64_t weak) { return static_cast<uint32_t>(weak); }

// The weak checksum of a whole chunk.
[[nodiscard]] uint64_t weakChecksum(const void* data, size_t length);

// 16 lowercase hex digits.
[[nodiscard]] std::string weakToText(uint64_t weak);
// Exactly 16 characters of "0123456789abcdef".
[[nodiscard]] bool weakFromText(const std::string& text, uint64_t& weak);

// The CRC-32 state without zlib's inversions: crc32Update(0, w) is
// crcFromRaw(crcRawUpdate(0, w), size of w), and the state of the
// concatenation of u and v is crcShift(raw(u), size of v) ^ raw(v).
[[nodiscard]] uint32_t crcRawUpdate(uint32_t state, const void* data, size_t length);
[[nodiscard]] uint32_t crcShift(uint32_t state, uint64_t bytes);
[[nodiscard]] uint32_t crcFromRaw(uint32_t state, uint64_t length);

// The Adler-32 of a window of `window` bytes from two running sums of it:
// `sum` of its bytes and `weighted` = sum of (window - i) * byte i.
[[nodiscard]] uint32_t adlerFromSums(uint64_t window, uint64_t sum, uint64_t weighted);

// Rolls the CRC-32 of a window of fixed size along data, one byte at a time.
// The state is the CRC of the window without zlib's pre- and post-inversion
// (which for a fixed size only adds a constant), so a step is two lookups.
class CrcWindow {
 public:
  explicit CrcWindow(uint64_t window);

  // The state of the window [data, data + window).
  [[nodiscard]] uint32_t start(const unsigned char* data) const;
  // The state one byte further: `leaving` was the window's first byte and
  // `entering` is the byte just after its end.
  [[nodiscard]] uint32_t roll(uint32_t state, unsigned char leaving, unsigned char entering) const {
    return (state >> 8) ^ table_[(state ^ entering) & 0xff] ^ leaving_[leaving];
  }
  // Between a state and the window's CRC-32 (zlib's value).
  [[nodiscard]] uint32_t crcOf(uint32_t state) const { return state ^ zeros_; }
  [[nodiscard]] uint32_t stateOf(uint32_t crc) const { return crc ^ zeros_; }

  [[nodiscard]] uint64_t window() const { return window_; }
  [[nodiscard]] const uint32_t* table() const { return table_; }
  [[nodiscard]] const uint32_t* leavingTable() const { return leaving_; }

 private:
  uint64_t window_;
  const uint32_t* table_;
  uint32_t leaving_[256];
  uint32_t zeros_;  // CRC-32 of `window` zero bytes
};

}  // namespace launcher
