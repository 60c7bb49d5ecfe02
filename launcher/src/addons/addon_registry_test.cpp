#include "addons/addon_registry.h"

#include "addons/addon_state.h"
#include "data/paths.h"
#include "testing/scoped_tmpfs.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::readFile;
using testing::writeFile;

std::vector<std::string> ids(const std::vector<AddonInfo>& addons) {
  std::vector<std::string> out;
  for (const AddonInfo& a : addons) out.push_back(a.id);
  return out;
}

class AddonRegistryTest : public ::testing::Test {
 protected:
  void addAddon(const std::string& folder, const std::string& addonJson) {
    writeFile(paths_.addonsFolder / folder / "addon.json", addonJson);
  }
  void setEnabled(const std::vector<std::string>& list) { ASSERT_TRUE(writeEnabledAddons(paths_.enabledFile, list)); }

  testing::TempDir dir_;
  AddonPaths paths_{dir_ / "addons", dir_ / "addons.json"};
};

TEST(AddonIdTest, TheIdRule) {
  for (const char* id : {"a", "my-pack", "pack_2", "0", "abcdefghijklmnopqrstuvwxyz0123456789-_abcdefghijklmnopqrstuvwxyz"}) {
    EXPECT_TRUE(isValidAddonId(id)) << id;
  }
  for (const char* id : {"", "My-Pack", "my.pack", "my pack", "../x", "a/b", "a\\b", "ü", "x\n",
                         "abcdefghijklmnopqrstuvwxyz0123456789-_abcdefghijklmnopqrstuvwxyz0"}) {
    EXPECT_FALSE(isValidAddonId(id)) << id;
  }
}

TEST_F(AddonRegistryTest, OnlyValidFoldersWithAnObjectAreListed) {
  addAddon("my-pack", R"({"name": "1 my"})");
  addAddon("pack_2", R"({"name": "2 pack"})");
  for (const char* folder : {"My-Pack", "my.pack"}) addAddon(folder, R"({"name": "0 never"})");
  addAddon("array", "[]");
  addAddon("empty", "{}");
  addAddon("broken", "{\"name\": ");
  addAddon("typed", R"({"name": 5, "version": ["1"], "author": "A"})");
  writeFile(paths_.addonsFolder / "no-json" / "readme.txt", "x");
  writeFile(paths_.addonsFolder / "a-file", "{}");

  std::vector<AddonInfo> addons = listInstalledAddons(paths_);
  EXPECT_EQ(ids(addons), (std::vector<std::string>{"my-pack", "pack_2", "empty", "typed"}));
  ASSERT_EQ(addons.size(), 4u);
  const AddonInfo& empty = addons[2];
  EXPECT_EQ(empty.name, "empty");
  EXPECT_EQ(empty.version, "");
  EXPECT_EQ(empty.author, "");
  EXPECT_EQ(empty.description, "");
  EXPECT_EQ(empty.folder, paths_.addonsFolder / "empty");
  const AddonInfo& typed = addons[3];
  EXPECT_EQ(typed.name, "typed");  // a member of the wrong type counts as absent
  EXPECT_EQ(typed.version, "");
  EXPECT_EQ(typed.author, "A");
}

TEST_F(AddonRegistryTest, EnabledFirstInListOrderThenByNameBytes) {
  addAddon("a", R"({"name": "Zed"})");
  addAddon("b", R"({"name": "Alpha"})");
  addAddon("c", R"({"name": "Mid"})");
  addAddon("d", R"({"name": "alpha"})");
  addAddon("e", R"({"name": "Alpha"})");
  addAddon("f", R"({"name": "Alph"})");
  setEnabled({"b", "a", "not-installed"});
  std::vector<AddonInfo> addons = listInstalledAddons(paths_);
  ASSERT_EQ(addons.size(), 6u);
  EXPECT_EQ(addons[0].id, "b");
  EXPECT_EQ(addons[1].id, "a");
  EXPECT_TRUE(addons[0].enabled && addons[1].enabled);
  // Disabled: byte order ("Alph" < "Alpha" < "Mid" < "alpha"); equal names keep listing order.
  EXPECT_EQ(addons[2].name, "Alph");
  EXPECT_EQ(addons[3].name, "Alpha");
  EXPECT_EQ(addons[4].name, "Mid");
  EXPECT_EQ(addons[5].name, "alpha");
  for (size_t i = 2; i < addons.size(); ++i) EXPECT_FALSE(addons[i].enabled) << addons[i].id;
}

TEST_F(AddonRegistryTest, ManagedMeansAManifestFromTheLauncher) {
  addAddon("synced", "{}");
  writeFile(paths_.addonsFolder / "synced" / "manifest.json", "{}");
  addAddon("by-hand", "{}");
  for (const AddonInfo& a : listInstalledAddons(paths_)) EXPECT_EQ(a.managed, a.id == "synced") << a.id;
}

TEST_F(AddonRegistryTest, EnabledListEdits) {
  // Twice listed: disabling removes both, enabling leaves one at the end.
  setEnabled({"x", "a", "x", "b"});
  ASSERT_TRUE(setAddonEnabled(paths_.enabledFile, "x", false));
  EXPECT_EQ(readEnabledAddons(paths_.enabledFile), (std::vector<std::string>{"a", "b"}));
  setEnabled({"x", "a", "x"});
  ASSERT_TRUE(setAddonEnabled(paths_.enabledFile, "x", true));
  EXPECT_EQ(readEnabledAddons(paths_.enabledFile), (std::vector<std::string>{"a", "x"}));
  // Enabling an enabled id moves it to the end.
  setEnabled({"a", "b", "c"});
  ASSERT_TRUE(setAddonEnabled(paths_.enabledFile, "a", true));
  EXPECT_EQ(readEnabledAddons(paths_.enabledFile), (std::vector<std::string>{"b", "c", "a"}));
  // An invalid id changes nothing, not even a damaged file.
  writeFile(paths_.enabledFile, "{broken");
  EXPECT_FALSE(setAddonEnabled(paths_.enabledFile, "Bad.Id", true));
  EXPECT_EQ(readFile(paths_.enabledFile), "{broken");
}

TEST_F(AddonRegistryTest, TheEnabledFileIsReadTolerantlyAndRewrittenClean) {
  struct Case {
    const char* text;
    std::vector<std::string> ids;
  };
  const Case cases[] = {
      {R"({"enabled": [5, "Has Caps", "ok-1", null, "ok-1", {"id": "x"}]})", {"ok-1", "ok-1"}},
      {R"({"enabled": "ok"})", {}},
      {R"({"other": ["ok"]})", {}},
      {R"(["ok"])", {}},
      {"", {}},
      {"not json", {}},
  };
  for (const Case& c : cases) {
    writeFile(paths_.enabledFile, c.text);
    EXPECT_EQ(readEnabledAddons(paths_.enabledFile), c.ids) << c.text;
  }
  fs::remove(paths_.enabledFile);
  EXPECT_TRUE(readEnabledAddons(paths_.enabledFile).empty());

  writeFile(paths_.enabledFile, R"({"enabled": [5, "Has Caps", "ok-1"], "extra": true})");
  ASSERT_TRUE(setAddonEnabled(paths_.enabledFile, "new", true));
  EXPECT_EQ(json::parse(readFile(paths_.enabledFile)), (json{{"enabled", {"ok-1", "new"}}}));
}

TEST_F(AddonRegistryTest, ConcurrentChangesAreNotLost) {
  // The UI thread and the job worker edit the list at once: every change lands.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 25; ++i) {
        EXPECT_TRUE(setAddonEnabled(paths_.enabledFile, "t" + std::to_string(t) + "-" + std::to_string(i), true));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(readEnabledAddons(paths_.enabledFile).size(), 100u);
}

TEST_F(AddonRegistryTest, AFullDiskNeverReplacesTheEnabledFile) {
  testing::ScopedTmpfs small(dir_ / "small", 64 * 1024);
  if (!small.mounted()) GTEST_SKIP() << small.skipReason();
  const fs::path file = small.path() / "addons.json";
  ASSERT_TRUE(writeEnabledAddons(file, {"a", "b"}));
  writeFile(small.path() / "filler", std::string(60 * 1024, 'f'));  // what is left is too little
  std::vector<std::string> many;
  for (int i = 0; i < 2000; ++i) many.push_back("addon-number-" + std::to_string(i));
  EXPECT_FALSE(writeEnabledAddons(file, many));
  EXPECT_EQ(readEnabledAddons(file), (std::vector<std::string>{"a", "b"}));
}

TEST_F(AddonRegistryTest, StateSectionSetsInstalledBesideTheCatalogue) {
  addAddon("managed-current", R"({"name": "Current", "version": "2.0"})");
  writeFile(paths_.addonsFolder / "managed-current" / "manifest.json", "{}");
  addAddon("managed-old", R"({"name": "Old", "version": "1.9"})");
  writeFile(paths_.addonsFolder / "managed-old" / "manifest.json", "{}");
  addAddon("by-hand-old", R"({"name": "Hand", "version": "1.0"})");
  addAddon("unlisted", R"({"name": "Unlisted", "version": "1.0"})");
  std::vector<CatalogEntry> catalog = {
      {"managed-current", "Current", "2.0", "", "", "http://s/m1.json", 10, "", 0},
      {"managed-old", "Old", "2.0", "", "", "http://s/m2.json", 20, "", 0},
      {"by-hand-old", "Hand", "2.0", "", "", "http://s/m3.json", 30, "", 0},
      {"new-one", "New", "1.0", "au", "desc", "http://s/m4.json", 40, "", 0},
  };
  json state = addonsStateJson(listInstalledAddons(paths_), catalog,
                               [](const std::string& id) { return id == "new-one" || id == "managed-old"; },
                               paths_.addonsFolder);
  std::map<std::string, json> installed;
  for (const json& a : state["installed"]) installed[a["id"]] = a;
  EXPECT_EQ(installed["managed-current"]["update"], false);
  EXPECT_EQ(installed["managed-old"]["update"], true);
  EXPECT_EQ(installed["managed-old"]["queued"], true);
  EXPECT_EQ(installed["by-hand-old"]["update"], false);
  EXPECT_EQ(installed["by-hand-old"]["managed"], false);
  EXPECT_EQ(installed["unlisted"]["latest"], "");
  EXPECT_EQ(installed["managed-old"]["latest"], "2.0");
  EXPECT_EQ(installed["unlisted"]["path"], (paths_.addonsFolder / "unlisted").string());
  ASSERT_EQ(state["catalog"].size(), 4u);
  EXPECT_EQ(state["catalog"][3], (json{{"id", "new-one"},
                                       {"name", "New"},
                                       {"version", "1.0"},
                                       {"author", "au"},
                                       {"description", "desc"},
                                       {"size", 40},
                                       {"installed", false},
                                       {"queued", true}}));
  EXPECT_EQ(state["catalog"][0]["installed"], true);
  EXPECT_EQ(state["folder"], paths_.addonsFolder.string());
}

TEST(DefaultAddonPathsTest, TheLaunchersOwnFolders) {
  testing::ScopedHome home;
  writeFile(addonsFolder() / "pack" / "addon.json", R"({"name": "Pack"})");
  ASSERT_TRUE(setAddonEnabled("pack", true));
  EXPECT_TRUE(fs::exists(dataFolder() / "addons.json"));
  EXPECT_EQ(readEnabledAddons(), std::vector<std::string>{"pack"});
  std::vector<AddonInfo> addons = listInstalledAddons();
  ASSERT_EQ(addons.size(), 1u);
  EXPECT_TRUE(addons[0].enabled);
  EXPECT_EQ(addons[0].folder, addonsFolder() / "pack");
}

}  // namespace
}  // namespace launcher
