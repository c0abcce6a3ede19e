#include "net/poller.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace vextora {

namespace {

constexpr int MAX_EVENTS = 1024;

std::uint32_t toEpoll(std::uint32_t interest) {
    std::uint32_t events = EPOLLRDHUP;
    if (interest & READY_READ) events |= EPOLLIN;
    if (interest & READY_WRITE) events |= EPOLLOUT;
    return events;
}

}  // namespace

Poller::Poller()
    : handle_(::epoll_create1(EPOLL_CLOEXEC)), events_(sizeof(epoll_event) * MAX_EVENTS) {}

Poller::~Poller() {
    if (handle_ >= 0) ::close(handle_);
}

bool Poller::watch(int handle, std::uint32_t interest, std::uint32_t* readiness) {
    if (handle < 0) return false;
    epoll_event event{};
    event.events = toEpoll(interest);
    event.data.ptr = readiness;
    auto index = static_cast<std::size_t>(handle);
    if (index >= registered_.size()) registered_.resize(index + 1, nullptr);
    bool known = registered_[index] != nullptr;
    if (::epoll_ctl(handle_, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, handle, &event) != 0) {
        // The handle was closed and reused behind our back: start afresh.
        if (!(known && errno == ENOENT) || ::epoll_ctl(handle_, EPOLL_CTL_ADD, handle, &event) != 0)
            return false;
    }
    registered_[index] = readiness;
    return true;
}

void Poller::unwatch(int handle) {
    if (handle < 0) return;
    auto index = static_cast<std::size_t>(handle);
    if (index < registered_.size() && registered_[index] != nullptr) {
        ::epoll_ctl(handle_, EPOLL_CTL_DEL, handle, nullptr);
        registered_[index] = nullptr;
    }
}

int Poller::wait(int timeoutMs) {
    auto* events = reinterpret_cast<epoll_event*>(events_.data());
    int count = ::epoll_wait(handle_, events, MAX_EVENTS, timeoutMs);
    if (count <= 0) return 0;
    for (int i = 0; i < count; ++i) {
        std::uint32_t raw = events[i].events;
        std::uint32_t ready = 0;
        if (raw & EPOLLIN) ready |= READY_READ;
        if (raw & EPOLLOUT) ready |= READY_WRITE;
        if (raw & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) ready |= READY_HANGUP;
        *static_cast<std::uint32_t*>(events[i].data.ptr) |= ready;
    }
    return count;
}

}  // namespace vextora
