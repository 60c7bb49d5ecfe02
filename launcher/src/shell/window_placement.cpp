#include "shell/window_placement.h"

#include <algorithm>

namespace launcher {

ScreenRect placeWindow(const ScreenRect& workArea) {
  ScreenRect window;
  window.width = std::max(1, std::min(windowDesignWidth, workArea.width));
  window.height = std::max(1, std::min(windowDesignHeight, workArea.height));
  // Integer division rounds towards zero, as the window's first placement always has.
  window.x = workArea.x + (workArea.width - window.width) / 2;
  window.y = workArea.y + (workArea.height - window.height) / 2;
  return window;
}

}  // namespace launcher
