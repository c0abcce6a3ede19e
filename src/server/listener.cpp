#include "server/listener.h"

#include <cerrno>

#include "net/poller.h"
#include "platform/process.h"
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

TcpSocket Listener::acceptOne(bool unreported) {
    foundNothing_ = false;
    if (paused_) {
        if (elapsedMs(pausedAt_, clock_.now()) < BACKOFF_MS) return TcpSocket();
        paused_ = false;
        poller_.watch(socket_.nativeHandle(), READY_READ, &ready_);
    }
    if (!unreported && !(ready_ & READY_READ)) return TcpSocket();
    ready_ = 0;
    TcpSocket connection = socket_.acceptConnection(true);
    int error = connection.lastError();
    foundNothing_ = !connection.isOpen() && (error == EAGAIN || error == EWOULDBLOCK);
    if (connection.isOpen() && keepFree_ > 0 && descriptorsAbove(connection) < keepFree_) {
        // Serving one more client now would leave the connected ones unable
        // to open a file or take a transfer connection.
        connection.release();
        pause();
    } else if (!connection.isOpen() &&
               (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM)) {
        pause();
    }
    return connection;
}

long Listener::descriptorsAbove(const TcpSocket& connection) {
    long limit = descriptorLimit();
    if (limit < 0 || connection.nativeHandle() < 0) return limit;
    return limit - 1 - connection.nativeHandle();
}

void Listener::pause() {
    paused_ = true;
    pausedAt_ = clock_.now();
    poller_.watch(socket_.nativeHandle(), 0, &ready_);
}

}  // namespace vextora
