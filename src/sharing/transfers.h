// File transfers: uploads into the caller's own folder and downloads from it
// or from any catalog line, over a second connection to the transfer port.
//
// Upload:   request; no answer; the client connects to the transfer port,
//           sends the bytes and closes; the server answers 18 (19 when the
//           file could not be stored).
// Download: request; the server answers the size (4 bytes); the client
//           connects; the server sends exactly that many bytes and closes.
// During either, the byte 17 on the control connection cancels: an upload's
// partial data is dropped and 18 answered; a download just stops.
//
// Every step moves at most one piece (the client's piece size, clamped into
// 4 KiB .. 1 MiB), and only what the connection takes without blocking.
#pragma once

#include <cstdint>
#include <vector>

#include "net/tcp_socket.h"
#include "platform/file_system.h"
#include "server/protocol.h"

namespace vextora {

class ClientSession;
class PayloadReader;
class Poller;
class ReadyListener;

struct Transfer {
    // Unwatches and closes the connection, drops an uncommitted upload.
    // poller must outlive the transfer.
    explicit Transfer(Poller& poller) : poller_(poller) {}
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    bool upload = false;
    bool awaitingDataConnection = true;
    std::uint32_t awaitSince = 0;   // tick at which the wait began
    std::uint32_t peerAddress = 0;  // where the transfer connection must come from

    std::uint32_t chunkSize = MIN_PIECE_SIZE;
    std::uint32_t transferSize = 0;  // announced (upload) or measured (download)
    std::uint32_t transferDone = 0;

    TcpSocket dataSocket;
    std::uint32_t dataReady = 0;
    bool dataFailed = false;  // the connection broke; wait for cancel or control loss

    UploadFile incoming;
    bool targetFailed = false;  // upload: the bytes are drained, the end answers 19
    // Carries an upload's pieces from the connection into the file inside the
    // kernel; when no pipe could be had, pieces go through the piece buffer.
    SplicePipe pipe;
    std::vector<std::uint8_t> chunkBuffer;

    SourceFile outgoing;
    std::int64_t sendOffset = 0;

private:
    Poller& poller_;
};

// REQ_UPLOAD: name, piece size, announced size. Starts waiting for the
// transfer connection; answers 19 at once only when the request is refused.
void startUpload(ClientSession& session, PayloadReader& payload);
// REQ_DOWNLOAD: name, piece size, selector. Answers the size and starts
// waiting for the transfer connection.
void startDownload(ClientSession& session, PayloadReader& payload);
// One step of a session in a transfer: while its connection is awaited, the
// checks for a closed control connection and for the time limit; afterwards
// one piece. False ends the session.
bool pollTransfer(ClientSession& session);
// Hands the session its transfer connection (non-blocking).
void attachTransferConnection(ClientSession& session, const TcpSocket& connection);
// Watches the connection for the transfer; `listener` (nullptr: nobody) is
// told when it is reported, and must outlive the watch.
void attachConnection(Transfer& transfer, const TcpSocket& connection, Poller& poller,
                      ReadyListener* listener);

enum class PieceResult {
    Waiting,   // nothing could go out this time
    Sent,      // some bytes went out
    Complete,  // the announced size went out, or the file ended early
    Failed,    // the connection broke; nothing more can go out
};
// Sends one piece of a download, as much as the connection takes without
// blocking. *sentBytes receives the count.
PieceResult sendDownloadPiece(Transfer& transfer, Poller& poller, std::uint32_t* sentBytes);

}  // namespace vextora
