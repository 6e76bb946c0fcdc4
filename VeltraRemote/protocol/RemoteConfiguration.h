#pragma once

#include "support/Bytes.h"

namespace veltra {

// The display a client asks for and the host confirms; travels as compact JSON
// {"width":..,"height":..,"fps":..}.
struct RemoteConfiguration {
  int width = 0;
  int height = 0;
  int fps = 0;

  // True only for 1920×1080 or 2560×1440 at 60 or 120 fps: the modes the virtual display offers.
  bool isValid() const;

  Bytes encodeJson() const;
  // Throws JsonError for anything but an object with integer "width", "height" and "fps" that fit
  // an int. Does not check isValid(): the host answers an invalid mode differently.
  static RemoteConfiguration decodeJson(ByteView json);

  friend bool operator==(const RemoteConfiguration&, const RemoteConfiguration&) = default;
};

}  // namespace veltra
