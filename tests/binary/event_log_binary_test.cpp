// The real program's event log on standard error: what a whole session of
// clients leaves in it, how it reads under journald, and a log nobody reads.
// Fixed ports: these hold the same resource lock as the other program tests.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "binary/server_process.h"
#include "client/client.h"
#include "support/temp_dir.h"

namespace vextora::test {
namespace {

using Fields = std::map<std::string, std::string>;

// One logfmt line back into its fields; false when it is not well formed.
bool parseLine(const std::string& line, Fields& fields) {
    std::size_t at = 0;
    while (at < line.size()) {
        std::size_t equals = line.find('=', at);
        if (equals == std::string::npos || equals == at) return false;
        std::string key = line.substr(at, equals - at);
        if (!std::all_of(key.begin(), key.end(),
                         [](char c) { return std::islower(c) || c == '_'; }))
            return false;
        std::string value;
        at = equals + 1;
        if (at < line.size() && line[at] == '"') {
            for (++at;; ++at) {
                if (at >= line.size()) return false;
                char c = line[at];
                if (c == '"') break;
                if (c != '\\') {
                    value += c;
                    continue;
                }
                if (++at >= line.size()) return false;
                switch (line[at]) {
                    case 'n':
                        value += '\n';
                        break;
                    case 'r':
                        value += '\r';
                        break;
                    case 't':
                        value += '\t';
                        break;
                    case 'x':
                        if (at + 2 >= line.size()) return false;
                        value += static_cast<char>(std::stoi(line.substr(at + 1, 2), nullptr, 16));
                        at += 2;
                        break;
                    default:
                        value += line[at];
                }
            }
            ++at;
        } else {
            std::size_t end = line.find(' ', at);
            if (end == std::string::npos) end = line.size();
            value = line.substr(at, end - at);
            at = end;
        }
        if (!fields.emplace(key, value).second) return false;  // a key twice
        if (at < line.size() && line[at++] != ' ') return false;
    }
    return true;
}

// Every line of the log, each checked for its form.
std::vector<Fields> parseLog(const std::string& text, bool journal = false) {
    std::vector<Fields> lines;
    std::regex timeFirst(R"(ts=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z event=[a-z_]+( .*)?)");
    std::regex priorityFirst(R"(<[0-7]>event=[a-z_]+( .*)?)");
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (line.rfind("vextora-server: ", 0) == 0) continue;  // start-up warnings
        EXPECT_TRUE(std::regex_match(line, journal ? priorityFirst : timeFirst)) << line;
        Fields fields;
        EXPECT_TRUE(parseLine(journal ? line.substr(3) : line, fields)) << line;
        lines.push_back(std::move(fields));
    }
    EXPECT_EQ(start, text.size()) << "the log ends inside a line";
    return lines;
}

// The lines that hold every one of `wanted`.
std::vector<Fields> matching(const std::vector<Fields>& lines, const Fields& wanted) {
    std::vector<Fields> found;
    for (const Fields& line : lines) {
        bool all = std::all_of(wanted.begin(), wanted.end(), [&](const auto& entry) {
            auto it = line.find(entry.first);
            return it != line.end() && it->second == entry.second;
        });
        if (all) found.push_back(line);
    }
    return found;
}

std::string describe(const std::vector<Fields>& lines) {
    std::string text;
    for (const Fields& line : lines) {
        for (const auto& [key, value] : line) text += key + "=" + value + " ";
        text += "\n";
    }
    return text;
}

// The one line with `wanted`, and exactly the keys `keys` (besides ts and event).
Fields theLine(const std::vector<Fields>& lines, const Fields& wanted,
               std::vector<std::string> keys) {
    std::vector<Fields> found = matching(lines, wanted);
    EXPECT_EQ(found.size(), 1u) << "looking for " << describe({wanted}) << "in\n"
                                << describe(lines);
    if (found.empty()) return {};
    std::vector<std::string> present;
    for (const auto& [key, value] : found[0]) {
        if (key != "ts" && key != "event") present.push_back(key);
    }
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(present, keys) << describe({found[0]});
    return found[0];
}

bool isNumber(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), ::isdigit);
}

bool isSeconds(const std::string& text) {
    return std::regex_match(text, std::regex(R"(\d+\.\d{3})"));
}

client::Source bytesOf(const std::string& content) {
    auto offset = std::make_shared<std::size_t>(0);
    return [content, offset](std::uint8_t* buffer, std::size_t capacity) -> long {
        std::size_t n = std::min(capacity, content.size() - *offset);
        std::memcpy(buffer, content.data() + *offset, n);
        *offset += n;
        return static_cast<long>(n);
    };
}

constexpr const char* BOB_PASSWORD = "bob-Secret-4417";
constexpr const char* CAROL_PASSWORD = "carol-Secret-5531";
constexpr const char* WRONG_PASSWORD = "guess-Wrong-0921";
constexpr const char* ADMIN_PASSWORD = "boss-Pass-7730";
// A name a log must quote and escape to keep it whole.
const std::string NOTES = "field notes \"v2\" caf\xc3\xa9.txt";

// Registration, refused and accepted logins, an upload, downloads that end
// each way, a publish and a withdraw, an upload the disk refuses, a kick
// in the middle of an upload, and an administrator's stop. The server's
// standard error, once it has exited.
std::string runScriptedSession(const TempDir& dir, const std::string& level) {
    dir.write("adminpass.cfg", ADMIN_PASSWORD);
    dir.write("Users/BOB/big.bin", std::string(32 << 20, 'b'));
    dir.write("Users/BOB/locked.txt", "keep me");
    std::filesystem::permissions(dir / "Users/BOB/locked.txt",
                                 std::filesystem::perms::owner_read |
                                     std::filesystem::perms::group_read |
                                     std::filesystem::perms::others_read);
    ServerProcess server;
    EXPECT_TRUE(server.start(dir.str(), {"--headless", "--log=" + level}));

    client::Client bob;
    EXPECT_TRUE(bob.connect(3000));
    EXPECT_TRUE(bob.createAccount("bob", BOB_PASSWORD).ok());
    EXPECT_EQ(bob.login("bob", WRONG_PASSWORD).reply, REPLY_BAD_PASSWORD);
    EXPECT_EQ(bob.login("nobody", WRONG_PASSWORD).reply, REPLY_BAD_NAME);
    EXPECT_TRUE(bob.login("bob", BOB_PASSWORD).ok());

    std::string notes(100000, 'n');
    EXPECT_TRUE(bob.upload(NOTES, static_cast<std::uint32_t>(notes.size()), bytesOf(notes)).ok());
    std::string back;
    auto keep = [&](const std::uint8_t* data, std::size_t length) {
        back.append(reinterpret_cast<const char*>(data), length);
        return true;
    };
    EXPECT_TRUE(bob.download(NOTES, SELECT_OWN_FOLDER, keep).ok());
    EXPECT_EQ(back, notes);
    // Cancelled at its first piece, the download is far from its end.
    std::atomic<bool> cancel{false};
    auto cancelNow = [&](const std::uint8_t*, std::size_t) {
        cancel = true;
        return true;
    };
    client::TransferOptions smallPieces;
    smallPieces.pieceSize = 4096;
    smallPieces.cancel = &cancel;
    EXPECT_EQ(bob.download("big.bin", SELECT_OWN_FOLDER, cancelNow, smallPieces).kind,
              client::Status::Cancelled);
    EXPECT_EQ(bob.download("missing.bin", SELECT_OWN_FOLDER, keep).kind,
              client::Status::NotAvailable);
    EXPECT_TRUE(bob.setShared(NOTES, true));
    EXPECT_EQ(bob.listCatalog().value_or(std::vector<std::string>{}).size(), 1u);
    EXPECT_TRUE(bob.setShared(NOTES, false));
    EXPECT_EQ(bob.listCatalog().value_or(std::vector<std::string>{"?"}).size(), 0u);
    client::Status locked = bob.upload("locked.txt", 5, bytesOf("fresh"));
    EXPECT_EQ(locked.reply, REPLY_FAILED);
    EXPECT_TRUE(locked.afterData);

    // Carol's upload stops after its first piece and waits; the kick ends it.
    client::Client carol;
    EXPECT_TRUE(carol.connect(3000));
    EXPECT_TRUE(carol.createAccount("carol", CAROL_PASSWORD).ok());
    EXPECT_TRUE(carol.login("carol", CAROL_PASSWORD).ok());
    std::atomic<bool> kicked{false};
    std::thread uploading([&] {
        bool first = true;
        carol.upload("draft.txt", 1 << 20, [&](std::uint8_t* buffer, std::size_t capacity) -> long {
            if (first) {
                first = false;
                std::memset(buffer, 'c', std::min<std::size_t>(capacity, 65536));
                return static_cast<long>(std::min<std::size_t>(capacity, 65536));
            }
            for (int i = 0; i < 1000 && !kicked.load(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return -1;
        });
    });
    client::Client admin;
    EXPECT_TRUE(admin.connect(3000));
    EXPECT_TRUE(admin.login("admin", ADMIN_PASSWORD).ok());
    bool receiving = false;
    for (int i = 0; i < 500 && !receiving; ++i) {
        auto info = admin.userInfo("CAROL");
        receiving = info && info->direction == DIRECTION_TO_SERVER && info->transferDone > 0;
        if (!receiving) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(receiving) << "carol's upload never got going";
    EXPECT_TRUE(admin.kick("CAROL").ok());
    kicked = true;
    uploading.join();

    EXPECT_TRUE(admin.stopServer());
    EXPECT_EQ(server.wait(), 0);
    return server.stderrText();
}

void expectNoPassword(const std::string& log) {
    for (const char* password : {BOB_PASSWORD, CAROL_PASSWORD, WRONG_PASSWORD, ADMIN_PASSWORD})
        EXPECT_EQ(log.find(password), std::string::npos) << "a password in the log:\n" << log;
}

TEST(EventLogProgram, AScriptedSessionLeavesOneLinePerEventWithItsKeys) {
    TempDir dir;
    std::string log = runScriptedSession(dir, "events");
    expectNoPassword(log);
    std::vector<Fields> lines = parseLog(log);

    Fields start = theLine(lines, {{"event", "start"}},
                           {"version", "request_port", "transfer_port", "data", "max_clients"});
    EXPECT_EQ(start["request_port"], "23322");
    EXPECT_EQ(start["transfer_port"], "23323");
    EXPECT_EQ(start["data"], std::filesystem::canonical(dir.path()).string());
    EXPECT_TRUE(isNumber(start["max_clients"])) << start["max_clients"];
    EXPECT_TRUE(std::regex_match(start["version"], std::regex(R"(\d+\.\d+\.\d+)")));

    const std::vector<std::string> who = {"user", "address", "session"};
    auto with = [](std::vector<std::string> keys, std::vector<std::string> more) {
        keys.insert(keys.end(), more.begin(), more.end());
        return keys;
    };
    Fields created = theLine(lines, {{"event", "account_created"}, {"user", "BOB"}}, who);
    EXPECT_EQ(created["address"], "127.0.0.1");
    theLine(lines, {{"event", "account_created"}, {"user", "CAROL"}}, who);
    theLine(lines, {{"event", "login"}, {"user", "BOB"}, {"result", "wrong_password"}},
            with(who, {"result"}));
    theLine(lines, {{"event", "login"}, {"user", "NOBODY"}, {"result", "unknown_user"}},
            with(who, {"result"}));
    Fields loggedIn = theLine(lines, {{"event", "login"}, {"user", "BOB"}, {"result", "ok"}},
                              with(who, {"result"}));
    EXPECT_EQ(loggedIn["session"], created["session"]);
    theLine(lines, {{"event", "login"}, {"user", "ADMIN"}, {"result", "ok"}},
            with(who, {"result"}));

    const std::vector<std::string> transfer =
        with(who, {"name", "bytes", "size", "seconds", "result"});
    Fields up = theLine(lines, {{"event", "upload_end"}, {"name", NOTES}}, transfer);
    EXPECT_EQ(up["result"], "complete");
    EXPECT_EQ(up["bytes"], "100000");
    EXPECT_EQ(up["size"], "100000");
    EXPECT_TRUE(isSeconds(up["seconds"])) << up["seconds"];
    Fields down = theLine(lines, {{"event", "download_end"}, {"name", NOTES}}, transfer);
    EXPECT_EQ(down["result"], "complete");
    EXPECT_EQ(down["bytes"], "100000");
    EXPECT_EQ(down["user"], "BOB");
    Fields cancelled = theLine(lines, {{"event", "download_end"}, {"name", "big.bin"}}, transfer);
    EXPECT_EQ(cancelled["result"], "cancelled");
    EXPECT_EQ(cancelled["size"], std::to_string(32 << 20));
    EXPECT_LT(std::stoull(cancelled["bytes"]), 32ull << 20);
    Fields missing = theLine(lines, {{"event", "download_end"}, {"name", "missing.bin"}},
                             with(who, {"name", "bytes", "seconds", "result", "reason"}));
    EXPECT_EQ(missing["result"], "failed");
    EXPECT_EQ(missing["reason"], "no such file");

    const std::string line = "BOB\\" + NOTES;
    theLine(lines, {{"event", "publish"}, {"user", "BOB"}, {"line", line}, {"result", "ok"}},
            with(who, {"line", "result"}));
    theLine(lines, {{"event", "withdraw"}, {"user", "BOB"}, {"line", line}, {"result", "ok"}},
            with(who, {"line", "result"}));

    Fields refused = theLine(lines, {{"event", "upload_end"}, {"name", "locked.txt"}},
                             with(transfer, {"reason"}));
    EXPECT_EQ(refused["result"], "failed");
    EXPECT_EQ(refused["bytes"], "5");
    Fields failure =
        theLine(lines, {{"event", "file_error"}}, {"what", "path", "reason", "user", "session"});
    EXPECT_EQ(failure["what"], "upload_create");
    EXPECT_EQ(failure["reason"], "Permission denied");
    EXPECT_EQ(failure["user"], "BOB");
    EXPECT_EQ(std::filesystem::path(failure["path"]).filename(), "locked.txt");

    Fields dropped = theLine(lines, {{"event", "upload_end"}, {"name", "draft.txt"}}, transfer);
    EXPECT_EQ(dropped["result"], "dropped");
    EXPECT_EQ(dropped["user"], "CAROL");
    EXPECT_EQ(dropped["size"], std::to_string(1 << 20));
    Fields kick =
        theLine(lines, {{"event", "kick"}}, {"by", "address", "session", "user", "result"});
    EXPECT_EQ(kick["by"], "ADMIN");
    EXPECT_EQ(kick["user"], "CAROL");
    EXPECT_EQ(kick["result"], "ok");
    Fields stop =
        theLine(lines, {{"event", "stop"}}, {"reason", "by", "address", "session", "clients"});
    EXPECT_EQ(stop["reason"], "administrator");
    EXPECT_EQ(stop["by"], "ADMIN");
    EXPECT_EQ(stop["address"], "127.0.0.1");
    EXPECT_EQ(stop["clients"], "2");  // bob and the administrator

    EXPECT_EQ(lines.front()["event"], "start");
    EXPECT_EQ(lines.back()["event"], "stop");
    EXPECT_TRUE(matching(lines, {{"event", "request"}}).empty()) << "debug lines by default";
}

// The manual page's section on the log, as written.
std::string manualLogSection() {
    std::ifstream in(VEXTORA_SERVER_MANUAL_PAGE);
    std::stringstream text;
    text << in.rdbuf();
    std::string page = text.str();
    std::size_t start = page.find(".SH EVENT LOG");
    EXPECT_NE(start, std::string::npos) << "the manual page has no EVENT LOG section";
    if (start == std::string::npos) return {};
    return page.substr(start, page.find("\n.SH ", start + 1) - start);
}

bool mentions(const std::string& text, const std::string& name) {
    return std::regex_search(text, std::regex("(^|[^a-z_])" + name + "([^a-z_]|$)"));
}

TEST(EventLogProgram, DebugAddsConnectionsAndRequestsAndStillNoPassword) {
    TempDir dir;
    std::string log = runScriptedSession(dir, "debug");
    expectNoPassword(log);
    std::vector<Fields> lines = parseLog(log);
    // Every event and key a reader meets is explained.
    std::string manual = manualLogSection();
    for (const Fields& line : lines) {
        for (const auto& [key, value] : line) {
            EXPECT_TRUE(mentions(manual, key)) << "the manual page does not explain " << key;
        }
        EXPECT_TRUE(mentions(manual, line.at("event")))
            << "the manual page does not explain " << line.at("event");
        if (line.at("event") == "request") {
            EXPECT_TRUE(mentions(manual, line.at("request"))) << line.at("request");
        }
        if (line.count("result")) {
            EXPECT_TRUE(mentions(manual, line.at("result"))) << line.at("result");
        }
    }
    EXPECT_EQ(matching(lines, {{"event", "login"}}).size(), 5u);
    EXPECT_FALSE(matching(lines, {{"event", "connect"}, {"address", "127.0.0.1"}}).empty());
    EXPECT_FALSE(matching(lines, {{"event", "disconnect"}, {"user", "CAROL"}}).empty());
    theLine(lines, {{"event", "request"}, {"request", "kick"}},
            {"user", "session", "request", "admitted"});
    EXPECT_EQ(matching(lines, {{"event", "request"}, {"request", "login"}}).size(), 5u);
}

TEST(EventLogProgram, QuietLogsNothingAndALevelMustBeKnown) {
    TempDir dir;
    dir.write("adminpass.cfg", ADMIN_PASSWORD);  // no start-up warning
    ServerProcess server;
    ASSERT_TRUE(server.start(dir.str(), {"--headless", "--log=quiet"}));
    client::Client guest;
    ASSERT_TRUE(guest.connect(3000));
    EXPECT_TRUE(guest.login("guest", "x").ok());
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(), 0);
    EXPECT_EQ(server.stderrText(), "");

    ServerProcess wrong;
    ASSERT_TRUE(wrong.start(dir.str(), {"--headless", "--log=loud"}, false));
    EXPECT_EQ(wrong.wait(), 2);
    EXPECT_NE(wrong.stderrText().find("--log=loud"), std::string::npos) << wrong.stderrText();
}

// A raw connection to the request port that announces a frame far past any
// request's size; true once the server has closed it (within timeoutMs).
bool serverClosesAnOversizedFrame(int timeoutMs) {
    int handle = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(23322);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool closed = false;
    if (::connect(handle, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const unsigned char header[4] = {0x7F, 0xFF, 0xFF, 0xFF};
        if (::send(handle, header, sizeof header, MSG_NOSIGNAL) == 4) {
            pollfd entry{handle, POLLIN, 0};
            char byte;
            closed = ::poll(&entry, 1, timeoutMs) == 1 && ::recv(handle, &byte, 1, 0) <= 0;
        }
    }
    ::close(handle);
    return closed;
}

TEST(EventLogProgram, RefusalsOfNamesGuessesAndFramesSayWhy) {
    TempDir dir;
    dir.write("adminpass.cfg", ADMIN_PASSWORD);
    ServerProcess server;
    ASSERT_TRUE(server.start(dir.str(), {"--headless"}));

    client::Client client;
    ASSERT_TRUE(client.connect(3000));
    EXPECT_TRUE(client.createAccount("bob", BOB_PASSWORD).ok());
    EXPECT_EQ(client.createAccount("bob", "other").reply, REPLY_BAD_NAME);
    EXPECT_EQ(client.createAccount("10.0.0.5", "x").reply, REPLY_BAD_NAME);
    EXPECT_EQ(client.createAccount(" admin", "x").reply, REPLY_BAD_NAME);
    EXPECT_EQ(client.createAccount("serverShare", "x").reply, REPLY_BAD_NAME);
    // Four wrong guesses in a row from one address: the last is held back.
    for (int guess = 0; guess < 4; ++guess)
        EXPECT_EQ(client.login("bob", WRONG_PASSWORD).reply, REPLY_BAD_PASSWORD);
    EXPECT_TRUE(serverClosesAnOversizedFrame(10000));
    EXPECT_TRUE(client.login("bob", BOB_PASSWORD).ok());
    client.disconnect();

    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(), 0);
    std::string log = server.stderrText();
    expectNoPassword(log);
    std::vector<Fields> lines = parseLog(log);

    const std::vector<std::string> refusal = {"user", "address", "session", "reason"};
    EXPECT_EQ(theLine(lines, {{"event", "account_refused"}, {"user", "BOB"}}, refusal)["reason"],
              "taken");
    EXPECT_EQ(
        theLine(lines, {{"event", "account_refused"}, {"user", "10.0.0.5"}}, refusal)["reason"],
        "address_name");
    EXPECT_EQ(theLine(lines, {{"event", "account_refused"}, {"user", " ADMIN"}}, refusal)["reason"],
              "outer_blank");
    EXPECT_EQ(
        theLine(lines, {{"event", "account_refused"}, {"user", "SERVERSHARE"}}, refusal)["reason"],
        "reserved");

    std::vector<Fields> guesses =
        matching(lines, {{"event", "login"}, {"result", "wrong_password"}});
    ASSERT_EQ(guesses.size(), 4u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(guesses[i].count("delayed"), 0u) << i;
    EXPECT_EQ(guesses[3]["delayed"], "yes");
    EXPECT_EQ(matching(lines, {{"event", "login"}, {"result", "ok"}}).front().count("delayed"), 0u)
        << "a correct login is never held";

    Fields ended = theLine(lines, {{"event", "session_ended"}}, refusal);
    EXPECT_EQ(ended["reason"], "frame_too_large");
    EXPECT_EQ(ended["address"], "127.0.0.1");

    // Each of these events, keys and reasons is explained to the operator.
    std::string manual = manualLogSection();
    for (const Fields& line : lines) {
        if (line.at("event") != "account_refused" && line.at("event") != "session_ended" &&
            !line.count("delayed"))
            continue;
        EXPECT_TRUE(mentions(manual, line.at("event"))) << line.at("event");
        for (const auto& [key, value] : line) EXPECT_TRUE(mentions(manual, key)) << key;
        if (line.count("reason")) {
            EXPECT_TRUE(mentions(manual, line.at("reason"))) << line.at("reason");
        }
    }
}

// Everything the other end of `handle` receives until the program closes it
// (at most timeoutMs).
std::string readUntilClosed(int handle, int timeoutMs) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[65536];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd entry{handle, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0) continue;
        ssize_t got = ::read(handle, buffer, sizeof buffer);
        if (got <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ADD_FAILURE() << "the log was never closed";
    return text;
}

std::string streamName(int handle) {
    struct stat info {};
    EXPECT_EQ(::fstat(handle, &info), 0);
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

TEST(EventLogProgram, UnderJournaldLinesCarryPrioritiesAndNoTime) {
    TempDir dir;
    dir.write("adminpass.cfg", ADMIN_PASSWORD);  // no start-up warning
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    ServerProcess server;
    bool started = server.startWithStderr(dir.str(), {"--headless"}, ends[1],
                                          {"JOURNAL_STREAM=" + streamName(ends[1])});
    ::close(ends[1]);
    ASSERT_TRUE(started);
    client::Client bob;
    ASSERT_TRUE(bob.connect(3000));
    EXPECT_EQ(bob.login("bob", WRONG_PASSWORD).reply, REPLY_BAD_NAME);
    server.signal(SIGTERM);
    std::string log = readUntilClosed(ends[0], 10000);
    ::close(ends[0]);
    EXPECT_EQ(server.wait(), 0);
    std::vector<Fields> lines = parseLog(log, true);
    ASSERT_EQ(lines.size(), 3u) << log;
    for (const Fields& line : lines) EXPECT_EQ(line.count("ts"), 0u) << log;
    EXPECT_EQ(log.rfind("<6>event=start version=", 0), 0u) << log;
    EXPECT_NE(log.find("\n<6>event=login user=BOB address=127.0.0.1 session="), std::string::npos)
        << log;
    EXPECT_NE(log.find("\n<6>event=stop reason=signal signal=SIGTERM clients=1\n"),
              std::string::npos)
        << log;
}

using Clock = std::chrono::steady_clock;

double roundTripMs(client::Client& client) {
    auto start = Clock::now();
    EXPECT_TRUE(client.fileInfo("x").has_value());
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(EventLogProgram, ALogNobodyReadsHoldsNoClientUpAndItsLossesAreReported) {
    TempDir dir;
    dir.write("adminpass.cfg", ADMIN_PASSWORD);  // no start-up warning
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    int capacity = ::fcntl(ends[1], F_GETPIPE_SZ);
    ServerProcess server;
    bool started = server.startWithStderr(dir.str(), {"--headless", "--log=debug"}, ends[1]);
    ::close(ends[1]);
    ASSERT_TRUE(started);
    client::Client guest;
    ASSERT_TRUE(guest.connect(3000));
    ASSERT_TRUE(guest.login("guest", "x").ok());

    // Every request is a debug line of some 90 bytes: these are far more
    // than the pipe and the server's buffer hold together, and nobody reads.
    int requests = 0;
    std::vector<double> before;
    for (int i = 0; i < 200; ++i, ++requests) before.push_back(roundTripMs(guest));
    for (int i = 0; i < 6000; ++i, ++requests) ASSERT_TRUE(guest.fileInfo("x").has_value());
    int inPipe = 0;
    ASSERT_EQ(::ioctl(ends[0], FIONREAD, &inPipe), 0);
    EXPECT_GE(inPipe, capacity - 4096) << "the pipe is not full";
    std::vector<double> blocked;
    for (int i = 0; i < 500; ++i, ++requests) blocked.push_back(roundTripMs(guest));
    std::sort(before.begin(), before.end());
    std::sort(blocked.begin(), blocked.end());
    double usual = before[before.size() / 2];
    double median = blocked[blocked.size() / 2];
    std::printf("round trip: %.3f ms before, %.3f ms blocked (median), %.3f ms blocked (most)\n",
                usual, median, blocked.back());
    EXPECT_LT(blocked.back(), 50.0) << "a request waited for the log";
    EXPECT_LT(median, usual + 5.0);

    // The log is read again, and the client is idle: the server's buffer
    // drains, and a line tells how many lines were lost meanwhile.
    std::string text;
    char buffer[65536];
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (text.find("event=log_dropped") == std::string::npos && Clock::now() < deadline) {
        pollfd entry{ends[0], POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0) continue;
        ssize_t got = ::read(ends[0], buffer, sizeof buffer);
        ASSERT_GT(got, 0);
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ASSERT_NE(text.find("event=log_dropped"), std::string::npos) << "no count of lost lines";
    server.signal(SIGTERM);
    text += readUntilClosed(ends[0], 10000);
    ::close(ends[0]);
    EXPECT_EQ(server.wait(), 0);

    std::vector<Fields> lines = parseLog(text);
    std::vector<Fields> notices = matching(lines, {{"event", "log_dropped"}});
    ASSERT_EQ(notices.size(), 1u);
    std::size_t lost = std::stoul(notices[0]["lines"]);
    EXPECT_GT(lost, 0u);
    // Nothing went missing unaccounted for: every request is either in the
    // log or counted as lost.
    std::size_t logged = matching(lines, {{"event", "request"}, {"request", "info"}}).size();
    EXPECT_EQ(logged + lost, static_cast<std::size_t>(requests));
    EXPECT_EQ(matching(lines, {{"event", "stop"}, {"reason", "signal"}}).size(), 1u);
}

}  // namespace
}  // namespace vextora::test
