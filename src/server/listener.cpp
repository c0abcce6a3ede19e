#include "server/listener.h"

#include <cerrno>

#include "net/poller.h"
#include "platform/tick_clock.h"

namespace vextora {

namespace {
// The socket library's "largest backlog the system allows".
constexpr int LARGEST_BACKLOG = 0x7FFFFFFF;
}  // namespace

bool Listener::open(std::uint16_t port) {
    if (!socket_.create() || !socket_.bindAndListen(port, LARGEST_BACKLOG) ||
        !socket_.setNonBlocking(true) ||
        !poller_.watch(socket_.nativeHandle(), READY_READ, &ready_)) {
        lastError_ = socket_.lastError() != 0 ? socket_.lastError() : errno;
        socket_.release();
        return false;
    }
    return true;
}

void Listener::close() {
    poller_.unwatch(socket_.nativeHandle());
    socket_.release();
}

TcpSocket Listener::acceptOne() {
    if (paused_) {
        if (elapsedMs(pausedAt_, clock_.now()) < BACKOFF_MS) return TcpSocket();
        paused_ = false;
        poller_.watch(socket_.nativeHandle(), READY_READ, &ready_);
    }
    if (!(ready_ & READY_READ)) return TcpSocket();
    ready_ = 0;
    TcpSocket connection = socket_.acceptConnection(true);
    int error = connection.lastError();
    if (!connection.isOpen() &&
        (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM)) {
        paused_ = true;
        pausedAt_ = clock_.now();
        poller_.watch(socket_.nativeHandle(), 0, &ready_);
    }
    return connection;
}

}  // namespace vextora
