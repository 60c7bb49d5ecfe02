#include "data/launcher_prefs.h"

#include "data/paths.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>

namespace launcher {

void PrintTo(const LauncherPrefs& prefs, std::ostream* out) { *out << launcherPrefsToJson(prefs).dump(); }

namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

struct ChannelCase {
  json value;
  const char* expected;
};

TEST(LauncherPrefs, ChannelRuleKeepsTheFeedPathInsideItsFolder) {
  const std::string longest(64, 'c');
  const std::vector<ChannelCase> cases = {
      {"beta", "beta"},
      {"Beta-Test", "Beta-Test"},
      {"nightly-2_x", "nightly-2_x"},
      {"beta.1", "beta.1"},
      {"1.2.x", "1.2.x"},
      {longest, longest.c_str()},
      {std::string(65, 'c'), nullptr},
      {"Beta Test", nullptr},
      {"../beta", nullptr},
      {"..", nullptr},
      {"beta..1", nullptr},
      {"beta/x", nullptr},
      {"beta?x=1", nullptr},
      {"beta#x", nullptr},
      {"beta%2f", nullptr},
      {"b\xc3\xaata", nullptr},
      {"beta\n", nullptr},
      {"c:x", nullptr},
      {"a\\b", nullptr},
      {".", nullptr},
      {"", nullptr},
      {5, nullptr},
      {json::array({"beta"}), nullptr},
      {nullptr, nullptr},
  };
  for (const char* current : {"stable", "beta"}) {
    for (const ChannelCase& c : cases) {
      SCOPED_TRACE(c.value.dump() + " over " + current);
      LauncherPrefs prefs;
      prefs.channel = current;
      applyLauncherPrefsJson(prefs, json{{"channel", c.value}});
      EXPECT_EQ(prefs.channel, c.expected ? c.expected : current);
      if (c.value.is_string()) {
        EXPECT_EQ(isValidChannel(c.value.get<std::string>()), c.expected != nullptr);
      }
    }
  }
}

struct OverlayCase {
  const char* name;
  json document;
  std::function<void(LauncherPrefs&)> expect;  // applied to the starting prefs
};

TEST(LauncherPrefs, OverlayTakesOnlyWellTypedMembers) {
  LauncherPrefs start;
  start.launchOptions = "-fullscreen";
  start.downloadLimit = 2048;
  const std::vector<OverlayCase> cases = {
      {"onPlay Close is not a name", {{"onPlay", "Close"}}, [](LauncherPrefs&) {}},
      {"onPlay close", {{"onPlay", "close"}}, [](LauncherPrefs& p) { p.onPlay = 1; }},
      {"onPlay stay", {{"onPlay", "stay"}}, [](LauncherPrefs& p) { p.onPlay = 2; }},
      {"onPlay as index", {{"onPlay", 1}}, [](LauncherPrefs&) {}},
      {"checkForUpdates 0", {{"checkForUpdates", 0}}, [](LauncherPrefs&) {}},
      {"checkForUpdates false", {{"checkForUpdates", false}}, [](LauncherPrefs& p) { p.checkForUpdates = false; }},
      {"autoUpdateGame \"false\"", {{"autoUpdateGame", "false"}}, [](LauncherPrefs&) {}},
      {"reduceMotion true", {{"reduceMotion", true}}, [](LauncherPrefs& p) { p.reduceMotion = true; }},
      {"empty launchOptions clears", {{"launchOptions", ""}}, [](LauncherPrefs& p) { p.launchOptions.clear(); }},
      {"launchOptions kept as given", {{"launchOptions", "-x \"a b\" ; rm"}},
       [](LauncherPrefs& p) { p.launchOptions = "-x \"a b\" ; rm"; }},
      {"launchOptions number", {{"launchOptions", 3}}, [](LauncherPrefs&) {}},
      {"onboarded stored", {{"onboarded", true}}, [](LauncherPrefs& p) { p.onboarded = true; }},
      {"not an object", json::array({json{{"onboarded", true}}}), [](LauncherPrefs&) {}},
      {"unknown members", {{"theme", "dark"}, {"version", 2}}, [](LauncherPrefs&) {}},
      {"downloadLimit 512", {{"downloadLimit", 512}}, [](LauncherPrefs& p) { p.downloadLimit = 512; }},
      {"downloadLimit 0 lifts it", {{"downloadLimit", 0}}, [](LauncherPrefs& p) { p.downloadLimit = 0; }},
      {"downloadLimit at the ceiling", {{"downloadLimit", maxDownloadLimit}},
       [](LauncherPrefs& p) { p.downloadLimit = maxDownloadLimit; }},
      {"downloadLimit above the ceiling", {{"downloadLimit", maxDownloadLimit + 1u}}, [](LauncherPrefs&) {}},
      {"downloadLimit huge", {{"downloadLimit", 18446744073709551615ull}}, [](LauncherPrefs&) {}},
      {"downloadLimit negative", {{"downloadLimit", -1}}, [](LauncherPrefs&) {}},
      {"downloadLimit fraction", {{"downloadLimit", 1.5}}, [](LauncherPrefs&) {}},
      {"downloadLimit as text", {{"downloadLimit", "512"}}, [](LauncherPrefs&) {}},
      {"downloadLimit true", {{"downloadLimit", true}}, [](LauncherPrefs&) {}},
  };
  for (const OverlayCase& c : cases) {
    SCOPED_TRACE(c.name);
    LauncherPrefs actual = start;
    applyLauncherPrefsJson(actual, c.document);
    LauncherPrefs expected = start;
    c.expect(expected);
    EXPECT_EQ(actual, expected);
  }
}

TEST(LauncherPrefs, SavedFileHasExactlyTheEightKeysInByteOrder) {
  TempDir dir;
  LauncherPrefs prefs;
  prefs.onPlay = 1;
  prefs.onboarded = true;
  prefs.channel = "beta";
  prefs.launchOptions = "-windowed";
  prefs.downloadLimit = 768;
  ASSERT_TRUE(saveLauncherPrefsTo(prefs, dir / "launcher.json"));
  // "onPlay" sorts before "onboarded": upper-case P comes before lower-case b.
  EXPECT_EQ(readFile(dir / "launcher.json"),
            "{\n"
            "  \"autoUpdateGame\": true,\n"
            "  \"channel\": \"beta\",\n"
            "  \"checkForUpdates\": true,\n"
            "  \"downloadLimit\": 768,\n"
            "  \"launchOptions\": \"-windowed\",\n"
            "  \"onPlay\": \"close\",\n"
            "  \"onboarded\": true,\n"
            "  \"reduceMotion\": false\n"
            "}\n");
  EXPECT_EQ(loadLauncherPrefsFrom(dir / "launcher.json"), prefs);
}

TEST(LauncherPrefs, DefaultPathRoundTripsAndDamageLeavesNoCopy) {
  const fs::path file = dataFolder() / "launcher.json";
  std::error_code ec;
  fs::remove(file, ec);
  EXPECT_EQ(loadLauncherPrefs(), defaultLauncherPrefs());

  LauncherPrefs prefs;
  prefs.onPlay = 2;
  prefs.reduceMotion = true;
  ASSERT_TRUE(saveLauncherPrefs(prefs));
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(loadLauncherPrefs(), prefs);

  for (const char* damaged : {"{\"onPlay\":\"stay\"", "", "[]", "null"}) {
    SCOPED_TRACE(damaged);
    writeFile(file, damaged);
    EXPECT_EQ(loadLauncherPrefs(), defaultLauncherPrefs());
    EXPECT_FALSE(fs::exists(companionPath(file, ".bad")));
  }
  fs::remove(file, ec);
}

}  // namespace
}  // namespace launcher
