// The server's time limits, driven by a clock the test sets: no client can
// make the server wait for it for ever.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <thread>

#include "support/server_fixture.h"

namespace vextora::test {
namespace {

using client::Payload;

class TimeLimits : public ServerFixture {
protected:
    void SetUp() override {
        useManualClock_ = true;
        startServer();
    }
    // Lets the server run a few idle passes at the new time.
    void advance(std::uint32_t ms) {
        manualClock_.advance(ms);
        window_.runOnServer([] {});
        window_.runOnServer([] {});
    }
    // Read on the server's thread, between its polls.
    std::size_t held() {
        std::size_t count = 0;
        window_.runOnServer([&] { count = server_->context().transfers.heldCount(); });
        return count;
    }
    std::size_t awaiting() {
        std::size_t count = 0;
        window_.runOnServer([&] { count = server_->context().transfers.awaitingCount(); });
        return count;
    }
};

TEST_F(TimeLimits, RepliesTheClientNeverTakesEndItsSessionAfterFiveSeconds) {
    // A long catalog, so a few listings fill every buffer between us.
    std::string catalog;
    for (int i = 0; i < 20000; ++i) catalog += "OWNER\\" + std::string(200, 'x') + "\r\n";
    dir_.write("shared.dat", catalog);
    auto hog = connect();
    hog->connection().socket().setBufferSizes(0, 4096);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(hog->connection().sendFrame(Payload(REQ_LIST_FILES).byte(0)));
    auto other = connect();
    ASSERT_TRUE(eventually([&] { return window_.clientCount() == 2; }));
    // Wait until the replies have filled every buffer and stopped moving.
    int queued = -1;
    ASSERT_TRUE(eventually([&] {
        int now = 0;
        ::ioctl(hog->connection().socket().nativeHandle(), FIONREAD, &now);
        window_.runOnServer([] {});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        bool settled = now > 0 && now == queued;
        queued = now;
        return settled;
    }));

    advance(4900);
    EXPECT_EQ(window_.clientCount(), 2u) << "not yet";
    EXPECT_TRUE(other->fileInfo("x")) << "the others are served meanwhile";
    advance(200);
    EXPECT_TRUE(eventually([&] { return window_.clientCount() == 1; }));
    EXPECT_TRUE(other->fileInfo("x"));
}

TEST_F(TimeLimits, AFrameThatStopsArrivingEndsItsSessionAfterAMinuteWithoutProgress) {
    // Wherever a frame stops, its session holds what arrived: only so long.
    auto header = [](std::uint32_t length) {
        std::string bytes;
        for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>(length >> shift);
        return bytes;
    };
    const std::string stops[] = {
        header(100).substr(0, 2),                             // inside the header
        header(100) + std::string(1, REQ_LOGIN) + "\x05GUE",  // inside the payload
        header(MAX_FRAME_PAYLOAD) + std::string(40000, 'x'),  // inside a large payload
        header(0),                                            // an empty frame
    };
    auto idle = connect();  // between requests: no frame, no limit
    std::vector<std::unique_ptr<client::Client>> stopped;
    for (const std::string& bytes : stops) {
        stopped.push_back(connect());
        ASSERT_TRUE(stopped.back()->connection().sendRaw(bytes.data(), bytes.size()));
    }
    // One more that goes on sending, a byte now and then.
    auto trickle = connect();
    std::string login = header(8) + std::string(1, REQ_LOGIN) + std::string("\x05GUEST\x00", 7);
    ASSERT_TRUE(trickle->connection().sendRaw(login.data(), 1));
    ASSERT_TRUE(eventually([&] { return window_.clientCount() == 6 && sessionsTookAllInput(); }));

    advance(50000);
    ASSERT_TRUE(trickle->connection().sendRaw(login.data() + 1, 5));
    ASSERT_TRUE(eventually([&] { return sessionsTookAllInput(); }));
    advance(9000);
    EXPECT_EQ(window_.clientCount(), 6u) << "59 s: not yet";
    advance(1000);
    EXPECT_TRUE(eventually([&] { return window_.clientCount() == 2; }));
    for (auto& client : stopped)
        EXPECT_TRUE(eventually([&] { return client->connection().closedByPeer(); }));

    advance(49000);
    EXPECT_EQ(window_.clientCount(), 2u) << "its last byte came 50 s ago";
    ASSERT_TRUE(trickle->connection().sendRaw(login.data() + 6, login.size() - 6));
    EXPECT_EQ(trickle->connection().readByte(), REPLY_OK);
    advance(120000);
    EXPECT_TRUE(idle->login("GUEST", "").ok()) << "a client between requests waits as it likes";
    EXPECT_EQ(window_.clientCount(), 2u);
    EXPECT_EQ(heldFrameBytes(), 0u) << "nothing counts for the frames that went";
}

TEST_F(TimeLimits, ASessionAwaitingItsConnectionGivesUpAfterAMinute) {
    auto bob = loginAs("bob");
    ASSERT_TRUE(
        bob->connection().sendFrame(Payload(REQ_UPLOAD).text("x.txt").uint32(4096).uint32(1)));
    ASSERT_TRUE(eventually([&] { return awaiting() == 1; }));
    advance(59000);
    EXPECT_EQ(window_.clientCount(), 1u);
    advance(1000);
    EXPECT_TRUE(eventually([&] { return window_.clientCount() == 0; }));
    EXPECT_TRUE(eventually([&] { return bob->connection().closedByPeer(); }));
}

TEST_F(TimeLimits, AnEarlyConnectionIsHeldHalfAMinuteThenClosed) {
    client::Connection early;
    ASSERT_TRUE(early.open("127.0.0.1", transferPort(), 3000, "127.0.0.3"));
    ASSERT_TRUE(eventually([&] { return held() == 1; }));
    advance(29000);
    EXPECT_FALSE(early.waitReadable(50)) << "still held";
    advance(1000);
    ASSERT_TRUE(early.waitReadable(2000));
    EXPECT_TRUE(early.closedByPeer());
    EXPECT_EQ(held(), 0u);
}

TEST_F(TimeLimits, AnEarlyConnectionNeverCarriesTheRequestThatFollows) {
    // A connection made while nothing was asked for is nobody's: what it
    // sent must not become the next upload, however long it was held.
    auto bob = loginAs("bob");
    client::Connection early;
    ASSERT_TRUE(early.open("127.0.0.1", transferPort(), 3000));
    ASSERT_TRUE(eventually([&] { return held() == 1; }));
    ASSERT_TRUE(early.sendRaw("early bytes", 11));
    early.socket().shutdownWrite();
    advance(20000);
    ASSERT_TRUE(early.waitReadable(5000)) << "a closed stray is closed";
    EXPECT_TRUE(early.closedByPeer());

    ASSERT_TRUE(
        bob->connection().sendFrame(Payload(REQ_UPLOAD).text("early.txt").uint32(4096).uint32(9)));
    client::Connection own;
    ASSERT_TRUE(own.open("127.0.0.1", transferPort(), 3000));
    ASSERT_TRUE(own.sendRaw("own bytes", 9));
    own.socket().shutdownWrite();
    EXPECT_EQ(bob->connection().readByte(), REPLY_OK);
    EXPECT_EQ(dir_.read("Users/BOB/early.txt"), "own bytes");
}

}  // namespace
}  // namespace vextora::test
