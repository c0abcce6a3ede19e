// Commands: the table of the vextora commands, their arguments and their help.
//
// parseCommand checks a command's words against the table before anything is
// connected or asked, so a mistyped command never costs a password prompt.
// The same table serves the one-shot program and the shell; a few commands
// exist in only one of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vextora::client {

enum class Mode { OneShot, Shell };

// What a command needs of the login before it runs.
enum class Access {
    None,     // nothing: works logged out
    Login,    // any login; a one-shot command logs in as GUEST without -u
    Account,  // a login with a folder of its own (not GUEST)
    Admin,    // a login; the server answers whether it is the administrator
};

enum CommandOption : unsigned {
    OPTION_OWN = 1,         // --own
    OPTION_LONG = 2,        // -l
    OPTION_RATE = 4,        // --limit-rate RATE
    OPTION_NO_CLOBBER = 8,  // -n, --no-clobber
    OPTION_RECURSIVE = 16,  // -r, --recursive
    OPTION_INTO = 32,       // -O, --into FOLDER
    OPTION_TERMINAL = 64,   // --terminal
};

struct CommandInfo {
    std::string_view name;
    std::string_view arguments;  // as the synopsis shows them
    std::string_view summary;    // one line
    std::string_view details;    // a paragraph for the command's own help
    Access access;
    unsigned options;
    std::size_t minArgs;
    std::size_t maxArgs;
    bool oneShot;  // available as `vextora COMMAND`
    bool shell;    // available inside `vextora shell`
};

struct ParsedCommand {
    const CommandInfo* info = nullptr;
    std::vector<std::string> args;  // the positional arguments
    bool own = false;
    bool longFormat = false;
    std::uint64_t rateLimit = 0;  // bytes per second; 0 for none
    bool noClobber = false;       // -n: an existing file is never replaced
    bool recursive = false;       // -r: folders are uploaded with what they hold
    std::string into;             // -O FOLDER: where downloads go; empty for here
    bool toTerminal = false;      // --terminal: binary data may go to a terminal
    bool help = false;            // --help was given: show help, run nothing

    // get --own and mget --own need a folder of one's own; otherwise the table says.
    Access access() const { return own ? Access::Account : info->access; }
};

struct CommandParse {
    std::optional<ParsedCommand> command;
    std::string error;  // set when command is empty: a usage error
};

const std::vector<CommandInfo>& allCommands();
// The command of that name (or alias) in that mode, or null.
const CommandInfo* findCommand(std::string_view name, Mode mode);
CommandParse parseCommand(const std::vector<std::string>& words, Mode mode);

// Every spelling of the options the command takes, --help included: what
// completion offers, and what its help must explain.
std::vector<std::string> optionSpellings(const CommandInfo& info);

// `vextora --help` and the shell's `help`.
std::string overviewHelp(Mode mode);
// `vextora help COMMAND`, `vextora COMMAND --help`.
std::string commandHelp(const CommandInfo& info, Mode mode);

}  // namespace vextora::client
