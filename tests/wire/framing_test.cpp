// Framing, dispatch gates and the life of a session, over real loopback
// sockets against an in-process server.
#include <gtest/gtest.h>

#include <thread>

#include "support/server_fixture.h"

namespace vextora::test {
namespace {

using client::Payload;

std::vector<std::uint8_t> frameBytes(const Payload& payload) {
    auto body = payload.bytes();
    auto length = static_cast<std::uint32_t>(body.size());
    std::vector<std::uint8_t> bytes;
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(std::uint8_t(length >> shift));
    for (std::uint8_t byte : body) bytes.push_back(byte);
    return bytes;
}

class Framing : public ServerFixture {
protected:
    void SetUp() override { startServer(); }
};

TEST_F(Framing, RequestSentOneByteAtATimeIsDispatchedOnce) {
    auto client = connect();
    auto bytes = frameBytes(Payload(REQ_LOGIN).text("guest").text(""));
    for (std::uint8_t byte : bytes) {
        ASSERT_TRUE(client->connection().sendRaw(&byte, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(drain(client->connection(), 300), "\x12");
}

TEST_F(Framing, TwoFramesInOneWriteAreAnsweredInOrder) {
    auto client = connect();
    auto bytes = frameBytes(Payload(REQ_LIST_USERS));
    auto second = frameBytes(Payload(REQ_LOGIN).text("GUEST").text("x"));
    for (std::uint8_t byte : second) bytes.push_back(byte);
    ASSERT_TRUE(client->connection().sendRaw(bytes.data(), bytes.size()));
    EXPECT_EQ(drain(client->connection(), 300), "\x17\x12");
}

TEST_F(Framing, UnknownCodesAreDroppedAndTheNextRequestServed) {
    auto client = connect();
    for (std::uint8_t code : {0, 16, 200, 255}) {
        ASSERT_TRUE(client->connection().sendFrame(Payload(code).text("junk")));
    }
    auto status = client->login("GUEST", "");
    EXPECT_TRUE(status.ok()) << status.message;
    EXPECT_EQ(drain(client->connection(), 100), "");
}

TEST_F(Framing, GatesRefuseBeforeLoginAndForNonAdministrators) {
    auto client = connect();
    EXPECT_EQ(
        client->statusRequest(Payload(REQ_DOWNLOAD).text("BOB\\x").uint32(4096).byte(0)).reply,
        REPLY_FAILED);
    EXPECT_EQ(client->statusRequest(Payload(REQ_UPLOAD).text("x").uint32(4096).uint32(1)).reply,
              REPLY_FAILED);
    for (std::uint8_t code : {REQ_LIST_USERS, REQ_USER_INFO, REQ_KICK_USER, REQ_STOP_SERVER})
        EXPECT_EQ(client->statusRequest(Payload(code).text("ADMIN")).reply, REPLY_ADMIN_ONLY)
            << int(code);
    ASSERT_TRUE(client->login("guest", "anything").ok());
    EXPECT_EQ(client->statusRequest(Payload(REQ_LOGIN).text("GUEST").text("")).reply, REPLY_FAILED)
        << "no second login without a logout";
    EXPECT_EQ(client->statusRequest(Payload(REQ_UPLOAD).text("x").uint32(4096).uint32(1)).reply,
              REPLY_FAILED)
        << "the guest may not upload";
    EXPECT_EQ(client->statusRequest(Payload(REQ_STOP_SERVER)).reply, REPLY_ADMIN_ONLY);
    EXPECT_FALSE(server_->stopping());
}

TEST_F(Framing, ZeroLengthFrameEndsTheSessionAtTheClientsNextByte) {
    auto client = connect();
    ASSERT_TRUE(eventually([&] { return window_.clientCount() == 1; }));
    const std::uint8_t empty[4] = {0, 0, 0, 0};
    ASSERT_TRUE(client->connection().sendRaw(empty, 4));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(window_.clientCount(), 1u) << "nothing happens until the next byte";
    client->connection().sendByte(0);
    EXPECT_TRUE(eventually([&] { return window_.clientCount() == 0; }));
    EXPECT_EQ(drain(client->connection(), 200), "");
}

TEST_F(Framing, OversizedHeaderEndsOnlyThatSession) {
    auto hostile = connect();
    auto good = connect();
    const std::uint8_t huge[4] = {0x01, 0x00, 0x00, 0x00};  // 16 MiB
    ASSERT_TRUE(hostile->connection().sendRaw(huge, 4));
    EXPECT_TRUE(eventually([&] { return hostile->connection().closedByPeer(); }))
        << "the server must close at once, without waiting for the payload";
    EXPECT_TRUE(good->login("GUEST", "").ok());
    // The largest allowed frame is still read whole (and dropped: code 200).
    std::vector<std::uint8_t> body(MAX_FRAME_PAYLOAD, 'x');
    body[0] = 200;
    ASSERT_TRUE(good->connection().sendFrame(body));
    EXPECT_EQ(good->statusRequest(Payload(REQ_LOGIN).text("GUEST").text("")).reply, REPLY_FAILED)
        << "the session goes on after the largest frame";
}

TEST_F(Framing, ClientsThatLeaveAreReapedAndTheCountFalls) {
    auto a = connect();
    auto b = connect();
    auto c = connect();
    ASSERT_TRUE(eventually([&] { return window_.clientCount() == 3; }));
    b->disconnect();
    EXPECT_TRUE(eventually([&] { return window_.clientCount() == 2; }));
    a->quit();
    EXPECT_TRUE(eventually([&] { return window_.clientCount() == 1; }));
    EXPECT_TRUE(c->login("GUEST", "").ok()) << "the others are still served";
}

TEST_F(Framing, LogoutRestoresTheAddressAndAllowsANewLogin) {
    auto client = connect();
    ASSERT_TRUE(client->login("GUEST", "").ok());
    ASSERT_TRUE(client->logout());
    EXPECT_TRUE(client->login("GUEST", "").ok());
    EXPECT_EQ(drain(client->connection(), 100), "") << "logout answers nothing";
}

TEST_F(Framing, ShortRequestsAreAnsweredWithoutReadingPastTheirEnd) {
    auto client = connect();
    struct Case {
        Payload payload;
        std::string reply;
    };
    std::vector<Case> cases = {
        {Payload(REQ_LOGIN), "\x13"},
        {Payload(REQ_LOGIN).byte(9).byte('a'), "\x13"},
        {Payload(REQ_LOGIN).text("GUEST"), "\x13"},
        {Payload(REQ_CREATE_ACCOUNT).text("BOB").byte(5), "\x13"},
        {Payload(REQ_RENAME_FILE).text("a"), "\x13"},
        {Payload(REQ_DELETE_FILE).byte(200), "\x13"},
        {Payload(REQ_FILE_INFO).byte(3).byte('a'), std::string("\xff\xff\xff\xff\x00", 5)},
        {Payload(REQ_SET_SHARED).text("a"), ""},
        {Payload(REQ_LIST_FILES), "\x11"},
    };
    for (auto& c : cases) {
        ASSERT_TRUE(client->connection().sendFrame(c.payload));
        EXPECT_EQ(drain(client->connection(), 150), c.reply) << int(c.payload.bytes()[0]);
    }
    EXPECT_FALSE(dir_.exists("shared.dat")) << "a short publish writes nothing";
    EXPECT_FALSE(dir_.exists("users.dat"));
}

}  // namespace
}  // namespace vextora::test
