#pragma once

#include <string>

namespace veltra {

// A connection key that stays across runs, kept in a file only its owner can read. Any thread;
// the functions share nothing but the file system. The key text passes through here and nowhere
// else: no function prints or logs it.

// Reads a connection key file: Base64 text as a profile holds it, white space around it ignored.
// Throws RemoteError (a clear message naming the file) when it is missing, unreadable or not a
// valid 32-byte key.
std::string readKeyFile(const std::string& path);

// Writes `key` (Base64 text) atomically: a temporary file in the same folder, created 0600 from
// its first byte (open with O_CREAT|O_EXCL, mode 0600), fsync, rename over `path`. The folder is
// created 0700 if missing (parents too). Throws RemoteError on failure, and for a `key` that is
// not a valid connection key, which would only fail later on reading.
void writeKeyFile(const std::string& path, const std::string& key);

// The key in `path`; when the file does not exist, a new random key is written there first (as
// writeKeyFile). Two processes creating it at once end with the same key: the second one to
// finish reads the first one's file instead of replacing it.
std::string loadOrCreateKeyFile(const std::string& path);

// $XDG_CONFIG_HOME/veltra/host-key, or ~/.config/veltra/host-key. Throws RemoteError when there
// is no home folder at all.
std::string defaultHostKeyPath();

}  // namespace veltra
