// The real program on the fixed ports: options, exit codes, signals and the
// shutdown order. These tests share one resource lock; none runs in parallel
// with another.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include "binary/server_process.h"
#include "client/client.h"
#include "support/temp_dir.h"

namespace vextora::test {
namespace {

// Output of a command run to its end, and its exit code.
struct CommandRun {
    std::string out;
    int code;
};

CommandRun runBinary(const std::string& args) {
    std::string command = ServerProcess::binary() + " " + args + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    CommandRun run{{}, -1};
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) run.out += buffer;
    int status = ::pclose(pipe);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// Reads one byte with its kernel arrival time; the connection must close after it.
struct Arrival {
    int byte = -1;
    std::int64_t nanoseconds = 0;
    bool closedAfter = false;
};

// Reads `length` bytes with one receive; the kernel's arrival time of them,
// or 0 when the kernel did not stamp them.
std::int64_t receiveWithTime(int fd, void* buffer, std::size_t length) {
    iovec io{buffer, length};
    char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(fd, &message, MSG_WAITALL) != static_cast<ssize_t>(length)) return -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS) {
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            return stamp.tv_sec * 1000000000LL + stamp.tv_nsec;
        }
    }
    return 0;
}

// Asks the kernel to stamp arrivals on this connection, and waits until it
// does: the system may switch stamping on a moment after it was asked.
void stampArrivals(client::Client& client) {
    int fd = client.connection().socket().nativeHandle();
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    for (int attempt = 0; attempt < 200; ++attempt) {
        ASSERT_TRUE(client.connection().sendFrame(client::Payload(REQ_FILE_INFO).text("x")));
        char reply[5];
        std::int64_t stamp = receiveWithTime(fd, reply, sizeof reply);
        ASSERT_GE(stamp, 0);
        if (stamp > 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    FAIL() << "the kernel never stamped an arrival";
}

Arrival receiveStamped(client::Connection& connection) {
    Arrival arrival;
    if (!connection.socket().waitReadable(5000)) return arrival;
    unsigned char byte;
    arrival.nanoseconds = receiveWithTime(connection.socket().nativeHandle(), &byte, 1);
    if (arrival.nanoseconds < 0) return arrival;
    arrival.byte = byte;
    arrival.closedAfter = connection.socket().waitReadable(5000) && connection.closedByPeer();
    return arrival;
}

std::vector<std::unique_ptr<client::Client>> connectClients(int count) {
    std::vector<std::unique_ptr<client::Client>> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<client::Client>());
        EXPECT_TRUE(clients.back()->connect(3000));
        stampArrivals(*clients.back());
        // A round trip, so each is accepted (and ordered) before the next connects.
        EXPECT_TRUE(clients.back()->login("GUEST", "").ok());
    }
    return clients;
}

// Every client gets exactly the byte 11 and then the close, the newest first.
void expectClosingNewestFirst(std::vector<std::unique_ptr<client::Client>>& clients) {
    std::vector<Arrival> arrivals;
    for (auto& client : clients) arrivals.push_back(receiveStamped(client->connection()));
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
        EXPECT_EQ(arrivals[i].byte, REPLY_CLOSING) << "client " << i;
        EXPECT_TRUE(arrivals[i].closedAfter) << "client " << i;
        if (i > 0) {
            EXPECT_LT(arrivals[i].nanoseconds, arrivals[i - 1].nanoseconds)
                << "client " << i << " was told after an older one";
        }
    }
}

TEST(ServerProgram, HelpVersionAndUnknownArguments) {
    CommandRun help = runBinary("--help");
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("23322"), std::string::npos);
    CommandRun version = runBinary("--version");
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out.rfind("vextora-server ", 0), 0u) << version.out;
    CommandRun unknown = runBinary("--frobnicate");
    EXPECT_EQ(unknown.code, 2);
    EXPECT_NE(unknown.out.find("Usage"), std::string::npos);
}

TEST(ServerProgram, SigtermTellsEveryClientNewestFirstAndExitsZero) {
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(server.start(dir.str()));
    auto clients = connectClients(3);
    server.signal(SIGTERM);
    expectClosingNewestFirst(clients);
    EXPECT_EQ(server.wait(), 0);
}

TEST(ServerProgram, SigintStopsLikeSigterm) {
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(server.start(dir.str()));
    auto clients = connectClients(1);
    server.signal(SIGINT);
    expectClosingNewestFirst(clients);
    EXPECT_EQ(server.wait(), 0);
}

TEST(ServerProgram, SecondServerOnTheSamePortFailsWithOneLine) {
    TempDir first, second;
    ServerProcess running;
    ASSERT_TRUE(running.start(first.str()));
    ServerProcess late;
    ASSERT_TRUE(late.start(second.str(), {"--headless"}, false));
    EXPECT_EQ(late.wait(), 1);
    std::string error = late.stderrText();
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
    EXPECT_NE(error.find("23322"), std::string::npos) << error;
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    EXPECT_TRUE(connectClients(1)[0]->connection().isOpen()) << "the first one keeps serving";
    running.signal(SIGTERM);
    EXPECT_EQ(running.wait(), 0);
}

TEST(ServerProgram, ASecondServerRefusedItsPortLeavesTheFirstOnesTemporariesAlone) {
    TempDir dir;
    ServerProcess running;
    ASSERT_TRUE(running.start(dir.str()));
    // An answer comes only from the loop, so the start-up clearing of
    // temporaries is over by then.
    client::Client probe;
    ASSERT_TRUE(probe.connect(3000));
    ASSERT_TRUE(probe.login("GUEST", "").ok());
    // What the running server may be writing at this moment.
    dir.write("Users/BOB/.vxtpart-inflight", "half an upload");
    dir.write("vxttemp.tmp", "half a catalog");
    ServerProcess late;
    ASSERT_TRUE(late.start(dir.str(), {"--headless"}, false));
    EXPECT_EQ(late.wait(), 1);
    EXPECT_EQ(dir.read("Users/BOB/.vxtpart-inflight"), "half an upload");
    EXPECT_EQ(dir.read("vxttemp.tmp"), "half a catalog");
    running.signal(SIGTERM);
    EXPECT_EQ(running.wait(), 0);
}

TEST(ServerProgram, ABusyTransferPortDelaysTransfersButNotTheServer) {
    TempDir dir;
    dir.write("Users/BOB/f.txt", "the file");
    dir.write("users.dat", "BOB\r\npw\r\n");
    dir.write("adminpass.cfg", "boss");                             // no warning of its own
    int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // not the server's to inherit
    ASSERT_GE(holder, 0);
    // Connections of earlier tests may still linger on the port; only a
    // listening socket keeps the server off it.
    int reuse = 1;
    ::setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(TRANSFER_PORT);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
        << "another program holds the transfer port";
    ASSERT_EQ(::listen(holder, 1), 0);

    ServerProcess server;
    // Without the event log, standard error holds the warning alone.
    ASSERT_TRUE(server.start(dir.str(), {"--headless", "--log=quiet"}));
    client::Client bob;
    ASSERT_TRUE(bob.connect(3000));
    EXPECT_TRUE(bob.login("bob", "pw").ok()) << "requests are served meanwhile";
    EXPECT_TRUE(bob.fileInfo("f.txt"));

    ::close(holder);
    // The server binds it within a few seconds: a bind of our own then fails.
    auto serverHoldsPort = [&] {
        int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        bool taken = ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
        ::close(probe);
        return taken;
    };
    for (int tries = 0; tries < 100 && !serverHoldsPort(); ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string got;
    auto status =
        bob.download("f.txt", SELECT_OWN_FOLDER, [&](const std::uint8_t* data, std::size_t length) {
            got.append(reinterpret_cast<const char*>(data), length);
            return true;
        });
    EXPECT_TRUE(status.ok()) << status.message;
    EXPECT_EQ(got, "the file");
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(), 0);
    std::string warning = server.stderrText();
    EXPECT_EQ(std::count(warning.begin(), warning.end(), '\n'), 1) << warning;
    EXPECT_NE(warning.find("23323"), std::string::npos) << warning;
}

TEST(ServerProgram, RestartRightAfterAStopWithClientsBindsAtOnce) {
    TempDir dir;
    dir.write("adminpass.cfg", "boss");  // without one, the server warns
    {
        ServerProcess server;
        ASSERT_TRUE(server.start(dir.str()));
        auto clients = connectClients(3);
        server.signal(SIGTERM);
        ASSERT_EQ(server.wait(), 0);
        // The clients' ends of the connections stay open: the ports have
        // connections in TIME_WAIT or CLOSE_WAIT when the next one binds.
        ServerProcess again;
        ASSERT_TRUE(again.start(dir.str(), {"--headless", "--log=quiet"}));
        EXPECT_TRUE(connectClients(1)[0]->connection().isOpen());
        again.signal(SIGTERM);
        EXPECT_EQ(again.wait(), 0);
        EXPECT_EQ(again.stderrText(), "");
    }
}

// The warnings are written just after the port is bound: wait for them.
std::string stderrOnceItSays(const ServerProcess& server, const std::string& words) {
    for (int tries = 0; tries < 250; ++tries) {
        std::string text = server.stderrText();
        if (text.find(words) != std::string::npos) return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return server.stderrText();
}

TEST(ServerProgram, AnEmptyAdministratorPasswordIsOneWarningLineThatSaysWhatToDo) {
    for (const char* content : {static_cast<const char*>(nullptr), "", "\r\nsecond line"}) {
        std::string shape = content ? "\"" + std::string(content) + "\"" : "missing";
        TempDir dir;
        if (content) dir.write("adminpass.cfg", content);
        ServerProcess server;
        // The event log off: what is left on standard error is the warning.
        ASSERT_TRUE(server.start(dir.str(), {"--headless", "--log=quiet"}));
        stderrOnceItSays(server, "\n");
        client::Client admin;
        ASSERT_TRUE(admin.connect(3000));
        EXPECT_TRUE(admin.login("ADMIN", "").ok()) << shape << ": the empty password, as before";
        server.signal(SIGTERM);
        EXPECT_EQ(server.wait(), 0);
        std::string said = server.stderrText();
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << shape << ": " << said;
        EXPECT_EQ(said.rfind("vextora-server: warning: ", 0), 0u) << shape << ": " << said;
        EXPECT_NE(said.find("administrator password is empty"), std::string::npos) << said;
        EXPECT_NE(said.find("23322"), std::string::npos) << said;
        EXPECT_NE(said.find("set one in adminpass.cfg"), std::string::npos) << said;
    }
}

TEST(ServerProgram, AnAdministratorFileThatCannotBeReadShutsTheAccountAndSaysSo) {
    // Run unprivileged, so that a mode of 000 means what it says; every
    // shape belongs to the server's own user.
    const uid_t user = ::geteuid() == 0 ? 65534 : ::geteuid();
    const gid_t group = ::geteuid() == 0 ? 65534 : ::getegid();
    const char* shapes[] = {"FIFO", "directory", "mode 000"};
    for (const char* shape : shapes) {
        TempDir dir;
        ::chmod(dir.path().c_str(), 0755);
        const auto file = dir / "adminpass.cfg";
        if (std::string(shape) == "FIFO") {
            ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
        } else if (std::string(shape) == "directory") {
            ASSERT_EQ(::mkdir(file.c_str(), 0700), 0);
        } else {
            dir.write("adminpass.cfg", "");
            ::chmod(file.c_str(), 0);
        }
        ASSERT_EQ(::chown(file.c_str(), user, group), 0);
        ServerProcess server;
        server.runUnprivileged();
        ASSERT_TRUE(server.start(dir.str(), {"--headless", "--log=quiet"})) << shape;
        for (const char* password : {"", "x"}) {
            client::Client admin;
            ASSERT_TRUE(admin.connect(3000));
            admin.connection().setTimeout(5000);
            EXPECT_EQ(admin.login("ADMIN", password).reply, REPLY_BAD_PASSWORD)
                << shape << " / '" << password << "'";
        }
        std::string said = stderrOnceItSays(server, "\n");
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << shape << ": " << said;
        EXPECT_NE(said.find("adminpass.cfg cannot be read"), std::string::npos) << said;
        EXPECT_NE(said.find("every ADMIN login is refused"), std::string::npos) << said;
        server.signal(SIGTERM);
        EXPECT_EQ(server.wait(), 0) << shape;
    }
}

TEST(ServerProgram, NamesOfAddressesAndLookAlikesAreRefusedButOldRecordsStillLogIn) {
    TempDir dir;
    dir.write("adminpass.cfg", "boss");
    dir.write("users.dat", "10.0.0.5\r\nold\r\n");
    ServerProcess server;
    ASSERT_TRUE(server.start(dir.str()));
    client::Client client;
    ASSERT_TRUE(client.connect(3000));
    for (const char* name : {"127.0.0.1", "10.0.0.5", " ADMIN", "ADMIN ", "A\tB"})
        EXPECT_EQ(client.createAccount(name, "pw").reply, REPLY_BAD_NAME) << name;
    for (const char* name : {"j\xf6rg x", "bob.smith"})
        EXPECT_EQ(client.createAccount(name, "pw").reply, REPLY_OK) << name;
    EXPECT_EQ(dir.read("users.dat"), "10.0.0.5\r\nold\r\nJ\xf6RG X\r\npw\r\nBOB.SMITH\r\npw\r\n");
    EXPECT_TRUE(client.login("10.0.0.5", "old").ok());
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(), 0);
}

TEST(ServerProgram, AnUnmatchedWithdrawLeavesTheCatalogAsItWas) {
    TempDir dir;
    dir.write("adminpass.cfg", "boss");
    dir.write("users.dat", "BOB\r\npw\r\n");
    const std::string catalog = "BOB\\a.txt\nANN\\b.txt";  // a rewrite would end them in CR LF
    dir.write("shared.dat", catalog);
    const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "shared.dat").c_str(), past, 0), 0);
    struct stat before {};
    ASSERT_EQ(::stat((dir / "shared.dat").c_str(), &before), 0);
    ServerProcess server;
    ASSERT_TRUE(server.start(dir.str()));
    client::Client bob;
    ASSERT_TRUE(bob.connect(3000));
    ASSERT_TRUE(bob.login("bob", "pw").ok());
    for (const char* name : {"b.txt", "A.TXT", "missing"}) ASSERT_TRUE(bob.setShared(name, false));
    ASSERT_TRUE(bob.fileInfo("a.txt"));  // answered after the withdraws
    struct stat after {};
    ASSERT_EQ(::stat((dir / "shared.dat").c_str(), &after), 0);
    EXPECT_EQ(dir.read("shared.dat"), catalog);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(), 0);
}

TEST(ServerProgram, RefusalsToAnAddressThatKeepsGuessingAreSpacedAndNothingElseWaits) {
    TempDir dir;
    dir.write("adminpass.cfg", "boss");
    ServerProcess server;
    ASSERT_TRUE(server.start(dir.str()));
    client::Client guesser;
    ASSERT_TRUE(guesser.connect(3000));
    guesser.connection().setTimeout(5000);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(guesser.login("ADMIN", "guess").reply, REPLY_BAD_PASSWORD);
    auto third = std::chrono::steady_clock::now();
    ASSERT_TRUE(guesser.connection().sendFrame(client::Payload(REQ_LOGIN).text("ADMIN").text("4")));

    client::Client other;
    other.setLocalAddress("127.0.0.2");
    ASSERT_TRUE(other.connect(3000));
    EXPECT_EQ(other.login("ADMIN", "wrong").reply, REPLY_BAD_PASSWORD);
    client::Client right;
    ASSERT_TRUE(right.connect(3000));
    EXPECT_TRUE(right.login("ADMIN", "boss").ok()) << "a correct login from there is not held";
    // Only while well within the second, or a slow machine would fail this.
    if (std::chrono::steady_clock::now() - third < std::chrono::milliseconds(800)) {
        EXPECT_FALSE(guesser.connection().waitReadable(0)) << "the fourth refusal came early";
    }

    EXPECT_EQ(guesser.connection().readByte(), REPLY_BAD_PASSWORD);
    EXPECT_GE(std::chrono::steady_clock::now() - third, std::chrono::milliseconds(900));
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(), 0);
}

TEST(ServerProgram, AdministratorStopAnswersNothingThenClosesEveryoneNewestFirst) {
    TempDir dir;
    dir.write("adminpass.cfg", "boss");
    ServerProcess server;
    ASSERT_TRUE(server.start(dir.str()));
    auto clients = connectClients(2);
    auto admin = std::make_unique<client::Client>();
    ASSERT_TRUE(admin->connect(3000));
    stampArrivals(*admin);
    ASSERT_TRUE(admin->login("admin", "boss").ok());
    ASSERT_TRUE(admin->stopServer());
    clients.insert(clients.begin(), std::move(admin));  // the requester too; it is the newest
    std::rotate(clients.begin(), clients.begin() + 1, clients.end());
    expectClosingNewestFirst(clients);
    EXPECT_EQ(server.wait(), 0);
}

#ifdef VEXTORA_HAS_CONSOLE
// A display that is named but cannot be opened (a stale DISPLAY) must not
// take the server down with it.
TEST(ServerProgram, DisplayThatCannotBeOpenedRunsWithoutTheConsole) {
    const char* names[] = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    std::vector<std::optional<std::string>> saved;
    for (const char* name : names) {
        const char* value = std::getenv(name);
        saved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
        ::unsetenv(name);
    }
    ::setenv("DISPLAY", ":4097", 1);  // no X server has that one here
    TempDir dir;
    ServerProcess server;
    bool started = server.start(dir.str(), {});
    for (std::size_t i = 0; i < saved.size(); ++i) {
        if (saved[i])
            ::setenv(names[i], saved[i]->c_str(), 1);
        else
            ::unsetenv(names[i]);
    }
    ASSERT_TRUE(started) << server.stderrText();
    auto clients = connectClients(1);  // served: each logs in
    server.signal(SIGTERM);
    expectClosingNewestFirst(clients);
    EXPECT_EQ(server.wait(), 0);
    EXPECT_NE(server.stderrText().find("running without the console"), std::string::npos)
        << server.stderrText();
}
#endif

}  // namespace
}  // namespace vextora::test
