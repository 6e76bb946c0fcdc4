#include "host/x11/SessionKeeper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <thread>

#include "protocol/RemoteError.h"

namespace veltra {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char kKeeperFailed[] = "Virtual display creation failed.";

// One command, written whole (pipe writes of this size are atomic).
struct Command {
  enum Type : uint32_t { watchServer = 1, startSession = 2 };
  uint32_t type = 0;
  int32_t pid = 0;
  uint32_t number = 0;
  FileIdentity lock;
  FileIdentity socket;
};

// The session's programs get this long to end on SIGTERM, then the server; together well within
// the two seconds in which everything must be gone after the host's death.
constexpr int kSessionGraceMs = 1000;
constexpr int kServerGraceMs = 500;
// How often the keeper reaps adopted processes while it waits for the host.
constexpr int kReapIntervalMs = 250;
// Bounds the SIGKILL rounds against a tree that keeps forking.
constexpr int kKillRounds = 200;
// The host waits this long for the keeper before ending it by force.
constexpr auto kKeeperPatience = 5s;

// The keeper's descriptors, at fixed numbers after the fork.
constexpr int kCommandFd = 3;
constexpr int kReplyFd = 4;
constexpr int kHeldFd = 5;
constexpr int kSignalFd = 6;

// Everything the keeper reads, laid out before the fork: after it, the keeper allocates nothing.
struct Prepared {
  explicit Prepared(const SessionKeeper::Plan& plan)
      : argumentStorage(plan.sessionArguments),
        environmentStorage(plan.sessionEnvironment),
        soundArgumentStorage(plan.soundArguments),
        soundEnvironmentStorage(plan.soundEnvironment) {
    for (std::string& argument : argumentStorage) arguments.push_back(argument.data());
    arguments.push_back(nullptr);
    for (std::string& variable : environmentStorage) environment.push_back(variable.data());
    environment.push_back(display);
    environment.push_back(nullptr);
    for (std::string& argument : soundArgumentStorage) soundArguments.push_back(argument.data());
    soundArguments.push_back(nullptr);
    for (std::string& variable : soundEnvironmentStorage) {
      soundEnvironment.push_back(variable.data());
    }
    soundEnvironment.push_back(nullptr);
    for (const std::string& file : plan.files) files.push_back(file.c_str());
    directory = plan.directory.c_str();
  }

  std::vector<std::string> argumentStorage;
  std::vector<std::string> environmentStorage;
  std::vector<char*> arguments;
  std::vector<char*> environment;
  char display[32] = "DISPLAY=:";
  std::vector<std::string> soundArgumentStorage;
  std::vector<std::string> soundEnvironmentStorage;
  std::vector<char*> soundArguments;
  std::vector<char*> soundEnvironment;
  std::vector<const char*> files;
  const char* directory = nullptr;
};

// --- The keeper's side: system calls only. -------------------------------------------------

int64_t nowMs() {
  timespec time{};
  ::clock_gettime(CLOCK_MONOTONIC, &time);
  return int64_t(time.tv_sec) * 1000 + time.tv_nsec / 1'000'000;
}

void sleepMs(int milliseconds) {
  timespec left{milliseconds / 1000, (milliseconds % 1000) * 1'000'000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

char* appendText(char* out, const char* text) {
  while (*text) *out++ = *text++;
  *out = '\0';
  return out;
}

char* appendNumber(char* out, uint64_t value) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = char('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) *out++ = digits[--count];
  *out = '\0';
  return out;
}

class Keeper {
 public:
  explicit Keeper(Prepared& prepared) : prepared_(prepared) {}

  [[noreturn]] void run() {
    // Terminal signals belong to the host, which then releases the display through the pipe;
    // SIGTERM aimed at the keeper itself ends the display at once, through the signal descriptor.
    ::setpgid(0, 0);
    ::prctl(PR_SET_NAME, "veltra-keeper");
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (int signal : {SIGINT, SIGHUP, SIGQUIT, SIGPIPE}) ::signal(signal, SIG_IGN);
    ::signal(SIGCHLD, SIG_DFL);
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    ::sigprocmask(SIG_SETMASK, &terminate, nullptr);
    const int signals = ::signalfd(-1, &terminate, SFD_CLOEXEC);
    if (signals >= 0 && signals != kSignalFd) {
      ::dup2(signals, kSignalFd);
      ::close(signals);
    }

    if (prepared_.soundArguments.size() >= 2) {
      startChild(prepared_.soundArguments.data(), prepared_.soundEnvironment.data());
    }

    for (bool ending = false; !ending;) {
      pollfd entries[2] = {{kCommandFd, POLLIN, 0}, {kSignalFd, POLLIN, 0}};
      const int ready = ::poll(entries, signals >= 0 ? 2 : 1, kReapIntervalMs);
      reapAll();
      if (ready <= 0) continue;
      if (entries[1].revents != 0) break;
      if (entries[0].revents == 0) continue;
      Command command;
      const ssize_t count = ::read(kCommandFd, &command, sizeof command);
      if (count < 0 && errno == EINTR) continue;
      // End of file: the host released the display, or died.
      if (count != ssize_t(sizeof command))
        ending = true;
      else
        handle(command);
    }
    endSession();
    endServer();
    removeFiles();
    ::_exit(0);
  }

 private:
  void handle(const Command& command) {
    if (command.type == Command::watchServer) {
      if (serverHandle_ >= 0) ::close(serverHandle_);
      serverHandle_ = -1;
      // 0: the host ended that server itself and released its number, which is no longer ours.
      server_ = command.pid;
      if (server_ <= 0) return;
      serverHandle_ = int(::syscall(SYS_pidfd_open, server_, 0));
      lock_ = command.lock;
      socket_ = command.socket;
      char* end = appendText(xLock_, "/tmp/.X");
      appendText(appendNumber(end, command.number), "-lock");
      appendNumber(appendText(xSocket_, "/tmp/.X11-unix/X"), command.number);
    } else if (command.type == Command::startSession) {
      const int32_t pid = session_ == 0 ? startSession(command.number) : 0;
      [[maybe_unused]] const ssize_t written = ::write(kReplyFd, &pid, sizeof pid);
    }
  }

  pid_t startSession(uint32_t number) {
    if (prepared_.arguments.size() < 2) return 0;
    appendNumber(prepared_.display + sizeof "DISPLAY=:" - 1, number);
    const pid_t pid = startChild(prepared_.arguments.data(), prepared_.environment.data());
    if (pid > 0) session_ = pid;
    return pid;
  }

  // A child in its own process group with the signals and descriptors of a fresh program.
  pid_t startChild(char* const* arguments, char* const* environment) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setpgid(0, 0);
      for (int signal : {SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGTERM, SIGCHLD}) {
        ::signal(signal, SIG_DFL);
      }
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      const int null = ::open("/dev/null", O_RDWR);
      for (int standard = 0; standard < 3; ++standard) ::dup2(null, standard);
      ::close_range(3, ~0U, 0);
      ::execve(arguments[0], arguments, environment);
      ::_exit(127);
    }
    if (pid < 0) return 0;
    ::setpgid(pid, pid);  // also here, so that no signal to the group can come before it exists
    return pid;
  }

  void reapAll() {
    int status = 0;
    while (::waitpid(-1, &status, WNOHANG) > 0) {
    }
  }

  bool hasChildren() {
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
  }

  // Signals every child: the session and whatever it left that the keeper adopted.
  void signalChildren(int signal) {
    char path[64];
    appendText(appendNumber(appendText(path, "/proc/self/task/"), uint64_t(::getpid())),
               "/children");
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buffer[4096];
    uint64_t pid = 0;
    bool inNumber = false;
    for (;;) {
      const ssize_t count = ::read(fd, buffer, sizeof buffer);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;
      for (ssize_t i = 0; i < count; ++i) {
        if (buffer[i] >= '0' && buffer[i] <= '9') {
          pid = pid * 10 + uint64_t(buffer[i] - '0');
          inNumber = true;
        } else if (inNumber) {
          ::kill(pid_t(pid), signal);
          pid = 0;
          inNumber = false;
        }
      }
    }
    if (inNumber) ::kill(pid_t(pid), signal);
    ::close(fd);
  }

  // SIGTERM to the session's group and every child, a grace period, then SIGKILL rounds until no
  // child is left: each round's dead make their own children orphans, which come to the keeper.
  void endSession() {
    if (session_ > 0) ::kill(-session_, SIGTERM);
    signalChildren(SIGTERM);
    const int64_t deadline = nowMs() + kSessionGraceMs;
    while (hasChildren() && nowMs() < deadline) {
      sleepMs(5);
      reapAll();
    }
    for (int round = 0; round < kKillRounds && hasChildren(); ++round) {
      if (session_ > 0) ::kill(-session_, SIGKILL);
      signalChildren(SIGKILL);
      sleepMs(5);
      reapAll();
    }
  }

  bool serverEnded(int milliseconds) {
    if (serverHandle_ < 0) {
      sleepMs(milliseconds);
      return false;
    }
    pollfd entry{serverHandle_, POLLIN, 0};
    return ::poll(&entry, 1, milliseconds) > 0;
  }

  void signalServer(int signal) {
    if (serverHandle_ >= 0) {
      ::syscall(SYS_pidfd_send_signal, serverHandle_, signal, nullptr, 0);
    } else {
      ::kill(server_, signal);
    }
  }

  void endServer() {
    if (server_ <= 0) return;
    signalServer(SIGTERM);
    if (serverEnded(kServerGraceMs)) return;
    signalServer(SIGKILL);
    serverEnded(kServerGraceMs);
  }

  void removeFiles() {
    if (server_ > 0) {
      removeIfSame(xSocket_, socket_);
      removeIfSame(xLock_, lock_);
    }
    for (const char* file : prepared_.files) ::unlink(file);
    if (prepared_.directory && *prepared_.directory) ::rmdir(prepared_.directory);
  }

  Prepared& prepared_;
  pid_t session_ = 0;
  pid_t server_ = 0;
  int serverHandle_ = -1;
  char xLock_[64] = "";
  char xSocket_[64] = "";
  FileIdentity lock_;
  FileIdentity socket_;
};

// In the new process: the pipe ends and the held descriptor go to fixed numbers, everything else
// the host had open is closed, so that no other keeper or program keeps a pipe of ours open.
[[noreturn]] void becomeKeeper(Prepared& prepared, int commands, int replies, int held) {
  const int base = std::max({commands, replies, held, kSignalFd}) + 1;
  const int command = ::fcntl(commands, F_DUPFD, base);
  const int reply = ::fcntl(replies, F_DUPFD, base);
  const int heldCopy = held >= 0 ? ::fcntl(held, F_DUPFD, base) : -1;
  if (command < 0 || reply < 0) ::_exit(1);
  ::dup2(command, kCommandFd);
  ::dup2(reply, kReplyFd);
  if (heldCopy >= 0)
    ::dup2(heldCopy, kHeldFd);
  else
    ::close(kHeldFd);
  ::close_range(kSignalFd, ~0U, 0);
  const int null = ::open("/dev/null", O_RDWR);
  for (int standard = 0; standard < 3; ++standard) ::dup2(null, standard);
  if (null > kHeldFd) ::close(null);
  Keeper(prepared).run();
}

}  // namespace

FileIdentity identityOf(const struct stat& info) {
  return {uint64_t(info.st_dev), uint64_t(info.st_ino),
          int64_t(info.st_ctim.tv_sec) * 1'000'000'000 + info.st_ctim.tv_nsec};
}

FileIdentity identityOf(const char* path) {
  struct stat info {};
  if (::lstat(path, &info) != 0) return {};
  return identityOf(info);
}

void removeIfSame(const char* path, FileIdentity identity) {
  if (identity.known() && identityOf(path) == identity) ::unlink(path);
}

std::unique_ptr<SessionKeeper> SessionKeeper::start(const Plan& plan) {
  Prepared prepared(plan);
  int commands[2];
  int replies[2];
  if (::pipe2(commands, O_CLOEXEC) != 0) throw RemoteError::unavailable(kKeeperFailed);
  if (::pipe2(replies, O_CLOEXEC) != 0) {
    ::close(commands[0]);
    ::close(commands[1]);
    throw RemoteError::unavailable(kKeeperFailed);
  }
  const pid_t pid = ::fork();
  if (pid == 0) becomeKeeper(prepared, commands[0], replies[1], plan.heldDescriptor);
  ::close(commands[0]);
  ::close(replies[1]);
  if (pid < 0) {
    ::close(commands[1]);
    ::close(replies[0]);
    throw RemoteError::unavailable(kKeeperFailed);
  }
  std::unique_ptr<SessionKeeper> keeper(new SessionKeeper());
  keeper->keeper_ = pid;
  keeper->commands_ = commands[1];
  keeper->replies_ = replies[0];
  return keeper;
}

SessionKeeper::~SessionKeeper() {
  ::close(commands_);
  const auto deadline = Clock::now() + kKeeperPatience;
  siginfo_t info{};
  for (;;) {
    info.si_pid = 0;
    if (::waitid(P_PID, id_t(keeper_), &info, WEXITED | WNOHANG) != 0 && errno != EINTR) break;
    if (info.si_pid == keeper_) break;
    if (Clock::now() >= deadline) {
      ::kill(keeper_, SIGKILL);
      while (::waitpid(keeper_, nullptr, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(2ms);
  }
  ::close(replies_);
}

void SessionKeeper::watchServer(pid_t server, uint32_t displayNumber, FileIdentity lock,
                                FileIdentity socket) {
  const Command command{Command::watchServer, int32_t(server), displayNumber, lock, socket};
  [[maybe_unused]] const ssize_t written = ::write(commands_, &command, sizeof command);
}

pid_t SessionKeeper::startSession(uint32_t displayNumber, std::chrono::milliseconds timeout) {
  const Command command{Command::startSession, 0, displayNumber, {}, {}};
  if (::write(commands_, &command, sizeof command) != ssize_t(sizeof command)) return 0;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) return 0;
    pollfd entry{replies_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, int(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return 0;
    int32_t pid = 0;
    const ssize_t count = ::read(replies_, &pid, sizeof pid);
    if (count < 0 && errno == EINTR) continue;
    return count == ssize_t(sizeof pid) ? pid_t(pid) : 0;
  }
}

}  // namespace veltra
