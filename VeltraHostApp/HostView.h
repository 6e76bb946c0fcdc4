#pragma once

#include <QWidget>
#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "HostNetworkAddress.h"
#include "HostSettings.h"
#include "support/ChangeNotifier.h"

class QFileDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QTimer;
class QToolButton;
class QVBoxLayout;

namespace veltra {

class Badge;
class RemoteHost;
class SidebarRow;

enum class HostSection { host, connection, permissions };
inline constexpr std::array<HostSection, 3> kHostSections = {
    HostSection::host, HostSection::connection, HostSection::permissions};

// The save dialog of an export: JSON only, proposing "veltra-connection.json", titled with the
// warning that the file holds the key. GUI thread.
std::unique_ptr<QFileDialog> makeExportDialog(QWidget* parent);
// Runs it modally; the chosen path, or nothing when the user cancels.
std::optional<std::filesystem::path> runExportDialog(QWidget* parent);

// What this run starts with, and the test seams of the view: the interface list, where an
// export goes (the save dialog unless a test says otherwise; nothing means cancelled) and the
// address poll's interval.
struct HostViewOptions {
  // This run's command line, over what the window saved: the port (nothing: the saved one) and
  // the session choice ("": the saved one). Neither is saved unless the user edits it.
  std::optional<uint16_t> port;
  std::string sessionCommand;
  std::function<std::vector<HostNetworkAddress>()> addresses = &HostNetworkAddress::current;
  std::function<std::optional<std::filesystem::path>(QWidget* parent)> chooseExportPath =
      &runExportDialog;
  std::chrono::milliseconds addressPoll{5'000};
};

// The whole content of the host window around the process's RemoteHost: the sidebar with the
// three sections, the header, and the selected section's identity header and panels. Everything
// it shows about hosting is read from the host at every redraw (on each of its change
// notifications) and every hosting action is a call on the host; the view keeps only what it
// shows of its own (section, permissions as last read, addresses, what was copied, the last
// export's outcome, the session choice being edited).
//
// What outlives a run is the view's too: at construction it gives the host the saved port and
// session choice (HostSettings) and the kept key (its key file, made on first use); edits and
// "New Key" are written back at once. Where a file cannot be read or written the window goes on
// with what it holds in memory and says why.
//
// THREADING: GUI thread only, like the host it observes (both live on the Qt main queue).
class HostView final : public QWidget {
  Q_OBJECT
 public:
  using Options = HostViewOptions;

  // `host` must outlive the view.
  explicit HostView(RemoteHost& host, Options options = {}, QWidget* parent = nullptr);
  ~HostView() override;

  HostSection section() const { return section_; }
  void setSection(HostSection section);
  // Reads both permissions and the addresses again; called when the window is first shown and
  // whenever it becomes active, after Start/Stop and "Check Requirements", and by the refresh
  // buttons.
  void refreshPermissions();
  // The address poll: the addresses alone. A changed list forgets which address was copied.
  void refreshAddresses();
  // Asks where to, then writes the host's profile with `address` owner-only.
  void exportProfile(const std::string& address);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // The widgets of the selected section that render() updates; null where the section has none.
  struct Content {
    Badge* identityBadge = nullptr;
    QLabel* service = nullptr;
    QLabel* client = nullptr;
    QLabel* port = nullptr;
    QLabel* session = nullptr;
    QLabel* screenState = nullptr;
    QLabel* inputState = nullptr;
    QLabel* status = nullptr;
    QPushButton* startStop = nullptr;
    QPushButton* disconnect = nullptr;
    std::vector<QPushButton*> checkRequirements;
    QLineEdit* portField = nullptr;
    QLineEdit* sessionField = nullptr;
    QLabel* settingsMessage = nullptr;
    QLineEdit* keyField = nullptr;
    QPushButton* copyKey = nullptr;
    QPushButton* newKey = nullptr;
    QLabel* keyMessage = nullptr;
    QLabel* requiredScreen = nullptr;
    QLabel* requiredInput = nullptr;
    QVBoxLayout* addressLines = nullptr;
    QLabel* profileMessage = nullptr;
    QLabel* portHint = nullptr;
    struct AddressLine {
      std::string id;
      QLabel* detail;
      QPushButton* copy;
    };
    std::vector<AddressLine> lines;
  };

  // The frame, the identity header and the redraw (HostView.cpp).
  QWidget* buildSidebar();
  QWidget* buildMainColumn();
  void rebuildContent();
  QWidget* identity();
  void render();
  // The overview's panels; the actions row and the usage notes appear on other sections too
  // (HostOverviewSection.cpp).
  QWidget* actions();
  QWidget* hostStates();
  QWidget* connectionSetup();
  QWidget* guidance();
  QPushButton* checkRequirementsButton();
  QString sessionText() const;
  void startOrStop();
  void checkRequirements();
  // The server addresses and their export (HostAddressPanel.cpp).
  QWidget* serverAddresses();
  void rebuildAddressLines();
  void copyAddress(const HostNetworkAddress& address);
  // Port, session and key, and what of them is kept across runs (HostConnectionSection.cpp).
  QWidget* network();
  QWidget* desktopSession();
  QWidget* connectionKey();
  void restore();
  void copyKey();
  void newKey();
  void portEdited(const QString& text);
  void sessionEdited(const QString& text);
  void settingsSaved(const std::string& problem);
  // HostPermissionsSection.cpp.
  QWidget* requiredPermissions();
  QWidget* permissionSetup();

  RemoteHost& host_;
  Options options_;
  ChangeNotifier::Token observer_ = 0;
  HostSettings settings_;
  // Empty when there is no home folder to keep it in.
  std::string keyPath_;

  // View state.
  HostSection section_ = HostSection::host;
  bool screenAllowed_ = false;
  bool inputAllowed_ = false;
  bool copied_ = false;
  std::vector<HostNetworkAddress> addresses_;
  std::optional<std::string> copiedAddress_;
  std::optional<std::string> profileMessage_;
  std::string sessionChoice_;
  // Why the key or the settings are not kept on disk, while that holds.
  std::optional<std::string> keyMessage_;
  std::optional<std::string> settingsMessage_;
  bool shownOnce_ = false;

  // Sidebar and header, built once.
  Badge* sidebarStatus_ = nullptr;
  Badge* sidebarClients_ = nullptr;
  std::array<SidebarRow*, 3> sidebarRows_{};
  QLabel* headerTitle_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QTimer* addressPoll_ = nullptr;
  Content content_;
};

}  // namespace veltra
