// veltra-host: shares a private virtual display with one Veltra client at a time.
//
//   veltra-host [--headless] [--port N] [--session COMMAND]
//
// Without --headless it opens the Veltra Host window, where the user starts and stops hosting;
// N is the port the window starts with.
//
// Headless, it prints the connection key once, then every new status line, starts hosting at
// once and stops cleanly on SIGINT or SIGTERM. COMMAND starts inside every virtual display the
// host creates (a desktop session, a terminal, veltra-test-pattern). The key is never written
// to disk.

#include <asio/signal_set.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "VeltraHostApp/HostApplication.h"
#include "host/RemoteHost.h"
#include "host/x11/X11HostPlatform.h"
#include "print_line.h"
#include "support/Allocator.h"
#include "support/AsioMainQueue.h"
#include "support/ProcessProtection.h"

namespace {

using veltra::printLine;

const char kUsage[] = "usage: veltra-host [--headless] [--port N] [--session COMMAND]";

struct Arguments {
  bool headless = false;
  uint16_t port = veltra::RemoteHost::kDefaultPort;
  std::string session;
};

std::optional<uint16_t> parsePort(const char* text) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

// Nothing on failure, after saying why on standard error.
std::optional<Arguments> parse(int argc, char** argv) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const bool hasValue = i + 1 < argc;
    if (option == "--headless") {
      arguments.headless = true;
    } else if (option == "--port" && hasValue) {
      auto port = parsePort(argv[++i]);
      if (!port) {
        std::fprintf(stderr, "veltra-host: --port takes a number from 0 to 65535\n%s\n", kUsage);
        return std::nullopt;
      }
      arguments.port = *port;
    } else if (option == "--session" && hasValue) {
      arguments.session = argv[++i];
    } else {
      std::fprintf(stderr, "veltra-host: unexpected argument \"%s\"\n%s\n", option.c_str(), kUsage);
      return std::nullopt;
    }
  }
  return arguments;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Arguments> arguments = parse(argc, argv);
  if (!arguments) return 2;
  // Before the key exists; a system that refuses leaves the host as safe as any other program.
  veltra::protectProcessMemory();
  veltra::tuneAllocatorForStreaming();
  if (!arguments->headless) {
    return veltra::runHostApplication(argc, argv, {arguments->port, arguments->session});
  }

  veltra::AsioMainQueue main;
  int exitCode = 0;
  {
    veltra::RemoteHost host(main, veltra::makeX11HostPlatform(main, arguments->session));
    host.setPort(arguments->port);
    printLine("Connection key: " + host.connectionKey());

    bool started = false;
    bool stopRequested = false;
    std::string printed = host.status();
    host.changes().add([&] {
      if (host.status() != printed) {
        printed = host.status();
        printLine(printed);
      }
      // Done once a stop has run to its end: ours, or one the listener's failure caused.
      if (started && !host.running() && !host.stopping()) {
        exitCode = stopRequested ? 0 : 1;
        main.stop();
      }
    });

    asio::signal_set signals(main.context(), SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code& error, int) {
      if (error) return;
      stopRequested = true;
      if (!host.running() && !host.stopping()) return main.stop();
      host.stop();
    });

    host.start();
    // start() may fail at once (no Xvfb, a bad port): then the status says why and we are done.
    started = host.running();
    if (!started) {
      exitCode = 1;
    } else {
      main.run();
    }
    signals.cancel();
  }
  return exitCode;
}
