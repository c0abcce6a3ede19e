// Shell: `vextora shell` and `vextora -b FILE`, many commands over one
// connection.
//
// On a terminal it reads at a prompt with line editing, history and Tab
// completion, and a failing command does not end it. Otherwise it runs a
// batch, read line by line from standard input or from the batch file,
// with no prompts: it stops at the first command that fails, names that
// line, and ends with that command's exit code, unless the line starts with
// '-', after which it goes on. Ctrl+C cancels a running transfer, or the
// line being typed, and never ends the shell, a batch included.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/terminal.h"

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

// The start of a line up to the cursor, as completion needs it.
struct LinePrefix {
    std::vector<std::string> words;  // the complete words before the one being typed
    std::string partial;             // the word being typed, without its quotes
    char quote = 0;                  // the quote it is inside of, if one is open
    std::size_t start = 0;           // where that word begins (an opening quote included)
};
LinePrefix splitPrefix(std::string_view typed);

// Where a shell's commands come from.
struct ShellInput {
    bool interactive = false;  // a terminal: prompt, editing, completion
    // The lines of a batch file; without them, standard input is read.
    std::optional<std::vector<std::string>> lines;
    std::string source = "standard input";  // what the lines are, for messages
};

class Shell {
public:
    // session and console must outlive the shell.
    Shell(Session& session, Console& console, ShellInput input);
    Shell(const Shell&) = delete;
    Shell& operator=(const Shell&) = delete;

    // Connects, logs in when -u was given, and reads commands until quit or
    // the end of the input. Interactive: returns the exit code of the last
    // command that failed (0 when none did). A batch: the code of the
    // command it stopped at, else that of the last failure on a '-' line.
    // 3 when the server closed the connection.
    int run();

    // What Tab may complete the word being typed to, after `words`: the
    // commands, their options, files of the own folder, catalog lines and
    // local paths, as the command and the word's place call for.
    std::vector<std::string> candidates(const std::vector<std::string>& words,
                                        const std::string& partial);

private:
    int execute(const std::vector<std::string>& words);
    std::string prompt() const;
    // The next line; false at the end of the input.
    bool nextLine(std::string& line, bool& interrupted);
    const std::vector<std::string>& ownNames();
    const std::vector<std::string>& catalogLines();

    Session& session_;
    Console& console_;
    ShellInput input_;
    std::size_t nextIndex_ = 0;  // in input_.lines
    InputLines standardInput_;
    bool quit_ = false;
    // Asked for once per command line, at its first Tab.
    std::optional<std::vector<std::string>> ownCache_;
    std::optional<std::vector<std::string>> catalogCache_;
};

// The local paths that begin with `partial`; folders end in '/'. Hidden
// entries only when the name part begins with '.'.
std::vector<std::string> localPathsStartingWith(const std::string& partial);

}  // namespace vextora::client
