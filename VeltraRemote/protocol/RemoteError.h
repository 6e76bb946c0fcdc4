#pragma once

#include <stdexcept>
#include <string>

namespace veltra {

// The error kinds of the remote module. what() is the description that the user sees or that
// travels to the peer in a failure packet, verbatim.
class RemoteError : public std::runtime_error {
 public:
  enum class Kind { unavailable, invalidPacket, authentication };

  static RemoteError unavailable(std::string reason);
  static RemoteError invalidPacket();
  static RemoteError authentication();

  Kind kind() const { return kind_; }

 private:
  RemoteError(Kind kind, const std::string& description);
  Kind kind_;
};

// A record whose AES-GCM tag does not verify. Kept apart from RemoteError because it is the
// cipher's own verdict, not one of the protocol's kinds.
class CipherError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A JSON payload or profile that does not read: not JSON, a missing key, a wrong type or a
// number outside its field. what() is the reader's description.
class JsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace veltra
