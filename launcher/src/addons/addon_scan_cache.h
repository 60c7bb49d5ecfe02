// What the add-on scan read last time, kept by each file's stamp (identity,
// size, modification and change times), so that a state document does not
// read and parse every add-on's addon.json again. A file is answered from the
// cache only when its stamp is unchanged and it had settled when it was read:
// its times lay more than a second before the read, longer than any file
// system's timestamp step, so a later write (which sets the change time to the
// time of writing) always gives another stamp. Anything else is read again.
// Any thread; calls may overlap.
#pragma once

#include "addons/addon_registry.h"
#include "platform/platform.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace launcher {

// The clock a scan's start is read from for AddonScanCache::keepListing
// (nanoseconds since 1970, the clock file times follow).
[[nodiscard]] int64_t scanClockNs();

class AddonScanCache {
 public:
  // One file (or folder) a listing was built from, as the scan found it: its
  // stamp, or none when it could not be asked (missing).
  struct Basis {
    std::filesystem::path file;
    bool present = false;
    FileStamp stamp;
  };

  // The name, version, author and description of the add-on in `folder`
  // (id `id`) from its addon.json; false when it is missing or not an object.
  // `managed` and `enabled` are left alone. `seen` (may be null) receives
  // addon.json as it was when it was answered for.
  [[nodiscard]] bool addonInfo(const std::filesystem::path& folder, const std::string& id, AddonInfo& out,
                               Basis* seen = nullptr);

  // readEnabledAddons(enabledFile), cached the same way.
  [[nodiscard]] std::vector<std::string> enabledList(const std::filesystem::path& enabledFile, Basis* seen = nullptr);

  // A whole listing of the add-ons folder, kept so that a state document
  // need not list the folder, build paths, parse or sort again: it answers
  // only while every file and folder it was built from (the add-ons folder,
  // whose times move when an entry comes, goes or is renamed; each add-on's
  // addon.json and manifest.json, present or not; the enabled list) still
  // has the stamp the scan saw, each settled as above. True and `out` set
  // when the listing kept for `paths` answers.
  [[nodiscard]] bool keptListing(const AddonPaths& paths, std::vector<AddonInfo>& out);
  // Keeps `listing`, built for `paths` by a scan that began at `scanStartNs`
  // (system clock) and saw `basis`, when each of those is unchanged since and
  // had settled before the scan began; otherwise drops any listing kept.
  void keepListing(const AddonPaths& paths, std::vector<Basis> basis, int64_t scanStartNs,
                   const std::vector<AddonInfo>& listing);

  // Forgets every add-on folder not in `folders` (removed add-ons).
  void retainOnly(const std::vector<std::filesystem::path>& folders);

  // Files answered from the cache, and files read, so far.
  struct Counts {
    uint64_t reused = 0;
    uint64_t read = 0;
  };
  [[nodiscard]] Counts counts() const;

 private:
  template <typename Value>
  struct Entry {
    FileStamp stamp;
    bool settled = false;  // may be answered from here while the stamp holds
    bool ok = false;
    Value value;
  };
  // Reads `file` through `read` unless the entry answers for it.
  template <typename Value, typename Read>
  bool cached(Entry<Value>& entry, const std::filesystem::path& file, Value& out, const Read& read, Basis* seen);

  struct Listing {
    std::filesystem::path addonsFolder;
    std::filesystem::path enabledFile;
    // The basis inside the add-ons folder, by names relative to it (asked
    // with the folder looked up once), and the rest.
    std::vector<std::filesystem::path> names;
    std::vector<std::optional<FileStamp>> stamps;
    std::vector<Basis> others;
    std::vector<AddonInfo> addons;
  };

  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry<AddonInfo>> infos_;  // by folder
  std::filesystem::path enabledFile_;
  Entry<std::vector<std::string>> enabled_;
  std::shared_ptr<const Listing> listing_;  // null: none kept
  Counts counts_;
};

}  // namespace launcher
