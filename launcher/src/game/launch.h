// Starting the installed game: whether PLAY may start it, which multiplayer
// server it joins, its argument vector, the start itself and what the window
// does afterwards. Everything here but startGame is pure and may run on any
// thread; the launcher calls it from the UI thread.
#pragma once

#include "platform/game_process.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace launcher {

// The port the game's multiplayer server listens on when the feed's host is used.
inline constexpr int defaultGamePort = 3000;

// The texts PLAY shows.
inline constexpr const char* gameAlreadyRunningText = "The game is already running";
inline constexpr const char* gameNotInstalledText = "The game isn't installed yet";
inline constexpr const char* waitForGameUpdateText = "Wait for the game's update to finish";
inline constexpr const char* waitForRestoreText = "Wait for the restore to finish";
inline constexpr const char* gameStartFailedText = "Couldn't start the game";
inline constexpr const char* gameCrashedText = "The game closed unexpectedly. Its log is in Data > Logs.";

// True for "host:port": a host of ASCII letters, digits, "." and "-" (at
// least one character, the first not "-": it would read as an option), or a bracketed IPv6 address ("[" hex digits, ":" and
// "." "]"), then ":" and a decimal port 1-65535 (at most five digits).
[[nodiscard]] bool isValidHostPort(const std::string& text);

// The host of a location with a scheme ("http://user@h:8080/x" gives "h",
// "https://[::1]:443/" gives "[::1]"): the text after the first "://" up to
// the next "/", "?" or "#", without user information and without the port;
// "" when there is no "://" or the host is not one isValidHostPort accepts.
[[nodiscard]] std::string feedHost(const std::string& feedBase);

// What the game is told to join ("" for nothing), from the online settings,
// the last server status and the feed base:
// - nothing unless online is enabled and no server of the player's own is set;
// - the status's "address" when it is a valid host:port string;
// - else the feed's host with port 3000 (nothing for a local feed).
[[nodiscard]] std::string chooseJoinAddress(bool onlineEnabled, const std::string& onlineServer,
                                            const nlohmann::json& serverStatus, const std::string& feedBase);

// Splits launch options into words the way a POSIX shell does, expanding
// nothing: blanks (space, tab, new line) separate words; '...' keeps
// everything literally; "..." keeps everything but a backslash before $, `,
// ", \ or a new line; an unquoted backslash keeps the next character (a
// backslash before a new line joins the lines; a last lone backslash stays a
// backslash). "" and '' make empty words. "#", "~", "$", "*" and the shell's
// operators are ordinary characters. False, with `words` cleared, when a quote
// is left open.
[[nodiscard]] bool splitLaunchOptions(const std::string& options, std::vector<std::string>& words);

// The game's argument vector: the executable, then "--connect" and the address
// when there is one, then the launch options' words. False when the options
// cannot be split (an open quote).
[[nodiscard]] bool buildGameArguments(const std::filesystem::path& executable, const std::string& joinAddress,
                                      const std::string& launchOptions, std::vector<std::string>& argv);

// What PLAY knows when it is pressed. The launcher gathers the members under
// its mutex where they are shared (flag, queue, status).
struct PlayRequest {
  bool gameRunningFlag = false;  // started by this launcher and not yet seen ending
  bool gameLockHeld = false;     // isGameRunning(): a game started by any means runs
  bool executableExists = false;
  bool gameJobQueued = false;  // a job of kind "game" or "repair" waits, runs or is held
  // A restore of the saves is running: a game started now could read half a
  // restore, or write saves the restore then replaces. (A waiting restore
  // checks for the game itself when it starts.)
  bool restoreRunning = false;
  bool onlineEnabled = false;
  std::string onlineServer;
  nlohmann::json serverStatus = nlohmann::json::object();
  std::string feedBase;
};

struct PlayDecision {
  bool start = false;
  std::string refusal;      // the toast when start is false
  std::string joinAddress;  // when start is true; may be empty
};

// The checks of PLAY in their order (running, installed, update in the queue,
// restore running) and the address to join.
[[nodiscard]] PlayDecision decidePlay(const PlayRequest& request);

struct GameStart {
  bool ok = false;
  GameProcess process;  // when ok: the running game, to hand to the watcher
  std::string toast;    // when not ok: "Couldn't start the game"
};

// Restores the executable's execute bits when they are missing, builds the
// argument vector and starts the game in `gameFolder` (a session of its own,
// default signals, no inherited descriptors). Logs "Game started (pid {}){}"
// with " joining " and the address, or on failure "Starting the game failed
// ({})" with the system's error number (EINVAL's when the launch options
// leave a quote open, since no system call saw them) at "error". Blocks only for the process start. UI thread; hold no
// lock.
[[nodiscard]] GameStart startGame(const std::filesystem::path& executable, const std::filesystem::path& gameFolder,
                                  const std::string& joinAddress, const std::string& launchOptions);

// What the window does after a successful start.
enum class AfterStart {
  CloseLauncher,  // onPlay "close" with an empty queue: no watcher, the launcher ends
  Minimize,       // "minimize", or "close" while jobs remain so that they finish
  Stay,           // "stay": the window is left alone
};

// `onPlay` is the preference's name ("minimize", "close", "stay"); an unknown
// name minimises.
[[nodiscard]] AfterStart afterStartAction(const std::string& onPlay, size_t jobsInQueue);

// What the launcher shows when the watched game has ended: nothing for exit
// code 0, else the crash toast.
[[nodiscard]] std::string gameExitToast(uint32_t exitCode);

}  // namespace launcher
