#pragma once

#include <vector>

#include "protocol/RemoteInput.h"
#include "view/RemoteViewClient.h"

namespace veltra::test {

// A client session as the view sees it, with RemoteClient's rules for input: capture turns on
// only while connected with a picture, input goes out only while it is on and valid. Records
// what the view asked of it.
class FakeViewClient final : public RemoteViewClient {
 public:
  bool connected() const override { return connected_; }
  bool inputEnabled() const override { return inputEnabled_; }
  void setInputEnabled(bool enabled) override {
    inputEnabled_ = enabled && connected_ && hasPicture_;
    requests.push_back(enabled);
    releases += !inputEnabled_;  // each sends releaseInput on a real connection
  }
  void send(const RemoteInput& input) override {
    if (inputEnabled_ && input.isValid()) sent.push_back(input);
  }
  void recordPresentation() override { ++presentations; }

  // A connected session whose first picture has arrived.
  void streaming() { connected_ = hasPicture_ = true; }
  void setConnected(bool connected) { connected_ = connected; }

  std::vector<RemoteInput> sent;
  std::vector<bool> requests;
  int releases = 0;
  int presentations = 0;

 private:
  bool connected_ = false;
  bool hasPicture_ = false;
  bool inputEnabled_ = false;
};

}  // namespace veltra::test
