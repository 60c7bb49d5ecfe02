// handleCommand: the page's whole vocabulary. Every command runs on the UI
// thread and answers only through the next state document, a toast, or an
// "account" message.
#include "app/launcher_app.h"

#include "base/log.h"
#include "base/text_checks.h"
#include "base/version.h"
#include "platform/process.h"
#include "update/rate_limit.h"

#include <optional>

namespace launcher {

namespace {

// An argument read with its default. A member present with the wrong type
// makes the command unusable: it is ignored rather than guessed at.
template <typename T>
std::optional<T> argument(const json& command, const char* key, T fallback) {
  auto it = command.find(key);
  if (it == command.end()) return fallback;
  if constexpr (std::is_same_v<T, bool>) {
    if (it->is_boolean()) return it->get<bool>();
  } else if constexpr (std::is_same_v<T, uint64_t>) {
    if (it->is_number_unsigned()) return it->get<uint64_t>();
    if (it->is_number_integer() && it->get<int64_t>() >= 0) return static_cast<uint64_t>(it->get<int64_t>());
  } else {
    if (it->is_string()) return it->get<std::string>();
  }
  auto cmd = command.find("cmd");
  logf("warn", "Ignored the command \"{}\": \"{}\" has the wrong type",
       cmd != command.end() && cmd->is_string() ? cmd->get<std::string>() : std::string(), key);
  return std::nullopt;
}

}  // namespace

void LauncherApp::handleCommand(const json& command) {
  if (!command.is_object()) return;
  const auto name = argument<std::string>(command, "cmd", "");
  if (!name) return;
  const std::string& cmd = *name;

  if (cmd == "ready") {
    onReady();
  } else if (cmd == "install") {
    if (auto play = argument<bool>(command, "play", false)) queueGameUpdate(false, *play);
  } else if (cmd == "repair") {
    queueGameUpdate(true, false);
  } else if (cmd == "repairAnswer") {
    if (auto proceed = argument<bool>(command, "proceed", false)) answerRepair(*proceed);
  } else if (cmd == "play") {
    playGame();
  } else if (cmd == "pause" || cmd == "resume" || cmd == "cancel") {
    jobControl(cmd, command);
  } else if (cmd == "checkUpdates") {
    checkForUpdates(false);
  } else if (cmd == "updateLauncher") {
    updateSelf();
  } else if (cmd == "addonInstall") {
    if (auto id = argument<std::string>(command, "addon", "")) queueAddon(*id);
  } else if (cmd == "addonRemove") {
    if (auto id = argument<std::string>(command, "addon", "")) removeAddon(*id);
  } else if (cmd == "addonEnable") {
    auto id = argument<std::string>(command, "addon", "");
    auto enabled = argument<bool>(command, "enabled", true);
    if (id && enabled) {
      setAddonEnabled(*id, *enabled);
      markStateDirty();
    }
  } else if (cmd == "setSettings") {
    auto it = command.find("settings");
    if (it == command.end()) return;
    GameSettings copy;
    {
      std::lock_guard lock(mutex_);
      applyGameSettingsJson(settings_, *it);
      copy = settings_;
    }
    if (!saveGameSettings(copy, settingsPath())) toast("Couldn't save the settings");
    markStateDirty();
  } else if (cmd == "resetSettings") {
    GameSettings copy;
    {
      std::lock_guard lock(mutex_);
      resetGameSettings(settings_);
      copy = settings_;
    }
    (void)saveGameSettings(copy, settingsPath());
    toast("Settings reset to defaults");
    markStateDirty();
  } else if (cmd == "setPrefs") {
    auto it = command.find("prefs");
    if (it == command.end()) return;
    setPrefs(*it);
  } else if (cmd == "skipAccount") {
    LauncherPrefs copy;
    {
      std::lock_guard lock(mutex_);
      prefs_.onboarded = true;
      copy = prefs_;
    }
    (void)saveLauncherPrefs(copy);
    markStateDirty();
  } else if (cmd == "signIn" || cmd == "createAccount") {
    auto username = argument<std::string>(command, "username", "");
    auto password = argument<std::string>(command, "password", "");
    if (username && password) accountRequest(cmd == "signIn" ? "signin" : "create", *username, *password);
  } else if (cmd == "signOut") {
    accountRequest("signout", "", "");
  } else if (cmd == "backupSaves") {
    backupSaves();
  } else if (cmd == "restoreBackup") {
    if (auto backup = argument<std::string>(command, "name", "")) restoreBackup(*backup);
  } else if (cmd == "openFolder") {
    if (auto which = argument<std::string>(command, "which", "")) openFolder(*which);
  } else if (cmd == "clearCache") {
    clearCache();
  } else if (cmd == "uninstall") {
    uninstall();
  } else if (cmd == "openLink") {
    auto url = argument<std::string>(command, "url", "");
    std::string error;
    if (url && isOpenableHttpsUrl(*url) && !openWithSystem(*url, error)) logf("warn", "Couldn't open a link: {}", error);
  } else if (cmd == "minimize") {
    if (shell_) shell_->minimize();
  } else if (cmd == "close") {
    closeWindowLater();
  } else if (cmd == "drag") {
    if (shell_) shell_->beginDrag();
  }
  // Anything else is not ours: ignored without a reply.
}

void LauncherApp::onReady() {
  postToPage(buildState());
  if (launchedAfterUpdate_) {
    toast(std::string("Launcher updated to ") + launcherVersion);
    launchedAfterUpdate_ = false;
  }
  bool checked;
  bool wantCheck;
  {
    std::lock_guard lock(mutex_);
    checked = checked_;
    wantCheck = prefs_.checkForUpdates || firstRun_;
  }
  if (!checked && wantCheck) checkForUpdates(true);
  // A reload of the page says "ready" again; a referral is credited once.
  if (firstRun_ && installEvent_.claim()) sendEvent("install");
  if (isSignedIn(account_)) checkAccount();
}

void LauncherApp::setPrefs(const json& value) {
  if (value.is_object()) {
    auto it = value.find("channel");
    if (it != value.end() && it->is_string() && !isValidChannel(it->get_ref<const std::string&>())) {
      writeLog("warn", "Refused a channel name: letters, digits, \"-\", \"_\" and \".\" only");
    }
  }
  LauncherPrefs copy;
  bool channelChanged;
  {
    std::lock_guard lock(mutex_);
    const std::string channel = prefs_.channel;
    applyLauncherPrefsJson(prefs_, value);
    copy = prefs_;
    channelChanged = prefs_.channel != channel;
  }
  // A download in progress slows down or speeds up at once.
  downloadRateLimiter().setRate(uint64_t{copy.downloadLimit} * 1024);
  (void)saveLauncherPrefs(copy);
  markStateDirty();
  if (channelChanged) checkForUpdates(false);
}

void LauncherApp::jobControl(const std::string& name, const json& command) {
  auto id = argument<uint64_t>(command, "id", 0);
  if (!id) return;
  const JobAction action = name == "pause" ? JobAction::Pause : name == "resume" ? JobAction::Resume : JobAction::Cancel;
  jobs_.control(action, *id);
}

}  // namespace launcher
