#include "host/HandshakeGate.h"

#include <algorithm>

namespace veltra {

HandshakeGate::Source HandshakeGate::sourceOf(const asio::ip::address& address,
                                              const asio::ip::address& local) {
  // The listener is dual-stack: an IPv4 peer arrives as ::ffff:a.b.c.d, a plain IPv4 listener
  // gives a.b.c.d. Both become the mapped form, so one address is one source.
  if (address.is_v4()) {
    return asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4()).to_bytes();
  }
  const asio::ip::address_v6 peer = address.to_v6();
  Source bytes = peer.to_bytes();
  if (peer.is_v4_mapped()) return bytes;
  // A /64 is one site out on the internet, but on the host's own link it is the whole LAN:
  // there (link-local, or the /64 of the address the peer reached) each address is a source,
  // or one stranger would lock out every IPv6 device beside it.
  if (peer.is_link_local()) return bytes;
  if (local.is_v6() &&
      std::equal(bytes.begin(), bytes.begin() + 8, local.to_v6().to_bytes().begin())) {
    return bytes;
  }
  std::fill(bytes.begin() + 8, bytes.end(), uint8_t{0});
  return bytes;
}

HandshakeGate::Decision HandshakeGate::arrive(const asio::ip::address& address,
                                              Generation handshake, Clock::time_point now,
                                              const asio::ip::address& local) {
  const Source source = sourceOf(address, local);
  if (auto found = penalties_.find(source); found != penalties_.end()) {
    if (now < found->second.until) return {};
    if (forgotten(found->second, now)) penalties_.erase(found);
  }
  const auto fromSource = std::count_if(pending_.begin(), pending_.end(),
                                        [&](const Pending& each) { return each.source == source; });
  if (static_cast<size_t>(fromSource) >= limits_.perSource) return {};

  Decision decision{.admitted = true};
  if (pending_.size() >= limits_.pending) {
    const Pending oldest = pending_.front();
    if (now - oldest.since <= limits_.evictAfter) return {};
    pending_.erase(pending_.begin());
    penalize(oldest.source, now);
    decision.evicted = oldest.handshake;
  }
  pending_.push_back({handshake, source, now});
  return decision;
}

void HandshakeGate::ended(Generation handshake, Outcome outcome, Clock::time_point now) {
  auto found = std::find_if(pending_.begin(), pending_.end(),
                            [&](const Pending& each) { return each.handshake == handshake; });
  if (found == pending_.end()) return;
  const Source source = found->source;
  // Leaving before the deadline does not excuse holding a slot: an honest client that fails
  // (wrong key) fails within milliseconds, one that hangs up just short of eviction stalled.
  if (outcome == Outcome::failed && now - found->since > limits_.evictAfter) {
    outcome = Outcome::stalled;
  }
  pending_.erase(found);
  switch (outcome) {
    case Outcome::authenticated:
      penalties_.erase(source);
      break;
    case Outcome::failed:
      break;
    case Outcome::stalled:
      penalize(source, now);
      break;
  }
}

bool HandshakeGate::penalized(const asio::ip::address& address, Clock::time_point now,
                              const asio::ip::address& local) const {
  auto found = penalties_.find(sourceOf(address, local));
  return found != penalties_.end() && now < found->second.until;
}

void HandshakeGate::penalize(const Source& source, Clock::time_point now) {
  auto found = penalties_.find(source);
  if (found != penalties_.end() && !forgotten(found->second, now)) {
    Penalty& penalty = found->second;
    penalty.length = std::min<Clock::duration>(penalty.length * 2, limits_.maxPenalty);
    penalty.until = now + penalty.length;
    return;
  }
  if (found == penalties_.end()) makeRoom(now);
  penalties_[source] = {limits_.firstPenalty, now + limits_.firstPenalty};
}

// Drops what has been forgotten anyway and, if the table is still full, the penalty that ends
// soonest: under a flood of sources the newest stallers matter more than the oldest.
void HandshakeGate::makeRoom(Clock::time_point now) {
  if (penalties_.size() < limits_.remembered) return;
  std::erase_if(penalties_, [&](const auto& each) { return forgotten(each.second, now); });
  if (penalties_.size() < limits_.remembered || penalties_.empty()) return;
  penalties_.erase(std::min_element(
      penalties_.begin(), penalties_.end(),
      [](const auto& a, const auto& b) { return a.second.until < b.second.until; }));
}

}  // namespace veltra
