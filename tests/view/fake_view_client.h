#pragma once

#include <vector>

#include "protocol/RemoteInput.h"
#include "view/RemoteViewClient.h"

namespace veltra::test {

// A client session as the view sees it, recording what the view asked of it, with RemoteClient's
// rules: capture only while connected with a picture, input out only while on and valid.
class FakeViewClient final : public RemoteViewClient {
 public:
  bool connected() const override { return connected_; }
  bool inputEnabled() const override { return inputEnabled_; }
  void setInputEnabled(bool enabled) override {
    inputEnabled_ = enabled && connected_ && hasPicture_;
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
  int releases = 0;
  int presentations = 0;

 private:
  bool connected_ = false;
  bool hasPicture_ = false;
  bool inputEnabled_ = false;
};

}  // namespace veltra::test
