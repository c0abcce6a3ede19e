// Session: the vextora commands, run over one connection to the server.
//
// The one-shot program makes a Session, runs one command with runOnce() and
// ends; the shell keeps one Session for all its commands. Every command
// returns its exit code (exit_codes.h) and has said why on the error stream
// when that code is not 0. Data goes to the output stream, confirmations too
// unless quiet; progress bars go to the error stream when it is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/commands.h"
#include "client/invocation.h"
#include "client/password_source.h"

namespace vextora::client {

// The program's streams and what they are.
struct Console {
    std::ostream& out;
    std::ostream& err;
    bool progress = false;        // the error stream is a terminal: show progress bars
    bool outputTerminal = false;  // the output stream is a terminal: names made printable
    int columns = 80;
    std::string errorPrefix = "vextora: ";
};

class Session {
public:
    // Settings and console must outlive the session. Connects nothing yet.
    Session(const Invocation& settings, const PasswordSource& passwords, Console& console);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // `vextora COMMAND ...`: connects, logs in as the command needs (with -u,
    // or as GUEST where any login does), runs it, and quits.
    int runOnce(const ParsedCommand& command);

    // Connects, if not connected yet.
    int connect();
    // Runs one command against the current login (the shell's way).
    int run(const ParsedCommand& command, Mode mode);
    // Logs in as `name` (logging out first when logged in).
    int login(const std::string& name);
    void logout();
    void quit();
    // False once the server has closed the connection (see Client).
    bool checkConnected();

    // The upper-case account name, "GUEST", or empty when logged out.
    const std::string& loggedInAs() const { return user_; }
    const Invocation& settings() const { return settings_; }

    // Prints `message` as an error and returns `code`.
    int fail(int code, const std::string& message);

private:
    int fromStatus(const Status& status, const std::string& context = {});
    void confirm(const std::string& message);
    void note(const std::string& message);
    // A name from the server as the output stream gets it: made printable on
    // a terminal, byte for byte for a script.
    std::string shown(std::string_view text) const;
    // Prints one shown line per entry; always succeeds.
    int printLines(const std::vector<std::string>& lines);
    int requireLogin(Access access, Mode mode);

    int registerAccount(const std::string& name);
    int listOwnFolder(bool longFormat);
    int listCatalog();
    int info(const std::string& name);
    int share(const std::string& name, bool shared);
    int rename(const std::string& from, const std::string& to);
    int remove(const std::string& name);
    int get(const ParsedCommand& command, Mode mode);
    int put(const ParsedCommand& command, Mode mode);
    int users();
    int whois(const std::string& name);
    int kick(const std::string& name);
    int stop();

    // The catalog line of a file of ours.
    std::string lineOf(const std::string& name) const { return user_ + "\\" + name; }
    // Seconds on the steady clock since the session began, for progress.
    double now() const;

    const Invocation& settings_;
    const PasswordSource& passwords_;
    Console& console_;
    std::unique_ptr<Client> client_;
    std::string user_;
    std::chrono::steady_clock::time_point started_;
};

// The exit code a request's outcome stands for.
int exitCodeFor(const Status& status);

}  // namespace vextora::client
