#pragma once

#include <memory>
#include <string>

#include "host/ProcessActivity.h"

namespace veltra {

// A systemd-logind inhibitor lock (idle and sleep, mode "block") held while the object lives.
// Main thread; one short D-Bus call to begin (a missing system bus fails at once).
class LogindInhibitor final : public ProcessActivity {
 public:
  // Nothing when there is no system bus or logind refuses.
  static std::unique_ptr<LogindInhibitor> begin(const std::string& reason);
  ~LogindInhibitor() override;

  LogindInhibitor(const LogindInhibitor&) = delete;
  LogindInhibitor& operator=(const LogindInhibitor&) = delete;

 private:
  explicit LogindInhibitor(int fd) : fd_(fd) {}
  int fd_;  // the lock is held while this descriptor is open
};

}  // namespace veltra
