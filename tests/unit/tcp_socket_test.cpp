#include "net/tcp_socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/temp_dir.h"

namespace vextora {
namespace {

// A listener on a free loopback port and a connected pair through it.
struct Pair {
    TcpSocket listener{true};
    TcpSocket client{true};
    TcpSocket server;

    Pair() {
        EXPECT_TRUE(listener.bindAndListen(0, 4));
        std::uint16_t port = *listener.localPort();
        EXPECT_TRUE(client.connectTo("127.0.0.1", port));
        server = listener.acceptConnection();
    }
};

// The peer reads end-of-stream once the last count of `server` is gone.
bool peerSeesClose(TcpSocket& peer) {
    if (!peer.waitReadable(1000)) return false;
    char byte;
    return peer.receive(&byte, 1) == 0;
}

TEST(TcpSocketCounting, CopiesShareTheHandleUntilTheLastReleases) {
    Pair pair;
    ASSERT_TRUE(pair.server.isOpen());
    TcpSocket copy = pair.server;
    EXPECT_EQ(copy.shareCount(), 2);
    EXPECT_EQ(copy.nativeHandle(), pair.server.nativeHandle());

    pair.server.release();
    EXPECT_FALSE(pair.server.holdsCount());
    EXPECT_EQ(copy.sendByte('x'), 1) << "the connection must survive one copy's release";
    char byte = 0;
    ASSERT_TRUE(pair.client.waitReadable(1000));
    EXPECT_EQ(pair.client.receive(&byte, 1), 1);
    EXPECT_EQ(byte, 'x');

    copy.release();
    EXPECT_FALSE(copy.isOpen());
    EXPECT_TRUE(peerSeesClose(pair.client));
}

TEST(TcpSocketCounting, AssignmentOverTheLastCountClosesTheOldHandle) {
    Pair first;
    Pair second;
    first.server = second.server;  // first's connection loses its only count
    EXPECT_TRUE(peerSeesClose(first.client));
    EXPECT_EQ(second.server.shareCount(), 2);
    EXPECT_EQ(first.server.nativeHandle(), second.server.nativeHandle());
}

TEST(TcpSocketCounting, SelfAssignmentKeepsTheSocket) {
    Pair pair;
    TcpSocket& alias = pair.server;
    pair.server = alias;
    EXPECT_EQ(pair.server.shareCount(), 1);
    EXPECT_EQ(pair.server.sendByte('y'), 1);
}

TEST(TcpSocketCounting, DoubleReleaseActsOnce) {
    Pair pair;
    TcpSocket copy = pair.server;
    copy.release();
    copy.release();  // must not take the other copy's count
    EXPECT_EQ(pair.server.shareCount(), 1);
    EXPECT_EQ(pair.server.sendByte('z'), 1);
    {
        TcpSocket released = pair.server;
        released.release();
    }  // destroying a released copy does nothing either
    EXPECT_EQ(pair.server.shareCount(), 1);
}

TEST(TcpSocketCounting, FailedAcceptGivesAnEmptySocket) {
    TcpSocket listener(true);
    ASSERT_TRUE(listener.bindAndListen(0, 4));
    ASSERT_TRUE(listener.setNonBlocking(true));
    TcpSocket none = listener.acceptConnection();  // nothing pending
    EXPECT_FALSE(none.isOpen());
    EXPECT_FALSE(none.holdsCount());
    EXPECT_EQ(none.shareCount(), 0);
    none.release();
    TcpSocket copy = none;
    EXPECT_FALSE(copy.holdsCount());
}

TEST(TcpSocketCounting, OperationsOnEmptySocketsFailWithoutHarm) {
    TcpSocket empty(false);
    EXPECT_FALSE(empty.isOpen());
    EXPECT_FALSE(empty.connectTo("127.0.0.1", 1)) << "no socket: refused before any platform call";
    EXPECT_FALSE(empty.isOpen());
    EXPECT_FALSE(empty.isReadable());
    EXPECT_LT(empty.sendByte(1), 0);

    TcpSocket open(true);
    int handle = open.nativeHandle();
    EXPECT_FALSE(open.create()) << "already open";
    EXPECT_EQ(open.nativeHandle(), handle);

    empty.release();
    EXPECT_TRUE(empty.create()) << "a released object can take a new socket";
}

TEST(TcpSocketCounting, ConnectAfterAFailedConnectSucceeds) {
    TcpSocket probe(true);
    // A port nobody listens on: bind one, note it, close it.
    std::uint16_t deadPort;
    {
        TcpSocket closed(true);
        ASSERT_TRUE(closed.bindAndListen(0, 1));
        deadPort = *closed.localPort();
    }
    EXPECT_FALSE(probe.connectTo("127.0.0.1", deadPort));
    EXPECT_TRUE(probe.isOpen());
    TcpSocket listener(true);
    ASSERT_TRUE(listener.bindAndListen(0, 4));
    EXPECT_TRUE(probe.connectTo("127.0.0.1", *listener.localPort()));
}

TEST(TcpSocketCounting, StartedConnectEndsWritableAndTellsHow) {
    TcpSocket listener(true);
    ASSERT_TRUE(listener.bindAndListen(0, 4));
    std::uint16_t livePort = *listener.localPort();
    std::uint16_t deadPort;
    {
        TcpSocket closed(true);
        ASSERT_TRUE(closed.bindAndListen(0, 1));
        deadPort = *closed.localPort();
    }
    const struct {
        std::uint16_t port;
        int error;
    } cases[] = {{livePort, 0}, {deadPort, ECONNREFUSED}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        TcpSocket probe(true);
        ASSERT_TRUE(probe.startConnect(htonl(INADDR_LOOPBACK), c.port));
        EXPECT_NE(::fcntl(probe.nativeHandle(), F_GETFL) & O_NONBLOCK, 0) << "left non-blocking";
        ASSERT_TRUE(probe.waitWritable(5000));
        EXPECT_EQ(probe.connectError(), c.error);
    }
    TcpSocket empty(false);
    EXPECT_FALSE(empty.startConnect(htonl(INADDR_LOOPBACK), livePort));
}

TEST(TcpSocketSending, SendByteSendsTheLowEightBits) {
    Pair pair;
    EXPECT_EQ(pair.server.sendByte(0x1FF), 1);
    unsigned char got[2] = {};
    ASSERT_TRUE(pair.client.waitReadable(1000));
    EXPECT_EQ(pair.client.receive(got, 2), 1);
    EXPECT_EQ(got[0], 0xFF);
}

TEST(TcpSocketSending, Int32GoesAsItLiesInMemory) {
    Pair pair;
    EXPECT_EQ(pair.server.sendInt32(htonl(0x01020304)), 4);
    unsigned char got[4] = {};
    ASSERT_TRUE(pair.client.waitReadable(1000));
    ASSERT_EQ(pair.client.receive(got, 4), 4);
    EXPECT_EQ(got[0], 1);
    EXPECT_EQ(got[3], 4);
}

TEST(TcpSocketResolving, DottedTextFirstThenNames) {
    EXPECT_EQ(TcpSocket::resolveHost("127.0.0.1"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(TcpSocket::resolveHost("localhost"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(TcpSocket::resolveHost("no-such-host.invalid"), TcpSocket::ADDRESS_NONE);
    EXPECT_EQ(TcpSocket::resolveHost(""), TcpSocket::ADDRESS_NONE);
    // Dotted text alone, never a lookup; the failure marker is no address.
    EXPECT_EQ(TcpSocket::parseDotted("127.0.0.1"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(TcpSocket::parseDotted("localhost"), std::nullopt);
    EXPECT_EQ(TcpSocket::parseDotted("255.255.255.255"), std::nullopt);
    EXPECT_EQ(TcpSocket::parseDotted(""), std::nullopt);
}

TEST(TcpSocketReadiness, PeerClosedSeesTheCloseButNotData) {
    Pair pair;
    EXPECT_FALSE(pair.server.peerClosed());
    pair.client.sendByte('a');
    ASSERT_TRUE(pair.server.waitReadable(1000));
    EXPECT_FALSE(pair.server.peerClosed()) << "data waiting is not a close";
    char byte;
    EXPECT_EQ(pair.server.receive(&byte, 1), 1) << "peeking must leave the byte in place";
    pair.client.release();
    ASSERT_TRUE(pair.server.waitReadable(1000));
    EXPECT_TRUE(pair.server.peerClosed());
}

TEST(TcpSocketPath, AConnectionKnowsItsRoundTripAndAnEmptySocketDoesNot) {
    Pair pair;
    auto roundTrip = pair.server.roundTripMicros();
    ASSERT_TRUE(roundTrip.has_value());
    // The handshake over loopback: some microseconds, never a second.
    EXPECT_LT(*roundTrip, 1000000u);
    EXPECT_FALSE(TcpSocket().roundTripMicros().has_value());
}

// Uploads go from the transfer connection into their file through a pipe.
class TcpSocketSplicing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pipe_.open(PIECE));
        file_ = ::open((dir_ / "target").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(file_, 0);
        ASSERT_TRUE(pair_.server.setNonBlocking(true));
    }
    void TearDown() override { ::close(file_); }

    // Everything that has arrived, moved into the file piece by piece.
    std::size_t moveAll(int file, bool* allWritten) {
        std::size_t total = 0;
        *allWritten = true;
        for (int round = 0; round < 1000; ++round) {
            bool written = true;
            IoResult got = pair_.server.receiveIntoFile(pipe_, file, PIECE, &written);
            if (!written) *allWritten = false;
            if (got.bytes == 0) {
                EXPECT_TRUE(got.wouldBlock()) << "nothing left, and no close";
                break;
            }
            EXPECT_LE(got.bytes, PIECE) << "never more than a piece at a time";
            total += got.bytes;
        }
        return total;
    }

    static constexpr std::size_t PIECE = 65536;
    test::TempDir dir_;
    Pair pair_;
    SplicePipe pipe_;
    int file_ = -1;
};

TEST_F(TcpSocketSplicing, BytesLandInTheFileInOrderAPieceAtATime) {
    std::string sent;
    for (int i = 0; i < 200000; ++i) sent += static_cast<char>('a' + i % 23);
    ASSERT_EQ(pair_.client.sendString(sent), static_cast<int>(sent.size()));
    std::size_t moved = 0;
    bool written = true;
    for (int wait = 0; wait < 100 && moved < sent.size(); ++wait) {
        ASSERT_TRUE(pair_.server.waitReadable(1000));
        moved += moveAll(file_, &written);
    }
    EXPECT_TRUE(written);
    EXPECT_EQ(dir_.read("target"), sent);

    pair_.client.release();
    ASSERT_TRUE(pair_.server.waitReadable(1000));
    bool ignored;
    EXPECT_TRUE(pair_.server.receiveIntoFile(pipe_, file_, PIECE, &ignored).closed());
}

TEST_F(TcpSocketSplicing, BytesTheFileRefusesAreDroppedAndThePipeStaysUsable) {
    int readOnly = ::open((dir_ / "target").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(readOnly, 0);
    ASSERT_EQ(pair_.client.sendString(std::string(5000, 'x')), 5000);
    ASSERT_TRUE(pair_.server.waitReadable(1000));
    bool written = true;
    int error = 0;
    IoResult got = pair_.server.receiveIntoFile(pipe_, readOnly, PIECE, &written, &error);
    ::close(readOnly);
    EXPECT_EQ(got.bytes, 5000u) << "the bytes were received all the same";
    EXPECT_FALSE(written);
    EXPECT_EQ(error, EBADF) << "the file's own reason";

    // Nothing of them is left in the pipe to reach the next file.
    ASSERT_EQ(pair_.client.sendString("next"), 4);
    ASSERT_TRUE(pair_.server.waitReadable(1000));
    EXPECT_EQ(moveAll(file_, &written), 4u);
    EXPECT_TRUE(written);
    EXPECT_EQ(dir_.read("target"), "next");
}

}  // namespace
}  // namespace vextora
