#pragma once

#include <QMainWindow>

#include "HostView.h"

namespace veltra {

class RemoteHost;

// The application's only window: "Veltra Host", 1040 × 740, centred, at least 820 × 640, dark,
// with the HostView as its content and the menu bar ("Quit Veltra Host"; Edit: Copy, Paste,
// Select All on the focused widget). Closing it reports closeRequested() and closes nothing
// itself: the application stops the host first and then ends.
//
// THREADING: GUI thread only.
class HostWindow final : public QMainWindow {
  Q_OBJECT
 public:
  // `host` must outlive the window.
  explicit HostWindow(RemoteHost& host, HostView::Options options = {});

  HostView& view() { return *view_; }

 signals:
  // The window's close button or "Quit Veltra Host".
  void closeRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void buildMenus();

  HostView* view_;
};

}  // namespace veltra
