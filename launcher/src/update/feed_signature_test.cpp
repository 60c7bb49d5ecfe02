#include "update/feed_signature.h"

#include "base/base64.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

// Made once by the release tools' library (Python's cryptography), so that
// this checks our verifier against another implementation, on every build.
constexpr const char* key1 = "BM9S7hjXcsflCdyCmJYt+JH7q2rjE4yZU9+ZSDiUH//MZoEhgBCX8PJ7rGW3juoS9nJu/HoOEefln7CRkVeKNJk=";
constexpr const char* key2 = "BOe5CLr/Iq9ZuHNZdwbqVlWY1YyrvDoVQOG/x0U2v6VMEKLSrXykg8yL44rwdTd+KU9IISlNHrozPKWNKwuQ6iQ=";
constexpr const char* document = "{\"channel\":\"stable\",\"serial\":7}\n";
constexpr const char* sigByKey1 =
    "y00nfW/0OGa5ZYNF2aB+AQOksT1mP0+1EbOL+2j8ggwBxgTQmLybkSAzQwstiu00mCFzUx6RbPLiEjUy3omFIg==";
constexpr const char* sigByKey2 =
    "R0Y/moAfXnhHm75XF72N/6l1BXSIPUeWC9Qtuh0qmInjUMs3l1buCWyBvEXeXemdU3XYmPdU/+koU0geCbSwhQ==";
constexpr const char* emptyByKey1 =
    "HyN1J9eVJg5EFbrcnBwK3qHPgt5XuHjxr+8amQKyvl5Yh25xKkq7TNMz4EEUISXlbZsXDV6//+mbuH0eAwBs8Q==";

std::string point(const char* base64) {
  std::string out;
  EXPECT_TRUE(decodeFeedKey(base64, out)) << base64;
  return out;
}

// The signature text with one bit of its raw bytes flipped.
std::string flipped(const char* base64, size_t byte) {
  std::string raw;
  EXPECT_TRUE(decodeBase64(base64, raw));
  raw[byte] = static_cast<char>(raw[byte] ^ 1);
  return encodeBase64(raw);
}

TEST(FeedSignature, VerifiesOnlyTheSignedBytesByATrustedKey) {
  const std::string k1 = point(key1);
  const std::string k2 = point(key2);
  std::string changed = document;
  changed[20] = '8';
  struct Case {
    const char* name;
    std::string document;
    std::string signature;
    std::vector<std::string> keys;
    bool valid;
  };
  const Case cases[] = {
      {"signed by the key", document, sigByKey1, {k1}, true},
      {"with a line end, as a .sig file", document, std::string(sigByKey1) + "\n", {k1}, true},
      {"one trusted key of two", document, sigByKey2, {k1, k2}, true},
      {"the empty document", "", emptyByKey1, {k1}, true},
      {"no trusted key", document, sigByKey1, {}, false},
      {"another key", document, sigByKey1, {k2}, false},
      {"one byte of the document changed", changed, sigByKey1, {k1}, false},
      {"a byte added", std::string(document) + " ", sigByKey1, {k1}, false},
      {"r changed", document, flipped(sigByKey1, 5), {k1}, false},
      {"s changed", document, flipped(sigByKey1, 40), {k1}, false},
      {"r and s swapped", document,
       [] {
         std::string raw;
         EXPECT_TRUE(decodeBase64(sigByKey1, raw));
         return encodeBase64(raw.substr(32) + raw.substr(0, 32));
       }(),
       {k1}, false},
      {"all zeros", document, encodeBase64(std::string(64, '\0')), {k1}, false},
      {"all ones", document, encodeBase64(std::string(64, '\xff')), {k1}, false},
      {"too short", document, encodeBase64(std::string(63, 'a')), {k1}, false},
      {"DER instead of raw", document, encodeBase64(std::string("\x30\x44\x02\x20") + std::string(68, 'a')), {k1}, false},
      {"not Base64", document, "not a signature", {k1}, false},
      {"empty file", document, "", {k1}, false},
      {"a key of the wrong length", document, sigByKey1, {k1.substr(0, 64)}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(verifyFeedSignature(c.document, c.signature, c.keys), c.valid) << c.name;
  }
}

TEST(FeedSignature, KeyTextsAreChecked) {
  std::string out;
  EXPECT_TRUE(decodeFeedKey(std::string(" ") + key1 + "\n", out));
  EXPECT_EQ(out.size(), feedKeyBytes);
  // Compressed points, raw X and Y without the 0x04, and garbage are refused.
  std::string raw;
  ASSERT_TRUE(decodeBase64(key1, raw));
  EXPECT_FALSE(decodeFeedKey(encodeBase64(raw.substr(1)), out));
  EXPECT_FALSE(decodeFeedKey(encodeBase64("\x02" + raw.substr(1, 32)), out));
  EXPECT_FALSE(decodeFeedKey(encodeBase64("\x05" + raw.substr(1)), out));
  EXPECT_FALSE(decodeFeedKey("", out));
  EXPECT_FALSE(decodeFeedKey("BM9S", out));
}

TEST(FeedSignature, AKeyOffTheCurveVerifiesNothing) {
  std::string raw;
  ASSERT_TRUE(decodeBase64(key1, raw));
  raw[64] = static_cast<char>(raw[64] ^ 1);  // Y no longer matches X
  std::string bad;
  ASSERT_TRUE(decodeFeedKey(encodeBase64(raw), bad));
  EXPECT_FALSE(verifyFeedSignature(document, sigByKey1, {bad}));
  EXPECT_FALSE(verifyP256Sha256(bad, document, std::string(64, '\1')));
}

}  // namespace
}  // namespace launcher
