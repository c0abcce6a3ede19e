// An in-process server on free ports with a fresh data folder, running on
// its own thread, and clients connected to it over loopback.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "client/client.h"
#include "platform/tick_clock.h"
#include "platform/window_system.h"
#include "server/server.h"
#include "support/temp_dir.h"

namespace vextora::test {

// A window system without windows whose count a test thread may read, and
// through which a test can run code on the server's thread between polls,
// as the console does.
class TestWindow final : public WindowSystem {
public:
    void showMainWindow() override {}
    bool processPendingEvents() override;
    void setClientCount(std::size_t count) override { count_.store(count); }
    void waitForActivity(int handle, int timeoutMs) override;
    bool stopRequested() const override { return false; }
    void showStartupError(std::string_view) override {}

    std::size_t clientCount() const { return count_.load(); }
    // Runs `task` on the server thread in a later pass and waits for it.
    void runOnServer(const std::function<void()>& task);

private:
    std::atomic<std::size_t> count_{0};
    std::mutex mutex_;
    std::function<void()> task_;
    std::atomic<bool> pending_{false};
    std::atomic<bool> done_{false};
};

class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the server; a test that wants files in place first calls this later.
    void startServer();
    void stopServer();

    // A connected client, not logged in, whose connections come from `from`.
    std::unique_ptr<client::Client> connect(const std::string& from = "127.0.0.1");
    // A client logged in as `name` (created first unless it is ADMIN or GUEST).
    std::unique_ptr<client::Client> loginAs(const std::string& name,
                                            const std::string& password = "pw");

    // Every session has read everything its client sent so far (asked on
    // the server's thread, between polls).
    bool sessionsTookAllInput();
    // What the sessions' unfinished request frames count for against their
    // limit, read on the server's thread.
    std::size_t heldFrameBytes();

    // Waits until `condition` holds, up to timeoutMs; false if it never did.
    static bool eventually(const std::function<bool()>& condition, int timeoutMs = 3000);

    std::uint16_t controlPort() const { return server_->controlPort(); }
    std::uint16_t transferPort() const { return server_->transferPort(); }

    TempDir dir_;
    TestWindow window_;
    SystemTickClock systemClock_;
    ManualTickClock manualClock_;
    bool useManualClock_ = false;
    std::unique_ptr<Server> server_;
    std::thread thread_;
};

// Reads what arrives on a raw connection within `ms` (nothing more is waited for).
std::string drain(client::Connection& connection, int ms = 200);

}  // namespace vextora::test
