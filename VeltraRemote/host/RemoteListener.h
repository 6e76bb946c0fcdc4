#pragma once

#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace veltra {

// The host's TCP listener: every interface (one dual-stack IPv6 socket, or IPv4 where IPv6 is
// off) or the one address it is given, address reuse, TCP_NODELAY on every accepted socket. A
// shortage of descriptors or memory while accepting pauses accepting for 100 ms instead of ending
// the listener.
//
// THREADING: start() and cancel() from any thread. Everything else, the callbacks included, runs
// on the listener's own strand over the network thread ("listener"); owners hop to their own
// queue. After cancel() no callback runs. LIFETIME: destroying it cancels it.
class RemoteListener {
 public:
  // `address`: an IP address of this machine, or "" for every interface. Text that is not an IP
  // address fails at start() through onFailed, like an address already in use.
  explicit RemoteListener(uint16_t port, std::string address = {});
  ~RemoteListener();

  RemoteListener(const RemoteListener&) = delete;
  RemoteListener& operator=(const RemoteListener&) = delete;

  // Set before start().
  std::function<void()> onReady;
  // Binding or accepting failed, with the system's text ("Address already in use"); the listener
  // is closed by then.
  std::function<void(std::string error)> onFailed;
  // A new client's socket, on the network context, ready for RemoteConnection::accepted().
  std::function<void(asio::ip::tcp::socket socket)> onConnection;

  void start();
  void cancel();

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};

}  // namespace veltra
