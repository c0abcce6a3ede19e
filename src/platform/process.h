// Process-wide set-up of the server: stop signals, descriptor limit.
#pragma once

#include <atomic>

namespace vextora {

// An event any thread, and a signal handler, can raise to wake the loop.
// Its handle becomes readable until drain() is called.
class WakeEvent {
public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    int handle() const { return handle_; }
    void notify() const;  // async-signal-safe
    void drain() const;

private:
    int handle_;
};

// SIGINT and SIGTERM set `flag` and raise `wake`; SIGPIPE is ignored. Both
// must live until the process ends.
void routeStopSignals(std::atomic<bool>& flag, const WakeEvent& wake);
// The name of the stop signal that arrived last ("SIGTERM"), or nullptr
// when none has.
const char* stopSignalName();

// Ignores SIGPIPE for the whole process: a write to a closed pipe or socket
// fails with EPIPE instead. (sendfile cannot ask to be spared the signal as
// a send can, and a peer that vanished must never end the process.)
void ignoreBrokenPipe();

// Raises the soft descriptor limit to the hard limit, so thousands of
// clients can connect. Returns the new soft limit.
long raiseDescriptorLimit();

// Gives the memory the allocator holds free back to the system, so that a
// burst of clients that has gone does not leave the process large.
void releaseFreeMemory();

// Lets another thread or process that is waiting for this processor run
// first; returns at once when none is.
void yieldProcessor();

// The process's soft descriptor limit as it is now, or -1.
long descriptorLimit();

// Descriptors this process has open (counted in /proc/self/fd), or -1.
int openDescriptorCount();

}  // namespace vextora
