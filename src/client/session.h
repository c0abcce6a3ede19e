// Session: the vextora commands, run over one connection to the server.
//
// The one-shot program makes a Session, runs one command with runOnce() and
// ends; the shell keeps one Session for all its commands. Every command
// returns its exit code (exit_codes.h) and has said why on the error stream
// when that code is not 0. Data goes to the output stream, confirmations too
// unless quiet; progress bars go to the error stream when it is a terminal.
//
// Before a request goes out, the session rules out what it can know itself:
// its login, the server's name rules, what is in the own folder. So a
// refusal names the one cause that applies rather than every possible one.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
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
    bool progress = false;              // the error stream is a terminal: show progress bars
    bool outputTerminal = false;        // the output stream is a terminal: names made printable
    bool inputCarriesCommands = false;  // a shell reads its commands from standard input
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
    // or as GUEST where any login does), runs it, and quits. An explicit -u
    // for a command that never logs in (register) is a usage error.
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

    // For completion: the names in the own folder, or the catalog's lines.
    // Empty when they cannot be had (not logged in with an account, or the
    // request failed); never prints anything.
    std::vector<std::string> ownNames();
    std::vector<std::string> catalogLines();

    // Prints `message` as an error and returns `code`.
    int fail(int code, const std::string& message);
    // With -v: prints a step of the work on the error stream.
    void step(const std::string& message);

private:
    // How a transfer is to be made.
    struct TransferFlags {
        bool noClobber = false;
        bool toTerminal = false;
        std::uint64_t rateLimit = 0;
    };
    // What the own folder holds, asked once per command: the top-level names.
    struct FolderView {
        std::optional<std::vector<std::string>> names;
        bool has(const std::string& name) const;
    };

    int fromStatus(const Status& status, const std::string& context = {});
    void confirm(const std::string& message);
    void note(const std::string& message);
    // A name from the server as the output stream gets it: made printable on
    // a terminal, byte for byte for a script.
    std::string shown(std::string_view text) const;
    // Prints one shown line per entry; always succeeds.
    int printLines(const std::vector<std::string>& lines);
    int requireLogin(Access access, Mode mode);
    // Fills the view when it is still empty; 0 or the failure's exit code.
    int look(FolderView& folder);
    TransferOptions transferOptions(std::uint64_t rateLimit) const;

    int registerAccount(const std::string& name);
    int listOwnFolder(bool longFormat);
    int listCatalog();
    int info(const std::string& name);
    int share(const std::string& name, bool shared);
    int rename(const std::string& from, const std::string& to);
    int remove(const std::string& name);
    int get(const ParsedCommand& command, Mode mode);
    int put(const ParsedCommand& command, Mode mode);
    int mget(const ParsedCommand& command, Mode mode);
    int mput(const ParsedCommand& command, Mode mode);
    int users();
    int whois(const std::string& name);
    int kick(const std::string& name);
    int stop();

    // Downloads `remote` (a catalog line, or an own file with selector 24)
    // to the destination the user gave (see planDestination).
    int fetch(const std::string& remote, std::uint8_t selector, const std::string& destination,
              const TransferFlags& flags, Mode mode);
    // Uploads the local file (or "-", standard input) as `remote`.
    int store(const std::string& local, const std::string& remote, const TransferFlags& flags,
              FolderView& folder);

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
