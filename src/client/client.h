// Client: every request of the protocol, as typed calls with typed results.
//
// One Client is one control connection. Requests are sent and their replies
// read in order; a call returns when its reply is complete, or fails when the
// reply does not come within the connection's time limit. Transfers open the
// second connection to the transfer port as soon as the request is sent.
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
    };
    Kind kind = Ok;
    std::uint8_t reply = 0;
    std::string message;

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
    // Checked between pieces; when set, the transfer is cancelled.
    const std::atomic<bool>* cancel = nullptr;
    int connectTimeoutMs = 10000;
};

class Client {
public:
    explicit Client(std::string host = "127.0.0.1", std::uint16_t controlPort = CONTROL_PORT,
                    std::uint16_t transferPort = TRANSFER_PORT);

    bool connect(int timeoutMs = Connection::DEFAULT_TIMEOUT_MS);
    // Both connections of this client will come from this local address.
    void setLocalAddress(std::string address) { localAddress_ = std::move(address); }
    void disconnect() { control_.close(); }
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

    std::optional<FileInfo> fileInfo(std::string_view name);
    std::optional<std::vector<std::string>> listOwnFolder() { return list(SELECT_OWN_FOLDER); }
    std::optional<std::vector<std::string>> listCatalog() { return list(0); }
    std::optional<std::vector<std::string>> list(std::uint8_t selector);

    // Administrator requests. A refusal (23 for a non-administrator) comes
    // back in `status`.
    std::optional<std::vector<std::string>> listUsers(Status* status = nullptr);
    std::optional<UserInfo> userInfo(std::string_view name, Status* status = nullptr);
    Status kick(std::string_view name);

    // Uploads what `source` produces under `name` in the caller's own folder.
    Status upload(std::string_view name, std::uint32_t announcedSize, const Source& source,
                  const TransferOptions& options = {});
    // Downloads a catalog line (selector other than 24) or an own file (24).
    // `size`, when given, receives the announced size.
    Status download(std::string_view name, std::uint8_t selector, const Sink& sink,
                    const TransferOptions& options = {}, std::uint32_t* size = nullptr);

    // Sends a request and reads its one status byte.
    Status statusRequest(const Payload& payload);

private:
    Status lost();
    bool openTransfer(Connection& transfer, const TransferOptions& options);

    std::string host_;
    std::uint16_t transferPort_;
    std::uint16_t controlPort_;
    std::string localAddress_;
    Connection control_;
};

}  // namespace vextora::client
