// The real vextora program, run by a test: with pipes for its standard
// streams, or on a pseudo-terminal of its own. Its environment is a small
// fixed one (the test's own is not inherited), and with pipes it has no
// controlling terminal, so it can never stop to ask for a password.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vextora::test {

struct CliOptions {
    std::string input;                             // all of standard input (pipes only)
    std::map<std::string, std::string> variables;  // added to the environment
    std::string directory = ".";                   // working directory, also HOME
    int timeoutMs = 30000;
    // A program (absolute path first) that the program runs under: it is
    // given the program's path and arguments after its own, and must end by
    // running them. For a mount that only the program may see.
    std::vector<std::string> wrapper;
};

struct CliResult {
    std::string out;
    std::string err;
    int code = -1;  // exit code; 128 + signal when ended by one; -1 when it timed out
};

class CliProcess {
public:
    enum class Streams { Pipes, Terminal };

    CliProcess() = default;
    ~CliProcess();  // SIGKILL if still running
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    // Starts `vextora args...`. On a terminal, stdout and stderr are one
    // stream, read as out().
    bool start(const std::vector<std::string>& args, const CliOptions& options,
               Streams streams = Streams::Pipes);
    bool write(std::string_view text);
    void closeInput();
    // Reads output until `text` has appeared in out() (or in err() with
    // inError) at or after offset `from`, up to timeoutMs. True when it has.
    bool waitFor(std::string_view text, int timeoutMs = 10000, bool inError = false,
                 std::size_t from = 0);
    void signal(int number);
    // Reads output until the program ends, up to timeoutMs; its code as in
    // CliResult.
    int wait(int timeoutMs = 30000);

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    pid_t pid() const { return pid_; }

    static std::string binary();

private:
    // Moves what has arrived into out_ and err_, waiting at most timeoutMs.
    void pump(int timeoutMs);

    pid_t pid_ = -1;
    int status_ = -1;
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
    std::string out_;
    std::string err_;
};

// Runs the program to its end with all its input given at once.
CliResult runCli(const std::vector<std::string>& args, const CliOptions& options = {});

// A file of `bytes` pseudo-random bytes (the same for the same seed).
void writeRandomFile(const std::string& path, std::uint64_t bytes, std::uint64_t seed = 1);

}  // namespace vextora::test
