#pragma once

#include <QMainWindow>
#include <QString>

#include "view/RemoteObserverBag.h"

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace veltra {

class RemoteClient;
class RemoteDesktopView;
class RemoteStatisticsOverlay;

// The "Veltra Remote Desktop" window: a connection bar (address, port, connection key, display
// mode, Connect / Disconnect, Import Profile…), the remote picture filling the rest, and a status
// line with the client's status and, while connected, its frame rates and round trip.
//
// The fields edit the client's typed values and show them back; the window keeps no session state
// of its own and saves nothing. Profiles come in through the menu, the button or a file dropped on
// the window, and only while no attempt is under way. F11 toggles full screen, except while input
// is captured, when every key belongs to the remote computer. In full screen, where the status
// line is hidden, View → Statistics Overlay shows its figures over the picture; Control+Alt+Super+O
// toggles it, while input is captured too (the picture's view keeps that chord from the remote).
// View → Mute Sound is the client's audioMuted().
//
// THREADING: GUI thread only. `client` must outlive the window.
class RemoteDesktopWindow : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr const char* kTitle = "Veltra Remote Desktop";

  explicit RemoteDesktopWindow(RemoteClient& client, QWidget* parent = nullptr);
  ~RemoteDesktopWindow() override;

  // Reads a connection profile; on success the client takes its address, port, key and mode and
  // true comes back. On failure the reader's message becomes the status and nothing changes.
  bool importProfile(const QString& path);
  void toggleFullScreen();

  RemoteDesktopView* desktopView() const { return desktopView_; }

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buildConnectionBar();
  void buildMenus();
  void chooseProfile();
  void connectOrDisconnect();
  // Shows the client's values and state; called after every change of the client.
  void sync();
  // Shows the overlay while connected in full screen with its menu item checked, in the picture's
  // corner, with the client's figures.
  void syncOverlay();
  bool idle() const;

  RemoteClient& client_;
  QWidget* connectionBar_ = nullptr;
  QLineEdit* address_ = nullptr;
  QLineEdit* port_ = nullptr;
  QLineEdit* key_ = nullptr;
  QToolButton* showKey_ = nullptr;
  QComboBox* mode_ = nullptr;
  QPushButton* connect_ = nullptr;
  QPushButton* import_ = nullptr;
  QAction* importAction_ = nullptr;
  QAction* fullScreenAction_ = nullptr;
  QAction* statisticsAction_ = nullptr;
  QAction* muteAction_ = nullptr;
  RemoteDesktopView* desktopView_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* statistics_ = nullptr;
  RemoteStatisticsOverlay* overlay_ = nullptr;
  RemoteObserverBag observers_;
};

// The application's dark palette, from VeltraPalette.
QPalette remoteDesktopPalette();

}  // namespace veltra
