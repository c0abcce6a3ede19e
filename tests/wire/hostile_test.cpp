// Clients that attack the server's resources: each test is a fault the
// hostile-client and fuzzing drivers found, kept from coming back.
#include <gtest/gtest.h>
#include <sys/resource.h>

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
