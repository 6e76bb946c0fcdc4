#include "support/NetworkContext.h"

#include <openssl/crypto.h>

#include <asio/executor_work_guard.hpp>
#include <csignal>
#include <thread>

#include "support/ThreadName.h"

namespace veltra {

struct NetworkContext::Runner {
  explicit Runner(asio::io_context& context)
      : work(asio::make_work_guard(context)), thread([&context] {
          setCurrentThreadName("veltra.wire");
          context.run();
          // Release OpenSSL's per-thread state (error queue, random generator) now: the exit
          // handler that would otherwise do it may already have run.
          OPENSSL_thread_stop();
        }) {}
  asio::executor_work_guard<asio::io_context::executor_type> work;
  std::thread thread;
};

NetworkContext::NetworkContext() {
  // A peer that resets its end must not kill us with SIGPIPE. Asio already sends with
  // MSG_NOSIGNAL; ignoring the signal covers every other path.
  std::signal(SIGPIPE, SIG_IGN);
  // OpenSSL cleans up in an exit handler. Registering that handler now, before this object's
  // destructor is registered, makes it run after the destructor has stopped the network thread,
  // which may be sealing. (A flag is needed: with none, the call returns before doing anything.)
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr);
  runner_ = new Runner(context_);
}

NetworkContext::~NetworkContext() {
  runner_->work.reset();
  context_.stop();
  if (runner_->thread.joinable()) runner_->thread.join();
  delete runner_;
}

NetworkContext& NetworkContext::shared() {
  static NetworkContext instance;
  return instance;
}

bool NetworkContext::isNetworkThread() const {
  return std::this_thread::get_id() == runner_->thread.get_id();
}

}  // namespace veltra
