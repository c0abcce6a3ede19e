#include "driver_support.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>

namespace vextora::bench {

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

ProcessSample sampleProcess(pid_t pid) {
    ProcessSample sample;
    std::string base = "/proc/" + std::to_string(pid);
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("State:", 0) == 0) sample.alive = line.find('Z') == std::string::npos;
        if (line.rfind("VmRSS:", 0) == 0) sample.residentKb = std::stol(line.substr(6));
    }
    // utime and stime are the 14th and 15th fields; the name before them,
    // in parentheses, may hold blanks.
    std::ifstream stat(base + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t afterName = all.rfind(')');
    if (afterName != std::string::npos) {
        std::istringstream fields(all.substr(afterName + 2));
        std::string field;
        double ticks = 0;
        for (int index = 3; index <= 15 && fields >> field; ++index) {
            if (index >= 14) ticks += std::stod(field);
        }
        sample.cpuSeconds = ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    if (DIR* folder = ::opendir((base + "/fd").c_str())) {
        while (dirent* entry = ::readdir(folder)) {
            if (entry->d_name[0] != '.') ++sample.descriptors;
        }
        ::closedir(folder);
    }
    return sample;
}

Request& Request::byte(std::uint8_t value) {
    bytes_ += static_cast<char>(value);
    return *this;
}

Request& Request::uint32(std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) byte(static_cast<std::uint8_t>(value >> shift));
    return *this;
}

Request& Request::text(const std::string& value) {
    std::string kept = value.substr(0, 255);
    byte(static_cast<std::uint8_t>(kept.size()));
    bytes_ += kept;
    return *this;
}

std::string Request::frame() const {
    return frameHeader(static_cast<std::uint32_t>(bytes_.size())) + bytes_;
}

std::string frameHeader(std::uint32_t length) {
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>(length >> shift);
    return bytes;
}

TcpSocket connectFrom(const std::string& from, std::uint16_t port, int timeoutMs,
                      int receiveBuffer) {
    TcpSocket socket(true);
    if (!socket.isOpen() || socket.nativeHandle() < 0) return TcpSocket();
    if (receiveBuffer > 0) socket.setBufferSizes(0, receiveBuffer);
    if (!socket.bindLocal(from.c_str()) || !socket.connectTo("127.0.0.1", port, timeoutMs)) {
        closeAbruptly(socket);
        return TcpSocket();
    }
    socket.setNonBlocking(true);
    socket.setNoDelay(true);
    return socket;
}

void closeAbruptly(TcpSocket& socket) {
    if (!socket.holdsCount()) return;
    linger abrupt{1, 0};
    ::setsockopt(socket.nativeHandle(), SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    socket.release();
}

bool sendAll(TcpSocket& socket, const std::string& bytes, int timeoutMs) {
    std::size_t sent = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (sent < bytes.size()) {
        IoResult out = socket.sendSome(bytes.data() + sent, bytes.size() - sent);
        if (out.error != 0 && !out.wouldBlock()) return false;
        sent += out.bytes;
        if (sent == bytes.size()) break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !socket.waitWritable(static_cast<int>(left.count()))) return false;
    }
    return true;
}

bool receiveExact(TcpSocket& socket, void* buffer, std::size_t length, int timeoutMs) {
    auto* bytes = static_cast<char*>(buffer);
    std::size_t got = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got < length) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !socket.waitReadable(static_cast<int>(left.count()))) return false;
        IoResult in = socket.receiveSome(bytes + got, length - got);
        if (in.closed()) return false;
        if (in.error != 0 && !in.wouldBlock()) return false;
        got += in.bytes;
    }
    return true;
}

bool closedByPeer(TcpSocket& socket) {
    return socket.peerClosed();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

long raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
    return static_cast<long>(limit.rlim_cur);
}

}  // namespace vextora::bench
