#include "data/game_settings.h"

#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

namespace launcher {

void PrintTo(const GameSettings& settings, std::ostream* out) {
  *out << gameSettingsToJson(settings).dump(-1, ' ', false, json::error_handler_t::replace);
}

namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// A signed-in user's settings: the overlay must keep what it is not given.
GameSettings signedInSettings() {
  GameSettings s = defaultGameSettings();
  s.online = {true, "Pilot", "play.example.net"};
  return s;
}

struct OverlayCase {
  const char* name;
  json document;
  std::function<void(GameSettings&)> expect;  // applied to signedInSettings()
};

json parse(const std::string& text) { return json::parse(text); }

TEST(GameSettings, OverlayTakesOnlyWellTypedMembersAndClamps) {
  const std::string a300(300, 'a');
  const std::string a255(255, 'a');
  const std::string a254(254, 'a');
  const std::string e = "\xC3\xA9";               // é, 2 bytes
  const std::string euro = "\xE2\x82\xAC";        // €, 3 bytes
  const std::string rocket = "\xF0\x9F\x9A\x80";  // 4 bytes
  const std::vector<OverlayCase> cases = {
      {"width 100, height 99999", parse(R"({"display":{"width":100,"height":99999}})"),
       [](GameSettings& s) { s.width = 640; s.height = 16384; }},
      {"capital Borderless is not a name", parse(R"({"display":{"windowMode":"Borderless"}})"), [](GameSettings&) {}},
      {"borderless", parse(R"({"display":{"windowMode":"borderless"}})"), [](GameSettings& s) { s.windowMode = 1; }},
      {"vsync 1 is not a boolean", parse(R"({"display":{"vsync":1}})"), [](GameSettings&) {}},
      {"vsync true", parse(R"({"display":{"vsync":true}})"), [](GameSettings& s) { s.vsync = true; }},
      {"vsync \"true\"", parse(R"({"display":{"vsync":"true"}})"), [](GameSettings&) {}},
      {"width 1920.9 cut toward zero", parse(R"({"display":{"width":1920.9}})"),
       [](GameSettings& s) { s.width = 1920; }},
      {"height 719.99", parse(R"({"display":{"height":719.99}})"), [](GameSettings& s) { s.height = 719; }},
      {"width as string", parse(R"({"display":{"width":"1920"}})"), [](GameSettings&) {}},
      {"display \"x\" skipped, audio read", parse(R"({"display":"x","audio":{"master":0.5}})"),
       [](GameSettings& s) { s.master = 0.5f; }},
      {"graphics array skipped", parse(R"({"graphics":[{"bloom":false}],"display":{"showStats":false}})"),
       [](GameSettings& s) { s.showStats = false; }},
      {"music 3", parse(R"({"audio":{"music":3}})"), [](GameSettings& s) { s.music = 1.0f; }},
      {"grassDistance -5", parse(R"({"graphics":{"grassDistance":-5}})"),
       [](GameSettings& s) { s.grassDistance = 0.0f; }},
      {"online name 42", parse(R"({"online":{"name":42}})"), [](GameSettings&) {}},
      {"online enabled 0", parse(R"({"online":{"enabled":0}})"), [](GameSettings&) {}},
      {"online all three", parse(R"({"online":{"enabled":false,"name":"Nova","server":""}})"),
       [](GameSettings& s) { s.online = {false, "Nova", ""}; }},
      {"300-char name", json{{"online", {{"name", a300}}}},
       [&](GameSettings& s) { s.online.name = std::string(256, 'a'); }},
      {"2-byte character across the cut", json{{"online", {{"name", a255 + e + "b"}}}},
       [&](GameSettings& s) { s.online.name = a255; }},
      {"2-byte character ending at the cut", json{{"online", {{"name", a254 + e + "b"}}}},
       [&](GameSettings& s) { s.online.name = a254 + e; }},
      {"3-byte character across the cut", json{{"online", {{"server", a254 + euro}}}},
       [&](GameSettings& s) { s.online.server = a254; }},
      {"4-byte character across the cut", json{{"online", {{"server", a254 + rocket}}}},
       [&](GameSettings& s) { s.online.server = a254; }},
      {"exactly 256 bytes", json{{"online", {{"name", std::string(256, 'n')}}}},
       [](GameSettings& s) { s.online.name = std::string(256, 'n'); }},
      {"width 1e300", parse(R"({"display":{"width":1e300}})"), [](GameSettings& s) { s.width = 16384; }},
      {"width -1e300", parse(R"({"display":{"width":-1e300}})"), [](GameSettings& s) { s.width = 640; }},
      // 2^32 + 1640 would wrap to 1640 in a plain cast.
      {"width 4294968936", parse(R"({"display":{"width":4294968936}})"), [](GameSettings& s) { s.width = 16384; }},
      {"width uint64 max", parse(R"({"display":{"width":18446744073709551615}})"),
       [](GameSettings& s) { s.width = 16384; }},
      {"height int64 min", parse(R"({"display":{"height":-9223372036854775808}})"),
       [](GameSettings& s) { s.height = 360; }},
      {"brightness 1e300", parse(R"({"display":{"brightness":1e300}})"),
       [](GameSettings& s) { s.brightness = 2.0f; }},
      {"brightness 0.8 to the nearest float", parse(R"({"display":{"brightness":0.8}})"),
       [](GameSettings& s) { s.brightness = 0.8f; }},
      {"terrainDetail integer 3", parse(R"({"graphics":{"terrainDetail":3}})"),
       [](GameSettings& s) { s.terrainDetail = 3.0f; }},
      {"objectDetail 0.1", parse(R"({"graphics":{"objectDetail":0.1}})"),
       [](GameSettings& s) { s.objectDetail = 0.25f; }},
      {"names from each table",
       parse(R"({"display":{"frameGeneration":"4x"},"graphics":{"upscaling":"dlaa","bloom":false}})"),
       [](GameSettings& s) { s.frameGeneration = 3; s.upscaling = 4; s.bloom = false; }},
      {"unknown names", parse(R"({"display":{"frameGeneration":"5x"},"graphics":{"upscaling":"DLAA"}})"),
       [](GameSettings&) {}},
      {"name as index", parse(R"({"display":{"windowMode":1}})"), [](GameSettings&) {}},
      {"NaN from memory", json{{"audio", {{"master", std::nan("")}}}, {"display", {{"width", std::nan("")}}}},
       [](GameSettings&) {}},
      {"unknown members and sections", parse(R"({"version":7,"extra":{},"audio":{"volume":0}})"),
       [](GameSettings&) {}},
  };
  for (const OverlayCase& c : cases) {
    SCOPED_TRACE(c.name);
    GameSettings actual = signedInSettings();
    applyGameSettingsJson(actual, c.document);
    GameSettings expected = signedInSettings();
    c.expect(expected);
    EXPECT_EQ(actual, expected);
  }
}

TEST(GameSettings, ClampRunsAfterEveryObjectOverlayButNotForOtherValues) {
  GameSettings wild = defaultGameSettings();
  wild.width = 100;
  wild.height = 100000;
  wild.brightness = 9.0f;
  wild.grassDistance = -1.0f;
  wild.ambience = std::numeric_limits<float>::quiet_NaN();

  for (const json& notObject : {json(5), json::array(), json(nullptr), json("x")}) {
    GameSettings s = wild;
    applyGameSettingsJson(s, notObject);
    EXPECT_EQ(s.width, 100) << notObject.dump();
    EXPECT_EQ(s.brightness, 9.0f) << notObject.dump();
  }

  GameSettings s = wild;
  applyGameSettingsJson(s, json::object());
  EXPECT_EQ(s.width, 640);
  EXPECT_EQ(s.height, 16384);
  EXPECT_EQ(s.brightness, 2.0f);
  EXPECT_EQ(s.grassDistance, 0.0f);
  EXPECT_EQ(s.ambience, 1.0f) << "a NaN becomes the default, never stays";
}

TEST(GameSettings, PageRangesNarrowerThanNativeOnesAreKept) {
  GameSettings s = defaultGameSettings();
  applyGameSettingsJson(s, parse(R"({"display":{"brightness":0.3,"width":800,"height":400},
                                     "graphics":{"terrainDetail":3.5,"grassDistance":390}})"));
  EXPECT_EQ(s.brightness, 0.3f);
  EXPECT_EQ(s.width, 800);
  EXPECT_EQ(s.height, 400);
  EXPECT_EQ(s.terrainDetail, 3.5f);
  EXPECT_EQ(s.grassDistance, 390.0f);
}

TEST(GameSettings, DefaultsSerialiseToTheWholeSchemaInSortedOrder) {
  TempDir dir;
  ASSERT_TRUE(saveGameSettings(defaultGameSettings(), dir / "settings.json"));
  const std::string expected = R"({
  "audio": {
    "ambience": 1.0,
    "effects": 1.0,
    "effectsMuted": false,
    "master": 1.0,
    "music": 0.5,
    "musicMuted": false
  },
  "display": {
    "brightness": 1.0,
    "frameGeneration": "off",
    "height": 900,
    "showStats": true,
    "vsync": false,
    "width": 1600,
    "windowMode": "windowed"
  },
  "graphics": {
    "bloom": true,
    "depthOfField": true,
    "globalIllumination": true,
    "godRays": true,
    "grassDistance": 170.0,
    "motionBlur": true,
    "objectDetail": 1.0,
    "rayReconstruction": true,
    "rayTracing": true,
    "terrainDetail": 1.0,
    "upscaling": "dlss_quality",
    "volumetricClouds": true,
    "volumetricFog": true
  },
  "online": {
    "enabled": false,
    "name": "",
    "server": ""
  },
  "version": 1
}
)";
  EXPECT_EQ(readFile(dir / "settings.json"), expected);
}

TEST(GameSettings, FloatsAreWrittenAsTheDoubleOfTheFloat) {
  GameSettings s = defaultGameSettings();
  s.brightness = 0.8f;
  s.upscaling = 7;
  s.windowMode = 1;
  const std::string text = gameSettingsToJson(s).dump();
  EXPECT_NE(text.find("\"brightness\":0.800000011920929"), std::string::npos) << text;
  EXPECT_NE(text.find("\"master\":1.0"), std::string::npos) << text;
  EXPECT_NE(text.find("\"upscaling\":\"off\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"windowMode\":\"borderless\""), std::string::npos) << text;
}

TEST(GameSettings, PartialPageEditChangesOneValueAndSaveWritesEveryMember) {
  TempDir dir;
  GameSettings s = signedInSettings();
  applyGameSettingsJson(s, parse(R"({"audio":{"master":0.3}})"));
  GameSettings expected = signedInSettings();
  expected.master = 0.3f;
  EXPECT_EQ(s, expected);

  ASSERT_TRUE(saveGameSettings(s, dir / "settings.json"));
  const std::string text = readFile(dir / "settings.json");
  EXPECT_NE(text.find("\"master\": 0.30000001192092896,"), std::string::npos) << text;
  json saved = json::parse(text);
  EXPECT_EQ(saved, gameSettingsToJson(expected));
  EXPECT_EQ(saved["display"].size(), 7u);
  EXPECT_EQ(saved["graphics"].size(), 13u);
  EXPECT_EQ(saved["audio"].size(), 6u);
  EXPECT_EQ(saved["online"].size(), 3u);
  EXPECT_EQ(loadGameSettings(dir / "settings.json"), expected) << "a save reads back unchanged";
}

TEST(GameSettings, ResetRestoresEverythingButOnline) {
  GameSettings s = signedInSettings();
  applyGameSettingsJson(s, parse(R"({"display":{"width":3840,"windowMode":"borderless"},
                                     "graphics":{"bloom":false},"audio":{"musicMuted":true}})"));
  resetGameSettings(s);
  EXPECT_EQ(s, signedInSettings());
}

struct LoadCase {
  const char* name;
  std::string content;
  bool badCopy;
};

TEST(GameSettings, UnusableFilesLoadDefaultsAndOnlyParseErrorsLeaveABadCopy) {
  const std::vector<LoadCase> cases = {
      {"number", "5", false},
      {"array", "[]", false},
      {"truncated object", "{", true},
      {"empty", "", true},
      {"trailing text", R"({"display":{"width":800}} x)", true},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path file = dir / "settings.json";
    writeFile(file, c.content);
    EXPECT_EQ(loadGameSettings(file), defaultGameSettings());
    EXPECT_EQ(fs::exists(dir / "settings.json.bad"), c.badCopy);
    if (c.badCopy) {
      EXPECT_EQ(readFile(dir / "settings.json.bad"), c.content);
    }
    EXPECT_EQ(readFile(file), c.content) << "unchanged until the next save";

    ASSERT_TRUE(saveGameSettings(defaultGameSettings(), file));
    EXPECT_EQ(json::parse(readFile(file)), gameSettingsToJson(defaultGameSettings()));
  }
}

TEST(GameSettings, MissingFileGivesDefaultsAndIsNotCreated) {
  TempDir dir;
  EXPECT_EQ(loadGameSettings(dir / "settings.json"), defaultGameSettings());
  EXPECT_FALSE(fs::exists(dir / "settings.json"));
  EXPECT_FALSE(fs::exists(dir / "settings.json.bad"));
}

TEST(GameSettings, LoadOverlaysTheFileAndReplacesOnlineToo) {
  TempDir dir;
  writeFile(dir / "settings.json",
            "\xEF\xBB\xBF{\"display\":{\"width\":2560,\"height\":1440},\"online\":{\"enabled\":true,"
            "\"name\":\"N\xC3\xA9o\"},\"unknown\":1}\r\n");
  GameSettings expected = defaultGameSettings();
  expected.width = 2560;
  expected.height = 1440;
  expected.online = {true, "N\xC3\xA9o", ""};
  EXPECT_EQ(loadGameSettings(dir / "settings.json"), expected);
}

}  // namespace
}  // namespace launcher
