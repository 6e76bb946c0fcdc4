#include "view/RemoteClipboardBridge.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include "client/RemoteClient.h"

namespace veltra {

RemoteClipboardBridge::RemoteClipboardBridge(RemoteClient& client, QObject* parent)
    : QObject(parent), client_(client) {
  // dataChanged is the clipboard's alone; the selection changes with every text the user marks.
  connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this,
          &RemoteClipboardBridge::localChanged);
  client_.onRemoteCopy = [this](const std::string& text) { remoteCopied(text); };
  sync();
}

RemoteClipboardBridge::~RemoteClipboardBridge() {
  client_.onRemoteCopy = nullptr;
}

bool RemoteClipboardBridge::joined() const {
  return client_.connected() && client_.extensions().has(SessionExtension::clipboard);
}

void RemoteClipboardBridge::sync() {
  const bool joined = this->joined();
  if (joined == joined_) return;
  joined_ = joined;
  if (joined_) localChanged();
}

void RemoteClipboardBridge::localChanged() {
  // Reading a clipboard another program owns is a round trip to it: only when it can go over.
  if (!joined()) return;
  const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
  if (!data || !data->hasText()) return;
  client_.copyToRemote(data->text().toStdString());
}

void RemoteClipboardBridge::remoteCopied(const std::string& text) {
  const QString copied = QString::fromStdString(text);
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->setText(copied, QClipboard::Clipboard);
  if (clipboard->supportsSelection()) clipboard->setText(copied, QClipboard::Selection);
}

}  // namespace veltra
