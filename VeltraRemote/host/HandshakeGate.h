#pragma once

#include <array>
#include <asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "support/Generation.h"

namespace veltra {

struct HandshakeGateLimits {
  // Handshakes that may run side by side, and how many of them one source may hold.
  size_t pending = 8;
  size_t perSource = 2;
  // A handshake that has waited this long is fair game for a newcomer when every slot is taken;
  // an honest client on a LAN finishes in a few milliseconds.
  std::chrono::milliseconds evictAfter{250};
  // A source whose handshake stalled is refused for this long, doubling with every further stall
  // up to the cap.
  std::chrono::milliseconds firstPenalty{1'000};
  std::chrono::milliseconds maxPenalty{60'000};
  // Sources kept in the penalty table at most, so a flood of addresses cannot grow it.
  size_t remembered = 4096;
};

// Who may run a handshake while no session holds the host. Strangers that connect and stall
// (never finishing, or finishing too slowly) cannot keep an honest client out: several handshakes
// run at once, a newcomer may evict the one that has waited longest, and a source that stalled
// is refused at once for a penalty that grows while it keeps stalling (OpenSSH's per-source
// penalties, in spirit). A source is an IPv4 address (IPv4-mapped IPv6 included) or an IPv6 /64,
// which one host can fill with addresses, except on the host's own /64 (its LAN). Failing a
// handshake outright (wrong proof, garbage) costs nothing: the user who mistyped the key gets in at
// once with the right one.
//
// THREADING: pure; the host calls it on the main queue and passes the time in.
class HandshakeGate {
 public:
  using Clock = std::chrono::steady_clock;
  using Limits = HandshakeGateLimits;

  enum class Outcome {
    authenticated,  // forgives its source
    failed,         // ended by a protocol error, a wrong proof or the peer: no penalty, unless
                    // it held its slot past evictAfter first
    stalled,        // ran out of time: its source is penalized
  };

  struct Decision {
    bool admitted = false;
    // The handshake to close to make room, or 0. The gate has forgotten it and penalized its
    // source already; its end is no longer to be reported.
    Generation evicted = 0;
  };

  explicit HandshakeGate(Limits limits = {}) : limits_(limits) {}

  // A newcomer from `address` that reached the host at `local`: admitted as `handshake`, or to
  // be closed at once.
  Decision arrive(const asio::ip::address& address, Generation handshake, Clock::time_point now,
                  const asio::ip::address& local = {});
  // How a handshake admitted by arrive() ended. Unknown ones are ignored.
  void ended(Generation handshake, Outcome outcome, Clock::time_point now);
  // Forgets every pending handshake without judging them (a session began, hosting stopped).
  void clear() { pending_.clear(); }

  size_t pending() const { return pending_.size(); }
  // Whether `address` is refused at `now` for a penalty; for tests and the table's bound.
  bool penalized(const asio::ip::address& address, Clock::time_point now,
                 const asio::ip::address& local = {}) const;
  size_t rememberedSources() const { return penalties_.size(); }

 private:
  using Source = std::array<uint8_t, 16>;
  struct Pending {
    Generation handshake;
    Source source;
    Clock::time_point since;
  };
  struct Penalty {
    Clock::duration length;
    Clock::time_point until;
  };

  static Source sourceOf(const asio::ip::address& address, const asio::ip::address& local);
  void penalize(const Source& source, Clock::time_point now);
  // A penalty is remembered (so that the next one doubles) for the cap's length after it ends.
  bool forgotten(const Penalty& penalty, Clock::time_point now) const {
    return now >= penalty.until + limits_.maxPenalty;
  }
  void makeRoom(Clock::time_point now);

  const Limits limits_;
  std::vector<Pending> pending_;  // in order of admission: the front has waited longest
  std::map<Source, Penalty> penalties_;
};

}  // namespace veltra
