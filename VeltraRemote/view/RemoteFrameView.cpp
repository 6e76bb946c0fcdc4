#include "view/RemoteFrameView.h"

#include <libyuv/convert_argb.h>
#include <libyuv/scale_argb.h>

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QOpenGLWidget>
#include <QPainter>
#include <QStyleHints>
#include <QWheelEvent>
#include <QWindow>

#include "codec/RemoteFrame.h"
#include "view/RemotePointerCursor.h"
#include "view/RemoteVideoRenderer.h"
#include "view/RemoteViewClient.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace veltra {
namespace {

// 120 redraws a second at most, however fast pictures come.
constexpr qint64 kRedrawIntervalMs = 1000 / 120;

const libyuv::YuvConstants* yuvConstants(const RemoteFrame& frame) {
  const bool full = frame.isFullRange();
  switch (frame.colorSpace()) {
    case AVCOL_SPC_BT709:
      return full ? &libyuv::kYuvF709Constants : &libyuv::kYuvH709Constants;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return full ? &libyuv::kYuvV2020Constants : &libyuv::kYuv2020Constants;
    default:  // BT.601, what the host's capture converts with, also when nothing is signalled
      return full ? &libyuv::kYuvJPEGConstants : &libyuv::kYuvI601Constants;
  }
}

// `frame` as RGB32 in `into`, scaled to `size` (bilinear) when that is not the picture's own.
void convertPicture(const RemoteFrame& frame, QSize size, QImage& picture, QImage& into) {
  const QSize own(frame.width(), frame.height());
  QImage& converted = size == own ? into : picture;
  if (converted.size() != own) converted = QImage(own, QImage::Format_RGB32);
  auto* out = converted.bits();
  const int outStride = static_cast<int>(converted.bytesPerLine());
  if (frame.pixelFormat() == AV_PIX_FMT_NV12) {
    libyuv::NV12ToARGBMatrix(frame.plane(0), frame.stride(0), frame.plane(1), frame.stride(1), out,
                             outStride, yuvConstants(frame), own.width(), own.height());
  } else {
    libyuv::I420ToARGBMatrix(frame.plane(0), frame.stride(0), frame.plane(1), frame.stride(1),
                             frame.plane(2), frame.stride(2), out, outStride, yuvConstants(frame),
                             own.width(), own.height());
  }
  if (size == own) return;
  if (into.size() != size) into = QImage(size, QImage::Format_RGB32);
  libyuv::ARGBScale(converted.constBits(), static_cast<int>(converted.bytesPerLine()), own.width(),
                    own.height(), into.bits(), static_cast<int>(into.bytesPerLine()), size.width(),
                    size.height(), libyuv::kFilterBilinear);
}

}  // namespace

// Draws with OpenGL; the window composes its backing store with OpenGL too.
class RemoteFrameView::OpenGLSurface final : public QOpenGLWidget {
 public:
  explicit OpenGLSurface(RemoteFrameView& view) : QOpenGLWidget(&view), view_(view) {
    connect(this, &QOpenGLWidget::frameSwapped, &view, &RemoteFrameView::pictureSwapped);
  }
  ~OpenGLSurface() override {
    // QOpenGLWidget's own destructor ends the context after this one has run: its end must not
    // call back into the half-destroyed surface.
    if (context()) disconnect(context(), nullptr, this, nullptr);
    release();
  }

 protected:
  void initializeGL() override {
    // A context can be replaced (the widget moved to another window): its objects go with it.
    connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, &OpenGLSurface::release,
            Qt::UniqueConnection);
    renderer_.initialize();
  }
  void paintGL() override {
    const std::shared_ptr<const RemoteFrame> picture = view_.takePicture();
    const qreal ratio = devicePixelRatioF();
    renderer_.draw(picture.get(), QSize(qRound(width() * ratio), qRound(height() * ratio)));
  }

 private:
  void release() {
    if (!context()) return;
    makeCurrent();
    renderer_.release();
    doneCurrent();
  }

  RemoteFrameView& view_;
  RemoteVideoRenderer renderer_;
};

// Draws on the CPU: libyuv converts (and scales) the picture straight into an image that the
// raster backing store copies as it is.
class RemoteFrameView::RasterSurface final : public QWidget {
 public:
  explicit RasterSurface(RemoteFrameView& view) : QWidget(&view), view_(view) {
    setAttribute(Qt::WA_OpaquePaintEvent);  // every pixel is painted: nothing to clear first
  }

  // What the screen shows: the last picture drawn, without taking the one still to come.
  QImage grabShown() {
    grabbing_ = true;
    QImage image = grab().toImage();
    grabbing_ = false;
    return image;
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const std::shared_ptr<const RemoteFrame> picture =
        grabbing_ ? view_.lastFrame_ : view_.takePicture();
    const QRect target = picture ? view_.viewport().rect.toAlignedRect() : QRect();
    const QRegion bars = QRegion(rect()) - target;
    for (const QRect& bar : bars) painter.fillRect(bar, Qt::black);
    if (picture && !target.isEmpty()) {
      const qreal ratio = devicePixelRatioF();
      convertPicture(*picture, target.size() * ratio, converted_, shown_);
      shown_.setDevicePixelRatio(ratio);
      painter.drawImage(target.topLeft(), shown_);
    }
    painter.end();
    // The backing store goes to the screen right after this paint, in the same repaint.
    if (!grabbing_) view_.pictureSwapped();
  }

 private:
  RemoteFrameView& view_;
  bool grabbing_ = false;
  QImage converted_;  // at the picture's own size, when it is shown scaled
  QImage shown_;      // at the size it is shown
};

RemoteFrameView::Drawing RemoteFrameView::preferredDrawing() {
  static const Drawing preferred = [] {
    QOffscreenSurface surface;
    surface.create();
    QOpenGLContext context;
    if (!context.create() || !context.makeCurrent(&surface)) return Drawing::raster;
    const auto* renderer =
        reinterpret_cast<const char*>(context.functions()->glGetString(GL_RENDERER));
    const QString name = QString::fromLatin1(renderer ? renderer : "").toLower();
    context.doneCurrent();
    for (const char* software : {"llvmpipe", "softpipe", "software", "swrast"})
      if (name.contains(QLatin1String(software))) return Drawing::raster;
    return Drawing::opengl;
  }();
  return preferred;
}

RemoteFrameView::RemoteFrameView(RemoteViewClient& client, QWidget* parent, Drawing drawing)
    : QWidget(parent),
      client_(client),
      mapper_(client, QGuiApplication::styleHints()->mouseDoubleClickInterval(),
              QGuiApplication::styleHints()->mouseDoubleClickDistance()),
      drawing_(drawing) {
  if (drawing == Drawing::opengl)
    surface_ = new OpenGLSurface(*this);
  else
    surface_ = new RasterSurface(*this);
  // Events reach this widget, through the surface: input and the pointer are handled here.
  surface_->setAttribute(Qt::WA_TransparentForMouseEvents);
  surface_->setFocusPolicy(Qt::NoFocus);
  setAccessibleName(kAccessibleName);
  // Focus comes only from a click that starts capture, never from Tab or a stray click.
  setFocusPolicy(Qt::NoFocus);
  setMouseTracking(true);
  setAttribute(Qt::WA_InputMethodEnabled, false);
  redrawLimiter_.setSingleShot(true);
  connect(&redrawLimiter_, &QTimer::timeout, surface_, [this] { surface_->update(); });
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
  // Before this widget's members go: the surface reaches back into them while it ends.
  delete surface_;
}

QImage RemoteFrameView::grabPicture() {
  if (drawing_ == Drawing::opengl) return static_cast<OpenGLSurface*>(surface_)->grabFramebuffer();
  return static_cast<RasterSurface*>(surface_)->grabShown();
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
  surface_->update();
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
    surface_->update();
  } else {
    redrawLimiter_.start(static_cast<int>(kRedrawIntervalMs - elapsed));
  }
}

std::shared_ptr<const RemoteFrame> RemoteFrameView::takePicture() {
  sinceRedraw_.start();
  if (incomingFrame_) {
    newPictureDrawn_ = true;
    lastFrame_ = std::move(incomingFrame_);
  }
  return lastFrame_;
}

void RemoteFrameView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  surface_->setGeometry(rect());
  if (pointer_ == Pointer::remote) showPointer();
}

void RemoteFrameView::pictureSwapped() {
  emit redrawn();
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
  return QWidget::event(event);
}

bool RemoteFrameView::focusNextPrevChild(bool next) {
  // Tab and Backtab are the remote computer's keys while capturing.
  if (client_.inputEnabled()) return false;
  return QWidget::focusNextPrevChild(next);
}

void RemoteFrameView::focusOutEvent(QFocusEvent* event) {
  releaseCapture();
  QWidget::focusOutEvent(event);
}

void RemoteFrameView::hideEvent(QHideEvent* event) {
  releaseCapture();
  QWidget::hideEvent(event);
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
