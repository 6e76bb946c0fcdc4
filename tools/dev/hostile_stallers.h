#pragma once

// Connections that open as a hostile opening does and then stall, dialing again the moment the
// host closes them: what veltra-hostile-load holds a host's door with, and what the host tests
// hold the handshake gate to.

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "hostile_openings.h"

namespace veltra::hostile {

struct StallerOptions {
  int count = 1;
  // 0: every staller dials from 127.0.0.1; N: staller i binds 127.0.0.(2 + i % N) first, so
  // that N sources stall (Linux routes all of 127/8 to the loopback interface).
  int sources = 0;
  Opening opening = Opening::hello;
  bool redial = true;  // dial again once closed; else each staller connects once
};

// THREADING: the connections run on a thread of their own, started by the constructor; the
// destructor closes them all and joins it. redials() from any thread.
class Stallers {
 public:
  Stallers(asio::ip::tcp::endpoint host, StallerOptions options);
  ~Stallers();

  Stallers(const Stallers&) = delete;
  Stallers& operator=(const Stallers&) = delete;

  // How many times a closed staller has dialed again so far.
  int redials() const { return redials_; }

 private:
  class One;
  void dial(int index);

  asio::io_context io_;
  asio::ip::tcp::endpoint host_;
  StallerOptions options_;
  std::atomic<int> redials_ = 0;
  std::thread thread_;
};

}  // namespace veltra::hostile
