#include "client_test_support.h"

namespace veltra::test {

void ScriptedHost::accept() {
  connection_ = RemoteConnection::accepted(listener_.accept(), RemoteAuthentication::secret(key_));
  connection_->onPacket = [record = record_](RemotePacket type, Bytes payload) {
    std::lock_guard lock(record->mutex);
    record->packets.emplace_back(type, std::move(payload));
  };
  connection_->onEnd = [record = record_](const std::string&) {
    std::lock_guard lock(record->mutex);
    record->ended = true;
  };
  connection_->start();
}

}  // namespace veltra::test
