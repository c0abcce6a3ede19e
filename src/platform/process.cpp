#include "platform/process.h"

#include <dirent.h>
#include <malloc.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>

namespace vextora {

namespace {

std::atomic<bool>* stopFlag = nullptr;
int stopWakeHandle = -1;
volatile sig_atomic_t lastStopSignal = 0;

extern "C" void onStopSignal(int number) {
    lastStopSignal = number;
    if (stopFlag != nullptr) stopFlag->store(true);
    if (stopWakeHandle >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = ::write(stopWakeHandle, &one, sizeof one);
    }
}

}  // namespace

WakeEvent::WakeEvent() : handle_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeEvent::~WakeEvent() {
    if (handle_ >= 0) ::close(handle_);
}

void WakeEvent::notify() const {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(handle_, &one, sizeof one);
}

void WakeEvent::drain() const {
    std::uint64_t value;
    [[maybe_unused]] ssize_t ignored = ::read(handle_, &value, sizeof value);
}

void routeStopSignals(std::atomic<bool>& flag, const WakeEvent& wake) {
    stopFlag = &flag;
    stopWakeHandle = wake.handle();
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ignoreBrokenPipe();
}

const char* stopSignalName() {
    switch (lastStopSignal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
    }
    return nullptr;
}

void ignoreBrokenPipe() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

long raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return static_cast<long>(limit.rlim_cur);
}

void releaseFreeMemory() {
    // The allocator returns only the free top of its heap by itself; what
    // lies free below a block still in use stays resident until trimmed.
    ::malloc_trim(0);
}

void yieldProcessor() {
    ::sched_yield();
}

long descriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    return static_cast<long>(limit.rlim_cur);
}

int openDescriptorCount() {
    DIR* directory = ::opendir("/proc/self/fd");
    if (directory == nullptr) return -1;
    int count = 0;
    while (dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(directory);
    return count - 1;  // the directory's own handle
}

}  // namespace vextora
