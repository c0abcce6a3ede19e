#include "net/poller.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace vextora {

namespace {

std::uint32_t toEpoll(std::uint32_t interest) {
    // The peer's close of its sending side is asked for only when nothing
    // else is: it stays reported for as long as the connection lives, so a
    // client that half-closes and then stops reading would otherwise wake
    // every wait. A reader sees that close as the end of its data anyway, and
    // a failure is reported whatever is asked.
    if (interest == 0) return EPOLLRDHUP;
    std::uint32_t events = 0;
    if (interest & READY_READ) events |= EPOLLIN;
    if (interest & READY_WRITE) events |= EPOLLOUT;
    return events;
}

}  // namespace

Poller::Poller()
    : handle_(::epoll_create1(EPOLL_CLOEXEC)), events_(sizeof(epoll_event) * MOST_REPORTED) {}

Poller::~Poller() {
    if (handle_ >= 0) ::close(handle_);
}

bool Poller::watch(int handle, std::uint32_t interest, std::uint32_t* readiness,
                   ReadyListener* listener) {
    if (handle < 0) return false;
    epoll_event event{};
    event.events = toEpoll(interest);
    // The handle, not the word: wait() finds the word and the listener in
    // the table, which a change of listener updates without a system call.
    event.data.fd = handle;
    auto index = static_cast<std::size_t>(handle);
    if (index >= registered_.size()) registered_.resize(index + 1);
    bool known = registered_[index].readiness != nullptr;
    if (::epoll_ctl(handle_, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, handle, &event) != 0) {
        // The handle was closed and reused behind our back: start afresh.
        if (!(known && errno == ENOENT) || ::epoll_ctl(handle_, EPOLL_CTL_ADD, handle, &event) != 0)
            return false;
    }
    registered_[index] = {readiness, listener};
    return true;
}

void Poller::setListener(int handle, ReadyListener* listener) {
    auto index = static_cast<std::size_t>(handle);
    if (handle >= 0 && index < registered_.size() && registered_[index].readiness != nullptr)
        registered_[index].listener = listener;
}

void Poller::unwatch(int handle) {
    if (handle < 0) return;
    auto index = static_cast<std::size_t>(handle);
    if (index < registered_.size() && registered_[index].readiness != nullptr) {
        ::epoll_ctl(handle_, EPOLL_CTL_DEL, handle, nullptr);
        registered_[index] = {};
    }
}

int Poller::wait(int timeoutMs) {
    auto* events = reinterpret_cast<epoll_event*>(events_.data());
    int count = ::epoll_wait(handle_, events, MOST_REPORTED, timeoutMs);
    if (count <= 0) return 0;
    for (int i = 0; i < count; ++i) {
        std::uint32_t raw = events[i].events;
        std::uint32_t ready = 0;
        if (raw & EPOLLIN) ready |= READY_READ;
        if (raw & EPOLLOUT) ready |= READY_WRITE;
        if (raw & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) ready |= READY_HANGUP;
        auto index = static_cast<std::size_t>(events[i].data.fd);
        if (index >= registered_.size() || registered_[index].readiness == nullptr) continue;
        *registered_[index].readiness |= ready;
        if (registered_[index].listener != nullptr) registered_[index].listener->onReady();
    }
    return count;
}

}  // namespace vextora
