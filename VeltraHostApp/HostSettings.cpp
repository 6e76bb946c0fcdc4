#include "HostSettings.h"

#include <sys/stat.h>

#include <QSettings>
#include <cerrno>
#include <cstring>

#include "protocol/KeyFile.h"
#include "protocol/RemoteError.h"

namespace veltra {
namespace {

const char kPortKey[] = "port";
const char kSessionKey[] = "session";

// Nothing is read from a file that is not there (an empty path: no home folder).
QVariant read(const std::filesystem::path& file, const char* key) {
  if (file.empty()) return {};
  return QSettings(QString::fromStdString(file.string()), QSettings::IniFormat).value(key);
}

}  // namespace

std::filesystem::path HostSettings::defaultFile() {
  // Beside the key, so that one folder holds everything the host keeps.
  try {
    return std::filesystem::path(defaultHostKeyPath()).parent_path() / "host.ini";
  } catch (const RemoteError&) {
    return {};
  }
}

std::optional<uint16_t> HostSettings::port() const {
  bool valid = false;
  const uint value = read(file_, kPortKey).toUInt(&valid);
  if (!valid || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

std::string HostSettings::sessionChoice() const {
  return read(file_, kSessionKey).toString().toStdString();
}

std::string HostSettings::savePort(uint16_t port) {
  return save(kPortKey, static_cast<uint>(port));
}

std::string HostSettings::saveSessionChoice(const std::string& choice) {
  return save(kSessionKey, QString::fromStdString(choice));
}

std::string HostSettings::save(const char* key, const QVariant& value) {
  if (file_.empty()) return "Settings not saved: there is no home folder to keep them in.";
  // The folder is the key's too: private, like the key file makes it.
  const std::filesystem::path folder = file_.parent_path();
  std::error_code ignored;
  std::filesystem::create_directories(folder.parent_path(), ignored);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return "Settings not saved: " + folder.string() + ": " + std::strerror(errno);
  }
  QSettings settings(QString::fromStdString(file_.string()), QSettings::IniFormat);
  settings.setValue(key, value);
  settings.sync();
  if (settings.status() == QSettings::NoError) return {};
  return "Settings not saved: " + file_.string() + " cannot be written.";
}

}  // namespace veltra
