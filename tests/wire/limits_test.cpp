// The server's time limits, driven by a clock the test sets: no client can
// make the server wait for it for ever.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <thread>

#include "accounts/login_throttle.h"
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

// Failed logins on the clock the test sets: a second of spacing costs no
// second of waiting here.
class LoginThrottling : public TimeLimits {
protected:
    void SetUp() override {
        TimeLimits::SetUp();
        dir_.write("adminpass.cfg", "boss");
        dir_.write("users.dat", "BOB\r\npw\r\n");
    }
    std::size_t heldRefusals() {
        std::size_t count = 0;
        window_.runOnServer([&] { count = server_->context().logins.heldCount(); });
        return count;
    }
    static bool sendLogin(client::Client& client, const std::string& name,
                          const std::string& password) {
        return client.connection().sendFrame(Payload(REQ_LOGIN).text(name).text(password));
    }
    // How many of the clients have a reply waiting, looked at once: the
    // server's passes have run by the time advance() returns.
    static int answered(const std::vector<std::unique_ptr<client::Client>>& clients) {
        int count = 0;
        for (const auto& client : clients) count += client->connection().waitReadable(0) ? 1 : 0;
        return count;
    }
};

TEST_F(LoginThrottling, FromTheFourthFailureAnAddressGetsOneRefusalASecondOverAllItsConnections) {
    std::vector<std::unique_ptr<client::Client>> guessers;
    for (int i = 0; i < 3; ++i) {
        guessers.push_back(connect("127.0.0.3"));
        EXPECT_EQ(guessers.back()->login(i == 1 ? "NOBODY" : "ADMIN", "guess").reply,
                  i == 1 ? REPLY_BAD_NAME : REPLY_BAD_PASSWORD)
            << "the first three are answered at once, unknown names counted too";
    }
    // Three more guesses at once, each on a connection of its own.
    std::vector<std::unique_ptr<client::Client>> held;
    const char* names[] = {"ADMIN", "nobody", "bob"};
    for (const char* name : names) {
        held.push_back(connect("127.0.0.3"));
        ASSERT_TRUE(sendLogin(*held.back(), name, "guess"));
    }
    ASSERT_TRUE(eventually([&] { return heldRefusals() == 3; }));
    EXPECT_EQ(answered(held), 0);

    // Meanwhile nobody else waits: another address fails at once, the same
    // address logs in at once with the right password, and requests are served.
    auto other = connect("127.0.0.4");
    EXPECT_EQ(other->login("ADMIN", "wrong").reply, REPLY_BAD_PASSWORD);
    auto right = connect("127.0.0.3");
    EXPECT_TRUE(right->login("ADMIN", "boss").ok());
    EXPECT_TRUE(right->fileInfo("x"));
    EXPECT_TRUE(connect("127.0.0.3")->login("bob", "pw").ok());

    for (int released = 1; released <= 3; ++released) {
        advance(999);
        EXPECT_EQ(answered(held), released - 1) << "not before a second has passed";
        advance(1);
        EXPECT_TRUE(eventually([&] { return answered(held) == released; }))
            << "refusal " << released << " goes out a second after the one before";
    }
    for (std::size_t i = 0; i < held.size(); ++i) {
        EXPECT_EQ(held[i]->connection().readByte(), i == 1 ? REPLY_BAD_NAME : REPLY_BAD_PASSWORD);
        EXPECT_EQ(held[i]->login("bob", "pw").reply, REPLY_OK) << "the session goes on";
    }

    // A minute after the last failures, the address starts afresh.
    advance(LoginThrottle::WINDOW_MS);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(other->login("ADMIN", "again").reply, REPLY_BAD_PASSWORD);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(guessers[0]->login("ADMIN", "x").reply, REPLY_BAD_PASSWORD);
    ASSERT_TRUE(sendLogin(*guessers[0], "ADMIN", "fourth"));
    ASSERT_TRUE(eventually([&] { return heldRefusals() == 1; }));
    EXPECT_FALSE(guessers[0]->connection().waitReadable(0));
}

TEST_F(LoginThrottling, AGuesserReadsNothingWhileHeldAndOneThatHangsUpIsGoneAtOnce) {
    auto guesser = connect("127.0.0.5");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(guesser->login("ADMIN", "x").reply, REPLY_BAD_PASSWORD);
    // Two guesses sent at once on one connection: the second waits unread
    // behind the held refusal of the first, and is itself a failure.
    ASSERT_TRUE(sendLogin(*guesser, "ADMIN", "fourth"));
    ASSERT_TRUE(sendLogin(*guesser, "ADMIN", "fifth"));
    ASSERT_TRUE(eventually([&] { return heldRefusals() == 1; }));
    advance(1000);
    EXPECT_EQ(guesser->connection().readByte(), REPLY_BAD_PASSWORD);
    ASSERT_TRUE(eventually([&] { return heldRefusals() == 1; })) << "the fifth is held in turn";
    EXPECT_FALSE(guesser->connection().waitReadable(0));

    auto quitter = connect("127.0.0.5");
    ASSERT_TRUE(sendLogin(*quitter, "ADMIN", "sixth"));
    ASSERT_TRUE(eventually([&] { return heldRefusals() == 2; }));
    ASSERT_TRUE(eventually([&] { return window_.clientCount() == 2; }));
    quitter->disconnect();
    EXPECT_TRUE(eventually([&] { return window_.clientCount() == 1; }))
        << "a client that closed is not kept until its refusal's turn";
    EXPECT_EQ(heldRefusals(), 1u);
    advance(1000);
    EXPECT_EQ(guesser->connection().readByte(), REPLY_BAD_PASSWORD);
    EXPECT_EQ(heldRefusals(), 0u);
}

}  // namespace
}  // namespace vextora::test
