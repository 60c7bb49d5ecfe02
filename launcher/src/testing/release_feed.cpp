#include "testing/release_feed.h"

#include "testing/child_process.h"
#include "update/sha256.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <random>

namespace launcher::testing {

namespace fs = std::filesystem;

std::map<std::string, uint64_t> PublishedRelease::objects() const {
  std::map<std::string, uint64_t> out;
  for (const auto& f : files) {
    if (f.chunks.empty()) {
      out.emplace(f.sha256, f.size);
      continue;
    }
    for (size_t i = 0; i < f.chunks.size(); ++i) {
      const uint64_t offset = i * chunkSize;
      out.emplace(f.chunks[i], std::min(chunkSize, f.size - std::min(f.size, offset)));
    }
  }
  return out;
}

const PublishedFile* PublishedRelease::find(const std::string& path) const {
  for (const auto& f : files) {
    if (f.path == path) return &f;
  }
  return nullptr;
}

bool makeFeedKey(const fs::path& repo, const fs::path& keyFile, std::string& publicKey, std::string& error) {
  ProcessResult r = runProcess({"python3", (repo / "tools" / "release" / "make_key.py").string(), keyFile.string()});
  if (r.exitCode != 0) {
    error = "make_key.py failed: " + describe(r);
    return false;
  }
  publicKey = r.out;
  while (!publicKey.empty() && (publicKey.back() == '\n' || publicKey.back() == '\r')) publicKey.pop_back();
  return true;
}

bool publishRelease(const fs::path& repo, const fs::path& content, const fs::path& feed,
                    const std::string& version, int build, uint64_t chunkSize, PublishedRelease& out,
                    std::string& error, const std::vector<std::string>& extra) {
  const fs::path script = repo / "tools" / "release" / "make_release.py";
  if (!fs::exists(script)) {
    error = script.string() + " does not exist";
    return false;
  }
  std::vector<std::string> argv{"python3", script.string(), content.string(), feed.string(), "--version", version,
                                "--build", std::to_string(build), "--chunk-size", std::to_string(chunkSize)};
  argv.insert(argv.end(), extra.begin(), extra.end());
  ProcessResult r = runProcess(argv, 300000);
  if (r.exitCode != 0) {
    error = "make_release.py failed: " + describe(r);
    return false;
  }
  const std::string rel = "manifests/" + version + "-" + std::to_string(build) + ".json";
  if (!readPublishedManifest(feed / rel, out, error)) return false;
  out.manifestPath = rel;
  return true;
}

bool readPublishedManifest(const fs::path& file, PublishedRelease& out, std::string& error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "can't read " + file.string();
    return false;
  }
  const nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
  if (!doc.is_object() || !doc.contains("files") || !doc["files"].is_array()) {
    error = file.string() + " is not a manifest";
    return false;
  }
  out = {};
  out.version = doc.value("version", "");
  out.build = doc.value("build", 0);
  out.chunkSize = doc.value("chunkSize", uint64_t{1048576});
  for (const auto& f : doc["files"]) {
    if (!f.is_object()) {
      error = file.string() + " lists a file that is not an object";
      return false;
    }
    PublishedFile pf;
    pf.path = f.value("path", "");
    pf.size = f.value("size", uint64_t{0});
    pf.sha256 = f.value("sha256", "");
    if (f.contains("chunks") && f["chunks"].is_array()) {
      for (const auto& c : f["chunks"]) {
        if (c.is_string()) pf.chunks.push_back(c.get<std::string>());
      }
    }
    out.files.push_back(std::move(pf));
  }
  return true;
}

bool folderMatchesRelease(const fs::path& folder, const PublishedRelease& r, std::string& why, Staging staging) {
  why.clear();
  std::set<std::string> listed;
  for (const auto& f : r.files) {
    listed.insert(f.path);
    const fs::path file = folder / fs::path(f.path);
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec) {
      why += f.path + ": missing\n";
      continue;
    }
    if (size != f.size) {
      why += f.path + ": " + std::to_string(size) + " bytes, not " + std::to_string(f.size) + "\n";
      continue;
    }
    if (sha256File(file) != f.sha256) why += f.path + ": wrong content\n";
  }
  std::error_code ec;
  if (staging == Staging::MustBeGone && fs::exists(folder / ".staging", ec)) why += ".staging is still there\n";
  {
    std::ifstream in(folder / "manifest.json", std::ios::binary);
    const nlohmann::json installed = nlohmann::json::parse(in, nullptr, false);
    if (!installed.is_object()) {
      why += "manifest.json is missing or damaged\n";
    } else if (installed.value("version", "") != r.version || installed.value("build", -1) != r.build ||
               !installed.contains("files") || !installed["files"].is_array() ||
               installed["files"].size() != r.files.size()) {
      why += "manifest.json does not describe " + r.version + "-" + std::to_string(r.build) + "\n";
    }
  }
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    const std::string rel = fs::relative(it->path(), folder).generic_string();
    if (rel == "manifest.json" || rel.rfind(".staging/", 0) == 0) continue;
    if (!listed.count(rel)) why += rel + ": not in the release\n";
  }
  return why.empty();
}

namespace {

// The digest of [offset, offset + size) of a file, or "" when it is shorter.
std::string rangeDigest(std::ifstream& in, uint64_t offset, uint64_t size) {
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  Sha256 hash;
  std::vector<char> block(1 << 20);
  while (size > 0 && in) {
    const auto n = static_cast<std::streamsize>(std::min<uint64_t>(size, block.size()));
    in.read(block.data(), n);
    if (in.gcount() != n) return {};
    hash.update(block.data(), static_cast<size_t>(n));
    size -= static_cast<uint64_t>(n);
  }
  return size == 0 ? hash.finishHex() : std::string();
}

}  // namespace

std::set<std::string> verifiedStagedChunks(const fs::path& folder, const PublishedRelease& r) {
  std::set<std::string> out;
  std::error_code ec;
  for (const PublishedFile& f : r.files) {
    const fs::path staged = folder / ".staging" / "files" / fs::path(f.path);
    if (!fs::is_regular_file(staged, ec)) continue;
    std::ifstream in(staged, std::ios::binary);
    const std::vector<std::string> hashes = f.chunks.empty() ? std::vector<std::string>{f.sha256} : f.chunks;
    for (size_t i = 0; i < hashes.size(); ++i) {
      const uint64_t offset = f.chunks.empty() ? 0 : i * r.chunkSize;
      const uint64_t size = f.chunks.empty() ? f.size : std::min(r.chunkSize, f.size - std::min(f.size, offset));
      if (rangeDigest(in, offset, size) == hashes[i]) out.insert(hashes[i]);
    }
  }
  for (const auto& entry : fs::directory_iterator(folder / ".staging" / "chunks", ec)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && isValidDigest(name) && sha256File(entry.path()) == name) out.insert(name);
  }
  return out;
}

std::vector<std::string> objectRequests(const std::vector<AccessEntry>& log) {
  std::vector<std::string> out;
  for (const auto& e : log) {
    const std::string hash = objectHashOfUri(e.uri);
    if (!hash.empty() && e.uri.find("/objects/") != std::string::npos) out.push_back(hash);
  }
  return out;
}

namespace {

void writeSeeded(std::fstream& out, uint64_t length, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::vector<uint64_t> block(1 << 14);  // 128 KiB
  while (length > 0) {
    for (auto& w : block) w = gen();
    const uint64_t n = std::min<uint64_t>(length, block.size() * sizeof(uint64_t));
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    length -= n;
  }
}

}  // namespace

void writeRandomFile(const fs::path& file, uint64_t size, uint64_t seed) {
  std::error_code ec;
  if (file.has_parent_path()) fs::create_directories(file.parent_path(), ec);
  std::fstream out(file, std::ios::binary | std::ios::out | std::ios::trunc);
  writeSeeded(out, size, seed);
  out.close();
  ASSERT_TRUE(out) << "could not write " << file;
}

void overwriteRandom(const fs::path& file, uint64_t offset, uint64_t length, uint64_t seed) {
  std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
  ASSERT_TRUE(out) << "could not open " << file;
  out.seekp(static_cast<std::streamoff>(offset));
  writeSeeded(out, length, seed);
  out.close();
  ASSERT_TRUE(out) << "could not write " << file;
}

}  // namespace launcher::testing
