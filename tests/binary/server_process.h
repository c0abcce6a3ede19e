// The real server binary, started in a folder of its own on the fixed ports.
// Tests that use it hold the CTest resource lock "fixed_ports".
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vextora::test {

class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();  // SIGKILL if still running
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts `binary args...` in `folder`, stderr captured. With waitReady,
    // returns once port 23322 accepts connections (false if it never does).
    // Run by root, the server runs as the unprivileged user `nobody` when
    // asked (runUnprivileged), so that file permissions hold for it.
    bool start(const std::string& folder, const std::vector<std::string>& args = {"--headless"},
               bool waitReady = true);
    void runUnprivileged() { unprivileged_ = true; }
    // As start(), with standard error on `stderrHandle` (a copy of the
    // caller's descriptor) rather than a file, and `environment` ("NAME=value"
    // each) added to the program's.
    bool startWithStderr(const std::string& folder, const std::vector<std::string>& args,
                         int stderrHandle, const std::vector<std::string>& environment = {},
                         bool waitReady = true);
    void signal(int number);
    // Waits up to timeoutMs for the exit; its code, or -1 (still running or
    // ended by a signal).
    int wait(int timeoutMs = 5000);
    std::string stderrText() const;
    pid_t pid() const { return pid_; }

    static std::string binary();

private:
    bool launch(const std::string& folder, const std::vector<std::string>& args, int stderrHandle,
                const std::vector<std::string>& environment, bool waitReady);

    pid_t pid_ = -1;
    int status_ = -1;
    std::string stderrPath_;
    bool unprivileged_ = false;
};

// True when something accepts connections on 127.0.0.1:port within timeoutMs.
bool portAccepts(int port, int timeoutMs);

}  // namespace vextora::test
