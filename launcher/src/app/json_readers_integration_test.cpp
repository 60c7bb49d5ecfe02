// JSONTestSuite's 318 parsing cases (testing/json_test_suite) fed to every
// reader of JSON that comes from outside the launcher: a server's manifest,
// latest.json, catalogue and account answers, the files the game or another
// program may have written (settings.json, launcher.json, addons.json, an
// add-on's addon.json, an installed manifest.json), and the page's command
// text. None may crash or hang, and none may take a case that is not JSON
// ("n_") as a document. Prints one table row per reader.
#include "addons/addon_registry.h"
#include "data/game_settings.h"
#include "data/json_document.h"
#include "data/launcher_prefs.h"
#include "online/account.h"
#include "shell/bridge.h"
#include "testing/temp_dir.h"
#include "update/feed.h"
#include "update/manifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Case {
  std::string name;
  std::string bytes;
  char kind;  // 'y', 'n' or 'i'
};

std::vector<Case> suite() {
  std::vector<Case> cases;
  const fs::path folder = fs::path(VANTOR_SOURCE_DIR) / "launcher/src/testing/json_test_suite/test_parsing";
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    cases.push_back({name, testing::readFile(entry.path()), name[0]});
  }
  std::sort(cases.begin(), cases.end(), [](const Case& a, const Case& b) { return a.name < b.name; });
  return cases;
}

// One reader: true when it took the bytes as a document of its kind.
struct Reader {
  const char* name;
  std::function<bool(const std::string& bytes, const fs::path& scratch)> accepts;
};

void put(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  testing::writeFile(file, bytes);
}

std::vector<Reader> readers() {
  return {
      {"manifest (server)",
       [](const std::string& b, const fs::path&) {
         GameManifest m;
         std::string error;
         return parseManifest(b, m, error);
       }},
      {"manifest.json (installed)",
       [](const std::string& b, const fs::path& s) {
         put(s / "manifest.json", b);
         GameManifest m;
         return readManifestFile(s / "manifest.json", m);
       }},
      {"latest.json", [](const std::string& b, const fs::path&) { return parseFeed("https://u.example/x", b).ok; }},
      {"catalog.json",
       [](const std::string& b, const fs::path& s) {
         put(s / "catalog.json", b);
         std::vector<CatalogEntry> entries;
         std::string error;
         return fetchCatalog((s / "catalog.json").string(), entries, error);
       }},
      {"settings.json",
       [](const std::string& b, const fs::path& s) {
         put(s / "settings.json", b);
         (void)loadGameSettings(s / "settings.json");
         // A file that does not parse is kept aside as damaged.
         return !fs::exists(s / "settings.json.bad");
       }},
      {"launcher.json",
       [](const std::string& b, const fs::path& s) {
         put(s / "launcher.json", b);
         const LauncherPrefs prefs = loadLauncherPrefsFrom(s / "launcher.json");
         const bool document = !readJsonDocument(s / "launcher.json").is_discarded();
         if (!document && launcherPrefsToJson(prefs) != launcherPrefsToJson(defaultLauncherPrefs())) {
           ADD_FAILURE() << "preferences taken from a file that is not JSON";
         }
         return document;
       }},
      {"addons.json",
       [](const std::string& b, const fs::path& s) {
         put(s / "addons.json", b);
         const bool document = !readJsonDocument(s / "addons.json").is_discarded();
         if (!document && !readEnabledAddons(s / "addons.json").empty()) ADD_FAILURE() << "ids from a non-document";
         return document;
       }},
      {"addon.json",
       [](const std::string& b, const fs::path& s) {
         put(s / "addons" / "pack" / "addon.json", b);
         return !listInstalledAddons({s / "addons", s / "enabled.json"}).empty();
       }},
      {"page command", [](const std::string& b, const fs::path&) { return parsePageMessage(b).has_value(); }},
      {"account answer",
       [](const std::string& b, const fs::path& s) {
         AccountRecord account;
         account.busy = true;
         AccountAnswer answer;
         answer.username = "pilot";
         answer.server = "https://u.example";
         answer.answered = true;
         answer.status = 200;
         answer.body = b;
         AccountStore store;
         store.file = s / "account.json";
         const AccountOutcome outcome = finishAccountRequest(account, answer, store);
         if (isSignedIn(account)) ADD_FAILURE() << "signed in without a token";
         return outcome.pageMessage.dump().find(accountFailedText) == std::string::npos;
       }},
  };
}

TEST(JsonReadersSuiteTest, NoReaderTakesAnInvalidCaseAsADocument) {
  const std::vector<Case> cases = suite();
  ASSERT_EQ(cases.size(), 318u);
  testing::ScopedHome home;
  std::printf("JSONTestSuite, %zu cases: per reader, cases taken as a document / all of that kind\n", cases.size());
  std::printf("  %-26s %9s %9s %9s %10s\n", "reader", "y_ (95)", "n_ (188)", "i_ (35)", "slowest ms");
  for (const Reader& reader : readers()) {
    std::map<char, int> taken;
    double slowest = 0;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(reader.name) + ": " + c.name);
      testing::TempDir scratch;
      const auto start = std::chrono::steady_clock::now();
      bool accepted = false;
      EXPECT_NO_THROW(accepted = reader.accepts(c.bytes, scratch.path()));
      slowest = std::max(slowest, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
      if (accepted) ++taken[c.kind];
      if (c.kind == 'n') {
        EXPECT_FALSE(accepted) << "an invalid case was taken as a document";
      }
    }
    std::printf("  %-26s %9d %9d %9d %10.2f\n", reader.name, taken['y'], taken['n'], taken['i'], slowest);
  }
}

}  // namespace
}  // namespace launcher
