#include "shell/bridge.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

TEST(BridgeTest, PageMessagesThatAreNotJsonObjectsAreIgnored) {
  const char* ignored[] = {
      "",         "   ",        "not json",    "{",          "{\"cmd\":}", "[]",
      "[{\"cmd\":\"close\"}]",  "\"close\"",   "42",         "null",       "true",
      "{\"cmd\":\"close\"} x",  "{\"cmd\":\"\xff\"}",  // invalid UTF-8 inside a string
  };
  for (const char* text : ignored) EXPECT_FALSE(parsePageMessage(text).has_value()) << text;

  auto command = parsePageMessage(R"( {"cmd":"install","play":true} )");
  ASSERT_TRUE(command.has_value());
  EXPECT_EQ((*command)["cmd"], "install");
  EXPECT_EQ((*command)["play"], true);
}

TEST(BridgeTest, RoundTripKeepsNonAsciiQuotesAndLineSeparators) {
  nlohmann::json message = {
      {"type", "toast"},
      {"text", "Grüße, 世界 \"quoted\" \\ back\u2028line\u2029para </script> \n\t 😀"},
  };
  std::string text = dumpForPage(message);
  // Compact, UTF-8 as is; line breaks escaped, so the text is one line.
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_NE(text.find("Grüße, 世界"), std::string::npos);
  EXPECT_NE(text.find("\u2028"), std::string::npos);
  EXPECT_EQ(text.find(": "), std::string::npos);
  EXPECT_TRUE(isValidUtf8(text));
  auto back = parsePageMessage(text);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, message);
}

TEST(BridgeTest, InvalidUtf8IsReplacedInsteadOfAborting) {
  nlohmann::json message = {{"type", "state"}, {"path", std::string("/home/u/sp\xe9\xff/saves")}};
  std::string text;
  ASSERT_NO_THROW(text = dumpForPage(message));
  EXPECT_TRUE(isValidUtf8(text));
  auto back = parsePageMessage(text);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ((*back)["path"], "/home/u/sp\xef\xbf\xbd\xef\xbf\xbd/saves");
}

TEST(BridgeTest, Utf8Validation) {
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain", true},
      {"\xc3\xa9", true},
      {"\xe2\x80\xa8", true},
      {"\xf0\x9f\x98\x80", true},
      {"\xc3", false},              // cut short
      {"\xc0\xaf", false},          // overlong "/"
      {"\xe0\x80\xaf", false},      // overlong "/"
      {"\xed\xa0\x80", false},      // UTF-16 surrogate
      {"\xf4\x90\x80\x80", false},  // past U+10FFFF
      {"\xff", false},
      {"a\x80", false},
  };
  for (const Case& c : cases) EXPECT_EQ(isValidUtf8(c.text), c.valid) << testing::PrintToString(c.text);
}

}  // namespace
}  // namespace launcher
