#include "protocol/Base64.h"

#include <openssl/evp.h>

#include <algorithm>

namespace veltra {
namespace {

// Whole groups per library call: the EVP block functions count in int, and a multiple of 3 input
// bytes (4 characters) keeps padding out of the middle when the pieces are joined.
constexpr size_t kGroupsPerCall = size_t{1} << 26;

bool isAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

}  // namespace

std::string base64Encode(ByteView bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3), '\0');
  char* out = text.data();
  while (!bytes.empty()) {
    const size_t chunk = std::min(bytes.size(), 3 * kGroupsPerCall);
    // Writes 4 characters per started group and a terminating NUL, which lands either on the
    // next piece's first character or on the string's own terminator.
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out), bytes.data(),
                                        static_cast<int>(chunk));
    out += written;
    bytes = bytes.subspan(chunk);
  }
  return text;
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return Bytes{};

  // EVP_DecodeBlock skips white space and trailing junk, so the shape is checked here first:
  // alphabet characters only, then at most two "=" that close the last group.
  size_t padding = 0;
  if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  if (!std::all_of(text.begin(), text.end() - static_cast<std::ptrdiff_t>(padding), isAlphabet)) {
    return std::nullopt;
  }

  // The library decodes each "=" as zero bits and counts the resulting bytes; they are cut off.
  Bytes bytes(text.size() / 4 * 3);
  uint8_t* out = bytes.data();
  while (!text.empty()) {
    const size_t chunk = std::min(text.size(), 4 * kGroupsPerCall);
    const int decoded = EVP_DecodeBlock(out, reinterpret_cast<const unsigned char*>(text.data()),
                                        static_cast<int>(chunk));
    if (decoded < 0 || static_cast<size_t>(decoded) != chunk / 4 * 3) return std::nullopt;
    out += decoded;
    text.remove_prefix(chunk);
  }
  // Erased rather than resized: GCC cannot see that `padding` is at most the size here, and
  // warns about the growing half of resize().
  bytes.erase(bytes.end() - static_cast<std::ptrdiff_t>(padding), bytes.end());
  return bytes;
}

}  // namespace veltra
