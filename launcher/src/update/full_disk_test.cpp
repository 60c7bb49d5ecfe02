// A full disk by phase: a small tmpfs that fills up at a chosen moment of an
// install, an update and an add-on install (when the sync reports a phase),
// or before a backup and a settings save. Each ends with a text that says the
// disk is full, loses nothing (every installed file holds one release's
// bytes, saves and settings are whole), and finishes once space is freed.
#include "addons/addon_jobs.h"
#include "addons/addon_registry.h"
#include "data/game_settings.h"
#include "game/saves.h"
#include "testing/log_capture.h"
#include "testing/scoped_tmpfs.h"
#include "testing/temp_dir.h"
#include "update/folder_sync.h"
#include "update/location.h"
#include "update/manifest.h"
#include "update/sha256.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <set>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

constexpr uint64_t chunk = 64 * 1024;

std::string randomBytes(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

// Writes until the file system refuses: the disk is then full.
void fillDisk(const fs::path& ballast) {
  std::ofstream out(ballast, std::ios::binary | std::ios::app);
  const std::string block(64 * 1024, 'x');
  while (out.write(block.data(), static_cast<std::streamsize>(block.size()))) out.flush();
  // The last partial block: byte by byte until nothing more fits.
  out.clear();
  while (out.put('x') && out.flush()) {
  }
}

// A release in a local feed outside the small disk.
GameManifest publish(const fs::path& feed, const std::map<std::string, std::string>& files, const std::string& version) {
  GameManifest m;
  m.version = version;
  m.build = 1;
  m.chunkSize = chunk;
  m.objects = "objects/";
  m.source = toUtf8(feed / (version + ".json"));
  for (const auto& [path, content] : files) {
    ManifestFile f;
    f.path = path;
    f.size = content.size();
    f.sha256 = sha256Hex(content);
    for (uint64_t offset = 0; offset < content.size(); offset += chunk) {
      const std::string bytes = content.substr(offset, chunk);
      f.chunks.push_back(sha256Hex(bytes));
      writeFile(feed / "objects" / f.chunks.back().substr(0, 2) / f.chunks.back(), bytes);
    }
    m.files.push_back(f);
  }
  std::ofstream(feed / (version + ".json")) << manifestToJson(m).dump(1);
  return m;
}

class FullDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!disk.mounted()) GTEST_SKIP() << disk.skipReason();
    v1files = {{"data/world.pak", randomBytes(6 * chunk + 5, 1)}, {"readme.txt", "Astrane: Vantor\n"}};
    v2files = {{"data/world.pak", randomBytes(6 * chunk + 5, 2)},
               {"data/new/level.dat", randomBytes(3 * chunk, 3)},
               {"readme.txt", "Astrane: Vantor 2\n"}};
    v1 = publish(dir / "feed", v1files, "1.0");
    v2 = publish(dir / "feed", v2files, "2.0");
  }

  // Every file of the folder holds the bytes of one of the two releases.
  ::testing::AssertionResult nothingLost(const fs::path& folder) {
    for (const auto* files : {&v1files, &v2files}) {
      for (const auto& [path, content] : *files) {
        if (!fs::exists(folder / path)) continue;
        const std::string now = readFile(folder / path);
        bool known = false;
        for (const auto* r : {&v1files, &v2files}) {
          auto it = r->find(path);
          known = known || (it != r->end() && it->second == now);
        }
        if (!known) return ::testing::AssertionFailure() << path << " holds bytes of neither release";
      }
    }
    return ::testing::AssertionSuccess();
  }

  ::testing::AssertionResult exactly(const fs::path& folder, const std::map<std::string, std::string>& files,
                                     const std::string& version) {
    for (const auto& [path, content] : files) {
      if (readFile(folder / path) != content) return ::testing::AssertionFailure() << path << " differs";
    }
    GameManifest installed;
    if (!readInstalledManifest(folder, installed) || installed.version != version) {
      return ::testing::AssertionFailure() << "manifest.json does not say " << version;
    }
    return ::testing::AssertionSuccess();
  }

  testing::LogCapture log;
  testing::TempDir dir;
  testing::ScopedTmpfs disk{dir / "disk", 2ull << 20};
  std::map<std::string, std::string> v1files, v2files;
  GameManifest v1, v2;
};

// The phases a sync reports, and "record": after the last file is in place,
// before manifest.json is written.
const char* const phases[] = {"Comparing", "Downloading", "Assembling", "Installing", "record"};

TEST_F(FullDiskTest, InstallAndUpdateRunOutOfSpaceInEveryPhase) {
  std::printf("  %-8s %-12s %s\n", "sync", "disk full at", "outcome");
  for (const bool update : {false, true}) {
    for (const char* phase : phases) {
      SCOPED_TRACE(std::string(update ? "update" : "install") + ", full at " + phase);
      const fs::path game = disk.path() / "game";
      fs::remove_all(game);
      std::atomic<bool> cancel{false};
      std::string error;
      if (update) {
        ASSERT_TRUE(syncFolder(game, v1, false, cancel, {}, error)) << error;
      }
      const fs::path ballast = disk.path() / "ballast";
      bool filled = false;
      int installing = 0;
      auto progress = [&](const Progress& p) {
        if (filled) return;
        if (std::string(phase) == "record") {
          // Installing reports once before the first file and once per file.
          if (p.phase == "Installing" && ++installing == 1 + static_cast<int>(v2.files.size())) filled = true;
        } else {
          filled = p.phase == phase;
        }
        if (filled) fillDisk(ballast);
      };
      const bool ok = syncFolder(game, v2, false, cancel, progress, error);
      GameManifest recorded;
      const bool recordedNew = readInstalledManifest(game, recorded) && recorded.version == "2.0";
      std::printf("  %-8s %-12s %s\n", update ? "update" : "install", phase,
                  !filled ? "(phase not reached)"
                  : ok    ? (recordedNew ? "finished" : "files in place, manifest.json not written (warn)")
                          : error.c_str());
      if (!ok) {
        EXPECT_NE(error.find("disk full"), std::string::npos) << error;
        EXPECT_TRUE(filled) << "failed before the disk was full: " << error;
        if (update && std::string(phase) != "record" && std::string(phase) != "Installing") {
          EXPECT_TRUE(exactly(game, v1files, "1.0")) << "installed files were touched";
        }
      } else {
        GameManifest record;
        if (readInstalledManifest(game, record) && record.version == "2.0") {
          EXPECT_TRUE(exactly(game, v2files, "2.0"));
        } else {
          // The files are in place but the record could not be written (the
          // sync does not fail for that): the marker stays, so the next run
          // checks every file and writes it.
          for (const auto& [path, content] : v2files) EXPECT_EQ(readFile(game / path), content) << path;
          EXPECT_TRUE(fs::exists(game / ".staging" / "installing.json")) << "the next run would trust manifest.json";
        }
      }
      EXPECT_TRUE(nothingLost(game));
      fs::remove(ballast);
      error.clear();
      EXPECT_TRUE(syncFolder(game, v2, false, cancel, {}, error)) << "after space was freed: " << error;
      EXPECT_TRUE(exactly(game, v2files, "2.0"));
    }
  }
}

TEST_F(FullDiskTest, AddonInstallRunsOutOfSpaceInEveryPhase) {
  for (const char* phase : phases) {
    SCOPED_TRACE(std::string("full at ") + phase);
    AddonPaths paths{disk.path() / "addons", disk.path() / "addons.json"};
    fs::remove_all(paths.addonsFolder);
    fs::remove(paths.enabledFile);
    CatalogEntry entry{"pack", "Pack", "2.0", "", "", toUtf8(dir / "feed" / "2.0.json"), 0};
    const fs::path ballast = disk.path() / "ballast";
    bool filled = false;
    int installing = 0;
    std::atomic<bool> cancel{false};
    const AddonJobResult result = runAddonInstall(entry, paths, cancel, [&](const Progress& p) {
      if (filled) return;
      if (std::string(phase) == "record") {
        if (p.phase == "Installing" && ++installing == 1 + static_cast<int>(v2.files.size())) filled = true;
      } else {
        filled = p.phase == phase;
      }
      if (filled) fillDisk(ballast);
    });
    if (!result.error.empty()) {
      EXPECT_NE(result.error.find("disk full"), std::string::npos) << result.error;
      EXPECT_TRUE(readEnabledAddons(paths.enabledFile).empty()) << "enabled although it failed";
    }
    EXPECT_TRUE(nothingLost(paths.addonsFolder / "pack"));
    fs::remove(ballast);
    const AddonJobResult again = runAddonInstall(entry, paths, cancel, {});
    EXPECT_EQ(again.error, "");
    EXPECT_TRUE(exactly(paths.addonsFolder / "pack", v2files, "2.0"));
    EXPECT_EQ(readEnabledAddons(paths.enabledFile), std::vector<std::string>{"pack"});
  }
}

TEST_F(FullDiskTest, BackupAndSettingsSaveIntoAFullDiskLoseNothingAndFinishLater) {
  const SavesFolders folders{disk.path() / "saves", disk.path() / "backups"};
  writeFile(folders.saves / "slot 1.sav", randomBytes(200 * 1024, 4));
  const fs::path settingsFile = disk.path() / "settings.json";
  GameSettings settings = defaultGameSettings();
  ASSERT_TRUE(saveGameSettings(settings, settingsFile));
  const std::string settingsBefore = readFile(settingsFile);

  fillDisk(disk.path() / "ballast");
  const SavesJobResult backup = runSavesBackup(folders, std::chrono::system_clock::now());
  EXPECT_NE(backup.error, "");
  EXPECT_EQ(readFile(folders.saves / "slot 1.sav").size(), 200u * 1024) << "the saves were touched";
  settings.online.name = "A name long enough to need more room than the disk has left";
  EXPECT_FALSE(saveGameSettings(settings, settingsFile));
  EXPECT_EQ(readFile(settingsFile), settingsBefore) << "a failed save replaced the settings";

  fs::remove(disk.path() / "ballast");
  const SavesJobResult again = runSavesBackup(folders, std::chrono::system_clock::now());
  EXPECT_EQ(again.error, "");
  EXPECT_TRUE(saveGameSettings(settings, settingsFile));
  EXPECT_EQ(loadGameSettings(settingsFile).online.name, settings.online.name);
}

}  // namespace
}  // namespace launcher
