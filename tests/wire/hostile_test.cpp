// Clients that attack the server's resources: each test is a fault the
// hostile-client and fuzzing drivers found, kept from coming back.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "support/server_fixture.h"

namespace vextora::test {
namespace {

using client::Payload;

// This process's resident memory, in KiB; the in-process server's included.
long residentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

std::string header(std::uint32_t length) {
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>(length >> shift);
    return bytes;
}

// Lowers this process's soft descriptor limit (the in-process server's
// too) for the life of the object.
class DescriptorLimit {
public:
    explicit DescriptorLimit(long soft) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(soft);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;

private:
    rlimit saved_{};
};

class HostileClients : public ServerFixture {
protected:
    void SetUp() override { startServer(); }
};

TEST_F(HostileClients, AnnouncedLengthAloneCostsTheServerNoMemory) {
    constexpr int CONNECTIONS = 300;
    long before = residentKb();
    std::vector<std::unique_ptr<client::Client>> hostile;
    for (int i = 0; i < CONNECTIONS; ++i) {
        hostile.push_back(connect());
        std::string announce = header(MAX_FRAME_PAYLOAD);
        ASSERT_TRUE(hostile.back()->connection().sendRaw(announce.data(), announce.size()));
    }
    ASSERT_TRUE(eventually([&] { return window_.clientCount() == CONNECTIONS; }, 5000));
    auto probe = connect();
    ASSERT_TRUE(probe->login("GUEST", "").ok());  // every header has been read by now
    long grown = residentKb() - before;
    EXPECT_LT(grown, 8 * 1024) << "grew by " << grown << " KiB; 300 announced frames of 64 KiB "
                               << "would be 19 MiB if the server allocated them up front";

    // A frame that does arrive in full is still read whole and served.
    std::string rest(MAX_FRAME_PAYLOAD, 'x');
    rest[0] = static_cast<char>(200);  // not a request: dropped
    ASSERT_TRUE(hostile.front()->connection().sendRaw(rest.data(), rest.size()));
    EXPECT_TRUE(hostile.front()->login("GUEST", "").ok());
}

TEST_F(HostileClients, MemoryHalfFramesHeldReturnsOnceTheyLeave) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps freed memory for itself";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "the sanitizer's allocator keeps freed memory for itself";
#endif
#endif
    constexpr int CONNECTIONS = 300;
    auto well = connect();
    ASSERT_TRUE(well->login("GUEST", "").ok());
    long before = residentKb();
    {
        std::vector<std::unique_ptr<client::Client>> hostile;
        std::string half = header(MAX_FRAME_PAYLOAD) + std::string(32768, 'h');
        for (int i = 0; i < CONNECTIONS; ++i) {
            hostile.push_back(connect("127.0.0.2"));
            ASSERT_TRUE(hostile.back()->connection().sendRaw(half.data(), half.size()));
        }
        ASSERT_TRUE(eventually([&] { return residentKb() - before > 6 * 1024; }, 5000))
            << "the server holds what the half frames carried";
        // Someone who stays and uses a little memory after them.
        ASSERT_TRUE(well->listCatalog());
    }
    ASSERT_TRUE(eventually([&] { return window_.clientCount() == 1; }, 5000));
    EXPECT_TRUE(eventually([&] { return residentKb() - before < 2 * 1024; }, 5000))
        << "still " << residentKb() - before << " KiB above where it started";
}

TEST_F(HostileClients, UnfinishedFramesTogetherHoldNoMoreThanTheirLimit) {
    // Enough clients that most of a largest frame each would come to more
    // than the limit.
    constexpr std::size_t SENT = 60 * 1024;
    const int connections = static_cast<int>(MAX_HELD_FRAME_BYTES / (SENT - FRAME_FREE_BYTES)) + 40;
    if (raiseDescriptorLimit() < 2 * connections + 256) GTEST_SKIP() << "too few descriptors";
    auto well = connect();
    std::string halfFrame = header(MAX_FRAME_PAYLOAD) + std::string(SENT, 'h');
    std::vector<std::unique_ptr<client::Client>> hostile;
    for (int i = 0; i < connections; ++i) {
        hostile.push_back(connect("127.0.0.2"));
        ASSERT_TRUE(hostile.back()->connection().sendRaw(halfFrame.data(), halfFrame.size()));
    }
    auto ended = [&] {
        int count = 0;
        for (auto& client : hostile) count += client->connection().closedByPeer() ? 1 : 0;
        return count;
    };
    ASSERT_TRUE(eventually(
        [&] {
            return window_.clientCount() == 1 + hostile.size() - ended() && sessionsTookAllInput();
        },
        10000));
    EXPECT_GT(ended(), 0) << "the frames past the limit end their sessions";
    std::size_t held = heldFrameBytes();
    EXPECT_LE(held, MAX_HELD_FRAME_BYTES);
    EXPECT_GT(held, MAX_HELD_FRAME_BYTES - 2 * SENT) << "frames within the limit are kept";

    // Any real request still arrives, in as many pieces as its client likes.
    std::string login = header(8) + std::string(1, REQ_LOGIN) + std::string("\x05GUEST\x00", 7);
    for (char byte : login) {
        ASSERT_TRUE(well->connection().sendRaw(&byte, 1));
        ASSERT_TRUE(eventually([&] { return sessionsTookAllInput(); }));
    }
    EXPECT_EQ(well->connection().readByte(), REPLY_OK);
    auto fresh = connect();
    EXPECT_TRUE(fresh->login("GUEST", "").ok());

    hostile.clear();
    ASSERT_TRUE(eventually([&] { return window_.clientCount() == 2; }, 5000));
    EXPECT_EQ(heldFrameBytes(), 0u) << "what the frames held is counted back when they go";
    std::string largest = header(MAX_FRAME_PAYLOAD) + std::string(MAX_FRAME_PAYLOAD, 'x');
    largest[4] = static_cast<char>(200);  // not a request: dropped
    ASSERT_TRUE(fresh->connection().sendRaw(largest.data(), largest.size()));
    EXPECT_EQ(fresh->statusRequest(Payload(REQ_LOGIN).text("GUEST").text("")).reply, REPLY_FAILED)
        << "the largest frame is read whole again once there is room";
}

TEST_F(HostileClients, ListingsThatAreNeverReadHoldLittleOfTheCatalog) {
    // 50,000 lines of 255 bytes: a listing of 12.85 MB, which every client
    // that never reads it once held whole.
    constexpr int LINES = 50000;
    constexpr int CLIENTS = 20;
    std::string catalog;
    catalog.reserve(LINES * 257);
    for (int i = 0; i < LINES; ++i) {
        std::string line = "OWNER\\" + std::to_string(100000 + i);
        catalog += line + std::string(255 - line.size(), 'l') + "\r\n";
    }
    dir_.write("shared.dat", catalog);
    catalog.clear();
    catalog.shrink_to_fit();
    auto well = connect("127.0.0.2");
    ASSERT_TRUE(well->login("GUEST", "").ok());
    long before = residentKb();

    std::vector<std::unique_ptr<client::Client>> hostile;
    for (int i = 0; i < CLIENTS; ++i) {
        hostile.push_back(connect());
        hostile.back()->connection().socket().setBufferSizes(0, 4096);
        ASSERT_TRUE(hostile.back()->connection().sendFrame(Payload(REQ_LIST_FILES).byte(0)));
    }
    // Every listing begun and stuck: the connections have stopped taking more.
    ASSERT_TRUE(eventually([&] { return sessionsTookAllInput(); }));
    std::vector<int> queued(CLIENTS, -1);
    ASSERT_TRUE(eventually(
        [&] {
            bool settled = true;
            for (int i = 0; i < CLIENTS; ++i) {
                int now = 0;
                ::ioctl(hostile[i]->connection().socket().nativeHandle(), FIONREAD, &now);
                settled = settled && now > 0 && now == queued[i];
                queued[i] = now;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return settled;
        },
        5000));
    long grown = residentKb() - before;
    EXPECT_LT(grown, CLIENTS * 256)
        << "grew by " << grown << " KiB for " << CLIENTS << " listings nobody reads";
    EXPECT_TRUE(well->fileInfo("x")) << "the others are served meanwhile";

    // A client that does read gets the whole listing, in order.
    auto reader = connect();
    auto listed = reader->listCatalog();
    ASSERT_TRUE(listed);
    ASSERT_EQ(listed->size(), static_cast<std::size_t>(LINES));
    for (int i = 0; i < LINES; i += 997)
        EXPECT_EQ((*listed)[i].substr(0, 12), "OWNER\\" + std::to_string(100000 + i));
}

TEST_F(HostileClients, ConnectedClientsKeepFullServiceWhenDescriptorsRunOut) {
    dir_.write("users.dat", "BOB\r\npw\r\n");
    std::string file(100000, 'f');
    dir_.write("Users/BOB/file.bin", file);
    auto well = connect();
    ASSERT_TRUE(eventually([&] { return window_.clientCount() == 1; }));

    // Connections from another address until the server turns one away, or
    // this process (which shares the server's descriptors) has none left.
    DescriptorLimit limit(openDescriptorCount() + 200);
    std::vector<std::unique_ptr<client::Connection>> hostile;
    bool turnedAway = false;
    for (int i = 0; i < 400 && !turnedAway; ++i) {
        auto connection = std::make_unique<client::Connection>();
        if (!connection->open("127.0.0.1", controlPort(), 500, "127.0.0.2")) break;
        turnedAway = connection->waitReadable(20) && connection->closedByPeer();
        hostile.push_back(std::move(connection));
    }
    // On a busy machine the server may turn one away only after the next
    // few were made: any of them will do.
    if (!turnedAway) {
        turnedAway = eventually([&] {
            return std::any_of(hostile.begin(), hostile.end(), [](const auto& connection) {
                return connection->waitReadable(0) && connection->closedByPeer();
            });
        });
    }
    EXPECT_TRUE(turnedAway) << "new clients are turned away while descriptors remain";

    auto login = well->login("BOB", "pw");
    EXPECT_TRUE(login.ok()) << "login needs users.dat: " << login.message;
    std::string got;
    auto download = well->download("file.bin", SELECT_OWN_FOLDER,
                                   [&](const std::uint8_t* data, std::size_t length) {
                                       got.append(reinterpret_cast<const char*>(data), length);
                                       return true;
                                   });
    EXPECT_TRUE(download.ok()) << download.message;
    EXPECT_EQ(got.size(), file.size());
    bool sent = false;
    auto upload = well->upload("up.bin", 5, [&](std::uint8_t* buffer, std::size_t) -> long {
        if (sent) return 0;
        sent = true;
        std::memcpy(buffer, "hello", 5);
        return 5;
    });
    EXPECT_TRUE(upload.ok()) << upload.message;
    EXPECT_EQ(dir_.read("Users/BOB/up.bin"), "hello");
}

}  // namespace
}  // namespace vextora::test
