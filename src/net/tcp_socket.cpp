#include "net/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vextora {

namespace {

sockaddr_in makeAddress(std::uint32_t networkOrder, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = networkOrder;
    address.sin_port = htons(port);
    return address;
}

bool waitFor(int handle, short events, int timeoutMs) {
    pollfd entry{handle, events, 0};
    for (;;) {
        int ready = ::poll(&entry, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0 && (entry.revents & (events | POLLHUP | POLLERR)) != 0;
    }
}

}  // namespace

bool IoResult::wouldBlock() const {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

TcpSocket::TcpSocket(bool createNow) : open_(createNow) {
    if (!createNow) return;
    Handle created = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (created == INVALID_HANDLE) {
        lastError_ = errno;
        return;
    }
    adoptNew(created);
}

TcpSocket::TcpSocket(Handle handle) {
    if (handle != INVALID_HANDLE) adoptNew(handle);
}

TcpSocket::TcpSocket(const TcpSocket& other)
    : open_(other.open_),
      refCount_(other.refCount_),
      holdsRef_(other.holdsRef_),
      handle_(other.handle_),
      lastError_(other.lastError_) {
    if (holdsRef_) ++*refCount_;
}

TcpSocket& TcpSocket::operator=(const TcpSocket& other) {
    if (this == &other) return *this;
    // Copy first: releasing could free the counter that `other` shares with us.
    TcpSocket copy(other);
    release();
    open_ = copy.open_;
    handle_ = copy.handle_;
    lastError_ = copy.lastError_;
    refCount_ = copy.refCount_;
    holdsRef_ = copy.holdsRef_;
    if (holdsRef_) ++*refCount_;
    return *this;
}

TcpSocket::~TcpSocket() {
    release();
}

void TcpSocket::adoptNew(Handle handle) {
    handle_ = handle;
    open_ = true;
    refCount_ = new int(1);
    holdsRef_ = true;
}

bool TcpSocket::create() {
    if (open_) return false;
    Handle created = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (created == INVALID_HANDLE) {
        lastError_ = errno;
        return false;
    }
    adoptNew(created);
    return true;
}

bool TcpSocket::bindAndListen(std::uint16_t port, int backlog) {
    int on = 1;
    ::setsockopt(handle_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = makeAddress(htonl(INADDR_ANY), port);
    if (::bind(handle_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        lastError_ = errno;
        return false;
    }
    if (::listen(handle_, backlog) != 0) {
        lastError_ = errno;
        return false;
    }
    return true;
}

bool TcpSocket::bindLocal(const char* address, std::uint16_t port) {
    in_addr parsed{};
    if (::inet_aton(address, &parsed) == 0) {
        lastError_ = EINVAL;
        return false;
    }
    sockaddr_in local = makeAddress(parsed.s_addr, port);
    if (::bind(handle_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        lastError_ = errno;
        return false;
    }
    return true;
}

TcpSocket TcpSocket::acceptConnection(bool nonBlocking) {
    int flags = SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0);
    Handle accepted = ::accept4(handle_, nullptr, nullptr, flags);
    if (accepted == INVALID_HANDLE) lastError_ = errno;
    TcpSocket result(accepted);
    result.lastError_ = lastError_;
    return result;
}

std::optional<std::uint32_t> TcpSocket::parseDotted(const char* host) {
    in_addr parsed{};
    // inet_aton takes the same forms as the classic inet_addr; the broadcast
    // address is left to the name lookup because its value marks failure.
    if (::inet_aton(host, &parsed) != 0 && parsed.s_addr != ADDRESS_NONE) return parsed.s_addr;
    return std::nullopt;
}

std::uint32_t TcpSocket::resolveHost(const char* host) {
    if (std::optional<std::uint32_t> dotted = parseDotted(host)) return *dotted;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return ADDRESS_NONE;
    std::uint32_t address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(found);
    return address;
}

bool TcpSocket::connectTo(const char* host, std::uint16_t port, int timeoutMs) {
    if (!open_) return false;
    std::uint32_t address = resolveHost(host);
    if (address == ADDRESS_NONE) return false;
    sockaddr_in target = makeAddress(address, port);

    bool connected = false;
    if (timeoutMs < 0) {
        int result;
        do {
            result = ::connect(handle_, reinterpret_cast<sockaddr*>(&target), sizeof target);
        } while (result != 0 && errno == EINTR);
        connected = result == 0;
        if (!connected) lastError_ = errno;
    } else {
        int flags = ::fcntl(handle_, F_GETFL);
        ::fcntl(handle_, F_SETFL, flags | O_NONBLOCK);
        int result = ::connect(handle_, reinterpret_cast<sockaddr*>(&target), sizeof target);
        if (result == 0) {
            connected = true;
        } else if (errno == EINPROGRESS && waitFor(handle_, POLLOUT, timeoutMs)) {
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(handle_, SOL_SOCKET, SO_ERROR, &error, &length);
            connected = error == 0;
            lastError_ = error;
        } else {
            lastError_ = errno == EINPROGRESS ? ETIMEDOUT : errno;
        }
        if (flags >= 0) ::fcntl(handle_, F_SETFL, flags);
    }
    if (connected) return true;

    // A socket whose connect failed cannot be connected again on this
    // platform; when this object is its only holder, give it a fresh one so
    // that the next attempt (the next host of a list) starts clean.
    if (holdsRef_ && *refCount_ == 1) {
        Handle fresh = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fresh != INVALID_HANDLE) {
            ::close(handle_);
            handle_ = fresh;
        }
    }
    return false;
}

bool TcpSocket::startConnect(std::uint32_t address, std::uint16_t port) {
    if (!open_) return false;
    if (!setNonBlocking(true)) {
        lastError_ = errno;
        return false;
    }
    sockaddr_in target = makeAddress(address, port);
    if (::connect(handle_, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) return true;
    // EINTR leaves the connect going on, as EINPROGRESS does.
    if (errno == EINPROGRESS || errno == EINTR) return true;
    lastError_ = errno;
    return false;
}

int TcpSocket::connectError() {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(handle_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    lastError_ = error;
    return error;
}

int TcpSocket::sendString(std::string_view text) {
    return sendBytes(text.data(), static_cast<int>(text.size()));
}

int TcpSocket::sendBytes(const void* data, int length) {
    // MSG_NOSIGNAL: a client that vanished must not take the process with it.
    ssize_t sent = ::send(handle_, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    if (sent < 0) lastError_ = errno;
    return static_cast<int>(sent);
}

int TcpSocket::sendByte(unsigned value) {
    unsigned char byte = static_cast<unsigned char>(value & 0xFF);
    return sendBytes(&byte, 1);
}

int TcpSocket::sendInt32(std::uint32_t raw) {
    return sendBytes(&raw, 4);
}

int TcpSocket::receive(void* buffer, int length) {
    ssize_t received = ::recv(handle_, buffer, static_cast<std::size_t>(length), 0);
    if (received < 0) lastError_ = errno;
    return static_cast<int>(received);
}

bool TcpSocket::isReadable() const {
    if (handle_ == INVALID_HANDLE) return false;
    pollfd entry{handle_, POLLIN, 0};
    int ready = ::poll(&entry, 1, 0);
    return ready > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

std::size_t TcpSocket::peek(void* buffer, std::size_t length) const {
    if (handle_ == INVALID_HANDLE || length == 0) return 0;
    ssize_t got = ::recv(handle_, buffer, length, MSG_PEEK | MSG_DONTWAIT);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

void TcpSocket::release() {
    if (!holdsRef_) return;
    holdsRef_ = false;
    if (--*refCount_ > 0) return;
    ::close(handle_);
    handle_ = INVALID_HANDLE;
    delete refCount_;
    refCount_ = nullptr;
    open_ = false;
}

int TcpSocket::shareCount() const {
    return holdsRef_ ? *refCount_ : 0;
}

bool TcpSocket::setNonBlocking(bool on) {
    int flags = ::fcntl(handle_, F_GETFL);
    if (flags < 0) return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(handle_, F_SETFL, flags) == 0;
}

IoResult TcpSocket::sendSome(const void* data, std::size_t length) {
    ssize_t sent = ::send(handle_, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) return {0, errno};
    return {static_cast<std::size_t>(sent), 0};
}

IoResult TcpSocket::receiveSome(void* buffer, std::size_t length) {
    ssize_t received = ::recv(handle_, buffer, length, MSG_DONTWAIT);
    if (received < 0) return {0, errno};
    return {static_cast<std::size_t>(received), 0};
}

bool TcpSocket::enableReceiveStamps() {
    int on = 1;
    return ::setsockopt(handle_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0;
}

IoResult TcpSocket::receiveStamped(void* buffer, std::size_t length, std::int64_t* stamp) {
    iovec data{buffer, length};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received = ::recvmsg(handle_, &message, MSG_DONTWAIT);
    if (received < 0) return {0, errno};
    for (cmsghdr* part = CMSG_FIRSTHDR(&message); part != nullptr;
         part = CMSG_NXTHDR(&message, part)) {
        if (part->cmsg_level != SOL_SOCKET || part->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec when;
        std::memcpy(&when, CMSG_DATA(part), sizeof when);
        *stamp = std::int64_t{when.tv_sec} * 1'000'000'000 + when.tv_nsec;
    }
    return {static_cast<std::size_t>(received), 0};
}

IoResult TcpSocket::sendFile(int fileHandle, std::int64_t* offset, std::size_t count) {
    off_t position = static_cast<off_t>(*offset);
    ssize_t sent = ::sendfile(handle_, fileHandle, &position, count);
    if (sent < 0) return {0, errno};
    *offset = position;
    return {static_cast<std::size_t>(sent), 0};
}

SplicePipe::~SplicePipe() {
    if (readEnd_ >= 0) ::close(readEnd_);
    if (writeEnd_ >= 0) ::close(writeEnd_);
}

bool SplicePipe::open(std::size_t capacity) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    readEnd_ = ends[0];
    writeEnd_ = ends[1];
    ::fcntl(writeEnd_, F_SETPIPE_SZ, static_cast<int>(capacity));
    int granted = ::fcntl(writeEnd_, F_GETPIPE_SZ);
    if (granted < 0 || static_cast<std::size_t>(granted) < capacity) {
        ::close(readEnd_);
        ::close(writeEnd_);
        readEnd_ = writeEnd_ = -1;
        return false;
    }
    capacity_ = static_cast<std::size_t>(granted);
    return true;
}

IoResult TcpSocket::receiveIntoFile(SplicePipe& pipe, int fileHandle, std::size_t length,
                                    bool* written, int* writeError) {
    *written = true;
    // Non-blocking on both ends: the socket has only what has arrived, and
    // the pipe is empty, so the receive never waits.
    ssize_t got = ::splice(handle_, nullptr, pipe.writeEnd_, nullptr,
                           std::min(length, pipe.capacity_), SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (got < 0) return {0, errno};
    auto left = static_cast<std::size_t>(got);
    while (left > 0) {
        ssize_t put = ::splice(pipe.readEnd_, nullptr, fileHandle, nullptr, left, SPLICE_F_MOVE);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (writeError != nullptr) *writeError = put < 0 ? errno : EIO;
            break;
        }
        left -= static_cast<std::size_t>(put);
    }
    if (left > 0) {
        // The file refused them: empty the pipe, the bytes are dropped.
        *written = false;
        char sink[4096];
        while (left > 0) {
            ssize_t drained = ::read(pipe.readEnd_, sink, std::min(left, sizeof sink));
            if (drained < 0 && errno == EINTR) continue;
            if (drained <= 0) break;
            left -= static_cast<std::size_t>(drained);
        }
    }
    return {static_cast<std::size_t>(got), 0};
}

bool TcpSocket::peerClosed() {
    char probe;
    // Peek, don't read: whatever the client sent must still be there afterwards.
    ssize_t got = ::recv(handle_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got == 0) return true;
    if (got < 0) return !(errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    return false;
}

bool TcpSocket::peerFinished() {
    if (handle_ == INVALID_HANDLE) return true;
    pollfd entry{handle_, POLLRDHUP, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool TcpSocket::peerFailed() {
    if (handle_ == INVALID_HANDLE) return true;
    pollfd entry{handle_, 0, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR)) != 0;
}

void TcpSocket::shutdownWrite() {
    ::shutdown(handle_, SHUT_WR);
}

void TcpSocket::discardInput() {
    char sink[4096];
    for (int round = 0; round < 64; ++round) {
        ssize_t got = ::recv(handle_, sink, sizeof sink, MSG_DONTWAIT);
        if (got <= 0) return;
    }
}

bool TcpSocket::waitReadable(int timeoutMs) {
    return waitFor(handle_, POLLIN, timeoutMs);
}

bool TcpSocket::waitWritable(int timeoutMs) {
    return waitFor(handle_, POLLOUT, timeoutMs);
}

void TcpSocket::setNoDelay(bool on) {
    int value = on ? 1 : 0;
    ::setsockopt(handle_, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
}

void TcpSocket::setBufferSizes(int sendBytes, int receiveBytes) {
    if (sendBytes > 0) ::setsockopt(handle_, SOL_SOCKET, SO_SNDBUF, &sendBytes, sizeof sendBytes);
    if (receiveBytes > 0)
        ::setsockopt(handle_, SOL_SOCKET, SO_RCVBUF, &receiveBytes, sizeof receiveBytes);
}

std::optional<std::uint32_t> TcpSocket::roundTripMicros() const {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(handle_, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_rttvar))
        return std::nullopt;
    return info.tcpi_rtt;
}

std::optional<std::uint32_t> TcpSocket::peerAddress() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(handle_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET)
        return std::nullopt;
    return address.sin_addr.s_addr;
}

std::optional<std::uint32_t> TcpSocket::localAddress() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET)
        return std::nullopt;
    return address.sin_addr.s_addr;
}

std::optional<std::uint16_t> TcpSocket::localPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET)
        return std::nullopt;
    return ntohs(address.sin_port);
}

std::string TcpSocket::dottedAddress(std::uint32_t networkOrder) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr address{};
    address.s_addr = networkOrder;
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

}  // namespace vextora
