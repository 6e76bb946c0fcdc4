#pragma once

// Real TCP on loopback for connection tests: an event recorder for RemoteConnection callbacks
// and a blocking raw peer.

#include <asio.hpp>
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
  struct Record {
    int ready = 0;
    std::vector<std::string> ends;
    std::vector<std::pair<RemotePacket, Bytes>> packets;
    bool offCaller = true;  // no callback ran on the thread that made the recorder
  };
  void attach(RemoteConnection& connection);
  Record get();

 private:
  std::mutex mutex_;
  Record record_;
  const std::thread::id caller_ = std::this_thread::get_id();
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
  // True when the peer closed: with end of stream, or also with a reset unless `orderly`.
  bool waitForClose(bool orderly = false);
  void resetAbruptly();

 private:
  asio::io_context context_;
  asio::ip::tcp::socket socket_;
};

}  // namespace veltra::test
