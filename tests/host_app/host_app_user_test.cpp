// The host application is this binary again in its scenario mode, started as veltra-host starts
// it, so that the test sees it end and can look for display servers left behind.

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "VeltraHostApp/HostApplication.h"
#include "VeltraHostApp/HostWindow.h"
#include "host/x11_test_support.h"

namespace veltra {
namespace {

using namespace test;

const char kScenarioVariable[] = "VELTRA_HOST_APP_SCENARIO";

uint16_t scenarioPort = 0;
std::unique_ptr<Program> scenarioRemote;
bool scenarioPassed = false;

HostWindow* hostWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* window = qobject_cast<HostWindow*>(widget); window && window->isVisible()) {
      return window;
    }
  }
  return nullptr;
}

// Whether the window shows the button `text`, enabled; with `click`, clicked through the window
// system.
bool button(const QString& text, bool click = true) {
  HostWindow* window = hostWindow();
  for (auto* found :
       window ? window->findChildren<QAbstractButton*>() : QList<QAbstractButton*>()) {
    if (found->isVisibleTo(window) && found->isEnabled() && found->text() == text) {
      if (click) QTest::mouseClick(found, Qt::LeftButton);
      return true;
    }
  }
  return false;
}

QString textOf(const char* name) {
  HostWindow* window = hostWindow();
  QLabel* found = window ? window->findChild<QLabel*>(name) : nullptr;
  return found ? found->text() : QString();
}

bool step(const QString& name, const std::function<bool()>& done) {
  std::fprintf(stderr, "scenario: %s\n", qPrintable(name));
  if (QTest::qWaitFor(done, 30'000)) return true;
  std::fprintf(stderr, "scenario: gave up on \"%s\"\n", qPrintable(name));
  return false;
}
bool pressed(const QString& text) {
  return step("press " + text, [&] { return button(text); });
}

bool shows(const QString& badge, const QString& status) {
  return textOf("sidebarStatus") == badge && textOf("hostStatus") == status;
}

bool userSteps() {
  const QString port = QString::number(scenarioPort);
  std::string key;
  return step("the window opens", [] { return hostWindow() != nullptr; }) &&
         pressed("Start Hosting") &&
         step("the host listens",
              [&] {
                return shows("Listening", "Listening on port " + port + " · LAN / private network");
              }) &&
         pressed("Connection") && pressed("Copy Key") &&
         step("the key is on the clipboard",
              [&] {
                key = QGuiApplication::clipboard()->text().toStdString();
                return button("Copied", false) && key.size() == 44;
              }) &&
         step("connect the headless client",
              [&] {
                scenarioRemote = std::make_unique<Program>(
                    VELTRA_REMOTE_PROGRAM,
                    std::vector<std::string>{"--headless", "--address", "127.0.0.1", "--port",
                                             port.toStdString(), "--key-file", "-", "--seconds",
                                             "60"},
                    key + "\n");
                return scenarioRemote->started();
              }) &&
         pressed("Host Overview") &&
         step("the host streams to 1 client",
              [] {
                return textOf("identityStatus") == "Connected" &&
                       textOf("sidebarClients") == "1 client" &&
                       shows("Connected", "Streaming 1920×1080 · requested 60 fps");
              }) &&
         pressed("Disconnect Client") && step("the client is gone and the host listens on", [&] {
           return textOf("sidebarClients") == "0 client" &&
                  shows("Listening", "Disconnected · listening on " + port);
         });
}

int runScenario(int argc, char** argv) {
  scenarioPort = static_cast<uint16_t>(std::atoi(std::getenv(kScenarioVariable)));
  // The application's own start-up creates the QApplication; the steps run on its loop and close
  // the window whatever came of them, so that the application ends the way it always does.
  qAddPreRoutine([] {
    QTimer::singleShot(0, [] {
      scenarioPassed = userSteps();
      if (HostWindow* window = hostWindow()) window->close();
    });
  });
  const int code = runHostApplication(argc, argv, {scenarioPort, {}});
  const int remoteExit = scenarioRemote ? scenarioRemote->waitForExit(20s).value_or(-1) : -1;
  std::fprintf(stderr, "scenario: application exit %d, client exit %d\n", code, remoteExit);
  return scenarioPassed && remoteExit == 0 ? code : 3;
}

TEST(HostApplicationAsAUser, StartCopyKeyConnectDisconnectAndCloseLeavesNothingRunning) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  // Whatever the application leaves behind when it ends comes to us, so we can see it.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  XvfbServer server;
  ASSERT_FALSE(server.display().empty()) << server.errors();
  TempDirectory scratch;
  Program application(fs::read_symlink("/proc/self/exe").string(), {}, {},
                      {"DISPLAY=" + server.display(), "QT_QPA_PLATFORM=xcb",
                       "XAUTHORITY=", "XDG_CONFIG_HOME=", "HOME=" + scratch.path().string(),
                       std::string(kScenarioVariable) + "=" + std::to_string(freePort())});
  const std::optional<int> code = application.waitForExit(180s);
  std::vector<pid_t> strays = runningXvfbChildren();
  std::erase(strays, server.pid());
  for (pid_t stray : strays) {
    ::kill(stray, SIGKILL);
    ::waitpid(stray, nullptr, 0);
  }
  EXPECT_EQ(code, 0) << joined(application.lines()) << application.errors();
  EXPECT_TRUE(strays.empty()) << strays.size() << " display servers outlived the application";
  EXPECT_EQ(fs::status(scratch.path() / ".config/veltra/host-key").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
}  // namespace veltra

int main(int argc, char** argv) {
  if (std::getenv(veltra::kScenarioVariable)) return veltra::runScenario(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
