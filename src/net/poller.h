// Poller: readiness of many sockets gathered with one system call.
//
// Each watched handle carries a pointer to a readiness word owned by whoever
// watches it. wait() ORs what the system reports into those words, so a
// caller reads its socket's readiness from its own field; the owner clears
// bits as it acts on them. A watcher must unwatch its handle before the word
// goes away (closing the handle also drops it).
//
// A watch may also name a listener, told in wait() each time its handle is
// reported, so that an owner of many handles learns which of them have
// something to do without looking at every one.
#pragma once

#include <cstdint>
#include <vector>

namespace vextora {

enum Readiness : std::uint32_t {
    READY_READ = 1,    // data, or a connection to accept
    READY_WRITE = 2,   // the send buffer has room
    READY_HANGUP = 4,  // the peer closed or the connection failed
};

// Told by Poller::wait() that a handle it watches was reported ready. It is
// called inside wait(), and must not watch or unwatch anything there.
class ReadyListener {
public:
    virtual void onReady() = 0;

protected:
    ~ReadyListener() = default;
};

class Poller {
public:
    Poller();
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    bool valid() const { return handle_ >= 0; }

    // Starts watching, or changes what is watched. interest is READY_READ
    // and/or READY_WRITE; a failure or full hang-up is always reported. An
    // interest of 0 watches for the peer's close alone, a half-close
    // included (a reader sees that as the end of its data). The word, and
    // the listener when there is one, must outlive the watch.
    bool watch(int handle, std::uint32_t interest, std::uint32_t* readiness,
               ReadyListener* listener = nullptr);
    // Changes who is told about a watched handle (nullptr: nobody).
    void setListener(int handle, ReadyListener* listener);
    void unwatch(int handle);

    // One wait reports at most this many handles; the others stay ready and
    // come first in the next.
    static constexpr int MOST_REPORTED = 1024;

    // Waits up to timeoutMs (0: just look) and records what is ready in the
    // watchers' words. Returns how many handles were reported.
    int wait(int timeoutMs);

    // The poller itself becomes readable when a watched handle is ready, so an
    // outside event loop can wait on it.
    int nativeHandle() const { return handle_; }

private:
    struct Watch {
        std::uint32_t* readiness = nullptr;  // null: not watched
        ReadyListener* listener = nullptr;
    };

    int handle_;
    std::vector<Watch> registered_;      // indexed by handle
    std::vector<unsigned char> events_;  // raw event buffer for the system call
};

}  // namespace vextora
