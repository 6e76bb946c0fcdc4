#include "host/x11/X11HostPlatform.h"

#include <xcb/xtest.h>

#include "codec/VideoEncoder.h"
#include "host/x11/DesktopSession.h"
#include "host/x11/LogindInhibitor.h"
#include "host/x11/PulseAudioRecorder.h"
#include "host/x11/VLVirtualDisplay.h"
#include "host/x11/X11Clipboard.h"
#include "host/x11/X11Connection.h"
#include "host/x11/X11InputSink.h"
#include "host/x11/X11ScreenSource.h"

namespace veltra {
namespace {

bool hasXTest(uint32_t displayID) {
  auto connection = x11::Connection::open(displayID);
  if (!connection) return false;
  const xcb_query_extension_reply_t* extension =
      xcb_get_extension_data(connection->get(), &xcb_test_id);
  return extension && extension->present;
}

class X11HostPlatform final : public HostPlatform {
 public:
  explicit X11HostPlatform(MainQueue& main) : main_(main), launcher_(main) {}

  bool screenPermission() override { return VLVirtualDisplay::serverInstalled(); }

  // Asked of the live display when there is one. Before the first display there is no server to
  // ask; Debian's Xvfb always carries XTEST, so the server being installed stands in for it.
  bool inputPermission() override {
    if (*currentDisplay_ != 0 && x11::registeredCookie(*currentDisplay_)) {
      return hasXTest(*currentDisplay_);
    }
    return VLVirtualDisplay::serverInstalled();
  }

  std::string chooseSession(const std::string& choice) override {
    sessionCommand_ = resolveSessionChoice(choice);
    return sessionCommand_;
  }

  void createDisplay(const RemoteConfiguration& configuration,
                     DisplayCompletion completion) override {
    VirtualDisplayRequest request(configuration.width, configuration.height,
                                  double(configuration.fps), sessionCommand_);
    launcher_.launch(
        std::move(request),
        [current = std::weak_ptr<uint32_t>(currentDisplay_), completion = std::move(completion)](
            std::unique_ptr<VLVirtualDisplay> display, std::string error) {
          if (auto held = current.lock(); held && display) {
            *held = display->displayID();
          }
          completion(std::move(display), std::move(error));
        });
  }

  void releaseDisplay(std::unique_ptr<VirtualDisplay> display) override {
    if (display && display->displayID() == *currentDisplay_) *currentDisplay_ = 0;
    launcher_.release(std::move(display));
  }

  std::unique_ptr<RemoteCapture> makeCapture(const RemoteConfiguration& configuration,
                                             std::shared_ptr<PacketSender> sender) override {
    return std::make_unique<RemoteCapture>(
        configuration, std::make_unique<VideoEncoder>(configuration, std::move(sender)),
        std::make_unique<X11ScreenSource>(), main_);
  }

  std::unique_ptr<RemoteInputInjector> makeInjector() override {
    return std::make_unique<RemoteInputInjector>(std::make_unique<x11::X11InputSink>());
  }

  std::unique_ptr<HostClipboard> makeClipboard() override {
    return std::make_unique<X11Clipboard>();
  }

  // Displays have sound where PulseAudio is installed (VLVirtualDisplay starts one per display).
  std::unique_ptr<HostAudio> makeAudio() override {
    if (findExecutable("pulseaudio").empty()) return nullptr;
    return std::make_unique<PulseAudioRecorder>();
  }

  std::unique_ptr<ProcessActivity> beginActivity(const std::string& reason) override {
    return LogindInhibitor::begin(reason);
  }

 private:
  MainQueue& main_;
  std::string sessionCommand_;
  // The newest live display (0 for none); main thread. Shared with launch completions, which
  // may run after the platform is gone.
  const std::shared_ptr<uint32_t> currentDisplay_ = std::make_shared<uint32_t>(0);
  VirtualDisplayLauncher launcher_;
};

}  // namespace

std::unique_ptr<HostPlatform> makeX11HostPlatform(MainQueue& main) {
  return std::make_unique<X11HostPlatform>(main);
}

}  // namespace veltra
