#include "base/log.h"

#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Each test opens its own log and closes it, so the process-wide log never
// points into a removed folder afterwards.
class LogTest : public ::testing::Test {
 protected:
  void TearDown() override { stopLog(); }
  TempDir dir_;
};

TEST_F(LogTest, AppendingLeavesTheRunningLogAndItsOldCopyInPlace) {
  const fs::path file = dir_ / "logs" / "launcher.log";
  startLogAt(file.string());
  writeLog("info", "previous run");
  startLogAt(file.string());
  writeLog("info", "running launcher");
  appendToLog(dir_ / "logs");
  writeLog("error", "refused start");
  stopLog();
  const std::vector<std::string> current = linesOf(readFile(file));
  ASSERT_EQ(current.size(), 2u);
  EXPECT_NE(current[0].find("running launcher"), std::string::npos);
  EXPECT_NE(current[1].find("[error] refused start"), std::string::npos);
  const std::string old = readFile(dir_ / "logs" / "launcher.log.old");
  EXPECT_NE(old.find("previous run"), std::string::npos);
  EXPECT_EQ(linesOf(old).size(), 1u);
}

TEST_F(LogTest, SecondStartMovesTheFirstRunToOld) {
  const fs::path file = dir_ / "logs" / "launcher.log";
  startLogAt(file.string());
  writeLog("info", "first run");
  startLogAt(file.string());
  writeLog("info", "second run");
  stopLog();
  const std::string old = readFile(dir_ / "logs" / "launcher.log.old");
  const std::string current = readFile(file);
  EXPECT_NE(old.find("first run"), std::string::npos);
  EXPECT_EQ(old.find("second run"), std::string::npos);
  EXPECT_NE(current.find("second run"), std::string::npos);
  EXPECT_EQ(current.find("first run"), std::string::npos);
  EXPECT_EQ(linesOf(current).size(), 1u);
}

TEST_F(LogTest, LinesAreTimeLevelMessage) {
  const fs::path file = dir_ / "launcher.log";
  startLogAt(file.string());
  writeLog("info", "msg");
  logf("warn", "Install size {} KiB", 42);
  stopLog();
  const std::vector<std::string> lines = linesOf(readFile(file));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(^\d\d:\d\d:\d\d \[info\] msg$)"))) << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(^\d\d:\d\d:\d\d \[warn\] Install size 42 KiB$)")))
      << lines[1];
  const int hours = std::stoi(lines[0].substr(0, 2));
  const int minutes = std::stoi(lines[0].substr(3, 2));
  const int seconds = std::stoi(lines[0].substr(6, 2));
  EXPECT_LT(hours, 24);
  EXPECT_LT(minutes, 60);
  EXPECT_LT(seconds, 60);
}

TEST_F(LogTest, MessageWithLineBreakIsWrittenUnchangedWithOneLineFeed) {
  const fs::path file = dir_ / "launcher.log";
  startLogAt(file.string());
  writeLog("error", "first\nsecond\r\nthird");
  stopLog();
  const std::string text = readFile(file);
  EXPECT_TRUE(std::regex_match(text, std::regex("^\\d\\d:\\d\\d:\\d\\d \\[error\\] first\nsecond\r\nthird\n$")))
      << text;
}

TEST_F(LogTest, UnwritableLogsFolderLogsNothingAndDoesNotFail) {
  // A file where the logs folder should be: nothing can be created below it.
  writeFile(dir_ / "logs", "not a folder");
  startLogAt((dir_ / "logs" / "launcher.log").string());
  writeLog("info", "goes only to the debugger channel");
  logf("warn", "{} and {}", "still", "safe");
  stopLog();
  writeLog("info", "after stop");
  EXPECT_TRUE(fs::is_regular_file(dir_ / "logs"));
  EXPECT_EQ(readFile(dir_ / "logs"), "not a folder");

  // A later start at a usable place works again.
  startLogAt((dir_ / "ok.log").string());
  writeLog("info", "back");
  stopLog();
  EXPECT_EQ(linesOf(readFile(dir_ / "ok.log")).size(), 1u);
}

TEST_F(LogTest, LinesFromEightThreadsNeverInterleave) {
  const fs::path file = dir_ / "launcher.log";
  startLogAt(file.string());
  constexpr int threadCount = 8;
  constexpr int linesPerThread = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < threadCount; ++t) {
    threads.emplace_back([t] {
      // Long lines, so a write split between threads would show.
      const std::string body(300, static_cast<char>('a' + t));
      for (int i = 0; i < linesPerThread; ++i) logf("info", "t{} {} {}", t, i, body);
    });
  }
  for (std::thread& thread : threads) thread.join();
  stopLog();

  // The head is matched by pattern, the long body byte by byte.
  const std::regex head(R"(^\d\d:\d\d:\d\d \[info\] t(\d) (\d+) $)");
  std::map<int, std::vector<int>> seen;
  const std::vector<std::string> lines = linesOf(readFile(file));
  ASSERT_EQ(lines.size(), static_cast<size_t>(threadCount * linesPerThread));
  for (const std::string& line : lines) {
    ASSERT_GT(line.size(), 300u) << line;
    const std::string lineHead = line.substr(0, line.size() - 300);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lineHead, match, head)) << lineHead;
    const int t = std::stoi(match[1]);
    ASSERT_EQ(line.substr(line.size() - 300), std::string(300, static_cast<char>('a' + t))) << lineHead;
    seen[t].push_back(std::stoi(match[2]));
  }
  for (int t = 0; t < threadCount; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(linesPerThread)) << "thread " << t;
    for (int i = 0; i < linesPerThread; ++i) EXPECT_EQ(seen[t][i], i) << "thread " << t;
  }
}

}  // namespace
}  // namespace launcher
