#include "request_script.h"

#include <sys/socket.h>

#include <memory>
#include <vector>

#include "net/tcp_socket.h"
#include "platform/process.h"
#include "platform/tick_clock.h"
#include "platform/window_system.h"
#include "scratch_folder.h"
#include "script_reader.h"
#include "server/client_list.h"
#include "server/protocol.h"
#include "server/server.h"
#include "sharing/transfer_engine.h"

namespace vextora::fuzz {

namespace {

constexpr int CONTROLS = 3;
constexpr int TRANSFERS = 4;
// Clients 0 and 2 share an address, as two programs on one machine would;
// transfer connections may also come from an address no client uses.
constexpr const char* CONTROL_FROM[CONTROLS] = {"127.0.0.1", "127.0.0.2", "127.0.0.1"};
constexpr const char* TRANSFER_FROM[] = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};
constexpr const char* PROBE_FROM = "127.0.0.4";

constexpr int MAX_OPERATIONS = 1024;
constexpr int SETTLE_PASSES = 400;
// Past every time limit of the server: held and awaited transfer
// connections, detached downloads, replies nobody takes.
constexpr std::uint32_t PAST_EVERY_LIMIT_MS = TRANSFER_AWAIT_MS + TRANSFER_HOLD_MS + 1000;

std::string frame(const std::string& payload) {
    auto length = static_cast<std::uint32_t>(payload.size());
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<char>(length >> shift));
    return bytes + payload;
}

std::string loginPayload(const std::string& name, const std::string& password) {
    std::string payload(1, static_cast<char>(REQ_LOGIN));
    payload += static_cast<char>(name.size());
    payload += name;
    payload += static_cast<char>(password.size());
    payload += password;
    return payload;
}

// A close with a reset leaves nothing in TIME_WAIT, so a long fuzzing run
// never runs out of local ports.
void closeAbruptly(TcpSocket& socket) {
    if (!socket.isOpen()) return;
    linger abrupt{1, 0};
    ::setsockopt(socket.nativeHandle(), SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    socket.release();
}

std::string drainSocket(TcpSocket& socket) {
    std::string got;
    if (!socket.isOpen()) return got;
    char buffer[65536];
    for (int round = 0; round < 64; ++round) {
        IoResult read = socket.receiveSome(buffer, sizeof buffer);
        if (read.bytes == 0) break;
        got.append(buffer, read.bytes);
    }
    return got;
}

void sendAll(TcpSocket& socket, const std::string& bytes) {
    if (!socket.isOpen() || bytes.empty()) return;
    // Whatever the connection cannot take now is dropped: a script that
    // floods a connection nobody reads just loses the excess.
    socket.sendSome(bytes.data(), bytes.size());
}

class ScriptRun {
public:
    explicit ScriptRun(const ScratchFolder& scratch) : scratch_(scratch) {}
    ~ScriptRun() { tearDown(); }

    std::string run(std::span<const std::uint8_t> script);

private:
    bool startServer();
    void pass();
    void settle();
    TcpSocket connectFrom(const char* address, std::uint16_t port);
    void reconnect(int client);
    void logIn(int client, int kind);
    void drainAll();
    void operate(ScriptReader& script);
    std::string checkStillServing();
    std::string checkEverythingReleased();
    void tearDown();

    const ScratchFolder& scratch_;
    ManualTickClock clock_;
    HeadlessWindowSystem window_;
    std::unique_ptr<Server> server_;
    TcpSocket controls_[CONTROLS];
    TcpSocket transfers_[TRANSFERS];
    int nextTransfer_ = 0;
};

bool ScriptRun::startServer() {
    ServerConfig config;
    config.controlPort = 0;
    config.transferPort = 0;
    config.root = scratch_.data();
    config.idleWaitMs = 0;  // the script, not the clock, decides when passes run
    server_ = std::make_unique<Server>(config, window_, clock_);
    std::string error;
    return server_->start(error);
}

void ScriptRun::pass() {
    if (server_ && !server_->stopping()) server_->runPass();
}

void ScriptRun::settle() {
    int idle = 0;
    for (int round = 0; round < SETTLE_PASSES && idle < 3 && !server_->stopping(); ++round) {
        server_->runPass();
        idle = server_->context().activity ? 0 : idle + 1;
    }
}

TcpSocket ScriptRun::connectFrom(const char* address, std::uint16_t port) {
    TcpSocket socket(true);
    if (!socket.bindLocal(address) || !socket.connectTo("127.0.0.1", port, 1000)) {
        closeAbruptly(socket);
        return TcpSocket();
    }
    socket.setNonBlocking(true);
    return socket;
}

void ScriptRun::reconnect(int client) {
    closeAbruptly(controls_[client]);
    controls_[client] = connectFrom(CONTROL_FROM[client], server_->controlPort());
}

void ScriptRun::logIn(int client, int kind) {
    static const char* const ACCOUNTS[CONTROLS] = {"BOB", "ANN", "bob"};
    switch (kind) {
        case 1:
            sendAll(controls_[client], frame(loginPayload("GUEST", "")));
            break;
        case 2:
            sendAll(controls_[client], frame(loginPayload("admin", "boss")));
            break;
        case 3:
            sendAll(controls_[client],
                    frame(loginPayload(ACCOUNTS[client], client == 1 ? "pw2" : "pw")));
            break;
        default:
            break;
    }
}

void ScriptRun::drainAll() {
    for (auto& control : controls_) drainSocket(control);
    for (auto& transfer : transfers_) drainSocket(transfer);
}

void ScriptRun::operate(ScriptReader& script) {
    std::uint8_t code = script.byte() % 12;
    switch (code) {
        case 0: {
            int client = script.byte() % CONTROLS;
            sendAll(controls_[client], script.text8());
            break;
        }
        case 1: {
            int client = script.byte() % CONTROLS;
            sendAll(controls_[client], frame(script.text8()));
            break;
        }
        case 2: {
            int count = script.byte() % 32 + 1;
            for (int i = 0; i < count; ++i) pass();
            break;
        }
        case 3: {
            const char* from = TRANSFER_FROM[script.byte() % std::size(TRANSFER_FROM)];
            TcpSocket& slot = transfers_[nextTransfer_];
            nextTransfer_ = (nextTransfer_ + 1) % TRANSFERS;
            closeAbruptly(slot);
            slot = connectFrom(from, server_->transferPort());
            break;
        }
        case 4: {
            TcpSocket& slot = transfers_[script.byte() % TRANSFERS];
            std::string bytes = script.text8();
            int repeat = script.byte() + 1;
            std::string all;
            for (int i = 0; i < repeat; ++i) all += bytes;
            sendAll(slot, all);
            break;
        }
        case 5: {
            TcpSocket& slot = transfers_[script.byte() % TRANSFERS];
            if (slot.isOpen()) slot.shutdownWrite();
            break;
        }
        case 6: {
            TcpSocket& slot = transfers_[script.byte() % TRANSFERS];
            if (script.byte() % 2)
                closeAbruptly(slot);
            else
                slot.release();
            break;
        }
        case 7: {
            TcpSocket& control = controls_[script.byte() % CONTROLS];
            if (script.byte() % 2)
                closeAbruptly(control);
            else
                control.release();
            break;
        }
        case 8:
            reconnect(script.byte() % CONTROLS);
            break;
        case 9:
            drainAll();
            break;
        case 10:
            clock_.advance(std::uint32_t{script.byte()} * 250);
            break;
        case 11: {
            // As the console does: a name taken from the list, kicked between polls.
            ClientList& clients = server_->clients();
            std::uint8_t index = script.byte();
            if (!clients.empty()) {
                std::string name = clients.at(index % clients.size()).userName;
                clients.kickUserByName(name);
            }
            break;
        }
    }
    pass();
}

std::string ScriptRun::checkStillServing() {
    TcpSocket probe = connectFrom(PROBE_FROM, server_->controlPort());
    if (!probe.isOpen()) return "a new client could not connect";
    sendAll(probe, frame(loginPayload("GUEST", "")));
    std::string reply;
    for (int round = 0; round < SETTLE_PASSES && reply.empty() && !server_->stopping(); ++round) {
        server_->runPass();
        reply = drainSocket(probe);
        drainAll();
    }
    closeAbruptly(probe);
    if (server_->stopping()) return {};  // an administrator's stop raced the probe
    if (reply != std::string(1, static_cast<char>(REPLY_OK)))
        return "a new client's guest login was not answered 18 (got " +
               std::to_string(reply.size()) + " bytes)";
    return {};
}

std::string ScriptRun::checkEverythingReleased() {
    for (auto& control : controls_) closeAbruptly(control);
    for (auto& transfer : transfers_) closeAbruptly(transfer);
    settle();
    clock_.advance(PAST_EVERY_LIMIT_MS);
    settle();
    clock_.advance(PAST_EVERY_LIMIT_MS);
    settle();
    const TransferEngine& hub = server_->context().transfers;
    if (server_->clients().size() != 0 || hub.heldCount() != 0 || hub.awaitingCount() != 0 ||
        hub.detachedCount() != 0) {
        return "after every client left: " + std::to_string(server_->clients().size()) +
               " sessions, " + std::to_string(hub.heldCount()) + " held, " +
               std::to_string(hub.awaitingCount()) + " awaiting, " +
               std::to_string(hub.detachedCount()) + " detached";
    }
    return {};
}

void ScriptRun::tearDown() {
    for (auto& control : controls_) closeAbruptly(control);
    for (auto& transfer : transfers_) closeAbruptly(transfer);
    server_.reset();
}

std::string ScriptRun::run(std::span<const std::uint8_t> data) {
    ScriptReader script(data);
    if (!startServer()) return "the server did not start";

    std::uint8_t logins = script.byte();
    for (int client = 0; client < CONTROLS; ++client) {
        reconnect(client);
        logIn(client, (logins >> (2 * client)) & 3);
    }
    settle();
    drainAll();

    for (int count = 0; count < MAX_OPERATIONS && !script.done() && !server_->stopping(); ++count)
        operate(script);
    settle();
    drainAll();

    if (server_->stopping()) return {};  // an administrator stopped it: nothing more to ask
    if (std::string failure = checkStillServing(); !failure.empty()) return failure;
    if (server_->stopping()) return {};
    return checkEverythingReleased();
}

}  // namespace

void seedServerData(const ScratchFolder& scratch) {
    scratch.write("users.dat", "BOB\r\npw\r\nANN\r\npw2\r\n");
    scratch.write("adminpass.cfg", "boss");
    scratch.write("shared.dat", "BOB\\notes.txt\r\nANN\\pic.bin\r\nSERVERSHARE\\readme.txt\r\n");
    scratch.write("Users/BOB/notes.txt", "Notes of BOB.\r\n");
    scratch.write("Users/BOB/empty", "");
    scratch.write("Users/BOB/sub/inner.txt", "inner");
    static const std::string picture = [] {
        std::string bytes(20000, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
        return bytes;
    }();
    scratch.write("Users/ANN/pic.bin", picture);
    scratch.write("Users/SERVERSHARE/readme.txt", "Read me.");
}

std::string runRequestScript(std::span<const std::uint8_t> script, const ScratchFolder& scratch) {
    scratch.clear();
    seedServerData(scratch);
    int descriptorsBefore = openDescriptorCount();
    std::string failure = ScriptRun(scratch).run(script);
    if (failure.empty()) {
        int descriptorsAfter = openDescriptorCount();
        if (descriptorsAfter != descriptorsBefore)
            failure = "descriptors: " + std::to_string(descriptorsBefore) + " before, " +
                      std::to_string(descriptorsAfter) + " after";
    }
    if (failure.empty()) {
        std::string stray = scratch.strayEntries();
        if (!stray.empty()) failure = "written outside the data folder:\n" + stray;
    }
    return failure;
}

}  // namespace vextora::fuzz
