#include "cli/cli_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <vector>

namespace vextora::test {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

void closeHandle(int& handle) {
    if (handle >= 0) ::close(handle);
    handle = -1;
}

}  // namespace

std::string CliProcess::binary() {
    return VEXTORA_CLI_BINARY;
}

CliProcess::~CliProcess() {
    closeHandle(input_);
    closeHandle(output_);
    closeHandle(error_);
    if (pid_ > 0 && status_ == -1) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool CliProcess::start(const std::vector<std::string>& args, const CliOptions& options,
                       Streams streams) {
    // A program that ended early must not end the test when it is written to.
    ::signal(SIGPIPE, SIG_IGN);
    // Everything the child needs is built before the fork: the test process
    // may run a server thread, and the child may only exec.
    std::vector<std::string> argStore = options.wrapper;
    argStore.push_back(binary());
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::string path = argStore[0];
    std::vector<char*> argv;
    for (auto& arg : argStore) argv.push_back(arg.data());
    argv.push_back(nullptr);

    std::map<std::string, std::string> variables = {
        {"PATH", "/usr/bin:/bin"},
        {"HOME", options.directory},
        {"LANG", "C"},
        {"TERM", streams == Streams::Terminal ? "xterm" : "dumb"},
    };
    for (const auto& [name, value] : options.variables) variables[name] = value;
    std::vector<std::string> envStore;
    for (const auto& [name, value] : variables) envStore.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : envStore) envp.push_back(entry.data());
    envp.push_back(nullptr);

    if (streams == Streams::Terminal) {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 100;
        int terminal = -1;
        pid_ = ::forkpty(&terminal, nullptr, nullptr, &size);
        if (pid_ == 0) {
            if (::chdir(options.directory.c_str()) != 0) ::_exit(127);
            ::execve(path.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        if (pid_ < 0) return false;
        input_ = terminal;
        output_ = ::dup(terminal);
        ::fcntl(output_, F_SETFL, O_NONBLOCK);
        return true;
    }

    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return false;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setsid();  // no controlling terminal: no prompt can wait on one
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (::chdir(options.directory.c_str()) != 0) ::_exit(127);
        ::execve(path.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    input_ = in[1];
    output_ = out[0];
    error_ = err[0];
    ::fcntl(output_, F_SETFL, O_NONBLOCK);
    ::fcntl(error_, F_SETFL, O_NONBLOCK);
    return pid_ > 0;
}

bool CliProcess::write(std::string_view text) {
    while (!text.empty()) {
        ssize_t written = ::write(input_, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

void CliProcess::closeInput() {
    // On a terminal the input and output share one handle; Ctrl+D ends input.
    if (error_ < 0) {
        write("\x04");
        return;
    }
    closeHandle(input_);
}

void CliProcess::pump(int timeoutMs) {
    pollfd entries[2];
    int count = 0;
    if (output_ >= 0) entries[count++] = {output_, POLLIN, 0};
    if (error_ >= 0) entries[count++] = {error_, POLLIN, 0};
    if (count == 0) return;
    if (::poll(entries, static_cast<nfds_t>(count), timeoutMs) <= 0) return;
    for (int i = 0; i < count; ++i) {
        if (entries[i].revents == 0) continue;
        char buffer[65536];
        ssize_t got = ::read(entries[i].fd, buffer, sizeof buffer);
        std::string& target = entries[i].fd == output_ ? out_ : err_;
        if (got > 0) {
            target.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            // The end (a terminal reports EIO once the program has gone).
            closeHandle(entries[i].fd == output_ ? output_ : error_);
        }
    }
}

bool CliProcess::waitFor(std::string_view text, int timeoutMs, bool inError, std::size_t from) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string& stream = inError ? err_ : out_;
    while (stream.size() < from || stream.find(text, from) == std::string::npos) {
        if (msLeft(deadline) == 0) return false;
        if (output_ < 0 && error_ < 0) return false;
        pump(std::min(msLeft(deadline), 100));
    }
    return true;
}

void CliProcess::signal(int number) {
    if (pid_ > 0 && status_ == -1) ::kill(pid_, number);
}

int CliProcess::wait(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (status_ == -1) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (msLeft(deadline) == 0) return -1;
        pump(std::min(msLeft(deadline), 20));
    }
    // What the program wrote before it ended is still in the pipes.
    for (int round = 0; round < 1000 && (output_ >= 0 || error_ >= 0); ++round) pump(50);
    return status_;
}

CliResult runCli(const std::vector<std::string>& args, const CliOptions& options) {
    CliProcess process;
    CliResult result;
    if (!process.start(args, options)) return result;
    process.write(options.input);
    process.closeInput();
    result.code = process.wait(options.timeoutMs);
    result.out = process.out();
    result.err = process.err();
    return result;
}

void writeRandomFile(const std::string& path, std::uint64_t bytes, std::uint64_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    while (bytes > 0) {
        for (auto& word : block) {
            // xorshift64*: fast, and no two blocks alike.
            state ^= state >> 12;
            state ^= state << 25;
            state ^= state >> 27;
            word = state * 0x2545F4914F6CDD1Dull;
        }
        std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(bytes, block.size() * 8));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(chunk));
        bytes -= chunk;
    }
}

}  // namespace vextora::test
