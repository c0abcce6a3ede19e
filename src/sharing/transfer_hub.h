// TransferHub: the one listener on the transfer port, for the whole run.
//
// A transfer connection goes to the session that has waited longest for one
// among those whose control connection comes from the same IPv4 address, so
// two clients' files never cross. A connection that arrives before its
// request (a client may connect as soon as it has sent the request) is held
// for up to TRANSFER_HOLD_MS, then closed. Held connections are capped: from
// one address, at the number of its control connections plus a few, and in
// all, so no client can pile up descriptors here.
//
// Behind one address the hub cannot tell clients apart, so it keeps their
// connections and requests in step:
//  - a client connects right after a request even when the request is then
//    refused; the first connection from its address accepted since that
//    request began to arrive is taken to be that one and closed, never
//    handed to the next transfer. Once a client from there begins another
//    request that claim is settled: a client that never connected for its
//    refused request does not cost another its connection;
//  - a download whose client has gone while other clients from its address
//    are connected runs on here, detached from its session, until it is
//    complete: the connection it serves, or will be given, may be another
//    client's that is still waiting for its file. (A client alone at its
//    address takes its download with it.)
//    Sessions still connected come first, and while a request from its
//    address is on its way a connection is held for that request;
//  - a held connection that its client has reset is closed, never handed on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "net/tcp_socket.h"
#include "server/listener.h"

namespace vextora {

class ClientList;
class ClientSession;
class Poller;
class TickClock;
struct Transfer;

class TransferHub {
public:
    static constexpr std::size_t SPARE_HELD_PER_ADDRESS = 16;
    static constexpr std::size_t SPARE_HELD = 1024;
    // Below this many free descriptors an early connection is not held;
    // below KEPT_FREE none is accepted at all.
    static constexpr long HOLD_RESERVE = 48;
    static constexpr long KEPT_FREE = 16;
    static constexpr std::uint32_t RELISTEN_MS = 1000;
    // A transfer connection whose handshake took less than SHORT_PATH_RTT_US
    // (the same machine, or a fast local network) gets a send buffer of
    // SHORT_PATH_SEND_BUFFER bytes and a receive buffer of
    // SHORT_PATH_RECEIVE_BUFFER; the kernel reserves twice each, which keeps
    // more in flight than such a path carries at 20 Gbit/s. Left to itself
    // the kernel grows them to their limits (4 and 32 MiB here) on loopback,
    // where nothing is ever lost to hold them back, and through such long
    // queues downloads ran a fifth slower and uploads half as fast, some runs
    // far slower still. Longer paths keep the kernel's sizing, which follows
    // their bandwidth and delay.
    static constexpr std::uint32_t SHORT_PATH_RTT_US = 100;
    static constexpr int SHORT_PATH_SEND_BUFFER = 256 * 1024;
    static constexpr int SHORT_PATH_RECEIVE_BUFFER = 1024 * 1024;

    // clients, poller, clock and pass must outlive the hub; `pass` counts the
    // loop's passes.
    TransferHub(const ClientList& clients, Poller& poller, const TickClock& clock,
                const std::uint64_t& pass);
    ~TransferHub();
    TransferHub(const TransferHub&) = delete;
    TransferHub& operator=(const TransferHub&) = delete;

    // Binds the transfer port. False with lastError() when it cannot; the
    // hub then tries again every RELISTEN_MS until it can or is closed, and
    // transfers wait for it meanwhile.
    bool listen(std::uint16_t port);
    bool listening() const { return listener_.isOpen(); }
    int lastError() const { return listener_.lastError(); }
    std::uint16_t port() const { return listener_.port(); }
    bool backingOff() const { return listener_.backingOff(); }
    void close();

    // One pass: moves the detached downloads on, accepts at most one pending
    // connection and gives it to its taker or holds it, closes holds that
    // have waited too long. True when it did something.
    bool service();
    // The session (with a transfer set up) starts waiting for its connection;
    // a held connection from its address is handed over at once.
    void await(ClientSession& session);
    // The session no longer waits (its transfer ended, or it is destroyed).
    void forget(const ClientSession& session);
    // Another session's control connection comes from this session's address.
    bool othersConnectedFrom(const ClientSession& session) const;
    // Takes over the download of a session whose client has gone: an awaiting
    // one still takes a connection for up to TRANSFER_HOLD_MS, a running one
    // runs to its end (or until it stalls that long).
    void adopt(std::unique_ptr<Transfer> download);
    // A session ended before its transfer connection carried anything. Behind
    // one address the connection may be another client's, so it goes to the
    // next taker, or is held, rather than closed.
    void giveBack(const TcpSocket& connection, std::uint32_t address);

    // A transfer request of `session`, whose first byte arrived in pass
    // `since`, was refused: the connection its client made for it, now or
    // still to come, is closed.
    void refused(const ClientSession& session, std::uint32_t address, std::uint64_t since);
    // The session is gone: a connection for its refused request would have
    // come by now. (One that begins another request settles through
    // requestBegun.) So has it once any
    // client from that address begins a request, or TRANSFER_HOLD_MS have
    // passed; an idle refused session never claims another's connection.
    void settleRefusal(const ClientSession& session);
    // A session is being destroyed (kicked, or its client left) while it
    // awaits its transfer connection, whose request began in pass `since`.
    // A connection that has already come is its own (it is the oldest waiter
    // from its address) and ends with it; after this it awaits nothing. Its
    // client may still be connecting for it: the first connection from its
    // address since then is closed rather than handed to the next transfer
    // from that address, until a client from there begins another request
    // (by then it would have come) or TRANSFER_HOLD_MS have passed.
    void orphaned(const ClientSession& session, std::uint32_t address, std::uint64_t since);
    // A session from this address begins a request: what earlier refused or
    // orphaned requests from there were owed is settled.
    void requestBegun(const ClientSession& session);

    std::size_t heldCount() const { return held_.size(); }
    std::size_t awaitingCount() const { return awaiting_.size(); }
    std::size_t detachedCount() const { return detached_.size(); }

private:
    struct Held {
        TcpSocket connection;
        std::uint32_t address;
        std::uint32_t since;
        bool givenBack;  // its client may since have closed it
        std::uint64_t acceptPass;
    };
    struct Detached {
        std::unique_ptr<Transfer> transfer;
        std::uint32_t lastProgress;
    };
    struct Refusal {
        const ClientSession* session;  // not owned; null once the session is gone
        std::uint32_t address;
        std::uint64_t since;
        std::uint32_t recorded;  // tick; every entry expires
    };

    bool acceptOne(bool unreported = false);
    void acceptAllPending();
    // True (and the refusal settled) when a connection accepted in that pass
    // is the one a refused request from its address still owes. Not while
    // another client from there is sending a transfer request: the
    // connection may be that one's, and reading it settles the claim.
    bool owedToRefusal(std::uint32_t address, std::uint64_t acceptPass);
    // Gives a connection to the session that has waited longest for one from
    // its address, else to a detached download from there unless a request
    // from that address is under way. False when it goes to nobody.
    bool place(const TcpSocket& connection, std::uint32_t address);
    // A session from this address, other than the ones named, passes `test`.
    template <typename Test>
    bool anySessionFrom(std::uint32_t address, Test test, const ClientSession* besides = nullptr,
                        const ClientSession* alsoBesides = nullptr) const;
    // A session from this address, other than the ones named, has a request
    // that may start a transfer arriving or waiting to be read.
    bool transferRequestUnderway(std::uint32_t address, const ClientSession* besides = nullptr,
                                 const ClientSession* alsoBesides = nullptr) const;
    // The oldest held connection from this address that can still serve;
    // dead ones and those owed to refusals met on the way are dropped. A
    // closed socket when there is none.
    TcpSocket takeHeld(std::uint32_t address);
    void hold(const TcpSocket& connection, std::uint32_t address, bool givenBack);
    bool runDetached(std::uint32_t now);

    const ClientList& clients_;
    Poller& poller_;
    const TickClock& clock_;
    const std::uint64_t& pass_;
    Listener listener_;
    std::vector<ClientSession*> awaiting_;  // in the order they began to wait; not owned
    std::deque<Held> held_;                 // in arrival order
    std::vector<Detached> detached_;
    std::vector<Refusal> refusals_;
    // The session whose beginning request is settling the claims on its
    // address; its own request is no other client's.
    const ClientSession* settling_ = nullptr;
    std::optional<std::uint16_t> wantedPort_;  // to bind again while it fails
    std::uint32_t lastListenTry_ = 0;
};

}  // namespace vextora
