// The host window on a real RemoteHost with faked system parts: what each state enables, the
// status words and colours, the copy buttons' labels, and which panels each section shows.

#include <QClipboard>
#include <QGuiApplication>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "VeltraHostApp/HostStatus.h"
#include "VeltraHostApp/HostTheme.h"
#include "host_window_fixture.h"
#include "protocol/KeyFile.h"

namespace veltra::test {
namespace {

using HostViewTest = HostWindowFixture;

// The enable rules as a user meets them in one state, on both sections that carry the actions.
struct Expected {
  const char* startStop;
  bool startStopEnabled;
  bool disconnectEnabled;
  bool editable;  // port field, "New Key", both "Check Requirements"
  const char* word;
  PaletteColor color;
  const char* clients;
};

void expectState(HostWindowFixture& fixture, const Expected& expected) {
  SCOPED_TRACE(expected.word);
  fixture.view().setSection(HostSection::host);
  QApplication::processEvents();
  QAbstractButton* startStop = fixture.button(expected.startStop);
  ASSERT_NE(startStop, nullptr);
  EXPECT_EQ(startStop->isEnabled(), expected.startStopEnabled);
  ASSERT_NE(fixture.button("Disconnect Client"), nullptr);
  EXPECT_EQ(fixture.button("Disconnect Client")->isEnabled(), expected.disconnectEnabled);
  ASSERT_NE(fixture.button("Check Requirements"), nullptr);
  EXPECT_EQ(fixture.button("Check Requirements")->isEnabled(), expected.editable);
  QLabel* service = fixture.named("Service");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->text(), expected.word);
  EXPECT_EQ(textColor(service), expected.color);
  for (const char* name : {"sidebarStatus", "identityStatus"}) {
    ASSERT_NE(fixture.badge(name), nullptr) << name;
    EXPECT_EQ(fixture.badge(name)->text(), expected.word) << name;
    EXPECT_EQ(textColor(fixture.badge(name)), expected.color) << name;
  }
  EXPECT_EQ(fixture.badge("sidebarClients")->text(), expected.clients);

  fixture.view().setSection(HostSection::connection);
  QApplication::processEvents();
  ASSERT_NE(fixture.button(expected.startStop), nullptr);
  EXPECT_EQ(fixture.button(expected.startStop)->isEnabled(), expected.startStopEnabled);
  EXPECT_EQ(fixture.button("Disconnect Client")->isEnabled(), expected.disconnectEnabled);
  ASSERT_NE(fixture.named<QLineEdit>("TCP port"), nullptr);
  EXPECT_EQ(fixture.named<QLineEdit>("TCP port")->isEnabled(), expected.editable);
  ASSERT_NE(fixture.button("New Key"), nullptr);
  EXPECT_EQ(fixture.button("New Key")->isEnabled(), expected.editable);

  fixture.view().setSection(HostSection::permissions);
  QApplication::processEvents();
  ASSERT_NE(fixture.button("Check Requirements"), nullptr);
  EXPECT_EQ(fixture.button("Check Requirements")->isEnabled(), expected.editable);
}

TEST_F(HostViewTest, ActionsAreEnabledByTheHostsStateStoppedListeningConnectedStopping) {
  openWindow();
  const PaletteColor green = HostTheme::green;
  expectState(*this, {"Start Hosting", true, false, true, "Stopped", HostTheme::muted, "0 client"});

  view().setSection(HostSection::host);
  click("Start Hosting");
  ASSERT_TRUE(host_->running()) << host_->status();
  expectState(*this,
              {"Stop Hosting", true, false, false, "Listening", HostTheme::blue, "0 client"});

  connectClient();
  expectState(*this, {"Stop Hosting", true, true, false, "Connected", green, "1 client"});

  // A stop that must wait for a session being configured stays "Stopping" meanwhile.
  holdSessionStart();
  view().setSection(HostSection::host);
  click("Stop Hosting");
  ASSERT_TRUE(host_->stopping());
  expectState(*this,
              {"Start Hosting", false, false, false, "Stopping", HostTheme::muted, "0 client"});

  completeHeldDisplay();
  ASSERT_TRUE(waitUntil([&] { return !host_->stopping(); }));
  expectState(*this, {"Start Hosting", true, false, true, "Stopped", HostTheme::muted, "0 client"});
  view().setSection(HostSection::host);
  QLabel* status = window_->findChild<QLabel*>("hostStatus");
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->text(), "Stopped");
}

TEST_F(HostViewTest, DisconnectClientEndsTheSessionAndTheHostKeepsListening) {
  openWindow();
  click("Start Hosting");
  connectClient();
  click("Disconnect Client");
  ASSERT_TRUE(waitUntil([&] { return !host_->connected(); }));
  EXPECT_TRUE(host_->running());
  EXPECT_FALSE(button("Disconnect Client")->isEnabled());
  EXPECT_EQ(badge("sidebarClients")->text(), "0 client");
}

TEST(HostStatusTest, WordsAndColoursFollowTheirOwnPrecedence) {
  struct Case {
    HostState state;
    const char* word;
    PaletteColor color;
    const char* clients;
  };
  const Case cases[] = {
      {{false, false, false}, "Stopped", HostTheme::muted, "0 client"},
      {{true, false, false}, "Listening", HostTheme::blue, "0 client"},
      {{true, true, false}, "Connected", HostTheme::green, "1 client"},
      // The colour ignores stopping: a client still marked connected keeps it green.
      {{false, true, true}, "Stopping", HostTheme::green, "1 client"},
      {{true, false, true}, "Stopping", HostTheme::blue, "0 client"},
      {{false, false, true}, "Stopping", HostTheme::muted, "0 client"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    EXPECT_EQ(statusWord(c.state), c.word);
    EXPECT_EQ(statusColor(c.state), c.color);
    EXPECT_EQ(clientBadge(c.state), c.clients);
  }
}

TEST_F(HostViewTest, CopyKeyStaysCopiedUntilNewKeyPutsADifferentKeyInPlace) {
  openWindow();
  view().setSection(HostSection::connection);
  QApplication::processEvents();
  const std::string firstKey = host_->connectionKey();
  click("Copy Key");
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), firstKey);
  ASSERT_NE(button("Copied"), nullptr);
  // Redraws from the host (status changes, a start and a stop) keep the label.
  click("Start Hosting");
  host_->stop();
  ASSERT_TRUE(waitUntil([&] { return !host_->stopping(); }));
  view().refreshPermissions();
  EXPECT_NE(button("Copied"), nullptr);
  EXPECT_EQ(button("Copy Key"), nullptr);

  click("New Key");
  EXPECT_NE(button("Copy Key"), nullptr);
  EXPECT_EQ(button("Copied"), nullptr);
  EXPECT_NE(host_->connectionKey(), firstKey);
  EXPECT_EQ(host_->connectionKey().size(), 44u);
  EXPECT_NO_THROW(RemoteAuthentication::secret(host_->connectionKey()));
  // The field shows the key masked and cannot be edited.
  QLineEdit* field = named<QLineEdit>("Connection key");
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(field->isReadOnly());
  EXPECT_EQ(field->text().toStdString(), host_->connectionKey());
}

TEST_F(HostViewTest, ACopiedAddressResetsWhenTheAddressListChangesAndOnlyThen) {
  addresses_ = {{"eth0", "192.168.1.20"}, {"docker0", "172.17.0.1"}};
  openWindow();
  EXPECT_EQ(countButtons("Copy Address"), 2);
  visible<QAbstractButton>([](QAbstractButton* b) { return b->text() == "Copy Address"; })
      .front()
      ->click();
  QApplication::processEvents();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "192.168.1.20");
  EXPECT_EQ(countButtons("Copied"), 1);
  EXPECT_EQ(countButtons("Copy Address"), 1);

  view().refreshAddresses();  // the same list
  view().refreshPermissions();
  EXPECT_EQ(countButtons("Copied"), 1);

  addresses_.push_back({"wlp2s0", "192.168.1.31"});  // an interface came up
  view().refreshAddresses();
  QApplication::processEvents();
  EXPECT_EQ(countButtons("Copied"), 0);
  EXPECT_EQ(countButtons("Copy Address"), 3);

  // The interface line names the port the host listens on.
  host_->setPort(4567);
  QApplication::processEvents();
  EXPECT_EQ(visible<QLabel>([](QLabel* l) { return l->text() == "eth0 · TCP 4567"; }).size(), 1u);
}

TEST_F(HostViewTest, TheAddressPollPicksUpAChangedListByItself) {
  HostView::Options options;
  options.addressPoll = std::chrono::milliseconds(30);
  openWindow(options);
  EXPECT_EQ(countButtons("Copy Address"), 1);
  addresses_.clear();
  ASSERT_TRUE(waitUntil([&] { return countButtons("Copy Address") == 0; }));
  EXPECT_EQ(countButtons("Export JSON"), 0);
  EXPECT_EQ(visible<QLabel>([](QLabel* l) {
              return l->text() ==
                     "No active IPv4 address. Connect this computer to Wi-Fi or Ethernet.";
            }).size(),
            1u);
}

TEST_F(HostViewTest, SectionsShowTheirPanelsAndOnlyTheOverviewHasCheckRequirementsInItsActions) {
  openWindow();
  EXPECT_EQ(panelTitles(),
            (QStringList{"Server address", "Host states", "Connection setup", "Usage notes"}));
  EXPECT_EQ(countButtons("Start Hosting"), 1);
  EXPECT_EQ(countButtons("Check Requirements"), 1);

  click("Open Connection Settings");
  EXPECT_EQ(view().section(), HostSection::connection);
  EXPECT_EQ(panelTitles(), (QStringList{"Server address", "Network", "Desktop session",
                                        "Connection key", "Usage notes"}));
  EXPECT_EQ(countButtons("Start Hosting"), 1);
  EXPECT_EQ(countButtons("Check Requirements"), 0);

  click("Permissions");  // the sidebar row
  EXPECT_EQ(view().section(), HostSection::permissions);
  EXPECT_EQ(panelTitles(),
            (QStringList{"Required permissions", "Permission setup", "Usage notes"}));
  EXPECT_EQ(countButtons("Start Hosting"), 0);
  EXPECT_EQ(countButtons("Check Requirements"), 1);
  EXPECT_NE(button("Refresh Status"), nullptr);

  click("Host Overview");
  EXPECT_EQ(view().section(), HostSection::host);
}

TEST_F(HostViewTest, RequirementRowsShowWhatTheHostReportsAfterARefresh) {
  record_->screenPermission = false;
  openWindow();
  QLabel* screen = named("Virtual display (Xvfb)");
  QLabel* input = named("Remote input (XTEST)");
  ASSERT_NE(screen, nullptr);
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(screen->text(), "Permission required");
  EXPECT_EQ(textColor(screen), HostTheme::muted);
  EXPECT_EQ(input->text(), "Allowed");
  EXPECT_EQ(textColor(input), HostTheme::green);

  // Read again only when asked: after "Refresh Status" on the Permissions section.
  record_->screenPermission = true;
  record_->inputPermission = false;
  view().setSection(HostSection::permissions);
  QApplication::processEvents();
  EXPECT_EQ(named("Virtual display (Xvfb)")->text(), "Not allowed");
  click("Refresh Status");
  EXPECT_EQ(named("Virtual display (Xvfb)")->text(), "Allowed");
  EXPECT_EQ(named("Remote input (XTEST)")->text(), "Not allowed");

  // Starting without input support says why, under the rows of the overview.
  view().setSection(HostSection::host);
  click("Start Hosting");
  EXPECT_FALSE(host_->running());
  EXPECT_EQ(window_->findChild<QLabel*>("hostStatus")->text().toStdString(), host_->status());
}

TEST_F(HostViewTest, ThePortFieldSetsTheHostsPortAndShowsItWithoutGrouping) {
  host_->setPort(12345);
  openWindow();
  view().setSection(HostSection::connection);
  QApplication::processEvents();
  QLineEdit* field = named<QLineEdit>("TCP port");
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->text(), "12345");
  field->setFocus();
  field->selectAll();
  QTest::keyClicks(field, "9876");
  EXPECT_EQ(host_->port(), 9876);
  EXPECT_EQ(field->text(), "9876");
  // An empty field is no port: the host keeps its port and the field shows it again once
  // editing ends.
  field->selectAll();
  QTest::keyClick(field, Qt::Key_Backspace);
  EXPECT_EQ(field->text(), "");
  EXPECT_EQ(host_->port(), 9876);
  emit field->editingFinished();
  EXPECT_EQ(field->text(), "9876");
}

TEST_F(HostViewTest, PortAndSessionChoiceAreKeptForTheNextLaunchUnlessGivenForOneRun) {
  openWindow();
  view().setSection(HostSection::connection);
  QApplication::processEvents();
  // What an INI file would split or cut: a comma, an equals sign, a semicolon, quotes.
  const QString command = "sh -c 'xterm; echo \"a,b=c\"'";
  QTest::keyClicks(named<QLineEdit>("Desktop session command"), command);
  named<QLineEdit>("TCP port")->selectAll();
  QTest::keyClicks(named<QLineEdit>("TCP port"), "23456");
  EXPECT_TRUE(std::filesystem::exists(keptFolder() / "host.ini"));

  HostView::Options once;
  once.port = 4567;
  once.sessionCommand = "none";
  relaunch(once);
  EXPECT_EQ(host_->port(), 4567);
  EXPECT_EQ(named("Desktop session")->text(), "none (empty display)");
  relaunch();
  EXPECT_EQ(host_->port(), 23456);
  click("Start Hosting");
  EXPECT_EQ(named("Desktop session")->text(), command);  // what the host runs
}

TEST_F(HostViewTest, TheKeyIsKeptAcrossLaunchesUntilNewKeyReplacesIt) {
  openWindow();
  const std::string first = host_->connectionKey();
  relaunch();
  EXPECT_EQ(host_->connectionKey(), first);
  view().setSection(HostSection::connection);
  click("New Key");
  EXPECT_NE(host_->connectionKey(), first);
  const std::filesystem::path file = keptFolder() / "host-key";
  EXPECT_EQ(readKeyFile(file), host_->connectionKey());
}

TEST_F(HostViewTest, WithNowhereToKeepThingsTheWindowWorksInMemoryAndSaysWhy) {
  std::ofstream(keptFolder()) << "a file where the folder should be";
  openWindow();
  EXPECT_TRUE(label("keyMessage")->text().startsWith("The connection key is not kept on disk"));
  view().setSection(HostSection::connection);
  QTest::keyClicks(named<QLineEdit>("Desktop session command"), "none");
  EXPECT_TRUE(label("settingsMessage")->isVisibleTo(window_.get()));
  click("Start Hosting");  // with the key it holds in memory
  EXPECT_TRUE(host_->running()) << host_->status();
}

}  // namespace
}  // namespace veltra::test
