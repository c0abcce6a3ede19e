// TransferHub: the one listener on the transfer port, for the whole run.
//
// A transfer connection goes to the session that has waited longest for one
// among those whose control connection comes from the same IPv4 address, so
// two clients' files never cross. A connection that arrives before its
// request (a client may connect as soon as it has sent the request) is held
// for up to TRANSFER_HOLD_MS, then closed. Held connections are capped, per
// address and in all, so no client can pile up descriptors here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "net/tcp_socket.h"
#include "server/listener.h"

namespace vextora {

class ClientSession;
class Poller;
class TickClock;

class TransferHub {
public:
    static constexpr std::size_t MAX_HELD_PER_ADDRESS = 16;
    static constexpr std::size_t MAX_HELD = 512;

    // poller and clock must outlive the hub.
    TransferHub(Poller& poller, const TickClock& clock) : clock_(clock), listener_(poller, clock) {}
    ~TransferHub();
    TransferHub(const TransferHub&) = delete;
    TransferHub& operator=(const TransferHub&) = delete;

    // Binds the transfer port. False with lastError() when it cannot.
    bool listen(std::uint16_t port);
    int lastError() const { return listener_.lastError(); }
    std::uint16_t port() const { return listener_.port(); }
    bool backingOff() const { return listener_.backingOff(); }
    void close();

    // One pass: accepts at most one pending connection and gives it to its
    // session or holds it; closes holds that have waited too long. True when
    // it did something.
    bool service();
    // The session (with a transfer set up) starts waiting for its connection;
    // a held connection from its address is handed over at once.
    void await(ClientSession& session);
    // The session no longer waits (its transfer ended, or it is destroyed).
    void forget(const ClientSession& session);
    // A transfer request from this address was refused. Its client may
    // already have connected; once that connection is closed, it must not be
    // taken for the next transfer from the address.
    void noteRefused(std::uint32_t address);

    std::size_t heldCount() const { return held_.size(); }
    std::size_t awaitingCount() const { return awaiting_.size(); }

private:
    struct Held {
        TcpSocket connection;
        std::uint32_t address;
        std::uint32_t since;
    };

    void hold(const TcpSocket& connection, std::uint32_t address);
    // Drops the connection when it is a refused request's, already closed.
    bool discardIfOrphan(TcpSocket& connection, std::uint32_t address);

    struct Orphans {
        std::uint32_t address;
        std::uint32_t count;
        std::uint32_t since;
    };

    const TickClock& clock_;
    Listener listener_;
    std::vector<ClientSession*> awaiting_;  // in the order they began to wait; not owned
    std::deque<Held> held_;                 // in arrival order
    std::vector<Orphans> orphans_;
};

}  // namespace vextora
