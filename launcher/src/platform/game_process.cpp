// The parts of a game process that are the same on every system; each
// system's body closes its own kind of handle in reset().
#include "platform/game_process.h"

namespace launcher {

GameProcess::~GameProcess() { reset(); }

GameProcess::GameProcess(GameProcess&& other) noexcept : pid_(other.pid_), handle_(other.handle_) {
  other.pid_ = -1;
  other.handle_ = -1;
}

GameProcess& GameProcess::operator=(GameProcess&& other) noexcept {
  if (this != &other) {
    reset();
    pid_ = other.pid_;
    handle_ = other.handle_;
    other.pid_ = -1;
    other.handle_ = -1;
  }
  return *this;
}

}  // namespace launcher
