#include "loopback_fixture.h"

#include <sys/socket.h>

#include <future>

#include "support/NetworkContext.h"

namespace veltra::test {

using asio::ip::tcp;

namespace {

tcp::endpoint loopback(uint16_t port) {
  return tcp::endpoint(asio::ip::make_address("127.0.0.1"), port);
}

}  // namespace

void Events::attach(RemoteConnection& connection) {
  // Each callback records under the lock, and notes a call on the test's own thread.
  auto record = [this](auto change) {
    return [this, change](auto... arguments) {
      std::lock_guard lock(mutex_);
      if (std::this_thread::get_id() == caller_) record_.offCaller = false;
      change(std::move(arguments)...);
    };
  };
  connection.onReady = record([this] { ++record_.ready; });
  connection.onPacket = record([this](RemotePacket type, Bytes payload) {
    record_.packets.emplace_back(type, std::move(payload));
  });
  connection.onEnd =
      record([this](std::string reason) { record_.ends.push_back(std::move(reason)); });
}

Events::Record Events::get() {
  std::lock_guard lock(mutex_);
  return record_;
}

void drainNetworkThread() {
  for (int round = 0; round < 2; ++round) {
    std::promise<void> ran;
    asio::post(NetworkContext::shared().context(), [&ran] { ran.set_value(); });
    ran.get_future().wait();
  }
}

Listener::Listener() : acceptor_(context_, loopback(0)), port_(acceptor_.local_endpoint().port()) {}

tcp::socket Listener::accept() {
  return acceptor_.accept();
}

RawPeer::RawPeer(uint16_t port) : socket_(context_) {
  socket_.connect(loopback(port));
  socket_.set_option(tcp::no_delay(true));
  const timeval patience{std::chrono::seconds(kPatience).count(), 0};
  ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
}

void RawPeer::write(ByteView bytes) {
  asio::write(socket_, asio::buffer(bytes.data(), bytes.size()));
}

std::optional<Bytes> RawPeer::readFrame() {
  // Plain recv, as asio's blocking reads would wait past the socket's receive timeout.
  auto readExactly = [this](uint8_t* data, size_t size) {
    return ::recv(socket_.native_handle(), data, size, MSG_WAITALL) == ssize_t(size);
  };
  uint8_t header[4];
  if (!readExactly(header, 4)) return std::nullopt;
  Bytes body(uint32_t{header[0]} << 24 | uint32_t{header[1]} << 16 | header[2] << 8 | header[3]);
  if (!readExactly(body.data(), body.size())) return std::nullopt;
  return body;
}

bool RawPeer::waitForClose(bool orderly) {
  uint8_t byte;
  for (;;) {
    const ssize_t got = ::recv(socket_.native_handle(), &byte, 1, 0);
    if (got <= 0) return got == 0 || (!orderly && errno != EAGAIN);
  }
}

void RawPeer::resetAbruptly() {
  socket_.set_option(asio::socket_base::linger(true, 0));
  socket_.close();
}

}  // namespace veltra::test
