#include "hostile_stallers.h"

#include <array>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <functional>
#include <optional>
#include <random>
#include <vector>

namespace veltra::hostile {

using asio::ip::tcp;

// One connection: dials, opens, then reads until the host closes it and calls `closed`.
class Stallers::One : public std::enable_shared_from_this<One> {
 public:
  One(asio::io_context& io, Opening opening, std::function<void()> closed)
      : socket_(io), retry_(io), opening_(opening), closed_(std::move(closed)) {}

  void start(const tcp::endpoint& host, const std::optional<asio::ip::address>& source) {
    asio::error_code error;
    socket_.open(host.protocol(), error);
    if (!error && source) socket_.bind(tcp::endpoint(*source, 0), error);
    if (error) return later();
    socket_.async_connect(host, [self = shared_from_this()](asio::error_code connectError) {
      // A refused dial is retried a little later rather than in a tight loop.
      if (connectError) return self->later();
      std::mt19937 random(std::random_device{}());
      auto bytes = std::make_shared<std::vector<uint8_t>>(openingBytes(self->opening_, random));
      if (!bytes->empty()) {
        asio::async_write(self->socket_, asio::buffer(*bytes),
                          [bytes](asio::error_code, size_t) {});
      }
      self->read();
    });
  }

 private:
  void read() {
    socket_.async_read_some(asio::buffer(buffer_),
                            [self = shared_from_this()](asio::error_code error, size_t) {
                              if (!error) return self->read();
                              self->closed_();
                            });
  }

  void later() {
    retry_.expires_after(std::chrono::milliseconds(10));
    retry_.async_wait([self = shared_from_this()](asio::error_code) { self->closed_(); });
  }

  tcp::socket socket_;
  asio::steady_timer retry_;
  Opening opening_;
  std::function<void()> closed_;
  std::array<uint8_t, 256> buffer_{};
};

Stallers::Stallers(tcp::endpoint host, StallerOptions options) : host_(host), options_(options) {
  for (int i = 0; i < options_.count; ++i) {
    asio::post(io_, [this, i] { dial(i); });
  }
  thread_ = std::thread([this] { io_.run(); });
}

Stallers::~Stallers() {
  io_.stop();
  thread_.join();
}

void Stallers::dial(int index) {
  std::optional<asio::ip::address> source;
  if (options_.sources > 0) {
    source = asio::ip::make_address_v4(asio::ip::address_v4::uint_type(0x7f000002) +
                                       static_cast<uint32_t>(index % options_.sources));
  }
  auto one = std::make_shared<One>(io_, options_.opening, [this, index] {
    if (!options_.redial) return;
    ++redials_;
    dial(index);
  });
  one->start(host_, source);
}

}  // namespace veltra::hostile
