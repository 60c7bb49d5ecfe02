#include "addons/addon_scan_cache.h"

#include "data/json_document.h"
#include "update/location.h"

#include <algorithm>
#include <chrono>
#include <unordered_set>

namespace launcher {

namespace fs = std::filesystem;

namespace {

// Longer than the step of any file system's timestamps (a kernel tick, or the
// two seconds of FAT).
constexpr int64_t settleNs = 2'000'000'000;

}  // namespace

int64_t scanClockNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace {

std::string textMember(const json& object, const char* key, const std::string& fallback) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return fallback;
  return it->get<std::string>();
}

}  // namespace

template <typename Value, typename Read>
bool AddonScanCache::cached(Entry<Value>& entry, const fs::path& file, Value& out, const Read& read, Basis* seen) {
  const int64_t readAt = scanClockNs();
  FileStamp before;
  const bool stamped = fileStamp(file, before);
  if (seen) *seen = {file, stamped, before};
  {
    std::lock_guard lock(mutex_);
    if (stamped && entry.settled && entry.stamp == before) {
      ++counts_.reused;
      out = entry.value;
      return entry.ok;
    }
  }
  Value value{};
  const bool ok = read(value);
  FileStamp after;
  // Unchanged while it was read, and old enough that a write from now on
  // cannot leave the same stamp.
  const bool settled = stamped && fileStamp(file, after) && after == before &&
                       before.changedNs < readAt - settleNs && before.modifiedNs < readAt - settleNs;
  std::lock_guard lock(mutex_);
  ++counts_.read;
  entry.stamp = before;
  entry.settled = settled;
  entry.ok = ok;
  entry.value = value;
  out = std::move(value);
  return ok;
}

bool AddonScanCache::addonInfo(const fs::path& folder, const std::string& id, AddonInfo& out, Basis* seen) {
  Entry<AddonInfo> entry;
  const std::string key = toUtf8(folder);
  {
    std::lock_guard lock(mutex_);
    if (auto it = infos_.find(key); it != infos_.end()) entry = it->second;
  }
  AddonInfo info;
  const bool ok = cached(entry, folder / "addon.json", info, [&](AddonInfo& value) {
    const json document = readJsonDocument(folder / "addon.json");
    if (!document.is_object()) return false;
    value.id = id;
    value.name = textMember(document, "name", id);
    value.version = textMember(document, "version", "");
    value.author = textMember(document, "author", "");
    value.description = textMember(document, "description", "");
    value.folder = folder;
    return true;
  }, seen);
  {
    std::lock_guard lock(mutex_);
    infos_[key] = entry;
  }
  if (!ok) return false;
  const bool managed = out.managed;
  const bool enabled = out.enabled;
  out = std::move(info);
  out.managed = managed;
  out.enabled = enabled;
  return true;
}

std::vector<std::string> AddonScanCache::enabledList(const fs::path& enabledFile, Basis* seen) {
  Entry<std::vector<std::string>> entry;
  {
    std::lock_guard lock(mutex_);
    if (enabledFile_ == enabledFile) entry = enabled_;
  }
  std::vector<std::string> ids;
  (void)cached(entry, enabledFile, ids, [&](std::vector<std::string>& value) {
    value = readEnabledAddons(enabledFile);
    return true;
  }, seen);
  std::lock_guard lock(mutex_);
  enabledFile_ = enabledFile;
  enabled_ = std::move(entry);
  return ids;
}

bool AddonScanCache::keptListing(const AddonPaths& paths, std::vector<AddonInfo>& out) {
  std::shared_ptr<const Listing> kept;
  {
    std::lock_guard lock(mutex_);
    kept = listing_;
  }
  if (!kept || kept->addonsFolder != paths.addonsFolder || kept->enabledFile != paths.enabledFile) return false;
  std::vector<std::optional<FileStamp>> now;
  fileStampsUnder(kept->addonsFolder, kept->names, now);
  if (now != kept->stamps) return false;
  for (const Basis& b : kept->others) {
    FileStamp stamp;
    const bool present = fileStamp(b.file, stamp);
    if (present != b.present || (present && !(stamp == b.stamp))) return false;
  }
  out = kept->addons;
  std::lock_guard lock(mutex_);
  counts_.reused += kept->addons.size() + 1;  // each addon.json and the enabled list
  return true;
}

void AddonScanCache::keepListing(const AddonPaths& paths, std::vector<Basis> basis, int64_t scanStartNs,
                                 const std::vector<AddonInfo>& listing) {
  auto listed = std::make_shared<Listing>();
  bool settled = true;
  for (Basis& b : basis) {
    FileStamp now;
    const bool present = fileStamp(b.file, now);
    if (present != b.present || (present && !(now == b.stamp)) ||
        (present && (now.changedNs >= scanStartNs - settleNs || now.modifiedNs >= scanStartNs - settleNs))) {
      settled = false;
      break;
    }
    const fs::path relative = b.file.lexically_relative(paths.addonsFolder);
    if (!relative.empty() && *relative.begin() != "..") {
      listed->names.push_back(relative);
      listed->stamps.push_back(b.present ? std::optional<FileStamp>(b.stamp) : std::nullopt);
    } else {
      listed->others.push_back(std::move(b));
    }
  }
  std::shared_ptr<const Listing> kept;
  if (settled) {
    listed->addonsFolder = paths.addonsFolder;
    listed->enabledFile = paths.enabledFile;
    listed->addons = listing;
    kept = std::move(listed);
  }
  std::lock_guard lock(mutex_);
  listing_ = std::move(kept);
}

void AddonScanCache::retainOnly(const std::vector<fs::path>& folders) {
  std::unordered_set<std::string> keep;
  for (const fs::path& folder : folders) keep.insert(toUtf8(folder));
  std::lock_guard lock(mutex_);
  for (auto it = infos_.begin(); it != infos_.end();) {
    it = keep.count(it->first) ? std::next(it) : infos_.erase(it);
  }
}

AddonScanCache::Counts AddonScanCache::counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

}  // namespace launcher
