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

}  // namespace launcher
