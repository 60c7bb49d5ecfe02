#include "shell/shell_options.h"
#include "shell/window_placement.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

TEST(ShellOptionsTest, ParsesModesAndPorts) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    UiMode ui;
    uint16_t port;
  } cases[] = {
      {{}, true, UiMode::Auto, 0},
      {{"--ui=gtk"}, true, UiMode::Gtk, 0},
      {{"--ui=browser", "--port", "8080"}, true, UiMode::Browser, 8080},
      {{"--ui", "auto", "--port=0"}, true, UiMode::Auto, 0},
      {{"--updated", "--ui=browser", "--first-run"}, true, UiMode::Browser, 0},
      {{"--port=65535"}, true, UiMode::Auto, 65535},
      {{"--ui=GTK"}, false, UiMode::Auto, 0},
      {{"--ui="}, false, UiMode::Auto, 0},
      {{"--ui"}, false, UiMode::Auto, 0},
      {{"--port"}, false, UiMode::Auto, 0},
      {{"--port=65536"}, false, UiMode::Auto, 0},
      {{"--port=-1"}, false, UiMode::Auto, 0},
      {{"--port=80x"}, false, UiMode::Auto, 0},
      {{"--port="}, false, UiMode::Auto, 0},
  };
  for (const Case& c : cases) {
    ShellOptions options;
    std::string error;
    bool ok = parseShellOptions(c.args, options, error);
    std::string label = testing::PrintToString(c.args);
    EXPECT_EQ(ok, c.ok) << label;
    if (ok) {
      EXPECT_EQ(options.ui, c.ui) << label;
      EXPECT_EQ(options.port, c.port) << label;
      // What a restart passes on reads back the same.
      ShellOptions again;
      ASSERT_TRUE(parseShellOptions(shellOptionArguments(options), again, error));
      EXPECT_EQ(again.ui, options.ui);
      EXPECT_EQ(again.port, options.port);
    } else {
      EXPECT_FALSE(error.empty()) << label;
    }
  }
}

TEST(WindowPlacementTest, DesignSizeLimitedToTheWorkAreaAndCentred) {
  struct Case {
    ScreenRect work;
    ScreenRect window;
  } cases[] = {
      {{0, 0, 1920, 1040}, {320, 140, 1280, 760}},
      {{0, 0, 1366, 728}, {43, 0, 1280, 728}},
      {{1920, 0, 2560, 1400}, {2560, 320, 1280, 760}},  // second monitor to the right
      {{0, 32, 1024, 700}, {0, 32, 1024, 700}},
      {{-1280, 100, 1281, 761}, {-1280, 100, 1280, 760}},  // odd spare pixel: rounds towards zero
  };
  for (const Case& c : cases) {
    ScreenRect r = placeWindow(c.work);
    EXPECT_EQ(r.x, c.window.x);
    EXPECT_EQ(r.y, c.window.y);
    EXPECT_EQ(r.width, c.window.width);
    EXPECT_EQ(r.height, c.window.height);
  }
}

}  // namespace
}  // namespace launcher
