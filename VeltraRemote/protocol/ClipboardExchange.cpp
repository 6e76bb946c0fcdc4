#include "protocol/ClipboardExchange.h"

#include <utility>

#include "protocol/UnicodeText.h"

namespace veltra {

ClipboardExchange::Verdict ClipboardExchange::local(std::string text, Clock::time_point now) {
  if (text.empty() || !isValidUtf8(text)) return Verdict::refused;
  if (text.size() > kMaximumBytes) return Verdict::tooLarge;
  if (text == shared_) {
    // Back to what both hold: a copy still waiting is no longer news.
    pending_.reset();
    return Verdict::unchanged;
  }
  if (lastSent_ && now - *lastSent_ < kInterval) {
    pending_ = std::move(text);
    return Verdict::later;
  }
  pending_.reset();
  shared_ = text;
  outgoing_ = std::move(text);
  lastSent_ = now;
  return Verdict::send;
}

std::optional<std::string> ClipboardExchange::due(Clock::time_point now) {
  if (!pending_ || (lastSent_ && now - *lastSent_ < kInterval)) return std::nullopt;
  std::string text = std::move(*pending_);
  pending_.reset();
  shared_ = text;
  lastSent_ = now;
  return text;
}

std::optional<ClipboardExchange::Clock::time_point> ClipboardExchange::nextDue() const {
  if (!pending_) return std::nullopt;
  return lastSent_ ? *lastSent_ + kInterval : Clock::time_point{};
}

std::string ClipboardExchange::takeOutgoing() {
  return std::exchange(outgoing_, {});
}

std::optional<std::string> ClipboardExchange::remote(ByteView payload) {
  std::string text(payload.begin(), payload.end());
  if (text.empty() || text.size() > kMaximumBytes || !isValidUtf8(text)) return std::nullopt;
  pending_.reset();
  shared_ = text;
  return text;
}

}  // namespace veltra
