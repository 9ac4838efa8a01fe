#pragma once
#include <string>

namespace vivirov {

// Moves and resizes a top-level X11 window of a process: asks the window
// manager (EWMH _NET_MOVERESIZE_WINDOW) when one runs, else moves the window
// directly. The window is the one of that process titled `title`, else its
// first mapped one. False when there is no X display or no such window.
class X11WindowPlacer {
public:
    static bool place(int pid, const std::string& title, int x, int y, int w, int h);
};

} // namespace vivirov
