#include "host/x11/VLVirtualDisplay.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "host/x11/DesktopSession.h"
#include "host/x11/SessionKeeper.h"
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

// Where the displays' private folders live: the user's runtime folder, or /tmp.
std::string privateBase() {
  std::string base = "/tmp";
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) {
    struct stat info {};
    if (runtime[0] == '/' && ::stat(runtime, &info) == 0 && S_ISDIR(info.st_mode) &&
        ::access(runtime, W_OK | X_OK) == 0) {
      base = runtime;
    }
  }
  return base;
}

const char kFolderPrefix[] = "veltra-display-";
// The files a display's folder may hold; the lock is held (flock) for as long as the display or
// its keeper lives, which is how a later host tells a folder left behind from a live one.
constexpr std::array kFolderFiles = {"Xauthority", "Xvfb.log", "lock", "sound"};

std::string privateDirectory() {
  std::string pattern = privateBase() + "/" + kFolderPrefix + "XXXXXX";
  // mkdtemp creates the directory with mode 0700.
  if (!::mkdtemp(pattern.data())) throw RemoteError::unavailable(kCreationFailed);
  return pattern;
}

// Creates the folder's lock already held: it is locked under a temporary name and then renamed,
// so that no other host can find it unlocked. Returns the descriptor.
int lockFolder(const std::string& directory) {
  const std::string temporary = directory + "/lock.new";
  int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw RemoteError::unavailable(kCreationFailed);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      ::rename(temporary.c_str(), (directory + "/lock").c_str()) != 0) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw RemoteError::unavailable(kCreationFailed);
  }
  return fd;
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
// server could be started on the same number and take its socket. `lock` receives the identity
// of the file created.
uint32_t claimDisplay(uint32_t from, FileIdentity& lock) {
  for (uint32_t number = from; number <= kLastDisplay; ++number) {
    if (::access(socketPath(number).c_str(), F_OK) == 0) continue;
    int fd = ::open(lockPath(number).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
    if (fd < 0) continue;  // taken, or stale: not ours to judge
    char text[16];
    int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    bool written = ::write(fd, text, static_cast<size_t>(length)) == length;
    struct stat info {};
    written = ::fstat(fd, &info) == 0 && written;
    ::close(fd);
    if (written) {
      lock = identityOf(info);
      return number;
    }
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

// SIGTERM, a grace period, then SIGKILL. The process is reaped only after the last signal, so
// its id cannot have been reused.
void terminate(pid_t pid) {
  ::kill(pid, SIGTERM);
  const auto deadline = Clock::now() + kTerminateGrace;
  while (!hasEnded(pid) && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
  if (!hasEnded(pid)) ::kill(pid, SIGKILL);
  reap(pid);
}

// Releases a claimed number: the lock we created, and the socket our server listened on, which
// is left behind only by a server that had to be killed. Either path may name another server's
// file by now (one that ignored our lock, or came after a stale-lock cleanup): that one stays.
void releaseDisplay(uint32_t number, FileIdentity lock, FileIdentity socket) {
  removeIfSame(socketPath(number).c_str(), socket);
  removeIfSame(lockPath(number).c_str(), lock);
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

std::vector<std::string> inheritedEnvironment() {
  std::vector<std::string> variables;
  for (char** entry = environ; entry && *entry; ++entry) variables.emplace_back(*entry);
  return variables;
}

bool ownedByUs(const struct stat& info) {
  return info.st_uid == ::geteuid();
}

// Connects without waiting to the Unix socket at `path`: the descriptor, or -1 with errno set
// (EAGAIN: a listener whose backlog is full).
int connectUnix(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Whether an X server accepts connections on display `number`'s socket; true when we cannot
// tell (a full backlog, no descriptor left), so that the socket is left alone.
bool serverListens(uint32_t number) {
  const int fd = connectUnix(socketPath(number));
  if (fd < 0) return errno != ECONNREFUSED && errno != ENOENT;
  ::close(fd);
  return true;
}

// The identity of display `number`'s socket file if `server` is the process listening on it
// (the kernel records the listener's process with the socket), else none: a file that another
// server put there, or one nobody listens on, is not ours to remove. Looked at before and after
// asking, so that the answer belongs to the file whose identity is returned.
FileIdentity socketOfServer(uint32_t number, pid_t server) {
  const std::string path = socketPath(number);
  const FileIdentity before = identityOf(path.c_str());
  if (!before.known()) return {};
  const int fd = connectUnix(path);
  if (fd < 0) return {};
  ucred peer{};
  socklen_t length = sizeof peer;
  const bool ours =
      ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.pid == server;
  ::close(fd);
  return ours && identityOf(path.c_str()) == before ? before : FileIdentity{};
}

// A display lock of this user whose process is gone and whose socket nobody listens on, with
// that socket: what a host that was killed before it could clean up leaves behind.
void removeStaleDisplayLocks() {
  for (uint32_t number = kFirstDisplay; number <= kLastDisplay; ++number) {
    const std::string lock = lockPath(number);
    struct stat info {};
    if (::lstat(lock.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !ownedByUs(info)) continue;
    const long pid = std::strtol(readFile(lock).c_str(), nullptr, 10);
    if (pid <= 0 || ::kill(pid_t(pid), 0) == 0 || errno == EPERM) continue;
    if (serverListens(number)) continue;
    const std::string socket = socketPath(number);
    if (::lstat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && ownedByUs(info)) {
      ::unlink(socket.c_str());
    }
    ::unlink(lock.c_str());
  }
}

// The process listening on the Unix socket at `path` once it accepts connections, or 0 when
// that does not happen before `deadline`.
pid_t awaitListener(const std::string& path, Clock::time_point deadline) {
  for (;;) {
    const int fd = connectUnix(path);
    if (fd >= 0) {
      ucred peer{};
      socklen_t length = sizeof peer;
      const bool known = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0;
      ::close(fd);
      return known ? peer.pid : 0;
    }
    if (Clock::now() >= deadline) return 0;
    std::this_thread::sleep_for(5ms);
  }
}

// The sound servers of the live displays, by display number, for their recorders.
std::mutex soundServersLock;
std::map<uint32_t, std::string> soundServers;

// Private folders of this user's earlier displays whose lock nobody holds any more.
void removeStaleFolders() {
  const std::string base = privateBase();
  DIR* directory = ::opendir(base.c_str());
  if (!directory) return;
  while (dirent* entry = ::readdir(directory)) {
    const std::string name = entry->d_name;
    if (!name.starts_with(kFolderPrefix)) continue;
    const std::string folder = base + "/" + name;
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || !ownedByUs(info)) {
      continue;
    }
    // A folder without its lock is being made right now (or is not ours to judge).
    const int fd = ::open((folder + "/lock").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      for (const char* file : kFolderFiles) ::unlink((folder + "/" + file).c_str());
      ::rmdir(folder.c_str());
    }
    ::close(fd);
  }
  ::closedir(directory);
}

}  // namespace

bool VLVirtualDisplay::serverInstalled(const std::string& searchPath) {
  return !findExecutable("Xvfb", searchPath).empty();
}

void VLVirtualDisplay::removeStaleFiles() {
  removeStaleDisplayLocks();
  removeStaleFolders();
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

  display->folderLock_ = lockFolder(display->directory_);

  x11::Cookie cookie{};
  crypto::randomBytes(cookie);
  writeAuthority(display->authorityFile_, cookie);

  // Before any process of the display exists, so that none can outlive the host.
  SessionKeeper::Plan plan;
  if (!request.sessionCommand.empty()) {
    plan.sessionArguments = sessionArguments(request.sessionCommand, request.searchPath);
    plan.sessionEnvironment = loginEnvironment(inheritedEnvironment(), display->authorityFile_);
  }
  // The sound server starts with the keeper, beside the X server's start-up, and is waited for
  // before the session, whose programs look for it once.
  const std::string soundProgram = findExecutable("pulseaudio", request.searchPath);
  const std::string soundSocket = display->directory_ + "/sound";
  if (!soundProgram.empty()) {
    plan.soundArguments = soundServerArguments(soundProgram, soundSocket);
    plan.soundEnvironment = soundServerEnvironment(inheritedEnvironment(), display->directory_);
  }
  // Named even without a server, so that the session's programs never fall back on the user's
  // own sound server and the host's speakers.
  if (!plan.sessionEnvironment.empty()) {
    plan.sessionEnvironment.push_back("PULSE_SERVER=unix:" + soundSocket);
  }
  plan.directory = display->directory_;
  for (const char* file : kFolderFiles) plan.files.push_back(display->directory_ + "/" + file);
  plan.heldDescriptor = display->folderLock_;
  display->keeper_ = SessionKeeper::start(plan);
  const auto soundDeadline = Clock::now() + request.soundTimeout;

  const std::string screen =
      std::to_string(request.width) + "x" + std::to_string(request.height) + "x24";
  const auto deadline = Clock::now() + request.startTimeout;
  uint32_t candidate = kFirstDisplay;
  std::string answer;
  for (int attempt = 0;; ++attempt) {
    if (attempt == kStartAttempts) throw RemoteError::unavailable(kCreationFailed);
    const uint32_t number = claimDisplay(candidate, display->claimedLock_);
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
    display->keeper_->watchServer(display->server_, number, display->claimedLock_, {});

    answer.clear();
    Readiness readiness = awaitReady(ready[0], deadline, answer);
    ::close(ready[0]);
    // Asked while the server still runs: only then does its socket name it.
    display->serverSocket_ = socketOfServer(number, display->server_);
    if (readiness == Readiness::ready) {
      display->displayID_ = static_cast<uint32_t>(std::strtoul(answer.c_str(), nullptr, 10));
      display->keeper_->watchServer(display->server_, number, display->claimedLock_,
                                    display->serverSocket_);
      break;
    }
    // The server is gone or never got ready: end it before anything else, and take it back from
    // the keeper, whose number is about to be free for others.
    display->keeper_->watchServer(0, 0, {}, {});
    terminate(display->server_);
    display->server_ = 0;
    releaseDisplay(number, display->claimedLock_, display->serverSocket_);
    display->claimedDisplay_ = 0;
    display->claimedLock_ = display->serverSocket_ = {};
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

  if (!soundProgram.empty()) {
    display->soundProcess_ = awaitListener(soundSocket, soundDeadline);
    if (display->soundProcess_ != 0) {
      display->soundServer_ = soundSocket;
      std::lock_guard lock(soundServersLock);
      soundServers[display->displayID_] = soundSocket;
    }
  }

  if (!request.sessionCommand.empty()) {
    display->session_ = display->keeper_->startSession(display->displayID_, request.startTimeout);
    if (display->session_ == 0) throw RemoteError::unavailable(kCreationFailed);
  }
  return display;
}

std::string VLVirtualDisplay::soundServerOf(uint32_t displayID) {
  std::lock_guard lock(soundServersLock);
  const auto found = soundServers.find(displayID);
  return found == soundServers.end() ? std::string() : found->second;
}

bool VLVirtualDisplay::alive() const {
  return server_ != 0 && !hasEnded(server_);
}

VLVirtualDisplay::~VLVirtualDisplay() {
  if (displayID_ != 0) x11::unregisterDisplay(displayID_);
  if (!soundServer_.empty()) {
    std::lock_guard lock(soundServersLock);
    soundServers.erase(displayID_);
  }
  // The keeper ends the session's whole tree first, so that its clients end while their server
  // is still there, then the server, and removes the files; what follows only reaps the server
  // and cleans up where the keeper could not be started.
  keeper_.reset();
  if (server_ != 0) terminate(server_);
  if (claimedDisplay_ != 0) releaseDisplay(claimedDisplay_, claimedLock_, serverSocket_);
  if (!directory_.empty()) {
    for (const char* file : kFolderFiles) ::unlink((directory_ + "/" + file).c_str());
    ::rmdir(directory_.c_str());
  }
  if (folderLock_ >= 0) ::close(folderLock_);
}

VirtualDisplayLauncher::VirtualDisplayLauncher(MainQueue& main)
    : main_(main), queue_("veltra.display") {
  queue_.post([] { VLVirtualDisplay::removeStaleFiles(); });
}

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
