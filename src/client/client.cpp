#include "client/client.h"

#include <chrono>
#include <thread>
#include <vector>

namespace vextora::client {

namespace {

// After the transfer connection's data is complete, how long an upload waits
// for the server's final answer.
constexpr int UPLOAD_ANSWER_TIMEOUT_MS = 60000;

bool cancelled(const TransferOptions& options) {
    return options.cancel != nullptr && options.cancel->load();
}

}  // namespace

std::string describeReply(std::uint8_t request, std::uint8_t reply) {
    switch (reply) {
        case REPLY_OK:
            return "done";
        case REPLY_CLOSING:
            return "the server closed the connection";
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
                    return "the account could not be stored";
                case REQ_DOWNLOAD:
                    return "not logged in";
                case REQ_UPLOAD:
                    return "upload refused or the file could not be stored";
                case REQ_RENAME_FILE:
                    return "rename failed (no such file, or the new name exists)";
                case REQ_DELETE_FILE:
                    return "delete failed (no such file)";
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

Status Client::lost() {
    return Status::failure(Status::ConnectionLost,
                           control_.error().empty() ? "connection lost" : control_.error());
}

Status Client::statusRequest(const Payload& payload) {
    std::uint8_t request = payload.bytes()[0];
    if (!control_.sendFrame(payload)) return lost();
    auto reply = control_.readByte();
    if (!reply) return lost();
    if (*reply == REPLY_OK) return Status::success();
    if (*reply == REPLY_CLOSING) control_.close();
    return Status::failure(Status::Refused, describeReply(request, *reply), *reply);
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
    return control_.sendFrame(Payload(REQ_SET_SHARED).text(name).byte(shared ? 1 : 0));
}

bool Client::stopServer() {
    return control_.sendFrame(Payload(REQ_STOP_SERVER));
}

std::optional<FileInfo> Client::fileInfo(std::string_view name) {
    if (!control_.sendFrame(Payload(REQ_FILE_INFO).text(name))) return std::nullopt;
    auto size = control_.readUint32();
    auto shared = control_.readByte();
    if (!size || !shared) return std::nullopt;
    return FileInfo{*size, *shared != 0};
}

std::optional<std::vector<std::string>> Client::list(std::uint8_t selector) {
    if (!control_.sendFrame(Payload(REQ_LIST_FILES).byte(selector))) return std::nullopt;
    std::vector<std::string> entries;
    for (;;) {
        auto marker = control_.readByte();
        if (!marker) return std::nullopt;
        if (*marker == REPLY_LIST_END) return entries;
        if (*marker != REPLY_LIST_ITEM) return std::nullopt;
        auto entry = control_.readText();
        if (!entry) return std::nullopt;
        entries.push_back(std::move(*entry));
    }
}

std::optional<std::vector<std::string>> Client::listUsers(Status* status) {
    if (!control_.sendFrame(Payload(REQ_LIST_USERS))) {
        if (status) *status = lost();
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (;;) {
        auto marker = control_.readByte();
        if (!marker) {
            if (status) *status = lost();
            return std::nullopt;
        }
        if (*marker == REPLY_LIST_END) break;
        if (*marker != REPLY_LIST_ITEM) {
            if (status)
                *status = Status::failure(Status::Refused, describeReply(REQ_LIST_USERS, *marker),
                                          *marker);
            return std::nullopt;
        }
        auto name = control_.readText();
        if (!name) {
            if (status) *status = lost();
            return std::nullopt;
        }
        names.push_back(std::move(*name));
    }
    if (status) *status = Status::success();
    return names;
}

std::optional<UserInfo> Client::userInfo(std::string_view name, Status* status) {
    if (!control_.sendFrame(Payload(REQ_USER_INFO).text(name))) {
        if (status) *status = lost();
        return std::nullopt;
    }
    auto reply = control_.readByte();
    if (reply && *reply != REPLY_OK) {
        if (status)
            *status =
                Status::failure(Status::Refused, describeReply(REQ_USER_INFO, *reply), *reply);
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
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.connectTimeoutMs);
    for (;;) {
        if (transfer.open(host_, transferPort_, options.connectTimeoutMs, localAddress_))
            return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

Status Client::upload(std::string_view name, std::uint32_t announcedSize, const Source& source,
                      const TransferOptions& options) {
    Payload request(REQ_UPLOAD);
    request.text(name).uint32(options.pieceSize).uint32(announcedSize);
    if (!control_.sendFrame(request)) return lost();

    Connection transfer;
    if (!openTransfer(transfer, options))
        return Status::failure(Status::ConnectionLost, transfer.error());
    TcpSocket& data = transfer.socket();
    data.setNonBlocking(true);

    std::vector<std::uint8_t> buffer(std::max<std::uint32_t>(options.pieceSize, 65536));
    std::size_t pending = 0, offset = 0;
    std::uint64_t sent = 0;
    bool sourceDone = false;
    while (!sourceDone || offset < pending) {
        if (cancelled(options)) {
            control_.sendByte(CANCEL_TRANSFER);
            transfer.close();
            auto reply = control_.readByte();
            if (!reply) return lost();
            return Status::failure(Status::Cancelled, "cancelled");
        }
        // A refusal (19) or the server's closing (11) can arrive at any time.
        if (control_.waitReadable(0)) {
            auto reply = control_.readByte();
            if (!reply) return lost();
            transfer.close();
            if (*reply == REPLY_CLOSING) control_.close();
            return Status::failure(Status::Refused, describeReply(REQ_UPLOAD, *reply), *reply);
        }
        if (offset == pending && !sourceDone) {
            long got = source(buffer.data(), buffer.size());
            if (got < 0) {
                control_.sendByte(CANCEL_TRANSFER);
                transfer.close();
                control_.readByte();
                return Status::failure(Status::LocalError, "cannot read the local file");
            }
            if (got == 0) sourceDone = true;
            pending = static_cast<std::size_t>(got);
            offset = 0;
            continue;
        }
        if (!data.waitWritable(100)) continue;
        IoResult out = data.sendSome(buffer.data() + offset, pending - offset);
        if (out.error != 0 && !out.wouldBlock()) {
            transfer.close();
            auto reply = control_.readByte();
            if (reply && *reply != REPLY_OK)
                return Status::failure(Status::Refused, describeReply(REQ_UPLOAD, *reply), *reply);
            return Status::failure(Status::ConnectionLost, "the transfer connection broke");
        }
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
    if (*reply == REPLY_OK) return Status::success();
    if (*reply == REPLY_CLOSING) control_.close();
    return Status::failure(Status::Refused, describeReply(REQ_UPLOAD, *reply), *reply);
}

Status Client::download(std::string_view name, std::uint8_t selector, const Sink& sink,
                        const TransferOptions& options, std::uint32_t* sizeOut) {
    Payload request(REQ_DOWNLOAD);
    request.text(name).uint32(options.pieceSize).byte(selector);
    if (!control_.sendFrame(request)) return lost();
    // Connect at once: the server holds an early connection for its request,
    // and connections from one address are matched in request order.
    Connection transfer;
    if (!openTransfer(transfer, options))
        return Status::failure(Status::ConnectionLost, transfer.error());

    // A refusal is the single byte 19; a size is four bytes, which may begin
    // with 19 too. The rest of a size follows at once, a refusal has none.
    std::uint8_t raw[4];
    auto first = control_.readByte();
    if (!first) return lost();
    raw[0] = *first;
    if (*first == REPLY_FAILED || *first == REPLY_CLOSING) {
        if (!control_.waitReadable(500)) {
            transfer.close();
            if (*first == REPLY_CLOSING) control_.close();
            return Status::failure(Status::Refused, describeReply(REQ_DOWNLOAD, *first), *first);
        }
    }
    if (!control_.readExact(raw + 1, 3)) return lost();
    std::uint32_t size = (std::uint32_t{raw[0]} << 24) | (std::uint32_t{raw[1]} << 16) |
                         (std::uint32_t{raw[2]} << 8) | std::uint32_t{raw[3]};
    if (sizeOut) *sizeOut = size;
    if (size == SIZE_UNAVAILABLE) {
        // Nothing will come; the server waits for the cancel.
        control_.sendByte(CANCEL_TRANSFER);
        transfer.close();
        return Status::failure(Status::NotAvailable, "file not available");
    }

    TcpSocket& data = transfer.socket();
    data.setNonBlocking(true);
    std::vector<std::uint8_t> buffer(std::max<std::uint32_t>(options.pieceSize, 65536));
    std::uint64_t received = 0;
    if (options.progress) options.progress(0, size);
    for (;;) {
        if (cancelled(options)) {
            control_.sendByte(CANCEL_TRANSFER);
            transfer.close();
            return Status::failure(Status::Cancelled, "cancelled");
        }
        if (control_.waitReadable(0)) {
            // Only the server's closing can come now.
            auto reply = control_.readByte();
            transfer.close();
            if (reply == REPLY_CLOSING) control_.close();
            return lost();
        }
        if (!data.waitReadable(100)) continue;
        IoResult got = data.receiveSome(buffer.data(), buffer.size());
        if (got.closed()) break;
        if (got.error != 0) {
            if (got.wouldBlock()) continue;
            break;
        }
        if (received + got.bytes > size)
            return Status::failure(Status::ProtocolError, "the server sent more than announced");
        if (!sink(buffer.data(), got.bytes)) {
            control_.sendByte(CANCEL_TRANSFER);
            transfer.close();
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
