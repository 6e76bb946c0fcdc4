// The host window's connection section: the port, the desktop session and the connection key,
// and what of them outlives a run (the settings file and the key file).

#include <QHBoxLayout>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdlib>

#include "HostTheme.h"
#include "HostView.h"
#include "HostViewParts.h"
#include "HostWidgets.h"
#include "host/RemoteHost.h"
#include "protocol/KeyFile.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"

namespace veltra {

using namespace host_view;

namespace {

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

}  // namespace veltra
