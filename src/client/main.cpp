// vextora: the command-line client. One command per run for scripts, or
// `vextora shell` for many over one connection, or `vextora -b FILE` for a
// batch of them. `vextora --help` explains.
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "client/commands.h"
#include "client/exit_codes.h"
#include "client/invocation.h"
#include "client/names.h"
#include "client/password_source.h"
#include "client/session.h"
#include "client/shell.h"
#include "platform/process.h"
#include "platform/terminal.h"

using namespace vextora::client;

namespace {

int usageError(const std::string& message) {
    std::cerr << "vextora: " << message << "\nTry 'vextora --help'.\n";
    return EXIT_USAGE;
}

const char* variable(const char* name) {
    return std::getenv(name);
}

// The whole of a file, or the reason it cannot be read.
std::optional<std::string> readWhole(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Fills in what the command line left out: the environment first, then the
// config file. Empty on success, else the message for a usage error.
std::string applyAllDefaults(Invocation& invocation) {
    DefaultsParse environment =
        defaultsFromEnvironment(variable("VEXTORA_HOST"), variable("VEXTORA_USER"));
    if (!environment.defaults) return environment.error;
    std::optional<Defaults> config;
    std::string path = configPath(variable("XDG_CONFIG_HOME"), variable("HOME"));
    std::error_code missing;
    if (!invocation.noConfig && !path.empty() && std::filesystem::exists(path, missing)) {
        std::string error;
        auto text = readWhole(path, error);
        if (!text) return "cannot read the config file " + path + ": " + error;
        std::string folder = std::filesystem::path(path).parent_path().string();
        const char* home = variable("HOME");
        DefaultsParse parsed = parseConfig(*text, path, folder, home ? home : "");
        if (!parsed.defaults) return parsed.error;
        config = parsed.defaults;
        // The config's password file is its user's: another account named
        // on the command line or in the environment does not get it, and
        // VEXTORA_PASSWORD, set for this run, comes before it.
        std::string user = invocation.userGiven
                               ? invocation.user
                               : environment.defaults->user.value_or(config->user.value_or(""));
        if (upperAscii(user) != upperAscii(config->user.value_or("")) ||
            variable("VEXTORA_PASSWORD") != nullptr)
            config->passwordFile.reset();
    }
    if (std::string error = applyDefaults(invocation, *environment.defaults); !error.empty())
        return error;
    if (config) return applyDefaults(invocation, *config);
    return {};
}

// A batch file's lines, without their line ends.
std::optional<std::vector<std::string>> batchLines(const std::string& path, std::string& error) {
    auto text = readWhole(path, error);
    if (!text) return std::nullopt;
    std::vector<std::string> lines;
    std::istringstream in(*text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    // Names typed at the shell's prompt are read in the user's character set.
    // Only LC_CTYPE: numbers keep their decimal point in every locale.
    std::setlocale(LC_CTYPE, "");
    // A reader that went away (vextora get X - | head) must not end us by signal.
    vextora::ignoreBrokenPipe();

    InvocationParse parsed = parseInvocation(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.invocation) return usageError(parsed.error);
    Invocation invocation = *parsed.invocation;
    if (invocation.version) {
        std::cout << "vextora " << VEXTORA_VERSION << '\n';
        return EXIT_DONE;
    }
    if (invocation.help) {
        std::cout << overviewHelp(Mode::OneShot);
        return EXIT_DONE;
    }
    if (invocation.words.empty() && !invocation.batchFile) {
        std::cerr << overviewHelp(Mode::OneShot);
        return EXIT_USAGE;
    }

    std::optional<ParsedCommand> command;
    if (!invocation.batchFile) {
        CommandParse parse = parseCommand(invocation.words, Mode::OneShot);
        if (!parse.command) return usageError(parse.error);
        command = parse.command;
        const CommandInfo& info = *command->info;
        if (command->help) {
            std::cout << commandHelp(info, Mode::OneShot);
            return EXIT_DONE;
        }
        if (info.name == "help") {
            if (command->args.empty()) {
                std::cout << overviewHelp(Mode::OneShot);
                return EXIT_DONE;
            }
            const std::string& topic = command->args[0];
            const CommandInfo* about = findCommand(topic, Mode::OneShot);
            if (about == nullptr) about = findCommand(topic, Mode::Shell);
            if (about == nullptr) return usageError("no command '" + topic + "'");
            std::cout << commandHelp(*about, Mode::OneShot);
            return EXIT_DONE;
        }
    }
    if (std::string error = applyAllDefaults(invocation); !error.empty()) return usageError(error);

    const char* environment = variable("VEXTORA_PASSWORD");
    PasswordSource passwords(invocation.passwordFile,
                             environment ? std::optional<std::string>(environment) : std::nullopt);
    Console console{std::cout, std::cerr};
    console.progress = vextora::isTerminal(vextora::StandardStream::Error);
    console.outputTerminal = vextora::isTerminal(vextora::StandardStream::Output);
    console.columns = vextora::terminalColumns(vextora::StandardStream::Error);
    Session session(invocation, passwords, console);

    if (invocation.batchFile) {
        ShellInput input;
        if (*invocation.batchFile != "-") {
            std::string error;
            input.lines = batchLines(*invocation.batchFile, error);
            if (!input.lines)
                return session.fail(EXIT_USAGE, "cannot read the batch file " +
                                                    *invocation.batchFile + ": " + error);
            input.source = *invocation.batchFile;
        }
        Shell shell(session, console, std::move(input));
        return shell.run();
    }
    if (command->info->name == "shell") {
        ShellInput input;
        input.interactive = vextora::isTerminal(vextora::StandardStream::Input);
        Shell shell(session, console, std::move(input));
        return shell.run();
    }
    return session.runOnce(*command);
}
