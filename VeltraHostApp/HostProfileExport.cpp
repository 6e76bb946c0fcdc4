#include "HostProfileExport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "protocol/RemoteConnectionProfile.h"

namespace veltra {
namespace {

std::string systemError(int error) {
  return std::strerror(error);
}

}  // namespace

std::optional<std::string> writeOwnerOnlyFile(const std::filesystem::path& path, ByteView bytes) {
  const std::filesystem::path folder =
      path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
  // mkstemp opens with O_CREAT | O_EXCL and mode 0600, whatever the umask: no other user can
  // open it between its creation and the rename, and no existing file is followed or reused.
  std::string temporary = (folder / ".veltra-export-XXXXXX").string();
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return systemError(errno);

  auto fail = [&](int error) -> std::optional<std::string> {
    ::unlink(temporary.c_str());
    return systemError(error);
  };
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t result = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (result < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      return fail(error);
    }
    written += static_cast<size_t>(result);
  }
  // On disk before the name points at it, so a crash leaves the old file or the whole new one.
  if (::fsync(fd) != 0) {
    const int error = errno;
    ::close(fd);
    return fail(error);
  }
  if (::close(fd) != 0) return fail(errno);
  if (::rename(temporary.c_str(), path.c_str()) != 0) return fail(errno);
  // The rename itself reaches the disk with the folder; failing that loses nothing written.
  if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return std::nullopt;
}

std::string exportConnectionProfile(const std::filesystem::path& path, const std::string& address,
                                    uint16_t port, const std::string& connectionKey) {
  const std::string failure = "Could not export connection JSON: ";
  Bytes bytes;
  try {
    bytes = RemoteConnectionProfile(address, port, connectionKey).encoded();
  } catch (const std::exception& error) {
    return failure + error.what();
  }
  if (auto error = writeOwnerOnlyFile(path, bytes)) return failure + *error;
  return "Connection JSON saved. Import it in Remote, then Connect.";
}

}  // namespace veltra
