// The host application as a user runs it: on its own X server, press "Start Hosting", take the
// key with "Copy Key" from the clipboard (the one kept in its key file), connect the headless
// client with it, see "Connected" and "1 client", press "Disconnect Client" and close the window.
// The application runs in a child process (this binary again, in its scenario mode) through the
// same start-up veltra-host uses, so the test sees the process end and can look for display
// servers left behind.
//
// With VELTRA_HOST_APP_SCREENSHOTS=FOLDER the scenario also saves each section while connected
// (the pictures in docs/).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "VeltraHostApp/HostApplication.h"
#include "VeltraHostApp/HostWidgets.h"
#include "VeltraHostApp/HostWindow.h"
#include "host/x11_test_support.h"
#include "protocol/KeyFile.h"

extern char** environ;

namespace veltra {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using test::freePort;

const char kScenarioVariable[] = "VELTRA_HOST_APP_SCENARIO";
const char kScreenshotsVariable[] = "VELTRA_HOST_APP_SCREENSHOTS";
constexpr int kScenarioFailed = 3;

// ---- The scenario, inside the application's process ----

// Runs the user's steps one after another on the application's event loop: each step is polled
// until it reports done, or fails the scenario after its patience. A failure closes the window
// too, so the application still ends the way it always does.
class Scenario {
 public:
  using Step = std::function<bool()>;

  void add(std::string name, Step step, std::chrono::seconds patience = 30s) {
    steps_.push_back({std::move(name), std::move(step), patience});
  }

  void start() {
    timer_ = new QTimer(qApp);
    QObject::connect(timer_, &QTimer::timeout, [this] { tick(); });
    timer_->start(50);
  }

  bool failed() const { return failed_; }

 private:
  struct Entry {
    std::string name;
    Step step;
    std::chrono::seconds patience;
  };

  void tick() {
    if (next_ >= steps_.size()) return timer_->stop();
    if (!begun_) {
      begun_ = Clock::now();
      std::fprintf(stderr, "scenario: %s\n", steps_[next_].name.c_str());
    }
    if (steps_[next_].step()) {
      ++next_;
      begun_.reset();
    } else if (Clock::now() - *begun_ > steps_[next_].patience) {
      std::fprintf(stderr, "scenario: gave up on \"%s\"\n", steps_[next_].name.c_str());
      failed_ = true;
      next_ = steps_.size();
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<HostWindow*>(widget)) widget->close();
      }
    }
  }

  std::vector<Entry> steps_;
  size_t next_ = 0;
  std::optional<Clock::time_point> begun_;
  bool failed_ = false;
  QTimer* timer_ = nullptr;
};

Scenario* scenario = nullptr;
uint16_t scenarioPort = 0;
pid_t remotePid = 0;

HostWindow* hostWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* window = qobject_cast<HostWindow*>(widget); window && window->isVisible()) {
      return window;
    }
  }
  return nullptr;
}

template <typename T = QAbstractButton>
T* visibleWithText(const QString& text) {
  HostWindow* window = hostWindow();
  if (!window) return nullptr;
  for (T* widget : window->findChildren<T*>()) {
    if (widget->isVisibleTo(window) && widget->text() == text) return widget;
  }
  return nullptr;
}

// A mouse click in the middle of the button, through the window system like a user's.
bool press(const QString& text) {
  QAbstractButton* button = visibleWithText(text);
  if (!button || !button->isEnabled()) return false;
  QTest::mouseClick(button, Qt::LeftButton);
  return true;
}

QString badge(const char* name) {
  HostWindow* window = hostWindow();
  Badge* found = window ? window->findChild<Badge*>(name) : nullptr;
  return found ? found->text() : QString();
}

QString hostStatus() {
  HostWindow* window = hostWindow();
  QLabel* status = window ? window->findChild<QLabel*>("hostStatus") : nullptr;
  return status ? status->text() : QString();
}

bool spawnRemote(const std::string& key) {
  int input[2];
  if (::pipe2(input, O_CLOEXEC) != 0) return false;
  const std::string line = key + "\n";
  if (::write(input[1], line.data(), line.size()) != static_cast<ssize_t>(line.size()))
    return false;
  ::close(input[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  const std::string port = std::to_string(scenarioPort);
  std::vector<std::string> arguments = {
      VELTRA_REMOTE_PROGRAM, "--headless", "--address", "127.0.0.1", "--port", port,
      "--key-file",          "-",          "--seconds", "60"};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const int result =
      ::posix_spawn(&remotePid, VELTRA_REMOTE_PROGRAM, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  return result == 0;
}

void saveSections(const fs::path& folder) {
  HostWindow* window = hostWindow();
  const std::pair<HostSection, const char*> sections[] = {
      {HostSection::host, "host-window-overview.png"},
      {HostSection::connection, "host-window-connection.png"},
      {HostSection::permissions, "host-window-permissions.png"}};
  for (const auto& [section, name] : sections) {
    window->view().setSection(section);
    QApplication::processEvents();
    window->grab().save(QString::fromStdString((folder / name).string()));
  }
  window->view().setSection(HostSection::host);
}

void buildScenario() {
  scenario = new Scenario;
  auto key = std::make_shared<std::string>();
  const QString port = QString::number(scenarioPort);
  scenario->add("the window opens", [] { return hostWindow() != nullptr; });
  scenario->add("press Start Hosting", [] { return press("Start Hosting"); });
  scenario->add("the host listens", [port] {
    return hostStatus() == "Listening on port " + port + " · LAN / private network" &&
           badge("sidebarStatus") == "Listening";
  });
  scenario->add("open the Connection section", [] { return press("Connection"); });
  scenario->add("press Copy Key", [] { return press("Copy Key"); });
  scenario->add("the key is on the clipboard", [key] {
    if (!visibleWithText("Copied")) return false;
    *key = QGuiApplication::clipboard()->text().toStdString();
    return key->size() == 44;
  });
  scenario->add(
      "it is the key kept for the next launch",
      [key] { return readKeyFile(defaultHostKeyPath()) == *key; }, 1s);
  scenario->add("connect the headless client", [key] { return spawnRemote(*key); });
  scenario->add("the window shows Connected and 1 client", [] {
    return badge("sidebarStatus") == "Connected" && badge("identityStatus") == "Connected" &&
           badge("sidebarClients") == "1 client";
  });
  scenario->add("open Host Overview", [] { return press("Host Overview"); });
  // The client asks for its display and the host streams it.
  scenario->add("the host streams", [] {
    return hostStatus() == "Streaming 1920×1080 · requested 60 fps" &&
           badge("sidebarStatus") == "Connected";
  });
  if (const char* folder = std::getenv(kScreenshotsVariable)) {
    scenario->add("save each section", [folder] {
      saveSections(folder);
      return true;
    });
  }
  scenario->add("press Disconnect Client", [] { return press("Disconnect Client"); });
  scenario->add("the client is gone and the host listens on", [port] {
    return badge("sidebarClients") == "0 client" && badge("sidebarStatus") == "Listening" &&
           hostStatus() == "Disconnected · listening on " + port;
  });
  scenario->add("close the window", [] {
    hostWindow()->close();
    return true;
  });
  scenario->start();
}

// The application's own start-up creates the QApplication; the scenario starts on its loop.
void startScenarioOnceTheLoopRuns() {
  QTimer::singleShot(0, [] { buildScenario(); });
}

int runScenario(int argc, char** argv) {
  const char* port = std::getenv(kScenarioVariable);
  scenarioPort = static_cast<uint16_t>(std::atoi(port));
  qAddPreRoutine(startScenarioOnceTheLoopRuns);
  const int code = runHostApplication(argc, argv, {scenarioPort, {}});
  int remoteExit = -1;
  if (remotePid > 0) {
    // The disconnected client ends by itself.
    int status = 0;
    const auto deadline = Clock::now() + 20s;
    while (::waitpid(remotePid, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        ::kill(remotePid, SIGKILL);
        ::waitpid(remotePid, &status, 0);
        std::fprintf(stderr, "scenario: the client did not end after the disconnect\n");
        return kScenarioFailed;
      }
      std::this_thread::sleep_for(20ms);
    }
    remoteExit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::fprintf(stderr, "scenario: application exit %d, client exit %d\n", code, remoteExit);
  if (!scenario || scenario->failed()) return kScenarioFailed;
  // The client reached "Connected · …" before it was disconnected: it reports success.
  return remoteExit == 0 ? code : kScenarioFailed;
}

// ---- The test, outside ----

// Our own X server for the application's window, on a number it picks itself.
class WindowServer {
 public:
  WindowServer() {
    int ready[2];
    if (::pipe(ready) != 0) return;
    const std::string fd = std::to_string(ready[1]);
    std::vector<std::string> arguments = {"Xvfb", "-displayfd",   fd,          "-screen",
                                          "0",    "1280x1024x24", "-nolisten", "tcp"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, ready[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (::posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    std::string number;
    char c;
    while (pid_ > 0 && ::read(ready[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(ready[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~WindowServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  const std::string& display() const { return display_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = 0;
  std::string display_;
};

// Xvfb processes that are children of this process, other than `except`, and still running.
std::vector<pid_t> strayDisplayServers(pid_t except) {
  std::vector<pid_t> found = runningXvfbChildren();
  std::erase(found, except);
  return found;
}

TEST(HostApplicationAsAUser, StartCopyKeyConnectDisconnectAndCloseLeavesNothingRunning) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  // Whatever the application leaves behind when it ends comes to us, so we can see it.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  WindowServer server;
  ASSERT_FALSE(server.display().empty()) << "Xvfb did not start";

  TempDirectory scratch;
  const fs::path log = scratch.path() / "scenario.log";
  const std::string port = std::to_string(freePort());
  std::vector<std::string> environment;
  for (char** variable = environ; *variable; ++variable) {
    const std::string text = *variable;
    if (text.starts_with("DISPLAY=") || text.starts_with("QT_QPA_PLATFORM=") ||
        text.starts_with("XAUTHORITY=") || text.starts_with("XDG_CONFIG_HOME=") ||
        text.starts_with("HOME=")) {
      continue;
    }
    environment.push_back(text);
  }
  environment.push_back("DISPLAY=" + server.display());
  environment.push_back("QT_QPA_PLATFORM=xcb");
  environment.push_back(std::string(kScenarioVariable) + "=" + port);
  // What the application keeps goes to the scratch folder, never to the user's own.
  environment.push_back("HOME=" + scratch.path().string());
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);

  std::string self = fs::read_symlink("/proc/self/exe").string();
  std::vector<char*> argv = {self.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t application = 0;
  ASSERT_EQ(::posix_spawn(&application, self.c_str(), &actions, nullptr, argv.data(), envp.data()),
            0);
  posix_spawn_file_actions_destroy(&actions);

  int status = 0;
  const auto deadline = Clock::now() + 180s;
  while (::waitpid(application, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(application, SIGTERM);
      ::waitpid(application, &status, 0);
      ADD_FAILURE() << "the application did not end";
      break;
    }
    std::this_thread::sleep_for(50ms);
  }
  std::ifstream logFile(log);
  const std::string output((std::istreambuf_iterator<char>(logFile)), {});
  // Display servers the application left behind came to us; end them whatever else failed.
  const std::vector<pid_t> strays = strayDisplayServers(server.pid());
  for (pid_t stray : strays) {
    ::kill(stray, SIGKILL);
    ::waitpid(stray, nullptr, 0);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status << "\n"
                                                             << output;
  EXPECT_TRUE(strays.empty()) << strays.size() << " display servers outlived the application\n"
                              << output;
  // The key stays, readable by its owner only.
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
