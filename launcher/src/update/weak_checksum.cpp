#include "update/weak_checksum.h"

#include <array>

namespace launcher {

namespace {

constexpr uint32_t reflectedPolynomial = 0xedb88320u;
constexpr uint32_t adlerModulus = 65521;
// The most bytes the Adler sums can take before they must be reduced.
constexpr size_t adlerBlock = 5552;

// Slicing-by-8: tables[k][b] is the state after byte b followed by k zero
// bytes, so eight bytes cost eight independent lookups.
struct CrcTables {
  std::array<std::array<uint32_t, 256>, 8> t{};
  constexpr CrcTables() {
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t c = b;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? reflectedPolynomial ^ (c >> 1) : c >> 1;
      t[0][b] = c;
    }
    for (uint32_t b = 0; b < 256; ++b) {
      for (size_t k = 1; k < 8; ++k) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xff];
    }
  }
};

constexpr CrcTables crcTables;

// a * b modulo the polynomial, both reflected (bit 31 is x^0).
uint32_t multiplyModP(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t m = 1u << 31; m != 0; m >>= 1) {
    if (a & m) product ^= b;
    b = (b & 1) ? (b >> 1) ^ reflectedPolynomial : b >> 1;
  }
  return product;
}

// x^(8 * bytes) modulo the polynomial: what `bytes` zero bytes do to a state.
uint32_t zeroBytesOperator(uint64_t bytes) {
  uint32_t result = 1u << 31;   // 1
  uint32_t square = 1u << 23;   // x^8
  for (; bytes != 0; bytes >>= 1) {
    if (bytes & 1) result = multiplyModP(result, square);
    square = multiplyModP(square, square);
  }
  return result;
}

uint32_t rawCrc(uint32_t state, const unsigned char* p, size_t n) {
  const auto& t = crcTables.t;
  while (n >= 8) {
    // The first four bytes in little-endian order, as the tables expect.
    const uint32_t low = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
          static_cast<uint32_t>(p[3]) << 24;
    const uint32_t x = state ^ low;
    state = t[7][x & 0xff] ^ t[6][(x >> 8) & 0xff] ^ t[5][(x >> 16) & 0xff] ^ t[4][x >> 24] ^ t[3][p[4]] ^
            t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) state = (state >> 8) ^ t[0][(state ^ *p++) & 0xff];
  return state;
}

}  // namespace

uint32_t crcRawUpdate(uint32_t state, const void* data, size_t length) {
  return rawCrc(state, static_cast<const unsigned char*>(data), length);
}

uint32_t crcShift(uint32_t state, uint64_t bytes) { return multiplyModP(zeroBytesOperator(bytes), state); }

uint32_t crcFromRaw(uint32_t state, uint64_t length) {
  return state ^ ~multiplyModP(zeroBytesOperator(length), 0xffffffffu);
}

uint32_t crc32Update(uint32_t crc, const void* data, size_t length) {
  return ~rawCrc(~crc, static_cast<const unsigned char*>(data), length);
}

uint32_t adler32Update(uint32_t adler, const void* data, size_t length) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t a = adler & 0xffff;
  uint32_t b = adler >> 16;
  while (length > 0) {
    size_t n = length < adlerBlock ? length : adlerBlock;
    length -= n;
    while (n-- > 0) {
      a += *p++;
      b += a;
    }
    a %= adlerModulus;
    b %= adlerModulus;
  }
  return (b << 16) | a;
}

uint64_t weakChecksum(const void* data, size_t length) {
  return packWeak(crc32Update(0, data, length), adler32Update(1, data, length));
}

std::string weakToText(uint64_t weak) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text(16, '0');
  for (int i = 15; i >= 0; --i) {
    text[static_cast<size_t>(i)] = digits[weak & 0xf];
    weak >>= 4;
  }
  return text;
}

bool weakFromText(const std::string& text, uint64_t& weak) {
  if (text.size() != 16) return false;
  uint64_t value = 0;
  for (char c : text) {
    uint64_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint64_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint64_t>(c - 'a' + 10);
    } else {
      return false;
    }
    value = value << 4 | digit;
  }
  weak = value;
  return true;
}

uint32_t adlerFromSums(uint64_t window, uint64_t sum, uint64_t weighted) {
  const uint64_t a = (1 + sum) % adlerModulus;
  const uint64_t b = (window % adlerModulus + weighted % adlerModulus) % adlerModulus;
  return static_cast<uint32_t>(b << 16 | a);
}

CrcWindow::CrcWindow(uint64_t window) : window_(window), table_(crcTables.t[0].data()) {
  // The byte that leaves was followed by `window` more bytes since it entered:
  // its share of the state is its own step times `window` zero bytes.
  const uint32_t shift = zeroBytesOperator(window);
  for (uint32_t b = 0; b < 256; ++b) leaving_[b] = multiplyModP(shift, table_[b]);
  // zlib starts from all ones and inverts at the end; for a fixed size that
  // adds the CRC-32 of as many zero bytes.
  zeros_ = ~multiplyModP(shift, 0xffffffffu);
}

uint32_t CrcWindow::start(const unsigned char* data) const { return rawCrc(0, data, window_); }

}  // namespace launcher
