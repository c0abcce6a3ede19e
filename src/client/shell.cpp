#include "client/shell.h"

#include <memory>

#include "client/commands.h"
#include "client/exit_codes.h"
#include "client/line_editor.h"
#include "client/session.h"
#include "platform/terminal.h"

namespace vextora::client {

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
        } else if (c == ' ' || c == '\t') {
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

Shell::Shell(Session& session, Console& console, bool interactive)
    : session_(session), console_(console), interactive_(interactive) {}

std::string Shell::prompt() const {
    const std::string& user = session_.loggedInAs();
    return user.empty() ? "vextora> " : "vextora " + user + "> ";
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
    if (interactive_)
        console_.out << "Connected to " << settings.host << " port " << settings.controlPort
                     << ". 'help' lists the commands, 'quit' leaves.\n";
    int result = EXIT_DONE;
    if (!settings.user.empty()) {
        result = session_.login(settings.user);
        if (result == EXIT_DONE && !settings.quiet)
            console_.out << "logged in as " << session_.loggedInAs() << '\n';
    }

    std::unique_ptr<LineEditor> editor;
    InputLines input;
    if (interactive_) {
        std::vector<std::string> words;
        for (const auto& info : allCommands()) {
            if (findCommand(info.name, Mode::Shell) != nullptr) words.emplace_back(info.name);
        }
        editor = std::make_unique<LineEditor>("vextora", std::move(words));
    }

    while (!quit_) {
        clearInterrupt();
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
            InputLines::Result read = input.next(line);
            if (read == InputLines::Interrupted) continue;
            if (read != InputLines::Line) break;
        }

        WordSplit split = splitWords(line);
        if (!split.error.empty()) {
            result = session_.fail(EXIT_USAGE, split.error);
            continue;
        }
        if (split.words.empty() || split.words[0].starts_with('#')) continue;
        if (editor) editor->remember(line);

        int code = execute(split.words);
        if (code != EXIT_DONE) result = code;
        if (!quit_ && !session_.checkConnected()) {
            // A stop that succeeded ends the connection, as asked.
            if (code != EXIT_DONE) result = EXIT_FAILED;
            break;
        }
    }
    session_.quit();
    console_.out << std::flush;
    return result;
}

}  // namespace vextora::client
