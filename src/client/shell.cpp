#include "client/shell.h"

#include <algorithm>
#include <filesystem>
#include <memory>

#include "client/commands.h"
#include "client/exit_codes.h"
#include "client/line_editor.h"
#include "client/session.h"
#include "platform/terminal.h"

namespace vextora::client {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

WordSplit splitWords(std::string_view line) {
    WordSplit split;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : line) {
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            else
                word += c;
        } else if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
        } else if (isBlank(c)) {
            if (inWord) split.words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quote != 0) {
        split.words.clear();
        split.error = std::string("unclosed ") + quote + " quote";
        return split;
    }
    if (inWord) split.words.push_back(std::move(word));
    return split;
}

LinePrefix splitPrefix(std::string_view typed) {
    LinePrefix prefix;
    bool inWord = false;
    for (std::size_t index = 0; index < typed.size(); ++index) {
        char c = typed[index];
        if (!inWord && !isBlank(c)) {
            inWord = true;
            prefix.start = index;
        }
        if (prefix.quote != 0) {
            if (c == prefix.quote)
                prefix.quote = 0;
            else
                prefix.partial += c;
        } else if (c == '"' || c == '\'') {
            prefix.quote = c;
        } else if (isBlank(c)) {
            if (inWord) prefix.words.push_back(std::move(prefix.partial));
            prefix.partial.clear();
            inWord = false;
        } else {
            prefix.partial += c;
        }
    }
    if (!inWord) prefix.start = typed.size();
    return prefix;
}

std::vector<std::string> localPathsStartingWith(const std::string& partial) {
    namespace fs = std::filesystem;
    auto slash = partial.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : partial.substr(0, slash + 1);
    std::string start = slash == std::string::npos ? partial : partial.substr(slash + 1);
    std::vector<std::string> found;
    std::error_code error;
    fs::directory_iterator entries(folder.empty() ? fs::path(".") : fs::path(folder), error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        std::string name = entries->path().filename().string();
        if (!name.starts_with(start)) continue;
        if (name.starts_with('.') && !start.starts_with('.')) continue;
        std::error_code ignored;
        found.push_back(folder + name + (entries->is_directory(ignored) ? "/" : ""));
    }
    std::sort(found.begin(), found.end());
    return found;
}

Shell::Shell(Session& session, Console& console, ShellInput input)
    : session_(session), console_(console), input_(std::move(input)) {}

std::string Shell::prompt() const {
    const std::string& user = session_.loggedInAs();
    return user.empty() ? "vextora> " : "vextora " + user + "> ";
}

const std::vector<std::string>& Shell::ownNames() {
    if (!ownCache_) ownCache_ = session_.ownNames();
    return *ownCache_;
}

const std::vector<std::string>& Shell::catalogLines() {
    if (!catalogCache_) catalogCache_ = session_.catalogLines();
    return *catalogCache_;
}

std::vector<std::string> Shell::candidates(const std::vector<std::string>& words,
                                           const std::string& partial) {
    std::vector<std::string> commands;
    for (const auto& info : allCommands())
        if (info.shell) commands.emplace_back(info.name);
    if (words.empty()) return commands;
    const CommandInfo* info = findCommand(words[0], Mode::Shell);
    if (info == nullptr) return {};
    std::string_view name = info->name;
    if (name == "help") return words.size() == 1 ? commands : std::vector<std::string>{};

    // The place of the word among the command's arguments, options skipped.
    std::size_t position = 0;
    bool own = false;
    for (std::size_t index = 1; index < words.size(); ++index) {
        const std::string& word = words[index];
        if (word == "--own") own = true;
        if (word == "--limit-rate" || word == "-O" || word == "--into") {
            if (index + 1 == words.size())
                return word == "--limit-rate" ? std::vector<std::string>{}
                                              : localPathsStartingWith(partial);
            ++index;
        } else if (word.size() < 2 || word[0] != '-') {
            ++position;
        }
    }
    if (partial.starts_with('-')) return optionSpellings(*info);

    auto catalog = [&]() {
        // OWNER/file is offered when that is how the user began to type it.
        std::vector<std::string> lines = catalogLines();
        if (partial.find('/') != std::string::npos && partial.find('\\') == std::string::npos) {
            for (auto& line : lines) {
                auto separator = line.find('\\');
                if (separator != std::string::npos) line[separator] = '/';
            }
        }
        return lines;
    };
    if (name == "get") {
        if (position == 0) return own ? ownNames() : catalog();
        return position == 1 ? localPathsStartingWith(partial) : std::vector<std::string>{};
    }
    if (name == "mget") return own ? ownNames() : catalog();
    if (name == "mput") return localPathsStartingWith(partial);
    if (name == "put") {
        if (position == 0) return localPathsStartingWith(partial);
        return position == 1 ? ownNames() : std::vector<std::string>{};
    }
    if (name == "mv") return position < 2 ? ownNames() : std::vector<std::string>{};
    if (name == "info" || name == "share" || name == "unshare" || name == "rm")
        return position == 0 ? ownNames() : std::vector<std::string>{};
    return {};
}

int Shell::execute(const std::vector<std::string>& words) {
    CommandParse parse = parseCommand(words, Mode::Shell);
    if (!parse.command) return session_.fail(EXIT_USAGE, parse.error);
    const ParsedCommand& command = *parse.command;
    std::string_view name = command.info->name;
    bool quiet = session_.settings().quiet;

    if (command.help) {
        console_.out << commandHelp(*command.info, Mode::Shell) << std::flush;
        return EXIT_DONE;
    }
    if (name == "help") {
        if (command.args.empty()) {
            console_.out << overviewHelp(Mode::Shell) << std::flush;
            return EXIT_DONE;
        }
        const CommandInfo* info = findCommand(command.args[0], Mode::Shell);
        if (info == nullptr)
            return session_.fail(EXIT_USAGE, "no command '" + command.args[0] + "'");
        console_.out << commandHelp(*info, Mode::Shell) << std::flush;
        return EXIT_DONE;
    }
    if (name == "quit") {
        quit_ = true;
        return EXIT_DONE;
    }

    // Between commands, only the server's closing byte can have arrived.
    if (!session_.checkConnected()) {
        quit_ = true;
        return session_.fail(EXIT_FAILED, describeReply(0, REPLY_CLOSING));
    }
    if (name == "logout") {
        session_.logout();
        if (!quiet) console_.out << "logged out\n" << std::flush;
        return EXIT_DONE;
    }
    if (name == "login") {
        int code = session_.login(command.args[0]);
        if (code == EXIT_DONE && !quiet)
            console_.out << "logged in as " << session_.loggedInAs() << '\n' << std::flush;
        return code;
    }
    return session_.run(command, Mode::Shell);
}

int Shell::run() {
    InterruptScope scope;  // Ctrl+C cancels a transfer or the typed line, never the shell
    if (int code = session_.connect()) return code;
    const Invocation& settings = session_.settings();
    bool batch = !input_.interactive;
    if (!batch)
        console_.out << "Connected to " << settings.host << " port " << settings.controlPort
                     << ". 'help' lists the commands, 'quit' leaves.\n";
    int result = EXIT_DONE;
    if (!settings.user.empty()) {
        result = session_.login(settings.user);
        if (result == EXIT_DONE && !settings.quiet)
            console_.out << "logged in as " << session_.loggedInAs() << '\n';
        // A batch that cannot log in would only fail line by line.
        if (result != EXIT_DONE && batch) {
            session_.quit();
            return result;
        }
    }
    // From here on, messages belong to the commands typed or read.
    console_.errorPrefix.clear();
    // Standard input carries the commands unless they come from a file.
    console_.inputCarriesCommands = !input_.lines.has_value();

    std::unique_ptr<LineEditor> editor;
    if (input_.interactive) {
        editor = std::make_unique<LineEditor>(
            "vextora", [this](const std::vector<std::string>& words, const std::string& partial) {
                return candidates(words, partial);
            });
    }

    std::size_t number = 0;
    while (!quit_) {
        clearInterrupt();
        ownCache_.reset();
        catalogCache_.reset();
        console_.out << std::flush;
        std::string line;
        if (editor) {
            LineEditor::Result read = editor->read(prompt(), line);
            if (read == LineEditor::End) {
                console_.out << '\n';
                break;
            }
            if (read == LineEditor::Interrupted) {
                console_.out << '\n';
                continue;
            }
        } else {
            bool interrupted = false;
            if (!nextLine(line, interrupted)) break;
            if (interrupted) continue;
            ++number;
        }

        std::string_view text = line;
        while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
        if (text.empty() || text.starts_with('#')) continue;
        // As in other batch tools: a leading '-' lets the batch go on when
        // this command fails.
        if (batch && settings.verbose) console_.out << prompt() << text << '\n' << std::flush;
        bool goOn = batch && text.starts_with('-');
        if (goOn) text.remove_prefix(1);

        WordSplit split = splitWords(text);
        int code = EXIT_DONE;
        if (!split.error.empty()) {
            code = session_.fail(EXIT_USAGE, split.error);
        } else if (!split.words.empty()) {
            if (editor) editor->remember(line);
            code = execute(split.words);
        }
        if (code != EXIT_DONE) result = code;
        if (!quit_ && !session_.checkConnected()) {
            // A stop that succeeded ends the connection, as asked.
            if (code != EXIT_DONE) result = EXIT_FAILED;
            break;
        }
        // Ctrl+C cancels the command, not the batch: it goes on, and its
        // status still says that something did not complete.
        if (code != EXIT_DONE && code != EXIT_INTERRUPTED && batch && !goOn) {
            session_.fail(code, "stopped at line " + std::to_string(number) + " of " +
                                    input_.source + ": " + std::string(text));
            break;
        }
    }
    session_.quit();
    console_.out << std::flush;
    return result;
}

bool Shell::nextLine(std::string& line, bool& interrupted) {
    interrupted = false;
    if (input_.lines) {
        if (nextIndex_ >= input_.lines->size()) return false;
        line = (*input_.lines)[nextIndex_++];
        return true;
    }
    InputLines::Result read = standardInput_.next(line);
    if (read == InputLines::Interrupted) {
        interrupted = true;
        return true;
    }
    return read == InputLines::Line;
}

}  // namespace vextora::client
