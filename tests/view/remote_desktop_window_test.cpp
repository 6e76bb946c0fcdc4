// The Veltra Remote Desktop window: profiles in, the fields as the client's values, and what the
// connection state allows.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>

#include "RemoteDesktopWindow.h"
#include "client/RemoteClient.h"
#include "client/client_test_support.h"
#include "protocol/RemoteConnectionProfile.h"
#include "qt/QtMainQueue.h"
#include "view/view_test_support.h"

namespace veltra {
namespace {

using test::processUntil;

const std::string kKey = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";

class RemoteDesktopWindowTest : public testing::Test {
 protected:
  QString write(const std::string& name, const QByteArray& bytes) {
    const QString path = directory.filePath(QString::fromStdString(name));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return path;
  }
  QString validProfile() {
    RemoteConnectionProfile profile(1, "192.168.1.20", 12345, kKey, {2560, 1440, 60});
    const Bytes bytes = profile.encoded();
    return write("host.json", QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<qsizetype>(bytes.size())));
  }
  template <typename Widget>
  Widget* field(const char* accessibleName) {
    for (Widget* widget : window.findChildren<Widget*>()) {
      if (widget->accessibleName() == accessibleName) return widget;
    }
    return nullptr;
  }
  QString statusLine() { return window.statusBar()->findChildren<QLabel*>().value(0)->text(); }

  QTemporaryDir directory;
  QtMainQueue queue;
  RemoteClient client{queue};
  RemoteDesktopWindow window{client};
};

TEST_F(RemoteDesktopWindowTest, AProfileFillsTheFieldsAndABadOneOnlySaysWhy) {
  EXPECT_EQ(window.windowTitle(), "Veltra Remote Desktop");
  EXPECT_EQ(statusLine(), QString::fromStdString(client.status()));
  EXPECT_EQ(field<QComboBox>("Display mode")->currentText(), "1920×1080 · 120 fps");

  ASSERT_TRUE(window.importProfile(validProfile()));
  EXPECT_EQ(client.address(), "192.168.1.20");
  EXPECT_EQ(client.port(), "12345");
  EXPECT_EQ(client.connectionKey(), kKey);
  EXPECT_EQ(client.configuration(), (RemoteConfiguration{2560, 1440, 60}));
  EXPECT_EQ(field<QLineEdit>("Host address")->text(), "192.168.1.20");
  EXPECT_EQ(field<QLineEdit>("Port")->text(), "12345");
  EXPECT_EQ(field<QLineEdit>("Connection key")->text(), QString::fromStdString(kKey));
  EXPECT_EQ(field<QLineEdit>("Connection key")->echoMode(), QLineEdit::Password);
  EXPECT_EQ(field<QComboBox>("Display mode")->currentText(), "2560×1440 · 60 fps");

  // Each failure shows the reader's own words and leaves every field as it was.
  const std::pair<QByteArray, std::string> failures[] = {
      {QByteArray(16'385, ' '), "Connection JSON is too large."},
      {QByteArray(R"({"address":"a","configuration":{"fps":60,"height":1080,"width":1920},)"
                  R"("connectionKey":"short","port":9876,"version":1})"),
       "Use the 32-byte connection key shown by Veltra Host."},
      {QByteArray(R"({"address":"a","configuration":{"fps":30,"height":1080,"width":1920},)"
                  R"("connectionKey":"short","port":9876,"version":1})"),
       "Invalid connection profile: check version, address, port and display settings."},
  };
  for (const auto& [bytes, message] : failures) {
    EXPECT_FALSE(window.importProfile(write("bad.json", bytes)));
    EXPECT_EQ(statusLine().toStdString(), message);
    EXPECT_EQ(client.address(), "192.168.1.20");
    EXPECT_EQ(field<QLineEdit>("Port")->text(), "12345");
  }
  // Not JSON: the JSON reader's message, whatever it says.
  EXPECT_FALSE(window.importProfile(write("bad.json", "{not json")));
  EXPECT_FALSE(statusLine().isEmpty());
  EXPECT_NE(statusLine(), "Use the 32-byte connection key shown by Veltra Host.");
  EXPECT_EQ(client.connectionKey(), kKey);
  // A file that is not there.
  EXPECT_FALSE(window.importProfile(directory.filePath("missing.json")));
  EXPECT_TRUE(statusLine().startsWith("Cannot read ")) << statusLine().toStdString();
}

TEST_F(RemoteDesktopWindowTest, TypingEditsTheClientAndAConnectionLocksTheFields) {
  test::ScriptedHost host;
  auto* address = field<QLineEdit>("Host address");
  address->setFocus();
  address->setText("");
  address->insert("127.0.0.1");
  // insert() is the user's typing as far as textEdited goes.
  EXPECT_EQ(client.address(), "127.0.0.1");
  client.setPort(std::to_string(host.port()));
  client.setConnectionKey(host.key());
  EXPECT_EQ(field<QLineEdit>("Port")->text().toStdString(), std::to_string(host.port()));

  QPushButton* connectButton = nullptr;
  for (QPushButton* candidate : window.findChildren<QPushButton*>()) {
    if (candidate->text() == "Connect") connectButton = candidate;
  }
  ASSERT_NE(connectButton, nullptr);
  connectButton->click();
  host.accept();
  ASSERT_TRUE(processUntil([&] { return client.connected(); }));
  EXPECT_EQ(connectButton->text(), "Disconnect");
  EXPECT_FALSE(address->isEnabled());
  EXPECT_FALSE(field<QComboBox>("Display mode")->isEnabled());
  // No profile while an attempt is under way.
  EXPECT_FALSE(window.importProfile(validProfile()));
  EXPECT_EQ(client.address(), "127.0.0.1");

  connectButton->click();
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(statusLine(), "Disconnected");
  EXPECT_EQ(connectButton->text(), "Connect");
  EXPECT_TRUE(address->isEnabled());
}

}  // namespace
}  // namespace veltra
