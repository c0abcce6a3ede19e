#include "client/connection.h"

#include <cerrno>
#include <cstring>

#include "server/protocol.h"

namespace vextora::client {

Payload& Payload::byte(std::uint8_t value) {
    bytes_.push_back(value);
    return *this;
}

Payload& Payload::uint32(std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(std::uint8_t(value >> shift));
    return *this;
}

Payload& Payload::text(std::string_view value) {
    if (value.size() > MAX_TEXT) {
        value = value.substr(0, MAX_TEXT);
        fits_ = false;
    }
    bytes_.push_back(static_cast<std::uint8_t>(value.size()));
    bytes_.insert(bytes_.end(), value.begin(), value.end());
    return *this;
}

bool Connection::open(const std::string& host, std::uint16_t port, int timeoutMs,
                      const std::string& localAddress) {
    close();
    failed_ = false;
    error_.clear();
    if (!socket_.create())
        return fail(std::string("cannot create a socket: ") + std::strerror(errno));
    if (!localAddress.empty() && !socket_.bindLocal(localAddress.c_str())) {
        socket_.release();
        return fail("cannot use local address " + localAddress);
    }
    if (!socket_.connectTo(host.c_str(), port, timeoutMs)) {
        int error = socket_.lastError();
        socket_.release();
        if (TcpSocket::resolveHost(host.c_str()) == TcpSocket::ADDRESS_NONE)
            return fail("cannot find an IPv4 address for host '" + host +
                        "' (the client speaks IPv4 only)");
        return fail("cannot connect to " + host + " port " + std::to_string(port) + ": " +
                    std::strerror(error != 0 ? error : ETIMEDOUT));
    }
    socket_.setNoDelay(true);
    return true;
}

void Connection::close() {
    socket_.release();
}

bool Connection::fail(std::string message) {
    if (!failed_) error_ = std::move(message);
    failed_ = true;
    return false;
}

bool Connection::sendFrame(std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> frame;
    frame.reserve(4 + payload.size());
    auto length = static_cast<std::uint32_t>(payload.size());
    for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(std::uint8_t(length >> shift));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return sendRaw(frame.data(), frame.size());
}

bool Connection::sendRaw(const void* data, std::size_t length) {
    if (failed_) return false;
    auto bytes = static_cast<const std::uint8_t*>(data);
    while (length > 0) {
        if (!socket_.waitWritable(timeoutMs_)) return fail("the server stopped taking data");
        IoResult sent = socket_.sendSome(bytes, length);
        if (sent.error != 0 && !sent.wouldBlock())
            return fail(std::string("connection lost: ") + std::strerror(sent.error));
        bytes += sent.bytes;
        length -= sent.bytes;
    }
    return true;
}

bool Connection::readExact(void* buffer, std::size_t length) {
    if (failed_) return false;
    auto bytes = static_cast<std::uint8_t*>(buffer);
    while (length > 0) {
        if (!socket_.waitReadable(timeoutMs_)) return fail("the server did not answer in time");
        IoResult got = socket_.receiveSome(bytes, length);
        if (got.closed()) return fail("the server closed the connection");
        if (got.error != 0) {
            if (got.wouldBlock()) continue;
            return fail(std::string("connection lost: ") + std::strerror(got.error));
        }
        bytes += got.bytes;
        length -= got.bytes;
    }
    return true;
}

std::optional<std::uint8_t> Connection::readByte() {
    std::uint8_t value;
    if (!readExact(&value, 1)) return std::nullopt;
    return value;
}

std::optional<std::uint32_t> Connection::readUint32() {
    std::uint8_t raw[4];
    if (!readExact(raw, 4)) return std::nullopt;
    return (std::uint32_t{raw[0]} << 24) | (std::uint32_t{raw[1]} << 16) |
           (std::uint32_t{raw[2]} << 8) | std::uint32_t{raw[3]};
}

std::optional<std::string> Connection::readText() {
    auto length = readByte();
    if (!length) return std::nullopt;
    std::string text(*length, '\0');
    if (!readExact(text.data(), text.size())) return std::nullopt;
    return text;
}

bool Connection::waitReadable(int ms) {
    return !failed_ && socket_.waitReadable(ms);
}

bool Connection::closedByPeer() {
    return socket_.peerClosed();
}

}  // namespace vextora::client
