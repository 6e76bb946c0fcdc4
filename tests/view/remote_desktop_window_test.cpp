// The Veltra Remote Desktop window: profiles in, the fields as the client's values, and what the
// connection state allows.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>

#include "RemoteDesktopWindow.h"
#include "client/RemoteClient.h"
#include "client/client_test_support.h"
#include "protocol/RemoteConnectionProfile.h"
#include "qt/QtMainQueue.h"
#include "view/view_test_support.h"

namespace veltra::test {
namespace {

const std::string kKey = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";

class RemoteDesktopWindowTest : public testing::Test {
 protected:
  QString write(const QByteArray& bytes) {
    const QString path = QString::fromStdString((folder.path() / "profile.json").string());
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return path;
  }
  QString validProfile() {
    const Bytes bytes =
        RemoteConnectionProfile(1, "192.168.1.20", 12345, kKey, {2560, 1440, 60}).encoded();
    return write(QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())));
  }
  template <typename Widget = QLineEdit>
  Widget* field(const char* accessibleName) {
    for (Widget* widget : window.findChildren<Widget*>()) {
      if (widget->accessibleName() == accessibleName) return widget;
    }
    return nullptr;
  }
  QString statusLine() { return window.statusBar()->findChildren<QLabel*>().value(0)->text(); }

  TempDirectory folder;
  QtMainQueue queue;
  RemoteClient client{queue};
  RemoteDesktopWindow window{client};
};

TEST_F(RemoteDesktopWindowTest, AProfileFillsTheClientAndFieldsAndABadOneOnlySaysWhy) {
  ASSERT_TRUE(window.importProfile(validProfile()));
  EXPECT_EQ(client.address(), "192.168.1.20");
  EXPECT_EQ(client.port(), "12345");
  EXPECT_EQ(client.connectionKey(), kKey);
  EXPECT_EQ(client.configuration(), (RemoteConfiguration{2560, 1440, 60}));
  EXPECT_EQ(field("Host address")->text(), "192.168.1.20");
  EXPECT_EQ(field("Connection key")->echoMode(), QLineEdit::Password);
  EXPECT_EQ(field<QComboBox>("Display mode")->currentText(), "2560×1440 · 60 fps");

  // Too large, not JSON, a missing file: each says why and changes nothing. (What the reader
  // refuses is the protocol's tests' part.)
  const QString before = statusLine();
  for (const QString& bad : {write(QByteArray(16'385, ' ')), write("{not json"),
                             QString::fromStdString((folder.path() / "missing.json").string())}) {
    EXPECT_FALSE(window.importProfile(bad));
    EXPECT_NE(statusLine(), before);
    EXPECT_EQ(client.connectionKey(), kKey);
    EXPECT_EQ(field("Port")->text(), "12345");
  }
}

TEST_F(RemoteDesktopWindowTest, TypingEditsTheClientAndAConnectionLocksTheFields) {
  ScriptedHost host;
  QLineEdit* address = field("Host address");
  address->setText("");
  address->insert("127.0.0.1");  // the user's typing as far as textEdited goes
  EXPECT_EQ(client.address(), "127.0.0.1");
  client.setPort(std::to_string(host.port()));
  client.setConnectionKey(host.key());
  EXPECT_EQ(field("Port")->text().toStdString(), std::to_string(host.port()));

  QPushButton* connect = nullptr;
  for (QPushButton* button : window.findChildren<QPushButton*>()) {
    if (button->text() == "Connect") connect = button;
  }
  ASSERT_NE(connect, nullptr);
  connect->click();
  host.accept();
  ASSERT_TRUE(processUntil([&] { return client.connected(); }));
  EXPECT_EQ(connect->text(), "Disconnect");
  EXPECT_FALSE(address->isEnabled());
  EXPECT_FALSE(field<QComboBox>("Display mode")->isEnabled());
  EXPECT_FALSE(window.importProfile(validProfile()));  // not while connected
  EXPECT_EQ(client.address(), "127.0.0.1");

  connect->click();
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(connect->text(), "Connect");
  EXPECT_TRUE(address->isEnabled());
}

}  // namespace
}  // namespace veltra::test
