// The client library against an in-process server: what it refuses to send,
// how transfers end when cancelled, and how it keeps the control connection
// in step with the server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "server/client_session.h"
#include "server/server_context.h"
#include "sharing/transfer_engine.h"
#include "support/server_fixture.h"

namespace vextora::test {
namespace {

using client::Status;
using client::TransferOptions;

using Clock = std::chrono::steady_clock;

class ClientLibrary : public ServerFixture {
protected:
    void SetUp() override { startServer(); }

    // True once the session of `name` has no transfer on the server.
    bool transferEnded(const std::string& name) {
        bool ended = false;
        window_.runOnServer([&] {
            for (std::size_t i = 0; i < server_->clients().size(); ++i) {
                const ClientSession& session = server_->clients().at(i);
                if (session.userName == name)
                    ended = !server_->context().transfers.hasTransfer(session.acceptOrder);
            }
        });
        return ended;
    }

    client::Sink discard() {
        return [this](const std::uint8_t*, std::size_t length) {
            received_ += length;
            return true;
        };
    }

    std::uint64_t received_ = 0;
};

TEST_F(ClientLibrary, OverlongNamesAreRefusedWithoutSendingAnything) {
    auto client = loginAs("BOB");
    const std::string tooLong(256, 'n');
    const std::string longest(255, 'n');
    std::vector<std::pair<const char*, Status>> outcomes;
    outcomes.emplace_back("rename", client->rename(tooLong, "x"));
    outcomes.emplace_back("rename to", client->rename("x", tooLong));
    outcomes.emplace_back("remove", client->remove(tooLong));
    outcomes.emplace_back("create", client->createAccount("x", tooLong));
    outcomes.emplace_back("kick", client->kick(tooLong));
    Status info;
    EXPECT_FALSE(client->fileInfo(tooLong, &info));
    outcomes.emplace_back("file info", info);
    Status user;
    EXPECT_FALSE(client->userInfo(tooLong, &user));
    outcomes.emplace_back("user info", user);
    outcomes.emplace_back("download", client->download(tooLong, 24, discard()));
    outcomes.emplace_back(
        "upload", client->upload(tooLong, 0, [](std::uint8_t*, std::size_t) { return 0L; }));
    for (const auto& [what, status] : outcomes) {
        EXPECT_EQ(status.kind, Status::Invalid) << what;
        EXPECT_NE(status.message.find("255"), std::string::npos) << what;
    }
    EXPECT_FALSE(client->setShared(tooLong, true));
    EXPECT_EQ(drain(client->connection(), 200), "") << "nothing was sent, so nothing answers";
    EXPECT_FALSE(dir_.exists("shared.dat"));
    // 255 bytes still go out; the server answers for itself.
    EXPECT_EQ(client->remove(longest).reply, REPLY_FAILED);
}

TEST_F(ClientLibrary, UnavailableDownloadIsCancelledAtOnceAndTheSessionGoesOn) {
    auto client = loginAs("BOB");
    for (std::uint8_t selector : {std::uint8_t{0}, SELECT_OWN_FOLDER}) {
        auto started = Clock::now();
        std::uint32_t size = 0;
        Status status = client->download("BOB\\missing.txt", selector, discard(), {}, &size);
        EXPECT_EQ(status.kind, Status::NotAvailable) << int(selector);
        EXPECT_EQ(size, SIZE_UNAVAILABLE);
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(3));
        EXPECT_TRUE(eventually([&] { return transferEnded("BOB"); }))
            << "the server took the cancel";
        Status listed;
        EXPECT_TRUE(client->listCatalog(&listed)) << listed.message;
    }
}

TEST_F(ClientLibrary, CancelThatCrossesTheEndOfADownloadClosesTheConnection) {
    auto client = loginAs("BOB");
    dir_.write("Users/BOB/small.bin", std::string(64 * 1024, 's'));
    std::atomic<bool> cancel{false};
    TransferOptions options;
    options.cancel = &cancel;
    options.progress = [&](std::uint64_t done, std::uint64_t) {
        // Before a byte is read here, the server has sent them all and is
        // reading requests again: the cancel can only arrive as a request.
        if (done == 0) {
            EXPECT_TRUE(eventually([&] { return transferEnded("BOB"); }, 5000));
            cancel = true;
        }
    };
    Status status = client->download("small.bin", SELECT_OWN_FOLDER, discard(), options);
    EXPECT_EQ(status.kind, Status::Cancelled);
    EXPECT_FALSE(client->checkConnected()) << "left open, the next request would be misread";
}

TEST_F(ClientLibrary, CancelledUploadKeepsTheEarlierFileAndTheConnectionInStep) {
    auto client = loginAs("BOB");
    dir_.write("Users/BOB/a.txt", "earlier");
    std::atomic<bool> cancel{false};
    TransferOptions options;
    options.cancel = &cancel;
    options.progress = [&](std::uint64_t done, std::uint64_t) {
        if (done >= 1024 * 1024) cancel = true;
    };
    auto endless = [](std::uint8_t* buffer, std::size_t capacity) {
        std::fill(buffer, buffer + capacity, 'z');
        return static_cast<long>(capacity);
    };
    Status status = client->upload("a.txt", 0, endless, options);
    EXPECT_EQ(status.kind, Status::Cancelled) << status.message;
    EXPECT_EQ(dir_.read("Users/BOB/a.txt"), "earlier");
    EXPECT_EQ(drain(client->connection(), 100), "") << "the cancel's answer was read";
    Status listed;
    auto names = client->listOwnFolder(&listed);
    ASSERT_TRUE(names) << listed.message;
    EXPECT_EQ(*names, std::vector<std::string>{"a.txt"}) << "no partial file shows";
}

TEST_F(ClientLibrary, UploadNameWithDotDotIsNeverStartedSoNoConnectionIsLeftBehind) {
    auto client = loginAs("BOB");
    dir_.write("Users/BOB/a.txt", "payload");
    for (const char* name : {"..", "../x", "sub/../../x", "..\\users.dat"}) {
        bool read = false;
        Status status = client->upload(name, 1, [&](std::uint8_t*, std::size_t) {
            read = true;
            return 0L;
        });
        EXPECT_EQ(status.kind, Status::Invalid) << name;
        EXPECT_FALSE(read) << name << ": no byte may go out";
    }
    Status listed;
    ASSERT_TRUE(client->listOwnFolder(&listed)) << listed.message;  // a few passes later
    std::size_t held = 1;
    window_.runOnServer([&] { held = server_->context().transfers.heldCount(); });
    EXPECT_EQ(held, 0u) << "no transfer connection waits for the next transfer";

    std::string got;
    Status download = client->download("a.txt", SELECT_OWN_FOLDER,
                                       [&](const std::uint8_t* data, std::size_t length) {
                                           got.append(reinterpret_cast<const char*>(data), length);
                                           return true;
                                       });
    EXPECT_TRUE(download.ok()) << download.message;
    EXPECT_EQ(got, "payload");
    EXPECT_TRUE(client->upload("a..b", 0, [](std::uint8_t*, std::size_t) { return 0L; }).ok())
        << "only a whole component is refused";
}

TEST_F(ClientLibrary, LocalReadFailureAbandonsTheUpload) {
    auto client = loginAs("BOB");
    int calls = 0;
    auto failing = [&](std::uint8_t* buffer, std::size_t capacity) -> long {
        if (++calls > 2) return -1;
        std::fill(buffer, buffer + capacity, 'q');
        return static_cast<long>(capacity);
    };
    Status status = client->upload("broken.bin", 0, failing);
    EXPECT_EQ(status.kind, Status::LocalError);
    EXPECT_FALSE(dir_.exists("Users/BOB/broken.bin"));
    EXPECT_TRUE(client->login("BOB", "pw").reply == REPLY_FAILED) << "still in step: logged in";
}

TEST_F(ClientLibrary, RateLimitHoldsBothDirectionsBack) {
    auto client = loginAs("BOB");
    const std::size_t size = 1024 * 1024;
    TransferOptions options;
    options.rateLimit = 4 * 1024 * 1024;  // a quarter of a second for a mebibyte
    std::size_t produced = 0;
    auto source = [&](std::uint8_t* buffer, std::size_t capacity) -> long {
        std::size_t piece = std::min(capacity, size - produced);
        std::fill(buffer, buffer + piece, 'r');
        produced += piece;
        return static_cast<long>(piece);
    };
    auto started = Clock::now();
    ASSERT_TRUE(client->upload("paced.bin", size, source, options).ok());
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(200));

    started = Clock::now();
    ASSERT_TRUE(client->download("paced.bin", SELECT_OWN_FOLDER, discard(), options).ok());
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(200));
    EXPECT_EQ(received_, size);
}

TEST_F(ClientLibrary, StopIsConfirmedByTheClosingByteAndKicksAreNoticed) {
    auto bob = loginAs("BOB");
    EXPECT_EQ(bob->shutDownServer().reply, REPLY_ADMIN_ONLY);
    auto admin = loginAs("ADMIN", "");
    ASSERT_TRUE(admin->kick("BOB").ok());
    EXPECT_TRUE(eventually([&] { return !bob->checkConnected(); }));
    EXPECT_TRUE(admin->checkConnected());
    Status stopped = admin->shutDownServer();
    EXPECT_TRUE(stopped.ok()) << stopped.message;
    EXPECT_FALSE(admin->checkConnected());
    EXPECT_TRUE(server_->stopping());
}

}  // namespace
}  // namespace vextora::test
