#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <optional>

#include "protocol/CursorImage.h"
#include "view/RemoteInputMapper.h"
#include "view/RemoteViewport.h"

class QWindow;

namespace veltra {

class RemoteFrame;
class RemoteViewClient;

// The picture of a client session, and the widget that captures input for it.
//
// Drawing: with OpenGL (the planes go up as textures, a shader converts them) where the renderer
// is a GPU's, or on the CPU into the window's raster backing store (libyuv converts and scales)
// where OpenGL itself would run on the CPU: Mesa's software rasteriser takes more than a core for
// a 1080p stream and blocks the GUI thread, and with it input and heartbeats, while it draws. A
// child surface widget draws; this widget keeps the pictures, the pointer and the input.
//
// Pictures: the session hands each decoded picture to setIncomingFrame(); a newer one replaces an
// undrawn one, so pictures that come faster than redraws are skipped, never queued. The widget
// redraws when a picture arrives and when Qt asks (expose, resize), at most 120 times a second and
// never on a timer of its own: a still remote screen costs nothing here. Each redraw that drew a
// new picture is counted with the client's recordPresentation() once it has been swapped to the
// screen, and only while the client is connected; redraws of the last picture are not counted.
//
// Pointer: the desktop's arrow, none, or the host's image, as setPointer() says. The host's image
// is drawn at the scale the picture is shown at, again whenever the picture or the widget resizes.
//
// Input: a left click into the picture starts capture (the client decides whether it may) and
// takes keyboard focus; while capturing, every key goes to the remote computer, the application's
// shortcuts and Tab included, except the release chord and the overlay chord (the same modifiers
// with O), which only emits overlayToggleRequested(). Capture ends through the client's
// setInputEnabled(false) when the chord is pressed, when the widget loses keyboard focus, when
// its window or any window of the application is deactivated, when the application stops being
// the active one, and when the widget leaves its window or is hidden.
//
// THREADING: GUI thread only. `client` must outlive the widget.
class RemoteFrameView : public QWidget {
  Q_OBJECT

 public:
  static constexpr const char* kAccessibleName =
      "Remote desktop. Click to control. Control Alt Super Escape releases input.";

  enum class Drawing { opengl, raster };
  // OpenGL unless its renderer here runs on the CPU (or there is none). Asked once per process,
  // of a small offscreen context.
  static Drawing preferredDrawing();

  explicit RemoteFrameView(RemoteViewClient& client, QWidget* parent = nullptr,
                           Drawing drawing = preferredDrawing());
  ~RemoteFrameView() override;

  Drawing drawing() const { return drawing_; }
  // What the picture area shows now, in device pixels.
  QImage grabPicture();

  // The newest picture of the session, to be drawn at the next redraw.
  void setIncomingFrame(std::shared_ptr<const RemoteFrame> frame);
  // Forgets both the undrawn and the last drawn picture: the widget turns black.
  void clearFrames();
  bool hasPicture() const { return incomingFrame_ || lastFrame_; }
  // Where the picture lies in the widget, in logical pixels; empty without a picture.
  RemoteViewport viewport() const;

  enum class Pointer {
    local,   // the desktop's own arrow
    hidden,  // none: the host draws its pointer into the picture
    remote,  // the host's image (setRemotePointerImage); the arrow until one has come
  };
  void setPointer(Pointer pointer);
  // The host's newest pointer image, or nothing to forget it.
  void setRemotePointerImage(std::optional<CursorImage> image);

 signals:
  // The overlay chord was pressed while capturing; the window decides what it shows.
  void overlayToggleRequested();
  // A redraw reached the screen.
  void redrawn();

 protected:
  void resizeEvent(QResizeEvent* event) override;

  bool event(QEvent* event) override;
  bool focusNextPrevChild(bool next) override;
  void focusOutEvent(QFocusEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  class OpenGLSurface;
  class RasterSurface;
  friend class OpenGLSurface;
  friend class RasterSurface;

  // For the surface's redraw: the picture to draw, the incoming one if any (it becomes the last
  // drawn), else the last drawn one.
  std::shared_ptr<const RemoteFrame> takePicture();
  void requestRedraw();
  const RemoteFrame* currentPicture() const;
  void showPointer();
  // A redraw reached the screen: counted if it drew a new picture.
  void pictureSwapped();
  void releaseCapture();
  void focusWindowChanged(QWindow* window);

  RemoteViewClient& client_;
  RemoteInputMapper mapper_;
  const Drawing drawing_;
  QWidget* surface_ = nullptr;  // a child, filling this widget
  std::shared_ptr<const RemoteFrame> incomingFrame_;
  std::shared_ptr<const RemoteFrame> lastFrame_;
  // The last redraw drew a new picture that has not been swapped to the screen yet.
  bool newPictureDrawn_ = false;
  QElapsedTimer sinceRedraw_;
  QTimer redrawLimiter_;
  Pointer pointer_ = Pointer::local;
  std::optional<CursorImage> remotePointer_;
  // The application's focus window before the current one: the window that just resigned.
  QPointer<QWindow> focusWindow_;
};

}  // namespace veltra
