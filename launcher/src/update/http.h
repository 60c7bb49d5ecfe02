// Every byte from outside the machine comes through here: http(s) over one
// process-wide session, and local files or "file:" URLs through the same
// calls. All calls block until the transfer ends; any thread may call them
// (never the UI thread). Failure is false plus a user-readable text in
// `error`; "Cancelled" means a sink or progress callback said stop.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace launcher {

// Receives each block read; false stops the transfer ("Cancelled").
using DataSink = std::function<bool(const char* data, size_t length)>;
// Bytes written so far and the expected total (0 when unknown); false stops.
using DownloadProgress = std::function<bool(uint64_t done, uint64_t total)>;
// Asked at least once a second while a transfer runs, also while the server
// sends nothing, and before each block; true ends the transfer as "Cancelled".
// May be empty. Called on the transferring thread.
using StopRequested = std::function<bool()>;

// fetchText keeps bodies below this size; a larger one fails with its own text.
inline constexpr uint64_t maxTextBytes = 64ull * 1024 * 1024;

// Limits of one transfer beyond the usual stall rule (nothing received for
// 30 s). A request that runs longer than `totalSeconds` (0: no limit) fails
// as a transfer error.
struct TransferLimits {
  long totalSeconds = 0;
};

// Small JSON documents (latest.json, the add-on catalogue, the server status,
// account requests) must not hold a thread for longer than this.
inline constexpr TransferLimits smallDocumentLimits{60};

// A content manifest (up to 64 MiB for a large release) must not hold a
// thread for longer than this.
inline constexpr TransferLimits manifestDocumentLimits{600};

// GET of an http(s) URL, each block of the body handed to `sink`. Any status
// but 200 fails with "Server answered N for URL" before the sink is called.
// `contentLength` is the Content-Length header, 0 when absent; it is set
// before the sink's first call. Each thread keeps one connection per server
// alive between its requests; connections are never handed between threads.
[[nodiscard]] bool httpGet(const std::string& url, const DataSink& sink, uint64_t& contentLength,
                           std::string& error, const StopRequested& stop = {},
                           const TransferLimits& limits = {});

// The whole body of an http(s) URL or of a local regular file, below 64 MiB;
// a larger one fails with "<url> is 64 MiB or larger", never "Cancelled".
[[nodiscard]] bool fetchText(const std::string& url, std::string& body, std::string& error,
                             const StopRequested& stop = {}, const TransferLimits& limits = {});

// Copies an http(s) or local source to `dest` (parents created, truncated),
// hashing while writing; on success `sha256` is the digest of every byte
// written. A partial `dest` is left for the caller on failure. A write
// failure at the destination reads "Couldn't write <dest> (disk full?)", never
// "Cancelled".
[[nodiscard]] bool downloadFile(const std::string& url, const std::filesystem::path& dest,
                                const DownloadProgress& progress, std::string& sha256,
                                std::string& error, const StopRequested& stop = {});

// The error of downloadIntoRange when the source holds more than `size` bytes.
inline constexpr const char* objectTooLargeText = "The object is larger than its manifest says";

// As downloadFile, but into [offset, offset + size) of `dest`, an existing
// file that is neither created nor truncated here, so that other ranges of it
// (written by other threads, or verified by an earlier run) stay as they are.
// Never writes outside the range: a source longer than `size` fails with
// objectTooLargeText before its excess is written. `sha256` is the digest of
// the bytes written. A partial range is left for the caller on failure.
[[nodiscard]] bool downloadIntoRange(const std::string& url, const std::filesystem::path& dest,
                                     uint64_t offset, uint64_t size, const DownloadProgress& progress,
                                     std::string& sha256, std::string& error,
                                     const StopRequested& stop = {});

// A JSON request with Content-Type: application/json and, when the token is
// not empty, "Authorization: Bearer <token>". True whenever a response
// arrived, whatever its status; at most 1 MiB (+ one 8 KiB read) of the body
// is kept. Limited to smallDocumentLimits.
[[nodiscard]] bool sendJsonRequest(const std::string& method, const std::string& url,
                                   const std::string& body, const std::string& bearerToken,
                                   std::string& response, int& status, std::string& error);

}  // namespace launcher
