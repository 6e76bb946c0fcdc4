// veltra-host: shares a private virtual display with one Veltra client at a time.
//
//   veltra-host [--port N] [--session COMMAND|none]
//   veltra-host --headless [--port N] [--bind ADDRESS] [--key-file FILE] [--session COMMAND|none]
//
// Without --headless it opens the Veltra Host window, where the user starts and stops hosting;
// N and COMMAND take the place of the window's own choices for this run. It needs a display
// (DISPLAY or WAYLAND_DISPLAY) to open the window on.
//
// Headless, it prints where the connection key comes from, then every new status line, starts
// hosting at once and stops cleanly on SIGINT or SIGTERM. Without --key-file the key is new for
// this run, printed once ("Connection key: KEY") and never written to disk; with it, the key is
// the one in FILE (created 0600 with a new key if it does not exist) and is never printed.
// COMMAND starts inside every virtual display the host creates (a desktop session, a terminal,
// veltra-test-pattern); without --session the first desktop session installed starts, and
// "none" leaves the display empty. --bind listens on that IP address only instead of on every
// interface.

#include <asio/ip/address.hpp>
#include <asio/signal_set.hpp>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <variant>

#include "VeltraHostApp/HostApplication.h"
#include "command_line.h"
#include "host/RemoteHost.h"
#include "host/x11/X11HostPlatform.h"
#include "print_line.h"
#include "protocol/KeyFile.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"
#include "support/Allocator.h"
#include "support/AsioMainQueue.h"
#include "support/ProcessProtection.h"

namespace {

using veltra::printLine;

struct Arguments {
  bool headless = false;
  std::optional<uint16_t> port;
  std::string bind;
  std::string keyFile;
  std::string session;
};

// The arguments, or the exit code when the program is done here (help, version, a usage error).
std::variant<Arguments, int> parse(int argc, char** argv) {
  veltra::CommandLine commandLine(
      "veltra-host", "Shares a private virtual display with one Veltra client at a time.",
      "veltra-host [--port N] [--session COMMAND|none]\n"
      "       veltra-host --headless [--port N] [--bind ADDRESS] [--key-file FILE]\n"
      "                   [--session COMMAND|none]");
  CLI::App& app = commandLine.app();
  Arguments arguments;
  uint16_t port = veltra::RemoteHost::kDefaultPort;
  app.add_flag("--headless", arguments.headless, "Host without a window, on the terminal");
  auto* portOption = app.add_option("--port", port, "The TCP port to listen on (default 9876)")
                         ->type_name("N")
                         ->check(veltra::wholeNumber(0, 65535));
  app.add_option("--session", arguments.session,
                 "What runs in every virtual display, or none (default: a desktop)")
      ->type_name("COMMAND");
  auto* bindOption = app.add_option("--bind", arguments.bind,
                                    "Headless: listen on this IP address only (default: all)")
                         ->type_name("ADDRESS");
  auto* keyOption = app.add_option("--key-file", arguments.keyFile,
                                   "Headless: the key, kept there (made if missing), never printed")
                        ->type_name("FILE");
  if (auto done = commandLine.parse(argc, argv)) return *done;
  if (portOption->count() > 0) arguments.port = port;

  if (!arguments.headless) {
    for (const CLI::Option* option : {bindOption, keyOption}) {
      if (option->count() > 0) {
        return commandLine.usageError(option->get_name() + " needs --headless");
      }
    }
    if (!veltra::windowPossible()) {
      std::fprintf(stderr,
                   "veltra-host: no display to open the window on; use --headless to host "
                   "without a window\n");
      return 2;
    }
  }
  if (bindOption->count() > 0) {
    asio::error_code error;
    asio::ip::make_address(arguments.bind, error);
    if (error || arguments.bind.empty()) {
      return commandLine.usageError(
          "--bind takes an IP address of this machine, e.g. 127.0.0.1, "
          "not \"" +
          arguments.bind + "\"");
    }
  }
  if (keyOption->count() > 0 && arguments.keyFile.empty()) {
    return commandLine.usageError("--key-file needs a file name");
  }
  return arguments;
}

// Headless hosting until a signal or a failure ends it; the exit code.
int runHeadless(const Arguments& arguments) {
  veltra::AsioMainQueue main;
  veltra::RemoteHost host(main, veltra::makeX11HostPlatform(main));
  host.setPort(arguments.port.value_or(veltra::RemoteHost::kDefaultPort));
  host.setBindAddress(arguments.bind);
  host.setSessionChoice(arguments.session);
  if (arguments.keyFile.empty()) {
    printLine("Connection key: " + host.connectionKey());
  } else {
    try {
      std::string key = veltra::loadOrCreateKeyFile(arguments.keyFile);
      host.setConnectionKey(std::move(key));
    } catch (const veltra::RemoteError& error) {
      std::fprintf(stderr, "veltra-host: %s\n", error.what());
      return 2;
    }
    printLine("Connection key: from " + arguments.keyFile);
  }

  int exitCode = 0;
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
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  auto parsed = parse(argc, argv);
  if (const int* done = std::get_if<int>(&parsed)) return *done;
  const Arguments& arguments = std::get<Arguments>(parsed);
  // Before the key exists; a system that refuses leaves the host as safe as any other program.
  veltra::protectProcessMemory();
  veltra::tuneAllocatorForStreaming();
  if (arguments.headless) return runHeadless(arguments);

  // Qt reads options of its own from the command line (--session among them, for session
  // management); everything there is ours and parsed, so it gets the program's name only.
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  return veltra::runHostApplication(qtArgc, qtArgv, {arguments.port, arguments.session});
}
