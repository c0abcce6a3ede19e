#include "sharing/transfers.h"

#include <algorithm>
#include <memory>
#include <string>

#include "net/poller.h"
#include "platform/tick_clock.h"
#include "server/client_session.h"
#include "server/payload_reader.h"
#include "server/server_context.h"
#include "sharing/catalog.h"
#include "sharing/transfer_hub.h"

namespace vextora {

namespace {

std::uint32_t clampPiece(std::uint32_t requested) {
    return std::clamp(requested, MIN_PIECE_SIZE, MAX_PIECE_SIZE);
}

// One piece buffer serves every upload: a step writes what it received before
// the next step runs, so nothing is kept in it between steps.
std::uint8_t* pieceBuffer() {
    thread_local std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[MAX_PIECE_SIZE]);
    return buffer.get();
}

void beginAwaiting(ClientSession& session, std::unique_ptr<Transfer> transfer) {
    transfer->awaitSince = session.server().clock.now();
    transfer->peerAddress = session.peerAddress;
    session.transfer = std::move(transfer);
    session.server().transfers.await(session);
}

// Reads one byte from the control connection during a transfer.
// Returns false when the connection closed or failed; *byte is -1 when
// nothing was there.
bool readControlByte(ClientSession& session, int* byte) {
    *byte = -1;
    if (!(session.controlReady & (READY_READ | READY_HANGUP))) return true;
    session.controlReady = 0;
    std::uint8_t value = 0;
    IoResult got = session.control.receiveSome(&value, 1);
    if (got.closed() || (got.error != 0 && !got.wouldBlock())) return false;
    if (got.bytes == 1) {
        *byte = value;
        session.server().activity = true;
    }
    return true;
}

// A transfer that ran to its end ends the rate window (a download's next
// step starts a new one at once, an upload's next transfer does); a
// cancelled one leaves it to run on.
void finishTransfer(ClientSession& session, bool completed) {
    session.endTransfer();
    if (completed) session.resetRate();
    session.server().activity = true;
}

bool pumpUpload(ClientSession& session, Transfer& transfer) {
    int control;
    if (!readControlByte(session, &control)) {
        // The client is gone: drop the partial data as on a cancel, keep any
        // earlier file of that name, and end the session.
        session.endTransfer(true);
        return false;
    }
    if (control == CANCEL_TRANSFER) {
        finishTransfer(session, false);
        session.reply(REPLY_OK);
        return true;
    }
    if (control >= 0) return true;  // any other byte costs the step, rate and all

    if (transfer.dataReady & (READY_READ | READY_HANGUP)) {
        transfer.dataReady = 0;
        IoResult got;
        if (!transfer.targetFailed && transfer.pipe.isOpen()) {
            // The piece goes from the connection into the file without being
            // copied through the process.
            bool written = true;
            got = transfer.dataSocket.receiveIntoFile(transfer.pipe, transfer.incoming.handle(),
                                                      transfer.chunkSize, &written);
            if (!written) transfer.targetFailed = true;
        } else {
            std::uint8_t* buffer = pieceBuffer();
            got = transfer.dataSocket.receiveSome(buffer, transfer.chunkSize);
            // A target that cannot be written still takes the bytes, so the
            // client is never left hanging; the end then answers 19.
            if (got.bytes > 0 && !transfer.targetFailed)
                transfer.targetFailed = !transfer.incoming.write(buffer, got.bytes);
        }
        if (got.bytes > 0) {
            transfer.transferDone += static_cast<std::uint32_t>(got.bytes);
            session.rate.add(static_cast<std::uint32_t>(got.bytes));
            session.server().activity = true;
        } else if (got.closed()) {
            OwnedHandle replaced;
            bool stored = !transfer.targetFailed && transfer.incoming.commit(&replaced);
            if (replaced.isOpen()) session.server().releaseAfterPass.push_back(std::move(replaced));
            finishTransfer(session, true);
            session.reply(stored ? REPLY_OK : REPLY_FAILED);
            return true;
        } else if (!got.wouldBlock()) {
            session.endTransfer();
            return false;
        }
    }
    session.updateRate();
    return true;
}

bool pumpDownload(ClientSession& session, Transfer& transfer) {
    int control;
    if (!readControlByte(session, &control)) {
        // The session ends with its control connection, and so does the
        // download, unless other clients share its address: then its
        // transfer connection may be another's, which would otherwise be
        // left without its file, so the download runs on.
        if (session.server().transfers.othersConnectedFrom(session)) {
            session.server().transfers.adopt(std::move(session.transfer));
            session.state = SessionState::ReadingHeader;
        }
        return false;
    }
    if (control == CANCEL_TRANSFER) {
        finishTransfer(session, false);
        return true;
    }
    std::uint32_t sent = 0;
    PieceResult result = sendDownloadPiece(transfer, session.server().poller, &sent);
    if (sent > 0) {
        session.rate.add(sent);
        session.server().activity = true;
    }
    if (result == PieceResult::Complete) {
        finishTransfer(session, true);
        session.downloadCompleted = true;
    }
    // After a completed download this starts the new window at once.
    session.updateRate();
    return true;
}

}  // namespace

PieceResult sendDownloadPiece(Transfer& transfer, Poller& poller, std::uint32_t* sentBytes) {
    *sentBytes = 0;
    if (transfer.awaitingDataConnection) return PieceResult::Waiting;
    bool sending = transfer.outgoing.isOpen() && !transfer.dataFailed &&
                   transfer.transferDone < transfer.transferSize;
    if (sending && (transfer.dataReady & (READY_WRITE | READY_HANGUP))) {
        transfer.dataReady = 0;
        // Never past the announced size, whatever the file has become since.
        std::size_t piece = std::min<std::uint32_t>(transfer.chunkSize,
                                                    transfer.transferSize - transfer.transferDone);
        IoResult sent =
            transfer.dataSocket.sendFile(transfer.outgoing.handle(), &transfer.sendOffset, piece);
        if (sent.bytes > 0) {
            transfer.transferDone += static_cast<std::uint32_t>(sent.bytes);
            *sentBytes = static_cast<std::uint32_t>(sent.bytes);
        } else if (sent.error == 0) {
            // The file ended before its announced size: close now, so the
            // client sees a short transfer instead of waiting for ever.
            return PieceResult::Complete;
        } else if (!sent.wouldBlock()) {
            transfer.dataFailed = true;
        }
    } else if (!sending && (transfer.dataReady & READY_HANGUP)) {
        transfer.dataFailed = true;
    }
    if (transfer.dataFailed) {
        // Nothing more can go out; stop watching the connection.
        poller.unwatch(transfer.dataSocket.nativeHandle());
        transfer.dataReady = 0;
        return PieceResult::Failed;
    }
    if (transfer.transferDone == transfer.transferSize) return PieceResult::Complete;
    return *sentBytes > 0 ? PieceResult::Sent : PieceResult::Waiting;
}

Transfer::~Transfer() {
    poller_.unwatch(dataSocket.nativeHandle());
    dataSocket.release();
    incoming.abandon();
}

void startUpload(ClientSession& session, PayloadReader& payload) {
    auto field = payload.text();
    auto piece = payload.uint32();
    auto announced = payload.uint32();
    if (!field || !piece || !announced) return session.reply(REPLY_FAILED);
    std::string name = untilNul(*field);
    if (FileSystem::hasParentComponent(name) || FileSystem::namesUploadTemporary(name))
        return session.reply(REPLY_FAILED);

    const FileSystem& files = session.server().files;
    auto transfer = std::make_unique<Transfer>(session.server().poller);
    transfer->upload = true;
    transfer->chunkSize = clampPiece(*piece);
    transfer->transferSize = *announced;
    files.makeDirectory(session.ownFolder());  // one level; an existing folder is fine
    transfer->targetFailed =
        !transfer->incoming.begin(files.nativePath(session.ownFolder() + "\\" + name));
    // One piece at most waits in the pipe, as it would in the piece buffer.
    if (!transfer->targetFailed) transfer->pipe.open(transfer->chunkSize);
    session.state = SessionState::ReceivingFile;
    beginAwaiting(session, std::move(transfer));
}

void startDownload(ClientSession& session, PayloadReader& payload) {
    auto field = payload.text();
    auto piece = payload.uint32();
    auto selector = payload.byte();
    if (!field || !piece || !selector) return session.reply(REPLY_FAILED);
    std::string name = untilNul(*field);

    const FileSystem& files = session.server().files;
    auto transfer = std::make_unique<Transfer>(session.server().poller);
    transfer->chunkSize = clampPiece(*piece);
    std::string path;
    if (!FileSystem::hasParentComponent(name)) {
        if (*selector == SELECT_OWN_FOLDER) {
            path = session.ownFolder() + "\\" + name;
        } else if (Catalog(files).contains(name)) {
            // Only a catalog line is downloadable; anything else looks missing.
            path = session.homeRoot + name;
        }
    }
    transfer->transferSize = SIZE_UNAVAILABLE;
    if (!path.empty() && transfer->outgoing.open(files.nativePath(path))) {
        if (transfer->outgoing.size() < SIZE_UNAVAILABLE)
            transfer->transferSize = static_cast<std::uint32_t>(transfer->outgoing.size());
        else
            transfer->outgoing.close();
    }
    session.replyInt32(transfer->transferSize);
    session.state = SessionState::SendingFile;
    beginAwaiting(session, std::move(transfer));
}

bool pollTransfer(ClientSession& session) {
    Transfer& transfer = *session.transfer;
    if (!transfer.awaitingDataConnection)
        return transfer.upload ? pumpUpload(session, transfer) : pumpDownload(session, transfer);

    // Awaiting: nothing is read from the control connection, but a client
    // that closed it is gone for good, and a wait has a limit. A download
    // still waits, in the hub, for a connection that may come from another
    // client behind the same address.
    if (session.controlReady & READY_HANGUP) {
        if (!transfer.upload && session.server().transfers.othersConnectedFrom(session)) {
            session.server().transfers.forget(session);
            session.server().transfers.adopt(std::move(session.transfer));
            session.state = SessionState::ReadingHeader;
        }
        return false;
    }
    session.controlReady = 0;
    std::uint32_t waited = elapsedMs(transfer.awaitSince, session.server().clock.now());
    return waited < TRANSFER_AWAIT_MS;
}

void attachTransferConnection(ClientSession& session, const TcpSocket& connection) {
    attachConnection(*session.transfer, connection, session.server().poller, &session);
    session.server().activity = true;
}

void attachConnection(Transfer& transfer, const TcpSocket& connection, Poller& poller,
                      ReadyListener* listener) {
    transfer.dataSocket = connection;
    transfer.awaitingDataConnection = false;
    // A download with nothing to send watches only for a hang-up; a socket
    // that is always writable would otherwise wake every pass.
    std::uint32_t interest = READY_READ;
    if (!transfer.upload) interest = transfer.outgoing.isOpen() ? std::uint32_t{READY_WRITE} : 0u;
    poller.watch(transfer.dataSocket.nativeHandle(), interest, &transfer.dataReady, listener);
}

}  // namespace vextora
