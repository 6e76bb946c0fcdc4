#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace veltra {

// A file as the kernel knows it, so that a path that another process has since taken over is
// told apart from the file we made: device and inode, and the change time, since a removed
// file's inode number is given to the next file created at once. Default: none.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t changed = 0;  // nanoseconds

  bool known() const { return inode != 0; }
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of what `path` names now (the link itself, not what it points to); none when
// nothing is there.
FileIdentity identityOf(const char* path);
FileIdentity identityOf(const struct stat& info);
// Unlinks `path` if it still names the file `identity` describes; nothing for an unknown one.
// System calls only, so the keeper may use it.
void removeIfSame(const char* path, FileIdentity identity);

// The guardian of one virtual display's processes: a small process of its own, forked from the
// host (not exec'd), that makes sure nothing of the display outlives it or the host.
//
// It is a child subreaper: the desktop session and the sound server run as its children, and every
// process the session starts that leaves it (setsid, double forks, D-Bus-activated services) is
// adopted by the keeper when its parent ends, so the keeper can end it. It holds the read end of a
// pipe whose only writer is the host; the pipe closes when the host releases the display or dies in
// any way (SIGKILL, a crash), and the keeper then ends the whole session tree (SIGTERM, a grace,
// SIGKILL until no child is left), then the display server, removes the display's files and exits.
// A subreaper was chosen over a cgroup or a systemd scope because it needs no privileges, no
// delegated cgroup tree and no running systemd, so it works the same in a container, in a
// plain login and under a systemd user unit.
//
// Between fork and exit the keeper runs only system calls on memory prepared before the fork,
// since the host has other threads whose locks may be held at the moment of the fork.
//
// THREADING: the host side is used from one thread at a time (the display's creator, then its
// owner); the destructor blocks until the keeper has ended everything (at most about 2 s).
class SessionKeeper {
 public:
  struct Plan {
    // The session's argument vector (empty: no session) and environment without DISPLAY, which
    // the keeper adds once the display number is known.
    std::vector<std::string> sessionArguments;
    std::vector<std::string> sessionEnvironment;
    // The display's sound server's argument vector (empty: none) and environment. The keeper
    // starts it at once, as its own child, so that it ends with the session's programs.
    std::vector<std::string> soundArguments;
    std::vector<std::string> soundEnvironment;
    // The display's private folder and the files in it, removed at the end.
    std::string directory;
    std::vector<std::string> files;
    // An open descriptor kept open in the keeper for as long as it lives (the folder's lock).
    int heldDescriptor = -1;
  };

  // Forks the keeper. Throws RemoteError when the system refuses.
  static std::unique_ptr<SessionKeeper> start(const Plan& plan);
  // Closes the pipe and waits for the keeper to finish.
  ~SessionKeeper();

  SessionKeeper(const SessionKeeper&) = delete;
  SessionKeeper& operator=(const SessionKeeper&) = delete;

  // The display server the keeper ends after the session (the newest one told), and the display
  // number whose lock and socket it removes after that server has gone, each only while it is
  // still the file described (another server may have taken the number since); 0 for none.
  void watchServer(pid_t server, uint32_t displayNumber, FileIdentity lock, FileIdentity socket);
  // Starts the session on display :`displayNumber` and returns its process id (also its process
  // group), or 0 when it could not be started.
  pid_t startSession(uint32_t displayNumber, std::chrono::milliseconds timeout);
  pid_t process() const { return keeper_; }

 private:
  SessionKeeper() = default;

  pid_t keeper_ = 0;
  int commands_ = -1;  // write end; its closing is the keeper's signal to end
  int replies_ = -1;   // read end of the keeper's answers
};

}  // namespace veltra
