// The launch-options splitter and the game's argument vector.
#include "fuzz_support.h"
#include "game/launch.h"

#include <string>
#include <vector>

using namespace launcher;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string options(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words;
  const bool split = splitLaunchOptions(options, words);
  if (!split && !words.empty()) fuzz::violated("a refused split keeps words");
  size_t bytes = 0;
  for (const std::string& w : words) bytes += w.size();
  if (bytes > options.size()) fuzz::violated("the words hold more than the options");
  std::vector<std::string> argv;
  const bool built = buildGameArguments("/games/Vantor/Vantor", "", options, argv);
  if (built != split) fuzz::violated("the argument vector and the split disagree");
  if (built && (argv.empty() || argv[0] != "/games/Vantor/Vantor")) fuzz::violated("the executable is not first");
  return 0;
}
