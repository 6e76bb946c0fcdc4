// The host window's overview section: the actions row (also shown under Connection), the host's
// states, the set-up steps and the usage notes (shown on every section).

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "HostTheme.h"
#include "HostView.h"
#include "HostViewParts.h"
#include "HostWidgets.h"
#include "host/RemoteHost.h"
#include "qt/PaletteColors.h"

namespace veltra {

using namespace host_view;

namespace {

const char kUsageNotes[] =
    "Keep this computer running. Current MVP supports LAN / private networks. Start at 1080p · "
    "60fps. 120fps is a requested setting and requires real-device verification. The virtual "
    "display is a private Xvfb server.";

}  // namespace

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

}  // namespace veltra
