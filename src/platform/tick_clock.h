// The millisecond tick: a 32-bit count from the monotonic clock that wraps
// after about 49.7 days. Durations are always taken as unsigned differences,
// so they stay right across the wrap. Tests substitute a clock they set.
#pragma once

#include <atomic>
#include <cstdint>

namespace vextora {

class TickClock {
public:
    virtual ~TickClock() = default;
    virtual std::uint32_t now() const = 0;
};

class SystemTickClock final : public TickClock {
public:
    std::uint32_t now() const override;
};

// A clock that stands still until told to move; a test thread may move it
// while a server thread reads it. Zero is avoided as a start because the rate
// window reads 0 as "no window yet".
class ManualTickClock final : public TickClock {
public:
    explicit ManualTickClock(std::uint32_t start = 1000) : now_(start) {}
    std::uint32_t now() const override { return now_.load(); }
    void set(std::uint32_t tick) { now_.store(tick); }
    void advance(std::uint32_t ms) { now_.fetch_add(ms); }

private:
    std::atomic<std::uint32_t> now_;
};

// Nanoseconds of the wall clock: the clock of the kernel's receive stamps,
// for ordering what arrived on different connections. Not for durations.
std::int64_t wallClockNanos();

// Milliseconds from `since` to `now`, correct across the wrap.
inline std::uint32_t elapsedMs(std::uint32_t since, std::uint32_t now) {
    return now - since;
}

}  // namespace vextora
