#include "loopback_fixture.h"

#include <sys/socket.h>

#include <future>

#include "support/NetworkContext.h"

namespace veltra::test {

using asio::ip::tcp;

namespace {

uint32_t bigEndian(const uint8_t* header) {
  return uint32_t{header[0]} << 24 | uint32_t{header[1]} << 16 | uint32_t{header[2]} << 8 |
         header[3];
}

tcp::endpoint loopback(uint16_t port) {
  return tcp::endpoint(asio::ip::make_address("127.0.0.1"), port);
}

}  // namespace

void Events::attach(RemoteConnection& connection) {
  // Each callback records under the lock, and notes a call on the test's own thread.
  auto record = [this](auto change) {
    return [this, change](auto... arguments) {
      std::lock_guard lock(mutex_);
      if (std::this_thread::get_id() == caller_) offCaller_ = false;
      change(std::move(arguments)...);
    };
  };
  connection.onReady = record([this] { ++ready_; });
  connection.onPacket = record([this](RemotePacket type, Bytes payload) {
    packets_.emplace_back(type, std::move(payload));
  });
  connection.onEnd = record([this](std::string reason) { ends_.push_back(std::move(reason)); });
}

int Events::readyCount() {
  std::lock_guard lock(mutex_);
  return ready_;
}

std::vector<std::string> Events::ends() {
  std::lock_guard lock(mutex_);
  return ends_;
}

std::vector<std::pair<RemotePacket, Bytes>> Events::packets() {
  std::lock_guard lock(mutex_);
  return packets_;
}

bool Events::callbacksOffCallerThread() {
  std::lock_guard lock(mutex_);
  return offCaller_;
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
  Bytes body(bigEndian(header));
  if (!readExactly(body.data(), body.size())) return std::nullopt;
  return body;
}

bool RawPeer::waitForClose() {
  uint8_t byte;
  for (;;) {
    const ssize_t got = ::recv(socket_.native_handle(), &byte, 1, 0);
    if (got <= 0) return got == 0 || errno != EAGAIN;
  }
}

void RawPeer::resetAbruptly() {
  socket_.set_option(asio::socket_base::linger(true, 0));
  socket_.close();
}

Relay::Relay(uint16_t targetPort, std::optional<size_t> duplicateClientFrame) {
  acceptor_ = std::thread([this, targetPort, duplicateClientFrame] {
    client_.emplace(listener_.accept());
    host_.emplace(context_);
    host_->connect(loopback(targetPort));
    host_->set_option(tcp::no_delay(true));
    client_->set_option(tcp::no_delay(true));
    upstream_ =
        std::thread([=, this] { pump(*client_, *host_, clientFrames_, duplicateClientFrame); });
    downstream_ = std::thread([this] { pump(*host_, *client_, hostFrames_, std::nullopt); });
  });
}

Relay::~Relay() {
  acceptor_.join();
  std::error_code ignored;
  if (client_) client_->shutdown(tcp::socket::shutdown_both, ignored);
  if (host_) host_->shutdown(tcp::socket::shutdown_both, ignored);
  if (upstream_.joinable()) upstream_.join();
  if (downstream_.joinable()) downstream_.join();
}

void Relay::pump(tcp::socket& from, tcp::socket& to, std::vector<size_t>& sizes,
                 std::optional<size_t> duplicate) {
  // Forwards frame by frame so that frames can be counted and one repeated.
  std::error_code error;
  for (size_t index = 0; !error; ++index) {
    Bytes frame(4);
    asio::read(from, asio::buffer(frame), error);
    if (error) break;
    frame.resize(4 + bigEndian(frame.data()));
    asio::read(from, asio::buffer(frame.data() + 4, frame.size() - 4), error);
    if (error) break;
    {
      std::lock_guard lock(mutex_);
      sizes.push_back(frame.size());
    }
    asio::write(to, asio::buffer(frame), error);
    if (!error && duplicate == index) asio::write(to, asio::buffer(frame), error);
  }
  to.shutdown(tcp::socket::shutdown_send, error);
}

std::vector<size_t> Relay::clientFrames() {
  std::lock_guard lock(mutex_);
  return clientFrames_;
}

std::vector<size_t> Relay::hostFrames() {
  std::lock_guard lock(mutex_);
  return hostFrames_;
}

}  // namespace veltra::test
