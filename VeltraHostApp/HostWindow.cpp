#include "HostWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMenuBar>
#include <QScreen>

#include "HostTheme.h"
#include "qt/PaletteColors.h"

namespace veltra {
namespace {

// Edit commands go to whichever widget has the keyboard focus, as that widget's own standard
// key: fields, selectable labels and the like all know Ctrl+C, Ctrl+V and Ctrl+A.
void sendToFocus(Qt::Key key) {
  QWidget* focus = QApplication::focusWidget();
  if (!focus) return;
  QKeyEvent press(QEvent::KeyPress, key, Qt::ControlModifier);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::ControlModifier);
  QApplication::sendEvent(focus, &press);
  QApplication::sendEvent(focus, &release);
}

}  // namespace

HostWindow::HostWindow(RemoteHost& host, HostView::Options options) {
  setWindowTitle("Veltra Host");
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, toQColor(VeltraPalette::background));
  setPalette(palette);
  setAutoFillBackground(true);
  setMinimumSize(820, 640);
  resize(1040, 740);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame(QPoint(), size());
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  view_ = new HostView(host, std::move(options));
  setCentralWidget(view_);
  // The window opens with the keyboard focus on the content, not on the first sidebar row,
  // which would show a focus ring nobody asked for; Tab still walks every control.
  view_->setFocusPolicy(Qt::StrongFocus);
  view_->setFocus(Qt::OtherFocusReason);
  buildMenus();
}

void HostWindow::buildMenus() {
  // The application's own menu, titled with its name: a desktop menu bar shows no untitled menu.
  QMenu* application = menuBar()->addMenu("Veltra Host");
  QAction* quit = application->addAction("Quit Veltra Host");
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  connect(quit, &QAction::triggered, this, &HostWindow::close);

  QMenu* edit = menuBar()->addMenu("Edit");
  const std::pair<const char*, Qt::Key> commands[] = {
      {"Copy", Qt::Key_C}, {"Paste", Qt::Key_V}, {"Select All", Qt::Key_A}};
  for (const auto& [title, key] : commands) {
    QAction* action = edit->addAction(title);
    action->setShortcut(QKeySequence(Qt::CTRL | key));
    connect(action, &QAction::triggered, this, [key] { sendToFocus(key); });
  }
}

void HostWindow::closeEvent(QCloseEvent* event) {
  // Hidden, not destroyed: the window lives until the process ends.
  event->accept();
  emit closeRequested();
}

void HostWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) view_->refreshPermissions();
}

}  // namespace veltra
