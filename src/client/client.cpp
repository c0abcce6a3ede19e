#include "client/client.h"

#include "platform/file_system.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace vextora::client {

namespace {

using Clock = std::chrono::steady_clock;

// After the transfer connection's data is complete, how long an upload waits
// for the server's final answer.
constexpr int UPLOAD_ANSWER_TIMEOUT_MS = 60000;
// How long a cancelled download waits for the server to close its end.
constexpr int CANCEL_DRAIN_MS = 3000;
// Longest single wait inside a transfer loop, so a cancel is seen promptly.
constexpr int TRANSFER_TICK_MS = 100;

bool cancelled(const TransferOptions& options) {
    return options.cancel != nullptr && options.cancel->load();
}

int msSince(Clock::time_point start) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

Status tooLong() {
    return Status::failure(Status::Invalid, "a name or password is longer than 255 bytes");
}

Status stalled(const TransferOptions& options) {
    return Status::failure(
        Status::ConnectionLost,
        "the transfer stalled: nothing moved for " + std::to_string(options.stallMs / 1000) + " s");
}

// Keeps a transfer at or under `rate` bytes a second, measured from its start.
class Pacer {
public:
    explicit Pacer(std::uint64_t rate) : rate_(rate), start_(Clock::now()) {}

    // Milliseconds to hold off before more bytes may move, `moved` so far.
    int waitMs(std::uint64_t moved) const {
        if (rate_ == 0) return 0;
        auto due = start_ + std::chrono::microseconds(moved * 1000000 / rate_);
        auto now = Clock::now();
        if (due <= now) return 0;
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
    }
    // At most a tenth of a second's worth at once, so the pace stays even.
    std::size_t step(std::size_t capacity) const {
        if (rate_ == 0) return capacity;
        return static_cast<std::size_t>(std::clamp<std::uint64_t>(rate_ / 10, 1, capacity));
    }

private:
    std::uint64_t rate_;
    Clock::time_point start_;
};

}  // namespace

std::string describeReply(std::uint8_t request, std::uint8_t reply) {
    switch (reply) {
        case REPLY_OK:
            return "done";
        case REPLY_CLOSING:
            return "the server closed the connection (an administrator disconnected you, or the "
                   "server is stopping)";
        case REPLY_CANNOT_KICK_SELF:
            return "cannot kick yourself";
        case REPLY_ADMIN_ONLY:
            return "administrator only";
        case REPLY_BAD_PASSWORD:
            return "bad password";
        case REPLY_BAD_NAME:
            if (request == REQ_LOGIN) return "no such account";
            if (request == REQ_CREATE_ACCOUNT) return "name refused or already taken";
            return "no such user";
        case REPLY_FAILED:
            switch (request) {
                case REQ_LOGIN:
                    return "already logged in";
                case REQ_CREATE_ACCOUNT:
                    return "the server could not store the account";
                case REQ_DOWNLOAD:
                    return "not logged in";
                case REQ_UPLOAD:
                    return "the server refused the upload";
                case REQ_RENAME_FILE:
                    return "no such file, or the new name exists";
                case REQ_DELETE_FILE:
                    return "no such file";
                case REQ_KICK_USER:
                    return "no such user";
                default:
                    return "request failed";
            }
        default:
            return "unexpected reply " + std::to_string(reply);
    }
}

Client::Client(std::string host, std::uint16_t controlPort, std::uint16_t transferPort)
    : host_(std::move(host)), transferPort_(transferPort), controlPort_(controlPort) {}

bool Client::connect(int timeoutMs) {
    return control_.open(host_, controlPort_, timeoutMs, localAddress_);
}

bool Client::checkConnected() {
    if (!control_.isOpen()) return false;
    if (!control_.waitReadable(0)) return true;
    // Nothing was asked, so whatever is there is the closing byte or the end;
    // either way the connection is over.
    control_.close();
    return false;
}

Status Client::lost() {
    return Status::failure(Status::ConnectionLost,
                           control_.error().empty() ? "connection lost" : control_.error());
}

Status Client::fromReply(std::uint8_t request, std::uint8_t reply) {
    if (reply == REPLY_OK) return Status::success();
    if (reply == REPLY_CLOSING) {
        control_.close();
        return Status::failure(Status::ConnectionLost, describeReply(request, reply), reply);
    }
    return Status::failure(Status::Refused, describeReply(request, reply), reply);
}

Status Client::statusRequest(const Payload& payload) {
    if (!payload.fits()) return tooLong();
    std::uint8_t request = payload.bytes()[0];
    if (!control_.sendFrame(payload)) return lost();
    auto reply = control_.readByte();
    if (!reply) return lost();
    return fromReply(request, *reply);
}

Status Client::login(std::string_view name, std::string_view password) {
    return statusRequest(Payload(REQ_LOGIN).text(name).text(password));
}

Status Client::createAccount(std::string_view name, std::string_view password) {
    return statusRequest(Payload(REQ_CREATE_ACCOUNT).text(name).text(password));
}

Status Client::rename(std::string_view from, std::string_view to) {
    return statusRequest(Payload(REQ_RENAME_FILE).text(from).text(to));
}

Status Client::remove(std::string_view name) {
    return statusRequest(Payload(REQ_DELETE_FILE).text(name));
}

Status Client::kick(std::string_view name) {
    return statusRequest(Payload(REQ_KICK_USER).text(name));
}

bool Client::logout() {
    return control_.sendFrame(Payload(REQ_LOGOUT));
}

bool Client::quit() {
    bool sent = control_.sendFrame(Payload(REQ_QUIT));
    control_.close();
    return sent;
}

bool Client::setShared(std::string_view name, bool shared) {
    Payload request(REQ_SET_SHARED);
    request.text(name).byte(shared ? 1 : 0);
    return request.fits() && control_.sendFrame(request);
}

bool Client::stopServer() {
    return control_.sendFrame(Payload(REQ_STOP_SERVER));
}

Status Client::shutDownServer() {
    if (!control_.sendFrame(Payload(REQ_STOP_SERVER))) return lost();
    // No answer of its own: the shutdown's closing byte, sent to every
    // client, is the confirmation.
    auto reply = control_.readByte();
    if (!reply) return lost();
    if (*reply == REPLY_CLOSING) {
        control_.close();
        return Status::success(REPLY_CLOSING);
    }
    return fromReply(REQ_STOP_SERVER, *reply);
}

std::optional<FileInfo> Client::fileInfo(std::string_view name, Status* status) {
    Payload request(REQ_FILE_INFO);
    request.text(name);
    Status outcome = Status::success();
    std::optional<FileInfo> info;
    if (!request.fits()) {
        outcome = tooLong();
    } else if (!control_.sendFrame(request)) {
        outcome = lost();
    } else {
        auto size = control_.readUint32();
        auto shared = size ? control_.readByte() : std::nullopt;
        if (shared)
            info = FileInfo{*size, *shared != 0};
        else
            outcome = lost();
    }
    if (status) *status = outcome;
    return info;
}

std::optional<std::vector<std::string>> Client::list(std::uint8_t selector, Status* status) {
    if (!control_.sendFrame(Payload(REQ_LIST_FILES).byte(selector))) {
        if (status) *status = lost();
        return std::nullopt;
    }
    return readList(REQ_LIST_FILES, status);
}

std::optional<std::vector<std::string>> Client::listUsers(Status* status) {
    if (!control_.sendFrame(Payload(REQ_LIST_USERS))) {
        if (status) *status = lost();
        return std::nullopt;
    }
    return readList(REQ_LIST_USERS, status);
}

std::optional<std::vector<std::string>> Client::readList(std::uint8_t request, Status* status) {
    std::vector<std::string> entries;
    for (;;) {
        auto marker = control_.readByte();
        if (!marker) {
            if (status) *status = lost();
            return std::nullopt;
        }
        if (*marker == REPLY_LIST_END) break;
        if (*marker != REPLY_LIST_ITEM) {
            // A refusal (23) in place of the list, or the closing byte.
            if (status) *status = fromReply(request, *marker);
            return std::nullopt;
        }
        auto entry = control_.readText();
        if (!entry) {
            if (status) *status = lost();
            return std::nullopt;
        }
        entries.push_back(std::move(*entry));
    }
    if (status) *status = Status::success();
    return entries;
}

std::optional<UserInfo> Client::userInfo(std::string_view name, Status* status) {
    Payload request(REQ_USER_INFO);
    request.text(name);
    if (!request.fits() || !control_.sendFrame(request)) {
        if (status) *status = request.fits() ? lost() : tooLong();
        return std::nullopt;
    }
    auto reply = control_.readByte();
    if (reply && *reply != REPLY_OK) {
        if (status) *status = fromReply(REQ_USER_INFO, *reply);
        return std::nullopt;
    }
    UserInfo info;
    auto address = reply ? control_.readText() : std::nullopt;
    auto shared = address ? control_.readUint32() : std::nullopt;
    auto connected = shared ? control_.readUint32() : std::nullopt;
    auto direction = connected ? control_.readByte() : std::nullopt;
    if (!direction) {
        if (status) *status = lost();
        return std::nullopt;
    }
    info.address = *address;
    info.sharedFiles = *shared;
    info.connectedMs = *connected;
    info.direction = *direction;
    if (info.direction != DIRECTION_NONE) {
        auto rate = control_.readUint32();
        auto size = rate ? control_.readUint32() : std::nullopt;
        auto done = size ? control_.readUint32() : std::nullopt;
        if (!done) {
            if (status) *status = lost();
            return std::nullopt;
        }
        info.rateKBps = *rate;
        info.transferSize = *size;
        info.transferDone = *done;
    }
    if (status) *status = Status::success();
    return info;
}

bool Client::openTransfer(Connection& transfer, const TransferOptions& options) {
    // The listener is always up; a refused connect can only mean the server
    // is starting or stopping, so try a few more times before giving up.
    auto deadline = Clock::now() + std::chrono::milliseconds(options.connectTimeoutMs);
    for (;;) {
        if (transfer.open(host_, transferPort_, options.connectTimeoutMs, localAddress_))
            return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

Status Client::abandonUpload(Connection& transfer) {
    control_.sendByte(CANCEL_TRANSFER);
    // The transfer connection stays open until the answer: closed first, its
    // end could reach the server before the cancel and read as a complete
    // upload of the partial data.
    auto reply = control_.readByte();
    transfer.close();
    if (!reply) return lost();
    if (*reply == REPLY_OK) return Status::success();
    // A refusal that crossed the cancel: the server was never in the upload,
    // so it took the cancel byte as the start of a request. Out of step for
    // good; the connection must go.
    Status refused = fromReply(REQ_UPLOAD, *reply);
    control_.close();
    return refused;
}

Status Client::upload(std::string_view name, std::uint32_t announcedSize, const Source& source,
                      const TransferOptions& options) {
    // The server refuses such a name, and knows a refused upload's transfer
    // connection only by its closing without a byte. Bytes sent before the
    // refusal arrives leave that connection held, to be handed to this
    // address's next transfer; so this upload is never started.
    if (FileSystem::hasParentComponent(name))
        return Status::failure(Status::Invalid, "a name with a '..' part would leave your folder");
    Payload request(REQ_UPLOAD);
    request.text(name).uint32(options.pieceSize).uint32(announcedSize);
    if (!request.fits()) return tooLong();
    if (!control_.sendFrame(request)) return lost();

    Connection transfer;
    if (!openTransfer(transfer, options)) {
        if (control_.waitReadable(0)) {
            auto reply = control_.readByte();
            if (reply) return fromReply(REQ_UPLOAD, *reply);
        }
        // The server waits for this connection and reads nothing meanwhile.
        control_.close();
        return Status::failure(Status::ConnectionLost, transfer.error());
    }
    TcpSocket& data = transfer.socket();
    data.setNonBlocking(true);

    std::vector<std::uint8_t> buffer(std::max<std::uint32_t>(options.pieceSize, 65536));
    Pacer pacer(options.rateLimit);
    std::size_t pending = 0, offset = 0;
    std::uint64_t sent = 0;
    bool sourceDone = false;
    auto lastMove = Clock::now();
    while (!sourceDone || offset < pending) {
        // A refusal (19) or the server's closing (11) can arrive at any time.
        if (control_.waitReadable(0)) {
            auto reply = control_.readByte();
            if (!reply) return lost();
            transfer.close();
            return fromReply(REQ_UPLOAD, *reply);
        }
        if (cancelled(options)) {
            Status abandoned = abandonUpload(transfer);
            if (!abandoned.ok() && abandoned.kind != Status::ConnectionLost) return abandoned;
            return Status::failure(Status::Cancelled, "cancelled");
        }
        if (offset == pending && !sourceDone) {
            long got = source(buffer.data(), pacer.step(buffer.size()));
            if (got < 0) {
                if (cancelled(options)) continue;  // the read was cut short by the cancel
                Status abandoned = abandonUpload(transfer);
                if (!abandoned.ok() && abandoned.kind != Status::ConnectionLost) return abandoned;
                return Status::failure(Status::LocalError, "cannot read the local file");
            }
            if (got == 0) sourceDone = true;
            pending = static_cast<std::size_t>(got);
            offset = 0;
            continue;
        }
        if (int wait = pacer.waitMs(sent)) {
            control_.waitReadable(std::min(wait, TRANSFER_TICK_MS));
            lastMove = Clock::now();
            continue;
        }
        if (!data.waitWritable(TRANSFER_TICK_MS)) {
            if (msSince(lastMove) < options.stallMs) continue;
            abandonUpload(transfer);
            return stalled(options);
        }
        IoResult out = data.sendSome(buffer.data() + offset, pending - offset);
        if (out.error != 0 && !out.wouldBlock()) {
            transfer.close();
            auto reply = control_.readByte();
            if (reply && *reply != REPLY_OK) return fromReply(REQ_UPLOAD, *reply);
            return Status::failure(Status::ConnectionLost, "the transfer connection broke");
        }
        if (out.bytes > 0) lastMove = Clock::now();
        offset += out.bytes;
        sent += out.bytes;
        if (options.progress && out.bytes > 0) options.progress(sent, announcedSize);
    }
    // The close tells the server the file is complete; the answer follows.
    data.shutdownWrite();
    int saved = control_.timeout();
    control_.setTimeout(UPLOAD_ANSWER_TIMEOUT_MS);
    auto reply = control_.readByte();
    control_.setTimeout(saved);
    transfer.close();
    if (!reply) return lost();
    Status answer = fromReply(REQ_UPLOAD, *reply);
    if (answer.kind == Status::Refused) {
        answer.afterData = true;
        answer.message = "the server could not store the file";
    }
    return answer;
}

Status Client::cancelDownload(Connection& transfer, std::uint64_t received, std::uint32_t size) {
    control_.sendByte(CANCEL_TRANSFER);
    // The server closes its end either way: after reading the cancel, or
    // because it had already sent the whole file. Only in the second case
    // does all of it arrive, and then the cancel byte waits on the control
    // connection as the start of a request that cannot be completed.
    TcpSocket& data = transfer.socket();
    std::vector<std::uint8_t> discard(65536);
    auto start = Clock::now();
    while (received < size) {
        int left = CANCEL_DRAIN_MS - msSince(start);
        if (left <= 0 || !data.waitReadable(left)) break;
        IoResult got = data.receiveSome(discard.data(), discard.size());
        if (got.closed() || (got.error != 0 && !got.wouldBlock())) break;
        received += got.bytes;
    }
    transfer.close();
    if (received >= size) control_.close();
    return Status::failure(Status::Cancelled, "cancelled");
}

Status Client::download(std::string_view name, std::uint8_t selector, const Sink& sink,
                        const TransferOptions& options, std::uint32_t* sizeOut) {
    Payload request(REQ_DOWNLOAD);
    request.text(name).uint32(options.pieceSize).byte(selector);
    if (!request.fits()) return tooLong();
    if (!control_.sendFrame(request)) return lost();
    // Connect at once: the server holds an early connection for its request,
    // and connections from one address are matched in request order.
    Connection transfer;
    if (!openTransfer(transfer, options)) {
        // The server waits for this connection and reads nothing meanwhile.
        control_.close();
        return Status::failure(Status::ConnectionLost, transfer.error());
    }

    // A refusal is the single byte 19; a size is four bytes, which may begin
    // with 19 too. The rest of a size follows at once, a refusal has none.
    std::uint8_t raw[4];
    auto first = control_.readByte();
    if (!first) return lost();
    raw[0] = *first;
    if (*first == REPLY_FAILED || *first == REPLY_CLOSING) {
        if (!control_.waitReadable(500)) return fromReply(REQ_DOWNLOAD, *first);
    }
    if (!control_.readExact(raw + 1, 3)) return lost();
    std::uint32_t size = (std::uint32_t{raw[0]} << 24) | (std::uint32_t{raw[1]} << 16) |
                         (std::uint32_t{raw[2]} << 8) | std::uint32_t{raw[3]};
    if (sizeOut) *sizeOut = size;

    if (size == SIZE_UNAVAILABLE) {
        // Nothing will come, and the server holds the transfer until it
        // reads the cancel.
        control_.sendByte(CANCEL_TRANSFER);
        transfer.close();
        return Status::failure(Status::NotAvailable, "file not available");
    }

    TcpSocket& data = transfer.socket();
    data.setNonBlocking(true);
    std::vector<std::uint8_t> buffer(std::max<std::uint32_t>(options.pieceSize, 65536));
    Pacer pacer(options.rateLimit);
    std::uint64_t received = 0;
    auto lastMove = Clock::now();
    if (options.progress) options.progress(0, size);
    for (;;) {
        // Once every byte is here the transfer is complete; a cancel now
        // would only cross the server's end.
        if (received < size && cancelled(options)) return cancelDownload(transfer, received, size);
        if (control_.waitReadable(0)) {
            // Only the server's closing can come now.
            auto reply = control_.readByte();
            transfer.close();
            if (reply) return fromReply(REQ_DOWNLOAD, *reply);
            return lost();
        }
        if (int wait = pacer.waitMs(received)) {
            control_.waitReadable(std::min(wait, TRANSFER_TICK_MS));
            lastMove = Clock::now();
            continue;
        }
        if (!data.waitReadable(TRANSFER_TICK_MS)) {
            if (msSince(lastMove) < options.stallMs) continue;
            cancelDownload(transfer, received, size);
            return stalled(options);
        }
        IoResult got = data.receiveSome(buffer.data(), pacer.step(buffer.size()));
        if (got.closed()) break;
        if (got.error != 0) {
            if (got.wouldBlock()) continue;
            break;
        }
        lastMove = Clock::now();
        if (received + got.bytes > size) {
            transfer.close();
            return Status::failure(Status::ProtocolError, "the server sent more than announced");
        }
        if (!sink(buffer.data(), got.bytes)) {
            // A write cut short by the cancel is the cancel, not a local fault.
            Status ended = cancelDownload(transfer, received, size);
            if (cancelled(options)) return ended;
            return Status::failure(Status::LocalError, "cannot write the local file");
        }
        received += got.bytes;
        if (options.progress) options.progress(received, size);
    }
    transfer.close();
    if (received != size)
        return Status::failure(Status::ShortTransfer, "transfer ended after " +
                                                          std::to_string(received) + " of " +
                                                          std::to_string(size) + " bytes");
    return Status::success();
}

}  // namespace vextora::client
