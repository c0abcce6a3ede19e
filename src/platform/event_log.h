// EventLog: what the server did, one line per event, for the operator.
//
// A line is logfmt: `key=value` pairs joined by blanks, the first two being
// `ts=` (ISO 8601, UTC, in milliseconds) and `event=`. A value with a blank,
// a quote, an `=`, a control byte or bytes that are not UTF-8 is quoted, and
// inside the quotes `\` and `"` are escaped with a backslash, LF, CR and tab
// read \n, \r and \t, and any other such byte \xNN. Under journald, which
// stamps every entry itself, the line carries no ts; it begins instead with
// its syslog priority ("<6>"), which journald takes off and keeps.
//
// Logging never holds the loop. A line goes out at once if the descriptor
// takes it without waiting; otherwise it waits in a buffer of at most
// BUFFER_LIMIT bytes, which drain() (once a pass) sends on as the descriptor
// takes it. A line that finds the buffer full is dropped and counted, and
// once the buffer is empty again a `log_dropped` line says how many were
// lost. The descriptor's own flags are left alone: standard error is shared
// with whoever started the server, a shell or a terminal, which a
// non-blocking flag would surprise. A socket (journald's) is sent to with
// MSG_DONTWAIT; anything else is first asked with poll whether it can take
// bytes, and is then given at most PIPE_BUF bytes in one write, which a pipe
// that reported room takes whole.
//
// A descriptor that fails for good (a pipe whose reader is gone) ends the
// log: nothing more is written or kept. A file on a full disk is waited for
// as a slow reader is.
//
// The process has one log (process()), quiet until open(): servers that tests
// run inside their own process write nothing. Only the loop's thread logs.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace vextora {

enum class LogLevel : std::uint8_t {
    Quiet,   // nothing
    Events,  // what an operator follows: logins, transfers, catalog changes, stops
    Debug,   // also every connection and request
};

// "quiet", "events" or "debug".
std::optional<LogLevel> parseLogLevel(std::string_view text);

// One value of a line: text, a whole number, or a duration in milliseconds
// that the line shows in seconds ("1.250"). Text is viewed, not copied: a
// value lives only for the call that logs it.
class LogValue {
public:
    LogValue(std::string_view text) : kind_(Kind::Text), text_(text) {}
    LogValue(const char* text) : kind_(Kind::Text), text_(text) {}
    LogValue(const std::string& text) : kind_(Kind::Text), text_(text) {}
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>) LogValue(T number) {
        if constexpr (std::is_signed_v<T>) {
            kind_ = Kind::Signed;
            signed_ = number;
        } else {
            kind_ = Kind::Unsigned;
            unsigned_ = number;
        }
    }
    static LogValue seconds(std::uint64_t milliseconds);

    void appendTo(std::string& line) const;

private:
    enum class Kind : std::uint8_t { Text, Signed, Unsigned, Milliseconds };
    LogValue() = default;

    Kind kind_ = Kind::Text;
    std::string_view text_;
    std::int64_t signed_ = 0;
    std::uint64_t unsigned_ = 0;
};

// A key is one of the log's own names (lower case and underscores), never
// anything a client sent.
struct LogField {
    std::string_view key;
    LogValue value;
};

// Appends `value` as logfmt writes it: bare, or quoted and escaped.
void appendLogfmtValue(std::string& line, std::string_view value);

// Syslog priorities, for journald.
enum class LogPriority : std::uint8_t { Error = 3, Warning = 4, Info = 6, Debug = 7 };

class EventLog {
public:
    static constexpr std::size_t BUFFER_LIMIT = 256 * 1024;

    EventLog() = default;
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // The process's log, quiet until opened.
    static EventLog& process();

    // Logs to `descriptor` (not owned; it must stay open) from now on, the
    // events up to `level`. `journalStream` is the JOURNAL_STREAM variable
    // ("device:inode"), empty when unset: when it names this descriptor, the
    // descriptor is journald's and lines carry a priority instead of a time.
    void open(int descriptor, LogLevel level, std::string_view journalStream);
    bool logs(LogLevel level) const {
        return descriptor_ >= 0 && level != LogLevel::Quiet && level <= level_;
    }
    bool forJournal() const { return journal_; }

    // One line, when `level` is logged.
    void write(LogLevel level, LogPriority priority, std::string_view event,
               std::span<const LogField> fields);
    void write(LogLevel level, LogPriority priority, std::string_view event,
               std::initializer_list<LogField> fields) {
        write(level, priority, event, std::span<const LogField>(fields.begin(), fields.size()));
    }

    // Sends on what waits, as far as the descriptor takes it without waiting.
    void drain() {
        if (!pending_.empty()) sendPending();
    }
    bool hasPending() const { return !pending_.empty(); }
    std::size_t pendingBytes() const { return pending_.size(); }
    std::uint64_t droppedLines() const { return dropped_; }
    // At the end of the run: waits up to timeoutMs for everything to go out.
    void flush(int timeoutMs);

    // The line `write` would make, without its line end (for the tests).
    std::string format(LogPriority priority, std::string_view event,
                       std::span<const LogField> fields) const;
    std::string format(LogPriority priority, std::string_view event,
                       std::initializer_list<LogField> fields) const {
        return format(priority, event, std::span<const LogField>(fields.begin(), fields.size()));
    }

private:
    void submit(std::string line);
    void sendPending();
    // Once nothing waits, says how many lines were lost since the last report.
    void reportDropped();
    // Sends what the descriptor takes without waiting; the count sent.
    std::size_t sendSome(const char* data, std::size_t length);
    void fail();

    int descriptor_ = -1;
    LogLevel level_ = LogLevel::Quiet;
    bool socket_ = false;
    bool journal_ = false;
    std::string pending_;
    std::uint64_t dropped_ = 0;
    bool reporting_ = false;
};

// The process's log, at each level.
inline void logEvent(std::string_view event, std::initializer_list<LogField> fields) {
    EventLog::process().write(LogLevel::Events, LogPriority::Info, event, fields);
}
inline void logEvent(std::string_view event, std::span<const LogField> fields) {
    EventLog::process().write(LogLevel::Events, LogPriority::Info, event, fields);
}
inline void logFailure(std::string_view event, std::initializer_list<LogField> fields) {
    EventLog::process().write(LogLevel::Events, LogPriority::Error, event, fields);
}
inline bool logsDebug() {
    return EventLog::process().logs(LogLevel::Debug);
}
inline void logDebug(std::string_view event, std::initializer_list<LogField> fields) {
    EventLog::process().write(LogLevel::Debug, LogPriority::Debug, event, fields);
}

}  // namespace vextora
