#include "net/name_lookup.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace vextora {

namespace {

// Everything the thread uses, and it alone: it frees this when it ends.
struct Request {
    std::string host;
    NameLookup::Resolver resolve;
    int answerTo;
};

void* lookUp(void* argument) {
    std::unique_ptr<Request> request(static_cast<Request*>(argument));
    std::uint32_t address = request->resolve(request->host.c_str());
    // A lookup that was dropped finds the other end closed: the send fails
    // (MSG_NOSIGNAL: without a signal) and the thread simply ends.
    ssize_t sent;
    do {
        sent = ::send(request->answerTo, &address, sizeof address, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    ::close(request->answerTo);
    return nullptr;
}

}  // namespace

NameLookup::~NameLookup() {
    drop();
}

void NameLookup::drop() {
    if (handle_ != TcpSocket::INVALID_HANDLE) ::close(handle_);
    handle_ = TcpSocket::INVALID_HANDLE;
    answer_.reset();
}

bool NameLookup::start(const std::string& host, Resolver resolve) {
    drop();
    if (std::optional<std::uint32_t> dotted = TcpSocket::parseDotted(host.c_str())) {
        answer_ = *dotted;
        return true;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) {
        answer_ = TcpSocket::ADDRESS_NONE;
        return false;
    }
    auto* request = new Request{host, resolve, ends[1]};

    // The thread takes no signal: a stop signal must reach the loop's thread,
    // and the thread's lookup must not end early with EINTR.
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_t thread;
    int failed = pthread_create(&thread, &attributes, lookUp, request);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    pthread_attr_destroy(&attributes);
    if (failed != 0) {
        delete request;
        ::close(ends[0]);
        ::close(ends[1]);
        answer_ = TcpSocket::ADDRESS_NONE;
        return false;
    }
    handle_ = ends[0];
    return true;
}

std::optional<std::uint32_t> NameLookup::take() {
    if (answer_ || handle_ == TcpSocket::INVALID_HANDLE) return answer_;
    std::uint32_t address = TcpSocket::ADDRESS_NONE;
    ssize_t received = ::recv(handle_, &address, sizeof address, 0);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return std::nullopt;
    // The four bytes come in one piece or not at all; anything else means
    // the thread could not answer.
    answer_ = received == static_cast<ssize_t>(sizeof address) ? address : TcpSocket::ADDRESS_NONE;
    ::close(handle_);
    handle_ = TcpSocket::INVALID_HANDLE;
    return answer_;
}

}  // namespace vextora
