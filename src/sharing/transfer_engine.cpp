#include "sharing/transfer_engine.h"

#include <cerrno>
#include <cstring>

#include "platform/event_log.h"
#include "platform/tick_clock.h"
#include "server/protocol.h"

namespace vextora {

namespace {

// A download's name that leads to no file the server may send: what the
// client asked for is not there, which is no fault of the file system.
bool namesNothing(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG;
}

}  // namespace

// One transfer and what the engine keeps beside it. It is told when its
// connection is reported, and wakes the session that runs its steps.
struct TransferEngine::Entry final : ReadyListener {
    Entry(TransferEngine& owner, SessionId id, std::unique_ptr<Transfer> started,
          TransferLabel named, std::uint32_t tick)
        : engine(owner),
          session(id),
          transfer(std::move(started)),
          label(std::move(named)),
          began(tick),
          since(tick) {}
    void onReady() override {
        if (engine.wake_) engine.wake_(session);
    }

    TransferEngine& engine;
    SessionId session;
    std::unique_ptr<Transfer> transfer;
    TransferLabel label;
    std::uint32_t began;  // tick: the request was accepted
    std::uint32_t since;  // tick: the wait began, or (detached) the last progress
    bool timedOut = false;
};

// A connection nobody has taken yet, watched for what its client does.
struct TransferEngine::HeldConnection final : ReadyListener {
    HeldConnection(TransferEngine& owner, ConnectionId identity, const TcpSocket& accepted)
        : engine(owner), id(identity), socket(accepted) {}
    ~HeldConnection() {
        // Handed on, the connection is watched by its transfer now.
        if (!handedOn) engine.poller_.unwatch(socket.nativeHandle());
        socket.release();
    }
    void onReady() override { engine.heldReady_.push_back(id); }

    TransferEngine& engine;
    ConnectionId id;
    TcpSocket socket;
    std::uint32_t ready = 0;
    bool sawData = false;
    bool handedOn = false;
};

TransferEngine::TransferEngine(Poller& poller, const TickClock& clock)
    : poller_(poller), clock_(clock), listener_(poller, clock) {}

TransferEngine::~TransferEngine() {
    close();
}

Stamp TransferEngine::now() const {
    return wallClockNanos();
}

bool TransferEngine::listen(std::uint16_t port) {
    listener_.keepFree(KEPT_FREE);
    lastListenTry_ = clock_.now();
    queueEmptyAt_ = now();
    if (listener_.open(port)) return true;
    wantedPort_ = port;
    return false;
}

void TransferEngine::close() {
    wantedPort_.reset();
    listener_.close();
    for (const auto* running : {&transfers_, &detached_}) {
        for (const auto& [session, entry] : *running) logEnd(*entry, Ending::Dropped, "shutdown");
    }
    held_.clear();
    detached_.clear();
    transfers_.clear();
}

bool TransferEngine::service(Stamp gatheredAt) {
    gatheredAt_ = gatheredAt;
    std::uint32_t tick = clock_.now();
    // Another program held the port; sessions wait for it (at most their
    // awaiting limit) as for a client that is slow to connect.
    if (wantedPort_ && elapsedMs(lastListenTry_, tick) >= RELISTEN_MS) {
        lastListenTry_ = tick;
        if (listener_.open(*wantedPort_)) {
            wantedPort_.reset();
            queueEmptyAt_ = now();
        }
    }
    bool did = false;
    if (listener_.reported()) {
        acceptPending();
        did = true;
    }
    if (!heldReady_.empty()) {
        inspectHeld();
        did = true;
    }
    pairing_.tick(clock_.now(), now());
    if (apply()) did = true;
    if (runDetached()) did = true;
    return did;
}

void TransferEngine::settle() {
    pairing_.caughtUp(gatheredAt_, clock_.now(), now());
    apply();
    releaseAfterPass_.clear();
}

void TransferEngine::acceptPending() {
    // Connections wait in the order they were made; each one taken arrived
    // after the queue was last found empty and before it was taken.
    for (int taken = 0; taken < MOST_ACCEPTED; ++taken) {
        Stamp before = now();
        TcpSocket connection = listener_.acceptOne(true);
        if (!connection.isOpen()) {
            if (listener_.foundNothing()) queueEmptyAt_ = before;
            return;
        }
        Stamp by = now();
        std::uint32_t address = connection.peerAddress().value_or(0);
        if (connection.roundTripMicros().value_or(SHORT_PATH_RTT_US) < SHORT_PATH_RTT_US)
            connection.setBufferSizes(SHORT_PATH_SEND_BUFFER, SHORT_PATH_RECEIVE_BUFFER);
        bool scarce = Listener::descriptorsAbove(connection) < HOLD_RESERVE;
        ConnectionId id = nextConnection_++;
        auto held = std::make_unique<HeldConnection>(*this, id, connection);
        connection.release();
        poller_.watch(held->socket.nativeHandle(), READY_READ, &held->ready, held.get());
        held_.emplace(id, std::move(held));
        pairing_.connectionArrived(id, address, queueEmptyAt_, by, clock_.now(), by);
        apply();
        // Descriptors are short: one nobody takes at once is not kept.
        if (scarce && held_.count(id)) {
            pairing_.connectionEnded(id, true, false, clock_.now(), now());
            apply();
        }
    }
}

void TransferEngine::inspectHeld() {
    std::vector<ConnectionId> reported;
    reported.swap(heldReady_);
    for (ConnectionId id : reported) {
        auto found = held_.find(id);
        if (found == held_.end()) continue;
        HeldConnection& held = *found->second;
        if (!held.ready) continue;
        held.ready = 0;
        int handle = held.socket.nativeHandle();
        if (held.socket.peerFailed()) {
            poller_.unwatch(handle);
            pairing_.connectionEnded(id, true, held.sawData, clock_.now(), now());
            continue;
        }
        char first;
        if (!held.sawData && held.socket.peek(&first, 1) > 0) {
            // Bytes wait for whoever takes it; from now on only its end matters.
            held.sawData = true;
            poller_.watch(handle, 0, &held.ready, &held);
        }
        if (held.socket.peerFinished()) {
            poller_.unwatch(handle);
            pairing_.connectionEnded(id, false, held.sawData, clock_.now(), now());
        }
    }
    apply();
}

bool TransferEngine::apply() {
    std::vector<PairingDecision> decisions = pairing_.takeDecisions();
    for (const PairingDecision& decision : decisions) {
        auto found = held_.find(decision.connection);
        if (found == held_.end()) continue;
        std::unique_ptr<HeldConnection> held = std::move(found->second);
        held_.erase(found);
        poller_.unwatch(held->socket.nativeHandle());
        if (decision.kind != PairingDecision::Give) continue;  // closed with `held`
        bool detached = false;
        auto entry = transfers_.find(decision.session);
        if (entry == transfers_.end()) {
            entry = detached_.find(decision.session);
            if (entry == detached_.end()) continue;
            detached = true;
        }
        Entry& taker = *entry->second;
        if (taker.transfer->hasConnection()) continue;
        // A detached download is run by the engine every pass; nobody is told.
        taker.transfer->attach(held->socket, detached ? nullptr : &taker);
        held->handedOn = true;
        taker.since = clock_.now();
        if (!detached && wake_) wake_(taker.session);
    }
    return !decisions.empty();
}

bool TransferEngine::runDetached() {
    bool did = false;
    std::uint32_t tick = clock_.now();
    for (auto entry = detached_.begin(); entry != detached_.end();) {
        Entry& job = *entry->second;
        bool over = false;
        Transfer::Step result = Transfer::Step::Waiting;
        if (job.transfer->hasConnection()) {
            std::uint32_t moved = 0;
            result = job.transfer->sendPiece(&moved);
            if (moved > 0) {
                job.since = tick;
                did = true;
            }
            over = result == Transfer::Step::Complete || result == Transfer::Step::Failed;
        }
        // Awaiting a connection, or stalled, no longer than a held connection waits.
        if (over || elapsedMs(job.since, tick) >= TRANSFER_HOLD_MS) {
            TransferProgress sent = job.transfer->progress();
            if (result == Transfer::Step::Complete && sent.done < sent.size)
                logEnd(job, Ending::Failed, "file ended early");
            else if (result == Transfer::Step::Complete)
                logEnd(job, Ending::Complete);
            else if (result == Transfer::Step::Failed)
                logEnd(job, Ending::Failed, "connection broke");
            else
                logEnd(job, Ending::Failed,
                       job.transfer->hasConnection() ? "stalled" : "no transfer connection");
            pairing_.transferEnded(job.session);
            entry = detached_.erase(entry);
            did = true;
        } else {
            ++entry;
        }
    }
    return apply() || did;
}

void TransferEngine::sessionOpened(SessionId session, std::uint32_t address) {
    pairing_.sessionOpened(session, address);
}

void TransferEngine::sessionClosed(SessionId session) {
    bool owesNothing = false;
    auto found = transfers_.find(session);
    if (found != transfers_.end()) {
        Entry& entry = *found->second;
        owesNothing = entry.timedOut;
        if (entry.timedOut)
            logEnd(entry, Ending::Failed, "no transfer connection");
        else
            logEnd(entry, Ending::Dropped);
        // A connection that has already come is its own (it has waited
        // longest) and ends with it, rather than going to the next transfer.
        if (!entry.transfer->hasConnection() && !entry.timedOut) acceptPending();
        transfers_.erase(found);
    }
    // A detached transfer goes on, and with it what the pairing knows of it.
    if (!detached_.count(session)) pairing_.sessionGone(session, clock_.now(), now(), owesNothing);
    apply();
}

void TransferEngine::requestBegun(SessionId session, Stamp at) {
    // A refused request's connection, if its client made one, was made before
    // this request was sent: all of them must be seen before it settles.
    if (pairing_.claimCount() > 0) acceptPending();
    pairing_.requestBegun(session, at, clock_.now());
    apply();
}

void TransferEngine::requestAnswered(SessionId session, bool refusedTransfer) {
    // A connection already made for the refused request is taken now, so it
    // is known to have come before anything the client sends after the answer.
    if (refusedTransfer) acceptPending();
    pairing_.requestAnswered(
        session,
        refusedTransfer ? TransferPairing::Answer::Refused : TransferPairing::Answer::NotTransfer,
        clock_.now(), now());
    apply();
}

void TransferEngine::start(SessionId session, std::unique_ptr<Transfer> transfer,
                           TransferLabel label) {
    transfers_[session] = std::make_unique<Entry>(*this, session, std::move(transfer),
                                                  std::move(label), clock_.now());
    pairing_.requestAnswered(session, TransferPairing::Answer::Awaiting, clock_.now(), now());
    apply();
}

bool TransferEngine::awaiting(SessionId session) const {
    auto found = transfers_.find(session);
    return found != transfers_.end() && !found->second->transfer->hasConnection();
}

std::optional<TransferProgress> TransferEngine::progress(SessionId session) const {
    auto found = transfers_.find(session);
    if (found == transfers_.end()) return std::nullopt;
    return found->second->transfer->progress();
}

void TransferEngine::drop(SessionId session) {
    transfers_.erase(session);
    pairing_.transferEnded(session);
}

void TransferEngine::end(SessionId session, Ending how, const char* reason) {
    auto found = transfers_.find(session);
    if (found != transfers_.end()) logEnd(*found->second, how, reason);
    drop(session);
}

void TransferEngine::logEnd(const Entry& entry, Ending how, const char* reason) const {
    static constexpr const char* RESULTS[] = {"complete", "cancelled", "failed", "dropped"};
    if (!EventLog::process().logs(LogLevel::Events)) return;
    const Transfer& transfer = *entry.transfer;
    const TransferLabel& label = entry.label;
    TransferProgress progress = transfer.progress();
    // A file that went wrong on the way is the operator's to mend: it is
    // logged as a failure of its own, with the system's reason.
    const char* failedStep = nullptr;
    int error = 0;
    if (transfer.isUpload() && transfer.storeFailure() != nullptr) {
        failedStep = transfer.storeFailure();
        error = transfer.storeError();
    } else if (!transfer.isUpload() && transfer.sourceError() != 0 &&
               !namesNothing(transfer.sourceError())) {
        failedStep = "open";
        error = transfer.sourceError();
    }
    if (failedStep != nullptr) {
        std::string what = std::string(transfer.isUpload() ? "upload_" : "download_") + failedStep;
        logFailure("file_error", {{"what", what},
                                  {"path", label.path},
                                  {"reason", std::strerror(error)},
                                  {"user", label.user},
                                  {"session", entry.session}});
    }

    std::vector<LogField> fields{
        {"user", label.user}, {"address", label.address}, {"session", entry.session},
        {"name", label.name}, {"bytes", progress.done},
    };
    // A download of nothing has no size to show.
    if (transfer.isUpload() || transfer.hasSource()) fields.push_back({"size", progress.size});
    fields.push_back({"seconds", LogValue::seconds(elapsedMs(entry.began, clock_.now()))});
    fields.push_back({"result", RESULTS[static_cast<int>(how)]});
    if (reason != nullptr) fields.push_back({"reason", reason});
    logEvent(transfer.isUpload() ? "upload_end" : "download_end", fields);
}

void TransferEngine::clientLeft(SessionId session) {
    auto found = transfers_.find(session);
    if (found == transfers_.end()) return;
    Transfer& transfer = *found->second->transfer;
    // Behind one address the download's connection, come or to come, may be
    // another client's that still waits for this file: it runs on. A client
    // alone at its address takes its download with it.
    if (transfer.isUpload() || !transfer.hasSource() || !listener_.isOpen() ||
        !pairing_.othersConnectedFrom(session))
        return;
    if (transfer.hasConnection()) transfer.setListener(nullptr);
    found->second->since = clock_.now();
    detached_[session] = std::move(found->second);
    transfers_.erase(found);
    pairing_.detach(session, clock_.now(), now());
    apply();
}

TransferStep TransferEngine::step(SessionId session, ControlEvent control) {
    using Outcome = TransferStep::Outcome;
    auto found = transfers_.find(session);
    TransferStep result;
    if (found == transfers_.end()) {
        result.outcome = Outcome::Ended;
        return result;
    }
    Entry& entry = *found->second;
    Transfer& transfer = *entry.transfer;

    if (!transfer.hasConnection()) {
        // Nothing is read from the control connection meanwhile, but a
        // client that closed it is gone for good, and the wait has a limit.
        result.updateRate = false;
        if (control == ControlEvent::Lost) {
            clientLeft(session);
            result.outcome = Outcome::SessionEnds;
        } else if (elapsedMs(entry.since, clock_.now()) >= TRANSFER_AWAIT_MS) {
            entry.timedOut = true;
            result.outcome = Outcome::SessionEnds;
        } else {
            result.awaiting = true;
        }
        return result;
    }

    if (transfer.isUpload()) {
        // The client is gone: drop the partial data as on a cancel, keep any
        // earlier file of that name, and end the session.
        if (control == ControlEvent::Lost) {
            end(session, Ending::Dropped, "client left");
            result.outcome = Outcome::SessionEnds;
            return result;
        }
        if (control == ControlEvent::Cancel) {
            end(session, Ending::Cancelled);
            result.outcome = Outcome::Ended;
            result.reply = REPLY_OK;
            result.updateRate = false;
            return result;
        }
        if (control == ControlEvent::OtherByte) {
            result.updateRate = false;  // the byte costs the step, rate and all
            return result;
        }
        Transfer::Step piece = transfer.receivePiece(&result.moved);
        if (piece == Transfer::Step::Complete) {
            OwnedHandle replaced;
            bool stored = transfer.commit(&replaced);
            if (replaced.isOpen()) releaseAfterPass_.push_back(std::move(replaced));
            if (stored)
                end(session, Ending::Complete);
            else
                end(session, Ending::Failed, "not stored");
            result.outcome = Outcome::Ended;
            result.reply = stored ? REPLY_OK : REPLY_FAILED;
            result.completed = true;
            result.updateRate = false;
        } else if (piece == Transfer::Step::Failed) {
            end(session, Ending::Failed, "connection broke");
            result.outcome = Outcome::SessionEnds;
        }
        return result;
    }

    if (control == ControlEvent::Lost) {
        clientLeft(session);
        result.outcome = Outcome::SessionEnds;
        return result;
    }
    if (control == ControlEvent::Cancel) {
        // A download of nothing ends with the client's cancel, as does one
        // whose connection broke.
        if (!transfer.hasSource())
            end(session, Ending::Failed,
                namesNothing(transfer.sourceError()) || transfer.sourceError() == 0
                    ? "no such file"
                    : "cannot open");
        else if (transfer.connectionBroke())
            end(session, Ending::Failed, "connection broke");
        else
            end(session, Ending::Cancelled);
        result.outcome = Outcome::Ended;
        result.updateRate = false;
        return result;
    }
    if (transfer.sendPiece(&result.moved) == Transfer::Step::Complete) {
        TransferProgress sent = transfer.progress();
        if (sent.done < sent.size)
            end(session, Ending::Failed, "file ended early");
        else
            end(session, Ending::Complete);
        result.outcome = Outcome::Ended;
        result.completed = true;
    }
    return result;
}

}  // namespace vextora
