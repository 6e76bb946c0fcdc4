#include "protocol/RemoteConnectionProfile.h"

#include <array>
#include <string_view>
#include <utility>

#include "protocol/JsonFields.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"
#include "protocol/UnicodeText.h"

namespace veltra {
namespace {

constexpr size_t kMaximumAddressCharacters = 253;  // the longest DNS name
constexpr uint16_t kLowestPort = 1024;

RemoteError invalidProfile() {
  return RemoteError::unavailable(
      "Invalid connection profile: check version, address, port and display settings.");
}

bool isAcceptableAddress(std::string_view address) {
  if (address.empty()) return false;
  // Invalid UTF-8 has no character count, so it fails the length rule.
  const std::optional<size_t> characters = graphemeCount(address);
  if (!characters || *characters > kMaximumAddressCharacters) return false;
  if (containsWhiteSpace(address)) return false;
  return address.find('/') == std::string_view::npos;
}

// The profile's layout is written by hand rather than by a JSON library's pretty printer: files
// must be byte-identical to those written elsewhere, and library layouts differ in indentation,
// spacing around the colon and the escaping of "/". Keys are emitted in byte order.
class ProfileWriter {
 public:
  void openObject() {
    text_ += '{';
    ++depth_;
    first_ = true;
  }

  void closeObject() {
    --depth_;
    newline();
    text_ += '}';
    first_ = false;
  }

  void key(std::string_view name) {
    if (!first_) text_ += ',';
    first_ = false;
    newline();
    string(name);
    text_ += " : ";
  }

  void integer(long long value) { text_ += std::to_string(value); }

  void string(std::string_view value) {
    static constexpr std::array<char, 16> kHex{'0', '1', '2', '3', '4', '5', '6', '7',
                                               '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    text_ += '"';
    for (const char character : value) {
      switch (character) {
        case '"':
          text_ += "\\\"";
          break;
        case '\\':
          text_ += "\\\\";
          break;
        case '/':
          text_ += "\\/";
          break;
        case '\b':
          text_ += "\\b";
          break;
        case '\f':
          text_ += "\\f";
          break;
        case '\n':
          text_ += "\\n";
          break;
        case '\r':
          text_ += "\\r";
          break;
        case '\t':
          text_ += "\\t";
          break;
        default: {
          const auto byte = static_cast<unsigned char>(character);
          if (byte < 0x20) {
            text_ += "\\u00";
            text_ += kHex[byte >> 4];
            text_ += kHex[byte & 0xF];
          } else {
            // UTF-8 beyond ASCII is written as is.
            text_ += character;
          }
        }
      }
    }
    text_ += '"';
  }

  Bytes take() { return Bytes(text_.begin(), text_.end()); }

 private:
  void newline() {
    text_ += '\n';
    text_.append(static_cast<size_t>(depth_) * 2, ' ');
  }

  std::string text_;
  int depth_ = 0;
  bool first_ = true;
};

}  // namespace

RemoteConnectionProfile::RemoteConnectionProfile(std::string hostAddress, uint16_t hostPort,
                                                 std::string keyText)
    : address(std::move(hostAddress)), port(hostPort), connectionKey(std::move(keyText)) {}

RemoteConnectionProfile::RemoteConnectionProfile(int formatVersion, std::string hostAddress,
                                                 uint16_t hostPort, std::string keyText,
                                                 RemoteConfiguration display)
    : version(formatVersion),
      address(std::move(hostAddress)),
      port(hostPort),
      connectionKey(std::move(keyText)),
      configuration(display) {}

RemoteConnectionProfile RemoteConnectionProfile::validated() const {
  if (version != 1 || !isAcceptableAddress(address) || port < kLowestPort ||
      !configuration.isValid()) {
    throw invalidProfile();
  }
  // Throws the key message; the value itself is not needed here.
  RemoteAuthentication::secret(connectionKey);
  return *this;
}

Bytes RemoteConnectionProfile::encoded() const {
  validated();
  ProfileWriter writer;
  writer.openObject();
  writer.key("address");
  writer.string(address);
  writer.key("configuration");
  writer.openObject();
  writer.key("fps");
  writer.integer(configuration.fps);
  writer.key("height");
  writer.integer(configuration.height);
  writer.key("width");
  writer.integer(configuration.width);
  writer.closeObject();
  writer.key("connectionKey");
  writer.string(connectionKey);
  writer.key("port");
  writer.integer(port);
  writer.key("version");
  writer.integer(version);
  writer.closeObject();
  return writer.take();
}

RemoteConnectionProfile RemoteConnectionProfile::decode(ByteView bytes) {
  if (bytes.size() > kMaximumFileSize) {
    throw RemoteError::unavailable("Connection JSON is too large.");
  }
  using jsonfields::integerField;
  using jsonfields::stringField;
  // One statement per field: with several bad fields, the one reported must not depend on the
  // compiler's order of evaluating arguments.
  const nlohmann::json root = jsonfields::parseObject(bytes);
  const int version = integerField<int>(root, "version");
  std::string address = stringField(root, "address");
  const auto port = integerField<uint16_t>(root, "port");
  std::string connectionKey = stringField(root, "connectionKey");
  const nlohmann::json& configurationObject = jsonfields::objectField(root, "configuration");
  const RemoteConfiguration configuration{
      .width = integerField<int>(configurationObject, "width"),
      .height = integerField<int>(configurationObject, "height"),
      .fps = integerField<int>(configurationObject, "fps"),
  };
  const RemoteConnectionProfile profile(version, std::move(address), port, std::move(connectionKey),
                                        configuration);
  return profile.validated();
}

}  // namespace veltra
