// The Veltra Remote Desktop window around a real RemoteClient on Qt's event loop, which a scripted
// host streams real H.264 over loopback.

#include <gtest/gtest.h>

#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <fstream>

#include "RemoteDesktopWindow.h"
#include "client/RemoteClient.h"
#include "client/client_test_support.h"
#include "protocol/RemoteConnectionProfile.h"
#include "qt/QtMainQueue.h"
#include "view/RemoteFrameView.h"
#include "view/view_test_support.h"

namespace veltra::test {
namespace {

class RemoteDesktopWindowTest : public testing::Test {
 protected:
  QString write(std::string_view bytes, const char* name = "profile.json") {
    const fs::path path = folder.path() / name;
    std::ofstream(path) << bytes;
    return QString::fromStdString(path.string());
  }
  QString validProfile() {
    return write(asText(
        RemoteConnectionProfile(1, "192.168.1.20", 12345, host.key(), {2560, 1440, 60}).encoded()));
  }
  template <typename Widget = QLineEdit>
  Widget* field(const char* accessibleName) {
    for (Widget* widget : window.findChildren<Widget*>()) {
      if (widget->accessibleName() == accessibleName) return widget;
    }
    return nullptr;
  }
  RemoteFrameView* view() { return window.findChild<RemoteFrameView*>(); }

  TempDirectory folder;
  ScriptedHost host;
  QtMainQueue queue;
  // Offering what the application's window offers; a host that confirms none is a base host.
  RemoteClient client{queue, [] {
                        RemoteClient::Options options;
                        options.extensions = SessionExtensions::all();
                        return options;
                      }()};
  RemoteDesktopWindow window{client};
};

TEST_F(RemoteDesktopWindowTest,
       ProfilesAndTypingFillTheClientAndAConnectionLocksThemAndShowsItsPictures) {
  ASSERT_TRUE(window.importProfile(validProfile()));
  EXPECT_EQ(field<QComboBox>("Display mode")->currentText(), "2560×1440 · 60 fps");
  EXPECT_EQ(field("Connection key")->echoMode(), QLineEdit::Password);
  // Too large, not JSON, a missing file: each says why and changes nothing.
  QLabel* status = window.statusBar()->findChild<QLabel*>();
  const QString before = status->text();
  for (const QString& bad : {write(std::string(16'385, ' '), "large.json"), write("{not json"),
                             QString::fromStdString((folder.path() / "missing.json").string())}) {
    EXPECT_FALSE(window.importProfile(bad));
    EXPECT_NE(status->text(), before);
    EXPECT_EQ(field("Port")->text(), "12345");
  }

  QLineEdit* address = field("Host address");
  address->setText("");
  address->insert("127.0.0.1");  // the user's typing as far as textEdited goes
  EXPECT_EQ(client.address(), "127.0.0.1");
  client.setPort(std::to_string(host.port()));
  EXPECT_EQ(field("Port")->text().toStdString(), std::to_string(host.port()));
  QPushButton* connect = window.findChild<QPushButton*>();
  ASSERT_EQ(connect->text(), "Connect");
  connect->click();
  host.accept();
  ASSERT_TRUE(processUntil([&] { return client.connected(); }));
  EXPECT_EQ(connect->text(), "Disconnect");
  EXPECT_FALSE(address->isEnabled());
  EXPECT_FALSE(field<QComboBox>("Display mode")->isEnabled());
  EXPECT_FALSE(window.importProfile(validProfile()));  // not while connected
  const EncodedStream grey = encodeH264(
      StreamOptions{.width = 320, .height = 180, .frames = 3, .paint = flatPainter(180)});
  host.sendStream(grey, 0, grey.frames.size());
  ASSERT_TRUE(processUntil([&] { return view()->hasPicture(); }));
  // While the input is captured: one pointer over the picture, the host's, and the keyboard
  // grabbed, so that Alt+Tab and Super go to the remote desktop.
  window.show();
  window.activateWindow();
  ASSERT_TRUE(processUntil([&] { return window.isActiveWindow(); }));
  client.setInputEnabled(true);
  EXPECT_EQ(view()->cursor().shape(), Qt::BlankCursor);
  EXPECT_EQ(QWidget::keyboardGrabber(), view());
  client.setInputEnabled(false);
  EXPECT_EQ(view()->cursor().shape(), Qt::ArrowCursor);
  EXPECT_EQ(QWidget::keyboardGrabber(), nullptr);
  connect->click();
  EXPECT_FALSE(client.connected());
  EXPECT_TRUE(processUntil([&] { return !view()->hasPicture(); }));  // black once it ends
  EXPECT_TRUE(address->isEnabled());
}

TEST_F(RemoteDesktopWindowTest, AHostWithTheExtensionsSharesTheClipboardAndShowsItsPointer) {
  QClipboard* clipboard = QApplication::clipboard();
  clipboard->setText("copied before");
  client.setAddress("127.0.0.1");
  client.setPort(std::to_string(host.port()));
  client.setConnectionKey(host.key());
  client.connect();
  host.accept();
  ASSERT_TRUE(processUntil([&] { return client.connected(); }));
  host.send(RemotePacket::configuration,
            configurationJson(client.configuration(), SessionExtensions::all()));
  const auto copies = [&] {
    std::vector<std::string> texts;
    for (const Bytes& payload : host.payloads(RemotePacket::clipboard))
      texts.emplace_back(asText(payload));
    return texts;
  };
  // What was on the clipboard goes over once the host confirms.
  ASSERT_TRUE(processUntil([&] { return copies().size() == 1; }));
  EXPECT_EQ(copies()[0], "copied before");
  // Past the rate limit, so that an echo would go at once rather than wait and be replaced.
  processUntil([] { return false; }, ClipboardExchange::kInterval + 50ms);
  const std::string remote = "Grüße, 世界 ✓";
  host.send(RemotePacket::clipboard, remote);
  ASSERT_TRUE(processUntil([&] { return clipboard->text() == QString::fromStdString(remote); }));
  EXPECT_TRUE(!clipboard->supportsSelection() ||
              clipboard->text(QClipboard::Selection) == QString::fromStdString(remote));
  clipboard->setText("local ✓");
  // In order: the host's own text, had it come back, would have arrived before this one.
  ASSERT_TRUE(processUntil([&] { return copies().size() >= 2; }));
  EXPECT_EQ(copies(), (std::vector<std::string>{"copied before", "local ✓"}));

  // The host's pointer, half-transparent red, at the picture's scale while input is captured.
  const EncodedStream grey = encodeH264(
      StreamOptions{.width = 320, .height = 180, .frames = 1, .paint = flatPainter(180)});
  host.sendStream(grey, 0, grey.frames.size());
  ASSERT_TRUE(processUntil([&] { return view()->hasPicture(); }));
  window.show();
  client.setInputEnabled(true);
  host.send(RemotePacket::cursor,
            CursorImage{24, 24, 6, 9, std::vector<uint32_t>(576, 0x80800000)}.encode());
  ASSERT_TRUE(processUntil([&] { return view()->cursor().shape() == Qt::BitmapCursor; }));
  const auto scaledAsThePicture = [&] {
    const double scale = view()->viewport().rect.width() / 320;
    const QCursor cursor = view()->cursor();
    return cursor.shape() == Qt::BitmapCursor &&
           cursor.pixmap().size() == QSize(qRound(24 * scale), qRound(24 * scale)) &&
           cursor.hotSpot() == QPoint(int(6.5 * scale), int(9.5 * scale));
  };
  EXPECT_TRUE(scaledAsThePicture());
  const QColor pixel = view()->cursor().pixmap().toImage().pixelColor(8, 8);
  EXPECT_TRUE(pixel.red() > 240 && std::abs(pixel.alpha() - 128) < 8)
      << pixel.name(QColor::HexArgb).toStdString();
  const int width = view()->width();
  window.resize(window.size() + QSize(300, 200));
  ASSERT_TRUE(processUntil([&] { return view()->width() != width; }));
  EXPECT_TRUE(scaledAsThePicture());
  client.setInputEnabled(false);
  EXPECT_EQ(view()->cursor().shape(), Qt::ArrowCursor);
}

}  // namespace
}  // namespace veltra::test
