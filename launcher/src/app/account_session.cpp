// The account on the update server: the stored sign-in, the requests and the
// sign-in check on the one account thread, their answers applied on the UI
// thread, and the usage event. The rules are online/'s.
#include "app/launcher_app.h"

#include "base/log.h"
#include "update/location.h"

#include <system_error>

namespace launcher {

void LauncherApp::loadAccount() { account_ = launcher::loadAccount(accountStore_); }

std::string LauncherApp::accountServer() const { return accountServerFor(feedBaseUrl(paths_.launcherFolder)); }

void LauncherApp::accountRequest(const std::string& mode, const std::string& username, const std::string& password) {
  const AccountMode accountMode = mode == "create"    ? AccountMode::Create
                                  : mode == "signout" ? AccountMode::SignOut
                                                      : AccountMode::SignIn;
  AccountPlan plan = planAccountRequest(account_, accountMode, username, password, accountServer(),
                                        readInstallInfo(paths_.launcherFolder));
  switch (plan.step) {
    case AccountStep::Reply:
      postToPage(plan.pageMessage);
      return;
    case AccountStep::Ignore:
      return;
    case AccountStep::FinishLocally:
      applyAccountOutcome(finishAccountRequest(account_, plan.localAnswer, accountStore_));
      return;
    case AccountStep::Start:
      break;
  }
  // One slot: a sign-in check may still be on its way back.
  if (accountThread_.joinable()) accountThread_.join();
  account_.busy = true;
  markStateDirty();
  try {
    accountThread_ = std::thread([this, request = std::move(plan.request)] {
      AccountAnswer answer = runAccountRequest(request);
      // Dropped at shutdown, with nothing left to show it.
      (void)postToUi([this, answer = std::move(answer)] {
        applyAccountOutcome(finishAccountRequest(account_, answer, accountStore_));
      });
    });
  } catch (const std::system_error& e) {
    logf("error", "The account request could not be started: {}", e.what());
    // As if no answer came: the page hears so, and a sign-out still happens here.
    AccountAnswer none;
    none.mode = accountMode;
    none.username = username;
    applyAccountOutcome(finishAccountRequest(account_, none, accountStore_));
  }
}

void LauncherApp::checkAccount() {
  if (accountThread_.joinable()) accountThread_.join();
  const std::string server = accountServer();
  // Never with a token issued by another server than today's.
  if (!shouldCheckAccount(account_, server)) return;
  try {
    accountThread_ = std::thread([this, server, token = account_.token] {
      AccountAnswer answer = runAccountCheck(server, token);
      if (!answer.answered) return;  // offline: the sign-in stays as it is
      (void)postToUi([this, answer = std::move(answer)] {
        applyAccountOutcome(finishAccountCheck(account_, answer, accountStore_));
      });
    });
  } catch (const std::system_error& e) {
    logf("error", "The sign-in check could not be started: {}", e.what());
  }
}

void LauncherApp::applyAccountOutcome(const AccountOutcome& outcome) {
  if (outcome.enableOnline) {
    GameSettings copy;
    {
      std::lock_guard lock(mutex_);
      settings_.online.enabled = true;
      copy = settings_;
    }
    (void)saveGameSettings(copy, settingsPath());
  }
  if (outcome.setOnboarded) {
    LauncherPrefs copy;
    {
      std::lock_guard lock(mutex_);
      prefs_.onboarded = true;
      copy = prefs_;
    }
    (void)saveLauncherPrefs(copy);
  }
  if (!outcome.pageMessage.is_null()) postToPage(outcome.pageMessage);
  if (!outcome.toast.empty()) toast(outcome.toast);
  markStateDirty();
}

void LauncherApp::sendEvent(const std::string& kind) {
  (void)sendUsageEvent(accountServer(), kind, readInstallInfo(paths_.launcherFolder));
}

}  // namespace launcher
