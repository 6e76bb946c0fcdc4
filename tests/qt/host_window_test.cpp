#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <fstream>

#include "VeltraHostApp/HostProfileExport.h"
#include "VeltraHostApp/HostWindow.h"
#include "host/RemoteHost.h"
#include "host/host_test_support.h"
#include "protocol/KeyFile.h"
#include "protocol/RemoteConnectionProfile.h"
#include "qt/QtMainQueue.h"
#include "view/view_test_support.h"

namespace veltra::test {
namespace {

class HostWindowTest : public ::testing::Test {
 public:
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
    makeHost();
  }
  void TearDown() override {
    window_.reset();
    if (client_) client_->cancel();
    if (host_->running() || host_->stopping()) host_->stop();
    while (!record_->heldCompletions.empty()) completeHeldDisplay();
    processUntil([&] { return !host_->stopping(); });
    host_.reset();
    QApplication::processEvents();  // tasks the host left find it gone
    ::unsetenv("XDG_CONFIG_HOME");
  }
  void makeHost() {
    host_ = std::make_unique<RemoteHost>(main_, std::make_unique<FakeHostPlatform>(main_, record_));
    host_->setPort(freePort());
  }
  void openWindow(HostView::Options options = {}) {
    options.addresses = [this] { return addresses_; };
    window_ = std::make_unique<HostWindow>(*host_, std::move(options));
    window_->show();
    QApplication::processEvents();
  }
  // A new window on a new, stopped host, as after a quit: only what the window kept comes back.
  void relaunch(HostView::Options options = {}) {
    window_.reset();
    makeHost();
    openWindow(std::move(options));
  }
  void show(HostSection section) {
    window_->view().setSection(section);
    QApplication::processEvents();
  }
  // Visible buttons by text, other widgets by accessible name (a value label takes its row's).
  template <typename T = QAbstractButton>
  std::vector<T*> visible(const QString& name) {
    std::vector<T*> found;
    for (T* w : window_->findChildren<T*>()) {
      const QString& key = std::is_same_v<T, QAbstractButton> ? w->text() : w->accessibleName();
      if (w->isVisibleTo(window_.get()) && key == name) found.push_back(w);
    }
    return found;
  }
  template <typename T = QLabel>
  T* named(const QString& name) {
    const std::vector<T*> found = visible<T>(name);
    return found.size() == 1 ? found.front() : nullptr;
  }
  QAbstractButton* button(const QString& text) { return named<QAbstractButton>(text); }
  size_t count(const QString& text) { return visible(text).size(); }
  QLabel* label(const char* objectName) { return window_->findChild<QLabel*>(objectName); }
  void click(const QString& text) {
    QAbstractButton* target = button(text);
    ASSERT_TRUE(target && target->isEnabled()) << text.toStdString();
    target->click();
    QApplication::processEvents();
  }
  void connectClient() {
    auto ready = std::make_shared<std::atomic<bool>>(false);
    client_ = RemoteConnection::client("127.0.0.1", host_->port(),
                                       RemoteAuthentication::secret(host_->connectionKey()));
    client_->onReady = [ready] { *ready = true; };
    client_->start();
    ASSERT_TRUE(processUntil([&] { return *ready && host_->connected(); })) << host_->status();
  }
  void completeHeldDisplay() {
    auto completion = std::move(record_->heldCompletions.front());
    record_->heldCompletions.erase(record_->heldCompletions.begin());
    completion(std::make_unique<FakeDisplay>(record_->nextDisplayID++, record_), {});
  }

  TempDirectory config_;
  QtMainQueue main_;
  std::shared_ptr<PlatformRecord> record_ = std::make_shared<PlatformRecord>();
  std::unique_ptr<RemoteHost> host_;
  std::unique_ptr<HostWindow> window_;
  std::unique_ptr<RemoteConnection> client_;
  std::vector<HostNetworkAddress> addresses_ = {{"eth0", "192.168.1.20"}};
};

struct Expected {
  const char* startStop;
  bool startStopEnabled, disconnectEnabled;
  bool editable;  // port field, "New Key", "Check Requirements"
  const char* word;
};

void expectState(HostWindowTest& t, const Expected& expected) {
  SCOPED_TRACE(expected.word);
  t.show(HostSection::connection);
  EXPECT_EQ(t.named<QLineEdit>("TCP port")->isEnabled(), expected.editable);
  EXPECT_EQ(t.button("New Key")->isEnabled(), expected.editable);
  t.show(HostSection::host);
  ASSERT_TRUE(t.button(expected.startStop));
  EXPECT_EQ(t.button(expected.startStop)->isEnabled(), expected.startStopEnabled);
  EXPECT_EQ(t.button("Disconnect Client")->isEnabled(), expected.disconnectEnabled);
  EXPECT_EQ(t.button("Check Requirements")->isEnabled(), expected.editable);
  EXPECT_EQ(t.label("sidebarStatus")->text(), expected.word);
  EXPECT_EQ(t.named("Service")->text(), expected.word);
}

// With nowhere to keep things, the window works in memory and says why.
TEST_F(HostWindowTest, ActionsFollowTheHostThroughStoppedListeningConnectedAndStopping) {
  std::ofstream(config_.path() / "veltra") << "a file where the folder should be";
  openWindow();
  EXPECT_TRUE(label("keyMessage")->text().startsWith("The connection key is not kept on disk"));
  show(HostSection::connection);
  QTest::keyClicks(named<QLineEdit>("Desktop session command"), "none");
  EXPECT_TRUE(label("settingsMessage")->isVisibleTo(window_.get()));
  expectState(*this, {"Start Hosting", true, false, true, "Stopped"});
  click("Start Hosting");
  ASSERT_TRUE(host_->running()) << host_->status();
  expectState(*this, {"Stop Hosting", true, false, false, "Listening"});
  connectClient();
  expectState(*this, {"Stop Hosting", true, true, false, "Connected"});
  // A stop that waits for a session being configured stays "Stopping" meanwhile.
  record_->holdDisplays = true;
  client_->send(RemotePacket::configuration, RemoteConfiguration{1920, 1080, 60}.encodeJson());
  ASSERT_TRUE(processUntil([&] { return !record_->heldCompletions.empty(); }));
  click("Stop Hosting");
  ASSERT_TRUE(host_->stopping());
  expectState(*this, {"Start Hosting", false, false, false, "Stopping"});
  completeHeldDisplay();
  ASSERT_TRUE(processUntil([&] { return !host_->stopping(); }));
  expectState(*this, {"Start Hosting", true, false, true, "Stopped"});
}

TEST_F(HostWindowTest, PortSessionAndKeyAreKeptForTheNextLaunchUnlessGivenForOneRun) {
  host_->setPort(12345);
  openWindow();
  const std::string key = host_->connectionKey();
  show(HostSection::connection);
  QLineEdit* port = named<QLineEdit>("TCP port");
  EXPECT_EQ(port->text(), "12345");  // no grouping
  port->setFocus();
  port->selectAll();
  QTest::keyClick(port, Qt::Key_Backspace);  // no port: the host keeps its own
  EXPECT_EQ(host_->port(), 12345);
  emit port->editingFinished();
  EXPECT_EQ(port->text(), "12345");
  port->selectAll();
  QTest::keyClicks(port, "23456");
  // What an INI file would split or cut: a comma, an equals sign, a semicolon, quotes.
  const QString command = "sh -c 'xterm; echo \"a,b=c\"'";
  QTest::keyClicks(named<QLineEdit>("Desktop session command"), command);

  HostView::Options once;
  once.port = 4567;
  once.sessionCommand = "none";
  relaunch(once);
  EXPECT_EQ(host_->port(), 4567);
  EXPECT_EQ(named("Desktop session")->text(), "none (empty display)");
  relaunch();
  EXPECT_EQ(host_->port(), 23456);
  EXPECT_EQ(host_->connectionKey(), key);
  click("Start Hosting");
  EXPECT_EQ(named("Desktop session")->text(), command);  // what the host runs
  host_->stop();
  show(HostSection::connection);
  click("New Key");
  EXPECT_NE(host_->connectionKey(), key);
  EXPECT_EQ(named<QLineEdit>("Connection key")->echoMode(), QLineEdit::Password);
  EXPECT_EQ(readKeyFile(config_.path() / "veltra" / "host-key"), host_->connectionKey());
}

// A copied address resets when the poll finds a changed list, and only then.
TEST_F(HostWindowTest, ExportWritesWhereTheSaveDialogSaysOwnerOnlyAndAddressesAreCopied) {
  TempDirectory folder;
  const fs::path path = folder.path() / "veltra-connection.json";
  fs::path chosen = folder.path() / "taken.json";  // a folder: the write fails; empty: the dialog
  fs::create_directory(chosen);
  HostView::Options options;
  options.addressPoll = 20ms;
  options.chooseExportPath = [&](QWidget* parent) {
    return chosen.empty() ? runExportDialog(parent) : std::optional(chosen);
  };
  openWindow(options);
  click("Export JSON");
  EXPECT_TRUE(label("profileMessage")->text().endsWith(std::strerror(EISDIR)));

  // Answers the save dialog once it is open, as the user would: a name, or nothing to cancel.
  chosen.clear();
  auto exportAs = [&](QString name) {
    QTimer::singleShot(0, [&, name] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      ASSERT_TRUE(dialog && dialog->acceptMode() == QFileDialog::AcceptSave);
      dialog->setDirectory(QString::fromStdString(folder.path().string()));
      dialog->selectFile(name);
      name.isEmpty() ? dialog->reject() : static_cast<QDialog*>(dialog)->accept();
    });
    click("Export JSON");
  };
  exportAs("veltra-connection.json");
  const QString saved = label("profileMessage")->text();
  const Bytes profile =
      RemoteConnectionProfile("192.168.1.20", host_->port(), host_->connectionKey()).encoded();
  auto written = [&] {
    return Bytes(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {});
  };
  EXPECT_EQ(written(), profile);
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  host_->setConnectionKey(RemoteAuthentication::newKey());
  exportAs({});
  EXPECT_EQ(label("profileMessage")->text(), saved);
  EXPECT_EQ(written(), profile);
  // The failed write's temporary file is gone too.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 2);

  visible("Copy Address").front()->click();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "192.168.1.20");
  window_->view().refreshPermissions();  // the same list
  EXPECT_EQ(count("Copied"), 1u);
  host_->setPort(4567);  // each line names the port the host listens on
  EXPECT_TRUE(std::ranges::any_of(window_->findChildren<QLabel*>(),
                                  [](QLabel* l) { return l->text() == "eth0 · TCP 4567"; }));
  addresses_.push_back({"wlp2s0", "192.168.1.31"});
  ASSERT_TRUE(processUntil([&] { return count("Copy Address") == 2; }));
  addresses_.clear();
  ASSERT_TRUE(processUntil([&] { return count("Copy Address") == 0; }));
  EXPECT_EQ(count("Export JSON"), 0u);
}

using Entry = HostNetworkAddress::InterfaceEntry;

// An entry as getifaddrs reports it: IPv4 or IPv6 by the address's form, none for "".
Entry entry(const std::string& name, const std::string& address,
            unsigned flags = IFF_UP | IFF_RUNNING) {
  Entry e{name, flags, !address.empty()};
  const bool v6 = address.find(':') != std::string::npos;
  e.address.ss_family = v6 ? AF_INET6 : AF_INET;
  void* at = v6 ? static_cast<void*>(&reinterpret_cast<sockaddr_in6*>(&e.address)->sin6_addr)
                : &reinterpret_cast<sockaddr_in*>(&e.address)->sin_addr;
  ::inet_pton(e.address.ss_family, address.c_str(), at);
  e.length = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  return e;
}

std::vector<std::string> ids(const std::vector<Entry>& entries) {
  std::vector<std::string> result;
  for (const auto& a : HostNetworkAddress::fromInterfaces(entries)) result.push_back(a.id());
  return result;
}

TEST(HostNetworkAddressTest, UsableIpv4OfLanInterfacesFirstThenTheRestEachOrderedByIdAsText) {
  EXPECT_EQ(ids({entry("tun0", "10.8.0.2"), entry("docker0", "172.17.0.1"),
                 entry("wlp2s0", "192.168.1.31"), entry("en10", "10.0.0.2"),
                 entry("En1", "10.0.0.3"), entry("en0", "10.0.0.9"), entry("eth0", "10.0.0.5"),
                 entry("en0", "10.0.0.12"), entry("en0", "10.0.0.12")}),
            (std::vector<std::string>{"en0/10.0.0.12", "en0/10.0.0.12", "en0/10.0.0.9",
                                      "en10/10.0.0.2", "eth0/10.0.0.5", "wlp2s0/192.168.1.31",
                                      "En1/10.0.0.3", "docker0/172.17.0.1", "tun0/10.8.0.2"}));
  // Loopback, link-local, 0.0.0.0, interfaces down, IPv6 and no address at all are left out.
  EXPECT_TRUE(ids({entry("lo", "127.0.0.1", IFF_UP | IFF_LOOPBACK), entry("eth0", "169.254.1.2"),
                   entry("eth1", "0.0.0.0"), entry("eth2", "192.168.5.5", IFF_BROADCAST),
                   entry("eth0", "fe80::1"), entry("eth0", "2001:db8::5"), entry("eth9", "")})
                  .empty());
}

}  // namespace
}  // namespace veltra::test
