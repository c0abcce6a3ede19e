// Hundreds of clients doing random valid and invalid requests, uploads,
// downloads, cancels and kicks against a running server on the fixed ports,
// each reply checked against what the protocol allows: its shape from the
// request code, and its value wherever the client knows the answer (its own
// account, folder and catalog lines are its alone).
//
//   soak_clients PID SECONDS CLIENTS [SEED]
//
// The data folder must hold the accounts SOAK0 .. SOAK<CLIENTS-1> with the
// passwords pw0 .. and their folders, and the administrator password "boss"
// (bench/soak.sh sets this up). Client i connects from its own loopback
// address, so its transfer connections are its own. Prints the counts, the
// first violations and the server's memory over time; exits 1 on any
// violation or if the server dies.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "driver_support.h"
#include "server/protocol.h"

namespace vextora::bench {
namespace {

constexpr int REPLY_TIMEOUT_MS = 10000;
constexpr int MAX_FILE = 200 * 1024;
constexpr int FILE_NAMES = 6;

struct Totals {
    std::atomic<long> requests{0}, uploads{0}, downloads{0}, cancels{0}, kicks{0}, kicked{0},
        invalid{0}, reconnects{0}, bytes{0};
    std::atomic<long> violations{0};
    std::mutex mutex;
    std::vector<std::string> firstViolations;
    std::map<int, long> byCode;

    void violation(const std::string& what) {
        ++violations;
        std::lock_guard<std::mutex> lock(mutex);
        if (firstViolations.size() < 30) firstViolations.push_back(what);
    }
    void count(int code) {
        ++requests;
        std::lock_guard<std::mutex> lock(mutex);
        ++byCode[code];
    }
};

// The bytes of a file the client uploaded: a pure function of (seed, size).
std::string content(std::uint32_t seed, std::size_t size) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

struct OwnFile {
    std::uint32_t seed;
    std::size_t size;
};

enum class Login { Out, Account, Guest, Admin };

class SoakClient {
public:
    SoakClient(int index, Totals& totals, std::uint64_t seed)
        : index_(index),
          name_("SOAK" + std::to_string(index)),
          password_("pw" + std::to_string(index)),
          address_("127.0." + std::to_string(1 + index / 250) + "." +
                   std::to_string(1 + index % 250)),
          totals_(totals),
          random_(seed) {}

    void run(Clock::time_point deadline, int clients) {
        clients_ = clients;
        while (Clock::now() < deadline) {
            if (!control_.isOpen() && !connect()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            step();
            std::this_thread::sleep_for(std::chrono::milliseconds(pick(0, 20)));
        }
        if (control_.isOpen()) {
            send(Request(REQ_QUIT));
            closeAbruptly(control_);
        }
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    bool chance(int percent) { return pick(0, 99) < percent; }
    std::string fileName() { return "f" + std::to_string(pick(0, FILE_NAMES - 1)); }

    void violation(const std::string& what) {
        std::string recent;
        for (const auto& step : history_) recent += " " + step;
        totals_.violation(name_ + " (" + address_ + "): " + what + " [after:" + recent + "]");
        closeAbruptly(control_);  // start afresh: the stream may be out of step
        login_ = Login::Out;
        catalogKnown_ = false;  // a publish or withdraw may have been cut off
    }

    bool connect() {
        note("connect");
        closeAbruptly(control_);
        control_ = connectFrom(address_, CONTROL_PORT, 3000);
        login_ = Login::Out;
        if (control_.isOpen()) ++totals_.reconnects;
        return control_.isOpen();
    }

    bool send(const Request& request) {
        if (sendAll(control_, request.frame(), REPLY_TIMEOUT_MS)) return true;
        // A kick between two requests closes the connection under the next.
        if (kickedMeanwhile()) return false;
        violation("request " + std::to_string(request.payload()[0]) + " could not be sent");
        return false;
    }

    // The connection failed under a transfer or a send: fine if an
    // administrator kicked this session (REPLY_CLOSING waits to be read).
    bool kickedMeanwhile() {
        std::uint8_t byte = 0;
        if (!control_.waitReadable(2000) || !control_.receiveSome(&byte, 1).bytes ||
            byte != REPLY_CLOSING)
            return false;
        ++totals_.kicked;
        kicked();
        return true;
    }

    void kicked() {
        closeAbruptly(control_);
        login_ = Login::Out;
        // A publish or withdraw sent just before has no reply: whether it
        // was done is learnt from the next catalog listing.
        catalogKnown_ = false;
    }

    // The first byte of a reply. A REPLY_CLOSING there means an
    // administrator kicked this session: the close must follow.
    enum class Start { Byte, Kicked, Failed };
    Start replyStart(std::uint8_t& first, const char* what) {
        if (!receiveExact(control_, &first, 1, REPLY_TIMEOUT_MS)) {
            violation(std::string(closedByPeer(control_) ? "closed without a word, asked "
                                                         : "no reply within 10 s to ") +
                      what);
            return Start::Failed;
        }
        if (first != REPLY_CLOSING) return Start::Byte;
        if (!control_.waitReadable(2000) || !control_.peerClosed()) {
            violation(std::string("REPLY_CLOSING without the close, answering ") + what);
            return Start::Failed;
        }
        ++totals_.kicked;
        kicked();
        return Start::Kicked;
    }

    bool rest(void* buffer, std::size_t length, const char* what) {
        if (receiveExact(control_, buffer, length, REPLY_TIMEOUT_MS)) return true;
        violation(std::string("reply to ") + what + " cut short");
        return false;
    }

    // A one-byte status reply, which must be one of `allowed`.
    std::optional<std::uint8_t> status(const char* what, std::initializer_list<int> allowed) {
        std::uint8_t reply = 0;
        if (replyStart(reply, what) != Start::Byte) return std::nullopt;
        for (int value : allowed) {
            if (reply == value) return reply;
        }
        violation(std::string(what) + " answered " + std::to_string(reply));
        return std::nullopt;
    }

    void expectStatus(const Request& request, const char* what, int expected) {
        if (!send(request)) return;
        auto reply = status(what, {expected, REPLY_FAILED, REPLY_OK, REPLY_BAD_NAME,
                                   REPLY_BAD_PASSWORD, REPLY_ADMIN_ONLY, REPLY_CANNOT_KICK_SELF});
        if (reply && *reply != expected)
            violation(std::string(what) + " answered " + std::to_string(*reply) + ", expected " +
                      std::to_string(expected));
    }

    // A list: items (16, length, text) up to 17.
    std::optional<std::vector<std::string>> list(const char* what) {
        std::vector<std::string> items;
        std::uint8_t marker = 0;
        if (replyStart(marker, what) != Start::Byte) return std::nullopt;
        for (int count = 0; count < 100000; ++count) {
            if (marker == REPLY_LIST_END) return items;
            if (marker != REPLY_LIST_ITEM) {
                violation(std::string(what) + ": list marker " + std::to_string(marker));
                return std::nullopt;
            }
            std::uint8_t length = 0;
            if (!rest(&length, 1, what)) return std::nullopt;
            std::string item(length, '\0');
            if (!rest(item.data(), length, what) || !rest(&marker, 1, what)) return std::nullopt;
            items.push_back(std::move(item));
        }
        violation(std::string(what) + ": endless list");
        return std::nullopt;
    }

    std::optional<std::uint32_t> uint32Rest(std::uint8_t first, const char* what) {
        std::uint8_t more[3];
        if (!rest(more, 3, what)) return std::nullopt;
        return std::uint32_t{first} << 24 | std::uint32_t{more[0]} << 16 |
               std::uint32_t{more[1]} << 8 | more[2];
    }

    std::string own() const { return name_; }

    void note(const std::string& step) {
        history_.push_back(step);
        if (history_.size() > 12) history_.erase(history_.begin());
    }

    void step() {
        int roll = pick(0, 99);
        if (roll < 10) return logIn();
        if (roll < 13) return logOut();
        if (roll < 16) return createAccount();
        if (roll < 26) return fileInfo();
        if (roll < 32) return listOwn();
        if (roll < 36) return listCatalog();
        if (roll < 44) return setShared();
        if (roll < 48) return renameFile();
        if (roll < 52) return deleteFile();
        if (roll < 64) return upload();
        if (roll < 74) return downloadOwn();
        if (roll < 80) return downloadCatalog();
        if (roll < 88) return administer();
        if (roll < 98) return invalid();
        quit();
    }

    void logIn() {
        totals_.count(REQ_LOGIN);
        int kind = pick(0, 9);
        std::string name = name_, password = password_;
        int expected = REPLY_OK;
        Login after = Login::Account;
        if (kind == 0) {
            password += "x";
            expected = REPLY_BAD_PASSWORD;
        } else if (kind == 1) {
            name = "NOBODY" + std::to_string(index_);
            expected = REPLY_BAD_NAME;
        } else if (kind == 2) {
            name = "guest";
            after = Login::Guest;
        } else if (kind >= 3 && kind <= 5 && index_ % 5 == 0) {
            name = "Admin";
            password = chance(80) ? "boss" : "wrong";
            expected = password == "boss" ? REPLY_OK : REPLY_BAD_PASSWORD;
            after = Login::Admin;
        }
        if (login_ != Login::Out) expected = REPLY_FAILED;
        note("login " + name + " expecting " + std::to_string(expected));
        // An account's name in lower case logs in all the same.
        if (chance(20)) {
            for (auto& c : name) c = static_cast<char>(std::tolower(c));
        }
        expectStatus(Request(REQ_LOGIN).text(name).text(password), "login", expected);
        if (control_.isOpen() && expected == REPLY_OK) login_ = after;
    }

    void logOut() {
        totals_.count(REQ_LOGOUT);
        note("logout");
        if (send(Request(REQ_LOGOUT))) login_ = Login::Out;
    }

    void createAccount() {
        totals_.count(REQ_CREATE_ACCOUNT);
        int kind = pick(0, 3);
        if (kind == 0)
            expectStatus(Request(REQ_CREATE_ACCOUNT).text(name_).text("x"), "create taken",
                         REPLY_BAD_NAME);
        else if (kind == 1)
            expectStatus(Request(REQ_CREATE_ACCOUNT).text("..").text("x"), "create ..",
                         REPLY_BAD_NAME);
        else if (kind == 2)
            expectStatus(Request(REQ_CREATE_ACCOUNT).text("SERVERSHARE").text("x"),
                         "create reserved", REPLY_BAD_NAME);
        else
            expectStatus(Request(REQ_CREATE_ACCOUNT)
                             .text(name_ + "N" + std::to_string(created_++))
                             .text("pw"),
                         "create new", REPLY_OK);
    }

    void fileInfo() {
        totals_.count(REQ_FILE_INFO);
        std::string name = fileName();
        if (!send(Request(REQ_FILE_INFO).text(name))) return;
        std::uint8_t first = 0;
        if (replyStart(first, "file info") != Start::Byte) return;
        auto size = uint32Rest(first, "file info");
        std::uint8_t flag = 0;
        if (!size || !rest(&flag, 1, "file info")) return;
        if (flag > 1) return violation("file info flag " + std::to_string(flag));
        if (login_ != Login::Account) {
            if (login_ == Login::Out && *size != SIZE_UNAVAILABLE)
                violation("file info before login gave a size");
            return;
        }
        auto file = files_.find(name);
        std::uint32_t expected =
            file == files_.end() ? SIZE_UNAVAILABLE : static_cast<std::uint32_t>(file->second.size);
        if (*size != expected)
            violation("file info " + name + ": size " + std::to_string(*size) + ", expected " +
                      std::to_string(expected));
        if (catalogKnown_ && (flag == 1) != (published_[name] > 0))
            violation("file info " + name + ": shared flag " + std::to_string(flag));
    }

    void listOwn() {
        totals_.count(REQ_LIST_FILES);
        if (!send(Request(REQ_LIST_FILES).byte(SELECT_OWN_FOLDER))) return;
        auto items = list("own listing");
        if (!items || login_ != Login::Account) return;
        std::map<std::string, int> seen;
        for (const auto& item : *items) ++seen[item];
        for (const auto& [name, file] : files_) {
            if (seen[name] != 1) violation("own listing lacks " + name);
        }
        for (const auto& [name, count] : seen) {
            if (name.rfind("f", 0) == 0 && !files_.contains(name))
                violation("own listing shows " + name + ", which is not there");
        }
    }

    void listCatalog() {
        totals_.count(REQ_LIST_FILES);
        if (!send(Request(REQ_LIST_FILES).byte(0))) return;
        auto items = list("catalog listing");
        if (!items) return;
        std::map<std::string, int> seen;
        for (const auto& item : *items) {
            if (item.find('\\') == std::string::npos) violation("catalog line " + item);
            ++seen[item];
        }
        if (!catalogKnown_) {
            published_.clear();
            std::string prefix = name_ + "\\";
            for (const auto& [line, count] : seen) {
                if (line.rfind(prefix, 0) == 0) published_[line.substr(prefix.size())] = count;
            }
            catalogKnown_ = true;
            return;
        }
        for (const auto& [name, count] : published_) {
            if (seen[name_ + "\\" + name] != count)
                violation("catalog shows " + std::to_string(seen[name_ + "\\" + name]) + " of " +
                          std::to_string(count) + " lines " + name_ + "\\" + name);
        }
    }

    void setShared() {
        totals_.count(REQ_SET_SHARED);
        std::string name = fileName();
        bool on = chance(60);
        note(std::string(on ? "publish " : "withdraw ") + name);
        if (!send(Request(REQ_SET_SHARED).text(name).byte(on ? 1 : 0))) return;
        if (login_ != Login::Account) return;
        if (on)
            ++published_[name];
        else
            published_.erase(name);
    }

    void renameFile() {
        totals_.count(REQ_RENAME_FILE);
        std::string from = fileName(), to = fileName();
        note("rename " + from + " " + to);
        bool works = login_ == Login::Account && files_.contains(from) && !files_.contains(to);
        if (login_ == Login::Admin) {
            // The administrators' folder is shared by every client that logs in so.
            if (send(Request(REQ_RENAME_FILE).text(from).text(to)))
                status("rename", {REPLY_OK, REPLY_FAILED});
            return;
        }
        expectStatus(Request(REQ_RENAME_FILE).text(from).text(to), "rename",
                     works ? REPLY_OK : REPLY_FAILED);
        if (works && control_.isOpen()) {
            files_[to] = files_[from];
            files_.erase(from);
        }
    }

    void deleteFile() {
        totals_.count(REQ_DELETE_FILE);
        std::string name = fileName();
        note("delete " + name);
        bool works = login_ == Login::Account && files_.contains(name);
        if (login_ == Login::Admin) {
            if (send(Request(REQ_DELETE_FILE).text(name)))
                status("delete", {REPLY_OK, REPLY_FAILED});
            return;
        }
        expectStatus(Request(REQ_DELETE_FILE).text(name), "delete",
                     works ? REPLY_OK : REPLY_FAILED);
        if (works && control_.isOpen()) files_.erase(name);
    }

    std::uint32_t pieceSize() {
        static const std::uint32_t SIZES[] = {0, 1, 4096, 65536, MAX_PIECE_SIZE, 0xFFFFFFFF};
        return SIZES[pick(0, 5)];
    }

    void upload() {
        totals_.count(REQ_UPLOAD);
        std::string name = fileName();
        std::size_t size = static_cast<std::size_t>(pick(0, MAX_FILE));
        auto seed = static_cast<std::uint32_t>(random_());
        note("upload " + name + " " + std::to_string(size) + " as " +
             std::to_string(static_cast<int>(login_)));
        bool allowed = login_ == Login::Account || login_ == Login::Admin;
        if (!send(Request(REQ_UPLOAD)
                      .text(name)
                      .uint32(pieceSize())
                      .uint32(static_cast<std::uint32_t>(size))))
            return;
        if (!allowed) {
            status("refused upload", {REPLY_FAILED});
            return;
        }
        ++totals_.uploads;
        TcpSocket transfer = connectFrom(address_, TRANSFER_PORT, 3000);
        if (!transfer.isOpen()) return violation("upload: no transfer connection");
        std::string bytes = content(seed, size);
        bool cancel = chance(10);
        std::size_t upTo = cancel ? bytes.size() / 2 : bytes.size();
        if (!sendAll(transfer, bytes.substr(0, upTo), REPLY_TIMEOUT_MS)) {
            // A kick closes the transfer connection under us.
            closeAbruptly(transfer);
            std::uint8_t first = 0;
            if (replyStart(first, "upload") == Start::Byte)
                violation("upload: transfer connection broke, then " + std::to_string(first));
            return;
        }
        if (cancel) {
            ++totals_.cancels;
            sendAll(control_, std::string(1, static_cast<char>(CANCEL_TRANSFER)), 1000);
        } else {
            transfer.shutdownWrite();
        }
        auto reply = status("upload", {REPLY_OK});
        closeAbruptly(transfer);
        if (!reply) return;
        totals_.bytes += static_cast<long>(upTo);
        if (!cancel && login_ == Login::Account) files_[name] = {seed, size};
    }

    // Reads a download after its size: exactly `size` bytes, then the close.
    // A file the server cannot send waits for the cancel, which closes the
    // transfer connection and is not answered.
    void receiveDownload(std::uint32_t size, const std::string* expected, const char* what) {
        note(std::string(what) + " of " + std::to_string(size));
        TcpSocket transfer = connectFrom(address_, TRANSFER_PORT, 3000);
        if (!transfer.isOpen()) return violation(std::string(what) + ": no transfer connection");
        if (size == SIZE_UNAVAILABLE) {
            sendAll(control_, std::string(1, static_cast<char>(CANCEL_TRANSFER)), 1000);
            char byte;
            bool closed =
                transfer.waitReadable(REPLY_TIMEOUT_MS) && transfer.receiveSome(&byte, 1).closed();
            closeAbruptly(transfer);
            if (!closed && !kickedMeanwhile())
                violation(std::string(what) + ": cancel did not close the transfer");
            return;
        }
        bool cancel = size > 8192 && chance(10);
        std::string got;
        char buffer[65536];
        auto deadline = Clock::now() + std::chrono::milliseconds(REPLY_TIMEOUT_MS);
        bool closed = false;
        while (Clock::now() < deadline) {
            if (cancel && got.size() >= size / 2) break;
            if (control_.waitReadable(0)) {
                std::uint8_t first = 0;
                if (replyStart(first, what) == Start::Byte)
                    violation(std::string(what) + ": byte " + std::to_string(first) +
                              " on the control connection during a download");
                return;
            }
            if (!transfer.waitReadable(50)) continue;
            IoResult in = transfer.receiveSome(buffer, sizeof buffer);
            if (in.closed() || (in.error != 0 && !in.wouldBlock())) {
                closed = true;
                break;
            }
            got.append(buffer, in.bytes);
            if (got.size() > size) break;
        }
        if (cancel) {
            ++totals_.cancels;
            note("cancelled at " + std::to_string(got.size()));
            sendAll(control_, std::string(1, static_cast<char>(CANCEL_TRANSFER)), 1000);
            closeAbruptly(transfer);
            return;
        }
        closeAbruptly(transfer);
        totals_.bytes += static_cast<long>(got.size());
        if (got.size() != size && kickedMeanwhile()) return;
        if (!closed) return violation(std::string(what) + ": not closed after its size");
        if (got.size() != size)
            return violation(std::string(what) + ": " + std::to_string(got.size()) + " bytes of " +
                             std::to_string(size));
        if (expected && got != *expected) violation(std::string(what) + ": wrong bytes");
    }

    void downloadOwn() {
        totals_.count(REQ_DOWNLOAD);
        std::string name = fileName();
        if (!send(Request(REQ_DOWNLOAD).text(name).uint32(pieceSize()).byte(SELECT_OWN_FOLDER)))
            return;
        std::uint8_t first = 0;
        if (replyStart(first, "own download") != Start::Byte) return;
        if (login_ == Login::Out) {
            if (first != REPLY_FAILED) violation("download before login: " + std::to_string(first));
            return;
        }
        auto size = uint32Rest(first, "own download");
        if (!size) return;
        ++totals_.downloads;
        if (login_ != Login::Account) return receiveDownload(*size, nullptr, "own download");
        auto file = files_.find(name);
        if (file == files_.end()) {
            if (*size != SIZE_UNAVAILABLE) return violation("download of a missing file: a size");
            return receiveDownload(*size, nullptr, "own download");
        }
        if (*size != file->second.size) return violation("own download: wrong size");
        std::string expected = content(file->second.seed, file->second.size);
        receiveDownload(*size, &expected, "own download");
    }

    void downloadCatalog() {
        totals_.count(REQ_DOWNLOAD);
        // Someone's line, as the catalog may hold it; the file may change
        // under it, so only the shape is checked.
        std::string line = "SOAK" + std::to_string(pick(0, clients_ - 1)) + "\\" + fileName();
        if (!send(Request(REQ_DOWNLOAD).text(line).uint32(pieceSize()).byte(0))) return;
        std::uint8_t first = 0;
        if (replyStart(first, "catalog download") != Start::Byte) return;
        if (login_ == Login::Out) {
            if (first != REPLY_FAILED) violation("download before login: " + std::to_string(first));
            return;
        }
        auto size = uint32Rest(first, "catalog download");
        if (!size) return;
        ++totals_.downloads;
        if (*size > MAX_FILE && *size != SIZE_UNAVAILABLE)
            return violation("catalog download: size " + std::to_string(*size));
        receiveDownload(*size, nullptr, "catalog download");
    }

    void administer() {
        int kind = pick(0, 3);
        bool admin = login_ == Login::Admin;
        std::string someone = "SOAK" + std::to_string(pick(0, clients_ - 1));
        if (kind == 0) {
            totals_.count(REQ_LIST_USERS);
            if (!send(Request(REQ_LIST_USERS))) return;
            if (!admin) {
                status("list users", {REPLY_ADMIN_ONLY});
                return;
            }
            auto users = list("list users");
            if (users && std::find(users->begin(), users->end(), "ADMIN") == users->end())
                violation("list users lacks the administrator asking");
        } else if (kind == 1) {
            totals_.count(REQ_USER_INFO);
            if (!send(Request(REQ_USER_INFO).text(someone))) return;
            if (!admin) {
                status("user info", {REPLY_ADMIN_ONLY});
                return;
            }
            auto reply = status("user info", {REPLY_OK, REPLY_BAD_NAME});
            if (!reply || *reply == REPLY_BAD_NAME) return;
            std::uint8_t length = 0;
            if (!rest(&length, 1, "user info")) return;
            std::string fixed(length + 9u, '\0');
            if (!rest(fixed.data(), fixed.size(), "user info")) return;
            auto direction = static_cast<std::uint8_t>(fixed.back());
            if (direction < 1 || direction > 3) return violation("user info direction");
            if (direction != 1) {
                char more[12];
                rest(more, sizeof more, "user info");
            }
        } else if (kind == 2) {
            totals_.count(REQ_KICK_USER);
            if (!send(Request(REQ_KICK_USER).text(someone))) return;
            auto reply = status("kick", {admin ? REPLY_OK : REPLY_ADMIN_ONLY, REPLY_FAILED});
            if (reply && !admin && *reply != REPLY_ADMIN_ONLY)
                violation("kick by a non-administrator");
            if (reply && *reply == REPLY_OK) ++totals_.kicks;
        } else {
            totals_.count(REQ_KICK_USER);
            expectStatus(Request(REQ_KICK_USER).text(admin ? "ADMIN" : "x"), "kick self",
                         admin ? REPLY_CANNOT_KICK_SELF : REPLY_ADMIN_ONLY);
        }
    }

    void invalid() {
        ++totals_.invalid;
        int kind = pick(0, 5);
        note("invalid " + std::to_string(kind));
        if (kind == 0) {
            // Not a request: dropped without a word; the next reply proves it.
            if (!send(Request(static_cast<std::uint8_t>(pick(16, 255))).text("junk"))) return;
            expectStatus(Request(REQ_CREATE_ACCOUNT).text("..").text(""), "after junk",
                         REPLY_BAD_NAME);
        } else if (kind == 1) {
            expectStatus(Request(REQ_LOGIN).byte(200), "short login", REPLY_FAILED);
        } else if (kind == 2) {
            if (!send(Request(REQ_FILE_INFO).byte(9))) return;
            char reply[5];
            std::uint8_t first = 0;
            if (replyStart(first, "short file info") != Start::Byte) return;
            if (!rest(reply, 4, "short file info")) return;
            if (first != 0xFF || std::string(reply, 4) != std::string("\xff\xff\xff\x00", 4))
                violation("short file info answered wrongly");
        } else if (kind == 3) {
            if (!send(Request(REQ_LIST_FILES))) return;
            status("short listing", {REPLY_LIST_END});
        } else if (kind == 4) {
            // A header announcing more than any request: the session ends, silently.
            sendAll(control_, frameHeader(0xFFFFFFF0), 1000);
            expectClose("oversized header");
        } else {
            // A zero-length frame: the next byte ends the session.
            sendAll(control_, frameHeader(0) + "x", 1000);
            expectClose("zero-length frame");
        }
    }

    void expectClose(const char* what) {
        std::uint8_t byte = 0;
        auto deadline = Clock::now() + std::chrono::milliseconds(REPLY_TIMEOUT_MS);
        while (Clock::now() < deadline) {
            if (!control_.waitReadable(100)) continue;
            IoResult in = control_.receiveSome(&byte, 1);
            if (in.wouldBlock()) continue;
            if (in.bytes == 1 && byte == REPLY_CLOSING) {
                // Kicked just before: what was sent since may never have been read.
                ++totals_.kicked;
                catalogKnown_ = false;
                break;
            }
            if (in.bytes == 1)
                return violation(std::string(what) + ": answered " + std::to_string(byte));
            break;
        }
        if (Clock::now() >= deadline) return violation(std::string(what) + ": not closed");
        closeAbruptly(control_);
        login_ = Login::Out;
    }

    void quit() {
        totals_.count(REQ_QUIT);
        note("quit");
        send(Request(REQ_QUIT));
        expectClose("quit");
    }

    int index_;
    std::string name_, password_, address_;
    Totals& totals_;
    std::mt19937_64 random_;
    int clients_ = 1;
    TcpSocket control_;
    Login login_ = Login::Out;
    std::map<std::string, OwnFile> files_;
    std::map<std::string, int> published_;
    int created_ = 0;
    bool catalogKnown_ = true;
    std::vector<std::string> history_;  // the last few steps, for the reports
};

}  // namespace
}  // namespace vextora::bench

int main(int argc, char** argv) {
    using namespace vextora::bench;
    if (argc < 4) {
        std::fprintf(stderr, "usage: soak_clients PID SECONDS CLIENTS [SEED]\n");
        return 2;
    }
    pid_t pid = static_cast<pid_t>(std::atol(argv[1]));
    int seconds = std::atoi(argv[2]);
    int clients = std::atoi(argv[3]);
    std::uint64_t seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
    raiseDescriptorLimit();

    Totals totals;
    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    // SOAK_ONLY=i runs client i alone, to replay what it did.
    const char* only = std::getenv("SOAK_ONLY");
    for (int i = 0; i < clients; ++i) {
        if (only && std::atoi(only) != i) continue;
        threads.emplace_back([&, i] {
            SoakClient client(i, totals, seed * 1000003 + static_cast<std::uint64_t>(i));
            client.run(deadline, clients);
        });
    }
    // Memory after a warm-up of a tenth of the run (at least 30 s when the
    // run allows), then its highest and its last value.
    int warmUp = std::min(std::max(seconds / 10, std::min(30, seconds / 2)), seconds);
    long warmKb = 0, peakKb = 0, lastKb = 0;
    int descriptorsWarm = 0, descriptorsPeak = 0;
    bool alive = true;
    for (int second = 1; Clock::now() < deadline; ++second) {
        std::this_thread::sleep_until(start + std::chrono::seconds(second));
        ProcessSample sample = sampleProcess(pid);
        alive = alive && sample.alive;
        if (second == warmUp) {
            warmKb = sample.residentKb;
            descriptorsWarm = sample.descriptors;
        }
        if (second > warmUp) {
            peakKb = std::max(peakKb, sample.residentKb);
            descriptorsPeak = std::max(descriptorsPeak, sample.descriptors);
        }
        lastKb = sample.residentKb;
        if (second % 60 == 0) {
            std::printf("  %4d s: %ld requests, %ld violations, %.1f MB resident, %d descriptors\n",
                        second, totals.requests.load(), totals.violations.load(),
                        sample.residentKb / 1024.0, sample.descriptors);
            std::fflush(stdout);
        }
    }
    for (auto& thread : threads) thread.join();
    alive = alive && sampleProcess(pid).alive;

    double elapsed = millisecondsSince(start) / 1000;
    std::printf(
        "soak: %d clients, %.0f s: %ld requests (%.0f/s), %ld uploads, %ld downloads, "
        "%ld cancels, %ld kicks (%ld sessions kicked), %ld invalid requests, %ld "
        "connections, %.1f MB moved\n",
        clients, elapsed, totals.requests.load(), totals.requests.load() / elapsed,
        totals.uploads.load(), totals.downloads.load(), totals.cancels.load(), totals.kicks.load(),
        totals.kicked.load(), totals.invalid.load(), totals.reconnects.load(),
        totals.bytes.load() / 1048576.0);
    std::printf("requests by code:");
    for (const auto& [code, count] : totals.byCode) std::printf(" %d:%ld", code, count);
    std::printf("\n");
    bool flat = peakKb <= warmKb * 1.10;
    std::printf(
        "memory: %.1f MB after %d s of warm-up, highest after it %.1f MB, last %.1f MB "
        "(%s); descriptors %d after warm-up, highest %d\n",
        warmKb / 1024.0, warmUp, peakKb / 1024.0, lastKb / 1024.0,
        flat ? "flat within 10%" : "GREW", descriptorsWarm, descriptorsPeak);
    for (const auto& what : totals.firstViolations) std::printf("violation: %s\n", what.c_str());
    std::printf("protocol violations: %ld; server %s\n", totals.violations.load(),
                alive ? "alive" : "DIED");
    return totals.violations.load() == 0 && alive && flat ? 0 : 1;
}
