// Clients that attack the server's resources: each test is a fault the
// hostile-client and fuzzing drivers found, kept from coming back.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace vextora::test
