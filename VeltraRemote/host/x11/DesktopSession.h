#pragma once

#include <string>
#include <vector>

namespace veltra {

// What runs inside a virtual display: a desktop session started as on a fresh X11 login, with
// its own D-Bus session bus.

// The path of an executable `name` on `searchPath` (a PATH-style list; empty means $PATH), or
// "" when there is none.
std::string findExecutable(const std::string& name, const std::string& searchPath = {});

// The first desktop session installed, in the order a Debian user would expect ("" for none):
// the x-session-manager alternative, Xfce, LXQt, Plasma, Openbox, then a bare terminal.
std::string defaultDesktopSession(const std::string& searchPath = {});

// The command for a user's choice: "" picks defaultDesktopSession(), "none" gives "" (an empty
// display), anything else is kept as a shell command.
std::string resolveSessionChoice(const std::string& choice, const std::string& searchPath = {});

// The environment of a fresh X11 login, built from `inherited` (NAME=value entries, as in
// environ): only the user's own settings (home, locale, paths, the XDG base folders, the runtime
// folder) are kept, so that the host's Wayland, D-Bus and desktop variables cannot send the
// session's programs to the host's own screen. DISPLAY is added by whoever starts the session,
// once the display's number is known.
std::vector<std::string> loginEnvironment(const std::vector<std::string>& inherited,
                                          const std::string& authorityFile);

// The argument vector that runs `command` through /bin/sh, on its own D-Bus session bus where
// dbus-run-session is installed.
std::vector<std::string> sessionArguments(const std::string& command,
                                          const std::string& searchPath = {});

}  // namespace veltra
