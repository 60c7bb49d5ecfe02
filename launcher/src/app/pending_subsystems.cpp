// The game, saves, add-on and account operations the page's commands reach.
// Their subsystems are not joined to the application yet: each says so in the
// log, at "warn", and does nothing. None of them pretends to have worked.
#include "app/launcher_app.h"

#include "base/log.h"

#include <atomic>

namespace launcher {

namespace {

void notYet(const char* operation) { logf("warn", "{}: not available in this build", operation); }

// For operations that run on every state document: one line per process.
void notYetOnce(std::atomic<bool>& said, const char* operation) {
  if (!said.exchange(true)) notYet(operation);
}

}  // namespace

void LauncherApp::playGame() { notYet("playGame"); }

void LauncherApp::backupSaves() { notYet("backupSaves"); }

void LauncherApp::restoreBackup(const std::string&) { notYet("restoreBackup"); }

// savesSummary_ stays an empty object.
void LauncherApp::scanSaves() { notYet("scanSaves"); }

void LauncherApp::queueAddon(const std::string&) { notYet("queueAddon"); }

void LauncherApp::removeAddon(const std::string&) { notYet("removeAddon"); }

void LauncherApp::setAddonEnabled(const std::string&, bool) { notYet("setAddonEnabled"); }

void LauncherApp::accountRequest(const std::string&, const std::string&, const std::string&) {
  notYet("accountRequest");
}

void LauncherApp::checkAccount() { notYet("checkAccount"); }

// The account members stay empty: signed out, no account server.
void LauncherApp::loadAccount() { notYet("loadAccount"); }

void LauncherApp::sendEvent(const std::string&) { notYet("sendEvent"); }

std::vector<InstalledAddonView> LauncherApp::listInstalledAddons() {
  static std::atomic<bool> said{false};
  notYetOnce(said, "listInstalledAddons");
  return {};
}

// No game watcher is ever started, so there is nothing to end.
void LauncherApp::stopGameWatch() {}

}  // namespace launcher
