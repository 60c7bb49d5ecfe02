// The account server's answers to a sign-in, an account creation, a sign-out
// and the sign-in check: whatever the body and status, the sign-in that
// results holds only valid token text, and the page gets only members of the
// types it expects.
#include "fuzz_support.h"
#include "online/account.h"

#include <string>

using namespace launcher;

namespace {

void checkRecord(const AccountRecord& account) {
  if (!account.token.empty() && !isValidTokenText(account.token)) fuzz::violated("a sign-in with a bad token");
  const nlohmann::json state = accountStateJson(account, "https://updates.example");
  (void)state.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  if (!account.profile.is_object()) fuzz::violated("a profile that is not an object");
  for (const auto& [key, value] : account.profile.items()) {
    if (key == "username" || key == "referralCode") {
      if (!value.is_string()) fuzz::violated("a profile text that is not a string");
    } else if (key == "invited") {
      if (!value.is_number_unsigned()) fuzz::violated("an invited count that is not a count");
    } else {
      fuzz::violated("a profile member the page does not expect");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const AccountStore store = [] {
    (void)fuzz::scratch();
    return defaultAccountStore();
  }();
  if (size < 1) return 0;
  static const int statuses[] = {200, 201, 400, 401, 403, 404, 409, 500, 503};
  const int status = statuses[data[0] % 9];
  const auto mode = static_cast<AccountMode>((data[0] / 9) % 3);
  const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string server = "https://updates.example";

  AccountRecord account;
  AccountAnswer answer;
  answer.mode = mode;
  answer.username = "pilot";
  answer.server = server;
  answer.answered = true;
  answer.status = status;
  answer.body = body;
  account.busy = true;
  if (mode == AccountMode::SignOut) {
    account.username = "pilot";
    account.server = server;
    account.token = std::string(accountTokenLength, 'a');
  }
  const AccountOutcome outcome = finishAccountRequest(account, answer, store);
  (void)outcome.pageMessage.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  checkRecord(account);

  // The check of a stored sign-in.
  AccountRecord signedIn;
  signedIn.username = "pilot";
  signedIn.server = server;
  signedIn.token = std::string(accountTokenLength, 'b');
  AccountAnswer check;
  check.server = server;
  check.token = signedIn.token;
  check.answered = true;
  check.status = status;
  check.body = body;
  (void)finishAccountCheck(signedIn, check, store);
  checkRecord(signedIn);
  deleteAccountFile(store);
  return 0;
}
