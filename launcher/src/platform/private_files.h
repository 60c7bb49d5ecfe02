// What the token protection needs of the system: the per-user configuration
// folder, the machine's identity, and files only their owner can read,
// created without ever replacing one. Declarations only.
#pragma once

#include <filesystem>
#include <string>

namespace launcher {

// $XDG_CONFIG_HOME (when absolute), else ~/.config; empty when neither is known.
[[nodiscard]] std::filesystem::path configFolder();

// The machine's identity, trimmed: /etc/machine-id, else
// /var/lib/dbus/machine-id. False (with `id` empty) when neither can be read.
[[nodiscard]] bool machineId(std::string& id);

enum class NewFileResult { Created, AlreadyExists, Failed };

// Creates `file` holding exactly `bytes`, readable and writable by its owner
// only (0600), its folder created (0700) when missing. The content is written
// and flushed under a temporary name and then linked into place, so the file
// never exists half-written and an existing file is never replaced:
// AlreadyExists when one is there (another process won the race), Failed with
// the system's text in `error` otherwise. Any thread.
[[nodiscard]] NewFileResult createPrivateFile(const std::filesystem::path& file, const std::string& bytes,
                                              std::string& error);

enum class PrivateRead {
  Ok,          // `bytes` holds the file
  Missing,     // nothing by that name
  NotPrivate,  // a link, not a regular file, another owner, or readable or
               // writable by others: `why` says which; nothing was read
  Failed,      // it could not be read: `why` has the system's text
};

// Reads at most `maxBytes` + 1 bytes of `file`, opened without following a
// link at its name, and only when the opened file is a regular file owned by
// this user that nobody else may read or write (mode 0600 or stricter). The
// checks are made on the opened file, so it cannot be swapped between check
// and read. Any thread.
[[nodiscard]] PrivateRead readPrivateFile(const std::filesystem::path& file, size_t maxBytes, std::string& bytes,
                                          std::string& why);

// Removes the name `file` (a link itself, never what it points to). A missing
// file is no failure.
[[nodiscard]] bool removeFileName(const std::filesystem::path& file, std::string& error);

// Takes away every permission of group and others from `file` when it is a
// regular file of this user (not following a link). False, changing
// nothing, when it is missing, not ours or a link.
bool restrictToOwner(const std::filesystem::path& file);

}  // namespace launcher
