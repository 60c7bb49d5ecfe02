#include "app/launcher_main.h"

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

// Help and version answer from anywhere on the line (help first), and
// nothing else does: a start with a word merely containing them goes on.
TEST(StartInfo, HelpAndVersionAnswerAloneAndAnythingElseStarts) {
  struct Row {
    std::vector<std::string> args;
    bool answers;
    const char* startsWith;
  };
  const Row rows[] = {
      {{"--version"}, true, "vantor-launcher 1.0.0\n"},
      {{"--ui=browser", "--version"}, true, "vantor-launcher 1.0.0\n"},
      {{"--help"}, true, "Usage: vantor-launcher "},
      {{"-h"}, true, "Usage: vantor-launcher "},
      {{"--version", "--help"}, true, "Usage: vantor-launcher "},
      {{}, false, ""},
      {{"--first-run"}, false, ""},
      {{"--versions"}, false, ""},
      {{"--port", "--help-me"}, false, ""},
  };
  for (const Row& r : rows) {
    std::string text;
    EXPECT_EQ(infoRequested(r.args, text), r.answers) << ::testing::PrintToString(r.args);
    EXPECT_EQ(text.rfind(r.startsWith, 0), 0u) << ::testing::PrintToString(r.args) << text;
    if (!r.answers) {
      EXPECT_EQ(text, "");
    }
  }
}

// Without its own path every folder of the launcher would be relative to
// wherever it was started from.
TEST(StartPaths, OnlyAFullExecutablePathIsUsed) {
  struct Row {
    const char* path;
    bool usable;
  };
  const Row rows[] = {
      {"", false},
      {"vantor-launcher", false},
      {"bin/vantor-launcher", false},
      {"/opt/vantor/vantor-launcher", true},
  };
  for (const Row& r : rows) {
    std::string error;
    EXPECT_EQ(usableExecutablePath(r.path, error), r.usable) << r.path;
    EXPECT_EQ(error.empty(), r.usable) << r.path << ": " << error;
  }
}

}  // namespace
}  // namespace launcher
