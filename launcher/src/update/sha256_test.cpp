#include "update/sha256.h"

#include "testing/temp_dir.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

using testing::TempDir;
using testing::writeFile;

constexpr const char* emptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(Sha256, KnownDigestsAsLowercaseHex) {
  EXPECT_EQ(sha256Hex(std::string()), emptyDigest);
  EXPECT_EQ(sha256Hex(std::string("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Sha256 incremental;
  incremental.update("a", 1);
  incremental.update("bc", 2);
  EXPECT_EQ(incremental.finishHex(), sha256Hex(std::string("abc")));
}

TEST(Sha256, FileDigestMatchesMemoryDigestAndCountsBlocks) {
  TempDir dir;
  std::string bytes(3 * 1048576 + 17, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + 7);
  writeFile(dir / "big", bytes);
  std::vector<uint64_t> blocks;
  EXPECT_EQ(sha256File(dir / "big", nullptr, [&](uint64_t n) { blocks.push_back(n); }), sha256Hex(bytes));
  EXPECT_EQ(blocks, (std::vector<uint64_t>{1048576, 1048576, 1048576, 17}));
}

TEST(Sha256, ExactlyOneMebibyteCallsOnBytesOnce) {
  TempDir dir;
  writeFile(dir / "one", std::string(1048576, 'x'));
  int calls = 0;
  uint64_t total = 0;
  EXPECT_FALSE(sha256File(dir / "one", nullptr, [&](uint64_t n) { ++calls; total += n; }).empty());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(total, 1048576u);
}

TEST(Sha256, EmptyFileGivesTheEmptyInputDigestNotFailure) {
  TempDir dir;
  writeFile(dir / "empty", "");
  EXPECT_EQ(sha256File(dir / "empty"), emptyDigest);
}

TEST(Sha256, MissingFileOrCancelGivesEmptyWithoutReading) {
  TempDir dir;
  int calls = 0;
  EXPECT_EQ(sha256File(dir / "missing", nullptr, [&](uint64_t) { ++calls; }), "");
  writeFile(dir / "present", "data");
  std::atomic<bool> cancel{true};
  EXPECT_EQ(sha256File(dir / "present", &cancel, [&](uint64_t) { ++calls; }), "");
  EXPECT_EQ(calls, 0);
}

TEST(Sha256, DigestValidity) {
  EXPECT_TRUE(isValidDigest(emptyDigest));
  std::string upper = emptyDigest;
  upper[0] = 'E';
  EXPECT_FALSE(isValidDigest(upper));
  EXPECT_FALSE(isValidDigest(std::string(emptyDigest).substr(1)));
  EXPECT_FALSE(isValidDigest(std::string(emptyDigest) + "0"));
  EXPECT_FALSE(isValidDigest(std::string(63, 'a') + "g"));
}

}  // namespace
}  // namespace launcher
