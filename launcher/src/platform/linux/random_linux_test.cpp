#include "platform/linux/random_linux.h"
#include "platform/random.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace launcher {
namespace {

TEST(RandomBytesTest, RandomBytesThatFailGiveAnErrorNotAWeakSecret) {
  unsigned char bytes[16] = {};
  std::string error;
  EXPECT_FALSE(posix::fillRandomBytesFrom(
      [](void*, std::size_t, unsigned int) -> ssize_t {
        errno = ENOSYS;
        return -1;
      },
      bytes, sizeof bytes, error));
  EXPECT_NE(error.find(std::strerror(ENOSYS)), std::string::npos) << error;

  error.clear();
  EXPECT_FALSE(posix::fillRandomBytesFrom([](void*, std::size_t, unsigned int) -> ssize_t { return 0; }, bytes,
                                          sizeof bytes, error));
  EXPECT_FALSE(error.empty());
}

TEST(RandomBytesTest, InterruptedAndShortReadsAreRetriedToTheFullLength) {
  static int calls;
  calls = 0;
  unsigned char bytes[16] = {};
  std::string error;
  // Interrupted once, then four bytes at a time.
  ASSERT_TRUE(posix::fillRandomBytesFrom(
      [](void* buffer, std::size_t length, unsigned int) -> ssize_t {
        if (calls++ == 0) {
          errno = EINTR;
          return -1;
        }
        std::size_t n = std::min<std::size_t>(length, 4);
        std::memset(buffer, 0xa0 + calls, n);
        return static_cast<ssize_t>(n);
      },
      bytes, sizeof bytes, error))
      << error;
  EXPECT_EQ(calls, 5);
  for (std::size_t i = 0; i < sizeof bytes; ++i) EXPECT_EQ(bytes[i], 0xa2 + i / 4) << i;
}

TEST(RandomBytesTest, TheSystemSourceFillsEveryByte) {
  // Two draws of 64 bytes: equal, or either all zero, would mean no source at all.
  unsigned char a[64] = {}, b[64] = {}, zero[64] = {};
  std::string error;
  ASSERT_TRUE(fillRandomBytes(a, sizeof a, error)) << error;
  ASSERT_TRUE(fillRandomBytes(b, sizeof b, error)) << error;
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
  EXPECT_NE(std::memcmp(a, zero, sizeof a), 0);
}

}  // namespace
}  // namespace launcher
