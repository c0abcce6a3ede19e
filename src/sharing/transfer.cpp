#include "sharing/transfer.h"

#include <algorithm>

#include "server/protocol.h"

namespace vextora {

namespace {

std::uint32_t clampPiece(std::uint32_t requested) {
    return std::clamp(requested, MIN_PIECE_SIZE, MAX_PIECE_SIZE);
}

// One piece buffer serves every upload that has no pipe: a step writes what
// it received before the next step runs, so nothing is kept in it between.
std::uint8_t* pieceBuffer() {
    thread_local std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[MAX_PIECE_SIZE]);
    return buffer.get();
}

}  // namespace

std::unique_ptr<Transfer> Transfer::upload(Poller& poller, const std::string& nativeTarget,
                                           std::uint32_t pieceSize, std::uint32_t announced) {
    std::unique_ptr<Transfer> transfer(new Transfer(poller));
    transfer->upload_ = true;
    transfer->pieceSize_ = clampPiece(pieceSize);
    transfer->size_ = announced;
    transfer->targetFailed_ = !transfer->target_.begin(nativeTarget);
    if (transfer->targetFailed_) transfer->noteStoreFailure("create", transfer->target_.error());
    // One piece at most waits in the pipe, as it would in the piece buffer.
    if (!transfer->targetFailed_) transfer->pipe_.open(transfer->pieceSize_);
    return transfer;
}

std::unique_ptr<Transfer> Transfer::download(Poller& poller, SourceFile source,
                                             std::uint32_t pieceSize, std::uint32_t announced) {
    std::unique_ptr<Transfer> transfer(new Transfer(poller));
    transfer->pieceSize_ = clampPiece(pieceSize);
    transfer->size_ = announced;
    transfer->source_ = std::move(source);
    return transfer;
}

Transfer::~Transfer() {
    poller_.unwatch(connection_.nativeHandle());
    connection_.release();
    target_.abandon();
}

void Transfer::attach(const TcpSocket& connection, ReadyListener* listener) {
    connection_ = connection;
    // A download with nothing to send watches only for a hang-up; a socket
    // that is always writable would otherwise wake every pass.
    std::uint32_t interest = READY_READ;
    if (!upload_) interest = source_.isOpen() ? std::uint32_t{READY_WRITE} : 0u;
    poller_.watch(connection_.nativeHandle(), interest, &ready_, listener);
}

void Transfer::setListener(ReadyListener* listener) {
    poller_.setListener(connection_.nativeHandle(), listener);
}

Transfer::Step Transfer::receivePiece(std::uint32_t* moved) {
    *moved = 0;
    if (!(ready_ & (READY_READ | READY_HANGUP))) return Step::Waiting;
    ready_ = 0;
    IoResult got;
    if (!targetFailed_ && pipe_.isOpen()) {
        // The piece goes from the connection into the file without being
        // copied through the process.
        bool written = true;
        int error = 0;
        got = connection_.receiveIntoFile(pipe_, target_.handle(), pieceSize_, &written, &error);
        if (!written) {
            targetFailed_ = true;
            noteStoreFailure("write", error);
        }
    } else {
        std::uint8_t* buffer = pieceBuffer();
        got = connection_.receiveSome(buffer, pieceSize_);
        // A target that cannot be written still takes the bytes, so the
        // client is never left hanging; the end then answers 19.
        if (got.bytes > 0 && !targetFailed_ && !target_.write(buffer, got.bytes)) {
            targetFailed_ = true;
            noteStoreFailure("write", target_.error());
        }
    }
    if (got.bytes > 0) {
        done_ += static_cast<std::uint32_t>(got.bytes);
        *moved = static_cast<std::uint32_t>(got.bytes);
        return Step::Moved;
    }
    if (got.closed()) return Step::Complete;
    return got.wouldBlock() ? Step::Waiting : Step::Failed;
}

bool Transfer::commit(OwnedHandle* replaced) {
    if (targetFailed_) return false;
    if (target_.commit(replaced)) return true;
    noteStoreFailure("rename", target_.error());
    return false;
}

void Transfer::noteStoreFailure(const char* step, int error) {
    if (storeStep_ != nullptr) return;  // the first failure is the cause
    storeStep_ = step;
    storeError_ = error;
}

Transfer::Step Transfer::sendPiece(std::uint32_t* moved) {
    *moved = 0;
    if (!connection_.isOpen()) return Step::Waiting;
    bool sending = source_.isOpen() && !broken_ && done_ < size_;
    if (sending && (ready_ & (READY_WRITE | READY_HANGUP))) {
        ready_ = 0;
        // Never past the announced size, whatever the file has become since.
        std::size_t piece = std::min<std::uint32_t>(pieceSize_, size_ - done_);
        IoResult sent = connection_.sendFile(source_.handle(), &sendOffset_, piece);
        if (sent.bytes > 0) {
            done_ += static_cast<std::uint32_t>(sent.bytes);
            *moved = static_cast<std::uint32_t>(sent.bytes);
        } else if (sent.error == 0) {
            // The file ended before its announced size: close now, so the
            // client sees a short transfer instead of waiting for ever.
            return Step::Complete;
        } else if (!sent.wouldBlock()) {
            broken_ = true;
        }
    } else if (!sending && (ready_ & READY_HANGUP)) {
        broken_ = true;
    }
    if (broken_) {
        // Nothing more can go out; stop watching the connection.
        poller_.unwatch(connection_.nativeHandle());
        ready_ = 0;
        return Step::Failed;
    }
    if (done_ == size_) return Step::Complete;
    return *moved > 0 ? Step::Moved : Step::Waiting;
}

}  // namespace vextora
