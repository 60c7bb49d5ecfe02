#include "app/launcher_main.h"

#include "platform/platform.h"
#include "update/location.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

TEST(StartFlags, FoundAsSubstringsOfTheJoinedArguments) {
  struct Row {
    std::vector<std::string> args;
    bool updated;
    bool firstRun;
  };
  const Row rows[] = {
      {{}, false, false},
      {{"--updated"}, true, false},
      {{"--first-run"}, false, true},
      {{"x--updatedy"}, true, false},  // part of a longer word still counts
      {{"--ui=browser", "--first-run", "--updated"}, true, true},
      {{"--up", "dated"}, false, false},
      {{"--first", "-run"}, false, false},
      {{"--update"}, false, false},
  };
  for (const Row& r : rows) {
    const StartFlags f = parseStartFlags(r.args);
    EXPECT_EQ(f.updated, r.updated) << ::testing::PrintToString(r.args);
    EXPECT_EQ(f.firstRun, r.firstRun) << ::testing::PrintToString(r.args);
  }
}

TEST(StartFlags, RestartPassesOnTheUiAndPortInEitherForm) {
  EXPECT_EQ(restartArguments({"--ui=browser", "--port", "8080", "--first-run", "--updated"}),
            (std::vector<std::string>{"--ui=browser", "--port", "8080"}));
  EXPECT_EQ(restartArguments({"--ui", "gtk", "--port=0"}), (std::vector<std::string>{"--ui", "gtk", "--port=0"}));
  EXPECT_EQ(restartArguments({"--first-run"}), std::vector<std::string>{});
  EXPECT_EQ(restartArguments({"--port"}), std::vector<std::string>{"--port"});
}

TEST(InfoRequest, HelpAndVersionAnswerUnlessTheArgumentsAreASync) {
  struct Row {
    std::vector<std::string> args;
    InfoRequest expected;
  };
  const Row rows[] = {
      {{}, InfoRequest::None},
      {{"--help"}, InfoRequest::Help},
      {{"-h"}, InfoRequest::Help},
      {{"--version"}, InfoRequest::Version},
      {{"--ui=browser", "--version"}, InfoRequest::Version},
      {{"--version", "--help"}, InfoRequest::Help},  // help says more, and names --version
      {{"--help", "--version"}, InfoRequest::Help},
      {{"--sync", "--help"}, InfoRequest::None},     // the sync prints its own usage
      {{"--version", "--sync", "a", "b"}, InfoRequest::None},
      {{"--helpme"}, InfoRequest::None},             // whole arguments only
      {{"x--version"}, InfoRequest::None},
      {{"--versions"}, InfoRequest::None},
      {{"--first-run"}, InfoRequest::None},
      {{"--port", "--help-me"}, InfoRequest::None},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(parseInfoRequest(r.args), r.expected) << ::testing::PrintToString(r.args);
  }
  EXPECT_EQ(infoText(InfoRequest::Version), "vantor-launcher 1.0.0\n");
  EXPECT_EQ(infoText(InfoRequest::Help).rfind("Usage: vantor-launcher [--ui=gtk|browser|auto]", 0), 0u);
  EXPECT_EQ(infoText(InfoRequest::None), "");
}

// Without its own path every folder of the launcher would be relative to
// wherever it was started from.
TEST(StartPaths, OnlyAFullExecutablePathIsUsed) {
  struct Row {
    std::filesystem::path path;
    bool usable;
  };
  // A full path as this system writes one ("/opt/..." names no drive on Windows).
  const Row rows[] = {
      {"", false},
      {"vantor-launcher", false},
      {"bin/vantor-launcher", false},
      {executablePath(), true},
  };
  for (const Row& r : rows) {
    std::string error;
    EXPECT_EQ(usableExecutablePath(r.path, error), r.usable) << toUtf8(r.path);
    EXPECT_EQ(error.empty(), r.usable) << toUtf8(r.path) << ": " << error;
  }
}

}  // namespace
}  // namespace launcher
