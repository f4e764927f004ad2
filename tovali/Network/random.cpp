#include "tovali/Network/random.h"

#include <time.h>

#include <cstdint>

namespace tovali {
namespace {

uint32_t RandomSeed() {
  try {
    std::random_device device("default");
    return device();
  } catch (...) {
    // No random device: the wall clock will do for spreading choices.
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000000000u +
                                 static_cast<uint64_t>(ts.tv_nsec));
  }
}

}  // namespace

std::mt19937& RandomEngine() {
  thread_local std::mt19937 engine(RandomSeed());
  return engine;
}

}  // namespace tovali
