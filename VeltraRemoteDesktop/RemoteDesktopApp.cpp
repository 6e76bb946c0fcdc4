#include "RemoteDesktopApp.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <QTimer>
#include <cstdio>

#include "RemoteDesktopWindow.h"
#include "client/RemoteClient.h"
#include "qt/QtMainQueue.h"
#include "view/PulseAudioOutput.h"
#include "view/RemoteObserverBag.h"

namespace veltra {
namespace {

// Signals reach the event loop through a pipe: a handler may only write a byte.
int signalPipe[2] = {-1, -1};

void forwardSignal(int number) {
  const char byte = static_cast<char>(number);
  [[maybe_unused]] ssize_t written = ::write(signalPipe[1], &byte, 1);
}

void printStatus(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int runRemoteDesktop(int& argc, char** argv, const RemoteDesktopOptions& options) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(RemoteDesktopWindow::kTitle);
  QApplication::setDesktopFileName("veltra-remote");
  QApplication::setWindowIcon(QIcon::fromTheme("veltra-remote"));
  // Fusion draws every control from the palette, so the window is dark whatever the desktop's
  // own style is.
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QApplication::setPalette(remoteDesktopPalette());

  QtMainQueue main;
  // The window shows the host's pointer, joins the clipboards and plays the sound; the headless
  // client offers nothing (or only sound into a file), so it stays a base-protocol peer.
  //
  // Sound is offered whether or not the desktop has a sound server: finding out would mean a
  // round trip to it before every connection, and a stream nobody hears costs the host one Opus
  // encoder and, while something plays, 128 kbit/s on the LAN. The speaker stays silent on its
  // own.
  RemoteClient::Options clientOptions;
  clientOptions.extensions = {SessionExtension::clipboard, SessionExtension::cursor,
                              SessionExtension::audio};
  clientOptions.audio = std::make_shared<PulseAudioOutput>();
  RemoteClient client(main, std::move(clientOptions));
  int result = 0;
  {
    RemoteDesktopWindow window(client);

    std::string printed = client.status();
    printStatus(printed);
    RemoteObserverBag observers;
    observers.add(client.changes(), [&] {
      if (client.status() != printed) printStatus(printed = client.status());
    });

    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
      signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
      QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &window, [&] {
        char number = 0;
        while (::read(signalPipe[0], &number, 1) == 1) {
          if (number == SIGUSR1) {
            if (!window.grab().save(QString::fromStdString(options.screenshot), "PNG")) {
              std::fprintf(stderr, "veltra-remote: cannot write %s\n", options.screenshot.c_str());
            }
          } else {
            window.close();
          }
        }
      });
      struct sigaction action = {};
      action.sa_handler = forwardSignal;
      sigemptyset(&action.sa_mask);
      action.sa_flags = SA_RESTART;
      sigaction(SIGINT, &action, nullptr);
      sigaction(SIGTERM, &action, nullptr);
      if (!options.screenshot.empty()) sigaction(SIGUSR1, &action, nullptr);
    }

    QTimer statisticsTimer;
    if (options.statistics) {
      QObject::connect(&statisticsTimer, &QTimer::timeout, &window, [&] {
        if (!client.connected()) return;
        printStatus("decoded " + std::to_string(client.decodedFPS()) + " fps · displayed " +
                    std::to_string(client.displayedFPS()) + " fps · rtt " +
                    roundTripText(client.rttMilliseconds()));
      });
      statisticsTimer.start(1000);
    }

    window.show();
    if (!options.profile.empty()) {
      const bool imported = window.importProfile(QString::fromStdString(options.profile));
      if (imported && options.connect) client.connect();
    } else if (options.connect) {
      client.connect();
    }
    result = QApplication::exec();
    if (client.connecting() || client.connected()) client.disconnect("Disconnected");
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGUSR1, SIG_DFL);
  }
  return result;
}

}  // namespace veltra
