// TransferPairing: which transfer connection belongs to which request.
//
// Nothing on a transfer connection names its request. A connection can only
// be matched by the IPv4 address it comes from and by when it came, so this
// unit keeps those rules, with no sockets, files or clock of its own: the
// engine tells it what happened (connections accepted, closed or reset by
// their clients; requests begun, refused, accepted; sessions gone; time
// passing) and takes back decisions (give connection c to session s, close
// c). A connection with no decision stays held.
//
// When something happened is known within bounds. A request's first byte
// carries the kernel's arrival stamp; a connection arrived after the engine
// last found the listener's queue empty (`after`) and by the accept that took
// it (`by`). Against a request begun at t, a connection is
//   - after it:      after >= t  (it came once the request was on its way),
//   - ambiguous:     by >= t     (both arrived between two looks),
//   - near:          by >= t - ARRIVAL_SLACK (on a loaded machine a
//                    request's bytes can be processed after the connection
//                    its client made next, so this may still be its own),
//   - before it:     otherwise   (it cannot have been made for it).
//
// The rules:
//  - A session awaiting its connection takes the oldest connection from its
//    address that came after its request began, or the oldest ambiguous one
//    that is surely some client's (another request from the address was on
//    its way when it came, and that one did not take it); failing that, the
//    newest ambiguous one (a client connects right after its request, so
//    anything older came before it). An ambiguous connection that its client
//    closed without a byte may equally be a probe that came just before the
//    request or an empty upload, and a near one may be a probe: these are
//    taken only after CLOSED_GRACE with nothing better (a near one closed
//    empty after NEAR_EMPTY_GRACE). A connection that came before the
//    request is never taken.
//    Sessions awaiting from one address are served oldest first.
//  - A connection that came while nothing from its address was on its way or
//    awaiting is a stray: once it is closed or reset by its client it is
//    closed, and it never goes to a later request.
//  - A refused request claims at most one connection: the one its client
//    made right after it. The claim holds every connection from its address
//    that came since the request began and might be that one, so none of
//    them is handed to anyone until it is settled: by the first of them
//    closed or reset by its client, or by the first of two (the claim is
//    owed one); when the same session begins its next request, by the
//    first that came before that request (an ambiguous one only once the new
//    request turns out not to be a transfer), or by nothing if none came; and
//    it lapses after CLAIM_MS. A session that ends while awaiting leaves the
//    same claim behind.
//  - A download whose client left while others from its address stay
//    connected goes on detached (its connection may be another client's).
//    Still awaiting, it takes a connection only when no connected session
//    from its address is awaiting or has a request on its way, and only one
//    that came before every such request was seen (`caughtUp`): one that came
//    after its request, or one that came for another request which took a
//    later connection instead (that one's client reads it still).
//  - A connection nobody took within HOLD_MS is closed. Held connections are
//    capped per address (its sessions plus SPARE_PER_ADDRESS) and in all
//    (all sessions plus SPARE_IN_ALL); the oldest go first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>
#include <vector>

namespace vextora {

using ConnectionId = std::uint64_t;
using SessionId = std::uint64_t;
// Nanoseconds of the wall clock, the clock of the kernel's receive stamps.
using Stamp = std::int64_t;

struct PairingDecision {
    enum Kind : std::uint8_t { Give, Close };
    Kind kind = Close;
    ConnectionId connection = 0;
    SessionId session = 0;  // Give only

    bool operator==(const PairingDecision&) const = default;
};

class TransferPairing {
public:
    static constexpr std::uint32_t HOLD_MS = 30000;
    static constexpr std::uint32_t CLAIM_MS = 2000;
    static constexpr Stamp CLOSED_GRACE = 200'000'000;
    static constexpr Stamp NEAR_EMPTY_GRACE = 500'000'000;
    // How much later than its client sent it a request's first byte may be
    // stamped, against the connection the client made after it: a loaded
    // machine can process the two in either order.
    static constexpr Stamp ARRIVAL_SLACK = 250'000'000;
    static constexpr std::size_t SPARE_PER_ADDRESS = 16;
    static constexpr std::size_t SPARE_IN_ALL = 1024;

    // What a dispatched request turned out to be.
    enum class Answer : std::uint8_t {
        NotTransfer,  // any other request
        Refused,      // a transfer request answered 19
        Awaiting,     // a transfer was set up: it waits for its connection
    };

    // Every event takes the tick of the server's clock (`nowMs`, for the
    // time limits) and, where ordering matters, stamps.
    void sessionOpened(SessionId session, std::uint32_t address);
    // The first byte of the session's next request arrived at `at`.
    void requestBegun(SessionId session, Stamp at, std::uint32_t nowMs);
    void requestAnswered(SessionId session, Answer answer, std::uint32_t nowMs, Stamp now);
    // The session's transfer ended (it had a connection, or never will).
    void transferEnded(SessionId session);
    // The client of an awaiting download left; others from its address stay.
    void detach(SessionId session, std::uint32_t nowMs, Stamp now);
    // The session is gone. Awaiting, it leaves a claim on the connection its
    // client may still make (unless `owesNothing`: its wait simply ran out).
    void sessionGone(SessionId session, std::uint32_t nowMs, Stamp now, bool owesNothing = false);

    void connectionArrived(ConnectionId connection, std::uint32_t address, Stamp after, Stamp by,
                           std::uint32_t nowMs, Stamp now);
    // The client closed its end (after sending bytes or not), or reset it.
    void connectionEnded(ConnectionId connection, bool reset, bool carriedData, std::uint32_t nowMs,
                         Stamp now);
    // Every request whose first byte arrived before `at` has been reported.
    void caughtUp(Stamp at, std::uint32_t nowMs, Stamp now);
    void tick(std::uint32_t nowMs, Stamp now);

    // Decisions made since the last call, in order.
    std::vector<PairingDecision> takeDecisions();

    std::size_t heldCount() const { return heldTotal_; }
    std::size_t awaitingCount() const;
    std::size_t detachedCount() const;
    std::size_t claimCount() const { return claimTotal_; }
    // A decision may come from time passing alone: tick soon.
    bool waitsForTime() const;
    // Another connected session comes from this session's address.
    bool othersConnectedFrom(SessionId session) const;

private:
    enum class Order : std::uint8_t { Before, Near, Ambiguous, After };
    struct Held {
        ConnectionId id;
        Stamp after;
        Stamp by;
        std::uint32_t sinceMs;
        bool ended = false;
        bool reset = false;
        bool carriedData = false;
        bool contested = false;  // a refused request's, or the next one's
        bool closedEmpty() const { return reset || (ended && !carriedData); }
    };
    struct Party {
        SessionId id;
        std::uint32_t address;
        enum class State : std::uint8_t { Idle, Begun, Awaiting, Transferring } state = State::Idle;
        Stamp begunAt = 0;
        std::uint64_t awaitingOrder = 0;  // oldest waiter first
        Stamp awaitingSince = 0;
        // The last connection it took arrived by `tookBy`, for the request
        // begun at `tookFor`.
        Stamp tookBy = 0;
        Stamp tookFor = 0;
        bool detached = false;
    };
    struct Claim {
        SessionId owner;  // 0 once the session is gone
        Stamp since;      // the refused request began
        std::uint32_t sinceMs;
        bool ownerBegun = false;  // the owner's next request began at `nextBegun`
        Stamp nextBegun = 0;
        enum class Next : std::uint8_t { Unknown, Transfer, NotTransfer } next = Next::Unknown;
    };
    // Everything from one address.
    struct Place {
        std::vector<SessionId> sessions;  // connected and detached
        std::deque<Held> held;            // in arrival order
        std::vector<Claim> claims;        // oldest first
    };

    static Order order(const Held& held, Stamp at);
    Place* placeOf(std::uint32_t address);
    Party* party(SessionId session);
    void evaluate(std::uint32_t address, std::uint32_t nowMs, Stamp now);
    bool settleClaims(Place& place, std::uint32_t nowMs);
    bool reserved(const Place& place, const Held& held) const;
    bool wantedByRequest(const Place& place, const Held& held) const;
    bool someoneElses(const Place& place, const Held& held, SessionId taker) const;
    bool serveAwaiting(Place& place, Stamp now, bool detached);
    std::optional<std::size_t> bestAmbiguous(const Place& place, const Party& taker,
                                             Stamp now) const;
    void close(Place& place, std::size_t index);
    void give(Place& place, std::size_t index, Party& taker);
    void capInAll();
    void forgetIfEmpty(std::uint32_t address);

    std::unordered_map<SessionId, Party> parties_;
    std::unordered_map<std::uint32_t, Place> places_;
    std::unordered_map<ConnectionId, std::uint32_t> addressOf_;
    std::vector<PairingDecision> decisions_;
    std::size_t heldTotal_ = 0;
    std::size_t claimTotal_ = 0;
    std::uint64_t nextAwaitingOrder_ = 1;
    Stamp caughtUp_ = 0;
};

}  // namespace vextora
