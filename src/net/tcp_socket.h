// TcpSocket: the one type through which the programs touch the network.
//
// It wraps one IPv4 TCP socket handle together with a counter that every copy
// of the object shares, so a TcpSocket can be passed and stored by value. Each
// copy made from an object that holds a count holds a count too; the copy that
// gives back the last count closes the handle. The counter is a plain integer:
// sockets are used from one thread only.
//
// The basic operations keep the classic blocking shape (one platform call,
// its result returned as it is). The server also needs non-blocking transfers,
// readiness tests, half-closes and file sends; those are here as well, so that
// no other code calls socket, poll, send or recv.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vextora {

// Outcome of a non-blocking send or receive. `bytes` moved; `error` is 0 or
// the errno of the call. A receive of 0 bytes with error 0 is the peer's close.
struct IoResult {
    std::size_t bytes = 0;
    int error = 0;

    bool wouldBlock() const;  // EAGAIN or EINTR: nothing this time, try later
    bool closed() const { return bytes == 0 && error == 0; }
};

// A kernel pipe through which received bytes go from a socket into a file
// without passing through the process (see TcpSocket::receiveIntoFile). It
// holds at most capacity() bytes, and is empty between calls.
class SplicePipe {
public:
    SplicePipe() = default;
    ~SplicePipe();
    SplicePipe(const SplicePipe&) = delete;
    SplicePipe& operator=(const SplicePipe&) = delete;

    // Creates the pipe with room for at least `capacity` bytes. False, and no
    // pipe, when the system gives less room (a user over its pipe allowance
    // gets a single page) or no pipe at all (out of descriptors).
    bool open(std::size_t capacity);
    bool isOpen() const { return readEnd_ >= 0; }
    std::size_t capacity() const { return capacity_; }

private:
    friend class TcpSocket;
    int readEnd_ = -1;
    int writeEnd_ = -1;
    std::size_t capacity_ = 0;
};

class TcpSocket {
public:
    using Handle = int;
    static constexpr Handle INVALID_HANDLE = -1;
    static constexpr std::uint32_t ADDRESS_NONE = 0xFFFFFFFF;  // also 255.255.255.255

    // With createNow, a socket is created at once; if that fails the object is
    // marked open but holds no handle, and every operation fails in the platform.
    explicit TcpSocket(bool createNow = false);
    // Adopts a handle (from an accept); INVALID_HANDLE gives an empty object.
    explicit TcpSocket(Handle handle);
    TcpSocket(const TcpSocket& other);
    TcpSocket& operator=(const TcpSocket& other);  // releases the old handle first
    ~TcpSocket();

    // Creates a socket; false when this object is already open or creation fails.
    bool create();
    // Binds the wildcard address and port (SO_REUSEADDR set, so a restarted
    // server binds at once) and listens. False with lastError() on failure.
    bool bindAndListen(std::uint16_t port, int backlog);
    // Takes one pending connection. Empty (isOpen() false) when the accept
    // fails; lastError() then tells why. With nonBlocking, the new socket
    // never blocks. Blocks when nothing is pending, so ask first.
    TcpSocket acceptConnection(bool nonBlocking = false);
    // Binds the local end to a dotted IPv4 address (port 0: any), before a
    // connect, so the connection comes from that address.
    bool bindLocal(const char* address, std::uint16_t port = 0);
    // Resolves host (dotted text first, then a name lookup) and connects.
    // False without any platform call when the object is not open. A failed
    // attempt leaves the object open for another attempt. timeoutMs < 0
    // waits as long as the system does.
    bool connectTo(const char* host, std::uint16_t port, int timeoutMs = -1);
    // The IPv4 address in network order, or ADDRESS_NONE. "255.255.255.255"
    // is looked up as a name, since its value is the failure marker.
    static std::uint32_t resolveHost(const char* host);
    // The address that host names in dotted form, without any lookup;
    // nothing when it is not dotted text (or is "255.255.255.255").
    static std::optional<std::uint32_t> parseDotted(const char* host);
    // Starts a connect to an address in network order without waiting for
    // it, and leaves the socket non-blocking. True when the connect is under
    // way or done: the socket then becomes writable when it has ended, and
    // connectError() tells how. False with lastError() when it failed at once.
    bool startConnect(std::uint32_t address, std::uint16_t port);
    // How a started connect ended, once the socket is writable: 0 for
    // connected, else the reason it failed.
    int connectError();

    // One send each, results as the platform gives them (bytes sent or -1).
    int sendString(std::string_view text);
    int sendBytes(const void* data, int length);
    int sendByte(unsigned value);      // the low 8 bits
    int sendInt32(std::uint32_t raw);  // the 4 bytes as they lie in memory
    // One receive: bytes received, 0 for the peer's close, -1 on failure.
    int receive(void* buffer, int length);
    // Zero-timeout readiness test: data, a close or an error is waiting.
    bool isReadable() const;
    // Copies up to `length` waiting bytes without taking them; 0 when none
    // wait (or the peer closed).
    std::size_t peek(void* buffer, std::size_t length) const;
    // Gives back this copy's count; the last count closes the handle.
    void release();

    Handle nativeHandle() const { return handle_; }
    bool isOpen() const { return open_; }
    bool holdsCount() const { return holdsRef_; }
    int shareCount() const;  // copies holding the handle; 0 when none
    int lastError() const { return lastError_; }

    // Non-blocking operations of the server (the socket must be non-blocking).
    bool setNonBlocking(bool on);
    IoResult sendSome(const void* data, std::size_t length);
    IoResult receiveSome(void* buffer, std::size_t length);
    // Asks the kernel to stamp what arrives (see receiveStamped).
    bool enableReceiveStamps();
    // As receiveSome; *stamp receives the wall-clock time, in nanoseconds, at
    // which the kernel received the bytes, or is left alone when it gave none.
    IoResult receiveStamped(void* buffer, std::size_t length, std::int64_t* stamp);
    // Sends up to count bytes of an open file from *offset, advancing it.
    IoResult sendFile(int fileHandle, std::int64_t* offset, std::size_t count);
    // Receives up to `length` bytes (at most the pipe's capacity) and writes
    // them to the file at its position, through the pipe: the result is that
    // of the receive. When the file does not take them all, *written is set
    // false (and *writeError, if given, to the file's errno) and the rest is
    // dropped, so the pipe is empty again either way.
    IoResult receiveIntoFile(SplicePipe& pipe, int fileHandle, std::size_t length, bool* written,
                             int* writeError = nullptr);
    // True when the peer has closed or the connection failed, without taking
    // any byte out of the connection.
    bool peerClosed();
    // True when the peer has finished sending (or the connection failed),
    // even while bytes it sent before are still waiting to be read.
    bool peerFinished();
    // True when the connection has failed or was reset by the peer: nothing
    // can be sent or received on it any more. (A peer that only finished
    // sending is not failed.)
    bool peerFailed();
    // Sends FIN after what is queued; reading stays possible.
    void shutdownWrite();
    // Reads and drops what has arrived, without waiting, so that a close
    // that follows sends FIN rather than a reset.
    void discardInput();
    // Waits up to timeoutMs (< 0: no limit) for readability or writability.
    bool waitReadable(int timeoutMs);
    bool waitWritable(int timeoutMs);
    void setNoDelay(bool on);
    void setBufferSizes(int sendBytes, int receiveBytes);
    // The kernel's smoothed estimate of the connection's round trip, in
    // microseconds; on a connection just accepted it is the handshake's.
    std::optional<std::uint32_t> roundTripMicros() const;

    // Addresses in network order, or nullopt when the platform cannot say.
    std::optional<std::uint32_t> peerAddress() const;
    std::optional<std::uint32_t> localAddress() const;
    std::optional<std::uint16_t> localPort() const;

    static std::string dottedAddress(std::uint32_t networkOrder);

private:
    void adoptNew(Handle handle);

    bool open_ = false;
    int* refCount_ = nullptr;
    bool holdsRef_ = false;
    Handle handle_ = INVALID_HANDLE;
    int lastError_ = 0;
};

}  // namespace vextora
