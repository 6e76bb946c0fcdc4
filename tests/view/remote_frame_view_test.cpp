// The picture view on a real X server, drawing with Mesa's software OpenGL and on the CPU: what
// reaches the screen, when redraws are counted, and when input capture ends.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <QWindow>

#include "view/RemoteFrameView.h"
#include "view/fake_view_client.h"
#include "view/view_test_support.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace veltra::test {
namespace {

// A 300×200 picture in a 400×300 view, beside a line edit that can take the focus: the picture
// is drawn 400×266.7 from y 16.7 to 283.3.
class RemoteFrameViewTest : public testing::TestWithParam<RemoteFrameView::Drawing> {
 protected:
  void SetUp() override {
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    view = new RemoteFrameView(client, &window, GetParam());
    view->setFixedSize(400, 300);
    layout->addWidget(view);
    layout->addWidget(other = new QLineEdit(&window));
    QObject::connect(view, &RemoteFrameView::redrawn, [this] { ++swaps; });
    window.show();
    ASSERT_TRUE(processUntil([&] { return window.windowHandle()->isExposed() && swaps > 0; }));
    client.streaming();
  }
  static std::shared_ptr<const RemoteFrame> picture(QColor colour) {
    return barsPicture(300, 200, {colour}, AV_PIX_FMT_YUV420P, AVCOL_SPC_UNSPECIFIED);
  }
  // Waits for a new picture to be presented: drawn and swapped to the screen.
  bool present(std::shared_ptr<const RemoteFrame> frame) {
    const int before = client.presentations;
    view->setIncomingFrame(std::move(frame));
    return processUntil([&] { return client.presentations > before; });
  }
  QColor centre() { return view->grabPicture().pixelColor(200, 150); }
  bool activate(QWidget& widget) {
    widget.activateWindow();
    return processUntil([&] { return QApplication::activeWindow() == &widget; });
  }
  void click(QPointF at) {
    for (auto [type, held] : {std::pair{QEvent::MouseButtonPress, Qt::LeftButton},
                              {QEvent::MouseButtonRelease, Qt::NoButton}}) {
      QMouseEvent event(type, at, view->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
      QApplication::sendEvent(view, &event);
    }
  }

  FakeViewClient client;
  QWidget window;
  RemoteFrameView* view = nullptr;
  QLineEdit* other = nullptr;
  int swaps = 0;
};

TEST_P(RemoteFrameViewTest, ColourBarsSurviveTheConversionFittedBetweenBlackBars) {
  const std::vector<QColor> bars = {{255, 0, 0},     {0, 255, 0},    {0, 0, 255},
                                    {255, 255, 255}, {200, 180, 40}, {30, 60, 90}};
  for (auto [format, matrix, full] : {std::tuple{AV_PIX_FMT_YUV420P, AVCOL_SPC_UNSPECIFIED, false},
                                      {AV_PIX_FMT_NV12, AVCOL_SPC_SMPTE170M, false},
                                      {AV_PIX_FMT_YUV420P, AVCOL_SPC_BT709, false},
                                      {AV_PIX_FMT_NV12, AVCOL_SPC_BT470BG, true}}) {
    SCOPED_TRACE(testing::Message() << "format " << format << " matrix " << matrix << " " << full);
    ASSERT_TRUE(present(barsPicture(300, 200, bars, format, matrix, full)));
    const QImage image = view->grabPicture();
    // libyuv's fixed-point BT.709 coefficients clip the blue one (2.11 to 2.0): saturated blue
    // comes out up to 12 levels dim on the CPU.
    const int levels =
        GetParam() == RemoteFrameView::Drawing::raster && matrix == AVCOL_SPC_BT709 ? 16 : 4;
    // Rows 15 and 285 are bar, 17 and 282 picture already.
    for (int y : {0, 15, 285, 299}) EXPECT_EQ(image.pixelColor(200, y), QColor(Qt::black));
    EXPECT_NE(image.pixelColor(30, 17), QColor(Qt::black));
    EXPECT_NE(image.pixelColor(30, 282), QColor(Qt::black));
    for (size_t bar = 0; bar < bars.size(); ++bar) {
      const int x = int((bar + 0.5) * 400 / bars.size());
      for (int y : {30, 150, 270}) {
        EXPECT_TRUE(near(image.pixelColor(x, y), bars[bar], levels))
            << x << "," << y << ": " << image.pixelColor(x, y).name().toStdString();
      }
    }
  }
}

TEST_P(RemoteFrameViewTest, RedrawsOnlyForNewPicturesAtMost120ASecondAndCountsThoseConnected) {
  // Two pictures between redraws are one presentation, of the newer.
  view->setIncomingFrame(picture(Qt::red));
  ASSERT_TRUE(present(picture(Qt::blue)));
  // A still remote screen: no redraw at all while we look.
  const int still = swaps;
  processUntil([] { return false; }, 300ms);
  EXPECT_EQ(swaps, still);
  // Redrawing the same picture (an expose, a resize) is not a presentation.
  const int before = swaps;
  view->setFixedSize(400, 299);
  ASSERT_TRUE(processUntil([&] { return swaps > before; }));
  EXPECT_EQ(client.presentations, 1);
  EXPECT_TRUE(near(centre(), Qt::blue));

  // Pictures far faster than 120 a second: many are skipped, none queued.
  const std::shared_ptr<const RemoteFrame> pictures[] = {picture(Qt::red), picture(Qt::blue)};
  const int fast = swaps;
  const auto start = Clock::now();
  int offered = 0;
  while (Clock::now() - start < 500ms) {
    for (int i = 0; i < 3; ++i) view->setIncomingFrame(pictures[offered++ % 2]);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
  }
  ASSERT_TRUE(present(picture(Qt::green)));  // the last one offered is on screen by then too
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_LE(swaps - fast, elapsed.count() * 120 / 1000 + 2);
  EXPECT_LT(swaps - fast, offered);
  EXPECT_EQ(client.presentations - 1, swaps - fast);

  client.setConnected(false);
  const int shown = swaps;
  const int presented = client.presentations;
  view->setIncomingFrame(picture(Qt::red));
  ASSERT_TRUE(processUntil([&] { return swaps > shown; }));
  EXPECT_TRUE(near(centre(), Qt::red));
  EXPECT_EQ(client.presentations, presented);
  view->clearFrames();
  EXPECT_FALSE(view->hasPicture());
  EXPECT_EQ(centre(), QColor(Qt::black));
}

TEST_P(RemoteFrameViewTest, CaptureStartsOnAClickIntoThePictureAndEndsWhenTheViewLetsGo) {
  ASSERT_TRUE(present(picture(Qt::red)));
  ASSERT_TRUE(activate(window));
  click(QPointF(200, 150));
  ASSERT_TRUE(client.inputEnabled());
  EXPECT_TRUE(view->hasFocus());

  other->setFocus();  // focus moves within the window
  EXPECT_FALSE(client.inputEnabled());

  click(QPointF(200, 150));
  QWidget second;  // another window of the application becomes active
  second.show();
  ASSERT_TRUE(activate(second));
  EXPECT_FALSE(client.inputEnabled());

  ASSERT_TRUE(activate(window));
  click(QPointF(200, 150));
  ASSERT_TRUE(client.inputEnabled());
  view->hide();
  EXPECT_FALSE(client.inputEnabled());
  client.setInputEnabled(true);
  delete view;
  EXPECT_FALSE(client.inputEnabled());
}

INSTANTIATE_TEST_SUITE_P(Drawings, RemoteFrameViewTest,
                         testing::Values(RemoteFrameView::Drawing::opengl,
                                         RemoteFrameView::Drawing::raster),
                         [](const auto& drawing) {
                           return drawing.param == RemoteFrameView::Drawing::opengl ? "OpenGL"
                                                                                    : "Raster";
                         });

}  // namespace
}  // namespace veltra::test
