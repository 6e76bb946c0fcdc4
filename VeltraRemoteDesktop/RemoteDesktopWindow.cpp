#include "RemoteDesktopWindow.h"

#include <QAction>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QStatusBar>
#include <QToolButton>
#include <QUrl>
#include <array>

#include "RemoteStatisticsOverlay.h"
#include "client/RemoteClient.h"
#include "protocol/RemoteConnectionProfile.h"
#include "qt/PaletteColors.h"
#include "view/RemoteDesktopView.h"
#include "view/RemoteFrameView.h"

namespace veltra {
namespace {

// The display modes a host offers, in menu order.
constexpr std::array<RemoteConfiguration, 4> kModes{{
    {1920, 1080, 60},
    {1920, 1080, 120},
    {2560, 1440, 60},
    {2560, 1440, 120},
}};

QString modeName(const RemoteConfiguration& mode) {
  return QStringLiteral("%1×%2 · %3 fps").arg(mode.width).arg(mode.height).arg(mode.fps);
}

// A profile is a few hundred bytes; the reader refuses anything over 16 KiB, so one byte more is
// all it needs to see to say so.
constexpr qint64 kProfileReadLimit = 16'385;

void setTextIfChanged(QLineEdit* field, const std::string& value) {
  const QString text = QString::fromStdString(value);
  if (field->text() != text) field->setText(text);
}

}  // namespace

QPalette remoteDesktopPalette() {
  QPalette palette;
  palette.setColor(QPalette::Window, toQColor(VeltraPalette::background));
  palette.setColor(QPalette::WindowText, toQColor(VeltraPalette::text));
  palette.setColor(QPalette::Base, toQColor(VeltraPalette::editor));
  palette.setColor(QPalette::AlternateBase, toQColor(VeltraPalette::surface));
  palette.setColor(QPalette::Text, toQColor(VeltraPalette::text));
  palette.setColor(QPalette::PlaceholderText, toQColor(VeltraPalette::muted));
  palette.setColor(QPalette::Button, toQColor(VeltraPalette::elevated));
  palette.setColor(QPalette::ButtonText, toQColor(VeltraPalette::text));
  palette.setColor(QPalette::ToolTipBase, toQColor(VeltraPalette::elevated));
  palette.setColor(QPalette::ToolTipText, toQColor(VeltraPalette::text));
  palette.setColor(QPalette::Highlight, toQColor(VeltraPalette::accent));
  palette.setColor(QPalette::HighlightedText, toQColor(VeltraPalette::text));
  palette.setColor(QPalette::Link, toQColor(VeltraPalette::accent));
  palette.setColor(QPalette::Mid, toQColor(VeltraPalette::border));
  palette.setColor(QPalette::Dark, toQColor(VeltraPalette::border));
  palette.setColor(QPalette::Light, toQColor(VeltraPalette::elevated));
  palette.setColor(QPalette::Midlight, toQColor(VeltraPalette::elevated));
  palette.setColor(QPalette::Shadow, toQColor(VeltraPalette::editor));
  for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    palette.setColor(QPalette::Disabled, role, toQColor(VeltraPalette::muted));
  }
  return palette;
}

RemoteDesktopWindow::RemoteDesktopWindow(RemoteClient& client, QWidget* parent)
    : QMainWindow(parent), client_(client) {
  setWindowTitle(kTitle);
  setPalette(remoteDesktopPalette());
  setAcceptDrops(true);
  buildConnectionBar();
  buildMenus();

  desktopView_ = new RemoteDesktopView(client_, this);
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(connectionBar_);
  layout->addWidget(desktopView_, 1);
  setCentralWidget(central);

  // Above the picture, outside the view's layout: placed by hand in the picture's corner.
  overlay_ = new RemoteStatisticsOverlay(client_, desktopView_);
  overlay_->raise();
  RemoteFrameView* frameView = desktopView_->frameView();
  frameView->installEventFilter(this);
  connect(frameView, &RemoteFrameView::overlayToggleRequested, statisticsAction_, &QAction::toggle);

  status_ = new QLabel(this);
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  statistics_ = new QLabel(this);
  statistics_->setForegroundRole(QPalette::PlaceholderText);
  statusBar()->addWidget(status_, 1);
  statusBar()->addPermanentWidget(statistics_);

  observers_.add(client_.changes(), [this] { sync(); });
  sync();
  resize(1280, 800);
}

RemoteDesktopWindow::~RemoteDesktopWindow() {
  // The view first: it turns input off and unhooks itself from the client while the window's own
  // observer (which would touch widgets being torn down) is still safe to run. The overlay above
  // it goes before it, and nothing of the view reaches the window any more.
  desktopView_->frameView()->removeEventFilter(this);
  delete overlay_;
  overlay_ = nullptr;
  delete desktopView_;
  desktopView_ = nullptr;
}

void RemoteDesktopWindow::buildConnectionBar() {
  connectionBar_ = new QWidget(this);
  connectionBar_->setAutoFillBackground(true);
  QPalette barPalette = remoteDesktopPalette();
  barPalette.setColor(QPalette::Window, toQColor(VeltraPalette::surface));
  connectionBar_->setPalette(barPalette);
  auto* bar = new QHBoxLayout(connectionBar_);
  bar->setContentsMargins(8, 6, 8, 6);

  address_ = new QLineEdit(connectionBar_);
  address_->setPlaceholderText("Host address");
  address_->setAccessibleName("Host address");
  address_->setMinimumWidth(180);
  port_ = new QLineEdit(connectionBar_);
  port_->setPlaceholderText("9876");
  port_->setAccessibleName("Port");
  port_->setMaximumWidth(70);
  key_ = new QLineEdit(connectionBar_);
  key_->setPlaceholderText("Connection key");
  key_->setAccessibleName("Connection key");
  key_->setEchoMode(QLineEdit::Password);
  key_->setMinimumWidth(220);
  showKey_ = new QToolButton(connectionBar_);
  showKey_->setText("Show");
  showKey_->setCheckable(true);
  showKey_->setAccessibleName("Show connection key");
  mode_ = new QComboBox(connectionBar_);
  mode_->setAccessibleName("Display mode");
  for (const RemoteConfiguration& mode : kModes) mode_->addItem(modeName(mode));
  connect_ = new QPushButton("Connect", connectionBar_);
  connect_->setDefault(true);
  import_ = new QPushButton("Import Profile…", connectionBar_);

  bar->addWidget(address_, 2);
  bar->addWidget(port_);
  bar->addWidget(key_, 3);
  bar->addWidget(showKey_);
  bar->addWidget(mode_);
  bar->addWidget(connect_);
  bar->addWidget(import_);

  // Typed values go straight to the client, which owns them.
  connect(address_, &QLineEdit::textEdited, this,
          [this](const QString& text) { client_.setAddress(text.toStdString()); });
  connect(port_, &QLineEdit::textEdited, this,
          [this](const QString& text) { client_.setPort(text.toStdString()); });
  connect(key_, &QLineEdit::textEdited, this,
          [this](const QString& text) { client_.setConnectionKey(text.toStdString()); });
  connect(showKey_, &QToolButton::toggled, this, [this](bool shown) {
    key_->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
    showKey_->setText(shown ? "Hide" : "Show");
  });
  connect(mode_, &QComboBox::activated, this, [this](int index) {
    if (index >= 0 && index < static_cast<int>(kModes.size())) {
      client_.setConfiguration(kModes[static_cast<size_t>(index)]);
    }
  });
  connect(address_, &QLineEdit::returnPressed, this, &RemoteDesktopWindow::connectOrDisconnect);
  connect(port_, &QLineEdit::returnPressed, this, &RemoteDesktopWindow::connectOrDisconnect);
  connect(key_, &QLineEdit::returnPressed, this, &RemoteDesktopWindow::connectOrDisconnect);
  connect(connect_, &QPushButton::clicked, this, &RemoteDesktopWindow::connectOrDisconnect);
  connect(import_, &QPushButton::clicked, this, &RemoteDesktopWindow::chooseProfile);
}

void RemoteDesktopWindow::buildMenus() {
  QMenu* file = menuBar()->addMenu("&File");
  importAction_ = file->addAction("Import Profile…", this, &RemoteDesktopWindow::chooseProfile);
  importAction_->setShortcut(QKeySequence::Open);
  file->addSeparator();
  QAction* quit = file->addAction("Quit", this, &QWidget::close);
  quit->setShortcut(QKeySequence::Quit);

  QMenu* view = menuBar()->addMenu("&View");
  fullScreenAction_ = view->addAction("Full Screen", this, &RemoteDesktopWindow::toggleFullScreen);
  fullScreenAction_->setShortcut(Qt::Key_F11);
  fullScreenAction_->setCheckable(true);
  // Also on the window itself, so that F11 works while the menu bar is hidden in full screen.
  addAction(fullScreenAction_);
  statisticsAction_ = view->addAction("Statistics Overlay");
  statisticsAction_->setCheckable(true);
  // The release chord's modifiers, which the view also keeps from the remote while capturing.
  statisticsAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::META | Qt::Key_O));
  addAction(statisticsAction_);
  connect(statisticsAction_, &QAction::toggled, this, &RemoteDesktopWindow::syncOverlay);
  view->addSeparator();
  // Always enabled: muting before connecting, or while the remote computer is quiet, keeps the
  // next sound from being heard. The client holds the state; sync() shows it back.
  muteAction_ = view->addAction("Mute Sound");
  muteAction_->setCheckable(true);
  connect(muteAction_, &QAction::toggled, this,
          [this](bool muted) { client_.setAudioMuted(muted); });
}

bool RemoteDesktopWindow::idle() const {
  return !client_.connecting() && !client_.connected();
}

void RemoteDesktopWindow::connectOrDisconnect() {
  if (idle()) {
    client_.connect();
  } else {
    client_.disconnect("Disconnected");
  }
}

void RemoteDesktopWindow::toggleFullScreen() {
  // While input is captured F11 is the remote computer's key; the view keeps it from us, and this
  // guards the menu item too.
  if (client_.inputEnabled()) {
    fullScreenAction_->setChecked(isFullScreen());
    return;
  }
  const bool full = !isFullScreen();
  connectionBar_->setVisible(!full);
  menuBar()->setVisible(!full);
  statusBar()->setVisible(!full);
  if (full) {
    showFullScreen();
  } else {
    showNormal();
  }
  fullScreenAction_->setChecked(full);
}

void RemoteDesktopWindow::chooseProfile() {
  if (!idle()) return;
  const QString path = QFileDialog::getOpenFileName(this, "Import Profile", QString(),
                                                    "Connection profiles (*.json);;All files (*)");
  if (!path.isEmpty()) importProfile(path);
}

bool RemoteDesktopWindow::importProfile(const QString& path) {
  if (!idle()) return false;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    // Nothing is connected, so this only shows the message (the client's status is the line).
    client_.disconnect("Cannot read " + path.toStdString() + ": " +
                       file.errorString().toStdString());
    return false;
  }
  const QByteArray bytes = file.read(kProfileReadLimit);
  try {
    const RemoteConnectionProfile profile = RemoteConnectionProfile::decode(ByteView(
        reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size())));
    client_.setAddress(profile.address);
    client_.setPort(std::to_string(profile.port));
    client_.setConnectionKey(profile.connectionKey);
    client_.setConfiguration(profile.configuration);
    return true;
  } catch (const std::exception& error) {
    client_.disconnect(error.what());
    return false;
  }
}

void RemoteDesktopWindow::dragEnterEvent(QDragEnterEvent* event) {
  const QMimeData* mime = event->mimeData();
  if (idle() && mime->hasUrls() && !mime->urls().isEmpty() && mime->urls().first().isLocalFile()) {
    event->acceptProposedAction();
  }
}

void RemoteDesktopWindow::dropEvent(QDropEvent* event) {
  const QMimeData* mime = event->mimeData();
  if (!mime->hasUrls() || mime->urls().isEmpty() || !mime->urls().first().isLocalFile()) return;
  importProfile(mime->urls().first().toLocalFile());
  event->acceptProposedAction();
}

void RemoteDesktopWindow::changeEvent(QEvent* event) {
  if (event->type() == QEvent::WindowStateChange) syncOverlay();
  QMainWindow::changeEvent(event);
}

bool RemoteDesktopWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == desktopView_->frameView() && event->type() == QEvent::Resize) syncOverlay();
  return QMainWindow::eventFilter(watched, event);
}

void RemoteDesktopWindow::syncOverlay() {
  if (!overlay_) return;
  // Outside full screen the status line shows the figures.
  const bool shown = statisticsAction_->isChecked() && isFullScreen() && client_.connected();
  if (shown) {
    overlay_->sync();
    const RemoteFrameView* frameView = desktopView_->frameView();
    overlay_->place(frameView->viewport().rect.toAlignedRect().translated(frameView->pos()));
  }
  overlay_->setVisible(shown);
}

void RemoteDesktopWindow::sync() {
  setTextIfChanged(address_, client_.address());
  setTextIfChanged(port_, client_.port());
  setTextIfChanged(key_, client_.connectionKey());
  int modeIndex = -1;
  for (size_t i = 0; i < kModes.size(); ++i) {
    if (kModes[i] == client_.configuration()) modeIndex = static_cast<int>(i);
  }
  mode_->setCurrentIndex(modeIndex);

  const bool editable = idle();
  for (QWidget* field :
       {static_cast<QWidget*>(address_), static_cast<QWidget*>(port_), static_cast<QWidget*>(key_),
        static_cast<QWidget*>(mode_), static_cast<QWidget*>(import_)}) {
    field->setEnabled(editable);
  }
  importAction_->setEnabled(editable);
  muteAction_->setChecked(client_.audioMuted());
  connect_->setText(editable ? "Connect" : "Disconnect");

  status_->setText(QString::fromStdString(client_.status()));
  if (client_.connected()) {
    statistics_->setText(
        QStringLiteral("decoded %1 fps · displayed %2 fps · round trip %3")
            .arg(client_.decodedFPS())
            .arg(client_.displayedFPS())
            .arg(QString::fromStdString(roundTripText(client_.rttMilliseconds()))));
  } else {
    statistics_->clear();
  }
  syncOverlay();
}

}  // namespace veltra
