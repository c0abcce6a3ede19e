// Writes the seed corpora: real requests and exchanges in the request
// script's form, and real and damaged data files for the file checks.
//   make_seeds CORPUS_FOLDER
// The output is committed under fuzz/corpus; run this again after changing
// a script's form, then review the difference.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "server/protocol.h"

namespace {

using namespace vextora;
namespace fs = std::filesystem;

// A request payload, field by field.
class Request {
public:
    explicit Request(std::uint8_t code) : bytes_(1, static_cast<char>(code)) {}
    Request& byte(std::uint8_t value) {
        bytes_ += static_cast<char>(value);
        return *this;
    }
    Request& uint32(std::uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8)
            byte(static_cast<std::uint8_t>(value >> shift));
        return *this;
    }
    Request& text(const std::string& value) {
        byte(static_cast<std::uint8_t>(value.size()));
        bytes_ += value;
        return *this;
    }
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

// A request script (request_script.h describes the operations).
class Script {
public:
    // Who is logged in at the start, for clients 0, 1 and 2:
    // 0 nobody, 1 GUEST, 2 ADMIN, 3 an account.
    explicit Script(int first = 0, int second = 0, int third = 0) {
        bytes_ += static_cast<char>(first | second << 2 | third << 4);
    }
    Script& raw(int client, const std::string& bytes) {
        for (std::size_t at = 0; at < bytes.size(); at += 255) {
            std::string piece = bytes.substr(at, 255);
            op(0).add(client).add(static_cast<int>(piece.size()));
            bytes_ += piece;
        }
        return *this;
    }
    Script& frame(int client, const Request& request) {
        op(1).add(client).add(static_cast<int>(request.bytes().size()));
        bytes_ += request.bytes();
        return *this;
    }
    Script& passes(int count) { return op(2).add(count - 1); }
    Script& transfer(int from) { return op(3).add(from); }
    Script& feed(int slot, const std::string& bytes, int repeat = 1) {
        op(4).add(slot).add(static_cast<int>(bytes.size()));
        bytes_ += bytes;
        return add(repeat - 1);
    }
    Script& finish(int slot) { return op(5).add(slot); }
    Script& drop(int slot, bool reset) { return op(6).add(slot).add(reset ? 1 : 0); }
    Script& hangUp(int client, bool reset) { return op(7).add(client).add(reset ? 1 : 0); }
    Script& reconnect(int client) { return op(8).add(client); }
    Script& read() { return op(9); }
    Script& wait(int quarterSeconds) { return op(10).add(quarterSeconds); }
    Script& kick(int index) { return op(11).add(index); }
    const std::string& bytes() const { return bytes_; }

private:
    Script& op(int code) { return add(code); }
    Script& add(int value) {
        bytes_ += static_cast<char>(value);
        return *this;
    }
    std::string bytes_;
};

// Data-file inputs: a file's content with a 16- or 8-bit length in front,
// then operations of a code and length-prefixed arguments.
class FileInput {
public:
    FileInput& text16(const std::string& value) {
        bytes_ += static_cast<char>(value.size() >> 8);
        bytes_ += static_cast<char>(value.size() & 0xFF);
        bytes_ += value;
        return *this;
    }
    FileInput& text8(const std::string& value) {
        bytes_ += static_cast<char>(value.size());
        bytes_ += value;
        return *this;
    }
    FileInput& code(int value) {
        bytes_ += static_cast<char>(value);
        return *this;
    }
    FileInput& raw(const std::string& value) {
        bytes_ += value;
        return *this;
    }
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

const int NOBODY = 0, GUEST = 1, ADMIN = 2, ACCOUNT = 3;
const int FROM_FIRST = 0, FROM_SECOND = 1, FROM_STRANGER = 2;
const std::uint8_t CATALOG = 0;

Request login(const std::string& name, const std::string& password) {
    return Request(REQ_LOGIN).text(name).text(password);
}
Request download(const std::string& name, std::uint8_t selector, std::uint32_t piece = 4096) {
    return Request(REQ_DOWNLOAD).text(name).uint32(piece).byte(selector);
}
Request upload(const std::string& name, std::uint32_t size, std::uint32_t piece = 4096) {
    return Request(REQ_UPLOAD).text(name).uint32(piece).uint32(size);
}
Request named(std::uint8_t code, const std::string& name) {
    return Request(code).text(name);
}
Request shared(const std::string& name, bool on) {
    return Request(REQ_SET_SHARED).text(name).byte(on ? 1 : 0);
}
Request list(std::uint8_t selector) {
    return Request(REQ_LIST_FILES).byte(selector);
}

std::string header(std::uint32_t length) {
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>(length >> shift);
    return bytes;
}

std::vector<std::pair<std::string, std::string>> requestSeeds() {
    std::vector<std::pair<std::string, std::string>> seeds;
    auto add = [&](const std::string& name, const Script& script) {
        seeds.emplace_back(name, script.bytes());
    };
    add("login-guest", Script().frame(0, login("GUEST", "")).read());
    add("login-admin-wrong-password", Script().frame(0, login("Admin", "x")).read());
    add("login-account-twice",
        Script().frame(0, login("bob", "pw")).passes(3).frame(0, login("BOB", "pw")).read());
    add("login-unknown-and-wrong", Script()
                                       .frame(0, login("nobody", "pw"))
                                       .frame(1, login("ANN", "PW2"))
                                       .frame(2, login("", ""))
                                       .read());
    add("create-then-login", Script()
                                 .frame(0, Request(REQ_CREATE_ACCOUNT).text("carol").text("pw"))
                                 .passes(3)
                                 .frame(0, login("CAROL", "pw"))
                                 .read());
    add("create-refused", Script()
                              .frame(0, Request(REQ_CREATE_ACCOUNT).text("admin").text("x"))
                              .frame(0, Request(REQ_CREATE_ACCOUNT).text("..").text("x"))
                              .frame(0, Request(REQ_CREATE_ACCOUNT).text("a\\b").text("x"))
                              .frame(0, Request(REQ_CREATE_ACCOUNT).text("bob").text("x"))
                              .frame(0, Request(REQ_CREATE_ACCOUNT).text("dan").text("a\r\nb"))
                              .read());
    add("rename-and-delete",
        Script(ACCOUNT)
            .frame(0, Request(REQ_RENAME_FILE).text("notes.txt").text("renamed.txt"))
            .frame(0, Request(REQ_RENAME_FILE).text("renamed.txt").text("sub\\moved.txt"))
            .frame(0, Request(REQ_RENAME_FILE).text("empty").text("..\\ANN\\taken"))
            .frame(0, named(REQ_DELETE_FILE, "empty"))
            .frame(0, named(REQ_DELETE_FILE, "empty"))
            .frame(0, named(REQ_DELETE_FILE, ""))
            .read());
    add("own-folder-before-login", Script()
                                       .frame(0, named(REQ_DELETE_FILE, "notes.txt"))
                                       .frame(0, named(REQ_FILE_INFO, "notes.txt"))
                                       .frame(0, list(SELECT_OWN_FOLDER))
                                       .read());
    add("file-info", Script(ACCOUNT)
                         .frame(0, named(REQ_FILE_INFO, "notes.txt"))
                         .frame(0, named(REQ_FILE_INFO, "empty"))
                         .frame(0, named(REQ_FILE_INFO, "sub"))
                         .frame(0, named(REQ_FILE_INFO, "..\\..\\users.dat"))
                         .read());
    add("publish-and-withdraw", Script(ACCOUNT)
                                    .frame(0, shared("notes.txt", false))
                                    .frame(0, shared("empty", true))
                                    .frame(0, shared("empty", true))
                                    .frame(0, list(CATALOG))
                                    .frame(0, shared("empty", false))
                                    .frame(0, list(CATALOG))
                                    .read());
    add("publish-logged-out",
        Script().frame(0, shared("x.txt", true)).frame(1, list(CATALOG)).read());
    add("listings", Script(ACCOUNT, GUEST)
                        .frame(0, list(SELECT_OWN_FOLDER))
                        .frame(0, list(CATALOG))
                        .frame(1, list(SELECT_OWN_FOLDER))
                        .frame(1, list(7))
                        .read());
    add("logout-and-login-again", Script(ACCOUNT)
                                      .frame(0, Request(REQ_LOGOUT))
                                      .frame(0, list(SELECT_OWN_FOLDER))
                                      .frame(0, login("ANN", "pw2"))
                                      .frame(0, list(SELECT_OWN_FOLDER))
                                      .read());
    add("quit", Script(ACCOUNT).frame(0, Request(REQ_QUIT)).passes(4).reconnect(0).read());
    add("administrator-requests", Script(ADMIN, ACCOUNT, GUEST)
                                      .frame(0, Request(REQ_LIST_USERS))
                                      .frame(0, named(REQ_USER_INFO, "ANN"))
                                      .frame(0, named(REQ_USER_INFO, "127.0.0.1"))
                                      .frame(0, named(REQ_USER_INFO, "ann"))
                                      .frame(0, named(REQ_KICK_USER, "ADMIN"))
                                      .frame(0, named(REQ_KICK_USER, "nobody"))
                                      .frame(0, named(REQ_KICK_USER, "ANN"))
                                      .frame(0, Request(REQ_LIST_USERS))
                                      .read());
    add("administrator-only", Script(GUEST, ACCOUNT)
                                  .frame(0, Request(REQ_LIST_USERS))
                                  .frame(0, named(REQ_USER_INFO, "ANN"))
                                  .frame(1, named(REQ_KICK_USER, "ANN"))
                                  .frame(1, Request(REQ_STOP_SERVER))
                                  .read());
    add("administrator-stops", Script(ADMIN, ACCOUNT).frame(0, Request(REQ_STOP_SERVER)).read());
    add("upload", Script(ACCOUNT)
                      .frame(0, upload("new.txt", 5))
                      .passes(3)
                      .transfer(FROM_FIRST)
                      .feed(0, "hello")
                      .finish(0)
                      .passes(6)
                      .frame(0, named(REQ_FILE_INFO, "new.txt"))
                      .read());
    add("upload-replaces", Script(ACCOUNT)
                               .transfer(FROM_FIRST)
                               .frame(0, upload("notes.txt", 70000, 1))
                               .feed(0, std::string(250, 'u'), 200)
                               .passes(8)
                               .finish(0)
                               .read());
    add("upload-cancelled", Script(ACCOUNT)
                                .frame(0, upload("notes.txt", 1000))
                                .passes(3)
                                .transfer(FROM_FIRST)
                                .feed(0, "partial")
                                .passes(2)
                                .raw(0, "\x11")
                                .passes(4)
                                .read());
    add("upload-guest-refused", Script(GUEST)
                                    .frame(0, upload("x.txt", 1))
                                    .transfer(FROM_FIRST)
                                    .passes(3)
                                    .frame(0, list(CATALOG))
                                    .read());
    add("upload-into-missing-folder", Script(ACCOUNT)
                                          .frame(0, upload("no\\such\\x.txt", 3))
                                          .transfer(FROM_FIRST)
                                          .feed(0, "abc")
                                          .finish(0)
                                          .read());
    add("upload-control-lost", Script(ACCOUNT)
                                   .frame(0, upload("notes.txt", 1000))
                                   .passes(3)
                                   .transfer(FROM_FIRST)
                                   .feed(0, "partial")
                                   .hangUp(0, true)
                                   .passes(4));
    add("upload-await-times-out",
        Script(ACCOUNT).frame(0, upload("late.txt", 1)).passes(3).wait(250).passes(3).read());
    add("download-from-catalog", Script(GUEST)
                                     .frame(0, download("ANN\\pic.bin", CATALOG))
                                     .transfer(FROM_FIRST)
                                     .passes(16)
                                     .read());
    add("download-own-and-cancel", Script(ACCOUNT)
                                       .frame(0, download("notes.txt", SELECT_OWN_FOLDER, 0))
                                       .passes(3)
                                       .transfer(FROM_FIRST)
                                       .raw(0, "\x11")
                                       .passes(3)
                                       .read());
    add("download-missing-then-cancel", Script(ACCOUNT)
                                            .frame(0, download("nothing", SELECT_OWN_FOLDER))
                                            .transfer(FROM_FIRST)
                                            .passes(5)
                                            .raw(0, "\x11")
                                            .frame(0, list(SELECT_OWN_FOLDER))
                                            .read());
    add("download-not-in-catalog", Script(ACCOUNT)
                                       .frame(0, download("ANN\\secret", CATALOG))
                                       .frame(0, download("..\\users.dat", CATALOG))
                                       .transfer(FROM_FIRST)
                                       .passes(4)
                                       .raw(0, "\x11")
                                       .read());
    add("download-empty-file",
        Script(ACCOUNT).frame(0, download("empty", SELECT_OWN_FOLDER)).transfer(0).passes(4));
    add("download-control-lost", Script(ACCOUNT)
                                     .frame(0, download("ANN\\pic.bin", CATALOG))
                                     .transfer(FROM_FIRST)
                                     .passes(2)
                                     .hangUp(0, false)
                                     .passes(16));
    add("download-transfer-reset", Script(ACCOUNT)
                                       .frame(0, download("ANN\\pic.bin", CATALOG))
                                       .transfer(FROM_FIRST)
                                       .passes(2)
                                       .drop(0, true)
                                       .passes(4)
                                       .raw(0, "\x11")
                                       .read());
    add("two-clients-one-address", Script(ACCOUNT, NOBODY, ACCOUNT)
                                       .frame(0, download("ANN\\pic.bin", CATALOG))
                                       .frame(2, download("notes.txt", SELECT_OWN_FOLDER))
                                       .transfer(FROM_FIRST)
                                       .transfer(FROM_FIRST)
                                       .passes(20)
                                       .read());
    add("refused-transfer-then-real-one", Script()
                                              .frame(0, download("ANN\\pic.bin", CATALOG))
                                              .transfer(FROM_FIRST)
                                              .passes(3)
                                              .frame(0, login("GUEST", ""))
                                              .frame(0, download("ANN\\pic.bin", CATALOG))
                                              .transfer(FROM_FIRST)
                                              .passes(16)
                                              .read());
    add("stranger-on-transfer-port", Script(ACCOUNT)
                                         .transfer(FROM_STRANGER)
                                         .transfer(FROM_SECOND)
                                         .passes(3)
                                         .wait(200)
                                         .passes(3));
    add("user-info-during-transfer", Script(ACCOUNT, ADMIN)
                                         .frame(0, download("ANN\\pic.bin", CATALOG))
                                         .transfer(FROM_FIRST)
                                         .passes(2)
                                         .frame(1, named(REQ_USER_INFO, "BOB"))
                                         .passes(4)
                                         .read());
    add("console-kicks", Script(ACCOUNT, GUEST).kick(0).kick(0).passes(2).read());
    add("kick-during-upload", Script(ACCOUNT, ADMIN)
                                  .frame(0, upload("notes.txt", 100))
                                  .transfer(FROM_FIRST)
                                  .feed(0, "some")
                                  .frame(1, named(REQ_KICK_USER, "BOB"))
                                  .passes(4)
                                  .read());
    {
        Script split;
        std::string body = login("GUEST", "x").bytes();
        std::string bytes = header(static_cast<std::uint32_t>(body.size())) + body;
        for (char c : bytes) split.raw(0, std::string(1, c)).passes(1);
        add("frame-byte-by-byte", split.read());
    }
    {
        std::string two = header(2) + list(CATALOG).bytes() + header(1) + "\x0c";
        add("two-frames-one-write", Script(ADMIN).raw(0, two).read());
    }
    add("oversized-header", Script().raw(0, "\xff\xff\xff\xff").raw(1, header(65537)).read());
    add("largest-frame", Script().raw(0, header(65536) + std::string(200, '\xc8')).read());
    add("zero-length-frame", Script().raw(0, header(0)).passes(2).raw(0, "x").passes(2));
    add("unknown-codes", Script()
                             .frame(0, Request(0))
                             .frame(0, Request(16).text("junk"))
                             .frame(0, Request(255))
                             .frame(0, login("GUEST", ""))
                             .read());
    {
        Script shorts(ACCOUNT);
        for (int code = 1; code <= 15; ++code) {
            shorts.frame(0, Request(static_cast<std::uint8_t>(code)));
            shorts.frame(0, Request(static_cast<std::uint8_t>(code)).byte(200).byte('a'));
        }
        add("short-requests", shorts.read());
    }
    add("nul-inside-names", Script()
                                .frame(0, login(std::string("GUEST\0x", 7), "pw"))
                                .frame(1, Request(REQ_CREATE_ACCOUNT)
                                              .text(std::string("EVE\0", 4))
                                              .text(std::string("p\0w", 3)))
                                .read());
    add("reply-never-read", Script(ADMIN)
                                .frame(0, Request(REQ_LIST_USERS))
                                .frame(0, Request(REQ_LIST_USERS))
                                .frame(0, Request(REQ_LIST_USERS))
                                .passes(12)
                                .wait(40)
                                .passes(4));
    return seeds;
}

std::vector<std::pair<std::string, std::string>> accountSeeds() {
    const std::string accounts = "BOB\r\npw\r\nANN\r\npw2\r\n";
    auto ops = [](FileInput input) {
        return input.code(0)
            .text8("bob")
            .text8("pw")
            .code(0)
            .text8("BOB")
            .text8("PW")
            .code(0)
            .text8("ZED")
            .text8("x")
            .code(1)
            .text8("ann")
            .text8("")
            .code(2)
            .text8("carol")
            .text8("secret")
            .code(0)
            .text8("CAROL")
            .text8("secret")
            .code(2)
            .text8("Bob")
            .text8("other")
            .code(2)
            .text8("admin")
            .text8("x")
            .code(2)
            .text8("")
            .text8("x")
            .bytes();
    };
    return {
        {"plain", ops(FileInput().text16(accounts).text8("boss"))},
        {"bare-line-feeds", ops(FileInput().text16("BOB\npw\nANN\npw2\n").text8("boss\nnext"))},
        {"torn-last-password", ops(FileInput().text16("BOB\r\npw\r\nANN\r\npw").text8(""))},
        {"torn-carriage-return", ops(FileInput().text16("BOB\r\npw\r").text8("boss\r\n"))},
        {"name-without-password", ops(FileInput().text16("BOB\r\npw\r\nANN\r\n").text8("x"))},
        {"name-line-torn", ops(FileInput().text16("BOB\r\npw\r\nAN").text8("x"))},
        {"lower-case-stored", ops(FileInput().text16("bob\r\npw\r\n").text8("x"))},
        {"duplicate-records", ops(FileInput().text16("BOB\r\none\r\nBOB\r\npw\r\n").text8("x"))},
        {"long-line", ops(FileInput()
                              .text16(std::string(300, 'A') + "\r\npw\r\n" + accounts)
                              .text8(std::string(255, 'p')))},
        {"empty-file", ops(FileInput().text16("").text8(""))},
        {"empty-name-record", ops(FileInput().text16("\r\nempty\r\n" + accounts).text8("x"))},
    };
}

std::vector<std::pair<std::string, std::string>> catalogSeeds() {
    const std::string catalog = "BOB\\notes.txt\r\nANN\\pic.bin\r\nSERVERSHARE\\readme.txt\r\n";
    auto ops = [](FileInput input) {
        return input.code(1)
            .code(0)
            .text8("BOB\\notes.txt")
            .code(2)
            .text8("BOB")
            .code(3)
            .text8("BOB\\new.txt")
            .code(3)
            .text8(std::string(256, 'x'))
            .code(4)
            .text8("BOB\\notes.txt")
            .code(5)
            .code(1)
            .text8("ANN\\pic.bin")
            .code(1)
            .bytes();
    };
    return {
        {"plain", ops(FileInput().text16(catalog))},
        {"duplicates", ops(FileInput().text16(catalog + "BOB\\notes.txt\r\n"))},
        {"torn-last-line", ops(FileInput().text16("BOB\\notes.txt\r\nANN\\pi"))},
        {"torn-carriage-return", ops(FileInput().text16("BOB\\notes.txt\r"))},
        {"long-line", ops(FileInput().text16(std::string(300, 'L') + "\r\n" + catalog))},
        {"empty-lines", ops(FileInput().text16("\r\n\r\nBOB\\notes.txt\n\n"))},
        {"carriage-returns-inside", ops(FileInput().text16("BOB\\a\rb\r\r\nBOB\\c\r\n"))},
        {"missing", FileInput()
                        .text16(catalog)
                        .code(6)
                        .code(1)
                        .code(5)
                        .code(0)
                        .text8("x")
                        .code(5)
                        .code(2)
                        .text8("x")
                        .code(3)
                        .text8("BOB\\x")
                        .bytes()},
    };
}

std::vector<std::pair<std::string, std::string>> lineSeeds() {
    auto shaped = [](int shape, const std::string& unit) {
        return std::string(1, static_cast<char>(shape)) + unit;
    };
    return {
        {"hosts", shaped(0, "example.test\r\n127.0.0.1\nlocalhost")},
        {"long-host-lines", shaped(0, std::string(600, 'h') + "\r\n" + std::string(511, 'i') +
                                          "\r\n" + std::string(512, 'j') + "\n")},
        {"line-past-keep-limit", shaped(0x80 | 20, std::string(1000, 'k'))},
        {"lines-across-reads", shaped(0x80 | 3, "abc\r\n")},
        {"carriage-returns", shaped(7, "a\r\r\n\r\n\r")},
        {"empty-lines", shaped(1, "\n\n\n")},
    };
}

bool writeAll(const fs::path& folder, const std::vector<std::pair<std::string, std::string>>& all) {
    fs::create_directories(folder);
    for (const auto& [name, bytes] : all) {
        std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds CORPUS_FOLDER\n");
        return 2;
    }
    fs::path root = argv[1];
    bool ok = writeAll(root / "request", requestSeeds()) &&
              writeAll(root / "account_files", accountSeeds()) &&
              writeAll(root / "catalog_file", catalogSeeds()) &&
              writeAll(root / "line_reader", lineSeeds());
    return ok ? 0 : 1;
}
