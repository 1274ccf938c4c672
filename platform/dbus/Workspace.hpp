#pragma once
// Opening a folder or a URL with the desktop's own handler (xdg-open), the way a desktop program
// hands a document to the workspace. Only inside a desktop session (DISPLAY or WAYLAND_DISPLAY
// set); elsewhere there is nobody to show it to.
//
// The opener runs without a shell, with the target as its one argument; its end is collected on
// the reactor, so no zombie is left and nobody waits. Threads: any.
#include <string>

namespace platform {

class Workspace {
public:
    static bool hasDesktopSession();
    // False (logged) without a desktop session, for a target that starts with '-' (an option to
    // the opener), or when the opener cannot be started. `opener` is looked up on PATH.
    static bool open(const std::string& target, const std::string& opener = "xdg-open");
};

}  // namespace platform
