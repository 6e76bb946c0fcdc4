#include "HostView.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "HostIcons.h"
#include "HostStatus.h"
#include "HostTheme.h"
#include "HostViewParts.h"
#include "HostWidgets.h"
#include "host/RemoteHost.h"
#include "qt/PaletteColors.h"
#include "support/Version.h"

namespace veltra {

namespace host_view {

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

void putOnClipboard(const QString& text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->setText(text, QClipboard::Clipboard);
  if (clipboard->supportsSelection()) clipboard->setText(text, QClipboard::Selection);
}

}  // namespace host_view

using namespace host_view;

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

QString permissionWord(bool allowed, const char* otherwise) {
  return allowed ? "Allowed" : otherwise;
}

void showPermission(QLabel* label, bool allowed, const char* otherwise) {
  if (!label) return;
  label->setText(permissionWord(allowed, otherwise));
  setTextColor(label, allowed ? HostTheme::green : HostTheme::muted);
}

}  // namespace

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

}  // namespace veltra
