// The one random engine of a thread: MT19937 seeded once from the system random device (the
// real-time clock when there is none). For choices that need to be unpredictable enough to spread
// load and ports, not for secrets.
#pragma once

#include <random>

namespace tovali {

// The calling thread's engine; the first call on a thread seeds it.
std::mt19937& RandomEngine();

}  // namespace tovali
