#pragma once

#include <utility>
#include <vector>

#include "support/ChangeNotifier.h"

namespace veltra {

// The change-notification registrations a view holds on long-lived objects; they end with the
// bag, so a view that goes away is never called again. The notifiers must outlive the bag.
//
// THREADING: main thread, like the notifiers.
class RemoteObserverBag {
 public:
  RemoteObserverBag() = default;
  ~RemoteObserverBag() {
    for (auto& [notifier, token] : tokens_) notifier->remove(token);
  }
  RemoteObserverBag(const RemoteObserverBag&) = delete;
  RemoteObserverBag& operator=(const RemoteObserverBag&) = delete;

  void add(ChangeNotifier& notifier, std::function<void()> observer) {
    tokens_.emplace_back(&notifier, notifier.add(std::move(observer)));
  }

 private:
  std::vector<std::pair<ChangeNotifier*, ChangeNotifier::Token>> tokens_;
};

}  // namespace veltra
