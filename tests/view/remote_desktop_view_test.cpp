// The view around a real RemoteClient on Qt's event loop, streamed real H.264 by a scripted host
// over loopback: the client's pictures and state reach the screen, and capture ends on the wire.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <QWindow>

#include "client/RemoteClient.h"
#include "client/client_test_support.h"
#include "qt/QtMainQueue.h"
#include "view/RemoteDesktopView.h"
#include "view/RemoteFrameView.h"
#include "view/view_test_support.h"

namespace veltra {
namespace {

using test::near;
using test::processFor;
using test::processUntil;

// Flat grey pictures: luma 180 in limited range is (180 − 16) × 255 / 219 ≈ 191 on screen.
constexpr uint8_t kLuma = 180;
const QColor kGrey(191, 191, 191);

const test::EncodedStream& greyStream() {
  static const test::EncodedStream stream = test::encodeH264(test::StreamOptions{
      .width = 320, .height = 180, .frames = 3, .paint = test::flatPainter(kLuma)});
  return stream;
}

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
  }

  // A 400×300 view made now, mid-session, in a window with another focusable widget.
  void makeView() {
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    view = new RemoteDesktopView(client, &window);
    view->setFixedSize(400, 300);
    other = new QLineEdit(&window);
    layout->addWidget(view);
    layout->addWidget(other);
    window.show();
    ASSERT_TRUE(processUntil([&] { return window.windowHandle()->isExposed(); }));
    window.activateWindow();
    ASSERT_TRUE(processUntil([&] { return QApplication::activeWindow() == &window; }));
  }
  QColor centre() { return view->frameView()->grabFramebuffer().pixelColor(200, 150); }
  void clickPicture() {
    const QPointF at(200, 150);
    QMouseEvent press(QEvent::MouseButtonPress, at, view->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->frameView(), &press);
  }

  test::ScriptedHost host;
  QtMainQueue queue;
  RemoteClient client{queue};
  QWidget window;
  RemoteDesktopView* view = nullptr;
  QLineEdit* other = nullptr;
};

TEST_F(RemoteDesktopViewTest, AViewMadeMidSessionShowsTheLatestPictureAndASessionEndTurnsItBlack) {
  makeView();
  EXPECT_TRUE(view->frameView()->hasPicture());
  const QImage image = view->frameView()->grabFramebuffer();
  EXPECT_TRUE(near(image.pixelColor(200, 150), kGrey))
      << image.pixelColor(200, 150).name().toStdString();
  EXPECT_EQ(image.pixelColor(200, 10), QColor(Qt::black));  // 320×180 fits 400×225 from y 37.5
  EXPECT_TRUE(client.onFrame != nullptr);

  client.disconnect("Done");
  processFor(50);
  EXPECT_FALSE(view->frameView()->hasPicture());
  EXPECT_EQ(centre(), QColor(Qt::black));
}

TEST_F(RemoteDesktopViewTest, CapturedInputIsReleasedOnTheWireWhenFocusGoes) {
  makeView();
  clickPicture();
  ASSERT_TRUE(client.inputEnabled());
  EXPECT_TRUE(view->frameView()->hasFocus());
  ASSERT_TRUE(processUntil([&] { return host.count(RemotePacket::input) >= 1; }));

  const int releases = host.count(RemotePacket::releaseInput);
  other->setFocus();
  EXPECT_FALSE(client.inputEnabled());
  EXPECT_TRUE(processUntil([&] { return host.count(RemotePacket::releaseInput) > releases; }));
}

TEST_F(RemoteDesktopViewTest, RemovingTheViewReleasesInputAndUnhooksThePictures) {
  makeView();
  clickPicture();
  ASSERT_TRUE(client.inputEnabled());
  const int releases = host.count(RemotePacket::releaseInput);
  delete view;
  view = nullptr;
  EXPECT_FALSE(client.inputEnabled());
  EXPECT_TRUE(client.onFrame == nullptr);
  EXPECT_TRUE(processUntil([&] { return host.count(RemotePacket::releaseInput) > releases; }));
  // Pictures still coming find no view.
  host.sendStream(greyStream(), 0, greyStream().frames.size());
  EXPECT_TRUE(processUntil([&] { return host.count(RemotePacket::frameAck) >= 6; }));
}

TEST_F(RemoteDesktopViewTest, FocusFollowsTheClientsInputState) {
  makeView();
  clickPicture();
  ASSERT_TRUE(view->frameView()->hasFocus());
  // Input turned off elsewhere (the session's own rules): the view gives up focus.
  client.setInputEnabled(false);
  EXPECT_FALSE(view->frameView()->hasFocus());
}

}  // namespace
}  // namespace veltra
