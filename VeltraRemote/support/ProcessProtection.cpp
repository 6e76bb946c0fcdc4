#include "support/ProcessProtection.h"

#include <sys/prctl.h>

namespace veltra {

bool protectProcessMemory() {
  return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

}  // namespace veltra
