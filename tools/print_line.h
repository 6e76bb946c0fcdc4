#pragma once

#include <cstdio>
#include <string>

namespace veltra {

// One line on standard output, flushed at once: the programs' lines are read as they come by
// people and by scripts waiting for a status.
inline void printLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace veltra
