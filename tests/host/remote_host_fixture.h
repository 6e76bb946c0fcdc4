#pragma once

#include <gtest/gtest.h>

#include "host/RemoteHost.h"
#include "host_test_support.h"

namespace veltra::test {

inline std::string json(const RemoteConfiguration& configuration) {
  Bytes bytes = configuration.encodeJson();
  return std::string(bytes.begin(), bytes.end());
}

class RemoteHostTest : public ::testing::Test {
 protected:
  RemoteHost& makeHost(RemoteHost::Options options = {}) {
    auto platform = std::make_unique<FakeHostPlatform>(main_, record_);
    platform_ = platform.get();
    host_ = std::make_unique<RemoteHost>(main_, std::move(platform), std::move(options));
    host_->setPort(port_);
    statuses_ = {host_->status()};
    host_->changes().add([this] {
      if (host_->status() != statuses_.back()) statuses_.push_back(host_->status());
    });
    return *host_;
  }

  bool waitFor(const std::function<bool()>& condition, MainQueue::Duration patience = kPatience) {
    return main_.runUntil(condition, patience);
  }
  bool statusIs(const std::string& status) {
    return waitFor([&] { return host_->status() == status; });
  }
  std::string listeningSuffix() const { return " · listening on " + std::to_string(port_); }
  std::string clientLeft() const { return "Disconnected" + listeningSuffix(); }

  void startListening() {
    host_->start();
    ASSERT_TRUE(
        statusIs("Listening on port " + std::to_string(port_) + " · LAN / private network"));
  }

  // A client that is in. One turned away while an ended session's start unwinds dials again.
  std::unique_ptr<TestClient> connect() {
    std::unique_ptr<TestClient> client;
    EXPECT_TRUE(waitFor([&] {
      if (!client || client->ended())
        client = std::make_unique<TestClient>(main_, port_, host_->connectionKey());
      return client->ready() && host_->connected();
    }));
    return client;
  }

  // A client whose session streams 1920×1080 at 60 fps; with held displays, one whose session
  // waits for platform_->completeDisplay() instead.
  std::unique_ptr<TestClient> stream() {
    auto client = connect();
    client->send(RemotePacket::configuration, json({1920, 1080, 60}));
    if (record_->holdDisplays) {
      EXPECT_TRUE(waitFor([&] { return record_->heldCompletions.size() == 1; }));
    } else {
      EXPECT_TRUE(statusIs("Streaming 1920×1080 · requested 60 fps"));
      EXPECT_TRUE(waitFor([&] { return !client->received(RemotePacket::configuration).empty(); }));
    }
    return client;
  }

  AsioMainQueue main_;
  std::shared_ptr<PlatformRecord> record_ = std::make_shared<PlatformRecord>();
  FakeHostPlatform* platform_ = nullptr;
  uint16_t port_ = freePort();
  std::unique_ptr<RemoteHost> host_;
  std::vector<std::string> statuses_;  // every status the host showed, in order
};

}  // namespace veltra::test
