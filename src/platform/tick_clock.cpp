#include "platform/tick_clock.h"

#include <time.h>

namespace vextora {

std::uint32_t SystemTickClock::now() const {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
              static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

std::int64_t wallClockNanos() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

}  // namespace vextora
