// The host window's "Server address" panel (on the overview and under Connection): one line per
// interface address with its copy and export buttons, and the export's save dialog.

#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "HostProfileExport.h"
#include "HostTheme.h"
#include "HostView.h"
#include "HostViewParts.h"
#include "HostWidgets.h"
#include "host/RemoteHost.h"

namespace veltra {

using namespace host_view;

namespace {

const char kExportWarning[] =
    "Includes the Host connection key. Share only with your own computer.";

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

void HostView::refreshAddresses() {
  std::vector<HostNetworkAddress> current = options_.addresses();
  if (current == addresses_) return;
  addresses_ = std::move(current);
  copiedAddress_.reset();
  rebuildAddressLines();
  render();
}

void HostView::copyAddress(const HostNetworkAddress& address) {
  putOnClipboard(q(address.address));
  copiedAddress_ = address.id();
  render();
}

void HostView::exportProfile(const std::string& address) {
  const std::optional<std::filesystem::path> path = options_.chooseExportPath(this);
  if (!path || path->empty()) return;
  profileMessage_ = exportConnectionProfile(*path, address, host_.port(), host_.connectionKey());
  render();
}

}  // namespace veltra
