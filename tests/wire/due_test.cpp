// A pass polls only the sessions that have something to do. These tests make
// sure that none is starved by that: work that no new byte announces (a
// transfer's rate window, a download whose client has gone) still moves, a
// session removed while it was due is never polled again, and finished work
// leaves nothing due behind.
#include <gtest/gtest.h>

#include <thread>

#include "support/server_fixture.h"

namespace vextora::test {
namespace {

using client::Payload;

class DueSessions : public ServerFixture {
protected:
    void SetUp() override {
        useManualClock_ = true;
        dir_.write("adminpass.cfg", "boss");
        startServer();
        admin_ = loginAs("ADMIN", "boss");
    }
    // Lets the server run a few passes at the new time.
    void advance(std::uint32_t ms) {
        manualClock_.advance(ms);
        window_.runOnServer([] {});
        window_.runOnServer([] {});
    }
    std::size_t due() {
        std::size_t count = 0;
        window_.runOnServer([&] { count = server_->clients().dueCount(); });
        return count;
    }
    std::unique_ptr<client::Connection> openTransfer(const std::string& from = "127.0.0.1") {
        auto connection = std::make_unique<client::Connection>();
        EXPECT_TRUE(connection->open("127.0.0.1", transferPort(), 3000, from));
        return connection;
    }

    std::unique_ptr<client::Client> admin_;
};

TEST_F(DueSessions, AnUploadWhoseClientPausesStillClosesItsRateWindows) {
    auto ann = loginAs("ann");
    ASSERT_TRUE(ann->connection().sendFrame(
        Payload(REQ_UPLOAD).text("paused.bin").uint32(4096).uint32(100000)));
    auto data = openTransfer();
    ASSERT_TRUE(data->sendRaw(std::string(5000, 'p').data(), 5000));
    ASSERT_TRUE(eventually([&] {
        auto info = admin_->userInfo("ANN");
        return info && info->transferDone == 5000;
    }));

    // No byte arrives from here on: only the clock moves.
    advance(1000);
    auto info = admin_->userInfo("ANN");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->rateKBps, 4u) << "the window with the 5000 bytes has closed";
    advance(1000);
    info = admin_->userInfo("ANN");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->rateKBps, 0u) << "an empty window closed while the client paused";

    data->socket().shutdownWrite();
    EXPECT_EQ(ann->connection().readByte(), REPLY_OK);
}

TEST_F(DueSessions, TheRateWindowAfterACompletedDownloadRunsFromItsEnd) {
    const std::uint32_t size = 8u << 20;
    dir_.write("Users/BOB/small.txt", "12345");
    dir_.write("Users/BOB/big.bin", std::string(size, 'b'));
    auto bob = loginAs("bob");
    std::size_t received = 0;
    ASSERT_TRUE(bob->download("small.txt", SELECT_OWN_FOLDER,
                              [&](const std::uint8_t*, std::size_t length) {
                                  received += length;
                                  return true;
                              })
                    .ok());
    ASSERT_EQ(received, 5u);
    // The bytes arrive before the server's pass that sent them has ended
    // the window: that pass must see the clock before it moves.
    window_.runOnServer([] {});

    advance(1500);
    ASSERT_TRUE(bob->connection().sendFrame(
        Payload(REQ_DOWNLOAD).text("big.bin").uint32(65536).byte(SELECT_OWN_FOLDER)));
    ASSERT_EQ(bob->connection().readUint32(), size);
    auto data = openTransfer();  // never read: the pieces stop when the buffers are full
    std::uint32_t done = 0;
    ASSERT_TRUE(eventually([&] {
        auto info = admin_->userInfo("BOB");
        bool settled = info && info->transferDone == done && done > 65536;
        done = info ? info->transferDone : 0;
        return settled;
    }));
    // The window that began when the small download ended closed on the first
    // step of this one; the next, with every byte since, closes 1000 ms later.
    advance(600);
    auto info = admin_->userInfo("BOB");
    ASSERT_TRUE(info);
    EXPECT_GT(info->rateKBps, 0u);
    ASSERT_TRUE(bob->connection().sendByte(CANCEL_TRANSFER));
    EXPECT_TRUE(admin_->fileInfo("x")) << "the server goes on";
}

TEST_F(DueSessions, ADownloadWhoseClientLeftRunsToItsEndOnItsConnection) {
    // Larger than every buffer between us, so it is still running when the
    // session ends.
    const std::string file(32u << 20, 'd');
    dir_.write("Users/BOB/left.bin", file);
    auto bob = loginAs("bob");
    ASSERT_TRUE(bob->connection().sendFrame(
        Payload(REQ_DOWNLOAD).text("left.bin").uint32(65536).byte(SELECT_OWN_FOLDER)));
    ASSERT_EQ(bob->connection().readUint32(), file.size());
    auto data = openTransfer();
    bob->disconnect();
    ASSERT_TRUE(eventually([&] { return window_.clientCount() == 1; }));

    // The session is gone; its connection is now reported to nobody but the
    // hub, which sends the rest.
    std::size_t got = 0;
    while (got < file.size() && data->waitReadable(2000)) got += drain(*data, 200).size();
    EXPECT_EQ(got, file.size());
    EXPECT_TRUE(data->closedByPeer());
}

TEST_F(DueSessions, ASessionKickedWhileItHasRepliesQueuedIsNeverPolledAgain) {
    std::string catalog;
    for (int i = 0; i < 2000; ++i) catalog += "OWNER\\" + std::string(200, 'x') + "\r\n";
    dir_.write("shared.dat", catalog);
    // A client that asks for long listings and never reads them: its session
    // stays due, pass after pass, with replies queued.
    auto hog = connect("127.0.0.2");
    hog->connection().socket().setBufferSizes(0, 4096);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(hog->connection().sendFrame(Payload(REQ_LIST_FILES).byte(0)));
    ASSERT_TRUE(eventually([&] { return due() >= 1; }));

    EXPECT_TRUE(admin_->kick("127.0.0.2").ok());
    EXPECT_EQ(window_.clientCount(), 1u);
    EXPECT_TRUE(admin_->fileInfo("x")) << "the server goes on";
    EXPECT_TRUE(eventually([&] { return due() == 0; }));
}

TEST_F(DueSessions, FinishedWorkLeavesNoSessionDue) {
    dir_.write("Users/SERVERSHARE/f.bin", std::string(200000, 'f'));
    dir_.write("shared.dat", "SERVERSHARE\\f.bin\r\n");
    std::vector<std::unique_ptr<client::Client>> clients;
    for (int i = 0; i < 20; ++i) clients.push_back(loginAs("GUEST"));
    for (auto& each : clients) {
        ASSERT_TRUE(each->listCatalog());
        std::size_t received = 0;
        auto status =
            each->download("SERVERSHARE\\f.bin", 0, [&](const std::uint8_t*, std::size_t length) {
                received += length;
                return true;
            });
        ASSERT_TRUE(status.ok()) << status.message;
        EXPECT_EQ(received, 200000u);
    }
    EXPECT_TRUE(admin_->listUsers());
    // Nothing is left to do, so no session may stay due and be polled pass
    // after pass for nothing.
    EXPECT_TRUE(eventually([&] { return due() == 0; }));
    EXPECT_EQ(window_.clientCount(), 21u);
}

}  // namespace
}  // namespace vextora::test
