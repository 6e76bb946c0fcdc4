#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VeltraHostApp/HostWidgets.h"
#include "VeltraHostApp/HostWindow.h"
#include "host/RemoteHost.h"
#include "host/host_test_support.h"
#include "host/x11_test_support.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteConnection.h"
#include "qt/QtMainQueue.h"

namespace veltra::test {

// Runs the Qt event loop until `done` holds or `patience` runs out; whether it held.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds patience = std::chrono::seconds(10)) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > patience.count()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// The real window around a real RemoteHost on the Qt main queue, its system parts faked
// (host_test_support.h), so a test drives the host through stopped, listening, connected and
// stopping and looks at the widgets a user sees. What the window keeps on disk goes to a
// folder of the test's own, as XDG_CONFIG_HOME.
class HostWindowFixture : public ::testing::Test {
 public:
  void SetUp() override {
    if (const char* previous = std::getenv("XDG_CONFIG_HOME")) previousConfig_ = previous;
    ::setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
    record_ = std::make_shared<PlatformRecord>();
    makeHost();
  }
  void makeHost() {
    host_ = std::make_unique<RemoteHost>(main_, std::make_unique<FakeHostPlatform>(main_, record_));
    host_->setPort(freePort());
  }

  // A new window on a new (stopped) host, as after a quit: only what the window kept comes back.
  void relaunch(HostView::Options options = {}) {
    window_.reset();
    makeHost();
    openWindow(std::move(options));
  }
  std::filesystem::path keptFolder() const { return config_.path() / "veltra"; }

  void TearDown() override {
    window_.reset();
    if (client_) client_->cancel();
    client_.reset();
    if (host_->running() || host_->stopping()) {
      host_->stop();
      while (!record_->heldCompletions.empty()) completeHeldDisplay();
      waitUntil([&] { return !host_->stopping(); });
    }
    host_.reset();
    // Tasks the host left on the queue find it gone.
    QApplication::processEvents();
    if (previousConfig_) {
      ::setenv("XDG_CONFIG_HOME", previousConfig_->c_str(), 1);
    } else {
      ::unsetenv("XDG_CONFIG_HOME");
    }
  }

  void openWindow(HostView::Options options = {}) {
    options.addresses = [this] { return addresses_; };
    window_ = std::make_unique<HostWindow>(*host_, std::move(options));
    window_->show();
    QApplication::processEvents();
  }

  HostView& view() { return window_->view(); }

  // The widgets of type T the user can see (the window's hidden ones left out).
  template <typename T>
  std::vector<T*> visible(const std::function<bool(T*)>& matches) {
    std::vector<T*> found;
    for (T* widget : window_->findChildren<T*>()) {
      if (widget->isVisibleTo(window_.get()) && matches(widget)) found.push_back(widget);
    }
    return found;
  }
  // The one visible button with this text, or null when there is none or more than one.
  QAbstractButton* button(const QString& text) {
    auto found = visible<QAbstractButton>([&](QAbstractButton* b) { return b->text() == text; });
    return found.size() == 1 ? found.front() : nullptr;
  }
  int countButtons(const QString& text) {
    return static_cast<int>(
        visible<QAbstractButton>([&](QAbstractButton* b) { return b->text() == text; }).size());
  }
  template <typename T = QLabel>
  T* named(const QString& accessibleName) {
    auto found = visible<T>([&](T* w) { return w->accessibleName() == accessibleName; });
    return found.size() == 1 ? found.front() : nullptr;
  }
  Badge* badge(const char* objectName) { return window_->findChild<Badge*>(objectName); }
  QLabel* label(const char* objectName) { return window_->findChild<QLabel*>(objectName); }
  QStringList panelTitles() {
    QStringList titles;
    for (Panel* panel : visible<Panel>([](Panel*) { return true; })) titles << panel->title();
    return titles;
  }
  void click(const QString& text) {
    QAbstractButton* target = button(text);
    ASSERT_NE(target, nullptr) << text.toStdString();
    ASSERT_TRUE(target->isEnabled()) << text.toStdString();
    target->click();
    QApplication::processEvents();
  }

  // A client that authenticates with the host's key and leaves the host connected.
  void connectClient() {
    auto ready = std::make_shared<std::atomic<bool>>(false);
    client_ = RemoteConnection::client("127.0.0.1", host_->port(),
                                       RemoteAuthentication::secret(host_->connectionKey()));
    client_->onReady = [ready] { *ready = true; };
    client_->start();
    ASSERT_TRUE(waitUntil([&] { return ready->load() && host_->connected(); })) << host_->status();
  }
  // Asks for a display that the fake platform holds back, so the host stays busy starting a
  // session (and a stop stays in progress) until completeHeldDisplay().
  void holdSessionStart() {
    record_->holdDisplays = true;
    client_->send(RemotePacket::configuration, RemoteConfiguration{1920, 1080, 60}.encodeJson());
    ASSERT_TRUE(waitUntil([&] { return !record_->heldCompletions.empty(); }));
  }
  void completeHeldDisplay() {
    auto completion = std::move(record_->heldCompletions.front());
    record_->heldCompletions.erase(record_->heldCompletions.begin());
    completion(std::make_unique<FakeDisplay>(record_->nextDisplayID++, record_), {});
  }

  TempDirectory config_;
  std::optional<std::string> previousConfig_;
  QtMainQueue main_;
  std::shared_ptr<PlatformRecord> record_;
  std::unique_ptr<RemoteHost> host_;
  std::unique_ptr<HostWindow> window_;
  std::unique_ptr<RemoteConnection> client_;
  std::vector<HostNetworkAddress> addresses_ = {{"eth0", "192.168.1.20"}};
};

}  // namespace veltra::test
