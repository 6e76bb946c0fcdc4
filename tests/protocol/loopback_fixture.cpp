#include "loopback_fixture.h"

#include <poll.h>
#include <sys/socket.h>

#include "protocol/PacketFramer.h"

namespace veltra::test {

using asio::ip::tcp;
using namespace std::chrono_literals;

void Events::attach(RemoteConnection& connection) {
  auto note = [this] {
    if (std::this_thread::get_id() == caller_) offCaller_ = false;
  };
  connection.onReady = [this, note] {
    std::lock_guard lock(mutex_);
    note();
    ++ready_;
    changed_.notify_all();
  };
  connection.onPacket = [this, note](RemotePacket type, Bytes payload) {
    std::lock_guard lock(mutex_);
    note();
    packets_.emplace_back(type, std::move(payload));
    changed_.notify_all();
  };
  connection.onEnd = [this, note](std::string reason) {
    std::lock_guard lock(mutex_);
    note();
    ends_.push_back(std::move(reason));
    changed_.notify_all();
  };
}

bool Events::waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  // Conditions may read state that changes without a notification here (counters bumped by
  // send completions), so wake up now and then to look again.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 5ms);
  }
  return true;
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

Listener::Listener() : acceptor_(context_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
  port_ = acceptor_.local_endpoint().port();
}

tcp::socket Listener::accept() {
  return acceptor_.accept();
}

RawPeer::RawPeer(tcp::socket socket) : socket_(std::move(socket)) {
  socket_.set_option(tcp::no_delay(true));
}

RawPeer RawPeer::connect(uint16_t port) {
  static asio::io_context context;
  tcp::socket socket(context);
  socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  return RawPeer(std::move(socket));
}

void RawPeer::write(ByteView bytes) {
  asio::write(socket_, asio::buffer(bytes.data(), bytes.size()));
}

void RawPeer::writeFrame(ByteView body) {
  write(PacketFramer::frame(body));
}

bool RawPeer::readExactly(uint8_t* data, size_t size, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  size_t done = 0;
  while (done < size) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{socket_.native_handle(), POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) return false;
    std::error_code error;
    const size_t got = socket_.read_some(asio::buffer(data + done, size - done), error);
    if (error) return false;
    done += got;
  }
  return true;
}

std::optional<Bytes> RawPeer::readFrame(std::chrono::milliseconds timeout) {
  uint8_t header[4];
  if (!readExactly(header, 4, timeout)) return std::nullopt;
  const uint32_t size =
      uint32_t{header[0]} << 24 | uint32_t{header[1]} << 16 | uint32_t{header[2]} << 8 | header[3];
  Bytes body(size);
  if (!readExactly(body.data(), size, timeout)) return std::nullopt;
  return body;
}

bool RawPeer::waitForClose(std::chrono::milliseconds timeout) {
  uint8_t byte;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fd{socket_.native_handle(), POLLIN, 0};
    if (::poll(&fd, 1, 20) <= 0) continue;
    std::error_code error;
    socket_.read_some(asio::buffer(&byte, 1), error);
    if (error) return true;
  }
  return false;
}

void RawPeer::resetAbruptly() {
  socket_.set_option(asio::socket_base::linger(true, 0));
  socket_.close();
}

Relay::Relay(uint16_t targetPort, std::optional<size_t> duplicateClientFrame)
    : targetPort_(targetPort), duplicate_(duplicateClientFrame) {
  acceptor_ = std::thread([this] {
    client_.emplace(listener_.accept());
    host_.emplace(context_);
    host_->connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), targetPort_));
    host_->set_option(tcp::no_delay(true));
    client_->set_option(tcp::no_delay(true));
    upstream_ = std::thread([this] { pump(*client_, *host_, clientFrames_, duplicate_); });
    downstream_ = std::thread([this] { pump(*host_, *client_, hostFrames_, std::nullopt); });
  });
}

Relay::~Relay() {
  stopping_ = true;
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
  size_t index = 0;
  for (;;) {
    uint8_t header[4];
    std::error_code error;
    asio::read(from, asio::buffer(header), error);
    if (error) break;
    const uint32_t size = uint32_t{header[0]} << 24 | uint32_t{header[1]} << 16 |
                          uint32_t{header[2]} << 8 | header[3];
    Bytes frame(4 + size);
    std::copy(header, header + 4, frame.begin());
    asio::read(from, asio::buffer(frame.data() + 4, size), error);
    if (error) break;
    {
      std::lock_guard lock(mutex_);
      sizes.push_back(frame.size());
    }
    asio::write(to, asio::buffer(frame), error);
    if (!error && duplicate && *duplicate == index) asio::write(to, asio::buffer(frame), error);
    if (error) break;
    ++index;
  }
  std::error_code ignored;
  to.shutdown(tcp::socket::shutdown_send, ignored);
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
