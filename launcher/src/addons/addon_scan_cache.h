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
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace launcher {

class AddonScanCache {
 public:
  // The name, version, author and description of the add-on in `folder`
  // (id `id`) from its addon.json; false when it is missing or not an object.
  // `managed` and `enabled` are left alone.
  [[nodiscard]] bool addonInfo(const std::filesystem::path& folder, const std::string& id, AddonInfo& out);

  // readEnabledAddons(enabledFile), cached the same way.
  [[nodiscard]] std::vector<std::string> enabledList(const std::filesystem::path& enabledFile);

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
  bool cached(Entry<Value>& entry, const std::filesystem::path& file, Value& out, const Read& read);

  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry<AddonInfo>> infos_;  // by folder
  std::filesystem::path enabledFile_;
  Entry<std::vector<std::string>> enabled_;
  Counts counts_;
};

}  // namespace launcher
