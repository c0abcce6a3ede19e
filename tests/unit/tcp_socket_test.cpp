#include "net/tcp_socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

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

}  // namespace
}  // namespace vextora
