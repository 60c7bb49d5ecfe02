// Times the UI thread's work for one state push: reading what it needs of the
// disk (the add-ons folder with 50 add-ons, each a folder with its addon.json
// and manifest.json, and the enabled list; files that did not change since
// the last document are answered from the scan's cache after one stat each), building the document under the
// application mutex and serialising it, with the 50 add-ons also in the
// catalogue, 20 backups and 10 jobs. Prints one JSON object:
// {"runs": N, "median_ms": ..., "p99_ms": ..., "bytes": ...}.
#include "addons/addon_registry.h"
#include "data/json_document.h"
#include "data/paths.h"
#include "testing/app_harness.h"
#include "testing/temp_dir.h"
#include "update/manifest.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace launcher;
namespace fs = std::filesystem;
using nlohmann::json;

int main(int argc, char** argv) {
  int runs = 2000;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--runs") runs = std::max(10, std::atoi(argv[i + 1]));
  }
  testing::ScopedHome home;
  testing::TempDir dir;
  auto harness = std::make_unique<testing::AppHarness>(dir / "launcher");
  LauncherApp& app = harness->app();

  // The add-ons as the launcher installs them, in the harness's own data
  // folder: each state document scans them, as the running launcher does.
  constexpr size_t addonCount = 50;
  std::vector<CatalogEntry> catalog;
  std::vector<std::string> enabled;
  for (size_t i = 0; i < addonCount; ++i) {
    const std::string n = std::to_string(i);
    const std::string id = "addon-" + n;
    const std::string description = "A content pack with a description of ordinary length for the page to show.";
    catalog.push_back({id, "Add-on " + n, "1." + n, "Someone", description,
                       "https://updates.example/addons/" + id + ".json", 1000000u + static_cast<uint64_t>(i)});
    const fs::path folder = addonsFolder() / id;
    std::error_code ec;
    fs::create_directories(folder, ec);
    const json info{{"name", "Add-on " + n}, {"version", "1.0"}, {"author", "Someone"}, {"description", description}};
    GameManifest manifest;
    manifest.version = "1.0";
    manifest.build = 1;
    manifest.objects = "objects/";
    manifest.source = "https://updates.example/addons/" + id + ".json";
    for (int f = 0; f < 4; ++f) {
      ManifestFile file;
      file.path = "data/pack" + std::to_string(f) + ".pak";
      file.size = 3 * manifest.chunkSize + static_cast<uint64_t>(f);
      file.sha256 = std::string(64, 'a' + static_cast<char>(f));
      for (int c = 0; c < 4; ++c) file.chunks.push_back(std::string(64, '0' + static_cast<char>(c)));
      manifest.files.push_back(file);
    }
    if (!writeJsonDocument(folder / "addon.json", info) || !writeManifestFile(folder / "manifest.json", manifest)) {
      std::fprintf(stderr, "bench_core: can't write the add-on %s\n", folder.c_str());
      return 1;
    }
    if (i % 5 != 4) enabled.push_back(id);  // most enabled, in an order of the player's
  }
  std::reverse(enabled.begin(), enabled.end());
  if (!writeEnabledAddons(defaultAddonPaths().enabledFile, enabled)) {
    std::fprintf(stderr, "bench_core: can't write the enabled list\n");
    return 1;
  }
  LauncherAppProbe::setCatalog(app, catalog);
  json backups = json::array();
  for (int i = 0; i < 20; ++i) {
    backups.push_back({{"name", "2024-05-" + std::to_string(10 + i) + "_12-00-00"},
                       {"label", "12 May 2024, 12:00"},
                       {"size", 123456789},
                       {"files", 42}});
  }
  LauncherAppProbe::setSavesSummary(app, {{"backups", backups}, {"files", 42}, {"size", 123456789}});

  // One running job and nine waiting behind it.
  std::atomic<bool> release{false};
  Job running;
  running.kind = "game";
  running.label = "Astrane: Vantor";
  running.body = [&] {
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return std::string();
  };
  app.jobs().enqueue(std::move(running), QueuePosition::Front);
  for (int i = 0; i < 9; ++i) {
    Job waiting;
    waiting.kind = "addon";
    waiting.target = "addon-" + std::to_string(i);
    waiting.label = "Add-on " + std::to_string(i);
    waiting.body = [] { return std::string(); };
    app.jobs().enqueue(std::move(waiting), QueuePosition::Back);
  }
  harness->pumpUntil([&] { return app.buildState()["task"].is_object(); });

  // The add-ons were installed earlier, as in a launcher that runs: the scan
  // answers a file from its cache only once its times lie two seconds in the
  // past (see addon_scan_cache.h), so wait until every file is answered so.
  const auto settleDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    const uint64_t readBefore = LauncherAppProbe::addonScanCounts(app).read;
    (void)app.buildState();
    if (LauncherAppProbe::addonScanCounts(app).read == readBefore) break;
    if (std::chrono::steady_clock::now() > settleDeadline) {
      std::fprintf(stderr, "bench_core: the add-on files never settled\n");
      release = true;
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  // Wall time is what the UI thread loses; its own CPU time shows how much of
  // that a busy machine added by running other work in between.
  auto threadCpuMs = [] {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
  };
  std::vector<double> ms;
  std::vector<double> cpu;
  size_t bytes = 0;
  for (int i = 0; i < runs + runs / 10; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = threadCpuMs();
    const std::string text = app.buildState().dump(-1, ' ', false, json::error_handler_t::replace);
    const double cpuElapsed = threadCpuMs() - cpuStart;
    const double elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (i >= runs / 10) {  // the first tenth warms up
      ms.push_back(elapsed);
      cpu.push_back(cpuElapsed);
    }
    bytes = text.size();
  }
  std::sort(ms.begin(), ms.end());
  std::sort(cpu.begin(), cpu.end());
  const json doc = app.buildState();
  if (doc["addons"]["installed"].size() != addonCount) {
    std::fprintf(stderr, "bench_core: the state shows %zu add-ons, not %zu\n", doc["addons"]["installed"].size(),
                 addonCount);
    release = true;
    return 1;
  }
  auto p99 = [](const std::vector<double>& v) { return v[std::min(v.size() - 1, v.size() * 99 / 100)]; };
  std::printf("{\"runs\": %zu, \"median_ms\": %.4f, \"p99_ms\": %.4f, \"cpu_median_ms\": %.4f, "
              "\"cpu_p99_ms\": %.4f, \"bytes\": %zu, \"jobs\": %zu, "
              "\"installed\": %zu, \"catalog\": %zu, \"backups\": %zu}\n",
              ms.size(), ms[ms.size() / 2], p99(ms), cpu[cpu.size() / 2], p99(cpu), bytes,
              doc["queue"].size(), doc["addons"]["installed"].size(), doc["addons"]["catalog"].size(),
              doc["saves"]["backups"].size());
  release = true;
  harness.reset();
  return 0;
}
