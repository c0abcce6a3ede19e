#include "platform/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace vextora {

namespace {

std::atomic<bool> interruptRaised{false};
int scopeDepth = 0;
struct sigaction previousAction {};

extern "C" void onInterrupt(int) {
    interruptRaised.store(true);
}

int handleOf(StandardStream stream) {
    return static_cast<int>(stream);
}

bool writeAll(int handle, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t written = ::write(handle, data, length);
        if (written < 0) {
            if (errno == EINTR && !interruptRaised.load()) continue;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

bool isTerminal(StandardStream stream) {
    return ::isatty(handleOf(stream)) == 1;
}

int terminalColumns(StandardStream stream, int fallback) {
    winsize size{};
    if (::ioctl(handleOf(stream), TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return fallback;
    return size.ws_col;
}

SecretResult readSecret(std::string_view prompt, std::string& secret) {
    secret.clear();
    int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0) return SecretResult::NoTerminal;
    termios saved{};
    if (::tcgetattr(tty, &saved) != 0) {
        ::close(tty);
        return SecretResult::NoTerminal;
    }
    // A Ctrl+C must come back here, so the echo is turned on again.
    InterruptScope scope;
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(tty, TCSAFLUSH, &quiet);
    writeAll(tty, prompt.data(), prompt.size());

    SecretResult result = SecretResult::Read;
    for (;;) {
        char c;
        ssize_t got = ::read(tty, &c, 1);
        if (got == 1) {
            if (c == '\n') break;
            secret.push_back(c);
            continue;
        }
        if (got < 0 && errno == EINTR && !interruptRaised.load()) continue;
        result = interruptRaised.load() ? SecretResult::Interrupted : SecretResult::Failed;
        break;
    }
    if (!secret.empty() && secret.back() == '\r') secret.pop_back();
    ::tcsetattr(tty, TCSAFLUSH, &saved);
    if (result == SecretResult::Interrupted) writeAll(tty, "\n", 1);
    ::close(tty);
    if (result != SecretResult::Read) secret.clear();
    return result;
}

InterruptScope::InterruptScope() {
    if (scopeDepth++ > 0) return;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked read returns, and the flag is seen
    ::sigaction(SIGINT, &action, &previousAction);
}

InterruptScope::~InterruptScope() {
    if (--scopeDepth > 0) return;
    ::sigaction(SIGINT, &previousAction, nullptr);
}

const std::atomic<bool>& interruptFlag() {
    return interruptRaised;
}

bool interrupted() {
    return interruptRaised.load();
}

void clearInterrupt() {
    interruptRaised.store(false);
}

bool waitForInput() {
    // SIGINT is blocked between the look at the flag and the wait, and ppoll
    // unblocks it only while it waits: a signal in between ends the wait.
    sigset_t interrupt, previous;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    ::sigprocmask(SIG_BLOCK, &interrupt, &previous);
    bool ready = false;
    while (!interruptRaised.load()) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        int result = ::ppoll(&input, 1, nullptr, &previous);
        if (result > 0) {
            ready = true;
            break;
        }
        if (result < 0 && errno != EINTR) {
            ready = true;  // the read that follows reports the failure
            break;
        }
    }
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    return ready;
}

long readStandardInput(void* buffer, std::size_t capacity) {
    for (;;) {
        ssize_t got = ::read(STDIN_FILENO, buffer, capacity);
        if (got >= 0) return static_cast<long>(got);
        if (errno == EINTR && !interruptRaised.load()) continue;
        return -1;
    }
}

bool writeStandardOutput(const void* data, std::size_t length) {
    return writeAll(STDOUT_FILENO, static_cast<const char*>(data), length);
}

InputLines::Result InputLines::next(std::string& line) {
    for (;;) {
        auto end = pending_.find('\n');
        if (end != std::string::npos) {
            line.assign(pending_, 0, end);
            pending_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return Line;
        }
        if (ended_) {
            if (pending_.empty()) return End;
            line = std::move(pending_);
            pending_.clear();
            return Line;
        }
        char buffer[4096];
        ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got > 0) {
            pending_.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            ended_ = true;
        } else if (errno != EINTR) {
            return Failed;
        } else if (interruptRaised.load()) {
            return Interrupted;
        }
    }
}

}  // namespace vextora
