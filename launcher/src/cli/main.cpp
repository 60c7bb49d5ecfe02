// vantorctl's entry point: the launcher's core from a terminal, without a window.
#include "cli/ctl_commands.h"
#include "platform/process.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
  // Writes to a closed pipe or socket fail instead of ending the process.
  launcher::ignoreBrokenPipeSignal();
  return launcher::ctlMain(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
}
