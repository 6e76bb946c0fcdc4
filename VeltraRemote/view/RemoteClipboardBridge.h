#pragma once

#include <QObject>
#include <string>

namespace veltra {

class RemoteClient;

// The local clipboard joined to the remote computer's while the client's session has the clipboard
// extension, text only: a copy here goes to the client's copyToRemote(), the host's copies land on
// the local clipboard (and on the primary selection where there is one, so that a middle click
// pastes them too). Putting the host's text here reports a local change of that same text, which
// the client's ClipboardExchange knows as the host's own and drops, so a copy never comes back.
//
// THREADING: GUI thread only, like the clipboard. `client` must outlive the bridge, which takes
// over its onRemoteCopy and clears it when it goes.
class RemoteClipboardBridge final : public QObject {
 public:
  explicit RemoteClipboardBridge(RemoteClient& client, QObject* parent = nullptr);
  ~RemoteClipboardBridge() override;

  // Called after every change of the client. When the extension comes on, the text already on the
  // local clipboard goes over, so that what was copied before connecting pastes there too.
  void sync();

 private:
  bool joined() const;
  void localChanged();
  void remoteCopied(const std::string& text);

  RemoteClient& client_;
  bool joined_ = false;
};

}  // namespace veltra
