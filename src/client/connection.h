// Connection: a blocking client connection with a deadline on every read.
//
// Frames requests (4-byte big-endian length, then the payload) and reads the
// server's raw reply bytes. Every read waits at most the connection's time
// limit; a read that runs out of time or meets the close fails, and failed()
// stays true from then on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/tcp_socket.h"

namespace vextora::client {

// Builds a request payload field by field.
class Payload {
public:
    explicit Payload(std::uint8_t code) { bytes_.push_back(code); }
    Payload& byte(std::uint8_t value);
    Payload& uint32(std::uint32_t value);  // big-endian
    // Length byte, then the bytes. A text over 255 bytes is cut to 255 so the
    // frame stays well formed, and fits() turns false: a cut name would name
    // another file, so Client never sends such a payload.
    Payload& text(std::string_view value);
    bool fits() const { return fits_; }
    std::span<const std::uint8_t> bytes() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
    bool fits_ = true;
};

class Connection {
public:
    static constexpr int DEFAULT_TIMEOUT_MS = 10000;

    // Connects within timeoutMs, from localAddress when one is given. False
    // with error() set.
    bool open(const std::string& host, std::uint16_t port, int timeoutMs = DEFAULT_TIMEOUT_MS,
              const std::string& localAddress = {});
    void close();
    bool isOpen() const { return socket_.isOpen() && !failed_; }
    bool failed() const { return failed_; }
    const std::string& error() const { return error_; }

    void setTimeout(int ms) { timeoutMs_ = ms; }
    int timeout() const { return timeoutMs_; }

    bool sendFrame(std::span<const std::uint8_t> payload);
    bool sendFrame(const Payload& payload) { return sendFrame(payload.bytes()); }
    bool sendRaw(const void* data, std::size_t length);
    bool sendByte(std::uint8_t value) { return sendRaw(&value, 1); }

    std::optional<std::uint8_t> readByte();
    std::optional<std::uint32_t> readUint32();  // big-endian
    std::optional<std::string> readText();      // length byte, then bytes
    bool readExact(void* buffer, std::size_t length);
    // Waits up to ms for a byte (or the close) to be readable, consuming nothing.
    bool waitReadable(int ms);
    // True when the server has closed the connection (nothing more will come).
    bool closedByPeer();

    TcpSocket& socket() { return socket_; }

private:
    bool fail(std::string message);

    TcpSocket socket_;
    int timeoutMs_ = DEFAULT_TIMEOUT_MS;
    bool failed_ = false;
    std::string error_;
};

}  // namespace vextora::client
