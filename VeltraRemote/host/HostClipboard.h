#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace veltra {

// The clipboard of one virtual display for the clipboard extension: reports what programs in it
// copy, and offers them what the client copied. Only copies made while it runs are reported: the
// text already on the clipboard when the session starts stays where it is. The text is never
// logged.
//
// THREADING: start(), setText() and the destructor on the main thread; onCopy is called on the
// clipboard's own thread, and the owner hops. The destructor stops everything and waits for that.
class HostClipboard {
 public:
  struct Copy {
    std::string text;  // UTF-8; empty when tooLarge
    // More than ClipboardExchange::kMaximumBytes: not read.
    bool tooLarge = false;
  };

  virtual ~HostClipboard() = default;

  // A program in the display put text on CLIPBOARD. Set before start().
  std::function<void(Copy)> onCopy;

  // Starts watching display `displayID`. A display that cannot be reached leaves the session
  // without a clipboard, silently.
  virtual void start(uint32_t displayID) = 0;
  // The client copied `text` (UTF-8): the display's CLIPBOARD and PRIMARY offer it, so that both
  // paste and middle-click paste it, until a program there copies something else. Not reported
  // back through onCopy.
  virtual void setText(std::string text) = 0;
};

}  // namespace veltra
