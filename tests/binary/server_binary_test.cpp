// The real program on the fixed ports: options, exit codes, signals and the
// shutdown order. These tests share one resource lock; none runs in parallel
// with another.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
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
