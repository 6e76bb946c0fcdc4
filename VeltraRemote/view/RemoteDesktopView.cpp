#include "view/RemoteDesktopView.h"

#include <QVBoxLayout>

#include "client/RemoteClient.h"
#include "view/RemoteClipboardBridge.h"
#include "view/RemoteFrameView.h"
#include "view/RemoteViewClient.h"

namespace veltra {

class RemoteDesktopView::ClientLink final : public RemoteViewClient {
 public:
  explicit ClientLink(RemoteClient& client) : client_(client) {}

  bool connected() const override { return client_.connected(); }
  bool inputEnabled() const override { return client_.inputEnabled(); }
  void setInputEnabled(bool enabled) override { client_.setInputEnabled(enabled); }
  void send(const RemoteInput& input) override { client_.send(input); }
  void recordPresentation() override { client_.recordPresentation(); }

 private:
  RemoteClient& client_;
};

RemoteDesktopView::RemoteDesktopView(RemoteClient& client, QWidget* parent)
    : QWidget(parent),
      client_(client),
      link_(std::make_unique<ClientLink>(client)),
      observers_(std::make_unique<RemoteObserverBag>()) {
  frameView_ = new RemoteFrameView(*link_, this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(frameView_);

  client_.onFrame = [this](const std::shared_ptr<const RemoteFrame>& frame) {
    frameView_->setIncomingFrame(frame);
  };
  if (client_.latestFrame()) frameView_->setIncomingFrame(client_.latestFrame());
  client_.onCursor = [this](const CursorImage& image) { frameView_->setRemotePointerImage(image); };
  clipboard_ = std::make_unique<RemoteClipboardBridge>(client_);
  observers_->add(client_.changes(), [this] { sync(); });
  sync();
}

RemoteDesktopView::~RemoteDesktopView() {
  // Unhooked first, so that turning input off does not call back into a view half gone.
  observers_.reset();
  client_.setInputEnabled(false);
  client_.onFrame = nullptr;
  client_.onCursor = nullptr;
  clipboard_.reset();
  // Before link_, which the frame view uses up to its last breath.
  delete frameView_;
}

void RemoteDesktopView::sync() {
  if (!client_.connected()) frameView_->clearFrames();
  clipboard_->sync();
  // Each attempt's host sends its pointer afresh after confirming the extension.
  const bool hostCursor = client_.extensions().has(SessionExtension::cursor);
  if (!hostCursor) frameView_->setRemotePointerImage(std::nullopt);
  // While the user's input goes to the host, the pointer over the picture is the host's: the image
  // it sends, or, where it draws its pointer into the picture, none of ours, which would be a
  // second one ahead of the first by the whole pipeline.
  using Pointer = RemoteFrameView::Pointer;
  frameView_->setPointer(!client_.inputEnabled() ? Pointer::local
                         : hostCursor            ? Pointer::remote
                                                 : Pointer::hidden);
  // Focus means nothing before the view is on screen.
  if (!isVisible()) return;
  if (client_.inputEnabled() && window()->isActiveWindow()) {
    frameView_->setFocus(Qt::OtherFocusReason);
    // At the X level, so that Alt+Tab, Super and the desktop's other shortcuts reach the remote
    // desktop instead of ours; the chord, focus loss and the end of capture let go.
    if (QWidget::keyboardGrabber() != frameView_) frameView_->grabKeyboard();
  } else if (!client_.inputEnabled() && frameView_->hasFocus()) {
    frameView_->clearFocus();
  }
  if (!client_.inputEnabled() && QWidget::keyboardGrabber() == frameView_) {
    frameView_->releaseKeyboard();
  }
}

}  // namespace veltra
