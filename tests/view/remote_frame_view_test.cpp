// The picture view on a real X server with Mesa's software OpenGL: what reaches the framebuffer,
// when redraws are counted, and when input capture ends.

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <QWidget>
#include <QWindow>

#include "view/RemoteFrameView.h"
#include "view/fake_view_client.h"
#include "view/view_test_support.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace veltra {
namespace {

using test::FakeViewClient;
using test::near;
using test::processFor;
using test::processUntil;

const std::vector<QColor> kBars = {QColor(255, 0, 0),     QColor(0, 255, 0),    QColor(0, 0, 255),
                                   QColor(255, 255, 255), QColor(200, 180, 40), QColor(30, 60, 90)};

// A 300×200 picture (rows padded) in a 400×300 view: drawn 400×266.7 from y 16.7 to 283.3.
class RemoteFrameViewTest : public testing::Test {
 protected:
  void SetUp() override {
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    view = new RemoteFrameView(client, &window);
    other = new QLineEdit(&window);
    layout->addWidget(view);
    layout->addWidget(other);
    view->setFixedSize(400, 300);
    QObject::connect(view, &QOpenGLWidget::frameSwapped, [this] { ++swaps; });
    window.show();
    ASSERT_TRUE(processUntil([&] { return window.windowHandle()->isExposed() && swaps > 0; }));
    // Whatever the first exposure brought is over.
    processFor(100);
    swaps = 0;
  }

  std::shared_ptr<const RemoteFrame> picture(QColor colour) {
    return test::barsPicture(300, 200, {colour}, AV_PIX_FMT_YUV420P, AVCOL_SPC_UNSPECIFIED);
  }
  // Waits for the redraw of a new picture to reach the screen.
  bool showNew(std::shared_ptr<const RemoteFrame> frame) {
    const int before = swaps;
    view->setIncomingFrame(std::move(frame));
    return processUntil([&] { return swaps > before; });
  }
  QColor pixel(const QImage& image, int x, int y) { return QColor(image.pixel(x, y)); }
  bool activate(QWidget& widget) {
    widget.activateWindow();
    return processUntil([&] { return QApplication::activeWindow() == &widget; });
  }

  FakeViewClient client;
  QWidget window;
  RemoteFrameView* view = nullptr;
  QLineEdit* other = nullptr;
  int swaps = 0;
};

TEST_F(RemoteFrameViewTest, ColourBarsSurviveTheShaderFittedBetweenBlackBars) {
  struct Case {
    int pixelFormat;
    int colorSpace;
  };
  for (Case c :
       {Case{AV_PIX_FMT_YUV420P, AVCOL_SPC_UNSPECIFIED},
        Case{AV_PIX_FMT_NV12, AVCOL_SPC_UNSPECIFIED}, Case{AV_PIX_FMT_YUV420P, AVCOL_SPC_BT709}}) {
    SCOPED_TRACE(testing::Message() << "format " << c.pixelFormat << " matrix " << c.colorSpace);
    ASSERT_TRUE(showNew(test::barsPicture(300, 200, kBars, c.pixelFormat, c.colorSpace)));
    const QImage image = view->grabFramebuffer();
    ASSERT_EQ(image.size(), QSize(400, 300));
    for (int x : {0, 200, 399}) {
      EXPECT_EQ(pixel(image, x, 0), QColor(Qt::black)) << x;
      EXPECT_EQ(pixel(image, x, 15), QColor(Qt::black)) << x;
      EXPECT_EQ(pixel(image, x, 285), QColor(Qt::black)) << x;
      EXPECT_EQ(pixel(image, x, 299), QColor(Qt::black)) << x;
    }
    // The picture reaches the bars' edges and no further: rows 17 and 283 are picture.
    EXPECT_NE(pixel(image, 30, 17), QColor(Qt::black));
    EXPECT_NE(pixel(image, 30, 282), QColor(Qt::black));
    for (size_t bar = 0; bar < kBars.size(); ++bar) {
      const int x = static_cast<int>((bar + 0.5) * 400 / kBars.size());
      for (int y : {30, 150, 270}) {
        EXPECT_TRUE(near(pixel(image, x, y), kBars[bar]))
            << "bar " << bar << " at " << x << "," << y << ": "
            << pixel(image, x, y).name().toStdString() << " for "
            << kBars[bar].name().toStdString();
      }
    }
  }
}

TEST_F(RemoteFrameViewTest, TwoPicturesBetweenRedrawsAreOnePresentationOfTheNewer) {
  client.streaming();
  view->setIncomingFrame(picture(Qt::red));
  ASSERT_TRUE(showNew(picture(Qt::blue)));
  processFor(150);
  EXPECT_EQ(client.presentations, 1);
  EXPECT_TRUE(near(view->grabFramebuffer().pixelColor(200, 150), Qt::blue));

  // Redrawing the same picture (an expose, a resize) is not a presentation.
  const int before = swaps;
  view->update();
  ASSERT_TRUE(processUntil([&] { return swaps > before; }));
  EXPECT_EQ(client.presentations, 1);

  ASSERT_TRUE(showNew(picture(Qt::green)));
  EXPECT_EQ(client.presentations, 2);
}

TEST_F(RemoteFrameViewTest, PicturesAreShownButNotCountedWhileNotConnected) {
  ASSERT_TRUE(showNew(picture(Qt::red)));
  EXPECT_EQ(client.presentations, 0);
  EXPECT_TRUE(near(view->grabFramebuffer().pixelColor(200, 150), Qt::red));

  view->clearFrames();
  EXPECT_FALSE(view->hasPicture());
  processFor(50);
  EXPECT_EQ(view->grabFramebuffer().pixelColor(200, 150), QColor(Qt::black));
}

TEST_F(RemoteFrameViewTest, RedrawsOnlyForNewPicturesAndAtMost120ASecond) {
  client.streaming();
  ASSERT_TRUE(showNew(picture(Qt::red)));
  // A still remote screen: no redraw at all.
  const int still = swaps;
  processFor(300);
  EXPECT_EQ(swaps, still);

  // Pictures far faster than 120 a second: many are skipped, none queued.
  const std::shared_ptr<const RemoteFrame> pictures[] = {picture(Qt::red), picture(Qt::blue)};
  const int before = swaps, presentedBefore = client.presentations;
  QElapsedTimer elapsed;
  elapsed.start();
  int offered = 0;
  while (elapsed.elapsed() < 500) {
    view->setIncomingFrame(pictures[offered % 2]);
    ++offered;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
  }
  processFor(50);
  const int redraws = swaps - before;
  EXPECT_GT(redraws, 0);
  EXPECT_LE(redraws, elapsed.elapsed() * 120 / 1000 + 2);
  EXPECT_LT(redraws, offered);
  EXPECT_EQ(client.presentations - presentedBefore, redraws);
}

TEST_F(RemoteFrameViewTest, ClickingThePictureTakesFocusAndLosingItEndsCapture) {
  client.streaming();
  ASSERT_TRUE(showNew(picture(Qt::red)));
  ASSERT_TRUE(activate(window));
  auto click = [&](QPointF at) {
    QMouseEvent press(QEvent::MouseButtonPress, at, view->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, view->mapToGlobal(at), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(view, &release);
  };

  // On the black bar: nothing.
  click(QPointF(200, 5));
  EXPECT_FALSE(client.inputEnabled());
  EXPECT_FALSE(view->hasFocus());

  click(QPointF(200, 150));
  ASSERT_TRUE(client.inputEnabled());
  EXPECT_TRUE(view->hasFocus());
  ASSERT_EQ(client.sent.size(), 2u);  // the click itself

  // Focus moves to another widget of the window: capture ends.
  const int releases = client.releases;
  other->setFocus();
  EXPECT_FALSE(client.inputEnabled());
  EXPECT_GT(client.releases, releases);

  // The chord gives up focus as well as capture.
  click(QPointF(200, 150));
  ASSERT_TRUE(view->hasFocus());
  QKeyEvent chord(QEvent::KeyPress, Qt::Key_Escape,
                  Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier, 9, 0, 0);
  QApplication::sendEvent(view, &chord);
  EXPECT_FALSE(client.inputEnabled());
  EXPECT_FALSE(view->hasFocus());

  // Hiding the view ends capture.
  click(QPointF(200, 150));
  ASSERT_TRUE(client.inputEnabled());
  view->hide();
  EXPECT_FALSE(client.inputEnabled());
}

TEST_F(RemoteFrameViewTest, AnotherWindowOfTheApplicationBecomingActiveEndsCapture) {
  client.streaming();
  ASSERT_TRUE(showNew(picture(Qt::red)));
  ASSERT_TRUE(activate(window));
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(200, 150),
                    view->mapToGlobal(QPointF(200, 150)), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(view, &press);
  ASSERT_TRUE(client.inputEnabled());

  QWidget second;
  second.resize(200, 100);
  second.show();
  ASSERT_TRUE(activate(second));
  EXPECT_FALSE(client.inputEnabled());
}

TEST_F(RemoteFrameViewTest, DestroyingTheViewEndsCapture) {
  client.streaming();
  ASSERT_TRUE(showNew(picture(Qt::red)));
  client.setInputEnabled(true);
  ASSERT_TRUE(client.inputEnabled());
  delete view;
  view = nullptr;
  EXPECT_FALSE(client.inputEnabled());
}

}  // namespace
}  // namespace veltra
