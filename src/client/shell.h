// Shell: `vextora shell`, many commands over one connection.
//
// On a terminal it reads at a prompt with line editing and history; otherwise
// it reads standard input line by line and prints no prompts, so a session
// can be scripted. A failing command does not end the shell. Ctrl+C cancels
// a running transfer, or the line being typed, and never ends the shell.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vextora::client {

class Session;
struct Console;

struct WordSplit {
    std::vector<std::string> words;
    std::string error;  // set for an unclosed quote
};

// Splits a line into words at blanks. Double or single quotes group a word
// with blanks in it and are dropped. A backslash is an ordinary character:
// catalog lines hold one.
WordSplit splitWords(std::string_view line);

class Shell {
public:
    // session and console must outlive the shell.
    Shell(Session& session, Console& console, bool interactive);
    Shell(const Shell&) = delete;
    Shell& operator=(const Shell&) = delete;

    // Connects, logs in when -u was given, and reads commands until quit or
    // the end of the input. Returns the exit code of the last command that
    // failed (0 when none did), or 3 when the server closed the connection.
    int run();

private:
    int execute(const std::vector<std::string>& words);
    std::string prompt() const;

    Session& session_;
    Console& console_;
    bool interactive_;
    bool quit_ = false;
};

}  // namespace vextora::client
