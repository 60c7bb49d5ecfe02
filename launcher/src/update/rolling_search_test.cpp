#include "update/rolling_search.h"

#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;

std::string randomBytes(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

// Every position in [first, last] whose window's state is in `states`,
// rolled one lane at a time over the bytes in memory.
std::set<uint64_t> expectedPositions(const std::string& data, const CrcWindow& crc, uint64_t first, uint64_t last,
                                     const std::set<uint32_t>& states) {
  std::set<uint64_t> out;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  uint32_t state = crc.start(bytes + first);
  for (uint64_t p = first;; ++p) {
    if (states.count(state)) out.insert(p);
    if (p == last) break;
    state = crc.roll(state, bytes[p], bytes[p + crc.window()]);
  }
  return out;
}

// The interleaved lanes (one, two or four, with a remainder for the last)
// report exactly the positions a plain roll finds, each once, with the
// window's own bytes.
TEST(WindowRoller, FindsEveryWantedPositionWithAnyNumberOfLanes) {
  struct Case {
    const char* name;
    uint64_t window;
    size_t size;
    uint64_t first;
    uint64_t lastFromEnd;  // last = size - window - this
  };
  const Case cases[] = {
      {"one position", 4096, 4096, 0, 0},
      {"one lane", 4096, 4096 * 3 + 17, 0, 0},
      {"two lanes", 4096, 4096 * 9 + 5, 0, 0},
      {"four lanes, remainder", 4096, 4096 * 40 + 3, 0, 0},
      {"four lanes, inner stretch", 4096, 4096 * 60, 1001, 777},
      {"window not a block multiple", 300001, 300001 * 17 + 999, 0, 0},
      {"window over a block", 262145, 262145 * 5, 3, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string data = randomBytes(c.size, static_cast<uint32_t>(c.size));
    const CrcWindow crc(c.window);
    const uint64_t last = c.size - c.window - c.lastFromEnd;
    // Wanted: windows at chosen places, the first and last positions, one
    // window that also lies a bit further on, and states nowhere in the data.
    std::mt19937 gen(7);
    std::vector<uint64_t> planted = {c.first, last};
    for (int i = 0; i < 6; ++i) planted.push_back(c.first + gen() % (last - c.first + 1));
    if (last - c.first > 3 * c.window) {
      const uint64_t copyAt = c.first + 2 * c.window + 3;
      data.replace(static_cast<size_t>(copyAt), static_cast<size_t>(c.window),
                   data.substr(static_cast<size_t>(c.first), static_cast<size_t>(c.window)));
      planted.push_back(copyAt);
    }
    writeFile(dir / "f.bin", data);
    std::set<uint32_t> states;
    for (uint64_t p : planted) states.insert(crc.start(reinterpret_cast<const unsigned char*>(data.data()) + p));
    for (int i = 0; i < 50; ++i) states.insert(static_cast<uint32_t>(gen()));
    CrcSet wanted;
    wanted.assign(std::vector<uint32_t>(states.begin(), states.end()));

    std::multiset<uint64_t> seen;
    WindowRoller roller(crc);
    uint64_t read = 0;
    const RollEnd end = roller.roll(
        dir / "f.bin", c.first, last, wanted, ~uint64_t{0}, nullptr,
        [&](uint64_t position, uint32_t state, const BytePieces& bytes) {
          std::string window;
          for (const auto& [p, n] : bytes) window.append(reinterpret_cast<const char*>(p), n);
          EXPECT_EQ(window, data.substr(static_cast<size_t>(position), static_cast<size_t>(c.window)));
          EXPECT_EQ(crc.start(reinterpret_cast<const unsigned char*>(window.data())), state);
          seen.insert(position);
          return true;
        },
        read);
    EXPECT_EQ(end, RollEnd::Done);
    const std::set<uint64_t> expected = expectedPositions(data, crc, c.first, last, states);
    EXPECT_EQ(std::set<uint64_t>(seen.begin(), seen.end()), expected);
    EXPECT_EQ(seen.size(), expected.size()) << "a position reported twice";
    for (uint64_t p : planted) EXPECT_TRUE(expected.count(p)) << p;
    // Lanes read one window each beyond their stretch, no more.
    EXPECT_GE(read, last - c.first + c.window);
    EXPECT_LE(read, last - c.first + 4 * c.window);
  }
}

// An old file rolled for every chunk of its edited version (bytes inserted
// and deleted at random places), with sets from a few states to many (so
// that the bitmap in front takes several sizes): the roll reports exactly
// the positions a plain one-lane roll finds, and the callback may take a
// found state out of the set as the search does.
TEST(WindowRoller, MatchesAPlainRollOnEditedRandomData) {
  const uint64_t window = 4096;
  std::mt19937 gen(11);
  for (const size_t noise : {size_t{0}, size_t{3000}, size_t{300000}}) {
    for (const bool removeFound : {false, true}) {
      SCOPED_TRACE(::testing::Message() << noise << " other states, remove " << removeFound);
      TempDir dir;
      const std::string old = randomBytes(window * 70 + 123, static_cast<uint32_t>(noise + 1));
      std::string edited = old;
      for (int e = 0; e < 12; ++e) {
        const size_t at = gen() % edited.size();
        if (e % 2 == 0) {
          edited.insert(at, randomBytes(1 + gen() % 5000, gen()));
        } else {
          edited.erase(at, std::min<size_t>(1 + gen() % 5000, edited.size() - at));
        }
      }
      writeFile(dir / "old.bin", old);
      const CrcWindow crc(window);
      std::set<uint32_t> states;
      for (size_t at = 0; at + window <= edited.size(); at += window) {
        states.insert(crc.start(reinterpret_cast<const unsigned char*>(edited.data()) + at));
      }
      for (size_t i = 0; i < noise; ++i) states.insert(static_cast<uint32_t>(gen()));
      CrcSet wanted;
      wanted.assign(std::vector<uint32_t>(states.begin(), states.end()));
      std::set<uint64_t> seen;
      std::set<uint32_t> taken;
      WindowRoller roller(crc);
      uint64_t read = 0;
      const uint64_t last = old.size() - window;
      ASSERT_EQ(roller.roll(
                    dir / "old.bin", 0, last, wanted, ~uint64_t{0}, nullptr,
                    [&](uint64_t position, uint32_t state, const BytePieces&) {
                      EXPECT_TRUE(seen.insert(position).second) << "reported twice: " << position;
                      EXPECT_FALSE(taken.count(state)) << "a state taken out matched again at " << position;
                      if (removeFound) {
                        wanted.remove(state);
                        taken.insert(state);
                      }
                      return true;
                    },
                    read),
                RollEnd::Done);
      std::set<uint64_t> expected = expectedPositions(old, crc, 0, last, states);
      EXPECT_GE(expected.size(), 20u) << "the unedited stretches hold chunks of the new version";
      if (removeFound) {
        // Each state once, wherever a lane met it first; every found
        // position is one the plain roll finds, and every state it finds
        // was reported.
        std::set<uint32_t> expectedStates;
        for (uint64_t p : expected) {
          expectedStates.insert(crc.start(reinterpret_cast<const unsigned char*>(old.data()) + p));
        }
        for (uint64_t p : seen) EXPECT_TRUE(expected.count(p)) << p;
        EXPECT_EQ(taken, expectedStates);
      } else {
        EXPECT_EQ(seen, expected);
      }
    }
  }
}

TEST(WindowRoller, StopsAtItsAllowanceAtACancelAndOnAShortFile) {
  TempDir dir;
  const uint64_t window = 4096;
  const std::string data = randomBytes(4096 * 64, 3);
  writeFile(dir / "f.bin", data);
  const CrcWindow crc(window);
  CrcSet wanted;
  // The very last window: only a roll that reaches the end finds it.
  wanted.assign({crc.start(reinterpret_cast<const unsigned char*>(data.data()) + data.size() - window)});
  WindowRoller roller(crc);
  int matches = 0;
  auto count = [&](uint64_t, uint32_t, const BytePieces&) {
    ++matches;
    return true;
  };
  const uint64_t last = data.size() - window;

  uint64_t read = 0;
  EXPECT_EQ(roller.roll(dir / "f.bin", 0, last, wanted, 100000, nullptr, count, read), RollEnd::OutOfBudget);
  EXPECT_LE(read, 100000u);
  EXPECT_EQ(matches, 0);

  std::atomic<bool> cancel{true};
  read = 0;
  EXPECT_EQ(roller.roll(dir / "f.bin", 0, last, wanted, ~uint64_t{0}, &cancel, count, read), RollEnd::Cancelled);
  EXPECT_EQ(matches, 0);

  read = 0;
  EXPECT_EQ(roller.roll(dir / "f.bin", 0, last + 1, wanted, ~uint64_t{0}, nullptr, count, read),
            RollEnd::Unreadable);
  read = 0;
  EXPECT_EQ(roller.roll(dir / "missing.bin", 0, last, wanted, ~uint64_t{0}, nullptr, count, read),
            RollEnd::Unreadable);

  read = 0;
  EXPECT_EQ(roller.roll(dir / "f.bin", 0, last, wanted, ~uint64_t{0}, nullptr,
                        [&](uint64_t, uint32_t, const BytePieces&) { return false; }, read),
            RollEnd::Stopped);
}

TEST(CrcSet, RemovedStatesNoLongerPassItsBitmapUnlessShared) {
  CrcSet set;
  EXPECT_FALSE(set.mightContain(5));
  set.assign({5, 5 + (1u << 16), 77});
  EXPECT_TRUE(set.contains(5));
  EXPECT_TRUE(set.mightContain(5));
  set.remove(5);
  EXPECT_FALSE(set.contains(5));
  EXPECT_TRUE(set.mightContain(5)) << "the bit is shared with 5 + 2^16";
  set.remove(5 + (1u << 16));
  EXPECT_FALSE(set.mightContain(5));
  set.remove(77);
  EXPECT_TRUE(set.empty());
}

}  // namespace
}  // namespace launcher
