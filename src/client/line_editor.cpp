#include "client/line_editor.h"

#include <histedit.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "client/names.h"
#include "client/shell.h"
#include "platform/terminal.h"

namespace vextora::client {

namespace {

constexpr int HISTORY_SIZE = 500;

// Characters, as libedit counts them, in text of the user's character set.
int characterCount(const std::string& text) {
    std::mbstate_t state{};
    int count = 0;
    for (std::size_t at = 0; at < text.size(); ++count) {
        std::size_t length = std::mbrlen(text.data() + at, text.size() - at, &state);
        if (length == 0 || length == static_cast<std::size_t>(-1) ||
            length == static_cast<std::size_t>(-2)) {
            length = 1;
            state = {};
        }
        at += length;
    }
    return count;
}

LineEditor* owner(EditLine* editor) {
    void* data = nullptr;
    el_get(editor, EL_CLIENTDATA, &data);
    return static_cast<LineEditor*>(data);
}

}  // namespace

LineEditor::LineEditor(const char* program, Completer completer)
    : completer_(std::move(completer)) {
    editor_ = el_init(program, stdin, stdout, stderr);
    history_ = history_init();
    HistEvent event;
    history(history_, &event, H_SETSIZE, HISTORY_SIZE);
    history(history_, &event, H_SETUNIQUE, 1);
    el_set(editor_, EL_CLIENTDATA, this);
    el_set(editor_, EL_PROMPT, &LineEditor::promptOf);
    el_set(editor_, EL_EDITOR, "emacs");
    el_wset(editor_, EL_GETCFN, &LineEditor::readCharacter);
    el_set(editor_, EL_HIST, history, history_);
    // The wide form keeps these static strings as they are; the narrow one
    // copies them and never frees the copies.
    el_wset(editor_, EL_ADDFN, L"vextora-complete", L"complete the word at the cursor",
            &LineEditor::complete);
    el_set(editor_, EL_BIND, "^I", "vextora-complete", nullptr);
    // The user's own ~/.editrc may rebind keys, as in other programs.
    el_source(editor_, nullptr);
}

LineEditor::~LineEditor() {
    el_end(editor_);
    history_end(history_);
}

const char* LineEditor::promptOf(EditLine* editor) {
    return owner(editor)->prompt_.c_str();
}

unsigned char LineEditor::complete(EditLine* editor, int) {
    LineEditor* self = owner(editor);
    const LineInfo* line = el_line(editor);
    std::string typed(line->buffer, line->cursor);
    LinePrefix prefix = splitPrefix(typed);
    std::vector<std::string> found;
    for (auto& candidate : self->completer_(prefix.words, prefix.partial)) {
        if (candidate.starts_with(prefix.partial)) found.push_back(std::move(candidate));
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    if (found.empty()) return CC_ERROR;

    // What they all begin with.
    std::string shared = found[0];
    for (const auto& word : found) {
        std::size_t same = 0;
        while (same < shared.size() && same < word.size() && shared[same] == word[same]) ++same;
        shared.resize(same);
    }
    bool unique = found.size() == 1;
    if (shared.size() > prefix.partial.size() || unique) {
        // The word is typed anew, so that a name with blanks gets its quote.
        char quote = prefix.quote;
        if (quote == 0 && shared.find_first_of(" \t\"'") != std::string::npos)
            quote = shared.find('"') == std::string::npos ? '"' : '\'';
        std::string word = quote != 0 ? quote + shared : shared;
        // A folder goes on being typed; anything else is a whole word.
        if (unique && !shared.ends_with('/')) {
            if (quote != 0) word += quote;
            word += ' ';
        }
        el_deletestr(editor, characterCount(typed.substr(prefix.start)));
        el_insertstr(editor, word.c_str());
        return CC_REFRESH;
    }
    // Nothing to add: show the choices, as many as make sense.
    constexpr std::size_t SHOWN = 100;
    std::fputc('\n', stdout);
    for (std::size_t index = 0; index < found.size() && index < SHOWN; ++index)
        std::fprintf(stdout, "%s  ", printable(found[index]).c_str());
    if (found.size() > SHOWN) std::fprintf(stdout, "(and %zu more)", found.size() - SHOWN);
    std::fputc('\n', stdout);
    return CC_REDISPLAY;
}

int LineEditor::readCharacter(EditLine*, wchar_t* character) {
    // libedit's own reader waits in read(), where a Ctrl+C that arrives
    // while a key is being handled is only seen at the next key. This one
    // waits so that no Ctrl+C is missed, and then reads one character.
    char bytes[MB_LEN_MAX];
    std::size_t count = 0;
    for (;;) {
        if (!waitForInput()) {
            errno = EINTR;
            return -1;
        }
        long got = readStandardInput(bytes + count, 1);
        if (got == 0) return 0;
        if (got < 0) {
            if (interrupted()) errno = EINTR;
            return -1;
        }
        ++count;
        std::mbstate_t state{};
        wchar_t wide = 0;
        std::size_t used = std::mbrtowc(&wide, bytes, count, &state);
        if (used == static_cast<std::size_t>(-2) && count < sizeof bytes) continue;
        if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) {
            count = 0;  // not a character in this locale: dropped, as libedit does
            continue;
        }
        *character = wide;
        return 1;
    }
}

LineEditor::Result LineEditor::read(const std::string& prompt, std::string& line) {
    prompt_ = prompt;
    int count = 0;
    errno = 0;
    const char* text = el_gets(editor_, &count);
    if (text == nullptr) {
        // A Ctrl+C (inside the shell's interrupt scope) fails the read and
        // drops the typed line.
        return interrupted() ? Interrupted : End;
    }
    line.assign(text, static_cast<std::size_t>(count));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return Line;
}

void LineEditor::remember(const std::string& line) {
    HistEvent event;
    history(history_, &event, H_ENTER, line.c_str());
}

}  // namespace vextora::client
