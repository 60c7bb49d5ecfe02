#include "online/account.h"

#include "base/log.h"
#include "data/json_document.h"
#include "data/paths.h"
#include "platform/private_files.h"
#include "update/http.h"
#include "update/location.h"

#include <cstdint>
#include <system_error>

namespace launcher {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// A member that is a string, or "" (absent or of another type).
std::string stringMember(const json& object, const char* key) {
  if (!object.is_object()) return {};
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

void clearSignIn(AccountRecord& account) {
  account.username.clear();
  account.server.clear();
  account.token.clear();
}

// The members of a server's profile the launcher passes on, each of its
// type: "username" and "referralCode" strings, "invited" a non-negative
// integer. Anything else, or of another type, is dropped.
json checkedProfile(const json& profile) {
  json out = json::object();
  if (!profile.is_object()) return out;
  for (const char* key : {"username", "referralCode"}) {
    if (auto it = profile.find(key); it != profile.end() && it->is_string()) out[key] = *it;
  }
  if (auto it = profile.find("invited"); it != profile.end()) {
    if (it->is_number_unsigned() || (it->is_number_integer() && it->get<int64_t>() >= 0)) out["invited"] = *it;
  }
  return out;
}

json accountMessage(bool ok) { return json{{"type", "account"}, {"ok", ok}}; }

json failureMessage(const std::string& error) {
  json message = accountMessage(false);
  message["error"] = error;
  return message;
}

}  // namespace

AccountStore defaultAccountStore() { return {dataFolder() / "account.json", defaultTokenKeyPlace()}; }

std::string accountServerFor(const std::string& feedBase) {
  // A password and a token travel to it: over https, or to this machine.
  return isHttpUrl(feedBase) && isAllowedTransferLocation(feedBase) ? feedBase : std::string();
}

bool isValidTokenText(const std::string& token) {
  if (token.empty()) return false;
  for (char c : token) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

bool isSignedIn(const AccountRecord& account) {
  return !account.username.empty() && account.token.size() == accountTokenLength && isValidTokenText(account.token);
}

json accountStateJson(const AccountRecord& account, const std::string& accountServer) {
  return {{"available", !accountServer.empty()},
          {"signedIn", isSignedIn(account)},
          {"username", account.username},
          {"busy", account.busy},
          {"profile", account.profile},
          {"site", accountServer.empty() ? std::string() : accountServer + "/install/"}};
}

AccountRecord loadAccount(const AccountStore& store) {
  AccountRecord account;
  // A key others may know protects nothing: the sign-in it protected is
  // dropped with it (the player signs in again, under a new key).
  if (dropUnsafeTokenKey(store.key)) {
    deleteAccountFile(store);
    return account;
  }
  // Written 0600 by this launcher; a copy from an older one may not be.
  (void)restrictToOwner(store.file);
  json document = readJsonDocument(store.file);
  if (!document.is_object()) return account;
  account.username = stringMember(document, "username");
  account.server = stringMember(document, "server");
  const std::string protectedToken = stringMember(document, "token");
  if (!protectedToken.empty()) account.token = unprotectToken(protectedToken, store.key);
  if (!isSignedIn(account)) clearSignIn(account);
  return account;
}

bool saveAccount(const AccountRecord& account, const AccountStore& store) {
  const std::string protectedToken = protectToken(account.token, store.key);
  if (protectedToken.empty()) return false;
  return writeJsonDocument(store.file,
                           json{{"server", account.server}, {"token", protectedToken}, {"username", account.username}},
                           DocumentKind::Private);
}

void deleteAccountFile(const AccountStore& store) {
  std::error_code ec;
  fs::remove(store.file, ec);
}

const char* accountModeName(AccountMode mode) {
  switch (mode) {
    case AccountMode::SignIn:
      return "signin";
    case AccountMode::Create:
      return "create";
    case AccountMode::SignOut:
      return "signout";
  }
  return "signin";
}

AccountPlan planAccountRequest(const AccountRecord& account, AccountMode mode, const std::string& username,
                               const std::string& password, const std::string& accountServer,
                               const std::string& installRef) {
  AccountPlan plan;
  if (account.busy) {
    plan.step = AccountStep::Ignore;
    return plan;
  }
  if (mode == AccountMode::SignOut) {
    // The token goes only to the server that issued it; elsewhere (or with
    // no server now) the sign-out is local.
    if (accountServer.empty() || account.server != accountServer || account.token.empty()) {
      plan.step = AccountStep::FinishLocally;
      plan.localAnswer.mode = AccountMode::SignOut;
      plan.localAnswer.server = account.server;
      return plan;
    }
    plan.step = AccountStep::Start;
    plan.request.mode = mode;
    plan.request.server = accountServer;
    plan.request.token = account.token;
    return plan;
  }
  if (accountServer.empty()) {
    plan.step = AccountStep::Reply;
    plan.pageMessage = failureMessage(noAccountServerText);
    return plan;
  }
  plan.step = AccountStep::Start;
  plan.request.mode = mode;
  plan.request.server = accountServer;
  plan.request.username = username;
  plan.request.password = password;
  if (mode == AccountMode::Create) plan.request.ref = installRef;
  return plan;
}

AccountAnswer runAccountRequest(const AccountRequest& request) {
  AccountAnswer answer;
  answer.mode = request.mode;
  answer.username = request.username;
  answer.server = request.server;
  std::string body = "{}";
  std::string bearer;
  if (request.mode == AccountMode::SignOut) {
    bearer = request.token;
  } else {
    json object{{"password", request.password}, {"username", request.username}};
    if (request.mode == AccountMode::Create) object["ref"] = request.ref;
    body = object.dump(-1, ' ', false, json::error_handler_t::replace);
  }
  std::string error;
  answer.answered = sendJsonRequest("POST", request.server + "/api/account/" + accountModeName(request.mode), body,
                                    bearer, answer.body, answer.status, error);
  return answer;
}

AccountOutcome finishAccountRequest(AccountRecord& account, const AccountAnswer& answer, const AccountStore& store) {
  AccountOutcome outcome;
  account.busy = false;
  if (answer.mode == AccountMode::SignOut) {
    deleteAccountFile(store);
    clearSignIn(account);
    account.profile = json::object();
    outcome.toast = signedOutText;
    return outcome;
  }
  if (!answer.answered) {
    outcome.pageMessage = failureMessage(cantReachServerText);
    return outcome;
  }
  json body = json::parse(answer.body, nullptr, false);
  const std::string token = stringMember(body, "token");
  if (answer.status != 200 || !isValidTokenText(token)) {
    std::string error = stringMember(body, "error");
    outcome.pageMessage = failureMessage(error.empty() ? accountFailedText : error);
    return outcome;
  }
  json profile = json::object();
  if (auto it = body.find("profile"); it != body.end() && it->is_object()) profile = checkedProfile(*it);
  std::string name = stringMember(profile, "username");
  account.username = name.empty() ? answer.username : name;
  account.token = token;
  account.server = answer.server;
  account.profile = profile;
  if (!saveAccount(account, store)) writeLog("warn", "Couldn't save the sign-in; it lasts for this run only");
  logf("info", "Signed in as {}", account.username);
  outcome.enableOnline = true;
  outcome.setOnboarded = true;
  outcome.pageMessage = accountMessage(true);
  outcome.pageMessage["created"] = answer.mode == AccountMode::Create;
  return outcome;
}

bool shouldCheckAccount(const AccountRecord& account, const std::string& accountServer) {
  return isSignedIn(account) && !accountServer.empty() && account.server == accountServer;
}

AccountAnswer runAccountCheck(const std::string& server, const std::string& token) {
  AccountAnswer answer;
  answer.server = server;
  answer.token = token;
  std::string error;
  answer.answered = sendJsonRequest("GET", server + "/api/account/me", "", token, answer.body, answer.status, error);
  return answer;
}

AccountOutcome finishAccountCheck(AccountRecord& account, const AccountAnswer& answer, const AccountStore& store) {
  AccountOutcome outcome;
  if (!answer.answered || answer.token != account.token || answer.server != account.server) return outcome;
  if (answer.status == 401) {
    deleteAccountFile(store);
    clearSignIn(account);
    outcome.toast = signInExpiredText;
  } else if (answer.status == 200) {
    json body = json::parse(answer.body, nullptr, false);
    if (body.is_object()) {
      auto it = body.find("profile");
      if (it != body.end() && it->is_object()) account.profile = checkedProfile(*it);
    }
  }
  return outcome;
}

}  // namespace launcher
