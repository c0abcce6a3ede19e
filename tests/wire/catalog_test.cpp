// The shared-file catalog and the listings, end to end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "platform/process.h"
#include "support/server_fixture.h"

namespace vextora::test {
namespace {

using client::Payload;

class CatalogRequests : public ServerFixture {
protected:
    void SetUp() override { startServer(); }

    // Publishing answers nothing; a request after it proves it was handled.
    void publish(client::Client& client, const std::string& name, bool shared = true) {
        ASSERT_TRUE(client.setShared(name, shared));
        ASSERT_TRUE(client.fileInfo(name));
    }
};

TEST_F(CatalogRequests, PublishAppendsExactLinesAndOneWithdrawRemovesEveryCopy) {
    auto bob = loginAs("bob");
    publish(*bob, "notes.txt");
    publish(*bob, "notes.txt");
    publish(*bob, "Other File.bin");
    EXPECT_EQ(dir_.read("shared.dat"),
              "BOB\\notes.txt\r\nBOB\\notes.txt\r\nBOB\\Other File.bin\r\n");
    EXPECT_EQ(*bob->listCatalog(), (std::vector<std::string>{"BOB\\notes.txt", "BOB\\notes.txt",
                                                             "BOB\\Other File.bin"}));

    publish(*bob, "NOTES.TXT", false);
    EXPECT_EQ(dir_.read("shared.dat"),
              "BOB\\notes.txt\r\nBOB\\notes.txt\r\nBOB\\Other File.bin\r\n")
        << "withdrawing is case-sensitive";
    publish(*bob, "notes.txt", false);
    EXPECT_EQ(dir_.read("shared.dat"), "BOB\\Other File.bin\r\n");
    EXPECT_FALSE(dir_.exists("vxttemp.tmp"));
    EXPECT_EQ(bob->connection().waitReadable(50), false) << "publish and withdraw answer nothing";
}

TEST_F(CatalogRequests, GuestsAndLoggedOutClientsPublishUnderTheirAddress) {
    auto anonymous = connect();
    publish(*anonymous, "a.txt");
    auto guest = connect("127.0.0.2");
    ASSERT_TRUE(guest->login("GUEST", "").ok());
    publish(*guest, "b.txt");
    EXPECT_EQ(dir_.read("shared.dat"), "127.0.0.1\\a.txt\r\n127.0.0.2\\b.txt\r\n");
}

TEST_F(CatalogRequests, ListingFollowsTheFileAndSkipsWhatCannotBeAnEntry) {
    auto client = connect();
    ASSERT_TRUE(client->connection().sendFrame(Payload(REQ_LIST_FILES).byte(0)));
    EXPECT_EQ(drain(client->connection()), "\x11") << "no catalog: 17 alone";

    std::string tooLong = "X\\" + std::string(300, 'y');
    dir_.write("shared.dat", "B\\2\r\n\r\nA\\1\n" + tooLong + "\r\nC\\3\r\nTORN\\last");
    ASSERT_TRUE(client->connection().sendFrame(Payload(REQ_LIST_FILES).byte(7)));
    EXPECT_EQ(drain(client->connection()), std::string("\x10\x03"
                                                       "B\\2"
                                                       "\x10\x00"
                                                       "\x10\x03"
                                                       "A\\1"
                                                       "\x10\x03"
                                                       "C\\3"
                                                       "\x11",
                                                       18));
}

TEST_F(CatalogRequests, OwnFolderListingShowsFilesAndFoldersOnly) {
    auto bob = loginAs("bob");
    dir_.write("Users/BOB/one.txt", "1");
    std::filesystem::create_directory(dir_ / "Users" / "BOB" / "folder");
    auto entries = bob->listOwnFolder();
    ASSERT_TRUE(entries);
    std::sort(entries->begin(), entries->end());
    EXPECT_EQ(*entries, (std::vector<std::string>{"folder", "one.txt"}));

    auto anonymous = connect();
    EXPECT_EQ(anonymous->listOwnFolder()->size(), 0u) << "no own folder before a login";
    auto guest = loginAs("GUEST");
    EXPECT_EQ(guest->listOwnFolder()->size(), 0u);
}

TEST_F(CatalogRequests, ALongListingShowsTheCatalogAsItWasWhenAskedForWhileItChanges) {
    // Far more than the connection holds while nobody reads, so the rest of
    // the listing is read from the file only after the changes.
    std::vector<std::string> lines;
    std::string catalog;
    for (int i = 0; i < 12000; ++i) {
        lines.push_back("ANN\\" + std::to_string(10000 + i) + std::string(150, 'c'));
        catalog += lines.back() + "\r\n";
    }
    dir_.write("shared.dat", catalog);
    auto bob = loginAs("bob");
    for (bool rewrite : {false, true}) {
        auto slow = connect("127.0.0.2");
        ASSERT_TRUE(slow->connection().sendFrame(Payload(REQ_LIST_FILES).byte(0)));
        int queued = -1;
        ASSERT_TRUE(eventually([&] {
            int now = 0;
            ::ioctl(slow->connection().socket().nativeHandle(), FIONREAD, &now);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            bool settled = now > 0 && now == queued;
            queued = now;
            return settled;
        }));
        ASSERT_LT(static_cast<std::size_t>(queued), catalog.size()) << "the listing is on its way";
        // An append, or a withdraw that puts a new file in the catalog's place.
        publish(*bob, "late.txt");
        if (rewrite) publish(*bob, "late.txt", false);
        auto listed = slow->listCatalog();  // the reply already on its way
        ASSERT_TRUE(listed);
        EXPECT_EQ(*listed, lines) << (rewrite ? "withdraw" : "publish");
        if (!rewrite) lines.push_back("BOB\\late.txt");
    }
    EXPECT_EQ(bob->listCatalog()->size(), 12000u) << "the next listing sees the changes";
}

TEST_F(CatalogRequests, AnOwnFolderOfManyFilesListsEachOnce) {
    auto bob = loginAs("bob");
    std::vector<std::string> names;  // a listing of some 140 KB: more than one chunk
    for (int i = 0; i < 700; ++i) {
        names.push_back(std::to_string(i) + std::string(200, 'n'));
        dir_.write("Users/BOB/" + names.back(), "");
    }
    dir_.write("Users/BOB/" + std::string(256, 'L'), "");  // no length byte carries it
    auto listed = bob->listOwnFolder();
    ASSERT_TRUE(listed);
    std::sort(listed->begin(), listed->end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(*listed, names);
}

TEST_F(CatalogRequests, FileInfoReportsSizeAndSharedFlag) {
    auto bob = loginAs("bob");
    dir_.write("Users/BOB/kept.txt", "12345");
    dir_.write("Users/BOB/gone.txt", "x");
    publish(*bob, "gone.txt");
    std::filesystem::remove(dir_ / "Users" / "BOB" / "gone.txt");

    auto kept = bob->fileInfo("kept.txt");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->size, 5u);
    EXPECT_FALSE(kept->shared);
    auto gone = bob->fileInfo("gone.txt");
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->size, SIZE_UNAVAILABLE);
    EXPECT_TRUE(gone->shared);
    EXPECT_EQ(bob->fileInfo("")->size, SIZE_UNAVAILABLE) << "the folder itself is no file";

    dir_.write("users.dat.copy", "x");
    auto escape = bob->fileInfo("..\\..\\users.dat.copy");
    EXPECT_EQ(escape->size, SIZE_UNAVAILABLE);
    auto anonymous = connect();
    EXPECT_EQ(anonymous->fileInfo("kept.txt")->size, SIZE_UNAVAILABLE);
}

TEST_F(CatalogRequests, UnsafeOrOverlongPublishesWriteNothing) {
    auto bob = loginAs("bob");
    publish(*bob, "..\\..\\users.dat");
    publish(*bob, std::string(251, 'n'));  // "BOB\" + 251 = 255: fits
    EXPECT_EQ(dir_.read("shared.dat"), "BOB\\" + std::string(251, 'n') + "\r\n");
    publish(*bob, std::string(252, 'n'));  // 256 bytes: every reader would cut it
    EXPECT_EQ(dir_.read("shared.dat"), "BOB\\" + std::string(251, 'n') + "\r\n");
}

TEST_F(CatalogRequests, AppendAfterATornCatalogLine) {
    dir_.write("shared.dat", "ANN\\a.txt");
    auto bob = loginAs("bob");
    publish(*bob, "b.txt");
    EXPECT_EQ(dir_.read("shared.dat"), "ANN\\a.txt\r\nBOB\\b.txt\r\n");
}

TEST_F(CatalogRequests, TheCatalogEditedByHandIsSeenByTheVeryNextRequest) {
    auto bob = loginAs("bob");
    dir_.write("Users/BOB/a.txt", "1");
    dir_.write("Users/BOB/b.txt", "2");
    std::string path = (dir_ / "shared.dat").string();
    dir_.write("shared.dat", "BOB\\b.txt\r\n");
    // Rewritten in place to the same size with the modification time put
    // back: nothing but the content changes between two requests.
    for (int round = 0; round < 6; ++round) {
        bool aShared = round % 2 == 0;
        struct stat before {};
        ASSERT_EQ(::stat(path.c_str(), &before), 0);
        dir_.write("shared.dat", aShared ? "BOB\\a.txt\r\n" : "BOB\\b.txt\r\n");
        timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        auto a = bob->fileInfo("a.txt");
        auto b = bob->fileInfo("b.txt");
        ASSERT_TRUE(a && b);
        EXPECT_EQ(a->shared, aShared) << "round " << round;
        EXPECT_EQ(b->shared, !aShared) << "round " << round;
    }
    dir_.write("shared.new", "BOB\\a.txt\r\nBOB\\b.txt\r\n");
    std::filesystem::rename(dir_ / "shared.new", dir_ / "shared.dat");
    EXPECT_EQ(bob->listCatalog()->size(), 2u) << "a catalog renamed over the old one";
    std::filesystem::remove(dir_ / "shared.dat");
    EXPECT_EQ(bob->listCatalog()->size(), 0u) << "removed";
    dir_.write("shared.dat", "BOB\\b.txt\r\n");
    EXPECT_EQ(*bob->listCatalog(), std::vector<std::string>{"BOB\\b.txt"}) << "created again";
}

TEST_F(CatalogRequests, AnEditIsSeenWhenMoreRequestsArriveAtOnceThanOneLookReports) {
    // Enough clients that the report of the edit is left out of the first
    // three looks, the last before their requests are dispatched.
    const int clients = 3 * Poller::MOST_REPORTED + 64;
    if (raiseDescriptorLimit() < 2 * clients + 256) GTEST_SKIP() << "too few descriptors";
    dir_.write("Users/BOB/a.txt", "1");
    dir_.write("shared.dat", "BOB\\b.txt\r\n");
    auto bob = loginAs("bob");
    std::vector<std::unique_ptr<client::Client>> crowd;
    for (int i = 0; i < clients; ++i) {
        crowd.push_back(connect());
        ASSERT_TRUE(crowd.back()->login("BOB", "pw").ok()) << i;
    }
    ASSERT_FALSE(bob->fileInfo("a.txt")->shared);  // the catalog is fresh and trusted

    // The server is held between two passes while every request arrives
    // and the catalog is edited by hand after them.
    std::atomic<bool> held{false};
    std::atomic<bool> go{false};
    std::thread holder([&] {
        window_.runOnServer([&] {
            held = true;
            while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    });
    while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (auto& client : crowd)
        ASSERT_TRUE(client->connection().sendFrame(Payload(REQ_FILE_INFO).text("a.txt")));
    dir_.write("shared.dat", "BOB\\a.txt\r\n");
    go = true;
    holder.join();

    int stale = 0;
    for (auto& client : crowd) {
        auto size = client->connection().readUint32();
        auto shared = client->connection().readByte();
        ASSERT_TRUE(size && shared);
        if (*shared == 0) ++stale;
    }
    EXPECT_EQ(stale, 0) << "answers from the catalog before the edit";
}

}  // namespace
}  // namespace vextora::test
