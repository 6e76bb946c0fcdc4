#pragma once

#include <string_view>

namespace veltra {

// Names the calling thread so it reads well in `top -H` and gdb (Linux keeps 15 characters).
void setCurrentThreadName(std::string_view name);

}  // namespace veltra
