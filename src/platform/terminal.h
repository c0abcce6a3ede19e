// Terminal: what the client program needs of the terminal, the standard
// streams and Ctrl+C.
//
// Whether a standard stream is a terminal and how wide it is; a password
// prompt that does not echo; raw reads and writes of the standard streams
// that a Ctrl+C can cut short; and an interrupt scope, inside which Ctrl+C
// (SIGINT) raises a flag instead of ending the process, so that a running
// transfer can be cancelled cleanly.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

namespace vextora {

enum class StandardStream { Input = 0, Output = 1, Error = 2 };

bool isTerminal(StandardStream stream);
// Columns of the terminal on `stream`; `fallback` when it is none or cannot say.
int terminalColumns(StandardStream stream, int fallback = 80);

enum class SecretResult { Read, NoTerminal, Interrupted, Failed };
// Writes `prompt` to the controlling terminal and reads one line there with
// echo off (the line end is not part of `secret`), then restores the echo,
// also after a Ctrl+C. NoTerminal, with nothing written, when the process has
// no controlling terminal.
SecretResult readSecret(std::string_view prompt, std::string& secret);

// While one exists, SIGINT sets the interrupt flag instead of ending the
// process, and a blocking read or write of the standard streams fails rather
// than being restarted. Scopes nest; the outermost puts back what was there.
class InterruptScope {
public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
};

// Raised by SIGINT inside a scope; lowered only by clearInterrupt().
const std::atomic<bool>& interruptFlag();
bool interrupted();
void clearInterrupt();

// Waits until standard input can be read (or has ended): true; or until a
// Ctrl+C inside an interrupt scope: false. A Ctrl+C that came just before
// the wait ends it too, so none is ever lost to the race.
bool waitForInput();
// One read of standard input: bytes read, 0 at its end, -1 on failure
// (also when a Ctrl+C cut the read short; interrupted() tells).
long readStandardInput(void* buffer, std::size_t capacity);
// Writes all of it to standard output, unbuffered. False on failure, or when
// a Ctrl+C cut the write short.
bool writeStandardOutput(const void* data, std::size_t length);

// Standard input, line by line, for scripted sessions. Buffered, and shares
// nothing with the C library's stdin buffer.
class InputLines {
public:
    enum Result { Line, End, Interrupted, Failed };
    // The next line, without its LF (or CR LF). A last line without a line
    // end still counts. After Interrupted, what was read stays for the next call.
    Result next(std::string& line);

private:
    std::string pending_;
    bool ended_ = false;
};

}  // namespace vextora
