#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

class QVariant;

namespace veltra {

// What the host window keeps across runs besides its key: the port and the session choice, in
// an INI file ("host.ini" beside the key file, defaultHostKeyPath()). A missing or unreadable
// file reads as nothing saved; each change is written at once, so a crash loses nothing. Every
// read and write opens the file afresh (QSettings), so one failed write does not stick to the
// next.
//
// THREADING: GUI thread only.
class HostSettings {
 public:
  // `file` need not exist yet.
  explicit HostSettings(std::filesystem::path file = defaultFile()) : file_(std::move(file)) {}

  // $XDG_CONFIG_HOME/veltra/host.ini, or ~/.config/veltra/host.ini; empty without a home
  // folder (nothing is read, and saving says why).
  static std::filesystem::path defaultFile();
  const std::filesystem::path& file() const { return file_; }

  // Nothing where none was saved, or what was saved is not a port.
  std::optional<uint16_t> port() const;
  // "" where none was saved (the automatic choice).
  std::string sessionChoice() const;

  // Each writes the file now; "" when it is saved, else why not, for the user.
  std::string savePort(uint16_t port);
  std::string saveSessionChoice(const std::string& choice);

 private:
  std::string save(const char* key, const QVariant& value);

  std::filesystem::path file_;
};

}  // namespace veltra
