#include "HostApplication.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>

#include "HostTheme.h"
#include "HostWindow.h"
#include "host/RemoteHost.h"
#include "host/x11/X11HostPlatform.h"
#include "qt/QtMainQueue.h"

namespace veltra {
namespace {

// SIGINT and SIGTERM reach the event loop through a pipe: a handler may do nothing else safely.
int signalPipe[2] = {-1, -1};

void onSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

// Ends the event loop once the host has stopped. Asked again while stopping, it just waits.
class Ending {
 public:
  Ending(RemoteHost& host, QApplication& application) : host_(host), application_(application) {}

  void request() {
    if (requested_) return;
    requested_ = true;
    host_.changes().add([this] { finishIfStopped(); });
    host_.stop();
    finishIfStopped();
  }

 private:
  void finishIfStopped() {
    if (!host_.running() && !host_.stopping()) application_.quit();
  }

  RemoteHost& host_;
  QApplication& application_;
  bool requested_ = false;
};

}  // namespace

int runHostApplication(int argc, char** argv, const HostApplicationOptions& options) {
  QApplication application(argc, argv);
  application.setApplicationName("Veltra Host");
  application.setDesktopFileName("veltra-host");
  // The window's close is not the end: the host's stop runs first (Ending).
  application.setQuitOnLastWindowClosed(false);
  applyHostAppearance(application);

  QtMainQueue main;
  RemoteHost host(main, makeX11HostPlatform(main));
  Ending ending(host, application);

  std::unique_ptr<QSocketNotifier> signalNotifier;
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [&] {
      char drained[16];
      while (::read(signalPipe[0], drained, sizeof drained) > 0) {
      }
      ending.request();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
  }

  // The window gives the host its saved settings and key, under this run's command line.
  HostView::Options viewOptions;
  viewOptions.port = options.port;
  viewOptions.sessionCommand = options.sessionCommand;
  HostWindow window(host, std::move(viewOptions));
  QObject::connect(&window, &HostWindow::closeRequested, [&] { ending.request(); });
  window.show();
  window.raise();
  window.activateWindow();

  const int code = application.exec();
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
  return code;
}

}  // namespace veltra
