// The optional online account on the update server: the stored sign-in
// ("account.json", its token protected), the requests (sign in, create, sign
// out, the sign-in check) as thread bodies, and the UI-thread steps that apply
// their answers. The launcher keeps one AccountRecord on the UI thread and
// one account thread; everything here takes what it needs as parameters.
#pragma once

#include "online/token_protection.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>

namespace launcher {

inline constexpr const char* noAccountServerText = "This copy has no server to sign in to.";
inline constexpr const char* cantReachServerText = "Can't reach the server. Check your connection.";
inline constexpr const char* accountFailedText = "That didn't work.";
inline constexpr const char* signedOutText = "Signed out";
inline constexpr const char* signInExpiredText = "Your sign-in has expired. Sign in again under Settings > Online.";

// A sign-in counts only with a token of exactly this many characters.
inline constexpr size_t accountTokenLength = 64;

// The account members of the launcher. UI thread only.
struct AccountRecord {
  std::string username;  // empty when signed out
  std::string server;    // the account server the sign-in was made on
  std::string token;
  nlohmann::json profile = nlohmann::json::object();  // from the server; never stored
  bool busy = false;  // a sign-in, create or sign-out request is in flight
};

// Where the sign-in is kept: the file and the token's key.
struct AccountStore {
  std::filesystem::path file;  // dataFolder() / "account.json"
  TokenKeyPlace key;
};
// dataFolder() / "account.json" with defaultTokenKeyPlace().
[[nodiscard]] AccountStore defaultAccountStore();

// The feed base when it is an https location, or an http one on a loopback
// address (isAllowedTransferLocation), else "" (no account features).
[[nodiscard]] std::string accountServerFor(const std::string& feedBase);

// True for text a token may be: not empty, printable ASCII, no spaces.
[[nodiscard]] bool isValidTokenText(const std::string& token);

// The username is set and the token is exactly 64 valid characters.
[[nodiscard]] bool isSignedIn(const AccountRecord& account);

// The "account" section of the state document: "available", "signedIn",
// "username", "busy", "profile", "site" (the server + "/install/", or "").
[[nodiscard]] nlohmann::json accountStateJson(const AccountRecord& account, const std::string& accountServer);

// The stored sign-in: username, server and the unprotected token, or all three
// empty when the file is missing or damaged, a member is not a string, the
// token does not open (another user, key or machine) or the result is not a
// sign-in. When the token's key file is not private (dropUnsafeTokenKey), the
// key and the file are removed and the player is signed out. A file that
// others may read is made the owner's only. The profile starts empty.
// Start-up, UI thread.
[[nodiscard]] AccountRecord loadAccount(const AccountStore& store);

// Writes {"server", "token" (protected), "username"} through the checked
// ".tmp" write, readable and writable by this user only (0600). False, with nothing written, when the token cannot be
// protected or the write fails; the sign-in then stays in memory for this run.
[[nodiscard]] bool saveAccount(const AccountRecord& account, const AccountStore& store);

// Removes the file; a missing file is no error.
void deleteAccountFile(const AccountStore& store);

enum class AccountMode { SignIn, Create, SignOut };

// "signin", "create", "signout": the last part of the request's path.
[[nodiscard]] const char* accountModeName(AccountMode mode);

// One request for the account thread. Everything it needs is copied in.
struct AccountRequest {
  AccountMode mode = AccountMode::SignIn;
  std::string server;  // the account server to ask
  std::string username;
  std::string password;
  std::string token;  // sign-out only: the bearer token
  std::string ref;    // create only: the installer's referral text
};

// The answer the account thread brings back (or, for a sign-out done
// locally, one that never went out).
struct AccountAnswer {
  AccountMode mode = AccountMode::SignIn;
  std::string username;  // as typed
  std::string server;    // the server asked
  std::string token;     // the check only: the token it was made with
  bool answered = false;
  int status = 0;
  std::string body;
};

enum class AccountStep {
  Reply,          // send `pageMessage` to the page and stop
  Ignore,         // a request is already in flight: nothing at all
  FinishLocally,  // apply finishAccountRequest(localAnswer) at once; nothing is sent
  Start,          // join the account thread, set busy, push, run `request` on it
};

struct AccountPlan {
  AccountStep step = AccountStep::Ignore;
  nlohmann::json pageMessage;  // Reply
  AccountAnswer localAnswer;   // FinishLocally
  AccountRequest request;      // Start
};

// What accountRequest does (UI thread): sign-in and create need an account
// server ("This copy has no server to sign in to."); nothing happens while a
// request is busy; a sign-out whose sign-in was made on another server than
// the current one (or when there is none now) happens locally, so the old
// token never reaches a server that did not issue it.
[[nodiscard]] AccountPlan planAccountRequest(const AccountRecord& account, AccountMode mode,
                                             const std::string& username, const std::string& password,
                                             const std::string& accountServer, const std::string& installRef);

// The account thread's body: one POST to server + "/api/account/" + mode
// with the compact JSON body ({"password", "username"}, plus "ref" for
// create; "{}" with the bearer token for sign-out). Blocks; any thread but the
// UI thread.
[[nodiscard]] AccountAnswer runAccountRequest(const AccountRequest& request);

// What the UI thread does once an answer (or a local sign-out) is in.
struct AccountOutcome {
  nlohmann::json pageMessage;     // {"type": "account", ...} to send, or null
  std::string toast;              // to show, or ""
  bool enableOnline = false;      // turn online.enabled on and save the game settings
  bool setOnboarded = false;      // set the preference onboarded and save the preferences
};

// finishAccountRequest (UI thread): clears busy; a sign-out deletes the file
// and clears the sign-in whatever the server said ("Signed out"); a 200
// answer whose "token" is valid token text signs in (the profile's
// "username" wins over the typed name when it is a non-empty string; a
// "profile" that is not an object counts as absent; of an object only
// "username" and "referralCode" strings and an "invited" non-negative integer
// are kept, so the page never gets a member of a type it does not expect),
// saves the file and logs
// "Signed in as {}"; any other answer gives the server's "error" string,
// "That didn't work." or, with no answer, "Can't reach the server. Check your
// connection.". The caller then applies the outcome and requests a state push.
[[nodiscard]] AccountOutcome finishAccountRequest(AccountRecord& account, const AccountAnswer& answer,
                                                  const AccountStore& store);

// The sign-in check ("ready" while signed in). Runs only when signed in and
// the sign-in was made on the current account server; a token is never sent
// elsewhere. UI thread.
[[nodiscard]] bool shouldCheckAccount(const AccountRecord& account, const std::string& accountServer);

// The check's thread body: GET server + "/api/account/me" with the token.
[[nodiscard]] AccountAnswer runAccountCheck(const std::string& server, const std::string& token);

// finishAccountCheck (UI thread; post it only when `answered`). An answer
// about another sign-in than the current one changes nothing. 401 deletes
// the file and clears the sign-in (the profile stays) with the toast "Your
// sign-in has expired. ..."; 200 with an object "profile" replaces the
// profile (checked member by member as above); anything else changes nothing. The caller requests a state push.
[[nodiscard]] AccountOutcome finishAccountCheck(AccountRecord& account, const AccountAnswer& answer,
                                                const AccountStore& store);

}  // namespace launcher
