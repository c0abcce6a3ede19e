// Transfer: one upload or download over its own connection to the transfer
// port, and the steps that move it.
//
// Upload:   the client sends the file's bytes and closes its end; the data
//           goes into a hidden file that takes the target's name only once
//           it is complete.
// Download: the server sends exactly the announced number of bytes, then
//           closes; a file that ends early closes the connection at once.
// Each step moves at most one piece (the client's piece size, clamped into
// 4 KiB .. 1 MiB), and only what the connection takes or has without blocking.
//
// The transfer knows nothing of sessions: the transfer engine owns every
// Transfer, gives it its connection and runs its steps.
#pragma once

#include <cstdint>
#include <memory>

#include "net/poller.h"
#include "net/tcp_socket.h"
#include "platform/file_system.h"

namespace vextora {

// What a snapshot shows of a running transfer.
struct TransferProgress {
    bool upload = false;
    std::uint32_t size = 0;  // announced (upload) or measured (download)
    std::uint32_t done = 0;
};

class Transfer {
public:
    enum class Step : std::uint8_t {
        Waiting,   // nothing could move this time
        Moved,     // some bytes moved
        Complete,  // upload: the client closed its end; download: all bytes went out
        Failed,    // the connection broke
    };

    // An upload into `target` (a native path), or one that drains its bytes
    // and fails when the target cannot be prepared. `poller` must outlive
    // the transfer.
    static std::unique_ptr<Transfer> upload(Poller& poller, const std::string& nativeTarget,
                                            std::uint32_t pieceSize, std::uint32_t announced);
    // A download of an open file (or of nothing, when `source` is closed: it
    // then waits for the client's cancel).
    static std::unique_ptr<Transfer> download(Poller& poller, SourceFile source,
                                              std::uint32_t pieceSize, std::uint32_t announced);
    // Unwatches and closes the connection; drops an upload's uncommitted data.
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    bool isUpload() const { return upload_; }
    bool hasConnection() const { return connection_.isOpen(); }
    TransferProgress progress() const { return {upload_, size_, done_}; }
    // A download whose file can go out at all (an opened source).
    bool hasSource() const { return source_.isOpen(); }
    // Why a download's file could not be opened (ENOENT when it is not there
    // or not a regular file), 0 when it was or none was asked for.
    int sourceError() const { return source_.error(); }
    // A download's connection broke before the file was all sent.
    bool connectionBroke() const { return broken_; }
    // An upload whose bytes could not all be stored: the step that failed
    // ("create", "write" or "rename") and the system's reason.
    const char* storeFailure() const { return storeStep_; }
    int storeError() const { return storeError_; }

    // Watches the (non-blocking) connection for this transfer; `listener`
    // (nullptr: nobody) is told when it is reported, and must outlive the
    // watch.
    void attach(const TcpSocket& connection, ReadyListener* listener);
    void setListener(ReadyListener* listener);

    // One piece; *moved receives the count.
    Step receivePiece(std::uint32_t* moved);
    Step sendPiece(std::uint32_t* moved);
    // Completes an upload: the data takes the target's name. False (and the
    // data dropped) when the bytes could not all be stored. The file the
    // upload replaced, if any, is left open in *replaced: giving back its
    // storage can take a while and waits for the caller.
    bool commit(OwnedHandle* replaced);

private:
    explicit Transfer(Poller& poller) : poller_(poller) {}
    void noteStoreFailure(const char* step, int error);

    Poller& poller_;
    bool upload_ = false;
    std::uint32_t pieceSize_ = 0;
    std::uint32_t size_ = 0;
    std::uint32_t done_ = 0;

    TcpSocket connection_;
    std::uint32_t ready_ = 0;
    bool broken_ = false;  // a download's connection broke: wait for cancel or control loss

    UploadFile target_;
    bool targetFailed_ = false;  // the bytes are drained, the end answers 19
    const char* storeStep_ = nullptr;
    int storeError_ = 0;
    // Carries an upload's pieces from the connection into the file inside the
    // kernel; without one, pieces go through a buffer.
    SplicePipe pipe_;

    SourceFile source_;
    std::int64_t sendOffset_ = 0;
};

}  // namespace vextora
