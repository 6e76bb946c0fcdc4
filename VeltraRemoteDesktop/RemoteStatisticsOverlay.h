#pragma once

#include <QStringList>
#include <QWidget>

namespace veltra {

class RemoteClient;

// The session's figures in a small translucent box over a corner of the picture, for full
// screen, where the status line is hidden: pictures decoded and displayed per second, the round
// trip, the video's bit rate, the host's encoder and our decoder.
//
// It repaints only when a figure changes, which the client announces about once a second: the
// picture below is drawn by OpenGL and composed with it, so new pictures do not repaint the box.
// It takes neither focus nor the pointer, which stay with the picture under it.
//
// THREADING: GUI thread only. `client` must outlive the overlay.
class RemoteStatisticsOverlay : public QWidget {
  Q_OBJECT

 public:
  RemoteStatisticsOverlay(const RemoteClient& client, QWidget* parent);

  // Reads the client's figures; resizes and repaints only if one changed.
  void sync();
  // Puts the box in the top-right corner of `picture` (in the parent's coordinates); after
  // sync(), which sets its width.
  void place(const QRect& picture);
  // The rows as shown, "Label: value" one a line.
  QString text() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const RemoteClient& client_;
  QStringList values_;
  // Where the values' column starts, past the widest label.
  int valueColumn_ = 0;
};

}  // namespace veltra
