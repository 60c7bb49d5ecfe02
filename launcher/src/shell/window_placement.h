// Where the main window opens: a fixed design size, limited to the work area
// of the pointer's monitor and centred in it. Pure; any thread.
#pragma once

namespace launcher {

struct ScreenRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

inline constexpr int windowDesignWidth = 1280;
inline constexpr int windowDesignHeight = 760;

// The window's rectangle, in the same (logical) pixels as `workArea`.
[[nodiscard]] ScreenRect placeWindow(const ScreenRect& workArea);

}  // namespace launcher
