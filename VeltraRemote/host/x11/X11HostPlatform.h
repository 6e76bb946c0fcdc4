#pragma once

#include <memory>
#include <string>

#include "host/HostPlatform.h"

namespace veltra {

class MainQueue;

// The host's parts on X11: private Xvfb displays (with the chosen desktop session and a sound
// server started inside each), XCB capture, XTEST injection, their clipboards and a logind
// inhibitor. Destroy it on the main thread: it waits for display servers still starting or
// ending.
std::unique_ptr<HostPlatform> makeX11HostPlatform(MainQueue& main);

}  // namespace veltra
