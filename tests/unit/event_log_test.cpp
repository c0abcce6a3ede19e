// The event log: how values are written, what a line carries where, and a
// log whose descriptor does not take its lines (a pipe nobody reads, a full
// socket) without ever waiting for it.
#include "platform/event_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

namespace vextora {
namespace {

std::string logfmt(std::string_view value) {
    std::string line;
    appendLogfmtValue(line, value);
    return line;
}

TEST(LogfmtValues, QuotedAndEscapedOnlyWhereAReaderWouldMisreadThem) {
    struct Case {
        std::string value;
        std::string written;
    };
    const Case cases[] = {
        {"BOB", "BOB"},
        {"127.0.0.1", "127.0.0.1"},
        {"BOB\\notes.txt", "BOB\\notes.txt"},  // a bare backslash is itself
        {"", "\"\""},
        {"two words", "\"two words\""},
        {"a=b", "\"a=b\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"back\\slash and blank", "\"back\\\\slash and blank\""},
        {"line\nend", "\"line\\nend\""},
        {"cr\rtab\t", "\"cr\\rtab\\t\""},
        {std::string("nul\0byte", 8), "\"nul\\x00byte\""},
        {"\x1b[31mred", "\"\\x1b[31mred\""},  // a terminal escape is never passed on
        {"del\x7f", "\"del\\x7f\""},
        {"\xc2\x9b"
         "2J",
         "\"\\xc2\\x9b2J\""},            // the C1 form of the same escape
        {"caf\xc3\xa9", "caf\xc3\xa9"},  // UTF-8 goes as it is
        {"\xe6\x97\xa5\xe6\x9c\xac", "\xe6\x97\xa5\xe6\x9c\xac"},
        {"bad\xff", "\"bad\\xff\""},                      // not UTF-8
        {"cut\xc3", "\"cut\\xc3\""},                      // a sequence cut short
        {"over\xc0\xaf", "\"over\\xc0\\xaf\""},           // an overlong '/'
        {"half\xed\xa0\x80", "\"half\\xed\\xa0\\x80\""},  // a surrogate
    };
    for (const Case& c : cases) EXPECT_EQ(logfmt(c.value), c.written) << c.value;
}

TEST(LogLines, CarryTimeEventAndFieldsInOrder) {
    EventLog log;
    std::string line = log.format(LogPriority::Info, "upload_end",
                                  {{"user", "BOB"},
                                   {"name", "my notes.txt"},
                                   {"bytes", std::uint32_t{4096}},
                                   {"offset", -3},
                                   {"seconds", LogValue::seconds(1250)},
                                   {"quick", LogValue::seconds(7)}});
    std::regex shape(R"(ts=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z event=upload_end user=BOB )"
                     R"(name="my notes.txt" bytes=4096 offset=-3 seconds=1\.250 quick=0\.007)");
    EXPECT_TRUE(std::regex_match(line, shape)) << line;
}

TEST(LogLines, TakeTheirTimeFromTheWallClockInUtc) {
    EventLog log;
    std::string line = log.format(LogPriority::Info, "start", {});
    ASSERT_GE(line.size(), 27u);
    std::tm parsed{};
    ASSERT_NE(::strptime(line.substr(3, 19).c_str(), "%Y-%m-%dT%H:%M:%S", &parsed), nullptr)
        << line;
    long stamped = static_cast<long>(::timegm(&parsed));
    long now = static_cast<long>(::time(nullptr));
    EXPECT_LE(std::labs(now - stamped), 5) << line;
}

// A pipe whose read end the test holds; the log writes to the other end.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int ends[2];
        EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        read = ends[0];
        write = ends[1];
        // The smallest pipe the system makes: it is full after a few lines.
        ::fcntl(write, F_SETPIPE_SZ, 4096);
        ::fcntl(read, F_SETFL, ::fcntl(read, F_GETFL) | O_NONBLOCK);
    }
    ~Pipe() {
        if (read >= 0) ::close(read);
        if (write >= 0) ::close(write);
    }
    // Everything waiting in the pipe now.
    std::string take() const {
        std::string got;
        char buffer[65536];
        for (;;) {
            ssize_t n = ::read(read, buffer, sizeof buffer);
            if (n <= 0) return got;
            got.append(buffer, static_cast<std::size_t>(n));
        }
    }
};

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "a line was cut: " << text.substr(start);
    return lines;
}

TEST(EventLogLevels, EachLevelLogsItsEventsAndThoseBelow) {
    struct Case {
        LogLevel level;
        std::size_t lines;  // of one event line and one debug line
    };
    for (Case c : {Case{LogLevel::Quiet, 0}, Case{LogLevel::Events, 1}, Case{LogLevel::Debug, 2}}) {
        Pipe pipe;
        EventLog log;
        log.open(pipe.write, c.level, "");
        log.write(LogLevel::Events, LogPriority::Info, "login", {{"user", "BOB"}});
        log.write(LogLevel::Debug, LogPriority::Debug, "request", {{"request", "info"}});
        // The small pipe takes the second line only once the first is read.
        std::string text = pipe.take();
        log.drain();
        text += pipe.take();
        EXPECT_EQ(linesOf(text).size(), c.lines) << static_cast<int>(c.level);
    }
    EXPECT_EQ(parseLogLevel("events"), LogLevel::Events);
    EXPECT_EQ(parseLogLevel("debug"), LogLevel::Debug);
    EXPECT_EQ(parseLogLevel("quiet"), LogLevel::Quiet);
    EXPECT_EQ(parseLogLevel("EVENTS"), std::nullopt);
    EXPECT_EQ(parseLogLevel(""), std::nullopt);
}

TEST(EventLogLevels, UnopenedLogWritesNothingAndKeepsNothing) {
    EventLog log;
    log.write(LogLevel::Events, LogPriority::Info, "login", {{"user", "BOB"}});
    EXPECT_FALSE(log.logs(LogLevel::Events));
    EXPECT_FALSE(log.hasPending());
}

// journald hands a service a socket for its standard error and names it in
// JOURNAL_STREAM as "device:inode".
std::string streamName(int handle) {
    struct stat info {};
    EXPECT_EQ(::fstat(handle, &info), 0);
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

TEST(EventLogJournal, LinesForJournaldCarryAPriorityAndNoTime) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    EventLog log;
    log.open(ends[0], LogLevel::Debug, streamName(ends[0]));
    EXPECT_TRUE(log.forJournal());
    log.write(LogLevel::Events, LogPriority::Info, "login", {{"user", "BOB"}});
    log.write(LogLevel::Events, LogPriority::Error, "file_error", {{"what", "upload_write"}});
    log.write(LogLevel::Debug, LogPriority::Debug, "request", {{"request", "info"}});
    char buffer[512];
    ssize_t got = ::recv(ends[1], buffer, sizeof buffer, MSG_DONTWAIT);
    ASSERT_GT(got, 0);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(got)),
              "<6>event=login user=BOB\n<3>event=file_error what=upload_write\n"
              "<7>event=request request=info\n");
    ::close(ends[0]);
    ::close(ends[1]);
}

TEST(EventLogJournal, AJournalStreamOfAnotherFileKeepsTheTime) {
    // A child of a service, its standard error sent elsewhere, still inherits
    // the variable: only the file it names is journald's.
    Pipe pipe, other;
    for (std::string stream : {std::string("1:1"), streamName(other.write), std::string("junk"),
                               streamName(pipe.write) + "x", ":" + streamName(pipe.write)}) {
        EventLog log;
        log.open(pipe.write, LogLevel::Events, stream);
        EXPECT_FALSE(log.forJournal()) << stream;
        log.write(LogLevel::Events, LogPriority::Info, "start", {});
        EXPECT_EQ(pipe.take().rfind("ts=", 0), 0u) << stream;
    }
}

using Clock = std::chrono::steady_clock;

// Writes lines until `count` were written or one took long; the longest.
// Nobody reads while the lines are written, so a write that waited for the
// reader would wait for good; a busy machine can still take a line's
// processor away for some milliseconds.
constexpr long NEVER_WAITED_US = 1'000'000;

std::chrono::microseconds writeLines(EventLog& log, int count, int from = 0) {
    std::chrono::microseconds longest{0};
    for (int i = from; i < from + count; ++i) {
        auto start = Clock::now();
        log.write(LogLevel::Events, LogPriority::Info, "login",
                  {{"user", "USER" + std::to_string(i)}, {"number", i}});
        longest = std::max(
            longest, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start));
    }
    return longest;
}

// The numbers of the login lines in `lines`, and the count a log_dropped line gave.
struct Received {
    std::vector<int> numbers;
    std::uint64_t dropped = 0;
    std::size_t droppedNotices = 0;
};

Received receivedOf(const std::vector<std::string>& lines) {
    Received got;
    std::regex login(R"(ts=\S+ event=login user=USER(\d+) number=(\d+))");
    std::regex dropped(R"(ts=\S+ event=log_dropped lines=(\d+))");
    for (const std::string& line : lines) {
        std::smatch match;
        if (std::regex_match(line, match, login)) {
            EXPECT_EQ(match[1], match[2]) << line;
            got.numbers.push_back(std::stoi(match[2]));
        } else if (std::regex_match(line, match, dropped)) {
            got.dropped += std::stoull(match[1]);
            ++got.droppedNotices;
        } else {
            ADD_FAILURE() << "not a line of the log: " << line;
        }
    }
    return got;
}

TEST(EventLogBlocked, APipeNobodyReadsNeverHoldsTheWriterAndLossesAreCounted) {
    ::signal(SIGPIPE, SIG_IGN);
    Pipe pipe;
    int flags = ::fcntl(pipe.write, F_GETFL);
    EventLog log;
    log.open(pipe.write, LogLevel::Events, "");
    // Far more than the pipe and the buffer hold together.
    constexpr int LINES = 12000;
    auto longest = writeLines(log, LINES);
    EXPECT_LT(longest.count(), NEVER_WAITED_US) << "a line waited for the reader";
    EXPECT_LE(log.pendingBytes(), EventLog::BUFFER_LIMIT);
    EXPECT_GT(log.pendingBytes(), EventLog::BUFFER_LIMIT - 200) << "the buffer was not used";
    EXPECT_GT(log.droppedLines(), 0u);
    EXPECT_EQ(::fcntl(pipe.write, F_GETFL), flags) << "the descriptor's flags were changed";

    // The reader comes back: everything kept goes out in order, then the count.
    std::string text;
    for (int round = 0; round < 100000 && (log.hasPending() || text.empty()); ++round) {
        text += pipe.take();
        log.drain();
    }
    text += pipe.take();
    ASSERT_FALSE(log.hasPending());
    Received got = receivedOf(linesOf(text));
    ASSERT_FALSE(got.numbers.empty());
    for (std::size_t i = 0; i < got.numbers.size(); ++i)
        ASSERT_EQ(got.numbers[i], static_cast<int>(i)) << "kept lines are the first, in order";
    EXPECT_EQ(got.droppedNotices, 1u);
    EXPECT_EQ(got.numbers.size() + got.dropped, static_cast<std::size_t>(LINES));
    EXPECT_EQ(log.droppedLines(), 0u);
    EXPECT_TRUE(linesOf(text).back().find("event=log_dropped") != std::string::npos);

    // Lost lines are counted afresh: the next block reports only its own.
    writeLines(log, LINES, LINES);
    std::uint64_t second = log.droppedLines();
    EXPECT_GT(second, 0u);
    text.clear();
    for (int round = 0; round < 100000 && (log.hasPending() || text.empty()); ++round) {
        text += pipe.take();
        log.drain();
    }
    text += pipe.take();
    got = receivedOf(linesOf(text));
    EXPECT_EQ(got.dropped, second);
    EXPECT_EQ(got.numbers.size() + got.dropped, static_cast<std::size_t>(LINES));
}

TEST(EventLogBlocked, AFullSocketIsSentToWithoutWaiting) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    int small = 4096;
    ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(ends[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    int flags = ::fcntl(ends[0], F_GETFL);
    EventLog log;
    log.open(ends[0], LogLevel::Events, "");
    constexpr int LINES = 12000;
    EXPECT_LT(writeLines(log, LINES).count(), NEVER_WAITED_US) << "a line waited for the reader";
    EXPECT_GT(log.droppedLines(), 0u);
    EXPECT_EQ(::fcntl(ends[0], F_GETFL), flags);

    std::string text;
    char buffer[65536];
    for (int round = 0; round < 100000 && (log.hasPending() || text.empty()); ++round) {
        ssize_t got = ::recv(ends[1], buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
        log.drain();
    }
    for (ssize_t got; (got = ::recv(ends[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    Received got = receivedOf(linesOf(text));
    EXPECT_EQ(got.droppedNotices, 1u);
    EXPECT_EQ(got.numbers.size() + got.dropped, static_cast<std::size_t>(LINES));
    ::close(ends[0]);
    ::close(ends[1]);
}

TEST(EventLogBlocked, AReaderThatIsGoneEndsTheLog) {
    ::signal(SIGPIPE, SIG_IGN);
    Pipe pipe;
    EventLog log;
    log.open(pipe.write, LogLevel::Events, "");
    writeLines(log, 1000);
    ASSERT_TRUE(log.hasPending());
    ::close(pipe.read);
    pipe.read = -1;
    log.drain();
    EXPECT_FALSE(log.hasPending()) << "nothing is kept for a reader that cannot come back";
    EXPECT_FALSE(log.logs(LogLevel::Events));
    EXPECT_LT(writeLines(log, 10).count(), NEVER_WAITED_US);
}

TEST(EventLogBlocked, AFullDiskIsWaitedForLikeASlowReader) {
    int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);  // every write: no space left
    ASSERT_GE(full, 0) << "no /dev/full here";
    EventLog log;
    log.open(full, LogLevel::Events, "");
    EXPECT_LT(writeLines(log, 5).count(), NEVER_WAITED_US);
    EXPECT_TRUE(log.logs(LogLevel::Events)) << "a full disk does not end the log";
    EXPECT_TRUE(log.hasPending());
    EXPECT_EQ(log.droppedLines(), 0u);
    // The disk has room again (the same descriptor, now a pipe that takes it).
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_EQ(::dup3(ends[1], full, O_CLOEXEC), full);
    log.drain();
    char buffer[4096];
    ssize_t got = ::read(ends[0], buffer, sizeof buffer);
    ASSERT_GT(got, 0);
    Received received = receivedOf(linesOf(std::string(buffer, static_cast<std::size_t>(got))));
    EXPECT_EQ(received.numbers, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_FALSE(log.hasPending());
    for (int handle : {ends[0], ends[1], full}) ::close(handle);
}

TEST(EventLogBlocked, FlushAtTheEndWaitsOnlyAsLongAsItIsAllowed) {
    Pipe pipe;
    EventLog log;
    log.open(pipe.write, LogLevel::Events, "");
    writeLines(log, 1000);
    ASSERT_TRUE(log.hasPending());
    auto start = Clock::now();
    log.flush(150);
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_GE(waited.count(), 140);
    EXPECT_LT(waited.count(), 2000);
    EXPECT_TRUE(log.hasPending());
}

}  // namespace
}  // namespace vextora
