#include "shell/http_head.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

HeadStatus feedAll(HeadReader& reader, std::string_view bytes, std::size_t& used) {
  return reader.feed(bytes, used);
}

// The same bytes, one at a time, as a slow client sends them.
HeadStatus feedByteByByte(HeadReader& reader, std::string_view bytes, std::size_t& usedTotal) {
  usedTotal = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::size_t used = 0;
    HeadStatus status = reader.feed(bytes.substr(i, 1), used);
    usedTotal += used;
    if (status != HeadStatus::Incomplete) return status;
  }
  return reader.status();
}

TEST(HttpHeadTest, AHeadReadsTheSameWholeOrByteByByteAndLeavesTheBody) {
  const std::string request =
      "POST /bridge/cmd?x=1&token=abc HTTP/1.1\r\nHost: 127.0.0.1:1\r\nX-Empty:\r\n"
      "x-vantor-session:  s1 \t\r\nX-Vantor-Session: s2\r\n\r\nbody";
  for (auto feed : {feedAll, feedByteByByte}) {
    HeadReader reader;
    std::size_t used = 0;
    ASSERT_EQ(feed(reader, request, used), HeadStatus::Complete);
    EXPECT_EQ(request.substr(used), "body");
    const RequestHead& head = reader.head();
    EXPECT_EQ(head.method, "POST");
    EXPECT_EQ(head.target, "/bridge/cmd?x=1&token=abc");
    EXPECT_EQ(head.path, "/bridge/cmd");
    EXPECT_EQ(head.query, "x=1&token=abc");
    EXPECT_EQ(head.version, "HTTP/1.1");
    EXPECT_EQ(head.count("X-VANTOR-SESSION"), 2u);
    EXPECT_EQ(head.value("X-Vantor-Session"), "s1");
    EXPECT_EQ(head.count("X-Empty"), 1u);
    EXPECT_EQ(head.value("X-Empty"), "");
    EXPECT_EQ(head.count("Cookie"), 0u);
    std::string value;
    EXPECT_TRUE(head.queryParameter("token", value));
    EXPECT_EQ(value, "abc");
    EXPECT_FALSE(head.queryParameter("tok", value));
    // Done: more bytes are the body's, never the head's.
    EXPECT_EQ(reader.feed("GET / HTTP/1.1\r\n\r\n", used), HeadStatus::Complete);
    EXPECT_EQ(used, 0u);
  }
}

TEST(HttpHeadTest, EachBoundHoldsToTheByte) {
  HeadLimits limits;
  limits.maxLineBytes = 32;
  limits.maxHeaderLines = 3;
  limits.maxHeadBytes = 100;
  const std::string requestLine = "GET / HTTP/1.1\r\n";  // 16 bytes
  struct Case {
    const char* what;
    std::string bytes;
    HeadStatus status;
  } cases[] = {
      {"a header line of exactly the cap", requestLine + "X: " + std::string(27, 'a') + "\r\n\r\n", HeadStatus::Complete},
      {"a header line one over", requestLine + "X: " + std::string(28, 'a') + "\r\n\r\n", HeadStatus::LineTooLong},
      {"a line that never ends", requestLine + "X: " + std::string(1000, 'a'), HeadStatus::LineTooLong},
      {"a request line one over", "GET /" + std::string(17, 'a') + " HTTP/1.1\r\n\r\n", HeadStatus::LineTooLong},
      {"the most header lines", requestLine + "A: 1\r\nB: 2\r\nC: 3\r\n\r\n", HeadStatus::Complete},
      {"one header line more", requestLine + "A: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n", HeadStatus::TooManyLines},
      {"a head over its size", requestLine + "A: " + std::string(27, 'a') + "\r\nB: " + std::string(27, 'b') +
                                   "\r\nC: " + std::string(27, 'c') + "\r\n\r\n",
       HeadStatus::TooLarge},
      {"an unfinished head", requestLine + "A: 1\r\n", HeadStatus::Incomplete},
  };
  for (const Case& c : cases) {
    for (auto feed : {feedAll, feedByteByByte}) {
      HeadReader reader(limits);
      std::size_t used = 0;
      EXPECT_EQ(feed(reader, c.bytes, used), c.status) << c.what;
      // A refused head keeps at most one line in memory, and says so ever after.
      if (c.status != HeadStatus::Complete && c.status != HeadStatus::Incomplete) {
        EXPECT_EQ(reader.feed("more\r\n\r\n", used), c.status) << c.what;
        EXPECT_EQ(used, 0u) << c.what;
      }
    }
  }
  EXPECT_EQ(statusFor(HeadStatus::LineTooLong, true), 414);
  EXPECT_EQ(statusFor(HeadStatus::LineTooLong, false), 431);
  EXPECT_EQ(statusFor(HeadStatus::TooManyLines, false), 431);
  EXPECT_EQ(statusFor(HeadStatus::TooLarge, false), 431);
  EXPECT_EQ(statusFor(HeadStatus::Malformed, true), 400);
  EXPECT_EQ(statusFor(HeadStatus::Complete, false), 0);
}

TEST(HttpHeadTest, MalformedHeadsAreRefusedNotGuessedAt) {
  const char* heads[] = {
      "\r\n",                                     // a blank first line
      "GET / HTTP/1.1\n\n",                       // bare line feeds
      "GET / HTTP/1.1\r\nHost: a\n\r\n",          // one bare line feed
      "GET /  HTTP/1.1\r\n\r\n",                  // two blanks
      "GET / HTTP/1.1 extra\r\n\r\n",             // a fourth part
      "GET\r\n\r\n",                              // no target
      " / HTTP/1.1\r\n\r\n",                      // no method
      "G(T / HTTP/1.1\r\n\r\n",                   // not a token
      "GET * HTTP/1.1\r\n\r\n",                   // asterisk-form
      "GET http://a/ HTTP/1.1\r\n\r\n",           // absolute-form
      "CONNECT a:443 HTTP/1.1\r\n\r\n",           // authority-form
      "GET /\x7f HTTP/1.1\r\n\r\n",               // a control character in the target
      "GET /\xc3\xa9 HTTP/1.1\r\n\r\n",           // raw non-ASCII in the target
      "GET / HTTP/2\r\n\r\n",                     // another protocol
      "GET / http/1.1\r\n\r\n",                   // the version's letter case
      "GET / HTTP/1.1\r\nHost a\r\n\r\n",         // no colon
      "GET / HTTP/1.1\r\n: a\r\n\r\n",            // no name
      "GET / HTTP/1.1\r\nHost : a\r\n\r\n",       // a blank before the colon
      "GET / HTTP/1.1\r\nA: 1\r\n folded\r\n\r\n",  // a folded line
      "GET / HTTP/1.1\r\nA: 1\r\rB: 2\r\n\r\n",   // a lone CR inside
      "GET / HTTP/1.1\r\nA: \x01\r\n\r\n",        // a control character in a value
  };
  for (const char* bytes : heads) {
    HeadReader reader;
    std::size_t used = 0;
    EXPECT_EQ(reader.feed(bytes, used), HeadStatus::Malformed) << bytes;
  }
  // Bytes above ASCII in a value (a cookie of some other program) are kept as they are.
  HeadReader reader;
  std::size_t used = 0;
  ASSERT_EQ(reader.feed("GET / HTTP/1.0\r\nX-A: caf\xc3\xa9\r\n\r\n", used), HeadStatus::Complete);
  EXPECT_EQ(reader.head().value("x-a"), "caf\xc3\xa9");
}

}  // namespace
}  // namespace launcher
