#include "base/base64.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

TEST(Base64, RoundTripsEveryLengthAndByte) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t n = 0; n <= all.size(); n += (n < 8 ? 1 : 37)) {
    const std::string bytes = all.substr(0, n);
    std::string back;
    ASSERT_TRUE(decodeBase64(encodeBase64(bytes), back)) << n;
    EXPECT_EQ(back, bytes) << n;
  }
}

TEST(Base64, KnownVectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}, {"\xff\xfe", "//4="}};
  for (const auto& [plain, coded] : vectors) {
    EXPECT_EQ(encodeBase64(plain), coded);
    std::string back;
    ASSERT_TRUE(decodeBase64(coded, back)) << coded;
    EXPECT_EQ(back, plain);
  }
}

TEST(Base64, RefusesWhatIsNotCanonical) {
  const char* bad[] = {
      "Zg",        // unpadded
      "Zg=",       // short padding
      "Z===",      // three pads
      "Zg==Zg==",  // padding in the middle
      "Zh==",      // unused bits set: would decode like "Zg=="
      "Zm9=",      // likewise for one pad
      "Zm9v\n",    // whitespace
      "Zm-v",      // URL-safe alphabet
      "Zm9v====",  // a block of padding
      "=Zm9",      // padding first
  };
  for (const char* text : bad) {
    std::string bytes;
    EXPECT_FALSE(decodeBase64(text, bytes)) << text;
  }
}

}  // namespace
}  // namespace launcher
