#include "host/x11/DesktopSession.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <sstream>
#include <string_view>

namespace veltra {
namespace {

constexpr std::array kDesktopSessions = {"x-session-manager", "startxfce4",
                                         "startlxqt",         "startplasma-x11",
                                         "openbox-session",   "x-terminal-emulator"};

// What a login keeps of its user's environment. Everything else (WAYLAND_DISPLAY, GDK_BACKEND,
// QT_QPA_PLATFORM, SDL_VIDEODRIVER, DBUS_SESSION_BUS_ADDRESS, XDG_SESSION_ID, XDG_CURRENT_DESKTOP,
// the host's DISPLAY...) belongs to the session the host itself runs in.
constexpr std::array kKept = {"HOME", "USER", "LOGNAME", "SHELL", "PATH", "LANG", "LANGUAGE", "TZ",
                              "MAIL", "TMPDIR", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME",
                              "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME",
                              "XDG_CONFIG_DIRS", "XDG_DATA_DIRS", "LD_LIBRARY_PATH",
                              // Sanitizer settings: instrumented test builds of our own programs
                              // run as sessions and must keep their suppressions.
                              "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"};

bool kept(std::string_view name) {
  if (name.starts_with("LC_")) return true;
  return std::find(kKept.begin(), kKept.end(), name) != kKept.end();
}

}  // namespace

std::string findExecutable(const std::string& name, const std::string& searchPath) {
  std::string path = searchPath;
  if (path.empty()) {
    const char* variable = std::getenv("PATH");
    path = variable ? variable : "/usr/local/bin:/usr/bin:/bin";
  }
  std::istringstream directories(path);
  std::string directory;
  while (std::getline(directories, directory, ':')) {
    if (directory.empty()) continue;
    std::string candidate = directory + "/" + name;
    struct stat info {};
    // stat follows the alternatives' symbolic links; a dangling one is not installed.
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return {};
}

std::string defaultDesktopSession(const std::string& searchPath) {
  for (const char* name : kDesktopSessions) {
    if (!findExecutable(name, searchPath).empty()) return name;
  }
  return {};
}

std::string resolveSessionChoice(const std::string& choice, const std::string& searchPath) {
  if (choice == "none") return {};
  if (choice.find_first_not_of(" \t") == std::string::npos)
    return defaultDesktopSession(searchPath);
  return choice;
}

std::vector<std::string> loginEnvironment(const std::vector<std::string>& inherited,
                                          const std::string& authorityFile) {
  std::vector<std::string> environment;
  for (const std::string& entry : inherited) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos || !kept(std::string_view(entry).substr(0, equals))) continue;
    environment.push_back(entry);
  }
  environment.push_back("XAUTHORITY=" + authorityFile);
  environment.push_back("XDG_SESSION_TYPE=x11");
  return environment;
}

std::vector<std::string> sessionArguments(const std::string& command,
                                          const std::string& searchPath) {
  std::vector<std::string> arguments;
  const std::string bus = findExecutable("dbus-run-session", searchPath);
  if (!bus.empty()) arguments = {bus, "--"};
  arguments.insert(arguments.end(), {"/bin/sh", "-c", command});
  return arguments;
}

std::vector<std::string> soundServerArguments(const std::string& program,
                                              const std::string& socket) {
  return {
      program,
      "-n",  // no default.pa: only the modules below
      "--daemonize=no", "--use-pid-file=no", "--system=no", "--exit-idle-time=-1",
      "--high-priority=no", "--realtime=no",
      // The session's programs can neither load a module that reaches the hardware nor end
      // the server that the host records.
      "--disallow-module-loading=yes", "--disallow-exit=yes", "--log-target=stderr", "-L",
      "module-null-sink sink_name=veltra rate=48000 channels=2 format=s16le", "-L",
      "module-native-protocol-unix socket=" + socket + " auth-anonymous=1 auth-cookie-enabled=0"};
}

std::vector<std::string> soundServerEnvironment(const std::vector<std::string>& inherited,
                                                const std::string& folder) {
  std::vector<std::string> environment;
  for (const std::string& entry : inherited) {
    if (entry.starts_with("PATH=") || entry.starts_with("LANG=")) environment.push_back(entry);
  }
  // No DISPLAY and no D-Bus address: the server then looks for neither.
  for (const char* name :
       {"HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH"}) {
    environment.push_back(std::string(name) + "=" + folder);
  }
  return environment;
}

}  // namespace veltra
