#include "protocol/RemoteConnection.h"

#include <array>
#include <asio/bind_executor.hpp>
#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <deque>
#include <future>
#include <optional>

#include "protocol/SecureChannel.h"
#include "support/NetworkContext.h"

namespace veltra {

using asio::ip::tcp;

// How long an ended connection may spend writing what was queued before its end, and then
// waiting for the peer to close, before the socket is closed regardless.
constexpr std::chrono::seconds kLinger{1};

// Everything that lives on the wire strand. Handlers hold it strongly; finish() cancels the timer
// and resolver and lets the socket linger (see finish()), and close() ends that, so every pending
// handler completes and lets go.
class RemoteConnection::Core : public std::enable_shared_from_this<Core>,
                               private SecureChannel::Sink {
 public:
  Core(Role role, const SecretKey& secret, Options options)
      : strand_(NetworkContext::shared().makeStrand()),
        socket_(strand_),
        resolver_(strand_),
        deadline_(strand_),
        linger_(strand_),
        channel_(role, secret),
        options_(options) {}

  void setPeer(std::string address, uint16_t port) {
    address_ = std::move(address);
    port_ = port;
  }
  void adopt(tcp::socket socket) {
    // Re-home the accepted descriptor onto our strand's executor.
    std::error_code error;
    const auto protocol = socket.local_endpoint(error).protocol();
    if (!error) socket_.assign(protocol, socket.release(error), error);
    adoptError_ = error;
  }

  void start(std::function<void()> readyCallback,
             std::function<void(RemotePacket, Bytes)> packetCallback,
             std::function<void(std::string)> endCallback) {
    asio::post(strand_,
               [self = shared_from_this(), ready = std::move(readyCallback),
                packet = std::move(packetCallback), end = std::move(endCallback)]() mutable {
                 if (self->started_ || self->ended_) return;
                 self->started_ = true;
                 self->onReady_ = std::move(ready);
                 self->onPacket_ = std::move(packet);
                 self->onEnd_ = std::move(end);
                 self->armDeadline();
                 if (self->channel_.role() == Role::client) {
                   self->resolve();
                 } else if (self->adoptError_) {
                   self->finish(self->adoptError_.message());
                 } else {
                   self->transportReady();
                 }
               });
  }

  void send(RemotePacket type, Bytes payload, std::function<void()> completion) {
    asio::post(strand_, [self = shared_from_this(), type, payload = std::move(payload),
                         completion = std::move(completion)]() mutable {
      if (self->ended_ || !self->channel_.established()) {
        if (completion) completion();
        return;
      }
      Bytes frame;
      try {
        frame = self->channel_.seal(type, payload);
      } catch (const std::exception& error) {
        if (completion) completion();
        self->finish(error.what());
        return;
      }
      self->enqueueWrite(std::move(frame), std::move(completion));
    });
  }

  // From the owner's destructor: no callback runs once this returns, not even one whose handler
  // was already queued on the strand. Off the network thread it waits for a callback that is
  // running right now; on it (the owner is being destroyed from some callback) nothing else of
  // this strand can be running.
  void silence() {
    silenced_ = true;
    if (NetworkContext::shared().isNetworkThread()) return;
    auto passed = std::make_shared<std::promise<void>>();
    std::future<void> barrier = passed->get_future();
    asio::post(strand_, [passed] { passed->set_value(); });
    // Bounded: a network thread that has already stopped (process exit) never runs it.
    barrier.wait_for(std::chrono::seconds(2));
  }

  void cancel(bool silently) {
    asio::post(strand_, [self = shared_from_this(), silently] {
      if (silently) self->clearCallbacks();
      self->finish(kDisconnected);
    });
  }

 private:
  struct PendingWrite {
    Bytes frame;
    std::function<void()> completion;
  };

  void armDeadline() {
    deadline_.expires_after(options_.handshakeDeadline);
    deadline_.async_wait([self = shared_from_this()](const std::error_code& error) {
      if (error || self->ended_ || self->channel_.established()) return;
      self->finish(kTimedOut);
    });
  }

  void resolve() {
    resolver_.async_resolve(address_, std::to_string(port_), tcp::resolver::numeric_service,
                            [self = shared_from_this()](const std::error_code& error,
                                                        tcp::resolver::results_type results) {
                              if (self->ended_) return;
                              if (error) return self->finish(error.message());
                              self->endpoints_.assign(results.begin(), results.end());
                              self->connectNext(0, std::error_code());
                            });
  }

  // Tries the resolved addresses in order; the last error is the one reported.
  void connectNext(size_t index, std::error_code lastError) {
    if (index >= endpoints_.size()) {
      return finish(lastError ? lastError.message() : std::string("No address for host."));
    }
    const tcp::endpoint endpoint = endpoints_[index].endpoint();
    std::error_code error;
    socket_.close(error);
    socket_.open(endpoint.protocol(), error);
    if (!error) socket_.set_option(tcp::socket::reuse_address(true), error);
    if (!error) socket_.set_option(tcp::no_delay(true), error);
    if (error) return connectNext(index + 1, error);
    socket_.async_connect(endpoint, [self = shared_from_this(), index](const std::error_code& e) {
      if (self->ended_) return;
      if (e) return self->connectNext(index + 1, e);
      self->transportReady();
    });
  }

  void transportReady() {
    transportReady_ = true;
    std::error_code ignored;
    socket_.set_option(tcp::no_delay(true), ignored);
    readBuffer_ = std::make_unique<std::array<uint8_t, kReadSize>>();
    try {
      channel_.transportReady(*this);
    } catch (const std::exception& error) {
      return finish(error.what());
    }
    receive();
  }

  // A clean end of stream from the other side. Only the client's user reads it as the host's
  // doing; on the host it is simply its client leaving.
  const char* peerEnded() const {
    return channel_.role() == Role::client ? kClosedByPeer : kDisconnected;
  }

  void receive() {
    reading_ = true;
    socket_.async_read_some(asio::buffer(*readBuffer_),
                            [self = shared_from_this()](const std::error_code& error, size_t size) {
                              self->reading_ = false;
                              if (self->ended_) return self->discarded(error);
                              if (size > 0) {
                                try {
                                  self->channel_.receive(ByteView(self->readBuffer_->data(), size),
                                                         *self);
                                } catch (const std::exception& failure) {
                                  return self->finish(failure.what());
                                }
                                if (self->ended_) return;  // a callback cancelled us
                              }
                              if (error == asio::error::eof) {
                                self->peerClosed_ = true;
                                return self->finish(self->peerEnded());
                              }
                              if (error) {
                                self->broken_ = true;
                                return self->finish(error.message());
                              }
                              self->receive();
                            });
  }

  void enqueueWrite(Bytes frame, std::function<void()> completion) {
    writes_.push_back({std::move(frame), std::move(completion)});
    if (!writing_) writeNext();
  }

  // Exactly one write in flight, so frames reach the kernel in call order. Once ended, what was
  // queued before the end still goes out, and then our sending side is shut.
  void writeNext() {
    if (closed_) return;
    if (writes_.empty()) {
      if (ended_) shutDownSending();
      return;
    }
    writing_ = true;
    asio::async_write(socket_, asio::buffer(writes_.front().frame),
                      [self = shared_from_this()](const std::error_code& error, size_t) {
                        PendingWrite done = std::move(self->writes_.front());
                        self->writes_.pop_front();
                        self->writing_ = false;
                        done.frame = Bytes();
                        if (done.completion) done.completion();
                        if (error) {
                          self->broken_ = true;
                          if (!self->ended_) return self->finish(error.message());
                          return self->close();
                        }
                        self->writeNext();
                      });
  }

  // SecureChannel::Sink: handshake writes have no completion.
  void write(Bytes frame) override { enqueueWrite(std::move(frame), nullptr); }
  void ready() override {
    deadline_.cancel();
    if (onReady_ && !silenced_) onReady_();
  }
  void packet(RemotePacket type, Bytes payload) override {
    if (onPacket_ && !silenced_) onPacket_(type, std::move(payload));
  }

  void clearCallbacks() {
    onReady_ = nullptr;
    onPacket_ = nullptr;
    onEnd_ = nullptr;
  }

  // Ends the connection for the owner at once: onEnd, then every callback and completion is let
  // go. The socket lingers on the strand, holding nothing of the owner's: closing it now, with the
  // peer's pings still unread, would make the kernel answer with a reset that may throw away what
  // we queued last (a frame's tail, the host's failure text). So the queued writes go out, our
  // sending side is shut, and what the peer still sends is read and dropped until it closes too,
  // each step bounded by kLinger.
  void finish(const std::string& reason) {
    if (ended_) return;
    ended_ = true;
    deadline_.cancel();
    resolver_.cancel();
    if (auto end = std::move(onEnd_); end && !silenced_) end(reason);
    clearCallbacks();
    for (PendingWrite& write : writes_) {
      if (auto completion = std::exchange(write.completion, nullptr)) completion();
    }
    // Nothing was exchanged yet, or the transport failed: there is nothing to deliver.
    if (!transportReady_ || broken_) return close();
    armLinger();
    if (!reading_ && !peerClosed_) receive();
    if (!writing_) writeNext();
  }

  void armLinger() {
    linger_.expires_after(kLinger);
    linger_.async_wait([self = shared_from_this()](const std::error_code& error) {
      if (!error) self->close();
    });
  }

  void shutDownSending() {
    std::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    if (peerClosed_) return close();
    armLinger();
  }

  // A read after the end: its bytes are dropped; the peer's close or a failure ends the linger
  // unless our own queued writes are still going out.
  void discarded(const std::error_code& error) {
    if (closed_) return;
    if (!error) return receive();
    peerClosed_ = true;
    if (error != asio::error::eof) broken_ = true;
    if (broken_ || !writing_) close();
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    std::error_code ignored;
    linger_.cancel();
    socket_.close(ignored);
    writes_.erase(writes_.begin() + (writing_ ? 1 : 0), writes_.end());
  }

  static constexpr size_t kReadSize = 65'536;

  NetworkContext::Strand strand_;
  tcp::socket socket_;
  tcp::resolver resolver_;
  asio::steady_timer deadline_;
  asio::steady_timer linger_;
  SecureChannel channel_;
  Options options_;
  std::string address_;
  uint16_t port_ = 0;
  std::error_code adoptError_;
  std::vector<tcp::resolver::results_type::value_type> endpoints_;
  std::unique_ptr<std::array<uint8_t, kReadSize>> readBuffer_;
  std::deque<PendingWrite> writes_;
  bool writing_ = false;
  bool reading_ = false;
  bool started_ = false;
  bool ended_ = false;
  bool transportReady_ = false;  // connected, or accepted and adopted
  bool peerClosed_ = false;      // its end of stream (or a failure) has been read
  bool broken_ = false;          // a read or write failed: nothing more can be delivered
  bool closed_ = false;
  std::function<void()> onReady_;
  std::function<void(RemotePacket, Bytes)> onPacket_;
  std::function<void(std::string)> onEnd_;
  std::atomic<bool> silenced_ = false;  // written by the owner's thread, read on the strand
};

RemoteConnection::RemoteConnection(std::shared_ptr<Core> core, Role role)
    : core_(std::move(core)), role_(role) {}

std::unique_ptr<RemoteConnection> RemoteConnection::client(std::string address, uint16_t port,
                                                           const SecretKey& secret,
                                                           Options options) {
  auto core = std::make_shared<Core>(Role::client, secret, options);
  core->setPeer(std::move(address), port);
  return std::unique_ptr<RemoteConnection>(new RemoteConnection(std::move(core), Role::client));
}

std::unique_ptr<RemoteConnection> RemoteConnection::accepted(tcp::socket socket,
                                                             const SecretKey& secret,
                                                             Options options) {
  auto core = std::make_shared<Core>(Role::host, secret, options);
  core->adopt(std::move(socket));
  return std::unique_ptr<RemoteConnection>(new RemoteConnection(std::move(core), Role::host));
}

RemoteConnection::~RemoteConnection() {
  core_->silence();
  core_->cancel(/*silently=*/true);
}

void RemoteConnection::start() {
  core_->start(std::move(onReady), std::move(onPacket), std::move(onEnd));
}

void RemoteConnection::send(RemotePacket type, Bytes payload, std::function<void()> completion) {
  core_->send(type, std::move(payload), std::move(completion));
}

void RemoteConnection::cancel() {
  core_->cancel(/*silently=*/false);
}

}  // namespace veltra
