// Client: every request of the protocol, as typed calls with typed results.
//
// One Client is one control connection. Requests are sent and their replies
// read in order; a call returns when its reply is complete, or fails when the
// reply does not come within the connection's time limit. Transfers open the
// second connection to the transfer port as soon as the request is sent.
//
// No call sends a name or password longer than 255 bytes (one length byte
// cannot carry it, and a cut name would name another file): such a call
// fails with Status::Invalid and sends nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/connection.h"
#include "server/protocol.h"

namespace vextora::client {

// The outcome of a request.
struct Status {
    enum Kind {
        Ok,
        Refused,         // the server answered with a refusal; `reply` holds it
        ConnectionLost,  // no answer: the connection failed, closed or timed out
        ProtocolError,   // the server answered something the protocol does not allow
        Cancelled,       // a transfer was cancelled on request
        NotAvailable,    // a download of a file the server cannot open
        ShortTransfer,   // the transfer connection ended before the announced size
        LocalError,      // the local file could not be read or written
        Invalid,         // not sent: a name too long, or an upload name with ".."
    };
    Kind kind = Ok;
    std::uint8_t reply = 0;
    std::string message;
    // An upload's refusal that came after all its data: the server could
    // not store the file, rather than refusing the request.
    bool afterData = false;

    bool ok() const { return kind == Ok; }
    static Status success(std::uint8_t reply = REPLY_OK) { return {Ok, reply, {}}; }
    static Status failure(Kind kind, std::string message, std::uint8_t reply = 0) {
        return {kind, reply, std::move(message)};
    }
};

// A reply byte in words, as the given request means it: "bad password",
// "no such account", "administrator only", ...
std::string describeReply(std::uint8_t request, std::uint8_t reply);

struct FileInfo {
    std::uint32_t size = 0;  // SIZE_UNAVAILABLE when the server cannot open the file
    bool shared = false;
    bool available() const { return size != SIZE_UNAVAILABLE; }
};

struct UserInfo {
    std::string address;
    std::uint32_t sharedFiles = 0;
    std::uint32_t connectedMs = 0;
    std::uint8_t direction = DIRECTION_NONE;
    std::uint32_t rateKBps = 0;
    std::uint32_t transferSize = 0;
    std::uint32_t transferDone = 0;
};

// Progress of a transfer: bytes done and the size (upload: announced).
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;
// Fills up to `capacity` bytes; returns the count, 0 at the end, -1 on error.
using Source = std::function<long(std::uint8_t* buffer, std::size_t capacity)>;
// Takes the bytes; false on error (the transfer is then cancelled).
using Sink = std::function<bool(const std::uint8_t* data, std::size_t length)>;

struct TransferOptions {
    std::uint32_t pieceSize = MAX_PIECE_SIZE;
    Progress progress;
    // Checked between pieces (at least every 100 ms); when set, the transfer
    // is cancelled.
    const std::atomic<bool>* cancel = nullptr;
    int connectTimeoutMs = 10000;
    // A transfer connection that moves nothing for this long is given up.
    int stallMs = 60000;
    // Bytes per second at most; 0 for no limit.
    std::uint64_t rateLimit = 0;
};

class Client {
public:
    explicit Client(std::string host = "127.0.0.1", std::uint16_t controlPort = CONTROL_PORT,
                    std::uint16_t transferPort = TRANSFER_PORT);

    bool connect(int timeoutMs = Connection::DEFAULT_TIMEOUT_MS);
    // Both connections of this client will come from this local address.
    void setLocalAddress(std::string address) { localAddress_ = std::move(address); }
    void disconnect() { control_.close(); }
    // Between requests only the server's closing byte can arrive. False (and
    // the connection closed) when it has, when the server has closed the
    // connection, or when it failed; consumes nothing otherwise.
    bool checkConnected();
    Connection& connection() { return control_; }
    const std::string& host() const { return host_; }

    Status login(std::string_view name, std::string_view password);
    Status createAccount(std::string_view name, std::string_view password);
    Status rename(std::string_view from, std::string_view to);
    Status remove(std::string_view name);
    // Requests with no reply: true when sent.
    bool logout();
    bool quit();
    bool setShared(std::string_view name, bool shared);
    bool stopServer();
    // Asks the server to stop and waits for its closing byte: Ok when the
    // server is stopping, Refused (23) for a non-administrator.
    Status shutDownServer();

    // Optional results: empty on failure, with the reason in `status`.
    std::optional<FileInfo> fileInfo(std::string_view name, Status* status = nullptr);
    std::optional<std::vector<std::string>> listOwnFolder(Status* status = nullptr) {
        return list(SELECT_OWN_FOLDER, status);
    }
    std::optional<std::vector<std::string>> listCatalog(Status* status = nullptr) {
        return list(0, status);
    }
    std::optional<std::vector<std::string>> list(std::uint8_t selector, Status* status = nullptr);

    // Administrator requests. A refusal (23 for a non-administrator) comes
    // back in `status`.
    std::optional<std::vector<std::string>> listUsers(Status* status = nullptr);
    std::optional<UserInfo> userInfo(std::string_view name, Status* status = nullptr);
    Status kick(std::string_view name);

    // Uploads what `source` produces under `name` in the caller's own folder.
    // Once the source is exhausted the upload is no longer cancelled: the
    // server's answer decides. A name with a ".." component is not sent
    // (Invalid): the server would refuse it only after bytes may have gone.
    Status upload(std::string_view name, std::uint32_t announcedSize, const Source& source,
                  const TransferOptions& options = {});
    // Downloads a catalog line (selector other than 24) or an own file (24).
    // `size`, when given, receives the announced size. A size of FF FF FF FF
    // is cancelled at once and answered NotAvailable. When a cancel crosses
    // the server's end of the transfer, the server would read the cancel as
    // the start of a request; the connection is closed then (checkConnected()
    // turns false) rather than left out of step.
    Status download(std::string_view name, std::uint8_t selector, const Sink& sink,
                    const TransferOptions& options = {}, std::uint32_t* size = nullptr);

    // Sends a request and reads its one status byte.
    Status statusRequest(const Payload& payload);

private:
    Status lost();
    // Ok for 18; Refused for a refusal; ConnectionLost for the closing byte,
    // after closing the connection.
    Status fromReply(std::uint8_t request, std::uint8_t reply);
    std::optional<std::vector<std::string>> readList(std::uint8_t request, Status* status);
    bool openTransfer(Connection& transfer, const TransferOptions& options);
    // Sends the cancel and reads the server's 18 for it.
    Status abandonUpload(Connection& transfer);
    Status cancelDownload(Connection& transfer, std::uint64_t received, std::uint32_t size);

    std::string host_;
    std::uint16_t transferPort_;
    std::uint16_t controlPort_;
    std::string localAddress_;
    Connection control_;
};

}  // namespace vextora::client
