#include "host/RemoteListener.h"

#include <asio/dispatch.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <chrono>
#include <optional>

#include "support/NetworkContext.h"

namespace veltra {

struct RemoteListener::Core : std::enable_shared_from_this<Core> {
  Core(uint16_t listenPort, std::string listenAddress)
      : port(listenPort),
        address(std::move(listenAddress)),
        strand(NetworkContext::shared().makeStrand()),
        acceptor(strand),
        retry(strand) {}

  static constexpr std::chrono::milliseconds kShortageRetry{100};

  uint16_t port;
  std::string address;  // "" for every interface
  NetworkContext::Strand strand;
  asio::ip::tcp::acceptor acceptor;
  asio::steady_timer retry;  // the next accept after a shortage
  bool cancelled = false;    // strand only
  std::function<void()> onReady;
  std::function<void(std::string)> onFailed;
  std::function<void(asio::ip::tcp::socket)> onConnection;

  // Binds `ip` when an address was given, else [::]:port accepting IPv4 too, or 0.0.0.0:port
  // where the system has no IPv6.
  asio::error_code open(const std::optional<asio::ip::address>& ip) {
    asio::error_code error;
    if (ip) {
      const asio::ip::tcp::endpoint endpoint(*ip, port);
      acceptor.open(endpoint.protocol(), error);
      if (error) return error;
      return bind(endpoint);
    }
    acceptor.open(asio::ip::tcp::v6(), error);
    if (!error) {
      acceptor.set_option(asio::ip::v6_only(false), error);
      if (!error) return bind(asio::ip::tcp::endpoint(asio::ip::tcp::v6(), port));
      asio::error_code ignored;
      acceptor.close(ignored);
    }
    acceptor.open(asio::ip::tcp::v4(), error);
    if (error) return error;
    return bind(asio::ip::tcp::endpoint(asio::ip::tcp::v4(), port));
  }

  asio::error_code bind(const asio::ip::tcp::endpoint& endpoint) {
    asio::error_code error;
    acceptor.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) acceptor.bind(endpoint, error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    return error;
  }

  void start() {
    if (cancelled) return;
    std::optional<asio::ip::address> ip;
    if (!address.empty()) {
      asio::error_code error;
      ip = asio::ip::make_address(address, error);
      // The system's own text here would be a bare "Invalid argument".
      if (error) return fail("\"" + address + "\" is not an IP address");
    }
    if (asio::error_code error = open(ip)) return fail(error.message());
    if (onReady) onReady();
    accept();
  }

  void accept() {
    acceptor.async_accept(
        NetworkContext::shared().context(),
        [self = shared_from_this()](asio::error_code error, asio::ip::tcp::socket socket) {
          if (self->cancelled) return;
          if (error) {
            // A client that gave up between SYN and accept is its own problem, not the
            // listener's.
            if (error == asio::error::connection_aborted || error == asio::error::interrupted) {
              return self->accept();
            }
            // Out of descriptors or memory for a moment (a burst of connections, a busy
            // machine): hosting must not end over it. The waiting connection stays in the
            // backlog, so an immediate retry would only spin.
            if (isShortage(error)) return self->acceptLater();
            return self->fail(error);
          }
          asio::error_code ignored;
          socket.set_option(asio::ip::tcp::no_delay(true), ignored);
          if (self->onConnection) self->onConnection(std::move(socket));
          self->accept();
        });
  }

  static bool isShortage(const asio::error_code& error) {
    return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
           error == asio::error::no_memory ||
           error == asio::error_code(ENFILE, asio::error::get_system_category());
  }

  void acceptLater() {
    retry.expires_after(kShortageRetry);
    retry.async_wait([self = shared_from_this()](asio::error_code error) {
      if (!error && !self->cancelled) self->accept();
    });
  }

  void fail(const asio::error_code& error) { fail(error.message()); }

  void fail(const std::string& text) {
    close();
    auto failed = std::move(onFailed);
    clearCallbacks();
    if (failed) failed(text);
  }

  void close() {
    cancelled = true;
    asio::error_code ignored;
    acceptor.close(ignored);
    retry.cancel();
  }

  void clearCallbacks() {
    onReady = nullptr;
    onFailed = nullptr;
    onConnection = nullptr;
  }
};

RemoteListener::RemoteListener(uint16_t port, std::string address)
    : core_(std::make_shared<Core>(port, std::move(address))) {}

RemoteListener::~RemoteListener() {
  cancel();
}

void RemoteListener::start() {
  core_->onReady = std::move(onReady);
  core_->onFailed = std::move(onFailed);
  core_->onConnection = std::move(onConnection);
  asio::post(core_->strand, [core = core_] { core->start(); });
}

void RemoteListener::cancel() {
  asio::dispatch(core_->strand, [core = core_] {
    core->close();
    core->clearCallbacks();
  });
}

}  // namespace veltra
