#include "view/RemoteFrameView.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QStyleHints>
#include <QWheelEvent>
#include <QWindow>

#include "codec/RemoteFrame.h"
#include "view/RemotePointerCursor.h"
#include "view/RemoteViewClient.h"

namespace veltra {
namespace {

// 120 redraws a second at most, however fast pictures come.
constexpr qint64 kRedrawIntervalMs = 1000 / 120;

}  // namespace

RemoteFrameView::RemoteFrameView(RemoteViewClient& client, QWidget* parent)
    : QOpenGLWidget(parent),
      client_(client),
      mapper_(client, QGuiApplication::styleHints()->mouseDoubleClickInterval(),
              QGuiApplication::styleHints()->mouseDoubleClickDistance()) {
  setAccessibleName(kAccessibleName);
  // Focus comes only from a click that starts capture, never from Tab or a stray click.
  setFocusPolicy(Qt::NoFocus);
  setMouseTracking(true);
  setAttribute(Qt::WA_InputMethodEnabled, false);
  redrawLimiter_.setSingleShot(true);
  connect(&redrawLimiter_, &QTimer::timeout, this, [this] { update(); });
  connect(this, &QOpenGLWidget::frameSwapped, this, &RemoteFrameView::pictureSwapped);
  connect(qGuiApp, &QGuiApplication::applicationStateChanged, this,
          [this](Qt::ApplicationState state) {
            if (state != Qt::ApplicationActive) releaseCapture();
          });
  connect(qGuiApp, &QGuiApplication::focusWindowChanged, this,
          &RemoteFrameView::focusWindowChanged);
  focusWindow_ = QGuiApplication::focusWindow();
}

RemoteFrameView::~RemoteFrameView() {
  client_.setInputEnabled(false);
  // QOpenGLWidget's own destructor ends the context after this one has run: its end must not
  // call back into the half-destroyed view.
  if (context()) disconnect(context(), nullptr, this, nullptr);
  releaseGL();
}

void RemoteFrameView::setIncomingFrame(std::shared_ptr<const RemoteFrame> frame) {
  const RemoteFrame* before = currentPicture();
  const bool resized =
      !before || !frame || before->width() != frame->width() || before->height() != frame->height();
  incomingFrame_ = std::move(frame);
  // The host's pointer is scaled as the picture is.
  if (resized && pointer_ == Pointer::remote) showPointer();
  requestRedraw();
}

void RemoteFrameView::clearFrames() {
  if (!hasPicture()) return;
  incomingFrame_.reset();
  lastFrame_.reset();
  newPictureDrawn_ = false;
  update();
}

const RemoteFrame* RemoteFrameView::currentPicture() const {
  return incomingFrame_ ? incomingFrame_.get() : lastFrame_.get();
}

RemoteViewport RemoteFrameView::viewport() const {
  const RemoteFrame* shown = currentPicture();
  if (!shown) return {};
  return RemoteViewport::fitted(QSizeF(shown->width(), shown->height()), QSizeF(size()));
}

void RemoteFrameView::setPointer(Pointer pointer) {
  if (pointer == pointer_) return;
  pointer_ = pointer;
  showPointer();
}

void RemoteFrameView::setRemotePointerImage(std::optional<CursorImage> image) {
  if (!image && !remotePointer_) return;
  remotePointer_ = std::move(image);
  if (pointer_ == Pointer::remote) showPointer();
}

void RemoteFrameView::showPointer() {
  const RemoteFrame* shown = currentPicture();
  switch (pointer_) {
    case Pointer::hidden:
      setCursor(Qt::BlankCursor);
      return;
    case Pointer::remote:
      if (remotePointer_ && remotePointer_->isValid() && shown && shown->width() > 0) {
        setCursor(remotePointerCursor(*remotePointer_, viewport().rect.width() / shown->width(),
                                      devicePixelRatioF()));
        return;
      }
      break;
    case Pointer::local:
      break;
  }
  unsetCursor();
}

void RemoteFrameView::requestRedraw() {
  if (redrawLimiter_.isActive()) return;
  const qint64 elapsed = sinceRedraw_.isValid() ? sinceRedraw_.elapsed() : kRedrawIntervalMs;
  if (elapsed >= kRedrawIntervalMs) {
    update();
  } else {
    redrawLimiter_.start(static_cast<int>(kRedrawIntervalMs - elapsed));
  }
}

void RemoteFrameView::initializeGL() {
  // A context can be replaced (the widget moved to another window): its objects go with it.
  connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, &RemoteFrameView::releaseGL,
          Qt::UniqueConnection);
  renderer_.initialize();
}

void RemoteFrameView::releaseGL() {
  if (!context()) return;
  makeCurrent();
  renderer_.release();
  doneCurrent();
}

void RemoteFrameView::paintGL() {
  sinceRedraw_.start();
  const bool fresh = incomingFrame_ != nullptr;
  const std::shared_ptr<const RemoteFrame> picture = fresh ? incomingFrame_ : lastFrame_;
  const qreal ratio = devicePixelRatioF();
  renderer_.draw(picture.get(), QSize(qRound(width() * ratio), qRound(height() * ratio)));
  if (fresh) {
    newPictureDrawn_ = true;
    incomingFrame_.reset();
  }
  lastFrame_ = picture;
}

void RemoteFrameView::resizeEvent(QResizeEvent* event) {
  QOpenGLWidget::resizeEvent(event);
  if (pointer_ == Pointer::remote) showPointer();
}

void RemoteFrameView::pictureSwapped() {
  if (!newPictureDrawn_) return;
  newPictureDrawn_ = false;
  if (client_.connected()) client_.recordPresentation();
}

void RemoteFrameView::releaseCapture() {
  mapper_.forgetHeldKeys();
  client_.setInputEnabled(false);
}

void RemoteFrameView::focusWindowChanged(QWindow* window) {
  // Only a window of ours that loses focus ends capture; coming back from another application
  // (no focus window before) must not undo the click that brought us back.
  if (focusWindow_ && focusWindow_ != window) releaseCapture();
  focusWindow_ = window;
}

bool RemoteFrameView::event(QEvent* event) {
  switch (event->type()) {
    case QEvent::ShortcutOverride:
      // While capturing, keys belong to the remote computer: no shortcut of ours may take them.
      if (client_.inputEnabled()) {
        event->accept();
        return true;
      }
      break;
    case QEvent::WindowDeactivate:
    case QEvent::ParentChange:
      releaseCapture();
      break;
    default:
      break;
  }
  return QOpenGLWidget::event(event);
}

bool RemoteFrameView::focusNextPrevChild(bool next) {
  // Tab and Backtab are the remote computer's keys while capturing.
  if (client_.inputEnabled()) return false;
  return QOpenGLWidget::focusNextPrevChild(next);
}

void RemoteFrameView::focusOutEvent(QFocusEvent* event) {
  releaseCapture();
  QOpenGLWidget::focusOutEvent(event);
}

void RemoteFrameView::hideEvent(QHideEvent* event) {
  releaseCapture();
  QOpenGLWidget::hideEvent(event);
}

void RemoteFrameView::keyPressEvent(QKeyEvent* event) {
  switch (mapper_.keyPress(*event)) {
    case RemoteInputMapper::Outcome::captureReleased:
      clearFocus();
      break;
    case RemoteInputMapper::Outcome::overlayToggled:
      emit overlayToggleRequested();
      break;
    default:
      break;
  }
  event->accept();
}

void RemoteFrameView::keyReleaseEvent(QKeyEvent* event) {
  mapper_.keyRelease(*event);
  event->accept();
}

void RemoteFrameView::mousePressEvent(QMouseEvent* event) {
  if (mapper_.mousePress(*event, viewport()) == RemoteInputMapper::Outcome::captureRequested &&
      client_.inputEnabled()) {
    setFocus(Qt::MouseFocusReason);
  }
  event->accept();
}

void RemoteFrameView::mouseReleaseEvent(QMouseEvent* event) {
  mapper_.mouseRelease(*event, viewport());
  event->accept();
}

void RemoteFrameView::mouseDoubleClickEvent(QMouseEvent* event) {
  // The press before it was already sent, with its count from the click counter.
  event->accept();
}

void RemoteFrameView::mouseMoveEvent(QMouseEvent* event) {
  mapper_.mouseMove(*event, viewport());
  event->accept();
}

void RemoteFrameView::wheelEvent(QWheelEvent* event) {
  mapper_.wheel(*event, viewport());
  event->accept();
}

}  // namespace veltra
