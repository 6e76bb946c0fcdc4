#pragma once

#include <asio/io_context.hpp>
#include <asio/strand.hpp>

namespace veltra {

// The process-wide network context: one background thread ("veltra.wire") runs every socket,
// resolver and timer of every connection and listener. Each connection and listener works on
// its own strand over it, so their steps never interleave.
class NetworkContext {
 public:
  using Strand = asio::strand<asio::io_context::executor_type>;

  static NetworkContext& shared();

  asio::io_context& context() { return context_; }
  Strand makeStrand() { return asio::make_strand(context_); }
  bool isNetworkThread() const;

  ~NetworkContext();

 private:
  NetworkContext();
  struct Runner;
  asio::io_context context_;
  Runner* runner_;
};

}  // namespace veltra
