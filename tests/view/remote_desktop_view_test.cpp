// The view around a real RemoteClient on Qt's event loop, streamed real H.264 by a scripted host
// over loopback: the client's pictures and state reach the screen, and capture ends on the wire.

#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>

#include "client/RemoteClient.h"
#include "client/client_test_support.h"
#include "qt/QtMainQueue.h"
#include "view/RemoteDesktopView.h"
#include "view/RemoteFrameView.h"
#include "view/view_test_support.h"

namespace veltra::test {
namespace {

// Flat grey: luma 180 in limited range is (180 − 16) × 255 / 219 ≈ 191 on screen.
const EncodedStream& greyStream() {
  static const EncodedStream stream = encodeH264(
      StreamOptions{.width = 320, .height = 180, .frames = 3, .paint = flatPainter(180)});
  return stream;
}

// A session with a picture, and then a 400×300 view made mid-session.
class RemoteDesktopViewTest : public testing::Test {
 protected:
  void SetUp() override {
    client.setAddress("127.0.0.1");
    client.setPort(std::to_string(host.port()));
    client.setConnectionKey(host.key());
    client.connect();
    host.accept();
    ASSERT_TRUE(processUntil([&] { return client.connected(); }));
    host.sendStream(greyStream(), 0, greyStream().frames.size());
    ASSERT_TRUE(processUntil([&] { return client.latestFrame() != nullptr; }));

    view = new RemoteDesktopView(client, &window);
    view->setFixedSize(400, 300);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(processUntil([&] { return QApplication::activeWindow() == &window; }));
  }
  QColor pixel(int x, int y) { return view->frameView()->grabFramebuffer().pixelColor(x, y); }
  void clickPicture() {
    const QPointF at(200, 150);
    QMouseEvent press(QEvent::MouseButtonPress, at, view->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->frameView(), &press);
  }

  ScriptedHost host;
  QtMainQueue queue;
  RemoteClient client{queue};
  QWidget window;
  RemoteDesktopView* view = nullptr;
};

TEST_F(RemoteDesktopViewTest, AViewMadeMidSessionShowsTheLatestPictureAndASessionEndTurnsItBlack) {
  EXPECT_TRUE(near(pixel(200, 150), QColor(191, 191, 191))) << pixel(200, 150).name().toStdString();
  EXPECT_EQ(pixel(200, 10), QColor(Qt::black));  // 320×180 fits 400×225 from y 37.5
  client.disconnect("Done");
  ASSERT_TRUE(processUntil([&] { return !view->frameView()->hasPicture(); }));
  EXPECT_EQ(pixel(200, 150), QColor(Qt::black));
}

// Turning input on and off on the wire is the client's part, tested with the client.
TEST_F(RemoteDesktopViewTest, FocusFollowsTheClientsInputAndRemovingTheViewUnhooksIt) {
  clickPicture();
  ASSERT_TRUE(client.inputEnabled());
  EXPECT_TRUE(view->frameView()->hasFocus());
  client.setInputEnabled(false);  // the session's own rules
  EXPECT_FALSE(view->frameView()->hasFocus());

  clickPicture();
  ASSERT_TRUE(client.inputEnabled());
  delete view;
  EXPECT_FALSE(client.inputEnabled());
  EXPECT_TRUE(client.onFrame == nullptr);
  // Pictures still coming find no view.
  host.sendStream(greyStream(), 0, greyStream().frames.size());
  EXPECT_TRUE(processUntil([&] { return host.count(RemotePacket::frameAck) >= 6; }));
}

}  // namespace
}  // namespace veltra::test
