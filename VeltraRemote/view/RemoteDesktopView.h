#pragma once

#include <QWidget>
#include <memory>

#include "view/RemoteObserverBag.h"

namespace veltra {

class RemoteClient;
class RemoteClipboardBridge;
class RemoteFrameView;

// The remote picture of one RemoteClient, with input capture: owns the RemoteFrameView and keeps
// it in step with the client. It hands the client's pictures to the view (the current one at once,
// so a view made mid-session shows the picture without waiting for the next), clears them when the
// client is not connected so the view turns black, gives the view keyboard focus while input is
// enabled and takes it away when not. While input is captured, the pointer over the picture is the
// host's: the image the cursor extension sends, or none of ours where the host draws it into the
// picture. The local clipboard is joined to the remote one while the session has the clipboard
// extension. When it goes, input is turned off first and the client's callbacks cleared, so
// nothing reaches a view that no longer exists.
//
// THREADING: GUI thread only. `client` must outlive the view; the view takes over its onFrame,
// onCursor and onRemoteCopy.
class RemoteDesktopView : public QWidget {
  Q_OBJECT

 public:
  explicit RemoteDesktopView(RemoteClient& client, QWidget* parent = nullptr);
  ~RemoteDesktopView() override;

  RemoteFrameView* frameView() const { return frameView_; }

 private:
  class ClientLink;
  // Called after every change of the client.
  void sync();

  RemoteClient& client_;
  std::unique_ptr<ClientLink> link_;
  RemoteFrameView* frameView_;
  std::unique_ptr<RemoteClipboardBridge> clipboard_;
  std::unique_ptr<RemoteObserverBag> observers_;
};

}  // namespace veltra
