// The Veltra Remote Desktop window around a real RemoteClient on Qt's event loop, which a scripted
// host streams real H.264 over loopback.

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <fstream>

#include "RemoteDesktopWindow.h"
#include "RemoteStatisticsOverlay.h"
#include "client/RemoteClient.h"
#include "client/client_test_support.h"
#include "protocol/RemoteConnectionProfile.h"
#include "qt/QtMainQueue.h"
#include "view/RemoteFrameView.h"
#include "view/RemoteKeyMap.h"
#include "view/view_test_support.h"

namespace veltra::test {
namespace {

// Another client of the display, as a window manager is one: a passive grab of `key` with
// `modifiers` on the root window, and X keycodes (evdev rules) typed through XTEST.
struct XDesktopClient {
  XDesktopClient(uint8_t key, uint16_t modifiers) : x(xcb_connect(nullptr, nullptr)) {
    xcb_grab_key(x, 1, xcb_setup_roots_iterator(xcb_get_setup(x)).data->root, modifiers, key,
                 XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
  }
  ~XDesktopClient() { xcb_disconnect(x); }
  // Presses the keys in order, then releases them in reverse.
  void type(std::vector<uint8_t> keys) {
    for (uint8_t key : keys) xcb_test_fake_input(x, XCB_KEY_PRESS, key, 0, XCB_NONE, 0, 0, 0);
    for (auto key = keys.rbegin(); key != keys.rend(); ++key)
      xcb_test_fake_input(x, XCB_KEY_RELEASE, *key, 0, XCB_NONE, 0, 0, 0);
    xcb_flush(x);
  }
  int keyPresses() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(x))
      presses += (event->response_type & 0x7f) == XCB_KEY_PRESS, std::free(event);
    return presses;
  }
  xcb_connection_t* x;
  int presses = 0;
};

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
       ProfilesAndTypingFillTheClientAndAConnectionLocksThemShowsItsPicturesAndTakesTheKeyboard) {
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
  window.show();
  window.activateWindow();
  ASSERT_TRUE(processUntil([&] { return window.isActiveWindow(); }));
  // The figures over the picture only in full screen, where the status line is hidden.
  auto* overlay = window.findChild<RemoteStatisticsOverlay*>();
  QAction* statistics = window.actions().last();  // View → Statistics Overlay
  statistics->trigger();
  EXPECT_FALSE(overlay->isVisible());
  window.toggleFullScreen();
  EXPECT_TRUE(processUntil([&] {
    return overlay->isVisible() && overlay->text().endsWith("Encoder: –\nDecoder: h264");
  }));

  // While the input is captured: one pointer over the picture, the host's, and the keyboard
  // grabbed, so that a window manager's Alt+Tab goes to the remote desktop; the overlay chord
  // stays here. X keycodes: Tab 23, Alt 64, Control 37, Super 133, O 32, Escape 9.
  XDesktopClient desktop(23, XCB_MOD_MASK_1);
  client.setInputEnabled(true);
  EXPECT_EQ(view()->cursor().shape(), Qt::BlankCursor);
  desktop.type({64, 23});
  desktop.type({37, 64, 133, 32});
  desktop.type({37, 64, 133, 9});
  std::vector<RemoteInput> sent;
  ASSERT_TRUE(processUntil([&] {  // up to the chord's release, which comes after all of it
    bool released = false;
    sent.clear();
    for (const auto& [type, payload] : host.packets()) {
      if (type == RemotePacket::input) sent.push_back(RemoteInput::decodeJson(payload));
      released = type == RemotePacket::releaseInput || (released && type != RemotePacket::input);
    }
    return released && !sent.empty();
  }));
  EXPECT_TRUE(std::ranges::any_of(
      sent, [](auto& in) { return in.key == 48 && (in.flags & remote_keys::kOptionFlag); }));
  EXPECT_TRUE(std::ranges::none_of(sent, [](auto& in) { return in.key == remote_keys::kO; }));
  EXPECT_EQ(desktop.keyPresses(), 0);
  EXPECT_FALSE(statistics->isChecked() || overlay->isVisible());
  EXPECT_EQ(view()->cursor().shape(), Qt::ArrowCursor);
  // The desktop's again once our ungrab has reached the X server.
  EXPECT_TRUE(processUntil([&] { return desktop.type({64, 23}), desktop.keyPresses() > 0; }));
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

TEST_F(RemoteDesktopWindowTest, MuteSoundIsTheClientsMuteBothWays) {
  QAction* mute = window.menuBar()->actions().last()->menu()->actions().last();
  ASSERT_EQ(mute->text(), "Mute Sound");
  mute->trigger();
  EXPECT_TRUE(client.audioMuted());
  client.setAudioMuted(false);
  EXPECT_FALSE(mute->isChecked());
}

}  // namespace
}  // namespace veltra::test
