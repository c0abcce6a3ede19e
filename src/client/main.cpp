// vextora: the command-line client. One command per run for scripts, or
// `vextora shell` for many over one connection. `vextora --help` explains.
#include <clocale>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "client/commands.h"
#include "client/exit_codes.h"
#include "client/invocation.h"
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

}  // namespace

int main(int argc, char** argv) {
    // Names typed at the shell's prompt are read in the user's character set.
    // Only LC_CTYPE: numbers keep their decimal point in every locale.
    std::setlocale(LC_CTYPE, "");
    // A reader that went away (vextora get X - | head) must not end us by signal.
    vextora::ignoreBrokenPipe();

    InvocationParse parsed = parseInvocation(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.invocation) return usageError(parsed.error);
    const Invocation& invocation = *parsed.invocation;
    if (invocation.version) {
        std::cout << "vextora " << VEXTORA_VERSION << '\n';
        return EXIT_DONE;
    }
    if (invocation.help) {
        std::cout << overviewHelp(Mode::OneShot);
        return EXIT_DONE;
    }
    if (invocation.words.empty()) {
        std::cerr << overviewHelp(Mode::OneShot);
        return EXIT_USAGE;
    }

    CommandParse command = parseCommand(invocation.words, Mode::OneShot);
    if (!command.command) return usageError(command.error);
    const CommandInfo& info = *command.command->info;
    if (command.command->help) {
        std::cout << commandHelp(info, Mode::OneShot);
        return EXIT_DONE;
    }
    if (info.name == "help") {
        if (command.command->args.empty()) {
            std::cout << overviewHelp(Mode::OneShot);
            return EXIT_DONE;
        }
        const std::string& topic = command.command->args[0];
        const CommandInfo* about = findCommand(topic, Mode::OneShot);
        if (about == nullptr) about = findCommand(topic, Mode::Shell);
        if (about == nullptr) return usageError("no command '" + topic + "'");
        std::cout << commandHelp(*about, Mode::OneShot);
        return EXIT_DONE;
    }

    const char* environment = std::getenv("VEXTORA_PASSWORD");
    PasswordSource passwords(invocation.passwordFile,
                             environment ? std::optional<std::string>(environment) : std::nullopt);
    Console console{std::cout, std::cerr};
    console.progress = vextora::isTerminal(vextora::StandardStream::Error);
    console.outputTerminal = vextora::isTerminal(vextora::StandardStream::Output);
    console.columns = vextora::terminalColumns(vextora::StandardStream::Error);
    Session session(invocation, passwords, console);

    if (info.name == "shell") {
        console.errorPrefix.clear();
        Shell shell(session, console, vextora::isTerminal(vextora::StandardStream::Input));
        return shell.run();
    }
    return session.runOnce(*command.command);
}
