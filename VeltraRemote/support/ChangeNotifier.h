#pragma once

#include <cstdint>
#include <functional>
#include <map>

namespace veltra {

// How the long-lived objects (host, client) tell their observers (a window, a headless program)
// that published fields changed. Observers read the new values in the callback.
//
// THREADING: main thread only, like the fields it announces. An observer may add or remove
// observers, including itself, from inside its callback.
class ChangeNotifier {
 public:
  using Token = uint64_t;

  // `observer` runs after every change until removed; returns the token to remove it with.
  Token add(std::function<void()> observer) {
    observers_.emplace(++last_, std::move(observer));
    return last_;
  }
  void remove(Token token) { observers_.erase(token); }

  // Calls every observer present when the call began and still present when its turn comes.
  void notify() {
    std::map<Token, std::function<void()>> snapshot = observers_;
    for (auto& [token, observer] : snapshot) {
      if (observers_.contains(token)) observer();
    }
  }

 private:
  std::map<Token, std::function<void()>> observers_;
  Token last_ = 0;
};

}  // namespace veltra
