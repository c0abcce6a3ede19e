// Uploads and downloads over the transfer port, end to end.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <utility>

#include "platform/process.h"
#include "sharing/transfer_engine.h"
#include "support/server_fixture.h"

namespace vextora::test {
namespace {

using client::Payload;

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

class Transfers : public ServerFixture {
protected:
    void SetUp() override {
        startServer();
        bob_ = loginAs("bob");
    }

    client::Status put(client::Client& client, const std::string& name, const std::string& data,
                       std::uint32_t piece = 65536) {
        std::size_t offset = 0;
        client::TransferOptions options;
        options.pieceSize = piece;
        return client.upload(
            name, static_cast<std::uint32_t>(data.size()),
            [&](std::uint8_t* buffer, std::size_t capacity) -> long {
                std::size_t n = std::min(capacity, data.size() - offset);
                std::memcpy(buffer, data.data() + offset, n);
                offset += n;
                return static_cast<long>(n);
            },
            options);
    }

    client::Status get(client::Client& client, const std::string& name, std::uint8_t selector,
                       std::string& out, std::uint32_t piece = 65536) {
        out.clear();
        client::TransferOptions options;
        options.pieceSize = piece;
        return client.download(
            name, selector,
            [&](const std::uint8_t* data, std::size_t length) {
                out.append(reinterpret_cast<const char*>(data), length);
                return true;
            },
            options);
    }

    // Sends a download request by hand and returns the announced size.
    std::uint32_t requestDownload(client::Client& client, const std::string& name,
                                  std::uint8_t selector, std::uint32_t piece = 65536) {
        EXPECT_TRUE(client.connection().sendFrame(
            Payload(REQ_DOWNLOAD).text(name).uint32(piece).byte(selector)));
        return client.connection().readUint32().value_or(0);
    }

    std::unique_ptr<client::Connection> openTransfer(const std::string& from = "127.0.0.1") {
        auto connection = std::make_unique<client::Connection>();
        EXPECT_TRUE(connection->open("127.0.0.1", transferPort(), 3000, from));
        return connection;
    }

    // Everything a transfer connection delivers until the server closes it
    // (or nothing more comes for 3 s).
    static std::string readAll(client::Connection& connection) {
        std::string all;
        char buffer[65536];
        while (connection.waitReadable(3000)) {
            IoResult got = connection.socket().receiveSome(buffer, sizeof buffer);
            if (got.bytes == 0 && !got.wouldBlock()) break;
            all.append(buffer, got.bytes);
        }
        return all;
    }

    std::unique_ptr<client::Client> bob_;
};

TEST_F(Transfers, EmptyFileAnnouncesZeroAndClosesAtOnce) {
    dir_.write("Users/BOB/empty", "");
    EXPECT_EQ(requestDownload(*bob_, "empty", SELECT_OWN_FOLDER), 0u);
    auto transfer = openTransfer();
    ASSERT_TRUE(transfer->waitReadable(2000));
    EXPECT_TRUE(transfer->closedByPeer());
    EXPECT_TRUE(bob_->fileInfo("empty")) << "the session reads requests again";
}

TEST_F(Transfers, AnyPieceSizeCompletesWithExactlyTheFile) {
    std::string exact = randomBytes(8192, 1);  // a multiple of the smallest piece
    std::string odd = randomBytes(100001, 2);
    dir_.write("Users/BOB/exact", exact);
    dir_.write("Users/BOB/odd", odd);
    for (std::uint32_t piece : {1u, 0u, 4096u, 0xFFFFFFFFu}) {
        std::string got;
        ASSERT_TRUE(get(*bob_, "exact", SELECT_OWN_FOLDER, got, piece).ok()) << piece;
        EXPECT_EQ(got, exact) << piece;
        ASSERT_TRUE(get(*bob_, "odd", SELECT_OWN_FOLDER, got, piece).ok()) << piece;
        EXPECT_EQ(got, odd) << piece;
    }
}

TEST_F(Transfers, MissingFileWaitsForTheCancelWhichAnswersNothing) {
    EXPECT_EQ(requestDownload(*bob_, "missing", SELECT_OWN_FOLDER), SIZE_UNAVAILABLE);
    auto transfer = openTransfer();
    EXPECT_FALSE(transfer->waitReadable(200)) << "nothing arrives and nothing closes";
    ASSERT_TRUE(bob_->connection().sendByte(CANCEL_TRANSFER));
    ASSERT_TRUE(transfer->waitReadable(2000));
    EXPECT_TRUE(transfer->closedByPeer());
    EXPECT_EQ(drain(bob_->connection(), 100), "") << "the cancel of a download is not answered";
    EXPECT_TRUE(bob_->fileInfo("x"));

    std::string ignored;
    auto status = get(*bob_, "missing", SELECT_OWN_FOLDER, ignored);
    EXPECT_EQ(status.kind, client::Status::NotAvailable);
    EXPECT_TRUE(bob_->fileInfo("x")) << "the library's cancel leaves the session usable";
}

TEST_F(Transfers, CancelArrivingAfterTheDownloadCompletedIsIgnored) {
    // The client cancels while the last piece is already on its way: the
    // cancel reaches the server after the download has ended.
    dir_.write("Users/BOB/small.txt", "all of it");
    EXPECT_EQ(requestDownload(*bob_, "small.txt", SELECT_OWN_FOLDER), 9u);
    auto transfer = openTransfer();
    std::string got(9, '\0');
    ASSERT_TRUE(transfer->readExact(got.data(), got.size()));
    ASSERT_TRUE(transfer->waitReadable(2000));
    ASSERT_TRUE(transfer->closedByPeer()) << "the download is complete";
    std::string late(1, static_cast<char>(CANCEL_TRANSFER));
    Payload request(REQ_FILE_INFO);
    auto info = request.text("small.txt").bytes();
    for (int shift = 24; shift >= 0; shift -= 8)
        late += static_cast<char>(static_cast<std::uint32_t>(info.size()) >> shift);
    late.append(info.begin(), info.end());
    ASSERT_TRUE(bob_->connection().sendRaw(late.data(), late.size()));
    EXPECT_EQ(drain(bob_->connection(), 300), std::string("\0\0\0\x09\0", 5))
        << "the request after the late cancel is answered, the session goes on";
}

TEST_F(Transfers, ConnectionMadeForAKickedSessionIsNotTheNextTransfersConnection) {
    dir_.write("adminpass.cfg", "boss");
    dir_.write("Users/BOB/old.txt", "the old request's file");
    dir_.write("Users/BOB/new.txt", "the new request's file");
    auto admin = loginAs("ADMIN", "boss");
    // The administrator kicks BOB between his download request and his
    // transfer connection, which therefore arrives for a session that is gone.
    EXPECT_EQ(requestDownload(*bob_, "old.txt", SELECT_OWN_FOLDER), 22u);
    ASSERT_TRUE(admin->kick("BOB").ok());
    auto stale = openTransfer();
    EXPECT_EQ(bob_->connection().readByte(), REPLY_CLOSING);

    auto again = loginAs("bob");
    std::string got;
    auto status = get(*again, "new.txt", SELECT_OWN_FOLDER, got);
    EXPECT_TRUE(status.ok()) << status.message;
    EXPECT_EQ(got, "the new request's file");
}

TEST_F(Transfers, ASessionKickedWithItsConnectionAlreadyMadeLeavesTheNextOneItsOwn) {
    dir_.write("Users/ANN/ann.txt", "ann's file");
    dir_.write("Users/BOB/bob.txt", "bob's file");
    auto ann = loginAs("ann");
    EXPECT_EQ(requestDownload(*ann, "ann.txt", SELECT_OWN_FOLDER), 10u);
    EXPECT_EQ(requestDownload(*bob_, "bob.txt", SELECT_OWN_FOLDER), 10u);
    // ANN's client connects, and she is dropped before the server has taken
    // that connection: it is hers, and leaves no claim on BOB's.
    std::unique_ptr<client::Connection> annData;
    window_.runOnServer([&] {
        annData = openTransfer();
        ASSERT_TRUE(server_->clients().kickUserByName("ANN"));
    });
    auto bobData = openTransfer();
    std::string got(10, '\0');
    ASSERT_TRUE(bobData->readExact(got.data(), got.size()));
    EXPECT_EQ(got, "bob's file");
}

TEST_F(Transfers, AHeldConnectionResetByItsClientNeverServesTheNextUpload) {
    auto hub = [&](auto read) {
        std::size_t count = 0;
        window_.runOnServer([&] { count = read(server_->context().transfers); });
        return count;
    };
    // A connection held for a request that never came, then reset by its
    // client (as one does that is dropped and starts again).
    auto stale = openTransfer();
    ASSERT_TRUE(eventually([&] { return hub([](auto& t) { return t.heldCount(); }) == 1; }));
    linger abrupt{1, 0};
    ::setsockopt(stale->socket().nativeHandle(), SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    stale.reset();
    EXPECT_TRUE(put(*bob_, "first.txt", "first upload").ok());
    EXPECT_EQ(dir_.read("Users/BOB/first.txt"), "first upload");
}

TEST_F(Transfers, ADownloadLeftBeforeItsConnectionCameNeverTakesAnotherRequestsConnection) {
    const std::string file = randomBytes(100000, 7);
    dir_.write("Users/ANN/left.bin", file);
    auto detached = [&] {
        std::size_t count = 0;
        window_.runOnServer([&] { count = server_->context().transfers.detachedCount(); });
        return count;
    };
    // Ann asks for a download and hangs up before connecting for it.
    {
        auto ann = loginAs("ann");
        ASSERT_EQ(requestDownload(*ann, "left.bin", SELECT_OWN_FOLDER), file.size());
        ann->disconnect();
    }
    ASSERT_TRUE(eventually([&] { return detached() == 1; }));

    // From the same address, an upload whose connection is there before the
    // server has read the request, and a download that connects as usual.
    std::unique_ptr<client::Connection> early;
    window_.runOnServer([&] {
        ASSERT_TRUE(bob_->connection().sendFrame(
            Payload(REQ_UPLOAD).text("mine.txt").uint32(4096).uint32(9)));
        early = openTransfer();
    });
    ASSERT_TRUE(early->sendRaw("bob's own", 9));
    early->socket().shutdownWrite();
    EXPECT_EQ(bob_->connection().readByte(), REPLY_OK);
    EXPECT_EQ(dir_.read("Users/BOB/mine.txt"), "bob's own");
    std::string got;
    EXPECT_TRUE(get(*bob_, "mine.txt", SELECT_OWN_FOLDER, got).ok());
    EXPECT_EQ(got, "bob's own");

    // A connection nobody else asked for still gets the left download, as
    // another client behind the address may be waiting for that file.
    auto stray = openTransfer();
    std::string received(file.size(), '\0');
    ASSERT_TRUE(stray->readExact(received.data(), received.size()));
    EXPECT_EQ(received, file);
    EXPECT_TRUE(eventually([&] { return detached() == 0; }));
}

TEST_F(Transfers, RefusedRequestsConnectionIsFoundAmongManyWaiting) {
    dir_.write("Users/ANN/ann.txt", "ann's shared file");
    dir_.write("shared.dat", "ANN\\ann.txt\r\n");
    auto client = connect();
    std::vector<std::unique_ptr<client::Connection>> pending;
    // While the server is held between two passes: stray connections from
    // other addresses, then a refused download and the connection its
    // client makes for it, then the client's next request. All of them wait
    // for the server at once.
    window_.runOnServer([&] {
        for (int i = 3; i < 8; ++i) pending.push_back(openTransfer("127.0.0." + std::to_string(i)));
        ASSERT_TRUE(client->connection().sendFrame(
            Payload(REQ_DOWNLOAD).text("ANN\\ann.txt").uint32(4096).byte(0)));
        pending.push_back(openTransfer());
        ASSERT_TRUE(client->connection().sendFrame(Payload(REQ_LOGIN).text("GUEST").text("")));
    });
    EXPECT_EQ(drain(client->connection(), 300), "\x13\x12") << "refused, then logged in";

    std::string got;
    auto status = get(*client, "ANN\\ann.txt", 0, got);
    EXPECT_TRUE(status.ok()) << "the refused request's connection was taken for this one: "
                             << status.message;
    EXPECT_EQ(got, "ann's shared file");
}

TEST_F(Transfers, RefusedRequestsWhoseClientsNeverConnectedClaimNothingOnceAnotherBegins) {
    dir_.write("Users/BOB/mine.txt", "bob's file");
    // Refused before they started, and their clients stay quiet: neither
    // connects for its request, nor sends another.
    auto stranger = connect();
    ASSERT_TRUE(stranger->connection().sendFrame(
        Payload(REQ_DOWNLOAD).text("mine.txt").uint32(4096).byte(SELECT_OWN_FOLDER)));
    EXPECT_EQ(stranger->connection().readByte(), REPLY_FAILED);
    auto guest = loginAs("GUEST");
    ASSERT_TRUE(
        guest->connection().sendFrame(Payload(REQ_UPLOAD).text("g.txt").uint32(4096).uint32(3)));
    EXPECT_EQ(guest->connection().readByte(), REPLY_FAILED);

    std::string got;
    auto status = get(*bob_, "mine.txt", SELECT_OWN_FOLDER, got);
    EXPECT_TRUE(status.ok()) << status.message;
    EXPECT_EQ(got, "bob's file");
    EXPECT_TRUE(put(*bob_, "up.txt", "uploaded").ok());
    EXPECT_EQ(dir_.read("Users/BOB/up.txt"), "uploaded");
}

TEST_F(Transfers, UploadIsAnsweredOnlyWhenTheClientCloses) {
    ASSERT_TRUE(
        bob_->connection().sendFrame(Payload(REQ_UPLOAD).text("up.txt").uint32(4096).uint32(5)));
    auto transfer = openTransfer();
    ASSERT_TRUE(transfer->sendRaw("hello", 5));
    EXPECT_FALSE(bob_->connection().waitReadable(200)) << "no answer before the close";
    transfer->socket().shutdownWrite();
    EXPECT_EQ(bob_->connection().readByte(), REPLY_OK);
    EXPECT_EQ(dir_.read("Users/BOB/up.txt"), "hello");
}

TEST_F(Transfers, UploadsStoreWhatWasSent) {
    EXPECT_TRUE(put(*bob_, "empty.bin", "").ok());
    EXPECT_TRUE(dir_.exists("Users/BOB/empty.bin"));
    EXPECT_EQ(dir_.read("Users/BOB/empty.bin"), "");

    // The announced size is recorded, never enforced.
    ASSERT_TRUE(bob_->connection().sendFrame(
        Payload(REQ_UPLOAD).text("sized.txt").uint32(4096).uint32(1000)));
    auto transfer = openTransfer();
    transfer->sendRaw("only this", 9);
    transfer->socket().shutdownWrite();
    EXPECT_EQ(bob_->connection().readByte(), REPLY_OK);
    EXPECT_EQ(dir_.read("Users/BOB/sized.txt"), "only this");

    dir_.write("Users/BOB/over.txt", "a much longer earlier content");
    EXPECT_TRUE(put(*bob_, "over.txt", "short").ok());
    EXPECT_EQ(dir_.read("Users/BOB/over.txt"), "short");
    EXPECT_EQ(treeFingerprint(dir_.path()).find(".vxtpart"), std::string::npos);
}

TEST_F(Transfers, CancelledUploadKeepsTheEarlierFileAndLeavesNoTemporary) {
    dir_.write("Users/BOB/keep.txt", "earlier");
    dir_.write("adminpass.cfg", "boss");
    auto admin = loginAs("ADMIN", "boss");
    ASSERT_TRUE(bob_->connection().sendFrame(
        Payload(REQ_UPLOAD).text("keep.txt").uint32(4096).uint32(100000)));
    auto transfer = openTransfer();
    std::string half(50000, 'h');
    ASSERT_TRUE(transfer->sendRaw(half.data(), half.size()));
    ASSERT_TRUE(eventually([&] {
        auto info = admin->userInfo("BOB");
        return info && info->transferDone > 0;  // midway: the server has taken some
    }));
    ASSERT_TRUE(bob_->connection().sendByte(CANCEL_TRANSFER));
    EXPECT_EQ(bob_->connection().readByte(), REPLY_OK);
    EXPECT_EQ(dir_.read("Users/BOB/keep.txt"), "earlier");
    EXPECT_EQ(treeFingerprint(dir_.path()).find(".vxtpart"), std::string::npos);
    EXPECT_TRUE(bob_->fileInfo("keep.txt"));
}

TEST_F(Transfers, RefusedAndFailedUploads) {
    auto guest = loginAs("GUEST");
    EXPECT_EQ(put(*guest, "x.txt", "data").reply, REPLY_FAILED) << "the guest may not upload";

    auto status = put(*bob_, "no such folder\\x.txt", std::string(200000, 'd'));
    EXPECT_EQ(status.reply, REPLY_FAILED) << "the bytes are drained, then 19";
    EXPECT_FALSE(dir_.exists("Users/BOB/no such folder"));
    EXPECT_EQ(put(*bob_, "sub\\.vxtpart-1", "hidden").reply, REPLY_FAILED)
        << "a name listings would hide and a restart would remove";
    // The library refuses such a name itself; a plain client sends it, and
    // connects and sends its bytes at once.
    ASSERT_TRUE(bob_->connection().sendFrame(
        Payload(REQ_UPLOAD).text("..\\..\\users.dat").uint32(4096).uint32(4)));
    auto evil = openTransfer();
    evil->sendRaw("evil", 4);
    evil->socket().shutdownWrite();
    EXPECT_EQ(bob_->connection().readByte(), REPLY_FAILED);
    evil->close();
    EXPECT_FALSE(dir_.exists("Users/users.dat"));
    EXPECT_EQ(dir_.read("users.dat"), "BOB\r\npw\r\n");

    // A refused request's transfer connection is not taken for the next upload.
    EXPECT_TRUE(put(*bob_, "after.txt", "real data").ok());
    EXPECT_EQ(dir_.read("Users/BOB/after.txt"), "real data");

    // A read-only file is not written over; its bytes are drained all the same.
    std::filesystem::permissions(dir_ / "Users" / "BOB" / "after.txt",
                                 std::filesystem::perms::owner_read);
    EXPECT_EQ(put(*bob_, "after.txt", std::string(200000, 'n')).reply, REPLY_FAILED);
    EXPECT_EQ(dir_.read("Users/BOB/after.txt"), "real data");
    EXPECT_EQ(std::filesystem::status(dir_ / "Users" / "BOB" / "after.txt").permissions(),
              std::filesystem::perms::owner_read);
    EXPECT_TRUE(put(*bob_, "other.txt", "next").ok()) << "the session goes on";
}

TEST_F(Transfers, AGigabyteGoesUpAndComesBackIdentical) {
    const std::size_t size = std::size_t{1} << 30;
    {
        std::ofstream out(dir_ / "source.bin", std::ios::binary);
        std::mt19937_64 generator(42);
        std::vector<std::uint64_t> block(1 << 17);
        for (std::size_t written = 0; written < size; written += block.size() * 8) {
            for (auto& word : block) word = generator();
            out.write(reinterpret_cast<const char*>(block.data()),
                      static_cast<std::streamsize>(block.size() * 8));
        }
    }
    std::string expected = sha256File(dir_ / "source.bin");
    std::ifstream in(dir_ / "source.bin", std::ios::binary);
    client::TransferOptions options;
    auto up = bob_->upload(
        "big.bin", static_cast<std::uint32_t>(size),
        [&](std::uint8_t* buffer, std::size_t capacity) -> long {
            in.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(capacity));
            return static_cast<long>(in.gcount());
        },
        options);
    ASSERT_TRUE(up.ok()) << up.message;
    std::filesystem::remove(dir_ / "source.bin");
    EXPECT_EQ(sha256File(dir_ / "Users" / "BOB" / "big.bin"), expected);

    std::ofstream out(dir_ / "back.bin", std::ios::binary);
    auto down = bob_->download(
        "big.bin", SELECT_OWN_FOLDER,
        [&](const std::uint8_t* data, std::size_t length) {
            out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
            return bool(out);
        },
        options);
    out.close();
    ASSERT_TRUE(down.ok()) << down.message;
    EXPECT_EQ(sha256File(dir_ / "back.bin"), expected);
}

TEST_F(Transfers, OnlyCatalogLinesAreDownloadableFromOtherFolders) {
    dir_.write("Users/ANN/private.txt", "ann's secret");
    dir_.write("Users/ANN/public.txt", "for everyone");
    dir_.write("shared.dat", "ANN\\public.txt\r\n");
    for (const char* name : {"ANN\\private.txt", "..\\users.dat", "ANN/public.txt",
                             "ANN\\..\\ANN\\public.txt", "BOB\\..\\..\\users.dat"}) {
        EXPECT_EQ(requestDownload(*bob_, name, 0), SIZE_UNAVAILABLE) << name;
        auto transfer = openTransfer();
        EXPECT_FALSE(transfer->waitReadable(100)) << name << ": no byte of the file";
        bob_->connection().sendByte(CANCEL_TRANSFER);
        ASSERT_TRUE(transfer->waitReadable(2000));
        EXPECT_TRUE(transfer->closedByPeer());
    }
    auto guest = loginAs("GUEST");
    std::string got;
    EXPECT_TRUE(get(*guest, "ANN\\public.txt", 3, got).ok());
    EXPECT_EQ(got, "for everyone");
}

TEST_F(Transfers, ConnectionsGoToTheClientFromTheirAddress) {
    dir_.write("Users/BOB/bob.bin", randomBytes(300000, 3));
    dir_.write("Users/ANN/ann.bin", randomBytes(300000, 4));
    dir_.write("shared.dat", "BOB\\bob.bin\r\nANN\\ann.bin\r\n");
    auto other = connect("127.0.0.2");
    ASSERT_TRUE(other->login("GUEST", "").ok());
    EXPECT_EQ(requestDownload(*bob_, "BOB\\bob.bin", 0), 300000u);
    EXPECT_EQ(requestDownload(*other, "ANN\\ann.bin", 0), 300000u);
    // The later request connects first.
    auto second = openTransfer("127.0.0.2");
    auto first = openTransfer("127.0.0.1");
    EXPECT_EQ(readAll(*second), dir_.read("Users/ANN/ann.bin"));
    EXPECT_EQ(readAll(*first), dir_.read("Users/BOB/bob.bin"));
}

TEST_F(Transfers, AStuckDownloadDoesNotHoldOtherClients) {
    dir_.write("Users/BOB/big.bin", std::string(64u << 20, 'b'));
    EXPECT_EQ(requestDownload(*bob_, "big.bin", SELECT_OWN_FOLDER, 1u << 20), 64u << 20);
    auto stuck = openTransfer();
    stuck->socket().setBufferSizes(0, 4096);  // and it never reads
    auto other = loginAs("GUEST");
    for (int i = 0; i < 10; ++i) {
        auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(other->listCatalog());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << i;
    }
}

// The send and receive buffers of the server's end of the connection from
// client port `peerPort`, found among this process's descriptors; {0, 0}
// while it has none.
std::pair<int, int> serverBuffers(std::uint16_t localPort, std::uint16_t peerPort) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int fd = std::stoi(entry.path().filename().string());
        sockaddr_in local{}, peer{};
        socklen_t localLength = sizeof local, peerLength = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
            local.sin_family != AF_INET || ntohs(local.sin_port) != localPort ||
            ntohs(peer.sin_port) != peerPort)
            continue;
        int sending = 0, receiving = 0;
        socklen_t length = sizeof sending;
        ::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sending, &length);
        length = sizeof receiving;
        ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiving, &length);
        return {sending, receiving};
    }
    return {0, 0};
}

TEST_F(Transfers, ALoopbackConnectionGetsShortQueuesAndItsDownloadArrivesWhole) {
    std::string data = randomBytes(24u << 20, 11);
    dir_.write("Users/BOB/big.bin", data);
    ASSERT_EQ(requestDownload(*bob_, "big.bin", SELECT_OWN_FOLDER, 1u << 20), data.size());
    auto transfer = openTransfer();
    sockaddr_in mine{};
    socklen_t length = sizeof mine;
    ASSERT_EQ(::getsockname(transfer->socket().nativeHandle(), reinterpret_cast<sockaddr*>(&mine),
                            &length),
              0);
    // The kernel reserves twice what it is asked for; left alone, the send
    // buffer would be megabytes by now and the receive buffer the default.
    std::pair<int, int> expected{2 * TransferEngine::SHORT_PATH_SEND_BUFFER,
                                 2 * TransferEngine::SHORT_PATH_RECEIVE_BUFFER};
    std::pair<int, int> seen;
    EXPECT_TRUE(eventually([&] {
        seen = serverBuffers(transferPort(), ntohs(mine.sin_port));
        return seen == expected;
    })) << seen.first
        << " " << seen.second;
    EXPECT_TRUE(readAll(*transfer) == data);
}

TEST_F(Transfers, AHalfClosedDownloadThatIsNeverReadLetsTheServerSleep) {
    dir_.write("Users/BOB/big.bin", std::string(64u << 20, 'b'));
    EXPECT_EQ(requestDownload(*bob_, "big.bin", SELECT_OWN_FOLDER, 1u << 20), 64u << 20);
    auto stuck = openTransfer();
    stuck->socket().setBufferSizes(0, 4096);
    stuck->socket().shutdownWrite();  // and it never reads
    auto passes = [&] {
        std::uint64_t pass = 0;
        window_.runOnServer([&] { pass = server_->context().pass; });
        return pass;
    };
    // Once the buffers are full, nothing can move: the loop must wait, not
    // spin on a close that stays reported.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::uint64_t before = passes();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_LT(passes() - before, 1000u);
}

TEST_F(Transfers, ClientThatClosesWhileAwaitingItsConnectionIsGone) {
    dir_.write("adminpass.cfg", "boss");
    auto admin = loginAs("ADMIN", "boss");
    auto ann = loginAs("ann");
    ASSERT_TRUE(
        ann->connection().sendFrame(Payload(REQ_UPLOAD).text("never.txt").uint32(4096).uint32(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ann->disconnect();
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually(
        [&] {
            auto users = admin->listUsers();
            return users && std::find(users->begin(), users->end(), "ANN") == users->end();
        },
        2000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(Transfers, ADownloadEndsWithItsControlConnectionWhenItsClientIsAloneAtItsAddress) {
    const std::uint32_t size = 32u << 20;
    dir_.write("Users/BOB/big.bin", std::string(size, 'b'));
    auto alone = connect("127.0.0.2");
    ASSERT_TRUE(alone->login("bob", "pw").ok());
    EXPECT_EQ(requestDownload(*alone, "big.bin", SELECT_OWN_FOLDER, 4096), size);
    auto download = openTransfer("127.0.0.2");
    download->socket().setBufferSizes(0, 4096);
    char buffer[65536];
    ASSERT_TRUE(download->waitReadable(3000));
    ASSERT_GT(download->socket().receiveSome(buffer, sizeof buffer).bytes, 0u);
    alone->disconnect();
    // Gone, with its download: nothing runs on detached.
    ASSERT_TRUE(eventually([&] { return window_.clientCount() == 1; }, 5000));
    std::size_t detached = 1;
    window_.runOnServer([&] { detached = server_->context().transfers.detachedCount(); });
    EXPECT_EQ(detached, 0u);

    // What was on its way still arrives, then the end: read it quickly.
    download->socket().setBufferSizes(0, 1 << 20);
    std::uint64_t received = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!download->waitReadable(100)) continue;
        auto got = download->socket().receiveSome(buffer, sizeof buffer);
        if (got.bytes == 0 && !got.wouldBlock()) break;
        received += got.bytes;
    }
    EXPECT_LT(std::chrono::steady_clock::now(), deadline) << "the connection was closed";
    EXPECT_LT(received, size) << "the rest of the file was not sent";
}

TEST_F(Transfers, AdministratorSeesDirectionSizeAndProgress) {
    dir_.write("adminpass.cfg", "boss");
    auto admin = loginAs("ADMIN", "boss");
    auto ann = loginAs("ann");
    ASSERT_TRUE(
        ann->connection().sendFrame(Payload(REQ_UPLOAD).text("up.bin").uint32(4096).uint32(777)));
    std::optional<client::UserInfo> info;
    ASSERT_TRUE(eventually([&] {
        info = admin->userInfo("ANN");
        return info && info->direction == DIRECTION_TO_SERVER;
    }));
    EXPECT_EQ(info->transferSize, 777u);
    EXPECT_EQ(info->transferDone, 0u) << "its connection has not come yet";
    auto upload = openTransfer();
    upload->socket().shutdownWrite();
    EXPECT_EQ(ann->connection().readByte(), REPLY_OK);

    const std::uint32_t size = 16u << 20;
    dir_.write("Users/BOB/slow.bin", std::string(size, 's'));
    EXPECT_EQ(requestDownload(*bob_, "slow.bin", SELECT_OWN_FOLDER, 4096), size);
    auto download = openTransfer();
    download->socket().setBufferSizes(0, 4096);
    std::uint32_t lastDone = 0;
    bool sawRate = false;
    char buffer[8192];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline && !(sawRate && lastDone > 0)) {
        // Read slowly: about 200 KB/s, so the rate window has time to close.
        for (int i = 0; i < 5; ++i) {
            if (download->waitReadable(100)) download->socket().receiveSome(buffer, sizeof buffer);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        auto now = admin->userInfo("BOB");
        ASSERT_TRUE(now);
        ASSERT_EQ(now->direction, DIRECTION_TO_CLIENT);
        EXPECT_EQ(now->transferSize, size);
        EXPECT_GE(now->transferDone, lastDone);
        lastDone = now->transferDone;
        if (now->rateKBps > 0) sawRate = true;
    }
    EXPECT_GT(lastDone, 0u);
    EXPECT_TRUE(sawRate) << "the rate shows while data moves";
    ASSERT_TRUE(bob_->connection().sendByte(CANCEL_TRANSFER));
    EXPECT_TRUE(eventually([&] {
        auto now = admin->userInfo("BOB");
        return now && now->direction == DIRECTION_NONE;
    }));
}

TEST_F(Transfers, TwoHundredGuestsDownloadAtOnceAndDescriptorsComeBack) {
    std::string file = randomBytes(64 * 1024, 5);
    dir_.write("Users/BOB/shared.bin", file);
    dir_.write("shared.dat", "BOB\\shared.bin\r\n");
    // The catalog's descriptor, kept between reads, counts as one at rest.
    ASSERT_TRUE(bob_->listCatalog().has_value());
    bob_->quit();
    ASSERT_TRUE(eventually([&] { return window_.clientCount() == 0; }));
    int before = openDescriptorCount();

    // Half use the library, which connects right after its request; half
    // read the size first and only then connect, as a simpler client would.
    // All come from one address, so their connections are interchangeable.
    constexpr int CLIENTS = 200;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < CLIENTS; ++i) {
        threads.emplace_back([&, late = i % 2 == 1] {
            client::Client guest("127.0.0.1", controlPort(), transferPort());
            if (!guest.connect(5000) || !guest.login("GUEST", "").ok()) return;
            auto catalog = guest.listCatalog();
            if (!catalog || catalog->size() != 1) return;
            std::string got;
            if (!late) {
                if (get(guest, catalog->front(), 0, got).ok() && got == file) ++good;
                return;
            }
            if (requestDownload(guest, catalog->front(), 0) != file.size()) return;
            client::Connection transfer;
            if (!transfer.open("127.0.0.1", transferPort(), 5000)) return;
            got.resize(file.size());
            if (transfer.readExact(got.data(), got.size()) && got == file) ++good;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good.load(), CLIENTS);
    EXPECT_TRUE(eventually([&] { return window_.clientCount() == 0; }, 5000));
    EXPECT_TRUE(eventually([&] { return openDescriptorCount() == before; }, 5000))
        << openDescriptorCount() << " open, " << before << " before";
}

}  // namespace
}  // namespace vextora::test
