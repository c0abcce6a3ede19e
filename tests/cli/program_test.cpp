// The real vextora program against the real server on the fixed ports, with
// no port options: a gibibyte there and back, the README's walkthrough, and
// Ctrl+C during a download. These tests share the resource lock of the fixed
// ports.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "binary/server_process.h"
#include "cli/cli_process.h"
#include "client/client.h"
#include "support/temp_dir.h"

namespace vextora::test {
namespace {

namespace fs = std::filesystem;

bool eventually(const std::function<bool()>& condition, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

// The account names in a `users` listing. Clients shown by their address are
// left out: on the fixed ports, another program's tests may connect too.
std::vector<std::string> accountsIn(const std::string& listing) {
    std::vector<std::string> names;
    std::size_t start = 0;
    for (std::size_t end; (end = listing.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string name = listing.substr(start, end - start);
        if (name != "127.0.0.1") names.push_back(name);
    }
    return names;
}

class CliProgram : public ::testing::Test {
protected:
    void SetUp() override {
        data_.write("adminpass.cfg", "boss");
        ASSERT_TRUE(server_.start(data_.str()));
        // Another program on the port would answer in its place.
        ASSERT_EQ(server_.wait(200), -1) << "the server did not stay up: " << server_.stderrText();
    }
    void TearDown() override {
        server_.signal(SIGTERM);
        EXPECT_EQ(server_.wait(10000), 0);
    }

    CliOptions options(const std::string& password, int timeoutMs = 30000) const {
        CliOptions options;
        options.directory = work_.str();
        options.variables["VEXTORA_PASSWORD"] = password;
        options.timeoutMs = timeoutMs;
        return options;
    }
    CliResult vextora(const std::vector<std::string>& args, const std::string& password,
                      int timeoutMs = 30000) {
        return runCli(args, options(password, timeoutMs));
    }
    std::unique_ptr<client::Client> admin() {
        auto client = std::make_unique<client::Client>();
        EXPECT_TRUE(client->connect(3000));
        EXPECT_TRUE(client->login("ADMIN", "boss").ok());
        return client;
    }

    TempDir data_;
    TempDir work_;
    ServerProcess server_;
};

TEST_F(CliProgram, GibibyteGoesUpAndComesBackWithTheSameSha256) {
    const std::uint64_t gibibyte = 1ull << 30;
    const fs::path original = work_ / "big.bin";
    const fs::path back = work_ / "back.bin";
    const fs::path stored = data_ / "Users/BOB/big.bin";
    writeRandomFile(original.string(), gibibyte, 7);

    ASSERT_EQ(vextora({"register", "bob"}, "pw").code, 0);
    CliResult put = vextora({"-u", "bob", "put", "big.bin"}, "pw", 300000);
    ASSERT_EQ(put.code, 0) << put.err;
    EXPECT_EQ(put.out, "uploaded big.bin as big.bin (1.0 GiB)\n");
    CliResult get = vextora({"-u", "bob", "get", "--own", "big.bin", "back.bin"}, "pw", 300000);
    ASSERT_EQ(get.code, 0) << get.err;
    EXPECT_EQ(get.out, "downloaded big.bin to back.bin (1.0 GiB)\n");

    std::string sum = sha256File(original);
    EXPECT_EQ(sum.size(), 64u);
    EXPECT_EQ(sha256File(back), sum);
    EXPECT_EQ(sha256File(stored), sum);
    EXPECT_EQ(fs::file_size(back), gibibyte);
    for (const auto& file : {original, back, stored}) fs::remove(file);
}

TEST_F(CliProgram, ReadmeWalkthroughFromRegisterToKick) {
    work_.write("report.txt", "quarterly figures\n");
    EXPECT_EQ(vextora({"register", "bob"}, "bob-pw").code, 0);
    EXPECT_EQ(vextora({"register", "alice"}, "alice-pw").code, 0);
    EXPECT_EQ(vextora({"-u", "bob", "put", "report.txt"}, "bob-pw").code, 0);
    EXPECT_EQ(vextora({"-u", "bob", "share", "report.txt"}, "bob-pw").out,
              "shared report.txt as BOB\\report.txt\n");
    EXPECT_EQ(vextora({"-u", "alice", "catalog"}, "alice-pw").out, "BOB\\report.txt\n");
    fs::create_directory(work_ / "alice");
    CliResult fetched = vextora({"-u", "alice", "get", "BOB\\report.txt", "alice"}, "alice-pw");
    EXPECT_EQ(fetched.code, 0) << fetched.err;
    EXPECT_EQ(work_.read("alice/report.txt"), "quarterly figures\n");

    // Replacing a file is said, on either side, and -n refuses it.
    work_.write("report.txt", "revised figures\n");
    EXPECT_EQ(vextora({"-u", "bob", "put", "report.txt"}, "bob-pw").out,
              "replaced report.txt in your folder with report.txt (16 B)\n");
    EXPECT_EQ(vextora({"-u", "bob", "put", "-n", "report.txt"}, "bob-pw").code, 1);
    EXPECT_EQ(vextora({"-u", "alice", "get", "BOB/report.txt", "alice"}, "alice-pw").out,
              "replaced alice/report.txt with BOB\\report.txt (16 B)\n");
    EXPECT_EQ(vextora({"-u", "alice", "get", "-n", "BOB/report.txt", "alice"}, "alice-pw").code, 1);
    // A destination ending in '/' is a folder, which must exist.
    CliResult noFolder =
        vextora({"-u", "alice", "get", "BOB/report.txt", "Downloads/"}, "alice-pw");
    EXPECT_EQ(noFolder.code, 3);
    EXPECT_NE(noFolder.err.find("No such file or directory"), std::string::npos) << noFolder.err;
    fs::create_directory(work_ / "Downloads");
    EXPECT_EQ(vextora({"-u", "alice", "get", "BOB/report.txt", "Downloads/"}, "alice-pw").code, 0);
    EXPECT_EQ(work_.read("Downloads/report.txt"), "revised figures\n");

    CliProcess bobShell;
    ASSERT_TRUE(bobShell.start({"-u", "bob", "shell"}, options("bob-pw")));
    ASSERT_TRUE(bobShell.waitFor("logged in as BOB\n")) << bobShell.err();
    CliResult users = vextora({"-u", "admin", "users"}, "boss");
    EXPECT_EQ(accountsIn(users.out), (std::vector<std::string>{"BOB", "ADMIN"})) << users.out;
    CliResult whois = vextora({"-u", "admin", "whois", "bob"}, "boss");
    EXPECT_NE(whois.out.find("shared:     1 file\n"), std::string::npos) << whois.out;
    CliResult kick = vextora({"-u", "admin", "kick", "bob"}, "boss");
    EXPECT_EQ(kick.code, 0) << kick.err;
    bobShell.write("ls\n");
    EXPECT_TRUE(bobShell.waitFor("the server closed the connection", 10000, true));
    EXPECT_EQ(bobShell.wait(10000), 3);
    EXPECT_EQ(accountsIn(vextora({"-u", "admin", "users"}, "boss").out),
              std::vector<std::string>{"ADMIN"});

    // Many files.
    work_.write("a.pdf", "a");
    work_.write("b.pdf", "b");
    CliResult mput = vextora({"-u", "bob", "mput", "a.pdf", "b.pdf", "report.txt"}, "bob-pw");
    EXPECT_EQ(mput.code, 0) << mput.err;
    EXPECT_NE(mput.out.find("uploaded 3 of 3 files"), std::string::npos) << mput.out;
    for (const char* name : {"a.pdf", "b.pdf"})
        EXPECT_EQ(vextora({"-u", "bob", "share", name}, "bob-pw").code, 0) << name;
    fs::create_directory(work_ / "inbox");
    CliResult mget = vextora({"mget", "-O", "inbox", "BOB/*.pdf"}, "");
    EXPECT_EQ(mget.code, 0) << mget.err;
    EXPECT_EQ(work_.read("inbox/a.pdf"), "a");
    EXPECT_EQ(work_.read("inbox/b.pdf"), "b");
    EXPECT_EQ(vextora({"mget", "-n", "*.txt"}, "").code, 1) << "report.txt is here already";

    // Defaults from the config file, with the user's own password file.
    fs::create_directories(work_ / ".config/vextora");
    work_.write(".config/vextora/config",
                "host = 127.0.0.1:23322\nuser = bob\npassword-file = bob.password\n");
    work_.write(".config/vextora/bob.password", "bob-pw\n");
    CliOptions plain;
    plain.directory = work_.str();
    CliResult ls = runCli({"ls"}, plain);
    EXPECT_EQ(ls.code, 0) << ls.err;
    EXPECT_EQ(ls.out, "a.pdf\nb.pdf\nreport.txt\n");

    // A batch from a pipe: the '-' line may fail, and -v echoes each command.
    plain.input = "login bob\n-rm old.tar.gz\nshare report.txt\n";
    CliResult batch = runCli({"-v", "shell"}, plain);
    EXPECT_EQ(batch.code, 1) << "the failed rm still shows: " << batch.err;
    EXPECT_NE(batch.out.find("vextora BOB> share report.txt\nreport.txt is already shared"),
              std::string::npos)
        << batch.out;
}

TEST_F(CliProgram, CtrlCDuringAGetExitsWith130AndLeavesNoFile) {
    ASSERT_EQ(vextora({"register", "bob"}, "pw").code, 0);
    writeRandomFile((data_ / "Users/BOB/big.bin").string(), 64 * 1024 * 1024);
    ASSERT_EQ(vextora({"-u", "bob", "share", "big.bin"}, "pw").code, 0);

    // At 2 MiB a second the 64 MiB take half a minute: the Ctrl+C comes first.
    CliProcess get;
    ASSERT_TRUE(get.start({"-u", "bob", "get", "--limit-rate", "2M", "BOB\\big.bin", "copy.bin"},
                          options("pw")));
    auto watcher = admin();
    ASSERT_TRUE(eventually(
        [&] {
            auto info = watcher->userInfo("BOB");
            return info && info->direction == DIRECTION_TO_CLIENT && info->transferDone > 0;
        },
        10000))
        << "the download never started: " << get.err();
    get.signal(SIGINT);
    EXPECT_EQ(get.wait(10000), 130) << get.err();
    EXPECT_EQ(get.err(), "vextora: download cancelled; nothing was stored\n");
    EXPECT_TRUE(fs::is_empty(work_.path())) << "no partial or temporary file";
    EXPECT_TRUE(eventually([&] { return !watcher->userInfo("BOB"); }, 5000));
}

}  // namespace
}  // namespace vextora::test
