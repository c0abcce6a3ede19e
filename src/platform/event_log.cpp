#include "platform/event_log.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>

namespace vextora {

namespace {

// The length of the UTF-8 sequence at `at`, or 0 when the bytes there are
// not one (a stray continuation, an overlong form, a surrogate, past U+10FFFF).
std::size_t sequenceLength(const unsigned char* at, std::size_t left) {
    unsigned char lead = at[0];
    if (lead < 0x80) return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < length || at[1] < low || at[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (at[i] < 0x80 || at[i] > 0xBF) return 0;
    }
    return length;
}

// Bytes a terminal or a log reader must not get raw: C0 controls, DEL, and
// the C1 controls (U+0080..U+009F, which some terminals obey as escapes).
bool isControl(const unsigned char* at, std::size_t length) {
    if (length == 1) return at[0] < 0x20 || at[0] == 0x7F;
    return length == 2 && at[0] == 0xC2 && at[1] <= 0x9F;
}

bool needsQuotes(std::string_view value) {
    if (value.empty()) return true;
    auto bytes = reinterpret_cast<const unsigned char*>(value.data());
    for (std::size_t at = 0; at < value.size();) {
        std::size_t length = sequenceLength(bytes + at, value.size() - at);
        if (length == 0 || isControl(bytes + at, length)) return true;
        if (bytes[at] == ' ' || bytes[at] == '"' || bytes[at] == '=') return true;
        at += length;
    }
    return false;
}

void appendHexEscape(std::string& line, unsigned char byte) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    line += "\\x";
    line += DIGITS[byte >> 4];
    line += DIGITS[byte & 0xF];
}

void appendTimestamp(std::string& line) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char text[96];  // room for any int the fields could hold
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  now.tv_nsec / 1000000);
    line += text;
}

// Whether JOURNAL_STREAM ("device:inode", as systemd writes it) names the
// file `info` describes.
bool namesFile(std::string_view stream, const struct stat& info) {
    unsigned long long device = 0, inode = 0;
    std::string text(stream);
    char rest = 0;
    if (std::sscanf(text.c_str(), "%llu:%llu%c", &device, &inode, &rest) != 2) return false;
    return device == static_cast<unsigned long long>(info.st_dev) &&
           inode == static_cast<unsigned long long>(info.st_ino);
}

}  // namespace

std::optional<LogLevel> parseLogLevel(std::string_view text) {
    if (text == "quiet") return LogLevel::Quiet;
    if (text == "events") return LogLevel::Events;
    if (text == "debug") return LogLevel::Debug;
    return std::nullopt;
}

LogValue LogValue::seconds(std::uint64_t milliseconds) {
    LogValue value;
    value.kind_ = Kind::Milliseconds;
    value.unsigned_ = milliseconds;
    return value;
}

void LogValue::appendTo(std::string& line) const {
    char number[32];
    switch (kind_) {
        case Kind::Text:
            return appendLogfmtValue(line, text_);
        case Kind::Signed:
            std::snprintf(number, sizeof number, "%lld", static_cast<long long>(signed_));
            break;
        case Kind::Unsigned:
            std::snprintf(number, sizeof number, "%llu",
                          static_cast<unsigned long long>(unsigned_));
            break;
        case Kind::Milliseconds:
            std::snprintf(number, sizeof number, "%llu.%03llu",
                          static_cast<unsigned long long>(unsigned_ / 1000),
                          static_cast<unsigned long long>(unsigned_ % 1000));
            break;
    }
    line += number;
}

void appendLogfmtValue(std::string& line, std::string_view value) {
    if (!needsQuotes(value)) {
        line += value;
        return;
    }
    line += '"';
    auto bytes = reinterpret_cast<const unsigned char*>(value.data());
    for (std::size_t at = 0; at < value.size();) {
        std::size_t length = sequenceLength(bytes + at, value.size() - at);
        if (length == 0) {
            appendHexEscape(line, bytes[at++]);
            continue;
        }
        if (isControl(bytes + at, length)) {
            unsigned char byte = bytes[at];
            if (byte == '\n') {
                line += "\\n";
            } else if (byte == '\r') {
                line += "\\r";
            } else if (byte == '\t') {
                line += "\\t";
            } else {
                for (std::size_t i = 0; i < length; ++i) appendHexEscape(line, bytes[at + i]);
            }
        } else if (bytes[at] == '"' || bytes[at] == '\\') {
            line += '\\';
            line += static_cast<char>(bytes[at]);
        } else {
            line.append(value.data() + at, length);
        }
        at += length;
    }
    line += '"';
}

EventLog& EventLog::process() {
    static EventLog log;
    return log;
}

void EventLog::open(int descriptor, LogLevel level, std::string_view journalStream) {
    struct stat info {};
    if (::fstat(descriptor, &info) != 0) return;  // nowhere to log to
    descriptor_ = descriptor;
    level_ = level;
    socket_ = S_ISSOCK(info.st_mode);
    journal_ = !journalStream.empty() && namesFile(journalStream, info);
}

std::string EventLog::format(LogPriority priority, std::string_view event,
                             std::span<const LogField> fields) const {
    std::string line;
    line.reserve(160);
    if (journal_) {
        line += '<';
        line += static_cast<char>('0' + static_cast<int>(priority));
        line += '>';
    } else {
        line += "ts=";
        appendTimestamp(line);
        line += ' ';
    }
    line += "event=";
    line += event;
    for (const LogField& field : fields) {
        line += ' ';
        line += field.key;
        line += '=';
        field.value.appendTo(line);
    }
    return line;
}

void EventLog::write(LogLevel level, LogPriority priority, std::string_view event,
                     std::span<const LogField> fields) {
    if (!logs(level)) return;
    std::string line = format(priority, event, fields);
    line += '\n';
    submit(std::move(line));
}

void EventLog::submit(std::string line) {
    std::size_t sent = 0;
    // Behind lines that wait, a line waits too: the order stays.
    if (pending_.empty()) {
        sent = sendSome(line.data(), line.size());
        if (descriptor_ < 0) return;
        if (sent == line.size()) return reportDropped();
    }
    // The rest of a line begun is always kept (it is short, and the buffer
    // was empty); a whole line only while it fits.
    if (sent == 0 && pending_.size() + line.size() > BUFFER_LIMIT) {
        ++dropped_;
        return;
    }
    pending_.append(line, sent);
}

void EventLog::sendPending() {
    std::size_t sent = sendSome(pending_.data(), pending_.size());
    if (descriptor_ < 0) return;
    pending_.erase(0, sent);
    if (!pending_.empty()) return;
    // What a long block left behind is not kept for good.
    if (pending_.capacity() > 65536) std::string().swap(pending_);
    reportDropped();
}

void EventLog::reportDropped() {
    // The report of a loss may be lost itself; it is then counted for the next.
    if (dropped_ == 0 || reporting_) return;
    reporting_ = true;
    LogField count{"lines", dropped_};
    dropped_ = 0;
    std::string line = format(LogPriority::Warning, "log_dropped", {&count, 1});
    line += '\n';
    submit(std::move(line));
    reporting_ = false;
}

std::size_t EventLog::sendSome(const char* data, std::size_t length) {
    std::size_t total = 0;
    while (total < length && descriptor_ >= 0) {
        ssize_t put;
        if (socket_) {
            put = ::send(descriptor_, data + total, length - total, MSG_DONTWAIT | MSG_NOSIGNAL);
        } else {
            pollfd entry{descriptor_, POLLOUT, 0};
            int ready = ::poll(&entry, 1, 0);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) break;
            // Whole lines where they fit, so that nothing else written to the
            // descriptor lands inside one; never more than a pipe takes whole.
            std::size_t chunk = std::min<std::size_t>(length - total, PIPE_BUF);
            if (chunk < length - total) {
                std::string_view window(data + total, chunk);
                std::size_t lastEnd = window.rfind('\n');
                if (lastEnd != std::string_view::npos) chunk = lastEnd + 1;
            }
            put = ::write(descriptor_, data + total, chunk);
        }
        if (put < 0) {
            int error = errno;
            if (error == EINTR) continue;
            if (error == EAGAIN || error == EWOULDBLOCK) break;
            // A full disk, or a quota, may have room again later: the lines
            // wait as for a reader that is slow.
            if (error == ENOSPC || error == EDQUOT || error == EFBIG) break;
            fail();  // the reader is gone, the terminal hung up, the descriptor is no more
            break;
        }
        if (put == 0) break;
        total += static_cast<std::size_t>(put);
    }
    return total;
}

void EventLog::fail() {
    descriptor_ = -1;
    std::string().swap(pending_);
    dropped_ = 0;
}

void EventLog::flush(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (descriptor_ >= 0 && !pending_.empty()) {
        sendPending();
        if (descriptor_ < 0 || pending_.empty()) return;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd entry{descriptor_, POLLOUT, 0};
        ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 50)));
    }
}

}  // namespace vextora
