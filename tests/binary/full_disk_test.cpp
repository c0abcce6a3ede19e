// The real program serving a data folder on a small file system that fills
// up. The test takes a mount and a network namespace of its own (so it needs
// root), mounts a 4 MiB tmpfs as the data folder and fills it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "binary/server_process.h"
#include "client/client.h"
#include "support/temp_dir.h"

namespace vextora::test {
namespace {

// A tmpfs keeps data in whole pages: a record goes partly into the room left
// in its file's last page, and the rest finds none.
constexpr std::size_t PAGE = 4096;

bool bringLoopbackUp() {
    int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(probe, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP | IFF_RUNNING;
    up = up && ::ioctl(probe, SIOCSIFFLAGS, &request) == 0;
    ::close(probe);
    return up;
}

// Writes `path` until the file system has no page left; false if it never ran out.
bool fillUp(const std::string& path) {
    int handle = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (handle < 0) return false;
    std::string chunk(64 * 1024, 'f');
    bool full = false;
    for (int round = 0; round < 4096 && !full; ++round) {
        ssize_t written = ::write(handle, chunk.data(), chunk.size());
        full = written < 0 && errno == ENOSPC;
    }
    ::close(handle);
    return full;
}

// users.dat that ends `room` bytes before a page boundary: accounts that pad
// it, then BOB, whose password takes up what is left.
std::string accountsEndingBeforeAPage(std::size_t room) {
    std::string accounts;
    for (int i = 0; accounts.size() + 2 * 120 < PAGE - room; ++i)
        accounts += "PAD" + std::to_string(100 + i) + "\r\n" + std::string(110, 'p') + "\r\n";
    const std::size_t nameAndLineEnds = 7;
    return accounts + "BOB\r\n" +
           std::string(PAGE - room - accounts.size() - nameAndLineEnds, 'b') + "\r\n";
}

// A catalog of ANN's lines that ends `room` bytes before a page boundary.
std::string catalogEndingBeforeAPage(std::size_t room) {
    std::string catalog;
    while (catalog.size() + 2 * 30 < PAGE - room)
        catalog += "ANN\\" + std::string(24, 'a') + "\r\n";
    std::size_t last = PAGE - room - catalog.size() - 2;
    return catalog + "ANN\\" + std::string(last - 4, 'z') + "\r\n";
}

class FullDisk : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
        if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
            GTEST_SKIP() << "no namespaces of its own: " << std::strerror(errno);
        // Nothing mounted here may reach the rest of the system.
        ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0)
            << std::strerror(errno);
        ASSERT_TRUE(bringLoopbackUp()) << std::strerror(errno);
        ASSERT_EQ(::mount("tmpfs", dir_.str().c_str(), "tmpfs", 0, "size=4m,mode=0700"), 0)
            << std::strerror(errno);
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) ::umount2(dir_.str().c_str(), MNT_DETACH);
    }

    TempDir dir_;
    bool mounted_ = false;
};

TEST_F(FullDisk, FailedCreationAndPublishLeaveTheFilesAsTheyWereAndTheNextOnesWhole) {
    // Room for "EVE", its line end and 15 of her 44 password characters; for
    // "BOB\quarterl" of the catalog line.
    const std::string accounts = accountsEndingBeforeAPage(20);
    const std::string catalog = catalogEndingBeforeAPage(12);
    ASSERT_EQ(accounts.size() % PAGE, PAGE - 20);
    ASSERT_EQ(catalog.size() % PAGE, PAGE - 12);
    const std::string password(44, 'e');
    const std::string line = "BOB\\quarterly-report.pdf";
    const std::string bobPassword = accounts.substr(
        accounts.rfind("BOB\r\n") + 5, accounts.size() - accounts.rfind("BOB\r\n") - 7);
    dir_.write("users.dat", accounts);
    dir_.write("shared.dat", catalog);
    dir_.write("Users/BOB/quarterly-report.pdf", "figures");

    ServerProcess server;
    ASSERT_TRUE(server.start(dir_.str()));
    client::Client bob;
    ASSERT_TRUE(bob.connect(3000));
    ASSERT_TRUE(bob.login("BOB", bobPassword).ok());
    ASSERT_TRUE(fillUp((dir_ / "filler").string()));

    client::Client eve;
    ASSERT_TRUE(eve.connect(3000));
    auto created = eve.createAccount("EVE", password);
    EXPECT_EQ(created.reply, REPLY_FAILED) << created.message;
    ASSERT_TRUE(bob.setShared("quarterly-report.pdf", true));
    auto info = bob.fileInfo("quarterly-report.pdf");  // answered after the publish was handled
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->shared);
    EXPECT_EQ(dir_.read("users.dat"), accounts) << "no part of EVE's record";
    EXPECT_EQ(dir_.read("shared.dat"), catalog) << "no part of BOB's line";
    EXPECT_FALSE(dir_.exists("Users/EVE"));
    EXPECT_EQ(eve.login("EVE", password.substr(0, 15)).reply, REPLY_BAD_NAME);
    EXPECT_EQ(eve.createAccount("EVE", password).reply, REPLY_FAILED)
        << "the name is free, only the disk is full";

    std::filesystem::remove(dir_ / "filler");
    created = eve.createAccount("EVE", password);
    EXPECT_TRUE(created.ok()) << created.message;
    EXPECT_EQ(dir_.read("users.dat"), accounts + "EVE\r\n" + password + "\r\n");
    EXPECT_EQ(eve.login("EVE", password.substr(0, 15)).reply, REPLY_BAD_PASSWORD);
    EXPECT_TRUE(eve.login("EVE", password).ok());
    ASSERT_TRUE(bob.setShared("quarterly-report.pdf", true));
    info = bob.fileInfo("quarterly-report.pdf");
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->shared);
    EXPECT_EQ(dir_.read("shared.dat"), catalog + line + "\r\n");

    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(), 0);
}

}  // namespace
}  // namespace vextora::test
