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

// A display's own sound server: PulseAudio at `program` with one null sink ("veltra", 48 kHz
// stereo), whose monitor the host records, and the native protocol on the Unix socket `socket`
// only, open to any client that can reach it (it lies in the display's private folder). Nothing
// else is loaded: no hardware, so nothing plays on the host's own speakers.
//
// PulseAudio rather than PipeWire: Debian 12's pulseaudio is one daemon that runs from the command
// line alone (no default.pa, no session manager, no D-Bus), where PipeWire needs pipewire,
// wireplumber and pipewire-pulse started and wired together.
std::vector<std::string> soundServerArguments(const std::string& program,
                                              const std::string& socket);
// Its environment: PATH from `inherited`, and its home, configuration, runtime and state folders
// all in `folder`, so that it writes nothing into the user's home (its only file is the socket).
std::vector<std::string> soundServerEnvironment(const std::vector<std::string>& inherited,
                                                const std::string& folder);

}  // namespace veltra
