// NameLookup: one host name looked up while the caller goes on.
//
// The system's resolver has no call that returns before it has its answer,
// and a name it cannot answer may hold it for many seconds. So start() hands
// the name to a thread of its own, which looks it up and sends the answer
// back over a socket pair: handle() becomes readable when the answer is
// there, and take() reads it. The thread owns its copy of the name and its
// end of the pair and nothing else, so dropping a lookup never waits and
// frees nothing the thread still uses: the thread finishes its lookup alone,
// finds nobody listening, and ends.
//
// A host in dotted form needs no lookup: it is its own answer at once, with
// no thread. Objects are used from one thread; the lookup thread touches none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "net/tcp_socket.h"

namespace vextora {

class NameLookup {
public:
    // What the thread calls: the address in network order, or ADDRESS_NONE.
    using Resolver = std::uint32_t (*)(const char* host);

    NameLookup() = default;
    ~NameLookup();
    NameLookup(const NameLookup&) = delete;
    NameLookup& operator=(const NameLookup&) = delete;

    // Drops any lookup under way and starts looking `host` up with
    // `resolve`. False when no thread or socket pair could be had: the lookup
    // is then over, with no address.
    bool start(const std::string& host, Resolver resolve = &TcpSocket::resolveHost);
    // Readable when the awaited answer has come; INVALID_HANDLE when none is
    // awaited (nothing started, answered at once, or already taken).
    int handle() const { return handle_; }
    // The answer once it is there: an address in network order, or
    // ADDRESS_NONE when the name was not found (or the thread could not
    // answer). Nothing while it is still awaited, or when nothing was started.
    std::optional<std::uint32_t> take();
    // Forgets the lookup under way; its thread ends by itself.
    void drop();

private:
    int handle_ = TcpSocket::INVALID_HANDLE;  // our end of the pair, owned
    std::optional<std::uint32_t> answer_;
};

}  // namespace vextora
