#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace veltra {

// 32 bytes of key material (the connection key or a derived session key). Wiped when destroyed
// or overwritten, so a released key does not linger in freed memory.
class SecretKey {
 public:
  static constexpr size_t kSize = 32;

  SecretKey() = default;
  explicit SecretKey(std::span<const uint8_t, kSize> bytes);
  SecretKey(const SecretKey& other);
  SecretKey& operator=(const SecretKey& other);
  ~SecretKey();

  std::span<const uint8_t, kSize> bytes() const { return bytes_; }
  std::span<uint8_t, kSize> mutableBytes() { return bytes_; }

  friend bool operator==(const SecretKey& a, const SecretKey& b);

 private:
  std::array<uint8_t, kSize> bytes_{};
};

}  // namespace veltra
