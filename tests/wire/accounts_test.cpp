// Login, account creation and the own-folder requests, end to end.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "support/server_fixture.h"

namespace vextora::test {
namespace {

using client::Payload;

class Accounts : public ServerFixture {
protected:
    void SetUp() override { startServer(); }

    // Each from an address of its own: the failures among many logins from
    // one address would be spaced a second apart (LoginThrottling tests that).
    std::uint8_t loginReply(const std::string& name, const std::string& password) {
        auto client = connect("127.0.1." + std::to_string(++logins_));
        return client->login(name, password).reply;
    }

private:
    int logins_ = 0;
};

TEST_F(Accounts, AdminAndGuestInAnyLetterCase) {
    dir_.write("adminpass.cfg", "Secret");
    for (const char* admin : {"ADMIN", "admin", "aDmIn"}) {
        EXPECT_EQ(loginReply(admin, "Secret"), REPLY_OK) << admin;
        EXPECT_EQ(loginReply(admin, "secret"), REPLY_BAD_PASSWORD) << admin;
    }
    for (const char* guest : {"GUEST", "guest", "GuEsT"}) {
        EXPECT_EQ(loginReply(guest, ""), REPLY_OK) << guest;
        EXPECT_EQ(loginReply(guest, "whatever"), REPLY_OK) << guest;
    }
    // Records named like the reserved accounts are never consulted.
    dir_.write("users.dat", "GUEST\r\nx\r\nADMIN\r\nx\r\n");
    EXPECT_EQ(loginReply("admin", "x"), REPLY_BAD_PASSWORD);
}

TEST_F(Accounts, AdminPasswordFileShapes) {
    struct Case {
        const char* content;  // nullptr: no file
        const char* password;
        std::uint8_t reply;
    };
    const Case cases[] = {
        {nullptr, "", REPLY_OK},
        {nullptr, "x", REPLY_BAD_PASSWORD},
        {"", "", REPLY_OK},
        {"", "x", REPLY_BAD_PASSWORD},
        {"one line", "one line", REPLY_OK},
        {"first\r\nsecond\r\n", "first", REPLY_OK},
        {"first\r\nsecond\r\n", "second", REPLY_BAD_PASSWORD},
        {"bare\nlf", "bare", REPLY_OK},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(dir_ / "adminpass.cfg");
        if (c.content) dir_.write("adminpass.cfg", c.content);
        EXPECT_EQ(loginReply("ADMIN", c.password), c.reply)
            << (c.content ? c.content : "(missing)") << " / " << c.password;
    }
}

TEST_F(Accounts, RecordsWithEitherLineEndAndTheFirstOfEqualNamesDecides) {
    dir_.write("users.dat",
               "BOB\r\nbobpw\r\nann\nannpw\nBOB\r\nother\r\nCAROL\r\nCarolPw\r\nDAVE\r\ndavepw");
    EXPECT_EQ(loginReply("bob", "bobpw"), REPLY_OK);
    EXPECT_EQ(loginReply("BOB", "other"), REPLY_BAD_PASSWORD);
    EXPECT_EQ(loginReply("Ann", "annpw"), REPLY_OK) << "a lower-case stored name still logs in";
    EXPECT_EQ(loginReply("CAROL", "carolpw"), REPLY_BAD_PASSWORD) << "passwords keep their case";
    EXPECT_EQ(loginReply("DAVE", "davepw"), REPLY_BAD_NAME) << "the last record has no line end";
    EXPECT_EQ(loginReply("NOBODY", ""), REPLY_BAD_NAME);
}

TEST_F(Accounts, LoginWhileLoggedInFailsAndLogoutClearsTheAdministrator) {
    auto admin = loginAs("ADMIN", "");
    EXPECT_EQ(admin->login("ADMIN", "").reply, REPLY_FAILED);
    auto users = admin->listUsers();
    ASSERT_TRUE(users);
    EXPECT_EQ(users->front(), "ADMIN");
    ASSERT_TRUE(admin->logout());
    client::Status status;
    EXPECT_FALSE(admin->listUsers(&status));
    EXPECT_EQ(status.reply, REPLY_ADMIN_ONLY);

    auto other = loginAs("ADMIN", "");
    auto names = other->listUsers();
    ASSERT_TRUE(names);
    EXPECT_EQ((*names)[0], "127.0.0.1") << "the logged-out session shows its address again";
}

TEST_F(Accounts, CreationStoresUpperCaseRecordsAndFolders) {
    auto client = connect();
    EXPECT_TRUE(client->createAccount("bob", "Pw1").ok());
    EXPECT_EQ(dir_.read("users.dat"), "BOB\r\nPw1\r\n");
    EXPECT_TRUE(std::filesystem::is_directory(dir_ / "Users" / "BOB"));
    struct stat info {};
    ASSERT_EQ(::stat((dir_ / "users.dat").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(client->login("Bob", "Pw1").ok());
    EXPECT_TRUE(client->createAccount("ann", "x").ok()) << "creation works logged in too";
    EXPECT_EQ(dir_.read("users.dat"), "BOB\r\nPw1\r\nANN\r\nx\r\n");
}

TEST_F(Accounts, RefusedNamesAnswerBadNameAndWriteNothing) {
    auto client = connect();
    ASSERT_TRUE(client->createAccount("BOB", "pw").ok());
    std::string before = treeFingerprint(dir_.path());
    const std::string refused[] = {"bob",
                                   "Bob",
                                   "BOB",
                                   "admin",
                                   "Guest",
                                   "serverShare",
                                   "",
                                   ".",
                                   "..",
                                   "a\\b",
                                   "a/b",
                                   "..\\x",
                                   "a\rb",
                                   "a\nb",
                                   std::string("a\0b", 3),
                                   std::string(254, 'n')};
    for (const auto& name : refused)
        EXPECT_EQ(client->createAccount(name, "pw").reply, REPLY_BAD_NAME) << name;
    EXPECT_EQ(client->createAccount("CAROL", "line\nbreak").reply, REPLY_BAD_NAME);
    EXPECT_EQ(client->createAccount("CAROL", "line\rbreak").reply, REPLY_BAD_NAME);
    EXPECT_EQ(treeFingerprint(dir_.path()), before);
    EXPECT_TRUE(client->createAccount(std::string(253, 'n'), "pw").ok()) << "253 bytes fit";
}

TEST_F(Accounts, NamesOfAddressesLookAlikesAndControlBytesAreRefusedOldRecordsStillLogIn) {
    // Guests and logged-out sessions own Users\<their address>; blanks and
    // control bytes make names that pass for ADMIN or SERVERSHARE.
    dir_.write("users.dat", "127.0.0.1\r\nold1\r\n ADMIN\r\nold2\r\nA\tB\r\nold3\r\n");
    auto client = connect();
    std::string before = treeFingerprint(dir_.path());
    const std::string refused[] = {
        "127.0.0.1", "10.0.0.5", "255.255.255.255", "0.0.0.0", "010.000.0.5",  // addresses
        " ADMIN",    "ADMIN ",   " serverShare",    " ",                       // blanks
        "A\tB",      "a\x01z",   "a\x1f",           "\x7f",    "x\x7fz",       // control bytes
    };
    for (const auto& name : refused)
        EXPECT_EQ(client->createAccount(name, "pw").reply, REPLY_BAD_NAME) << name;
    EXPECT_EQ(treeFingerprint(dir_.path()), before) << "nothing written for a refused name";

    const std::string accepted[] = {"j\xf6rg x", "bob.smith", "1.2.3",    "1.2.3.4.5",
                                    "256.0.0.1", "1.2.3.4a",  "1..2.3.4", "a b  c"};
    for (const auto& name : accepted) EXPECT_TRUE(client->createAccount(name, "pw").ok()) << name;
    EXPECT_EQ(loginReply("J\xf6RG X", "pw"), REPLY_OK);
    EXPECT_TRUE(std::filesystem::is_directory(dir_ / "Users" / "BOB.SMITH"));

    EXPECT_EQ(loginReply("127.0.0.1", "old1"), REPLY_OK) << "records made before still work";
    EXPECT_EQ(loginReply(" admin", "old2"), REPLY_OK);
    EXPECT_EQ(loginReply("a\tb", "old3"), REPLY_OK);
}

TEST_F(Accounts, AnAdminPasswordFileThatCannotBeReadRefusesEveryPassword) {
    auto expectShut = [&](const char* shape) {
        for (const char* password : {"", "x", "boss"})
            EXPECT_EQ(loginReply("ADMIN", password), REPLY_BAD_PASSWORD)
                << shape << " / '" << password << "'";
    };
    const auto file = dir_ / "adminpass.cfg";
    // A FIFO with no writer: opening it must neither block the server nor
    // read as an empty password.
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    expectShut("FIFO");
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    expectShut("directory");
    std::filesystem::remove(file);
    std::filesystem::create_symlink("nowhere", file);
    expectShut("dangling link");
    std::filesystem::remove(file);
    std::filesystem::create_symlink("adminpass.cfg", file);
    expectShut("link to itself");
    std::filesystem::remove(file);
    dir_.write("adminpass.cfg", "boss");
    ::chmod(file.c_str(), 0);
    if (::geteuid() != 0) expectShut("mode 000");  // the binary tests run it unprivileged
    ::chmod(file.c_str(), 0600);
    EXPECT_EQ(loginReply("ADMIN", "boss"), REPLY_OK) << "readable again: the password counts";
    std::filesystem::remove(file);
    EXPECT_EQ(loginReply("ADMIN", ""), REPLY_OK) << "missing: the empty password";
}

TEST_F(Accounts, AppendAfterATornPasswordLineKeepsBothAccounts) {
    dir_.write("users.dat", "BOB\r\nbobpw");
    auto client = connect();
    EXPECT_EQ(client->createAccount("bob", "new").reply, REPLY_BAD_NAME)
        << "the torn record still holds its name";
    ASSERT_TRUE(client->createAccount("ann", "annpw").ok());
    EXPECT_EQ(dir_.read("users.dat"), "BOB\r\nbobpw\r\nANN\r\nannpw\r\n");
    EXPECT_EQ(loginReply("BOB", "bobpw"), REPLY_OK);
    EXPECT_EQ(loginReply("ANN", "annpw"), REPLY_OK);
}

TEST_F(Accounts, HandEditedLowerCaseRecordBlocksTheSameName) {
    dir_.write("users.dat", "carol\r\ncarolpw\r\n");
    auto client = connect();
    EXPECT_EQ(client->createAccount("CAROL", "other").reply, REPLY_BAD_NAME);
    EXPECT_EQ(dir_.read("users.dat"), "carol\r\ncarolpw\r\n");
    EXPECT_EQ(loginReply("CAROL", "carolpw"), REPLY_OK);
}

class OwnFolder : public ServerFixture {
protected:
    void SetUp() override {
        startServer();
        bob_ = loginAs("BOB");
        dir_.write("Users/BOB/a.txt", "alpha");
        dir_.write("Users/BOB/b.txt", "beta");
        std::filesystem::create_directory(dir_ / "Users" / "BOB" / "sub");
        dir_.write("Users/ANN/secret.txt", "ann's");
        dir_.write("shared.dat", "ANN\\secret.txt\r\n");
        dir_.write("adminpass.cfg", "boss");
    }
    std::unique_ptr<client::Client> bob_;
};

TEST_F(OwnFolder, DeleteTwiceAnswersOkThenFailed) {
    EXPECT_TRUE(bob_->remove("a.txt").ok());
    EXPECT_FALSE(dir_.exists("Users/BOB/a.txt"));
    EXPECT_EQ(bob_->remove("a.txt").reply, REPLY_FAILED);
    EXPECT_EQ(bob_->remove("sub").reply, REPLY_FAILED) << "folders are not deleted";
    EXPECT_EQ(bob_->remove("").reply, REPLY_FAILED) << "the empty name is the folder itself";
}

TEST_F(OwnFolder, AReadOnlyFileIsKeptButMayBeRenamed) {
    std::filesystem::permissions(dir_ / "Users" / "BOB" / "a.txt",
                                 std::filesystem::perms::owner_read |
                                     std::filesystem::perms::group_read |
                                     std::filesystem::perms::others_read);
    EXPECT_EQ(bob_->remove("a.txt").reply, REPLY_FAILED);
    EXPECT_EQ(dir_.read("Users/BOB/a.txt"), "alpha");
    EXPECT_TRUE(bob_->rename("a.txt", "c.txt").ok());
    EXPECT_EQ(bob_->remove("c.txt").reply, REPLY_FAILED);
    EXPECT_TRUE(bob_->remove("b.txt").ok());
}

TEST_F(OwnFolder, NamesOfUploadTemporariesAreNeitherMadeNorTouched) {
    dir_.write("Users/BOB/.vxtpart-77-0", "an upload on its way");
    EXPECT_EQ(bob_->rename("a.txt", ".vxtpart-1").reply, REPLY_FAILED);
    EXPECT_EQ(bob_->rename(".vxtpart-77-0", "mine.txt").reply, REPLY_FAILED);
    EXPECT_EQ(bob_->remove(".vxtpart-77-0").reply, REPLY_FAILED);
    EXPECT_EQ(dir_.read("Users/BOB/a.txt"), "alpha");
    EXPECT_EQ(dir_.read("Users/BOB/.vxtpart-77-0"), "an upload on its way");
}

TEST_F(OwnFolder, RenameNeverReplacesAndMovesIntoSubFolders) {
    EXPECT_EQ(bob_->rename("a.txt", "b.txt").reply, REPLY_FAILED);
    EXPECT_EQ(dir_.read("Users/BOB/a.txt"), "alpha");
    EXPECT_EQ(dir_.read("Users/BOB/b.txt"), "beta");
    EXPECT_TRUE(bob_->rename("a.txt", "sub\\a.txt").ok());
    EXPECT_EQ(dir_.read("Users/BOB/sub/a.txt"), "alpha");
    EXPECT_TRUE(bob_->rename("sub/a.txt", "c.txt").ok());
    EXPECT_EQ(dir_.read("Users/BOB/c.txt"), "alpha");
    EXPECT_EQ(bob_->rename("missing", "x").reply, REPLY_FAILED);
}

TEST_F(OwnFolder, NamesThatLeaveTheFolderTouchNothingOutsideIt) {
    std::string before = treeFingerprint(dir_.path());
    const char* escapes[] = {"..\\..\\users.dat",
                             "../../users.dat",
                             "..\\ANN\\secret.txt",
                             "../ANN/secret.txt",
                             "sub\\..\\..\\ANN\\secret.txt",
                             "sub/../../../shared.dat",
                             "..",
                             "..\\..\\adminpass.cfg",
                             "/etc/passwd",
                             "\\..\\..\\users.dat"};
    for (const char* name : escapes) {
        EXPECT_EQ(bob_->remove(name).reply, REPLY_FAILED) << name;
        EXPECT_EQ(bob_->rename("b.txt", name).reply, REPLY_FAILED) << name;
        EXPECT_EQ(bob_->rename(name, "stolen.txt").reply, REPLY_FAILED) << name;
    }
    EXPECT_EQ(treeFingerprint(dir_.path()), before);
}

TEST_F(OwnFolder, BeforeLoginAndAfterLogoutNothingIsTouched) {
    std::string before = treeFingerprint(dir_.path());
    auto anonymous = connect();
    EXPECT_EQ(anonymous->remove("a.txt").reply, REPLY_FAILED);
    EXPECT_EQ(anonymous->rename("a.txt", "z.txt").reply, REPLY_FAILED);
    ASSERT_TRUE(bob_->logout());
    EXPECT_EQ(bob_->remove("a.txt").reply, REPLY_FAILED);
    EXPECT_EQ(bob_->rename("a.txt", "z.txt").reply, REPLY_FAILED);
    EXPECT_EQ(treeFingerprint(dir_.path()), before);
}

class Administrator : public ServerFixture {
protected:
    void SetUp() override {
        startServer();
        dir_.write("adminpass.cfg", "boss");
    }
    std::unique_ptr<client::Client> admin() { return loginAs("ADMIN", "boss"); }
};

TEST_F(Administrator, AloneOnTheServerTheListIsExactlyAdmin) {
    auto client = admin();
    ASSERT_TRUE(client->connection().sendFrame(Payload(REQ_LIST_USERS).text("ignored")));
    EXPECT_EQ(drain(client->connection()), std::string("\x10\x05"
                                                       "ADMIN\x11"));
}

TEST_F(Administrator, ListShowsEveryoneInAcceptOrderByNameOrAddress) {
    auto loggedOut = connect();
    auto guest = connect("127.0.0.2");
    ASSERT_TRUE(guest->login("guest", "").ok());
    auto bob = loginAs("bob");
    auto client = admin();
    auto names = client->listUsers();
    ASSERT_TRUE(names);
    EXPECT_EQ(*names, (std::vector<std::string>{"127.0.0.1", "127.0.0.2", "BOB", "ADMIN"}));
}

TEST_F(Administrator, UserInfoOfAnIdleClientEndsWithTheDirectionByte) {
    auto bob = loginAs("bob");
    dir_.write("shared.dat", "BOB\\a\r\nBOBBY\\b\r\nANN\\c\r\n");
    auto client = admin();
    ASSERT_TRUE(client->connection().sendFrame(Payload(REQ_USER_INFO).text("BOB")));
    std::string reply = drain(client->connection());
    ASSERT_EQ(reply.size(), 1u + 1 + 9 + 4 + 4 + 1) << "no transfer figures after direction 1";
    EXPECT_EQ(reply.substr(0, 11), std::string("\x12\x09"
                                               "127.0.0.1"));
    EXPECT_EQ(reply.substr(11, 4), std::string("\0\0\0\x02", 4)) << "BOB counts BOBBY's line too";
    std::uint32_t connected = (std::uint32_t(std::uint8_t(reply[15])) << 24) |
                              (std::uint32_t(std::uint8_t(reply[16])) << 16) |
                              (std::uint32_t(std::uint8_t(reply[17])) << 8) |
                              std::uint8_t(reply[18]);
    EXPECT_LT(connected, 60000u);
    EXPECT_EQ(reply[19], DIRECTION_NONE);

    client::Status status;
    EXPECT_FALSE(client->userInfo("bob", &status)) << "names match exactly";
    EXPECT_EQ(status.reply, REPLY_BAD_NAME);
    EXPECT_FALSE(client->userInfo("NOBODY", &status));
    EXPECT_EQ(status.reply, REPLY_BAD_NAME);
    auto self = client->userInfo("ADMIN");
    ASSERT_TRUE(self);
    EXPECT_EQ(self->address, "127.0.0.1");
}

TEST_F(Administrator, KickOthersNotYourselfNorNobody) {
    auto bob = loginAs("bob");
    auto client = admin();
    EXPECT_EQ(client->kick("ADMIN").reply, REPLY_CANNOT_KICK_SELF);
    EXPECT_EQ(client->kick("NOBODY").reply, REPLY_FAILED);
    ASSERT_TRUE(eventually([&] { return window_.clientCount() == 2; }));
    EXPECT_TRUE(client->kick("BOB").ok());
    EXPECT_EQ(drain(bob->connection(), 300), "\x0b") << "the kicked client gets 11, then the close";
    EXPECT_TRUE(bob->connection().closedByPeer());
    EXPECT_EQ(window_.clientCount(), 1u);
    EXPECT_EQ(client->kick("BOB").reply, REPLY_FAILED);
}

TEST_F(Administrator, KickByAddressTakesTheFirstOfTwoEqualNames) {
    auto first = connect();
    auto second = connect();
    auto client = admin();  // ADMIN, so the address is not its own name
    EXPECT_TRUE(client->kick("127.0.0.1").ok());
    EXPECT_EQ(drain(first->connection(), 300), "\x0b");
    EXPECT_EQ(drain(second->connection(), 100), "");
    EXPECT_TRUE(client->kick("127.0.0.1").ok());
    EXPECT_EQ(drain(second->connection(), 300), "\x0b");
}

}  // namespace
}  // namespace vextora::test
