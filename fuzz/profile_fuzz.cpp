// Reads connection profile files. A file that decodes must be a profile that validates and whose
// own file decodes back to the same profile, unless that file has grown past the size limit: the
// written layout is roomier than a compact input, and an address may be one character with
// thousands of combining marks.

#include <optional>
#include <string_view>

#include "fuzz_support.h"
#include "protocol/RemoteConnectionProfile.h"
#include "protocol/RemoteError.h"

using namespace veltra;
using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::optional<RemoteConnectionProfile> profile;
  try {
    profile = RemoteConnectionProfile::decode({data, size});
  } catch (const JsonError&) {
    return 0;
  } catch (const RemoteError& error) {
    check(error.kind() == RemoteError::Kind::unavailable);
    return 0;
  }
  check(profile->validated() == *profile);
  const Bytes file = profile->encoded();
  check(profile->encoded() == file);
  try {
    check(RemoteConnectionProfile::decode(file) == *profile &&
          file.size() <= RemoteConnectionProfile::kMaximumFileSize);
  } catch (const RemoteError& error) {
    check(file.size() > RemoteConnectionProfile::kMaximumFileSize &&
          std::string_view(error.what()) == "Connection JSON is too large.");
  }
  return 0;
}
