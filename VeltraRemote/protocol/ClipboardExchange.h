#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "support/Bytes.h"

namespace veltra {

// One peer's side of the clipboard extension: decides which local copies go to the other side and
// which of the other side's copies to take, so that a copy travels once (the text set from the
// peer's copy is not sent back when the local clipboard reports it), a program that rewrites its
// clipboard in a loop costs at most one packet per kInterval (the newest text wins), and nothing
// larger than kMaximumBytes or not UTF-8 crosses. The text itself is never logged.
//
// THREADING: the owner's thread (the main queue on both peers). Pure: the clock is given.
class ClipboardExchange {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kMaximumBytes = size_t{1} << 20;
  static constexpr std::chrono::milliseconds kInterval{250};

  enum class Verdict {
    send,       // send takeOutgoing() now
    later,      // kept; ask due() at nextDue()
    unchanged,  // the text both sides already hold (the peer's own copy coming back, or a repeat)
    tooLarge,   // over kMaximumBytes: not sent, the user is told
    refused,    // empty or not UTF-8
  };

  // The local clipboard now holds `text`.
  Verdict local(std::string text, Clock::time_point now);
  // The newest local copy held back by the rate limit, once its turn has come.
  std::optional<std::string> due(Clock::time_point now);
  // When due() will have something; nothing while no copy waits.
  std::optional<Clock::time_point> nextDue() const;
  // What local() said to send.
  std::string takeOutgoing();

  // The peer's copy: the text to put on the local clipboard, or nothing for a payload that is
  // empty, too large or not UTF-8. A local copy still waiting is dropped: this one is newer here.
  std::optional<std::string> remote(ByteView payload);

 private:
  // What both sides hold as far as this side knows: the last text sent or received.
  std::string shared_;
  std::optional<std::string> pending_;
  std::string outgoing_;
  std::optional<Clock::time_point> lastSent_;
};

}  // namespace veltra
