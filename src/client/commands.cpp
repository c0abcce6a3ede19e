#include "client/commands.h"

#include <cstdint>

#include "client/invocation.h"

namespace vextora::client {

namespace {

const std::vector<CommandInfo> COMMANDS = {
    {"register", "NAME", "create an account",
     "Creates the account NAME, stored in upper case. The password is asked for twice on a "
     "terminal, or taken from --password-file or VEXTORA_PASSWORD. Registering does not log "
     "in, so -u is refused. The names ADMIN, GUEST and SERVERSHARE are reserved; a name may "
     "not hold '/', '\\' or control characters, begin or end with a blank, read as an IPv4 "
     "address, or be longer than 253 bytes.",
     Access::None, 0, 1, 1, true, true},
    {"ls", "[-l]", "list your own folder",
     "Lists the files (and sub-folders) of your own folder on the server. With -l (--long), each "
     "line "
     "also shows the size in bytes (- for a folder) and whether the file is in the catalog.",
     Access::Account, OPTION_LONG, 0, 0, true, true},
    {"catalog", "", "list the files every user may download",
     "Lists the catalog, one line per shared file: the owner, a backslash, the file name. Such "
     "a line is what 'get' takes. Needs no login; with -u it logs in first, so the account and "
     "its password are checked.",
     Access::None, 0, 0, 0, true, true},
    {"info", "NAME", "size of a file of yours and whether it is shared",
     "Shows the size of NAME in your own folder and whether it is in the catalog.", Access::Account,
     0, 1, 1, true, true},
    {"share", "NAME", "publish a file of yours in the catalog",
     "Adds the line YOURNAME\\NAME to the catalog, so that every user can download NAME from "
     "your own folder. The file must exist.",
     Access::Account, 0, 1, 1, true, true},
    {"unshare", "NAME", "withdraw a file from the catalog",
     "Removes the catalog line of NAME. The file itself stays in your folder.", Access::Account, 0,
     1, 1, true, true},
    {"mv", "OLD NEW", "rename a file in your own folder",
     "Renames OLD to NEW in your own folder; refused when NEW exists, as a rename never "
     "replaces. NEW may name an existing sub-folder (sub/NEW). A shared file keeps its old "
     "catalog line until you unshare it.",
     Access::Account, 0, 2, 2, true, true},
    {"rm", "NAME", "delete a file from your own folder",
     "Deletes NAME from your own folder. Folders cannot be deleted. A shared file keeps its "
     "catalog line until you unshare it.",
     Access::Account, 0, 1, 1, true, true},
    {"get", "[--own] [-n] [--terminal] [--limit-rate RATE] NAME [DEST|-]", "download a file",
     "Downloads NAME, a catalog line as 'catalog' shows it (OWNER\\file; OWNER/file works "
     "too), or with --own a file of your own folder. DEST is a file, or a folder to download "
     "into when it exists or ends in '/'; without it the file goes to the current folder under "
     "its own name. A file appears only once it is complete, so a failed or cancelled download "
     "leaves nothing behind; an existing file is replaced, and the confirmation says so. "
     "-n (--no-clobber) refuses to replace one. A FIFO or a device is written into, and a "
     "symbolic link writes the file it names, as cp does. With - the data goes to standard "
     "output; binary data goes to a terminal only with --terminal. Without -u the download is "
     "made as GUEST. Ctrl+C cancels. --limit-rate caps the speed in bytes a second (suffixes "
     "K, M, G). From a shell, quote a line that holds a backslash: vextora get 'BOB\\notes.txt'.",
     Access::Login, OPTION_OWN | OPTION_RATE | OPTION_NO_CLOBBER | OPTION_TERMINAL, 1, 2, true,
     true},
    {"put", "[-n] [--limit-rate RATE] FILE|- [NAME]", "upload a file into your own folder",
     "Uploads FILE into your own folder as NAME (by default FILE's own name). With - in place "
     "of FILE, standard input is uploaded and NAME is required. A file already there under "
     "NAME is replaced only once the upload is complete, and the confirmation says so; -n "
     "(--no-clobber) refuses to replace it. When NAME is a local file too, as when a wildcard "
     "matched two files, nothing is uploaded: 'mput' uploads several. NAME may lie in an "
     "existing sub-folder (sub/NAME); the server creates no folders. GUEST cannot upload. "
     "Files must be smaller than 4 GiB. Ctrl+C cancels. --limit-rate caps the speed in bytes "
     "a second.",
     Access::Account, OPTION_RATE | OPTION_NO_CLOBBER, 1, 2, true, true},
    {"mput", "[-n] [-r] [--limit-rate RATE] FILE...", "upload many files into your folder",
     "Uploads each FILE into your own folder under its own name, one after another. Wildcards "
     "(*, ?, [abc]) are expanded here when the shell did not, as inside 'vextora shell'. A "
     "folder is uploaded with -r (--recursive): the files it holds go in under their own names, "
     "and those of "
     "its sub-folders into the sub-folders of that name in your folder, which must exist, as "
     "the server creates no folders; anything else is skipped, and said so. -n "
     "(--no-clobber) skips files that exist already. A file that fails is reported and the rest go "
     "on; the exit status "
     "is that of the last failure. --limit-rate caps the speed of each file.",
     Access::Account, OPTION_RATE | OPTION_NO_CLOBBER | OPTION_RECURSIVE, 1, SIZE_MAX, true, true},
    {"mget", "[--own] [-n] [-O FOLDER] [--limit-rate RATE] NAME...", "download many files",
     "Downloads every catalog line that a NAME matches, or with --own every file of your own "
     "folder. A NAME may hold wildcards (*, ?, [abc]); quote them, so that your shell leaves "
     "them alone. A NAME with '/' or '\\' is matched against whole catalog lines (BOB/*.pdf), "
     "one without against the file names (*.pdf). The files go into the current folder, or "
     "into FOLDER with -O (--into), under their own names; two files of one name are refused, "
     "rather than one replacing the other. -n (--no-clobber) skips files that exist already. A "
     "file that fails is "
     "reported and the rest go on; the exit status is that of the last failure. --limit-rate caps "
     "the speed of each file.",
     Access::Login, OPTION_OWN | OPTION_RATE | OPTION_NO_CLOBBER | OPTION_INTO, 1, SIZE_MAX, true,
     true},
    {"users", "", "list the connected users (administrator)",
     "Lists every connected client: accounts by name, guests and clients that are not logged "
     "in by their address. Administrator only.",
     Access::Admin, 0, 0, 0, true, true},
    {"whois", "NAME", "a connected user's details (administrator)",
     "Shows the address, the time connected, the number of shared files and the running "
     "transfer of the connected user NAME, as 'users' shows it. Administrator only.",
     Access::Admin, 0, 1, 1, true, true},
    {"kick", "NAME", "disconnect a user (administrator)",
     "Disconnects the connected user NAME, as 'users' shows it. Administrator only.", Access::Admin,
     0, 1, 1, true, true},
    {"stop", "", "stop the server (administrator)",
     "Stops the server. Every connected client is told before it is disconnected. "
     "Administrator only.",
     Access::Admin, 0, 0, 0, true, true},
    {"shell", "", "keep one connection open and type commands",
     "Connects once and reads commands: at a prompt with line editing, history and Tab "
     "completion (of commands, of your own files and catalog lines, and of local paths) when "
     "standard input is a terminal; otherwise line by line, as a batch. Every command works "
     "there, plus login, logout and quit. With -u, or a default user, logs in first. Quote names "
     "that hold "
     "spaces: get \"BOB\\my notes.txt\". A batch (piped input, or -b FILE) skips blank lines "
     "and lines starting with #, stops at the first command that fails and exits with its "
     "status, naming its line; a line starting with - goes on after a failure. With -v each "
     "command is echoed before its output.",
     Access::None, 0, 0, 0, true, false},
    {"login", "NAME", "log in (logging out first)",
     "Logs in as NAME, after logging out if needed. The password is taken as for -u; GUEST "
     "needs none.",
     Access::None, 0, 1, 1, false, true},
    {"logout", "", "log out; the connection stays open", "Logs out; the connection stays open.",
     Access::None, 0, 0, 0, false, true},
    {"help", "[COMMAND]", "list the commands, or explain one",
     "Lists the commands, or explains COMMAND.", Access::None, 0, 0, 1, true, true},
    {"quit", "", "leave the shell (also exit, or Ctrl+D)", "Leaves the shell.", Access::None, 0, 0,
     0, false, true},
};

bool availableIn(const CommandInfo& info, Mode mode) {
    return mode == Mode::Shell ? info.shell : info.oneShot;
}

// The text in lines of at most 78 columns, broken at blanks; lines after the
// first are indented by `indent`.
std::string wrapped(std::string_view rest, std::size_t indent) {
    std::string text, line;
    while (!rest.empty()) {
        auto space = rest.find(' ');
        std::string_view word = rest.substr(0, space);
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
        if (!line.empty() && line.size() + 1 + word.size() > 78) {
            text += line + "\n";
            line.assign(indent, ' ');
        } else if (!line.empty()) {
            line += " ";
        }
        line += word;
    }
    if (!line.empty()) text += line + "\n";
    return text;
}

}  // namespace

const std::vector<CommandInfo>& allCommands() {
    return COMMANDS;
}

const CommandInfo* findCommand(std::string_view name, Mode mode) {
    if (mode == Mode::Shell && (name == "exit" || name == "bye")) name = "quit";
    for (const auto& info : COMMANDS) {
        if (info.name == name && availableIn(info, mode)) return &info;
    }
    return nullptr;
}

CommandParse parseCommand(const std::vector<std::string>& words, Mode mode) {
    if (words.empty()) return {{}, "no command given"};
    const CommandInfo* info = findCommand(words[0], mode);
    if (info == nullptr) {
        const CommandInfo* elsewhere =
            findCommand(words[0], mode == Mode::Shell ? Mode::OneShot : Mode::Shell);
        if (elsewhere != nullptr && mode == Mode::Shell)
            return {{}, "'" + words[0] + "' is not available inside the shell"};
        if (elsewhere != nullptr)
            return {{}, "'" + words[0] + "' works only inside 'vextora shell'"};
        return {{}, "unknown command '" + words[0] + "'; 'help' lists the commands"};
    }

    ParsedCommand command;
    command.info = info;
    std::string name(info->name);
    bool optionsEnded = false;
    for (std::size_t index = 1; index < words.size(); ++index) {
        const std::string& word = words[index];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            command.args.push_back(word);  // "-" is an argument: standard input or output
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
        } else if (word == "--help" || word == "-h") {
            command.help = true;
        } else if (word == "--own" && (info->options & OPTION_OWN)) {
            command.own = true;
        } else if ((word == "-l" || word == "--long") && (info->options & OPTION_LONG)) {
            command.longFormat = true;
        } else if ((word == "-n" || word == "--no-clobber") &&
                   (info->options & OPTION_NO_CLOBBER)) {
            command.noClobber = true;
        } else if ((word == "-r" || word == "--recursive") && (info->options & OPTION_RECURSIVE)) {
            command.recursive = true;
        } else if (word == "--terminal" && (info->options & OPTION_TERMINAL)) {
            command.toTerminal = true;
        } else if ((word == "-O" || word == "--into" || word.starts_with("--into=")) &&
                   (info->options & OPTION_INTO)) {
            std::string value;
            if (word.starts_with("--into="))
                value = word.substr(7);
            else if (index + 1 < words.size())
                value = words[++index];
            if (value.empty()) return {{}, name + ": -O needs a local folder"};
            command.into = value;
        } else if ((word == "--limit-rate" || word.starts_with("--limit-rate=")) &&
                   (info->options & OPTION_RATE)) {
            std::string value;
            if (word.size() > 12) {
                value = word.substr(13);
            } else if (index + 1 < words.size()) {
                value = words[++index];
            }
            auto rate = parseByteCount(value);
            if (!rate)
                return {{}, name + ": --limit-rate needs bytes a second, such as 500K or 2M"};
            command.rateLimit = *rate;
        } else {
            return {{}, name + ": unknown option '" + word + "' ('" + name + " --help' explains)"};
        }
    }
    if (command.help) return {command, {}};
    if (command.args.size() < info->minArgs || command.args.size() > info->maxArgs) {
        std::string usage = name;
        if (!info->arguments.empty()) usage += " " + std::string(info->arguments);
        return {{}, "usage: " + usage};
    }
    return {command, {}};
}

std::vector<std::string> optionSpellings(const CommandInfo& info) {
    std::vector<std::string> options = {"-h", "--help"};
    auto add = [&](unsigned option, std::initializer_list<const char*> spellings) {
        if (info.options & option)
            options.insert(options.end(), spellings.begin(), spellings.end());
    };
    add(OPTION_OWN, {"--own"});
    add(OPTION_LONG, {"-l", "--long"});
    add(OPTION_RATE, {"--limit-rate"});
    add(OPTION_NO_CLOBBER, {"-n", "--no-clobber"});
    add(OPTION_RECURSIVE, {"-r", "--recursive"});
    add(OPTION_INTO, {"-O", "--into"});
    add(OPTION_TERMINAL, {"--terminal"});
    return options;
}

std::string overviewHelp(Mode mode) {
    std::string text;
    if (mode == Mode::OneShot) {
        text +=
            "Usage: vextora [OPTIONS] COMMAND [ARGUMENTS]\n"
            "\n"
            "The command-line client of a Vextora file-sharing server.\n"
            "\n"
            "Options (before the command):\n"
            "  -H, --host HOST[:PORT]    the server (default 127.0.0.1; IPv4 only)\n"
            "  -p, --port PORT           its request port (default 23322)\n"
            "      --transfer-port PORT  its transfer port (default: the request port + 1)\n"
            "  -u, --user NAME           log in as NAME (GUEST needs no password)\n"
            "      --password-file FILE  take the password from the first line of FILE\n"
            "      --timeout SECONDS     wait this long to connect and for each answer\n"
            "                            (default 10; a transfer may stall 60 s, or longer)\n"
            "  -b, --batch FILE          run the commands of FILE, as 'shell' runs them\n"
            "  -v, --verbose             say each step; a batch echoes each command\n"
            "  -q, --quiet               do not confirm what was done\n"
            "      --no-config           do not read the config file\n"
            "  -h, --help                show this help\n"
            "      --version             show the version\n"
            "\n"
            "Commands:\n";
    } else {
        text += "Commands (quote names that hold spaces):\n";
    }
    for (const auto& info : COMMANDS) {
        if (!availableIn(info, mode)) continue;
        std::string synopsis = "  " + std::string(info.name);
        if (!info.arguments.empty()) synopsis += " " + std::string(info.arguments);
        // Long synopses take a line of their own.
        if (synopsis.size() > 26) {
            synopsis += "\n";
            synopsis.append(28, ' ');
        } else {
            synopsis.append(28 - synopsis.size(), ' ');
        }
        text += synopsis + std::string(info.summary) + "\n";
    }
    if (mode == Mode::OneShot) {
        text +=
            "\n"
            "'vextora help COMMAND' or 'vextora COMMAND --help' explains a command.\n"
            "\n"
            "The password comes from --password-file, else from the environment variable\n"
            "VEXTORA_PASSWORD, else from a prompt on the terminal; never from an argument.\n"
            "\n"
            "Defaults: what the options leave out comes from the environment variables\n"
            "VEXTORA_HOST (HOST or HOST:PORT) and VEXTORA_USER, then from the config file\n"
            "$XDG_CONFIG_HOME/vextora/config (else ~/.config/vextora/config), one\n"
            "'key = value' a line: host, port, transfer-port, user, password-file and\n"
            "timeout. Its password file serves its user only.\n"
            "\n"
            "Exit status: 0 done; 1 refused, by the server or by -n (the message says why);\n"
            "2 usage error; 3 connection, transfer or local file failure; 130 interrupted\n"
            "(Ctrl+C).\n";
    } else {
        text += "'help COMMAND' explains a command.\n";
    }
    return text;
}

std::string commandHelp(const CommandInfo& info, Mode mode) {
    // A shell command explained to the one-shot program says where it works.
    std::string usage = mode == Mode::Shell ? "Usage: "
                        : info.oneShot      ? "Usage: vextora [OPTIONS] "
                                            : "Usage (inside 'vextora shell'): ";
    usage += std::string(info.name);
    if (!info.arguments.empty()) usage += " " + std::string(info.arguments);
    return wrapped(usage, 8) + "\n" + wrapped(info.details, 0);
}

}  // namespace vextora::client
