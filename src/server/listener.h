// Listener: a listening socket watched by the poller. acceptOne() takes at
// most one pending connection per call, never blocking. When the process is
// out of descriptors the pending connection stays queued and would be
// reported ready on every pass; the listener then stops watching for a
// moment instead of spinning, and the connected clients keep being served.
//
// A listener can also keep descriptors free for the sessions already
// connected, which need them for their files and transfer connections: a
// connection accepted into that reserve is closed at once (its client sees
// the close) and the listener backs off as when none are left.
#pragma once

#include <cstdint>

#include "net/poller.h"
#include "net/tcp_socket.h"

namespace vextora {

class TickClock;

class Listener {
public:
    static constexpr std::uint32_t BACKOFF_MS = 100;

    // poller and clock must outlive the listener.
    Listener(Poller& poller, const TickClock& clock) : poller_(poller), clock_(clock) {}
    ~Listener() { close(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Binds all IPv4 addresses on port (0: any free port) with the largest
    // backlog. False with lastError() set when it cannot.
    bool open(std::uint16_t port);
    void close();
    bool isOpen() const { return socket_.isOpen(); }
    int lastError() const { return lastError_; }
    std::uint16_t port() const { return socket_.localPort().value_or(0); }

    // A non-blocking connection, or an empty socket when none is ready. By
    // default only when the poller reported the listener ready in this pass
    // (and at most once a pass); with unreported, whatever is waiting.
    TcpSocket acceptOne(bool unreported = false);
    // The poller reported a connection waiting in this pass.
    bool reported() const { return (ready_ & READY_READ) != 0; }
    // The last acceptOne() found the queue empty (rather than failing or
    // backing off).
    bool foundNothing() const { return foundNothing_; }
    // The number of descriptors to keep free; 0 (the default) keeps none.
    void keepFree(long descriptors) { keepFree_ = descriptors; }
    // How many descriptors the process has left above this connection's.
    // They are handed out lowest first, so every one below it is in use.
    static long descriptorsAbove(const TcpSocket& connection);
    // True while it is backing off; the loop's wait must then end in time.
    bool backingOff() const { return paused_; }

private:
    void pause();

    Poller& poller_;
    const TickClock& clock_;
    TcpSocket socket_;
    std::uint32_t ready_ = 0;
    long keepFree_ = 0;
    bool paused_ = false;
    bool foundNothing_ = false;
    std::uint32_t pausedAt_ = 0;
    int lastError_ = 0;
};

}  // namespace vextora
