// What the administrator sees of one client: UserInfoSnapshot, built on
// demand for the console and for the user-information request, and the
// one-second rate window that the transfers feed.
#pragma once

#include <cstdint>
#include <string>

namespace vextora {

struct UserInfoSnapshot {
    std::uint8_t direction = 1;      // 1 none, 2 to the server, 3 to the client
    std::uint32_t rateKBps = 0;      // last closed window, in KiB per second
    std::uint32_t transferSize = 0;  // meaningful when direction is not 1
    std::uint32_t transferDone = 0;
    std::uint32_t connectedMs = 0;
    std::string peerAddress;  // dotted IPv4
    std::int32_t sharedFileCount = 0;
};

// Bytes per second over one-second windows. A window begins at the first
// update after a reset. An update that finds the window over closes exactly
// one window and moves the start by 1000 ms, never straight to now: after a
// stretch without updates, each following update closes one more window
// until the start has caught up with the clock.
class RateWindow {
public:
    void add(std::uint32_t bytes) { bytesThisSecond_ += bytes; }
    void update(std::uint32_t nowTick);
    void reset();

    std::uint32_t lastSecondBytes() const { return lastSecondBytes_; }
    std::uint32_t kilobytesPerSecond() const { return lastSecondBytes_ >> 10; }

private:
    std::uint32_t lastSecondBytes_ = 0;
    std::uint32_t bytesThisSecond_ = 0;
    std::uint32_t rateWindowStart_ = 0;  // 0: no window has begun
};

}  // namespace vextora
