#include "support/server_fixture.h"

#include <poll.h>
#include <sys/ioctl.h>

namespace vextora::test {

bool TestWindow::processPendingEvents() {
    if (!pending_.load()) return false;
    std::function<void()> task;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        task = std::move(task_);
    }
    pending_.store(false);
    if (task) task();
    done_.store(true);
    return true;
}

void TestWindow::waitForActivity(int handle, int timeoutMs) {
    // Short waits, so a task posted from the test thread runs promptly.
    pollfd entry{handle, POLLIN, 0};
    ::poll(&entry, 1, std::min(timeoutMs, 10));
}

void TestWindow::runOnServer(const std::function<void()>& task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        task_ = task;
    }
    done_.store(false);
    pending_.store(true);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done_.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(done_.load()) << "the server thread did not run the task";
}

void ServerFixture::SetUp() {}

void ServerFixture::TearDown() {
    stopServer();
}

void ServerFixture::startServer() {
    ServerConfig config;
    config.controlPort = 0;
    config.transferPort = 0;
    config.root = dir_.str();
    const TickClock& clock = useManualClock_ ? static_cast<const TickClock&>(manualClock_)
                                             : static_cast<const TickClock&>(systemClock_);
    server_ = std::make_unique<Server>(config, window_, clock);
    std::string error;
    ASSERT_TRUE(server_->start(error)) << error;
    thread_ = std::thread([this] { server_->run(); });
}

void ServerFixture::stopServer() {
    if (!server_) return;
    server_->requestStop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
}

std::unique_ptr<client::Client> ServerFixture::connect(const std::string& from) {
    auto client = std::make_unique<client::Client>("127.0.0.1", controlPort(), transferPort());
    client->setLocalAddress(from);
    EXPECT_TRUE(client->connect(3000)) << client->connection().error();
    client->connection().setTimeout(5000);
    return client;
}

std::unique_ptr<client::Client> ServerFixture::loginAs(const std::string& name,
                                                       const std::string& password) {
    auto client = connect();
    if (name != "ADMIN" && name != "GUEST") {
        auto created = client->createAccount(name, password);
        EXPECT_TRUE(created.ok() || created.reply == REPLY_BAD_NAME) << created.message;
    }
    auto status = client->login(name, password);
    EXPECT_TRUE(status.ok()) << name << ": " << status.message;
    return client;
}

bool ServerFixture::sessionsTookAllInput() {
    bool taken = true;
    window_.runOnServer([&] {
        ClientList& clients = server_->clients();
        for (std::size_t i = 0; i < clients.size(); ++i) {
            int pending = 0;
            if (::ioctl(clients.at(i).control.nativeHandle(), FIONREAD, &pending) == 0 &&
                pending > 0)
                taken = false;
        }
    });
    return taken;
}

std::size_t ServerFixture::heldFrameBytes() {
    std::size_t held = 0;
    window_.runOnServer([&] { held = server_->context().heldFrameBytes; });
    return held;
}

bool ServerFixture::eventually(const std::function<bool()>& condition, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

std::string drain(client::Connection& connection, int ms) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (!connection.waitReadable(static_cast<int>(std::max<long>(left, 1)))) break;
        char buffer[4096];
        IoResult read = connection.socket().receiveSome(buffer, sizeof buffer);
        if (read.bytes == 0 && !read.wouldBlock()) break;
        got.append(buffer, read.bytes);
    }
    return got;
}

}  // namespace vextora::test
