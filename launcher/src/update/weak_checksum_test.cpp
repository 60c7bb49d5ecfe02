#include "update/weak_checksum.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

namespace launcher {
namespace {

std::string randomBytes(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

// Data of the shapes game files have: noise, zeros, short repeats, text.
std::string shapedBytes(const std::string& shape, size_t size, uint32_t seed) {
  if (shape == "random") return randomBytes(size, seed);
  if (shape == "zeros") return std::string(size, '\0');
  std::string out;
  out.reserve(size);
  if (shape == "repeat") {
    const std::string unit = randomBytes(61, seed);
    while (out.size() < size) out += unit;
  } else {  // sparse: zeros with a few bytes set, like padded tables
    out.assign(size, '\0');
    std::mt19937 gen(seed);
    for (size_t i = 0; i < size / 97; ++i) out[gen() % size] = static_cast<char>(gen() & 0xff);
  }
  out.resize(size);
  return out;
}

uint32_t zlibCrc(const std::string& s) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}
uint32_t zlibAdler(const std::string& s) {
  return static_cast<uint32_t>(adler32(1, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

TEST(WeakChecksum, MatchesKnownValuesAndZlib) {
  struct Case {
    std::string data;
    uint32_t crc;
    uint32_t adler;
  };
  const Case known[] = {
      {"", 0x00000000u, 0x00000001u},
      {"123456789", 0xcbf43926u, 0x091e01deu},
      {"Wikipedia", 0xadaac02eu, 0x11e60398u},
      {std::string(1, '\0'), 0xd202ef8du, 0x00010001u},
  };
  for (const Case& c : known) {
    EXPECT_EQ(crc32Update(0, c.data.data(), c.data.size()), c.crc) << c.data;
    EXPECT_EQ(adler32Update(1, c.data.data(), c.data.size()), c.adler) << c.data;
    EXPECT_EQ(weakChecksum(c.data.data(), c.data.size()), packWeak(c.crc, c.adler)) << c.data;
  }
  // Lengths around the eight-byte steps and the Adler reduction block.
  for (size_t size : {1u, 7u, 8u, 9u, 63u, 5551u, 5552u, 5553u, 100000u, 1048576u}) {
    for (const char* shape : {"random", "zeros", "repeat"}) {
      const std::string data = shapedBytes(shape, size, static_cast<uint32_t>(size));
      EXPECT_EQ(crc32Update(0, data.data(), data.size()), zlibCrc(data)) << shape << " " << size;
      EXPECT_EQ(adler32Update(1, data.data(), data.size()), zlibAdler(data)) << shape << " " << size;
    }
  }
  // Continuing a running value, as the publishing tools do block by block.
  const std::string data = randomBytes(30000, 9);
  const uint32_t crc = crc32Update(crc32Update(0, data.data(), 12345), data.data() + 12345, data.size() - 12345);
  const uint32_t adler =
      adler32Update(adler32Update(1, data.data(), 12345), data.data() + 12345, data.size() - 12345);
  EXPECT_EQ(crc, zlibCrc(data));
  EXPECT_EQ(adler, zlibAdler(data));
}

// The rolled CRC of every window equals the CRC computed afresh, for window
// sizes from one byte to a whole default chunk and for data of each shape;
// so do the Adler sums kept along.
TEST(WeakChecksum, RollingEqualsRecomputedAtEveryPosition) {
  struct Case {
    uint64_t window;
    size_t length;
    size_t stride;  // positions checked against a fresh computation
  };
  const Case cases[] = {{1, 300, 1}, {7, 500, 1}, {4096, 12000, 1}, {65539, 140000, 97}, {1048576, 1200000, 4099}};
  for (const Case& c : cases) {
    for (const char* shape : {"random", "zeros", "repeat", "sparse"}) {
      const std::string data = shapedBytes(shape, c.length, static_cast<uint32_t>(c.window));
      const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
      const CrcWindow window(c.window);
      uint32_t state = window.start(bytes);
      uint64_t sum = 0;
      uint64_t weighted = 0;
      for (uint64_t j = 0; j < c.window; ++j) {
        sum += bytes[j];
        weighted += (c.window - j) * bytes[j];
      }
      for (size_t pos = 0;; ++pos) {
        if (pos % c.stride == 0 || pos + c.window == data.size()) {
          const std::string w = data.substr(pos, c.window);
          ASSERT_EQ(window.crcOf(state), zlibCrc(w)) << shape << " window " << c.window << " at " << pos;
          ASSERT_EQ(adlerFromSums(c.window, sum, weighted), zlibAdler(w))
              << shape << " window " << c.window << " at " << pos;
        }
        if (pos + c.window == data.size()) break;
        const unsigned char out = bytes[pos];
        const unsigned char in = bytes[pos + c.window];
        state = window.roll(state, out, in);
        sum = sum + in - out;
        weighted = weighted + sum - c.window * out;
      }
      EXPECT_EQ(window.stateOf(window.crcOf(state)), state);
    }
  }
}

TEST(WeakChecksum, RawStatesCombineAsConcatenation) {
  const std::string a = randomBytes(1000, 1);
  const std::string b = randomBytes(777, 2);
  const uint32_t rawA = crcRawUpdate(0, a.data(), a.size());
  const uint32_t rawB = crcRawUpdate(0, b.data(), b.size());
  const std::string ab = a + b;
  EXPECT_EQ(crcShift(rawA, b.size()) ^ rawB, crcRawUpdate(0, ab.data(), ab.size()));
  EXPECT_EQ(crcFromRaw(crcRawUpdate(0, ab.data(), ab.size()), ab.size()), zlibCrc(ab));
  EXPECT_EQ(crcFromRaw(0, 0), 0u);
}

TEST(WeakChecksum, TextFormIsSixteenLowercaseHexDigits) {
  EXPECT_EQ(weakToText(0), "0000000000000000");
  EXPECT_EQ(weakToText(packWeak(0xcbf43926u, 0x091e01deu)), "cbf43926091e01de");
  uint64_t value = 0;
  ASSERT_TRUE(weakFromText("cbf43926091e01de", value));
  EXPECT_EQ(weakCrc(value), 0xcbf43926u);
  EXPECT_EQ(weakAdler(value), 0x091e01deu);
  ASSERT_TRUE(weakFromText("ffffffffffffffff", value));
  EXPECT_EQ(value, ~uint64_t{0});
  const char* bad[] = {"", "cbf43926091e01d", "cbf43926091e01de0", "CBF43926091E01DE", "cbf43926 91e01de",
                       "0x f43926091e01d", "cbf43926091e01dg", "-bf43926091e01de"};
  for (const char* text : bad) {
    value = 42;
    EXPECT_FALSE(weakFromText(text, value)) << text;
    EXPECT_EQ(value, 42u) << text;
  }
}

}  // namespace
}  // namespace launcher
