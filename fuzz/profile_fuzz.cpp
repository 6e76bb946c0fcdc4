// Reads connection profile files. A file that decodes must be a profile that validates and whose
// own file decodes back to the same profile, unless that file has grown past the size limit: the
// written layout is roomier than a compact input, and an address may be one character with
// thousands of combining marks.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "protocol/RemoteConnectionProfile.h"
#include "protocol/RemoteError.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using veltra::RemoteConnectionProfile;
  std::optional<RemoteConnectionProfile> profile;
  try {
    profile = RemoteConnectionProfile::decode({data, size});
  } catch (const veltra::JsonError&) {
    return 0;
  } catch (const veltra::RemoteError& error) {
    check(error.kind() == veltra::RemoteError::Kind::unavailable);
    return 0;
  }
  check(profile->validated() == *profile);
  const veltra::Bytes file = profile->encoded();
  check(profile->encoded() == file);
  if (file.size() <= RemoteConnectionProfile::kMaximumFileSize) {
    check(RemoteConnectionProfile::decode(file) == *profile);
  } else {
    try {
      RemoteConnectionProfile::decode(file);
      check(false);
    } catch (const veltra::RemoteError& error) {
      check(std::string_view(error.what()) == "Connection JSON is too large.");
    }
  }
  return 0;
}
