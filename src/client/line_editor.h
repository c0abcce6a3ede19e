// LineEditor: the interactive shell's input line, with editing, history and
// completion of command words (libedit, on the standard streams).
//
// Meant for a terminal only; scripted input is read with InputLines.
#pragma once

#include <string>
#include <vector>

struct editline;
struct history;

namespace vextora::client {

class LineEditor {
public:
    // `words` are completed by Tab at the start of a line.
    LineEditor(const char* program, std::vector<std::string> words);
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
    std::vector<std::string> words_;
};

}  // namespace vextora::client
