#include "shell/external_open.h"

#include "base/log.h"
#include "shell/navigation_policy.h"

#include <glib.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace launcher {

bool openInBrowser(const std::string& url, std::string& error) {
  if (!isOpenableHttpsUrl(url)) {
    error = "Only https addresses without spaces or control characters open in the browser.";
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  // Nothing of ours (the instance lock, the activation socket, a transfer's
  // socket) may leak into the browser.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::string program = "xdg-open";
  std::string argument = url;
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t pid = -1;
  int result = posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (result != 0) {
    error = std::string("Couldn't start xdg-open: ") + std::strerror(result);
    logf("warn", "{}", error);
    return false;
  }
  // Reaped by the UI loop whenever it ends; the launcher never waits for it.
  g_child_watch_add(pid, [](GPid child, gint, gpointer) { g_spawn_close_pid(child); }, nullptr);
  return true;
}

}  // namespace launcher
