#include "host/x11/LogindInhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace veltra {

std::unique_ptr<LogindInhibitor> LogindInhibitor::begin(const std::string& reason) {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int fd = -1;
  if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                         "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                         "idle:sleep", "Veltra", reason.c_str(), "block") >= 0) {
    int received = -1;
    // The descriptor belongs to the message; keep a copy of our own.
    if (sd_bus_message_read(reply, "h", &received) >= 0 && received >= 0) {
      fd = ::fcntl(received, F_DUPFD_CLOEXEC, 3);
    }
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_flush_close_unref(bus);
  if (fd < 0) return nullptr;
  return std::unique_ptr<LogindInhibitor>(new LogindInhibitor(fd));
}

LogindInhibitor::~LogindInhibitor() {
  ::close(fd_);
}

}  // namespace veltra
