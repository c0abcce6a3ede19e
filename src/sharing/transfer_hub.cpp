#include "sharing/transfer_hub.h"

#include <algorithm>

#include "platform/tick_clock.h"
#include "server/client_session.h"
#include "sharing/transfers.h"

namespace vextora {

TransferHub::~TransferHub() { close(); }

bool TransferHub::listen(std::uint16_t port) { return listener_.open(port); }

void TransferHub::close() {
    listener_.close();
    held_.clear();
}

bool TransferHub::service() {
    bool did = false;
    std::uint32_t now = clock_.now();
    while (!held_.empty() && elapsedMs(held_.front().since, now) >= TRANSFER_HOLD_MS) {
        held_.pop_front();
        did = true;
    }
    std::erase_if(orphans_, [&](const Orphans& entry) {
        return elapsedMs(entry.since, now) >= TRANSFER_HOLD_MS;
    });
    TcpSocket connection = listener_.acceptOne();
    if (!connection.isOpen()) return did;
    std::uint32_t address = connection.peerAddress().value_or(0);
    if (discardIfOrphan(connection, address)) return true;
    auto match = std::find_if(awaiting_.begin(), awaiting_.end(), [&](ClientSession* session) {
        return session->transfer->peerAddress == address;
    });
    if (match == awaiting_.end()) {
        hold(connection, address);
    } else {
        ClientSession* session = *match;
        awaiting_.erase(match);
        attachTransferConnection(*session, connection);
    }
    return true;
}

void TransferHub::await(ClientSession& session) {
    std::uint32_t address = session.transfer->peerAddress;
    for (auto held = held_.begin(); held != held_.end();) {
        if (held->address != address) {
            ++held;
            continue;
        }
        TcpSocket connection = held->connection;
        held = held_.erase(held);
        if (discardIfOrphan(connection, address)) continue;
        attachTransferConnection(session, connection);
        return;
    }
    awaiting_.push_back(&session);
}

void TransferHub::forget(const ClientSession& session) {
    std::erase_if(awaiting_, [&](const ClientSession* waiting) { return waiting == &session; });
}

void TransferHub::noteRefused(std::uint32_t address) {
    for (auto& entry : orphans_) {
        if (entry.address == address) {
            ++entry.count;
            entry.since = clock_.now();
            return;
        }
    }
    orphans_.push_back({address, 1, clock_.now()});
}

bool TransferHub::discardIfOrphan(TcpSocket& connection, std::uint32_t address) {
    auto entry = std::find_if(orphans_.begin(), orphans_.end(),
                              [&](const Orphans& orphan) { return orphan.address == address; });
    // Closed without a byte: the connection of a request that was refused.
    if (entry == orphans_.end() || !connection.peerClosed()) return false;
    if (--entry->count == 0) orphans_.erase(entry);
    connection.release();
    return true;
}

void TransferHub::hold(const TcpSocket& connection, std::uint32_t address) {
    std::size_t fromAddress = static_cast<std::size_t>(std::count_if(
        held_.begin(), held_.end(), [&](const Held& entry) { return entry.address == address; }));
    if (fromAddress >= MAX_HELD_PER_ADDRESS) {
        auto oldest = std::find_if(held_.begin(), held_.end(),
                                   [&](const Held& entry) { return entry.address == address; });
        held_.erase(oldest);
    } else if (held_.size() >= MAX_HELD) {
        held_.pop_front();
    }
    held_.push_back({connection, address, clock_.now()});
}

}  // namespace vextora
