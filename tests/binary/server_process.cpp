#include "binary/server_process.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "net/tcp_socket.h"

namespace vextora::test {

std::string ServerProcess::binary() {
    return VEXTORA_SERVER_BINARY;
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0 && status_ == -1) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool portAccepts(int port, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        TcpSocket probe(true);
        if (probe.connectTo("127.0.0.1", static_cast<std::uint16_t>(port), 200)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

bool ServerProcess::start(const std::string& folder, const std::vector<std::string>& args,
                          bool waitReady) {
    stderrPath_ = folder + "/.stderr";
    return launch(folder, args, -1, {}, waitReady);
}

bool ServerProcess::startWithStderr(const std::string& folder, const std::vector<std::string>& args,
                                    int stderrHandle, const std::vector<std::string>& environment,
                                    bool waitReady) {
    return launch(folder, args, stderrHandle, environment, waitReady);
}

bool ServerProcess::launch(const std::string& folder, const std::vector<std::string>& args,
                           int stderrHandle, const std::vector<std::string>& environment,
                           bool waitReady) {
    std::vector<std::string> variables = environment;  // putenv keeps what it is given
    pid_ = ::fork();
    if (pid_ == 0) {
        if (::chdir(folder.c_str()) != 0) ::_exit(127);
        int err = stderrHandle >= 0
                      ? stderrHandle
                      : ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(err, 2);
        for (std::string& variable : variables) ::putenv(variable.data());
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        // The user nobody; its group is the same number on Debian.
        constexpr uid_t NOBODY = 65534;
        if (unprivileged_ && ::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0))
            ::_exit(126);
        std::vector<char*> argv;
        std::string path = binary();
        argv.push_back(path.data());
        std::vector<std::string> copies = args;
        for (auto& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    if (pid_ < 0) return false;
    return !waitReady || portAccepts(23322, 10000);
}

void ServerProcess::signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
}

int ServerProcess::wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (status_ == -1) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_ >= 128 ? -1 : status_;
}

std::string ServerProcess::stderrText() const {
    if (stderrPath_.empty()) return {};
    std::ifstream in(stderrPath_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace vextora::test
