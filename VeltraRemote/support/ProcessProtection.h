#pragma once

namespace veltra {

// Both programs hold the connection key in memory for their whole life. This marks the process
// as not dumpable: no core file carries the key, and other processes of the same user can neither
// attach a debugger nor read its memory or environment through /proc (only root can). Returns
// false if the system refused. Main thread, at start-up, before the key is read or made.
bool protectProcessMemory();

}  // namespace veltra
