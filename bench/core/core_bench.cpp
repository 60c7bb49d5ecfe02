// Times the UI thread's work for one state push: building the document under
// the application mutex and serialising it, with 50 add-ons installed and in
// the catalogue, 20 backups and 10 jobs. Prints one JSON object:
// {"runs": N, "median_ms": ..., "p99_ms": ..., "bytes": ...}.
#include "testing/app_harness.h"
#include "testing/temp_dir.h"

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

  std::vector<CatalogEntry> catalog;
  std::vector<AddonInfo> installed;
  for (int i = 0; i < 50; ++i) {
    const std::string id = "addon-" + std::to_string(i);
    catalog.push_back({id, "Add-on " + std::to_string(i), "1." + std::to_string(i), "Someone",
                       "A content pack with a description of ordinary length for the page to show.",
                       "https://updates.example/addons/" + id + ".json", 1000000u + static_cast<uint64_t>(i)});
    AddonInfo view;
    view.enabled = true;
    view.id = id;
    view.name = "Add-on " + std::to_string(i);
    view.version = "1.0";
    view.author = "Someone";
    view.description = "A content pack with a description of ordinary length for the page to show.";
    view.managed = i % 2 == 0;
    view.folder = dir / "addons" / id;
    installed.push_back(view);
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
    const std::string text =
        LauncherAppProbe::buildStateWithAddons(app, installed).dump(-1, ' ', false, json::error_handler_t::replace);
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
  const json doc = json(LauncherAppProbe::buildStateWithAddons(app, installed));
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
