#pragma once

#include <cstdint>

namespace veltra {

// Identifies one listener, session or attempt. Asynchronous callbacks carry the generation that
// installed them and do nothing once it is no longer current; ending anything draws a new one.
// Unique within the process; never 0, so 0 can mean "none".
using Generation = uint64_t;

Generation newGeneration();

}  // namespace veltra
