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

// Everything that lives on the wire strand. Handlers hold it strongly; finish() closes the
// socket and cancels the timer and resolver, so every pending handler completes and lets go.
class RemoteConnection::Core : public std::enable_shared_from_this<Core>,
                               private SecureChannel::Sink {
 public:
  Core(Role role, const SecretKey& secret, Options options)
      : strand_(NetworkContext::shared().makeStrand()),
        socket_(strand_),
        resolver_(strand_),
        deadline_(strand_),
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
    socket_.async_read_some(asio::buffer(*readBuffer_),
                            [self = shared_from_this()](const std::error_code& error, size_t size) {
                              if (self->ended_) return;
                              if (size > 0) {
                                try {
                                  self->channel_.receive(ByteView(self->readBuffer_->data(), size),
                                                         *self);
                                } catch (const std::exception& failure) {
                                  return self->finish(failure.what());
                                }
                                if (self->ended_) return;  // a callback cancelled us
                              }
                              if (error == asio::error::eof) return self->finish(self->peerEnded());
                              if (error) return self->finish(error.message());
                              self->receive();
                            });
  }

  void enqueueWrite(Bytes frame, std::function<void()> completion) {
    writes_.push_back({std::move(frame), std::move(completion)});
    if (!writing_) writeNext();
  }

  // Exactly one write in flight, so frames reach the kernel in call order.
  void writeNext() {
    if (writes_.empty() || ended_) return;
    writing_ = true;
    asio::async_write(socket_, asio::buffer(writes_.front().frame),
                      [self = shared_from_this()](const std::error_code& error, size_t) {
                        PendingWrite done = std::move(self->writes_.front());
                        self->writes_.pop_front();
                        self->writing_ = false;
                        done.frame = Bytes();
                        if (done.completion) done.completion();
                        if (error) {
                          if (!self->ended_) self->finish(error.message());
                          return;
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

  void finish(const std::string& reason) {
    if (ended_) return;
    ended_ = true;
    std::error_code ignored;
    deadline_.cancel();
    resolver_.cancel();
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    if (auto end = std::move(onEnd_); end && !silenced_) end(reason);
    clearCallbacks();
    // Writes not yet handed to the kernel are dropped; their completions still run, once. The
    // one in flight completes through its handler with operation_aborted.
    std::deque<PendingWrite> dropped;
    if (writing_ && !writes_.empty()) {
      dropped.assign(std::make_move_iterator(writes_.begin() + 1),
                     std::make_move_iterator(writes_.end()));
      writes_.erase(writes_.begin() + 1, writes_.end());
    } else {
      dropped.swap(writes_);
    }
    for (auto& write : dropped) {
      if (write.completion) write.completion();
    }
  }

  static constexpr size_t kReadSize = 65'536;

  NetworkContext::Strand strand_;
  tcp::socket socket_;
  tcp::resolver resolver_;
  asio::steady_timer deadline_;
  SecureChannel channel_;
  Options options_;
  std::string address_;
  uint16_t port_ = 0;
  std::error_code adoptError_;
  std::vector<tcp::resolver::results_type::value_type> endpoints_;
  std::unique_ptr<std::array<uint8_t, kReadSize>> readBuffer_;
  std::deque<PendingWrite> writes_;
  bool writing_ = false;
  bool started_ = false;
  bool ended_ = false;
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
