// What the real executable loads: GTK and WebKitGTK only for a window. Browser
// mode, the headless page and the command-line uses never map them. Running
// processes are read through /proc/PID/maps; short-lived ones through the
// dynamic loader's own report (LD_DEBUG=files), which names every object it
// loads, those opened at run time included.
#include "testing/child_process.h"
#include "testing/launcher_process.h"
#include "testing/release_feed.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ProcessResult;
using testing::ScopedEnv;

// Names of the window's libraries as they appear in a memory map or in the
// loader's report.
constexpr const char* windowLibraries[] = {"libgtk-3.so", "libgdk-3.so", "libwebkit2gtk-4.1.so",
                                           "libjavascriptcoregtk-4.1.so"};

std::vector<std::string> windowLibrariesIn(const std::string& text) {
  std::vector<std::string> found;
  for (const char* name : windowLibraries)
    if (text.find(name) != std::string::npos) found.push_back(name);
  return found;
}

std::string memoryMap(int pid) { return testing::readFile("/proc/" + std::to_string(pid) + "/maps"); }

class LoadedLibrariesTest : public ::testing::Test {
 protected:
  // A copy of its own: its game folder lies beside it, outside the build tree.
  void SetUp() override {
    fs::create_directories(dir.path() / "launcher");
    fs::copy_file(VANTOR_LAUNCHER_EXE, exe());
  }

  fs::path exe() const { return dir.path() / "launcher" / "vantor-launcher"; }

  // Runs the launcher to its end with the loader reporting every object it
  // loads on standard error.
  ProcessResult runReported(std::vector<std::string> args) const {
    ScopedEnv debug("LD_DEBUG", "files");
    args.insert(args.begin(), exe().string());
    return testing::runProcess(args, 120000);
  }

  // The loader's report names the C library: it reported at all.
  static void expectReported(const ProcessResult& r) {
    EXPECT_NE(r.err.find("file=libc.so.6"), std::string::npos) << "no loader report: " << testing::describe(r);
  }

  // A display name no X server answers to here.
  static std::string unusedDisplay() {
    for (int n = 997;; ++n) {
      if (!fs::exists("/tmp/.X11-unix/X" + std::to_string(n)) && !fs::exists("/tmp/.X" + std::to_string(n) + "-lock"))
        return ":" + std::to_string(n);
    }
  }

  testing::ScopedHome home;
  testing::TempDir dir;
  ScopedEnv feed{"VANTOR_UPDATE_FEED", (dir.path() / "no-feed").string()};
  // A sanitizer build's leak check reads GTK's lifelong allocations as leaks.
  ScopedEnv leaks{"LSAN_OPTIONS",
                  "suppressions=" + std::string(VANTOR_SOURCE_DIR) + "/launcher/src/shell/tests/lsan_suppressions.txt"};
};

TEST_F(LoadedLibrariesTest, BrowserModeMapsNoWindowLibrary) {
  struct Row {
    const char* ui;
    std::optional<std::string> display;
  };
  // Asked for with a display at hand, and chosen for want of one.
  const Row rows[] = {{"--ui=browser", unusedDisplay()}, {"--ui=auto", std::nullopt}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.ui);
    ScopedEnv display("DISPLAY", row.display);
    ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
    ScopedEnv backend("GDK_BACKEND", std::nullopt);
    testing::ChildProcess launcher({exe().string(), row.ui, "--port", "0"});
    ASSERT_TRUE(launcher.started()) << launcher.error();
    // The address is printed once the page is served: start-up is over.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (launcher.out().find("http://127.0.0.1:") == std::string::npos && launcher.running() &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(20ms);
    ASSERT_NE(launcher.out().find("http://127.0.0.1:"), std::string::npos) << launcher.err();
    const std::string map = memoryMap(launcher.pid());
    ASSERT_NE(map.find("libc.so.6"), std::string::npos) << "not a memory map: " << map;
    EXPECT_EQ(windowLibrariesIn(map), std::vector<std::string>{}) << map;
    launcher.sendSignal(testing::Signal::Terminate);
    EXPECT_EQ(launcher.wait(30000), 0) << launcher.err();
  }
}

TEST_F(LoadedLibrariesTest, HeadlessPageMapsNoWindowLibrary) {
  ScopedEnv display("DISPLAY", unusedDisplay());  // named, and still not wanted
  testing::LauncherProcess launcher({exe().string()});
  ASSERT_TRUE(launcher.started());
  launcher.send({{"cmd", "ready"}});
  ASSERT_FALSE(launcher.waitFor(testing::isState).is_null()) << launcher.err();
  const std::string map = memoryMap(launcher.pid());
  ASSERT_NE(map.find("libc.so.6"), std::string::npos) << "not a memory map: " << map;
  EXPECT_EQ(windowLibrariesIn(map), std::vector<std::string>{}) << map;
  launcher.closeInput();
  EXPECT_EQ(launcher.wait(30000), 0) << launcher.err();
}

TEST_F(LoadedLibrariesTest, CommandLineUsesLoadNoWindowLibrary) {
  ScopedEnv display("DISPLAY", unusedDisplay());
  // A real sync, from a local feed the release tool published.
  fs::create_directories(dir.path() / "content");
  std::ofstream(dir.path() / "content" / "readme.txt") << "Astrane: Vantor\n";
  testing::PublishedRelease release;
  std::string error;
  ASSERT_TRUE(testing::publishRelease(VANTOR_SOURCE_DIR, dir.path() / "content", dir.path() / "feed", "1.0.0", 1,
                                      65536, release, error))
      << error;
  const std::string manifest = (dir.path() / "feed" / release.manifestPath).string();

  struct Row {
    std::vector<std::string> args;
    int exitCode;
    std::string out;  // a piece of what it prints on standard output
  };
  const Row rows[] = {
      {{"--help"}, 0, "Usage: vantor-launcher"},
      {{"--version"}, 0, "vantor-launcher 1.0.0"},
      {{"--sync", (dir.path() / "game").string(), manifest}, 0, ""},
      {{"--sync"}, 2, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    const ProcessResult r = runReported(row.args);
    EXPECT_EQ(r.exitCode, row.exitCode) << testing::describe(r);
    EXPECT_NE(r.out.find(row.out), std::string::npos) << testing::describe(r);
    expectReported(r);
    EXPECT_EQ(windowLibrariesIn(r.err), std::vector<std::string>{});
  }
  std::string why;
  EXPECT_TRUE(testing::folderMatchesRelease(dir.path() / "game", release, why)) << why;
}

// The other side: with a display named the window module loads GTK and
// WebKitGTK (so the checks above would see them), and without one nothing does.
TEST_F(LoadedLibrariesTest, OnlyANamedDisplayLoadsTheWindowLibraries) {
  ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
  ScopedEnv backend("GDK_BACKEND", std::nullopt);
  {
    const std::string name = unusedDisplay();
    ScopedEnv display("DISPLAY", name);
    const ProcessResult r = runReported({"--ui=gtk"});
    EXPECT_EQ(r.exitCode, 1) << testing::describe(r);
    EXPECT_NE(r.err.find("Couldn't open the display " + name + "."), std::string::npos) << testing::describe(r);
    EXPECT_EQ(windowLibrariesIn(r.err), std::vector<std::string>(std::begin(windowLibraries), std::end(windowLibraries)));
  }
  {
    ScopedEnv display("DISPLAY", std::nullopt);
    const ProcessResult r = runReported({"--ui=gtk"});
    EXPECT_EQ(r.exitCode, 1) << testing::describe(r);
    EXPECT_NE(r.err.find("No display to open a window on"), std::string::npos) << testing::describe(r);
    expectReported(r);
    EXPECT_EQ(windowLibrariesIn(r.err), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace launcher
