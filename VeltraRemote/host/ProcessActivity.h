#pragma once

#include <memory>
#include <string>

namespace veltra {

// Keeps the machine from idling or sleeping while a session streams; ending it is releasing the
// object. Best effort: where the system offers no way, beginning one yields nothing and says
// nothing.
class ProcessActivity {
 public:
  virtual ~ProcessActivity() = default;
};

}  // namespace veltra
