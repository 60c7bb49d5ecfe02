// Keeps the account token unreadable outside this user on this machine:
// AES-256-GCM under a key derived (HKDF-SHA256, the machine id as salt,
// "Vantor session" as info) from a random per-user key in
// <config>/vantor/session.key; "Vantor session" is also the associated data.
// The protected text is one line of Base64 over nonce (12 bytes), ciphertext
// and tag (16 bytes). A text made under another key or machine id, or with a
// key of the wrong length, does not open.
#pragma once

#include <filesystem>
#include <string>

namespace launcher {

// Where the key is and what binds it to the machine.
struct TokenKeyPlace {
  std::filesystem::path keyFile;
  std::string machineId;  // trimmed; empty when the machine has none
};

// configFolder() / "vantor" / "session.key" and the machine id; logs a "warn"
// line when the machine has no id (the key then binds to the user only).
[[nodiscard]] TokenKeyPlace defaultTokenKeyPlace();

// The key file is read only when it is private: opened without following a
// link at its name, a regular file owned by this user that nobody else may
// read or write. One that is not is of no use (someone else may know the
// key): it is removed with a "warn" line, and whatever it protected is lost.

// When a key file is there but not private: removes it with a "warn" line and
// returns true (the caller signs the player out). Any thread.
[[nodiscard]] bool dropUnsafeTokenKey(const TokenKeyPlace& place);

// The protected text of `token`, or "" on any failure. Creates the key file
// (exclusively, 0600, its folder 0700) when there is none, or in place of
// one that is not private: the only place a key is ever made. A key file of
// the wrong length is left alone and fails. Any thread.
[[nodiscard]] std::string protectToken(const std::string& token, const TokenKeyPlace& place);

// The token inside `text`, or "" on any failure (no key file, a key file
// that is not private, a key of the wrong length, another key or machine,
// damaged text). Never creates or removes a key.
// Any thread.
[[nodiscard]] std::string unprotectToken(const std::string& text, const TokenKeyPlace& place);

}  // namespace launcher
