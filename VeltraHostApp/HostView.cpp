#include "HostView.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <cstdlib>

#include "HostIcons.h"
#include "HostProfileExport.h"
#include "HostStatus.h"
#include "HostTheme.h"
#include "HostWidgets.h"
#include "host/RemoteHost.h"
#include "protocol/KeyFile.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"
#include "qt/PaletteColors.h"
#include "support/Version.h"

namespace veltra {
namespace {

struct SectionText {
  const char* title;
  const char* image;
  const char* sidebarSubtitle;  // null: the status word
  const char* identityTitle;
  const char* identitySubtitle;
};

const SectionText& textOf(HostSection section) {
  static const SectionText kTexts[] = {
      {"Host Overview", "desktopcomputer", nullptr, "Veltra Host",
       "Your computer, remotely connected."},
      {"Connection", "network", "Encrypted LAN session", "Connection",
       "Authenticate your other computer with a connection key."},
      {"Permissions", "lock.shield", "Display & input support", "Permissions",
       "Check the virtual display server and remote keyboard & mouse input."},
  };
  return kTexts[static_cast<int>(section)];
}

const char kUsageNotes[] =
    "Keep this computer running. Current MVP supports LAN / private networks. Start at 1080p · "
    "60fps. 120fps is a requested setting and requires real-device verification. The virtual "
    "display is a private Xvfb server.";
const char kExportWarning[] =
    "Includes the Host connection key. Share only with your own computer.";
const char kAutomaticSession[] = "Automatic: first desktop installed";
const char kEmptyDisplay[] = "none (empty display)";

QString q(const std::string& text) {
  return QString::fromStdString(text);
}

QLabel* imageLabel(const QString& image, PaletteColor color, int size) {
  auto* label = new QLabel;
  label->setPixmap(systemImage(image, toQColor(color), size));
  label->setFixedSize(size, size);
  return label;
}

void fill(QWidget* widget, PaletteColor color) {
  widget->setAutoFillBackground(true);
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, toQColor(color));
  widget->setPalette(palette);
}

QFrame* rule(Qt::Orientation orientation) {
  auto* line = new QFrame;
  fill(line, HostTheme::border);
  if (orientation == Qt::Vertical) {
    line->setFixedWidth(1);
  } else {
    line->setFixedHeight(1);
  }
  return line;
}

QString permissionWord(bool allowed, const char* otherwise) {
  return allowed ? "Allowed" : otherwise;
}

void showPermission(QLabel* label, bool allowed, const char* otherwise) {
  if (!label) return;
  label->setText(permissionWord(allowed, otherwise));
  setTextColor(label, allowed ? HostTheme::green : HostTheme::muted);
}

// Every clipboard the system has: the clipboard itself and, on X11, the primary selection.
void putOnClipboard(const QString& text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->setText(text, QClipboard::Clipboard);
  if (clipboard->supportsSelection()) clipboard->setText(text, QClipboard::Selection);
}

// A path as the user would write it: "~/.config/…" rather than their home folder spelled out.
QString shownPath(const std::string& path) {
  const char* home = std::getenv("HOME");
  if (!home || !*home) return q(path);
  const std::string prefix = std::string(home) + "/";
  return path.starts_with(prefix) ? "~/" + q(path.substr(prefix.size())) : q(path);
}

std::string keptInMemoryOnly(const RemoteError& error) {
  return std::string("The connection key is not kept on disk (") + error.what() +
         "); this one lasts until Host quits.";
}

}  // namespace

std::unique_ptr<QFileDialog> makeExportDialog(QWidget* parent) {
  auto dialog = std::make_unique<QFileDialog>(parent, kExportWarning);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  dialog->setNameFilter("JSON (*.json)");
  dialog->setDefaultSuffix("json");
  dialog->selectFile("veltra-connection.json");
  return dialog;
}

std::optional<std::filesystem::path> runExportDialog(QWidget* parent) {
  auto dialog = makeExportDialog(parent);
  if (dialog->exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog->selectedFiles();
  if (files.isEmpty() || files.front().isEmpty()) return std::nullopt;
  return std::filesystem::path(files.front().toStdString());
}

HostView::HostView(RemoteHost& host, Options options, QWidget* parent)
    : QWidget(parent), host_(host), options_(std::move(options)) {
  restore();
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(buildSidebar());
  layout->addWidget(rule(Qt::Vertical));
  layout->addWidget(buildMainColumn(), 1);
  setTextColor(this, HostTheme::text);

  rebuildContent();
  observer_ = host_.changes().add([this] { render(); });

  // The application coming to the front counts like the window becoming active.
  connect(qApp, &QGuiApplication::applicationStateChanged, this,
          [this](Qt::ApplicationState state) {
            if (state == Qt::ApplicationActive) refreshPermissions();
          });

  addressPoll_ = new QTimer(this);
  addressPoll_->setTimerType(Qt::PreciseTimer);
  addressPoll_->setInterval(static_cast<int>(options_.addressPoll.count()));
  connect(addressPoll_, &QTimer::timeout, this, &HostView::refreshAddresses);
  addressPoll_->start();
}

HostView::~HostView() {
  host_.changes().remove(observer_);
  // The section's widgets go while the view is whole: a focused field that loses its focus on
  // the way out still calls back into the view.
  content_ = Content{};
  delete scroll_->takeWidget();
}

QWidget* HostView::buildSidebar() {
  auto* sidebar = new QWidget;
  sidebar->setFixedWidth(240);
  fill(sidebar, HostTheme::sidebar);
  auto* layout = new QVBoxLayout(sidebar);
  layout->setContentsMargins(16, 0, 16, 16);
  layout->setSpacing(0);

  auto* strip = new QWidget;
  strip->setFixedHeight(52);
  auto* stripLayout = new QHBoxLayout(strip);
  stripLayout->setContentsMargins(0, 0, 0, 0);
  stripLayout->addWidget(imageLabel("sidebar.left", HostTheme::muted, 18));
  stripLayout->addStretch();
  layout->addWidget(strip);

  auto* name = new QHBoxLayout;
  name->setSpacing(8);
  name->addWidget(imageLabel("desktopcomputer", HostTheme::text, 18));
  name->addWidget(makeText("Veltra Host", HostTheme::text, 15, QFont::DemiBold, false), 1);
  layout->addLayout(name);
  layout->addSpacing(8);
  auto* badges = new QHBoxLayout;
  badges->setSpacing(6);
  sidebarStatus_ = new Badge;
  sidebarClients_ = new Badge;
  sidebarStatus_->setObjectName("sidebarStatus");
  sidebarClients_->setObjectName("sidebarClients");
  badges->addWidget(sidebarStatus_);
  badges->addWidget(sidebarClients_);
  badges->addStretch();
  layout->addLayout(badges);
  layout->addSpacing(24);

  layout->addWidget(makeText("REMOTE DESKTOP", HostTheme::muted, 11, QFont::DemiBold));
  layout->addSpacing(8);
  for (HostSection section : kHostSections) {
    const SectionText& text = textOf(section);
    auto* row = new SidebarRow(text.image, text.title);
    if (text.sidebarSubtitle) row->setSubtitle(text.sidebarSubtitle);
    connect(row, &QAbstractButton::clicked, this, [this, section] { setSection(section); });
    sidebarRows_[static_cast<size_t>(section)] = row;
    layout->addWidget(row);
    layout->addSpacing(2);
  }
  layout->addStretch();

  auto* footer = new QHBoxLayout;
  footer->setSpacing(8);
  footer->addWidget(imageLabel("network", HostTheme::muted, 16));
  footer->addWidget(makeText("LAN / private network", HostTheme::muted, 12, QFont::Normal, false),
                    1);
  layout->addLayout(footer);
  layout->addSpacing(4);
  layout->addWidget(makeText(QString("MVP · ") + kVersion, HostTheme::muted, 11));
  return sidebar;
}

QWidget* HostView::buildMainColumn() {
  auto* column = new QWidget;
  fill(column, HostTheme::canvas);
  auto* layout = new QVBoxLayout(column);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  auto* header = new QWidget;
  header->setFixedHeight(52);
  fill(header, HostTheme::toolbar);
  auto* headerLayout = new QHBoxLayout(header);
  headerLayout->setContentsMargins(24, 0, 24, 0);
  headerTitle_ = makeText({}, HostTheme::text, 15, QFont::DemiBold, false);
  headerLayout->addWidget(headerTitle_);
  headerLayout->addStretch();
  auto* refresh = new QToolButton;
  refresh->setAutoRaise(true);
  refresh->setIcon(QIcon(systemImage("arrow.clockwise", toQColor(HostTheme::text), 18)));
  refresh->setIconSize(QSize(18, 18));
  refresh->setToolTip("Refresh permission status");
  refresh->setAccessibleName("Refresh permission status");
  connect(refresh, &QToolButton::clicked, this, &HostView::refreshPermissions);
  headerLayout->addWidget(refresh);
  layout->addWidget(header);
  layout->addWidget(rule(Qt::Horizontal));

  scroll_ = new QScrollArea;
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setWidgetResizable(true);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  fill(scroll_->viewport(), HostTheme::canvas);
  layout->addWidget(scroll_, 1);
  return column;
}

void HostView::setSection(HostSection section) {
  if (section == section_) return;
  section_ = section;
  rebuildContent();
}

// The selected section is built afresh, the way the window shows one section at a time. The old
// content goes later: this may run inside one of its own buttons' handlers.
void HostView::rebuildContent() {
  content_ = Content{};
  if (QWidget* old = scroll_->takeWidget()) {
    old->hide();
    old->deleteLater();
  }
  auto* page = new QWidget;
  fill(page, HostTheme::canvas);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(28, 24, 28, 28);
  layout->setSpacing(16);
  layout->addWidget(identity());
  switch (section_) {
    case HostSection::host:
      layout->addWidget(makeText("Share this computer’s workspace over an encrypted connection.",
                                 HostTheme::text, 0, QFont::Medium));
      layout->addWidget(actions());
      layout->addWidget(serverAddresses());
      layout->addWidget(hostStates());
      layout->addWidget(connectionSetup());
      layout->addWidget(guidance());
      break;
    case HostSection::connection:
      layout->addWidget(serverAddresses());
      layout->addWidget(network());
      layout->addWidget(desktopSession());
      layout->addWidget(connectionKey());
      layout->addWidget(actions());
      layout->addWidget(guidance());
      break;
    case HostSection::permissions:
      layout->addWidget(requiredPermissions());
      layout->addWidget(permissionSetup());
      layout->addWidget(guidance());
      break;
  }
  layout->addStretch();
  scroll_->setWidget(page);
  render();
}

QWidget* HostView::identity() {
  const SectionText& text = textOf(section_);
  auto* block = new QWidget;
  auto* layout = new QHBoxLayout(block);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(16);
  auto* tile = new IconTile;
  tile->setImage(text.image);
  layout->addWidget(tile, 0, Qt::AlignTop);
  auto* words = new QVBoxLayout;
  words->setSpacing(4);
  words->addWidget(makeText(text.identityTitle, HostTheme::text, 28, QFont::Bold));
  words->addWidget(makeText(text.identitySubtitle, HostTheme::muted));
  auto* badges = new QHBoxLayout;
  badges->setSpacing(10);
  content_.identityBadge = new Badge;
  content_.identityBadge->setObjectName("identityStatus");
  badges->addWidget(content_.identityBadge);
  badges->addWidget(
      makeText(QString("Version ") + kVersion, HostTheme::muted, 0, QFont::Normal, false));
  badges->addStretch();
  words->addSpacing(4);
  words->addLayout(badges);
  layout->addLayout(words, 1);
  return block;
}

QPushButton* HostView::checkRequirementsButton() {
  auto* button = new QPushButton("Check Requirements");
  connect(button, &QPushButton::clicked, this, &HostView::checkRequirements);
  content_.checkRequirements.push_back(button);
  return button;
}

QWidget* HostView::actions() {
  auto* row = new QWidget;
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(10);
  content_.startStop = new QPushButton;
  content_.startStop->setDefault(true);
  QPalette tinted = content_.startStop->palette();
  tinted.setColor(QPalette::Button, toQColor(HostTheme::blue));
  tinted.setColor(QPalette::ButtonText, Qt::white);
  content_.startStop->setPalette(tinted);
  connect(content_.startStop, &QPushButton::clicked, this, &HostView::startOrStop);
  layout->addWidget(content_.startStop);
  content_.disconnect = new QPushButton("Disconnect Client");
  connect(content_.disconnect, &QPushButton::clicked, this, [this] { host_.disconnect(); });
  layout->addWidget(content_.disconnect);
  if (section_ == HostSection::host) layout->addWidget(checkRequirementsButton());
  layout->addStretch();
  return row;
}

QWidget* HostView::serverAddresses() {
  auto* panel = new Panel("Server address");
  QVBoxLayout* layout = panel->content();
  content_.addressLines = new QVBoxLayout;
  content_.addressLines->setSpacing(10);
  layout->addLayout(content_.addressLines);
  content_.profileMessage = makeText({}, HostTheme::muted);
  content_.profileMessage->setObjectName("profileMessage");
  layout->addWidget(content_.profileMessage);
  layout->addWidget(
      makeText("Exported JSON includes the connection key. Keep it private; export "
               "again after changing the key.",
               HostTheme::muted));
  content_.portHint = makeText({}, HostTheme::text);
  layout->addWidget(content_.portHint);
  rebuildAddressLines();
  return panel;
}

void HostView::rebuildAddressLines() {
  QVBoxLayout* lines = content_.addressLines;
  if (!lines) return;
  content_.lines.clear();
  // Later, not now: an export's dialog may be open from one of these lines' buttons.
  while (QLayoutItem* item = lines->takeAt(0)) {
    if (QWidget* widget = item->widget()) {
      widget->hide();
      widget->deleteLater();
    }
    delete item;
  }
  if (addresses_.empty()) {
    lines->addWidget(makeText("No active IPv4 address. Connect this computer to Wi-Fi or Ethernet.",
                              HostTheme::muted));
    return;
  }
  for (const HostNetworkAddress& address : addresses_) {
    auto* line = new QWidget;
    auto* layout = new QHBoxLayout(line);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    auto* words = new QVBoxLayout;
    words->setSpacing(2);
    QLabel* ip = makeText(q(address.address), HostTheme::text, 0, QFont::Normal, false);
    ip->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    ip->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    words->addWidget(ip);
    QLabel* detail = makeText({}, HostTheme::muted, 0, QFont::Normal, false);
    words->addWidget(detail);
    layout->addLayout(words);
    layout->addStretch();
    auto* copy = new QPushButton;
    copy->setToolTip("Copy the IP for Remote’s address field; enter the port separately");
    connect(copy, &QPushButton::clicked, this, [this, address] { copyAddress(address); });
    layout->addWidget(copy);
    auto* exportButton = new QPushButton("Export JSON");
    connect(exportButton, &QPushButton::clicked, this,
            [this, ip = address.address] { exportProfile(ip); });
    layout->addWidget(exportButton);
    lines->addWidget(line);
    content_.lines.push_back({address.id(), detail, copy});
  }
}

QWidget* HostView::hostStates() {
  auto* panel = new Panel("Host states");
  QVBoxLayout* layout = panel->content();
  content_.service = addRow(layout, "Service");
  content_.client = addRow(layout, "Client");
  content_.port = addRow(layout, "Port");
  content_.session = addRow(layout, "Desktop session");
  content_.screenState = addRow(layout, "Virtual display (Xvfb)");
  content_.inputState = addRow(layout, "Remote input (XTEST)");
  layout->addWidget(rule(Qt::Horizontal));
  content_.status = makeText({}, HostTheme::muted);
  content_.status->setObjectName("hostStatus");
  layout->addWidget(content_.status);
  // A key that is not kept matters before the user ever opens Connection.
  content_.keyMessage = makeText({}, HostTheme::muted);
  content_.keyMessage->setObjectName("keyMessage");
  layout->addWidget(content_.keyMessage);
  return panel;
}

QWidget* HostView::connectionSetup() {
  auto* panel = new Panel("Connection setup");
  panel->content()->addWidget(
      makeText("1. Install Xvfb (see Permissions).\n"
               "2. Start Hosting, then copy the key in Connection.\n"
               "3. Enter this computer’s LAN address, port and key in Veltra Remote Desktop.",
               HostTheme::text));
  auto* open = new QPushButton("Open Connection Settings");
  connect(open, &QPushButton::clicked, this, [this] { setSection(HostSection::connection); });
  panel->content()->addWidget(open, 0, Qt::AlignLeft);
  return panel;
}

QWidget* HostView::guidance() {
  auto* panel = new Panel("Usage notes");
  panel->content()->addWidget(makeText(kUsageNotes, HostTheme::text));
  return panel;
}

namespace {

// A row of a settings panel: the field's name in the label column, then what the caller adds.
QHBoxLayout* fieldRow(const char* name) {
  auto* row = new QHBoxLayout;
  row->setSpacing(0);
  QLabel* label = makeText(name, HostTheme::muted, 0, QFont::Normal, false);
  label->setFixedWidth(140);
  row->addWidget(label);
  return row;
}

}  // namespace

QWidget* HostView::network() {
  auto* panel = new Panel("Network");
  QHBoxLayout* row = fieldRow("TCP port");
  content_.portField = new QLineEdit;
  content_.portField->setPlaceholderText("Port");
  content_.portField->setAccessibleName("TCP port");
  content_.portField->setFixedWidth(110);
  content_.portField->setValidator(new QIntValidator(0, 65535, content_.portField));
  content_.portField->setText(QString::number(host_.port()));
  connect(content_.portField, &QLineEdit::textEdited, this, &HostView::portEdited);
  // What cannot be a port (an empty field) gives way to the host's port when editing ends.
  connect(content_.portField, &QLineEdit::editingFinished, this, [this] {
    if (content_.portField) content_.portField->setText(QString::number(host_.port()));
  });
  row->addWidget(content_.portField);
  row->addStretch();
  panel->content()->addLayout(row);
  panel->content()->addWidget(makeText(
      "Use this computer’s LAN IP or hostname in Remote. Default port: 9876.", HostTheme::text));
  return panel;
}

QWidget* HostView::desktopSession() {
  auto* panel = new Panel("Desktop session");
  QHBoxLayout* row = fieldRow("Command");
  content_.sessionField = new QLineEdit;
  content_.sessionField->setPlaceholderText(kAutomaticSession);
  content_.sessionField->setAccessibleName("Desktop session command");
  content_.sessionField->setText(q(sessionChoice_));
  connect(content_.sessionField, &QLineEdit::textEdited, this, &HostView::sessionEdited);
  row->addWidget(content_.sessionField, 1);
  panel->content()->addLayout(row);
  panel->content()->addWidget(
      makeText("Starts inside the virtual display when hosting starts. Empty: the first desktop "
               "installed (the system's session manager, Xfce, LXQt, Plasma, Openbox or a "
               "terminal); \"none\": an empty display; anything else runs as a shell command.",
               HostTheme::text));
  content_.settingsMessage = makeText({}, HostTheme::muted);
  content_.settingsMessage->setObjectName("settingsMessage");
  panel->content()->addWidget(content_.settingsMessage);
  return panel;
}

QWidget* HostView::connectionKey() {
  auto* panel = new Panel("Connection key");
  // Masked and read-only: the key is never shown in clear; "Copy Key" is how it leaves.
  content_.keyField = new QLineEdit;
  content_.keyField->setEchoMode(QLineEdit::Password);
  content_.keyField->setReadOnly(true);
  content_.keyField->setPlaceholderText("Connection key");
  content_.keyField->setAccessibleName("Connection key");
  panel->content()->addWidget(content_.keyField);
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(10);
  content_.copyKey = new QPushButton;
  connect(content_.copyKey, &QPushButton::clicked, this, &HostView::copyKey);
  buttons->addWidget(content_.copyKey);
  content_.newKey = new QPushButton("New Key");
  connect(content_.newKey, &QPushButton::clicked, this, &HostView::newKey);
  buttons->addWidget(content_.newKey);
  buttons->addStretch();
  panel->content()->addLayout(buttons);
  panel->content()->addWidget(
      makeText("Share this key only with your own computer. " +
                   (keyPath_.empty()
                        ? QString()
                        : "It is kept, readable by you only, in " + shownPath(keyPath_) + ". ") +
                   "New Key replaces it; profiles exported before stop working.",
               HostTheme::muted));
  content_.keyMessage = makeText({}, HostTheme::muted);
  content_.keyMessage->setObjectName("keyMessage");
  panel->content()->addWidget(content_.keyMessage);
  return panel;
}

QWidget* HostView::requiredPermissions() {
  auto* panel = new Panel("Required permissions");
  QVBoxLayout* layout = panel->content();
  content_.requiredScreen = addRow(layout, "Virtual display (Xvfb)");
  content_.requiredInput = addRow(layout, "Remote input (XTEST)");
  layout->addWidget(
      makeText("Xvfb runs the private display that your other computer sees. XTEST "
               "delivers its keyboard and mouse events to that display.",
               HostTheme::text));
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(10);
  buttons->addWidget(checkRequirementsButton());
  auto* refresh = new QPushButton("Refresh Status");
  connect(refresh, &QPushButton::clicked, this, &HostView::refreshPermissions);
  buttons->addWidget(refresh);
  buttons->addStretch();
  layout->addLayout(buttons);
  return panel;
}

QWidget* HostView::permissionSetup() {
  auto* panel = new Panel("Permission setup");
  panel->content()->addWidget(
      makeText("Install the xvfb package (for example: sudo apt install xvfb), then press Check "
               "Requirements. Xvfb includes XTEST; no desktop permission dialog is involved.",
               HostTheme::text));
  return panel;
}

void HostView::render() {
  const HostState state = HostState::of(host_);
  const QString word = q(statusWord(state));
  const PaletteColor color = statusColor(state);
  const bool locked = host_.running() || host_.stopping();
  const QString port = QString::number(host_.port());

  sidebarStatus_->set(word, color);
  sidebarClients_->set(q(clientBadge(state)), HostTheme::green);
  for (HostSection section : kHostSections) {
    SidebarRow* row = sidebarRows_[static_cast<size_t>(section)];
    row->setSelected(section == section_);
    if (!textOf(section).sidebarSubtitle) row->setSubtitle(word);
  }
  headerTitle_->setText(textOf(section_).title);

  Content& c = content_;
  if (c.identityBadge) c.identityBadge->set(word, color);
  if (c.service) {
    c.service->setText(word);
    setTextColor(c.service, color);
    c.client->setText(host_.connected() ? "Authenticated" : "Not connected");
    c.port->setText("TCP " + port);
    c.session->setText(sessionText());
    c.status->setText(q(host_.status()));
  }
  showPermission(c.screenState, screenAllowed_, "Permission required");
  showPermission(c.inputState, inputAllowed_, "Permission required");
  showPermission(c.requiredScreen, screenAllowed_, "Not allowed");
  showPermission(c.requiredInput, inputAllowed_, "Not allowed");
  if (c.startStop) {
    c.startStop->setText(host_.running() ? "Stop Hosting" : "Start Hosting");
    c.startStop->setEnabled(!host_.stopping());
    c.disconnect->setEnabled(host_.connected() && !host_.stopping());
  }
  for (QPushButton* button : c.checkRequirements) button->setEnabled(!locked);
  // A choice is taken at the next start: while hosting, what runs is fixed.
  if (c.sessionField) c.sessionField->setEnabled(!locked);
  if (c.portField) {
    c.portField->setEnabled(!locked);
    // Left alone while the user is typing something that is not a port yet.
    bool valid = false;
    const uint value = c.portField->text().toUInt(&valid);
    if (!(c.portField->hasFocus() && !valid) && (!valid || value != host_.port())) {
      c.portField->setText(port);
    }
  }
  if (c.keyField) {
    if (c.keyField->text() != q(host_.connectionKey()))
      c.keyField->setText(q(host_.connectionKey()));
    c.copyKey->setText(copied_ ? "Copied" : "Copy Key");
    c.newKey->setEnabled(!locked);
  }
  for (const auto& line : c.lines) {
    const auto at = std::find_if(addresses_.begin(), addresses_.end(),
                                 [&](const HostNetworkAddress& a) { return a.id() == line.id; });
    if (at != addresses_.end()) line.detail->setText(q(at->interface) + " · TCP " + port);
    line.copy->setText(copiedAddress_ == line.id ? "Copied" : "Copy Address");
  }
  for (const auto& [label, message] :
       {std::pair{c.keyMessage, &keyMessage_}, std::pair{c.settingsMessage, &settingsMessage_}}) {
    if (!label) continue;
    label->setVisible(message->has_value());
    label->setText(q(message->value_or("")));
  }
  if (c.profileMessage) {
    c.profileMessage->setVisible(profileMessage_.has_value());
    c.profileMessage->setText(q(profileMessage_.value_or("")));
  }
  if (c.portHint) {
    c.portHint->setText("In Remote, enter an address reachable from your other computer and port " +
                        port +
                        " separately. These are local/interface addresses, not a public internet "
                        "endpoint. Hosting must be started before connecting.");
  }
}

QString HostView::sessionText() const {
  if (host_.running() || host_.stopping()) {
    return host_.session().empty() ? kEmptyDisplay : q(host_.session());
  }
  // Not hosting: what the next start will choose from.
  if (sessionChoice_.empty()) return kAutomaticSession;
  if (sessionChoice_ == "none") return kEmptyDisplay;
  return q(sessionChoice_);
}

// The saved port and session choice under this run's command line, and the kept key.
void HostView::restore() {
  if (const std::optional<uint16_t> port = options_.port ? options_.port : settings_.port()) {
    host_.setPort(*port);
  }
  sessionChoice_ =
      options_.sessionCommand.empty() ? settings_.sessionChoice() : options_.sessionCommand;
  host_.setSessionChoice(sessionChoice_);
  try {
    keyPath_ = defaultHostKeyPath();
    host_.setConnectionKey(loadOrCreateKeyFile(keyPath_));
  } catch (const RemoteError& error) {
    // The host's own fresh key serves this run.
    keyMessage_ = keptInMemoryOnly(error);
  }
}

void HostView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shownOnce_) return;
  shownOnce_ = true;
  refreshPermissions();
}

void HostView::refreshPermissions() {
  screenAllowed_ = host_.screenPermission();
  inputAllowed_ = host_.inputPermission();
  refreshAddresses();
  render();
}

void HostView::refreshAddresses() {
  std::vector<HostNetworkAddress> current = options_.addresses();
  if (current == addresses_) return;
  addresses_ = std::move(current);
  copiedAddress_.reset();
  rebuildAddressLines();
  render();
}

void HostView::startOrStop() {
  if (host_.running()) {
    host_.stop();
  } else {
    host_.start();
  }
  refreshPermissions();
}

void HostView::checkRequirements() {
  host_.requestPermissions();
  refreshPermissions();
}

void HostView::copyKey() {
  putOnClipboard(q(host_.connectionKey()));
  copied_ = true;
  render();
}

void HostView::newKey() {
  std::string key;
  try {
    key = RemoteAuthentication::newKey();
  } catch (const std::exception&) {
    // No secure random bytes: the old key stays rather than a predictable one.
    return;
  }
  // A key that cannot be written still replaces the old one for this run: the user asked for a
  // new key, perhaps because the old one leaked.
  if (!keyPath_.empty()) {
    keyMessage_.reset();
    try {
      writeKeyFile(keyPath_, key);
    } catch (const RemoteError& error) {
      keyMessage_ = keptInMemoryOnly(error);
    }
  }
  host_.setConnectionKey(std::move(key));
  copied_ = false;
  render();
}

void HostView::copyAddress(const HostNetworkAddress& address) {
  putOnClipboard(q(address.address));
  copiedAddress_ = address.id();
  render();
}

void HostView::portEdited(const QString& text) {
  bool valid = false;
  const uint value = text.toUInt(&valid);
  if (valid && value <= 65535) {
    host_.setPort(static_cast<uint16_t>(value));
    settingsSaved(settings_.savePort(static_cast<uint16_t>(value)));
  }
}

void HostView::sessionEdited(const QString& text) {
  sessionChoice_ = text.trimmed().toStdString();
  host_.setSessionChoice(sessionChoice_);
  settingsSaved(settings_.saveSessionChoice(sessionChoice_));
}

void HostView::settingsSaved(const std::string& problem) {
  if (problem.empty()) {
    settingsMessage_.reset();
  } else {
    settingsMessage_ = problem;
  }
  render();
}

void HostView::exportProfile(const std::string& address) {
  const std::optional<std::filesystem::path> path = options_.chooseExportPath(this);
  if (!path || path->empty()) return;
  profileMessage_ = exportConnectionProfile(*path, address, host_.port(), host_.connectionKey());
  render();
}

}  // namespace veltra
