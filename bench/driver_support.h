// What the load drivers share: raw connections from a chosen loopback
// address, request frames, a look at the server process from outside, and
// percentiles.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "net/tcp_socket.h"

namespace vextora::bench {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start);

// The server's descriptors, resident memory and processor time, read from /proc.
struct ProcessSample {
    bool alive = false;
    int descriptors = 0;
    long residentKb = 0;
    double cpuSeconds = 0;  // user and system time so far
};
ProcessSample sampleProcess(pid_t pid);

// A request payload, field by field, and its frame.
class Request {
public:
    explicit Request(std::uint8_t code) : bytes_(1, static_cast<char>(code)) {}
    Request& byte(std::uint8_t value);
    Request& uint32(std::uint32_t value);  // big-endian
    Request& text(const std::string& value);
    const std::string& payload() const { return bytes_; }
    std::string frame() const;  // 4-byte big-endian length, then the payload

private:
    std::string bytes_;
};
std::string frameHeader(std::uint32_t length);

// A non-blocking connection to 127.0.0.1:port from `from`, or an empty
// socket when it cannot be made within timeoutMs. receiveBuffer > 0 shrinks
// the receive buffer before connecting.
TcpSocket connectFrom(const std::string& from, std::uint16_t port, int timeoutMs,
                      int receiveBuffer = 0);
// Closes with a reset, so the driver leaves nothing in TIME_WAIT.
void closeAbruptly(TcpSocket& socket);
// Sends all of `bytes` within timeoutMs; false when the connection broke
// or stopped taking data.
bool sendAll(TcpSocket& socket, const std::string& bytes, int timeoutMs);
// Reads exactly `length` bytes within timeoutMs; false otherwise.
bool receiveExact(TcpSocket& socket, void* buffer, std::size_t length, int timeoutMs);
// The peer closed (or reset) the connection, consuming nothing it sent.
bool closedByPeer(TcpSocket& socket);

// The p-th percentile (0..100) of the values, nearest rank; 0 when empty.
double percentile(std::vector<double> values, double p);

// Raises the soft descriptor limit to the hard one; returns the new limit.
long raiseDescriptorLimit();

}  // namespace vextora::bench
