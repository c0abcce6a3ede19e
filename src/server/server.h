// Server: the whole server on one thread.
//
// start() binds the control listener and the transfer listener. run() repeats
// one pass until a stop is requested, then shuts down. A pass:
//   1. gathers readiness of every socket with one system call (waiting for it
//      first, up to a short bound that never passes the moment a held login
//      refusal may go out, only when the previous pass did nothing; skipped
//      after a busy pass when the last gathering was microseconds ago);
//   2. accepts at most one control connection, and lets the transfer engine
//      take transfer connections and move detached downloads;
//   3. gives the held login refusals whose time has come to their sessions,
//      then polls every session once, in accept order, destroying finished
//      ones (once a second, sessions whose request frame has stalled are made
//      due first, so that their time limit ends them);
//   4. lets the transfer engine settle what the polls have made clear;
//   5. lets the window system handle its pending events, without waiting;
//   6. ends the loop when a stop was requested.
// An idle pass after clients have left first gives the memory they held
// back to the system (at most once a second).
// At shutdown the listeners close and every session, newest first, receives
// REPLY_CLOSING and is closed.
//
// Ports are parameters (0 picks a free one), so tests run servers side by
// side; the program always uses CONTROL_PORT and TRANSFER_PORT.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "accounts/login_throttle.h"
#include "net/poller.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "server/client_list.h"
#include "server/listener.h"
#include "server/protocol.h"
#include "server/server_context.h"
#include "sharing/transfer_engine.h"

namespace vextora {

class TickClock;
class WindowSystem;

struct ServerConfig {
    std::uint16_t controlPort = CONTROL_PORT;
    std::uint16_t transferPort = TRANSFER_PORT;
    std::string root = ".";  // the data folder
    int idleWaitMs = 200;    // longest wait of an idle pass
};

class Server {
public:
    // window and clock must outlive the server.
    Server(const ServerConfig& config, WindowSystem& window, const TickClock& clock);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds both ports and removes temporaries a crash left behind. False
    // with a one-line reason naming the port when the request port cannot be
    // bound. A busy transfer port is no reason to refuse every other
    // request: the server starts, says so in startWarnings(), and binds it
    // once it is free. An administrator password that is empty (anyone may
    // log in as ADMIN) or unreadable (no one may) is a warning too.
    bool start(std::string& error);
    // One line each, without a line end.
    const std::vector<std::string>& startWarnings() const { return startWarnings_; }
    // Passes until a stop is requested, then the shutdown. Returns 0.
    int run();
    // One pass of the loop (start() must have succeeded).
    void runPass();
    void shutdown();

    // Asks the loop to stop after its current pass; safe from any thread
    // and from a signal handler's flag.
    void requestStop();
    std::atomic<bool>& stopFlag() { return externalStop_; }
    const WakeEvent& wakeEvent() const { return wake_; }

    std::uint16_t controlPort() const;
    std::uint16_t transferPort() const;
    // How many clients can still connect before the descriptors run short
    // (each costs one at rest); -1 when the system does not say.
    long clientLimit() const;
    ClientList& clients() { return clients_; }
    ServerContext& context() { return *context_; }
    const FileSystem& files() const { return files_; }
    bool stopping() const { return context_->stopRequested; }

private:
    int idleWaitBound() const;
    // Step 1 of a pass: waits when the pass may, and records what is ready.
    void gatherReadiness(std::chrono::steady_clock::time_point passStart);
    // Hands the sessions whose held login refusals may go out now their replies.
    void releaseHeldRefusals();

    ServerConfig config_;
    WindowSystem& window_;
    const TickClock& clock_;
    FileSystem files_;
    Poller poller_;
    WakeEvent wake_;
    std::atomic<bool> externalStop_{false};
    // Declared before the list: sessions reach these while they are destroyed.
    LoginThrottle logins_;
    std::vector<LoginThrottle::SessionId> released_;
    std::unique_ptr<ServerContext> context_;
    TransferEngine transfers_;
    ClientList clients_;
    Listener listener_;
    std::uint32_t wakeReady_ = 0;
    std::uint32_t catalogChanged_ = 0;
    std::size_t clientsSinceRelease_ = 0;  // most clients since memory was last released
    std::uint32_t lastRelease_ = 0;
    std::uint32_t lastFrameSweep_ = 0;
    std::chrono::steady_clock::time_point lastLook_;  // last look at readiness
    Stamp lookedAt_ = 0;                              // the wall clock just before that look
    bool idleLastPass_ = false;
    std::uint32_t quietPasses_ = 0;  // passes that did nothing, in a row
    bool shutDown_ = false;
    std::vector<std::string> startWarnings_;
};

}  // namespace vextora
