// LineEditor: the interactive shell's input line, with editing, history and
// Tab completion (libedit, on the standard streams).
//
// Meant for a terminal only; scripted input is read with InputLines.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct editline;
struct history;

namespace vextora::client {

class LineEditor {
public:
    // What the word being typed may become, given the complete words before
    // it; those that do not begin with `partial` are left out.
    using Completer = std::function<std::vector<std::string>(const std::vector<std::string>& words,
                                                             const std::string& partial)>;

    // Tab completes the word at the cursor from what `completer` offers: to
    // the one candidate, quoted when it holds blanks, or as far as all of
    // them agree, listing them when that adds nothing.
    LineEditor(const char* program, Completer completer);
    ~LineEditor();
    LineEditor(const LineEditor&) = delete;
    LineEditor& operator=(const LineEditor&) = delete;

    enum Result { Line, Interrupted, End };
    // Shows `prompt` and reads one line, without its line end. Interrupted
    // after a Ctrl+C (inside an InterruptScope): the typed line is dropped.
    Result read(const std::string& prompt, std::string& line);
    // Adds a line to the history that the arrow keys walk through.
    void remember(const std::string& line);

private:
    static const char* promptOf(editline* editor);
    static unsigned char complete(editline* editor, int key);
    static int readCharacter(editline* editor, wchar_t* character);

    editline* editor_ = nullptr;
    history* history_ = nullptr;
    std::string prompt_;
    Completer completer_;
};

}  // namespace vextora::client
