#include "protocol/KeyFile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"
#include "protocol/UnicodeText.h"

namespace veltra {
namespace {

namespace fs = std::filesystem;

// A key is 44 characters; anything much longer is not a key file, and is not read whole.
constexpr size_t kMaxKeyFileSize = 4096;

RemoteError failure(const std::string& what, const std::string& path, int error) {
  return RemoteError::unavailable("Cannot " + what + " " + path + ": " + std::strerror(error));
}

RemoteError notAKey(const std::string& path) {
  return RemoteError::unavailable("The key file " + path +
                                  " does not hold a connection key (32 bytes in Base64).");
}

bool isKey(const std::string& text) {
  try {
    RemoteAuthentication::secret(text);
    return true;
  } catch (const RemoteError&) {
    return false;
  }
}

// Creates `folder` and its missing parents 0700; folders that exist are left as they are.
void makeFolders(const fs::path& folder) {
  if (folder.empty()) return;
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode)) throw failure("use the folder", folder.string(), ENOTDIR);
    return;
  }
  if (errno != ENOENT) throw failure("use the folder", folder.string(), errno);
  if (folder.has_relative_path() && folder.parent_path() != folder) {
    makeFolders(folder.parent_path());
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    throw failure("create the folder", folder.string(), errno);
  }
}

// The file descriptor closes with it.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// Writes `key` into a private temporary file beside `path` and moves it there: over an existing
// file when `replace`, else only where none exists (false, nothing changed, when one does).
bool publish(const std::string& path, const std::string& key, bool replace) {
  if (!isKey(key))
    throw RemoteError::unavailable("Not a connection key; " + path + " left as it is.");
  const fs::path target(path);
  const fs::path folder = target.parent_path();
  makeFolders(folder);

  std::string temporary = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  Descriptor file;
  // mkostemp opens with O_CREAT|O_EXCL and mode 0600: the key is never in a file that others
  // could open, not even for a moment. fchmod makes the mode exact under any umask.
  file.fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (file.fd < 0) throw failure("write the key file", path, errno);
  const auto fail = [&](int error) {
    ::unlink(temporary.c_str());
    return failure("write the key file", path, error);
  };
  if (::fchmod(file.fd, 0600) != 0) throw fail(errno);
  std::string text = key + "\n";
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = ::write(file.fd, text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      const int error = errno;
      RemoteAuthentication::wipeKeyText(text);
      throw fail(error);
    }
    written += static_cast<size_t>(count);
  }
  RemoteAuthentication::wipeKeyText(text);
  // On disk before it takes the key file's name, so a crash leaves the old key or the new one.
  if (::fsync(file.fd) != 0) throw fail(errno);
  const int fd = file.fd;
  file.fd = -1;
  if (::close(fd) != 0) throw fail(errno);

  if (replace) {
    if (::rename(temporary.c_str(), path.c_str()) != 0) throw fail(errno);
  } else if (::link(temporary.c_str(), path.c_str()) == 0) {
    ::unlink(temporary.c_str());
  } else if (errno == EEXIST) {
    ::unlink(temporary.c_str());
    return false;
  } else if (errno == EPERM || errno == EOPNOTSUPP) {
    // A file system without hard links: the rename is still atomic, only not exclusive.
    if (::rename(temporary.c_str(), path.c_str()) != 0) throw fail(errno);
  } else {
    throw fail(errno);
  }

  // The new name itself is durable once its folder is.
  Descriptor directory;
  directory.fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory.fd >= 0) ::fsync(directory.fd);
  return true;
}

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir && *found->pw_dir) {
    return found->pw_dir;
  }
  throw RemoteError::unavailable("No home folder to keep the host key in (HOME is not set).");
}

}  // namespace

std::string readKeyFile(const std::string& path) {
  Descriptor file;
  file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file.fd < 0) throw failure("read the key file", path, errno);
  std::string text(kMaxKeyFileSize + 1, '\0');
  size_t used = 0;
  while (used < text.size()) {
    const ssize_t count = ::read(file.fd, text.data() + used, text.size() - used);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      const int error = errno;
      RemoteAuthentication::wipeKeyText(text);
      throw failure("read the key file", path, error);
    }
    if (count == 0) break;
    used += static_cast<size_t>(count);
  }
  text.resize(used);
  const bool valid = used <= kMaxKeyFileSize && isKey(text);
  std::string key = valid ? std::string(trimWhiteSpace(text)) : std::string();
  RemoteAuthentication::wipeKeyText(text);
  if (!valid) throw notAKey(path);
  return key;
}

void writeKeyFile(const std::string& path, const std::string& key) {
  publish(path, key, true);
}

std::string loadOrCreateKeyFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 && errno == ENOENT) {
    std::string key = RemoteAuthentication::newKey();
    if (publish(path, key, false)) return key;
    // Another process created it meanwhile; its key is the one.
    RemoteAuthentication::wipeKeyText(key);
  }
  return readKeyFile(path);
}

std::string defaultHostKeyPath() {
  // The XDG rules: a relative XDG_CONFIG_HOME is invalid and ignored.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const std::string base = config && config[0] == '/' ? config : homeFolder() + "/.config";
  return base + "/veltra/host-key";
}

}  // namespace veltra
