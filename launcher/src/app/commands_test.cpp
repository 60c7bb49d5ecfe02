// Page commands: their checks, their refusals and what the page gets back.
#include "app/launcher_app.h"

#include "addons/addon_registry.h"
#include "data/launcher_prefs.h"
#include "platform/platform.h"
#include "testing/app_harness.h"
#include "testing/linux_only.h"
#include "testing/log_capture.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::AppHarness;
using testing::TempDir;

// A stand-in for a program the launcher starts ("xdg-open", "uninstall"):
// it writes its arguments and working folder to `record`, one a line.
void writeRecorder(const fs::path& program, const fs::path& record) {
  // The last run's record, written whole, and every run's arguments appended
  // to record + ".all", so a run that should never have happened shows too.
  testing::writeFile(program, "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done >> '" + record.string() +
                                  ".all'\n{ pwd; for a in \"$@\"; do echo \"$a\"; done; } > '" + record.string() +
                                  ".tmp'\nmv '" + record.string() + ".tmp' '" + record.string() + "'\n");
  fs::permissions(program, fs::perms::owner_all);
}

// Waits for a recorder's file; "" after 10 s.
std::string waitForRecord(const fs::path& record) {
  for (int i = 0; i < 1000; ++i) {
    if (fs::exists(record)) return testing::readFile(record);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return {};
}

std::vector<std::string> warningsAbout(const testing::LogCapture& log, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& line : log.warnings())
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
  return out;
}

// PATH with a folder of stand-ins first.
class FakePrograms {
 public:
  FakePrograms()
      : path_("PATH", (dir_ / "bin").string() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")) {
    fs::create_directories(dir_ / "bin");
    writeRecorder(dir_ / "bin" / "xdg-open", record());
  }
  fs::path record() const { return dir_ / "xdg-open.txt"; }
  void clear() { fs::remove(record()); }

 private:
  TempDir dir_;
  testing::ScopedEnv path_;
};

TEST(CoreThreadsCommands, UnknownOrMalformedCommandsAreIgnored) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  for (const json& c : {json::array(), json("ready"), json::object(), json({{"cmd", "Ready"}}), json({{"cmd", 7}}),
                        json({{"cmd", "setSettings"}}), json({{"cmd", "setPrefs"}}), json({{"cmd", "nope"}})}) {
    h.command(c);
  }
  h.pump();
  EXPECT_TRUE(h.shell().messages.empty());
  EXPECT_FALSE(fs::exists(dir / "launcher" / "settings.json"));
  EXPECT_FALSE(fs::exists(h.home() / "home/.local/share/Vantor/launcher.json"));
  EXPECT_FALSE(fs::exists(h.home() / "home/.local/share/Vantor/settings.json"));
}

TEST(CoreThreadsCommands, CancelWithNothingRunningOnlyPushes) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  h.command({{"cmd", "cancel"}});
  h.pump();
  ASSERT_EQ(h.shell().messages.size(), 1u);
  EXPECT_EQ(h.shell().messages[0]["type"], "state");
}

TEST(CoreThreadsCommands, JobIdOfTheWrongTypeLeavesTheRunningJobAlone) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  testing::LogCapture log;
  std::atomic<bool> release{false};
  Job job;
  job.kind = "backup";
  job.body = [&] {
    while (!release.load() && !h.app().jobs().cancelRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return h.app().jobs().cancelRequested() ? std::string("Cancelled") : std::string();
  };
  ASSERT_TRUE(h.app().jobs().enqueue(std::move(job), QueuePosition::Front));
  ASSERT_FALSE(h.waitForState([](const json& s) { return s["task"].is_object(); }).is_null());
  for (const json& id : {json("1"), json(-1), json(1.5)}) h.command({{"cmd", "cancel"}, {"id", id}});
  EXPECT_FALSE(h.app().jobs().cancelRequested());
  const auto ignored = warningsAbout(log, "Ignored the command");
  EXPECT_EQ(ignored, std::vector<std::string>(3, "Ignored the command \"cancel\": \"id\" has the wrong type"));
  h.command({{"cmd", "cancel"}, {"id", 0}});
  EXPECT_TRUE(h.app().jobs().cancelRequested());
  ASSERT_TRUE(h.waitForIdleQueue());
}

TEST(CoreThreadsCommands, SettingsAreSavedAndPushedAndAFailedSaveIsToasted) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  h.command({{"cmd", "setSettings"}, {"settings", {{"display", {{"width", 1920}}}}}});
  h.pump();
  const fs::path file = h.home() / "home/.local/share/Vantor/settings.json";
  EXPECT_NE(testing::readFile(file).find("1920"), std::string::npos);
  EXPECT_EQ(h.shell().lastState()["settings"]["display"]["width"], 1920);
  EXPECT_TRUE(h.shell().toasts().empty());

  // A folder where the file goes: the save fails, the change stays in memory.
  fs::remove(file);
  fs::create_directories(file / "blocker");
  h.command({{"cmd", "setSettings"}, {"settings", {{"display", {{"width", 1280}}}}}});
  h.pump();
  EXPECT_EQ(h.shell().toasts(), std::vector<std::string>{"Couldn't save the settings"});
  EXPECT_EQ(h.shell().lastState()["settings"]["display"]["width"], 1280);
}

TEST(CoreThreadsCommands, ResetKeepsTheOnlineIdentity) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  h.command({{"cmd", "setSettings"},
             {"settings", {{"display", {{"width", 1920}}}, {"online", {{"enabled", true}, {"name", "Kes"}}}}}});
  h.command({{"cmd", "resetSettings"}});
  h.pump();
  const json s = h.shell().lastState()["settings"];
  EXPECT_EQ(s["display"]["width"], 1600);
  EXPECT_EQ(s["online"]["enabled"], true);
  EXPECT_EQ(s["online"]["name"], "Kes");
}

size_t checksLogged(const testing::LogCapture& log) {
  size_t n = 0;
  for (const std::string& line : log.messages("info")) n += line.rfind("Feed ", 0) == 0 ? 1 : 0;
  return n;
}

TEST(CoreThreadsCommands, PrefsSaveAndPushAndOnlyAChannelChangeChecks) {
  testing::LogCapture log;
  TempDir dir;
  AppHarness h(dir / "launcher");
  h.command({{"cmd", "setPrefs"}, {"prefs", {{"reduceMotion", true}}}});
  // A check is marked running before the command that starts it returns, and
  // checked when it ends: one started by this change shows either way.
  const json now = h.app().buildState();
  EXPECT_EQ(now["feed"]["checking"], false);
  EXPECT_EQ(now["feed"]["checked"], false);
  h.pump();
  EXPECT_EQ(checksLogged(log), 0u);
  EXPECT_EQ(h.shell().lastState()["prefs"]["reduceMotion"], true);
  EXPECT_TRUE(loadLauncherPrefs().reduceMotion);

  h.command({{"cmd", "setPrefs"}, {"prefs", {{"channel", "beta"}}}});
  ASSERT_TRUE(h.waitForCheck());
  EXPECT_EQ(checksLogged(log), 1u);
  EXPECT_EQ(loadLauncherPrefs().channel, "beta");

  h.command({{"cmd", "skipAccount"}});
  h.pump();
  EXPECT_TRUE(loadLauncherPrefs().onboarded);
  EXPECT_EQ(h.shell().lastState()["prefs"]["onboarded"], true);
}

TEST(CoreThreadsCommands, OnlyHttpsLinksOpen) {
  VANTOR_LINUX_ONLY("stand-in programs written as shell scripts");
  FakePrograms programs;
  TempDir dir;
  AppHarness h(dir / "launcher");
  // A space, a control (C0, DEL, C1 such as NEL) or a byte that is not UTF-8
  // could reach xdg-open as a second argument or a line break.
  for (const char* url : {"http://example.com", "file:///etc/passwd", "https://a b", "HTTPS://x", "https://x\n",
                          "https://x\x7f", "https://x\xc2\x85y", "https://x\xe9y", "https://"}) {
    h.command({{"cmd", "openLink"}, {"url", url}});
  }
  h.command({{"cmd", "openLink"}, {"url", "https://vantor.example/news?a=1&b=2"}});
  const std::string record = waitForRecord(programs.record());
  ASSERT_FALSE(record.empty()) << "xdg-open never ran";
  EXPECT_NE(record.find("\nhttps://vantor.example/news?a=1&b=2\n"), std::string::npos) << record;
  EXPECT_EQ(testing::readFile(fs::path(programs.record().string() + ".all")), "https://vantor.example/news?a=1&b=2\n");
}

TEST(CoreThreadsCommands, OpenFolderPicksTheNamedFolderAndCreatesIt) {
  VANTOR_LINUX_ONLY("stand-in programs written as shell scripts");
  FakePrograms programs;
  TempDir dir;
  AppHarness h(dir / "launcher");
  const fs::path data = h.home() / "home/.local/share/Vantor";
  const std::pair<std::string, fs::path> rows[] = {
      {"saves", data / "saves"},   {"logs", data / "logs"},     {"game", dir / "launcher" / "game"},
      {"backups", data / "backups"}, {"addons", data / "addons"}, {"data", data},
      {"", data},                  {"Saves", data},             {"anything", data},
  };
  for (const auto& [which, folder] : rows) {
    programs.clear();
    h.command({{"cmd", "openFolder"}, {"which", which}});
    const std::string record = waitForRecord(programs.record());
    EXPECT_EQ(record.substr(record.find('\n') + 1), folder.string() + "\n") << "which=" << which;
    EXPECT_TRUE(fs::is_directory(folder)) << folder;
  }
}

TEST(CoreThreadsCommands, ClearCacheEmptiesTheFolderButNotWhileTheGameRuns) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  const fs::path cache = h.home() / "home/.local/share/Vantor/cache";
  testing::writeFile(cache / "a.bin", "x");
  testing::writeFile(cache / "nested/deeper/b.bin", "y");

  GameLock game;
  std::string error;
  ASSERT_TRUE(game.acquire(error)) << error;
  h.command({{"cmd", "clearCache"}});
  h.pump();
  EXPECT_EQ(h.shell().toasts(), std::vector<std::string>{"Close the game first"});
  EXPECT_TRUE(fs::exists(cache / "a.bin"));
  game.release();

  h.command({{"cmd", "clearCache"}});
  h.pump();
  EXPECT_EQ(h.shell().toasts().back(), "Shader cache cleared: the next start rebuilds it");
  EXPECT_TRUE(fs::is_directory(cache));
  EXPECT_TRUE(fs::is_empty(cache));

  fs::remove_all(cache);
  h.command({{"cmd", "clearCache"}});
  h.pump();
  EXPECT_EQ(h.shell().toasts().back(), "Shader cache cleared: the next start rebuilds it");
  EXPECT_TRUE(fs::is_directory(cache));
}

TEST(CoreThreadsCommands, UninstallStartsTheUninstallerBesideTheLauncherAndCloses) {
  VANTOR_LINUX_ONLY("stand-in programs written as shell scripts");
  TempDir dir;
  AppHarness h(dir / "launcher");
  h.command({{"cmd", "uninstall"}});
  h.pump();
  EXPECT_EQ(h.shell().toasts(),
            std::vector<std::string>{"This copy wasn't installed with VantorSetup, so there's nothing to uninstall"});
  EXPECT_EQ(h.shell().closes, 0);

  const fs::path record = dir / "uninstall.txt";
  writeRecorder(dir / "launcher" / uninstallerName, record);
  LauncherAppProbe::setGameRunning(h.app(), true);  // started, lock not taken yet
  h.command({{"cmd", "uninstall"}});
  h.pump();
  EXPECT_EQ(h.shell().toasts().back(), "Close the game first");
  LauncherAppProbe::setGameRunning(h.app(), false);

  h.command({{"cmd", "uninstall"}});
  EXPECT_EQ(h.shell().closes, 0) << "closed after the command, as a posted message";
  h.pump();
  EXPECT_EQ(h.shell().closes, 1);
  EXPECT_EQ(waitForRecord(record), (dir / "launcher").string() + "\n") << "run in the launcher's folder";
}

TEST(CoreThreadsCommands, WindowCommandsReachTheWindow) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  h.command({{"cmd", "minimize"}});
  h.command({{"cmd", "drag"}});
  h.command({{"cmd", "close"}});
  EXPECT_EQ(h.shell().minimizes, 1);
  EXPECT_EQ(h.shell().drags, 1);
  EXPECT_EQ(h.shell().closes, 0);
  h.pump();
  EXPECT_EQ(h.shell().closes, 1);
}

TEST(CoreThreadsCommands, GameUpdateIsRefusedInADevCopyAndWhileTheGameRuns) {
  TempDir dir;
  {
    testing::writeFile(dir / "dev" / gameExecutableName, "");
    AppHarness h(dir / "dev");
    h.command({{"cmd", "install"}});
    h.command({{"cmd", "repair"}});
    h.pump();
    EXPECT_EQ(h.shell().toasts(),
              std::vector<std::string>(2, "This is a dev build: it updates by rebuilding, not from the launcher"));
    EXPECT_EQ(h.app().buildState()["queue"], json::array());
    EXPECT_EQ(h.app().buildState()["mode"], "dev");
  }
  AppHarness h(dir / "launcher");
  GameLock game;
  std::string error;
  ASSERT_TRUE(game.acquire(error)) << error;
  h.command({{"cmd", "install"}, {"play", true}});
  h.command({{"cmd", "updateLauncher"}});
  game.release();
  LauncherAppProbe::setGameRunning(h.app(), true);
  h.command({{"cmd", "repair"}});
  h.pump();
  EXPECT_EQ(h.shell().toasts(), std::vector<std::string>(3, "Close the game first"));
  EXPECT_EQ(h.app().buildState()["queue"], json::array());
}

// Each command reaches its operation: the first refusal or result each gives
// in a copy with no game, no backups, no catalogue and no server.
TEST(CoreThreadsCommands, GameSavesAddonAndAccountCommandsReachTheirOperations) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  struct Row {
    json command;
    std::string toast;  // or, for the account commands, the account message's error
  };
  const Row rows[] = {
      {{{"cmd", "play"}}, "The game isn't installed yet"},
      {{{"cmd", "restoreBackup"}, {"name", "2024-01-01_100000"}}, "That backup is gone"},
      {{{"cmd", "addonInstall"}, {"addon", "skins"}}, "That addon isn't on the server"},
      {{{"cmd", "addonRemove"}, {"addon", "skins"}}, "That addon is already gone"},
      {{{"cmd", "signIn"}, {"username", "a"}, {"password", "b"}}, "This copy has no server to sign in to."},
      {{{"cmd", "createAccount"}, {"username", "a"}, {"password", "b"}}, "This copy has no server to sign in to."},
      {{{"cmd", "signOut"}}, "Signed out"},
      {{{"cmd", "backupSaves"}}, "Saves backed up"},
  };
  for (const Row& row : rows) {
    const size_t before = h.shell().messages.size();
    h.command(row.command);
    ASSERT_TRUE(h.pumpUntil([&] {
      for (size_t i = before; i < h.shell().messages.size(); ++i) {
        const json& m = h.shell().messages[i];
        if (m.value("type", "") == "toast" && m.value("text", "") == row.toast) return true;
        if (m.value("type", "") == "account" && m.value("error", "") == row.toast) return true;
      }
      return false;
    })) << row.command << " never said " << row.toast;
  }
  h.command({{"cmd", "addonEnable"}, {"addon", "skins"}});
  EXPECT_EQ(readEnabledAddons(), std::vector<std::string>{"skins"});
  h.command({{"cmd", "addonEnable"}, {"addon", "skins"}, {"enabled", false}});
  EXPECT_EQ(readEnabledAddons(), std::vector<std::string>{});
  ASSERT_TRUE(h.waitForIdleQueue());
  EXPECT_EQ(h.shell().lastState()["saves"]["backups"].size(), 1u) << "the backup ran";
}

}  // namespace
}  // namespace launcher
