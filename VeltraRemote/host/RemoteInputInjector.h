#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>

#include "host/InputEventSink.h"
#include "protocol/RemoteInput.h"

namespace veltra {

// Turns the client's input into synthetic key, button, pointer and wheel events on the current
// session's display, and remembers which keys and buttons it holds down on the client's behalf
// so that releaseAll() can let go of all of them (on a release-input request, at the end of a
// session, when hosting stops). Input that cannot be injected is dropped without a word.
//
// The client's key codes are macOS virtual key codes and its modifier word is CoreGraphics
// event flags. X events cannot carry a flags word, so before each key and button event the held
// modifier keys are brought in line with it: that way a modifier whose release was lost (the
// client window lost focus between press and release) does not stick, and command-click works.
// Held keys repeat as the client's keyboard repeats them: its key-down for a key already held
// goes out as a release and a press, and the display repeats nothing of its own, so a key-up
// delayed on the way adds no repeat the user never typed.
//
// THREADING: main thread only; there is no lock. LIFETIME: one per host, for the host's whole
// life; sessions come and go around it.
class RemoteInputInjector final {
 public:
  // Injects through `sink`: the platform's (HostPlatform::makeInjector), or a test's.
  explicit RemoteInputInjector(std::unique_ptr<InputEventSink> sink);
  // Posts nothing: what is still held stays held unless releaseAll() ran first.
  ~RemoteInputInjector();

  RemoteInputInjector(const RemoteInputInjector&) = delete;
  RemoteInputInjector& operator=(const RemoteInputInjector&) = delete;

  // The display that input is aimed at; 0 means none. The host sets it for every session.
  uint32_t displayID() const { return displayID_; }
  void setDisplayID(uint32_t displayID) { displayID_ = displayID; }

  // Injects `input`, or drops it: when it is not valid, the display cannot take synthetic
  // input, no display is set, the display has no area, or its key has no counterpart here.
  // A dropped input posts nothing and changes nothing.
  void apply(const RemoteInput& input);
  // Releases every held key, then every held button, and forgets them all. Consults neither
  // the input nor the display: with nothing reachable the releases go nowhere, but the sets
  // are emptied all the same.
  void releaseAll();

  // Held macOS key codes, including modifiers entered through flags changes.
  const std::set<uint16_t>& keys() const { return keys_; }
  // Held buttons, in RemoteInput numbering (0 primary, 1 secondary, 2 middle).
  const std::set<int>& buttons() const { return buttons_; }
  // The last pointer position posted, in display pixels.
  PixelPoint position() const { return position_; }

 private:
  // Each returns whether it posted anything.
  bool applyKey(const RemoteInput& input);
  void applyPointer(const RemoteInput& input, const DisplayBounds& bounds);
  bool applyScroll(const RemoteInput& input);
  // `postedKey` is the key about to be posted; its own modifier group is left to the event.
  void alignModifiers(uint64_t flags, std::optional<uint16_t> postedKey);
  // Presses or releases a mac key known to have a platform code.
  void postKey(uint16_t macKey, bool press);

  std::unique_ptr<InputEventSink> sink_;
  uint32_t displayID_ = 0;
  std::set<uint16_t> keys_;
  std::set<int> buttons_;
  PixelPoint position_;
  // Scroll pixels not yet worth a wheel click, per axis, with their sign.
  double scrollRemainderX_ = 0;
  double scrollRemainderY_ = 0;
};

}  // namespace veltra
