#pragma once

// Real TCP on loopback for connection tests: an event recorder for RemoteConnection callbacks,
// a blocking raw peer, and a relay that records (and can replay) the frames between two
// connections.

#include <asio.hpp>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "harness/harness.h"
#include "protocol/RemoteConnection.h"
#include "support/Bytes.h"

namespace veltra::test {

// Collects what one connection reports, from the wire thread, for the test thread to wait on
// (with waitUntil).
class Events {
 public:
  void attach(RemoteConnection& connection);
  int readyCount();
  std::vector<std::string> ends();
  std::vector<std::pair<RemotePacket, Bytes>> packets();
  bool callbacksOffCallerThread();

 private:
  std::mutex mutex_;
  int ready_ = 0;
  std::vector<std::string> ends_;
  std::vector<std::pair<RemotePacket, Bytes>> packets_;
  const std::thread::id caller_ = std::this_thread::get_id();
  bool offCaller_ = true;
};

// Returns once the network thread has twice run everything queued before, so that what the
// kernel has already delivered to a connection has been handled: the bound for checking that
// something did not happen.
void drainNetworkThread();

// A listening socket on 127.0.0.1 with an ephemeral port.
class Listener {
 public:
  Listener();
  uint16_t port() const { return port_; }
  asio::ip::tcp::socket accept();

 private:
  asio::io_context context_;
  asio::ip::tcp::acceptor acceptor_;
  uint16_t port_;
};

// A blocking peer that speaks raw bytes; its reads give up after kPatience.
class RawPeer {
 public:
  explicit RawPeer(uint16_t port);
  void write(ByteView bytes);
  // One whole frame body, or nothing on timeout or end of stream.
  std::optional<Bytes> readFrame();
  // True when the peer closed (end of stream or reset).
  bool waitForClose();
  void resetAbruptly();

 private:
  asio::io_context context_;
  asio::ip::tcp::socket socket_;
};

// Sits between a client and a host connection, forwarding both ways and recording frame sizes.
// It can send one client-to-host frame twice (a replay by a man in the middle).
class Relay {
 public:
  explicit Relay(uint16_t targetPort, std::optional<size_t> duplicateClientFrame = std::nullopt);
  ~Relay();
  uint16_t port() const { return listener_.port(); }
  std::vector<size_t> clientFrames();
  std::vector<size_t> hostFrames();

 private:
  void pump(asio::ip::tcp::socket& from, asio::ip::tcp::socket& to, std::vector<size_t>& sizes,
            std::optional<size_t> duplicate);

  Listener listener_;
  asio::io_context context_;
  std::optional<asio::ip::tcp::socket> client_, host_;
  std::mutex mutex_;
  std::vector<size_t> clientFrames_, hostFrames_;
  std::thread acceptor_, upstream_, downstream_;
};

}  // namespace veltra::test
