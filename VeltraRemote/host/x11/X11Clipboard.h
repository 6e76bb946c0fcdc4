#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "host/HostClipboard.h"
#include "support/SerialQueue.h"

namespace veltra {

struct X11ClipboardOptions {
  // How long the other side of a transfer may keep us waiting at any step (an owner converting,
  // a requestor taking the next piece) before the transfer is dropped.
  std::chrono::milliseconds patience{2000};
  // Test seam: the most text one property carries; longer text goes in INCR pieces of this size.
  // 0 is what the server takes in one request (all of kMaximumBytes with BIG-REQUESTS).
  size_t largestProperty = 0;
};

// CLIPBOARD and PRIMARY of an X display, through an XCB connection of its own and a window that
// nobody sees. XFIXES reports every new owner of CLIPBOARD; the text of an owner other than us is
// converted into a property of a window made for that copy (UTF8_STRING, else STRING from
// Latin-1, else TEXT), read whole or in INCR pieces, and reported; a copy over kMaximumBytes is
// reported as too large as soon as its size shows, without reading the rest. A newer copy, our
// own setText() or an owner silent for `patience` drops the copy in progress (destroying its
// window, so a late owner writes nowhere). setText() makes the window the owner of both
// selections; it answers TARGETS, TIMESTAMP, UTF8_STRING, TEXT, text/plain;charset=utf-8 and
// STRING (Latin-1, offered only when the text fits in it), in one property or with INCR, and
// drops the text once another program owns both. Nothing another client sends is trusted: sizes
// are bounded before reading, and transfers that stall are dropped.
//
// THREADING: start(), setText() and the destructor on the owner's thread (main); they post onto
// the clipboard's queue (thread "veltra.clipboard"), which runs everything else and calls onCopy.
// The destructor stops everything there and joins the thread. XCB stays behind a pointer so that
// X11 headers stay out of this one.
class X11Clipboard final : public HostClipboard {
 public:
  explicit X11Clipboard(X11ClipboardOptions options = {});
  ~X11Clipboard() override;

  X11Clipboard(const X11Clipboard&) = delete;
  X11Clipboard& operator=(const X11Clipboard&) = delete;

  void start(uint32_t displayID) override;
  void setText(std::string text) override;

 private:
  struct Session;

  // Clipboard queue only.
  void open(uint32_t displayID);
  void watch();
  void armTimer();
  // Handles what XCB has read (replies waited for queue events in XCB, not on the socket), then
  // flushes; a connection that broke ends the session.
  void pump();

  const X11ClipboardOptions options_;
  // Clipboard queue only; null before start() and after a failure.
  std::unique_ptr<Session> session_;
  // Last member: destroyed first, so the thread is joined while everything it uses still exists.
  SerialQueue queue_;
};

}  // namespace veltra
