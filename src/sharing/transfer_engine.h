// TransferEngine: every transfer of the run, and the one listener on the
// transfer port.
//
// The engine owns the listener, every connection it holds until it knows
// whose it is, and every Transfer, keyed by the id of the session whose
// request set it up. Sessions never touch a transfer's sockets or files:
// they tell the engine what happens on their control connection (a request
// began, was answered, set up a transfer, a cancel came, the client left, the
// session ends) and run their transfer's step once per poll; the step says
// what moved, when the transfer ended and what to answer. Which connection
// goes to which request is decided by TransferPairing from what the engine
// tells it.
//
// A download whose client left while others from its address stay connected
// goes on detached from its session (its connection may be another client's
// that is still waiting for the file); the engine runs those steps itself.
//
// In each pass the loop calls service() before the sessions' polls (accepts,
// held connections, detached downloads, time limits) and settle() after them.
//
// Every transfer passes through the engine to its end, whoever ends it, so
// the engine is what logs that end: how (complete, cancelled, failed,
// dropped), with the label its request gave it, and any file-system failure
// on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/poller.h"
#include "net/tcp_socket.h"
#include "server/listener.h"
#include "sharing/transfer.h"
#include "sharing/transfer_pairing.h"

namespace vextora {

class TickClock;

// What a session's control connection brought since its last step.
enum class ControlEvent : std::uint8_t {
    None,
    Cancel,     // the cancel byte
    OtherByte,  // any other byte: it costs the step
    Lost,       // the connection closed or failed
};

// Who asked for a transfer and what for, as the log names them.
struct TransferLabel {
    std::string user;     // the session's name
    std::string address;  // its dotted address
    std::string name;     // the file's name, as the client gave it
    std::string path;     // the file on this machine; empty when there is none
};

// The outcome of one step of a session's transfer.
struct TransferStep {
    enum class Outcome : std::uint8_t {
        Running,      // goes on; still awaiting its connection when `awaiting`
        Ended,        // over; the session reads requests again
        SessionEnds,  // over, and the session with it
    };
    Outcome outcome = Outcome::Running;
    bool awaiting = false;
    std::optional<std::uint8_t> reply;  // what to answer on the control connection
    std::uint32_t moved = 0;            // bytes for the rate window
    bool completed = false;             // ran to its end (not cancelled)
    bool updateRate = true;             // the step counts for the rate window
};

class TransferEngine {
public:
    // Below this many free descriptors a connection is not held for later;
    // below KEPT_FREE none is accepted at all.
    static constexpr long HOLD_RESERVE = 48;
    static constexpr long KEPT_FREE = 16;
    static constexpr std::uint32_t RELISTEN_MS = 1000;
    // At most this many connections are taken from the listener at once.
    static constexpr int MOST_ACCEPTED = 256;
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

    // poller and clock must outlive the engine.
    TransferEngine(Poller& poller, const TickClock& clock);
    ~TransferEngine();
    TransferEngine(const TransferEngine&) = delete;
    TransferEngine& operator=(const TransferEngine&) = delete;

    // Binds the transfer port. False with lastError() when it cannot; the
    // engine then tries again every RELISTEN_MS until it can or is closed,
    // and transfers wait for it meanwhile.
    bool listen(std::uint16_t port);
    bool listening() const { return listener_.isOpen(); }
    int lastError() const { return listener_.lastError(); }
    std::uint16_t port() const { return listener_.port(); }
    bool backingOff() const { return listener_.backingOff(); }
    // A connection may be handed on once a moment has passed: look again soon.
    bool waitsForTime() const { return pairing_.waitsForTime(); }
    // Closes the listener and drops every connection and transfer.
    void close();

    // Told when a session's transfer connection is reported ready, so that
    // the session is polled. Set once, before any session opens.
    void setWake(std::function<void(SessionId)> wake) { wake_ = std::move(wake); }

    // Before the sessions' polls: the listener, held connections, detached
    // downloads, time limits. `gatheredAt` is the stamp taken just before
    // the pass looked at readiness. True when it did something.
    bool service(Stamp gatheredAt);
    // After the sessions' polls: every request whose bytes had arrived when
    // readiness was gathered has been read. Also releases replaced files.
    void settle();

    // ---- What sessions tell the engine ----
    void sessionOpened(SessionId session, std::uint32_t address);
    // The session is destroyed (kicked, shut down, or its poll ended it). A
    // transfer it still has ends with it, its partial upload dropped.
    void sessionClosed(SessionId session);
    // The first byte of the session's next request arrived at `at`.
    void requestBegun(SessionId session, Stamp at);
    // A request was dispatched and set up no transfer; `refusedTransfer`
    // when it was an upload or download answered 19.
    void requestAnswered(SessionId session, bool refusedTransfer);
    // A transfer request was accepted: the transfer waits for its connection.
    void start(SessionId session, std::unique_ptr<Transfer> transfer, TransferLabel label);
    // One step of the session's transfer.
    TransferStep step(SessionId session, ControlEvent control);

    bool hasTransfer(SessionId session) const { return transfers_.count(session) != 0; }
    bool awaiting(SessionId session) const;
    std::optional<TransferProgress> progress(SessionId session) const;

    std::size_t heldCount() const { return pairing_.heldCount(); }
    std::size_t awaitingCount() const { return pairing_.awaitingCount(); }
    std::size_t detachedCount() const { return detached_.size(); }

private:
    struct Entry;
    struct HeldConnection;

    // Takes every connection waiting on the listener.
    void acceptPending();
    void inspectHeld();
    // Carries out the pairing's decisions; true when there were any.
    bool apply();
    bool runDetached();
    // The client of this session left: its upload is dropped; its download
    // goes on detached if others from its address stay connected.
    void clientLeft(SessionId session);
    void drop(SessionId session);
    enum class Ending : std::uint8_t { Complete, Cancelled, Failed, Dropped };
    // Logs how the transfer ended; `reason` says why one failed.
    void logEnd(const Entry& entry, Ending how, const char* reason = nullptr) const;
    // Logs, then drops the session's transfer.
    void end(SessionId session, Ending how, const char* reason = nullptr);
    Stamp now() const;

    Poller& poller_;
    const TickClock& clock_;
    Listener listener_;
    TransferPairing pairing_;
    std::function<void(SessionId)> wake_;
    std::map<SessionId, std::unique_ptr<Entry>> transfers_;
    std::map<SessionId, std::unique_ptr<Entry>> detached_;
    std::unordered_map<ConnectionId, std::unique_ptr<HeldConnection>> held_;
    std::vector<ConnectionId> heldReady_;  // reported since the last look
    std::vector<OwnedHandle> releaseAfterPass_;
    ConnectionId nextConnection_ = 1;
    Stamp queueEmptyAt_ = 0;  // when the listener's queue was last found empty
    Stamp gatheredAt_ = 0;
    std::optional<std::uint16_t> wantedPort_;  // to bind again while it fails
    std::uint32_t lastListenTry_ = 0;
};

}  // namespace vextora
