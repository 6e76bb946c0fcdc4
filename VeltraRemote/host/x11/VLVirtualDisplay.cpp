#include "host/x11/VLVirtualDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

#include "host/x11/X11Connection.h"
#include "protocol/Crypto.h"
#include "protocol/RemoteError.h"
#include "support/MainQueue.h"

extern char** environ;

namespace veltra {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char kUnavailable[] = "This system does not provide a virtual display server (Xvfb).";
const char kCreationFailed[] = "Virtual display creation failed.";
const char kModeRejected[] = "The virtual display server rejected the requested mode.";
const char kNoDisplay[] = "Virtual display has no display identifier.";
const char kDisplayName[] = "Veltra Remote Display";

// Display numbers below this are left to the machine's own sessions; the search goes upward.
constexpr uint32_t kFirstDisplay = 1;
constexpr uint32_t kLastDisplay = 1000;
// Another process may take a free-looking number between our look and the server's start.
constexpr int kStartAttempts = 8;
// How long a process gets to end on SIGTERM before SIGKILL.
constexpr auto kTerminateGrace = 2s;

std::string findExecutable(const std::string& name, std::string searchPath) {
  if (searchPath.empty()) {
    const char* path = std::getenv("PATH");
    searchPath = path ? path : "/usr/local/bin:/usr/bin:/bin";
  }
  std::istringstream directories(searchPath);
  std::string directory;
  while (std::getline(directories, directory, ':')) {
    if (directory.empty()) continue;
    std::string candidate = directory + "/" + name;
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return {};
}

std::string privateDirectory() {
  std::string base = "/tmp";
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) {
    struct stat info {};
    if (runtime[0] == '/' && ::stat(runtime, &info) == 0 && S_ISDIR(info.st_mode) &&
        ::access(runtime, W_OK | X_OK) == 0) {
      base = runtime;
    }
  }
  std::string pattern = base + "/veltra-display-XXXXXX";
  // mkdtemp creates the directory with mode 0700.
  if (!::mkdtemp(pattern.data())) throw RemoteError::unavailable(kCreationFailed);
  return pattern;
}

void appendCounted(std::string& out, std::string_view bytes) {
  out.push_back(static_cast<char>((bytes.size() >> 8) & 0xff));
  out.push_back(static_cast<char>(bytes.size() & 0xff));
  out.append(bytes);
}

// One X authority entry for any address and display number (family "wild", empty number), so
// the file does not depend on the number the server ends up with.
void writeAuthority(const std::string& path, const x11::Cookie& cookie) {
  std::string entry;
  entry.push_back('\xff');
  entry.push_back('\xff');
  appendCounted(entry, "");
  appendCounted(entry, "");
  appendCounted(entry, "MIT-MAGIC-COOKIE-1");
  appendCounted(entry,
                std::string_view(reinterpret_cast<const char*>(cookie.data()), cookie.size()));

  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw RemoteError::unavailable(kCreationFailed);
  bool written = ::write(fd, entry.data(), entry.size()) == static_cast<ssize_t>(entry.size());
  ::close(fd);
  if (!written) throw RemoteError::unavailable(kCreationFailed);
}

std::string lockPath(uint32_t number) {
  return "/tmp/.X" + std::to_string(number) + "-lock";
}
std::string socketPath(uint32_t number) {
  return "/tmp/.X11-unix/X" + std::to_string(number);
}

// Claims the first display number from `from` on whose lock file we win the race, the way X
// servers claim theirs: the file is created exclusively and names a live process (ours). A
// server started with -displayfd does not lock its number itself, so without this another
// server could be started on the same number and take its socket.
uint32_t claimDisplay(uint32_t from) {
  for (uint32_t number = from; number <= kLastDisplay; ++number) {
    if (::access(socketPath(number).c_str(), F_OK) == 0) continue;
    int fd = ::open(lockPath(number).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
    if (fd < 0) continue;  // taken, or stale: not ours to judge
    char text[16];
    int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    bool written = ::write(fd, text, static_cast<size_t>(length)) == length;
    ::close(fd);
    if (written) return number;
    ::unlink(lockPath(number).c_str());
  }
  throw RemoteError::unavailable(kCreationFailed);
}

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// posix_spawn attributes shared by our children: their own process group, default signal
// dispositions (this process ignores SIGPIPE, and ignored signals survive exec) and an empty
// signal mask.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attributes_);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, signal);
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    posix_spawnattr_setsigmask(&attributes_, &mask);
    posix_spawnattr_setpgroup(&attributes_, 0);
    posix_spawnattr_setflags(
        &attributes_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
            FileActions& actions, char* const* environment) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  SpawnAttributes attributes;
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(),
                  environment) != 0) {
    return 0;
  }
  return pid;
}

// Whether `pid` has ended (it stays a zombie, unreaped, so that its id and process group cannot
// be reused while we still signal them).
bool hasEnded(pid_t pid) {
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return true;  // not our child any more: nothing to wait for
  }
  return info.si_pid == pid;
}

void reap(pid_t pid) {
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// SIGTERM, a grace period, then SIGKILL; `group` signals the whole process group led by `pid`.
// The leader is reaped only after the last signal, so its id cannot have been reused.
void terminate(pid_t pid, bool group) {
  const pid_t target = group ? -pid : pid;
  ::kill(target, SIGTERM);
  const auto deadline = Clock::now() + kTerminateGrace;
  while (!hasEnded(pid) && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
  // For a group this also ends members that outlived the leader.
  if (group || !hasEnded(pid)) ::kill(target, SIGKILL);
  reap(pid);
}

// Releases a claimed number: the lock is ours; the socket is left behind only by a server that
// had to be killed.
void releaseDisplay(uint32_t number) {
  ::unlink(socketPath(number).c_str());
  ::unlink(lockPath(number).c_str());
}

enum class Readiness { ready, exited, timedOut };

// Waits for the server's -displayfd answer: the display number and a newline once it accepts
// connections. The pipe ends (EOF) when the server exits before that.
Readiness awaitReady(int fd, Clock::time_point deadline, std::string& answer) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) return Readiness::timedOut;
    pollfd entry{fd, POLLIN, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return Readiness::timedOut;
    char buffer[32];
    ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return Readiness::exited;
    answer.append(buffer, static_cast<size_t>(count));
    if (answer.find('\n') != std::string::npos) return Readiness::ready;
    if (answer.size() > 16) return Readiness::exited;  // not a display number
  }
}

std::vector<std::string> sessionEnvironment(const std::string& display,
                                            const std::string& authority) {
  std::vector<std::string> variables;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view variable(*entry);
    if (variable.starts_with("DISPLAY=") || variable.starts_with("XAUTHORITY=")) continue;
    variables.emplace_back(variable);
  }
  variables.push_back("DISPLAY=" + display);
  variables.push_back("XAUTHORITY=" + authority);
  return variables;
}

}  // namespace

bool VLVirtualDisplay::serverInstalled(const std::string& searchPath) {
  return !findExecutable("Xvfb", searchPath).empty();
}

std::unique_ptr<VLVirtualDisplay> VLVirtualDisplay::create(const VirtualDisplayRequest& request) {
  const std::string server = findExecutable("Xvfb", request.searchPath);
  if (server.empty()) throw RemoteError::unavailable(kUnavailable);
  // The X protocol carries sizes in 16 bits; anything else no server can honour.
  if (request.width <= 0 || request.height <= 0 || request.width > 32767 ||
      request.height > 32767) {
    throw RemoteError::unavailable(kModeRejected);
  }

  // From here on the half-built display cleans up after itself if anything throws.
  std::unique_ptr<VLVirtualDisplay> display(new VLVirtualDisplay());
  display->width_ = request.width;
  display->height_ = request.height;
  display->directory_ = privateDirectory();
  display->authorityFile_ = display->directory_ + "/Xauthority";
  const std::string serverLog = display->directory_ + "/Xvfb.log";

  x11::Cookie cookie{};
  crypto::randomBytes(cookie);
  writeAuthority(display->authorityFile_, cookie);

  const std::string screen =
      std::to_string(request.width) + "x" + std::to_string(request.height) + "x24";
  const auto deadline = Clock::now() + request.startTimeout;
  uint32_t candidate = kFirstDisplay;
  std::string answer;
  for (int attempt = 0;; ++attempt) {
    if (attempt == kStartAttempts) throw RemoteError::unavailable(kCreationFailed);
    const uint32_t number = claimDisplay(candidate);
    display->claimedDisplay_ = number;
    candidate = number + 1;

    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) throw RemoteError::unavailable(kCreationFailed);
    // The server's end of the pipe must not be the descriptor it is moved to, or the move
    // would keep close-on-exec.
    const int serverFd = ready[1] == 3 ? 4 : 3;
    FileActions actions;
    posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), 2, serverLog.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(actions.get(), ready[1], serverFd);
    display->server_ = spawn(
        server,
        {":" + std::to_string(number), "-screen", "0", screen, "-dpi", "110", "-nolisten", "tcp",
         "-auth", display->authorityFile_, "-displayfd", std::to_string(serverFd), "-noreset"},
        actions, environ);
    ::close(ready[1]);
    if (display->server_ == 0) {
      ::close(ready[0]);
      throw RemoteError::unavailable(kUnavailable);
    }

    answer.clear();
    Readiness readiness = awaitReady(ready[0], deadline, answer);
    ::close(ready[0]);
    if (readiness == Readiness::ready) {
      display->displayID_ = static_cast<uint32_t>(std::strtoul(answer.c_str(), nullptr, 10));
      break;
    }
    // The server is gone or never got ready: end it before anything else.
    terminate(display->server_, false);
    display->server_ = 0;
    releaseDisplay(number);
    display->claimedDisplay_ = 0;
    if (readiness == Readiness::timedOut) throw RemoteError::unavailable(kCreationFailed);
    const std::string log = readFile(serverLog);
    if (log.find("already active") != std::string::npos ||
        log.find("Cannot establish any listening sockets") != std::string::npos) {
      continue;  // lost the race for that number; try the next one
    }
    if (log.find("Invalid screen configuration") != std::string::npos ||
        log.find("Couldn't add screen") != std::string::npos) {
      throw RemoteError::unavailable(kModeRejected);
    }
    throw RemoteError::unavailable(kCreationFailed);
  }
  if (display->displayID_ == 0) throw RemoteError::unavailable(kNoDisplay);

  x11::registerDisplay(display->displayID_, cookie);
  auto connection = x11::Connection::open(display->displayID_);
  if (!connection) throw RemoteError::unavailable(kCreationFailed);
  if (connection->width() != request.width || connection->height() != request.height) {
    throw RemoteError::unavailable(kModeRejected);
  }
  xcb_change_property(connection->get(), XCB_PROP_MODE_REPLACE, connection->root(),
                      XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, sizeof kDisplayName - 1, kDisplayName);
  // A round trip, so that the name is set before anyone is told about the display.
  x11::Reply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(
      connection->get(), xcb_get_input_focus(connection->get()), nullptr));
  if (!sync) throw RemoteError::unavailable(kCreationFailed);
  connection.reset();

  if (!request.sessionCommand.empty()) {
    std::vector<std::string> variables =
        sessionEnvironment(display->displayName(), display->authorityFile_);
    std::vector<char*> environment;
    for (std::string& variable : variables) environment.push_back(variable.data());
    environment.push_back(nullptr);
    FileActions actions;
    posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), 2, "/dev/null", O_WRONLY, 0);
    display->session_ =
        spawn("/bin/sh", {"-c", request.sessionCommand}, actions, environment.data());
    if (display->session_ == 0) throw RemoteError::unavailable(kCreationFailed);
  }
  return display;
}

bool VLVirtualDisplay::alive() const {
  return server_ != 0 && !hasEnded(server_);
}

VLVirtualDisplay::~VLVirtualDisplay() {
  if (displayID_ != 0) x11::unregisterDisplay(displayID_);
  // The session's clients first, so that they end while their server is still there.
  if (session_ != 0) terminate(session_, true);
  if (server_ != 0) {
    terminate(server_, false);
  }
  if (claimedDisplay_ != 0) releaseDisplay(claimedDisplay_);
  if (!directory_.empty()) {
    ::unlink(authorityFile_.c_str());
    ::unlink((directory_ + "/Xvfb.log").c_str());
    ::rmdir(directory_.c_str());
  }
}

VirtualDisplayLauncher::VirtualDisplayLauncher(MainQueue& main)
    : main_(main), queue_("veltra.display") {}

void VirtualDisplayLauncher::launch(VirtualDisplayRequest request, Completion completion) {
  queue_.post([this, request = std::move(request), completion = std::move(completion)] {
    // Held in a shared pointer because tasks are copyable; whoever drops the last copy without
    // running it releases the display.
    auto display = std::make_shared<std::unique_ptr<VLVirtualDisplay>>();
    std::string error;
    try {
      *display = VLVirtualDisplay::create(request);
    } catch (const std::exception& failure) {
      error = failure.what();
    }
    main_.post([completion, display, error] { completion(std::move(*display), error); });
  });
}

void VirtualDisplayLauncher::release(std::unique_ptr<VirtualDisplay> display) {
  if (!display) return;
  auto held = std::make_shared<std::unique_ptr<VirtualDisplay>>(std::move(display));
  queue_.post([held] { held->reset(); });
}

}  // namespace veltra
