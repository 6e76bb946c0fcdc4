#include "view/RemoteDesktopView.h"

#include <QVBoxLayout>

#include "client/RemoteClient.h"
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
  observers_->add(client_.changes(), [this] { sync(); });
  sync();
}

RemoteDesktopView::~RemoteDesktopView() {
  // Unhooked first, so that turning input off does not call back into a view half gone.
  observers_.reset();
  client_.setInputEnabled(false);
  client_.onFrame = nullptr;
  // Before link_, which the frame view uses up to its last breath.
  delete frameView_;
}

void RemoteDesktopView::sync() {
  if (!client_.connected()) frameView_->clearFrames();
  // The host draws its pointer into the picture: while the user's input goes there, our own
  // pointer over it would be a second one, ahead of the first by the whole pipeline.
  if (client_.inputEnabled()) {
    frameView_->setCursor(Qt::BlankCursor);
  } else {
    frameView_->unsetCursor();
  }
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
