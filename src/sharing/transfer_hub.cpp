#include "sharing/transfer_hub.h"

#include <algorithm>

#include "platform/tick_clock.h"
#include "server/client_list.h"
#include "server/client_session.h"
#include "sharing/transfers.h"

namespace vextora {

TransferHub::TransferHub(const ClientList& clients, Poller& poller, const TickClock& clock,
                         const std::uint64_t& pass)
    : clients_(clients), poller_(poller), clock_(clock), pass_(pass), listener_(poller, clock) {}

TransferHub::~TransferHub() {
    close();
}

bool TransferHub::listen(std::uint16_t port) {
    listener_.keepFree(KEPT_FREE);
    lastListenTry_ = clock_.now();
    if (listener_.open(port)) return true;
    wantedPort_ = port;
    return false;
}

void TransferHub::close() {
    wantedPort_.reset();
    listener_.close();
    held_.clear();
    detached_.clear();
    refusals_.clear();
}

bool TransferHub::service() {
    bool did = false;
    std::uint32_t now = clock_.now();
    // Another program held the port; sessions wait for it (at most their
    // awaiting limit) as for a client that is slow to connect.
    if (wantedPort_ && elapsedMs(lastListenTry_, now) >= RELISTEN_MS) {
        lastListenTry_ = now;
        if (listener_.open(*wantedPort_)) wantedPort_.reset();
    }
    while (!held_.empty() && elapsedMs(held_.front().since, now) >= TRANSFER_HOLD_MS) {
        held_.pop_front();
        did = true;
    }
    // A client connects right after its request, or not at all.
    std::erase_if(refusals_, [&](const Refusal& entry) {
        return elapsedMs(entry.recorded, now) >= TRANSFER_HOLD_MS;
    });
    if (runDetached(now)) did = true;
    return acceptOne() || did;
}

bool TransferHub::acceptOne(bool unreported) {
    TcpSocket connection = listener_.acceptOne(unreported);
    if (!connection.isOpen()) return false;
    std::uint32_t address = connection.peerAddress().value_or(0);
    if (owedToRefusal(address, pass_)) return true;  // closed as it goes out of scope
    if (connection.roundTripMicros().value_or(SHORT_PATH_RTT_US) < SHORT_PATH_RTT_US)
        connection.setBufferSizes(SHORT_PATH_SEND_BUFFER, SHORT_PATH_RECEIVE_BUFFER);
    if (!place(connection, address)) hold(connection, address, false);
    return true;
}

void TransferHub::acceptAllPending() {
    // Connections wait in the order they were made, so after this every
    // connection made so far has been seen. The listener's readiness was
    // reported for the first of them only, if at all: take them regardless.
    for (int pending = 0; pending < 256 && acceptOne(true); ++pending) {
    }
}

bool TransferHub::owedToRefusal(std::uint32_t address, std::uint64_t acceptPass) {
    auto refusal = std::find_if(refusals_.begin(), refusals_.end(), [&](const Refusal& entry) {
        return entry.address == address && entry.since <= acceptPass;
    });
    if (refusal == refusals_.end()) return false;
    if (transferRequestUnderway(address, refusal->session, settling_)) return false;
    refusals_.erase(refusal);
    return true;
}

bool TransferHub::place(const TcpSocket& connection, std::uint32_t address) {
    // A client that is still here comes first: a detached download's own
    // client has gone, and the connection may well be for this one.
    auto session = std::find_if(awaiting_.begin(), awaiting_.end(), [&](ClientSession* waiting) {
        return waiting->transfer->peerAddress == address;
    });
    if (session != awaiting_.end()) {
        ClientSession* taker = *session;
        awaiting_.erase(session);
        attachTransferConnection(*taker, connection);
        return true;
    }
    auto job = std::find_if(detached_.begin(), detached_.end(), [&](const Detached& entry) {
        return entry.transfer->awaitingDataConnection && entry.transfer->peerAddress == address;
    });
    // While a request from its address is on its way the connection is held
    // for it; the detached download gets it only if that request takes none.
    if (job == detached_.end() || transferRequestUnderway(address)) return false;
    attachConnection(*job->transfer, connection, poller_, nullptr);
    job->lastProgress = clock_.now();
    return true;
}

template <typename Test>
bool TransferHub::anySessionFrom(std::uint32_t address, Test test, const ClientSession* besides,
                                 const ClientSession* alsoBesides) const {
    for (std::size_t index = 0; index < clients_.size(); ++index) {
        const ClientSession& session = clients_.at(index);
        if (&session == besides || &session == alsoBesides) continue;
        if (session.peerAddress == address && test(session)) return true;
    }
    return false;
}

bool TransferHub::transferRequestUnderway(std::uint32_t address, const ClientSession* besides,
                                          const ClientSession* alsoBesides) const {
    return anySessionFrom(
        address, [](const ClientSession& session) { return session.transferRequestUnderway(); },
        besides, alsoBesides);
}

TcpSocket TransferHub::takeHeld(std::uint32_t address) {
    for (auto held = held_.begin(); held != held_.end();) {
        if (held->address != address) {
            ++held;
            continue;
        }
        Held taken = *held;
        held = held_.erase(held);
        if (taken.connection.peerFailed()) continue;  // reset by its client: closed already
        if (taken.givenBack && taken.connection.peerFinished()) continue;  // its client gave up
        if (owedToRefusal(address, taken.acceptPass)) continue;
        return taken.connection;
    }
    return TcpSocket();
}

void TransferHub::await(ClientSession& session) {
    TcpSocket connection = takeHeld(session.transfer->peerAddress);
    if (connection.isOpen()) return attachTransferConnection(session, connection);
    awaiting_.push_back(&session);
}

void TransferHub::forget(const ClientSession& session) {
    std::erase_if(awaiting_, [&](const ClientSession* waiting) { return waiting == &session; });
}

bool TransferHub::othersConnectedFrom(const ClientSession& session) const {
    return anySessionFrom(
        session.peerAddress, [](const ClientSession&) { return true; }, &session);
}

void TransferHub::adopt(std::unique_ptr<Transfer> download) {
    // A file that could not be opened has nothing to send.
    if (!download || download->upload || !download->outgoing.isOpen() || !listener_.isOpen())
        return;
    // Its session is going away; the hub runs detached downloads every pass
    // and needs nobody told.
    poller_.setListener(download->dataSocket.nativeHandle(), nullptr);
    // An awaiting one takes a held connection from its address in the next
    // pass, under the same rules as every detached download.
    detached_.push_back({std::move(download), clock_.now()});
}

void TransferHub::giveBack(const TcpSocket& connection, std::uint32_t address) {
    if (!connection.isOpen() || !listener_.isOpen()) return;
    if (!place(connection, address)) hold(connection, address, true);
}

void TransferHub::refused(const ClientSession& session, std::uint32_t address,
                          std::uint64_t since) {
    acceptAllPending();
    auto held = std::find_if(held_.begin(), held_.end(), [&](const Held& entry) {
        return entry.address == address && entry.acceptPass >= since && !entry.givenBack;
    });
    if (held != held_.end()) {
        held_.erase(held);
        return;
    }
    refusals_.push_back({&session, address, since, clock_.now()});
}

void TransferHub::orphaned(const ClientSession& session, std::uint32_t address,
                           std::uint64_t since) {
    // The oldest waiter from its address, it takes the first connection that
    // has come; then it waits for nothing more.
    acceptAllPending();
    forget(session);
    if (session.transfer && !session.transfer->awaitingDataConnection) return;
    auto held = std::find_if(held_.begin(), held_.end(), [&](const Held& entry) {
        return entry.address == address && entry.acceptPass >= since && !entry.givenBack;
    });
    if (held != held_.end()) {
        held_.erase(held);
        return;
    }
    refusals_.push_back({nullptr, address, since, clock_.now()});
}

void TransferHub::requestBegun(const ClientSession& session) {
    // Whichever client from the address has moved on, the connection owed to
    // an earlier refused or orphaned request has come by now, if it ever
    // will; one made from here after this belongs to the new request.
    std::uint32_t address = session.peerAddress;
    auto owed = [&](const Refusal& entry) { return entry.address == address; };
    if (std::none_of(refusals_.begin(), refusals_.end(), owed)) return;
    // A connection made before this request is still closed; the request
    // now beginning is not one it could be for.
    settling_ = &session;
    acceptAllPending();
    settling_ = nullptr;
    std::erase_if(refusals_, owed);
}

void TransferHub::settleRefusal(const ClientSession& session) {
    if (std::none_of(refusals_.begin(), refusals_.end(),
                     [&](const Refusal& entry) { return entry.session == &session; }))
        return;
    acceptAllPending();  // a late connection for it is closed here
    std::erase_if(refusals_, [&](const Refusal& entry) { return entry.session == &session; });
}

bool TransferHub::runDetached(std::uint32_t now) {
    bool did = false;
    for (auto entry = detached_.begin(); entry != detached_.end();) {
        Transfer& transfer = *entry->transfer;
        // A connection held while a request from its address was on its way
        // comes here once that request has taken none.
        std::uint32_t address = transfer.peerAddress;
        if (transfer.awaitingDataConnection &&
            std::any_of(held_.begin(), held_.end(),
                        [&](const Held& held) { return held.address == address; }) &&
            !transferRequestUnderway(address)) {
            TcpSocket connection = takeHeld(address);
            if (connection.isOpen()) {
                attachConnection(transfer, connection, poller_, nullptr);
                entry->lastProgress = now;
                did = true;
            }
        }
        std::uint32_t sent = 0;
        PieceResult result = sendDownloadPiece(transfer, poller_, &sent);
        if (sent > 0) {
            entry->lastProgress = now;
            did = true;
        }
        bool over = result == PieceResult::Complete || result == PieceResult::Failed ||
                    elapsedMs(entry->lastProgress, now) >= TRANSFER_HOLD_MS;
        if (over) {
            entry = detached_.erase(entry);
            did = true;
        } else {
            ++entry;
        }
    }
    return did;
}

void TransferHub::hold(const TcpSocket& connection, std::uint32_t address, bool givenBack) {
    // Nobody waits for it yet, and descriptors are short: it is closed.
    if (Listener::descriptorsAbove(connection) < HOLD_RESERVE) return;
    std::size_t fromAddress = static_cast<std::size_t>(std::count_if(
        held_.begin(), held_.end(), [&](const Held& entry) { return entry.address == address; }));
    // Each control connection uses one transfer connection at a time, so more
    // early connections than that from one address are surplus.
    std::size_t sessions = 0;
    for (std::size_t index = 0; index < clients_.size(); ++index) {
        if (clients_.at(index).peerAddress == address) ++sessions;
    }
    if (fromAddress >= sessions + SPARE_HELD_PER_ADDRESS) {
        auto oldest = std::find_if(held_.begin(), held_.end(),
                                   [&](const Held& entry) { return entry.address == address; });
        held_.erase(oldest);
    } else if (held_.size() >= clients_.size() + SPARE_HELD) {
        held_.pop_front();
    }
    held_.push_back({connection, address, clock_.now(), givenBack, pass_});
}

}  // namespace vextora
