// The connecting information dialog and its address probe, against
// listeners on this machine only.
#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "console/address_probe.h"
#include "console/connecting_info_dialog.h"
#include "console/console_fixture.h"
#include "net/name_lookup.h"
#include "net/tcp_socket.h"
#include "platform/file_system.h"

namespace vextora::test {
namespace {

using console::AddressProbe;
using console::ConnectingInfoDialog;
using console::MainWindow;
using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Runs a probe to its end in Qt's event loop, as the console does, and
// returns its result.
std::optional<std::string> probeServerAddress(
    const FileSystem& files, std::uint16_t port, int timeoutMs,
    NameLookup::Resolver resolve = &TcpSocket::resolveHost) {
    AddressProbe probe(files, port, timeoutMs, nullptr, resolve);
    QEventLoop loop;
    QObject::connect(&probe, &AddressProbe::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    probe.start();
    if (probe.running()) loop.exec();
    EXPECT_FALSE(probe.running()) << "the probe did not end";
    return probe.result();
}

// A listener on a free port, and what reached it.
struct ProbeTarget {
    TcpSocket listener{true};
    std::uint16_t port = 0;

    explicit ProbeTarget(int backlog = 16) {
        EXPECT_TRUE(listener.bindAndListen(0, backlog));
        port = listener.localPort().value_or(0);
    }
    // The peer addresses of the connections that came, in order.
    std::vector<std::string> arrivals() {
        std::vector<std::string> peers;
        while (listener.waitReadable(100)) {
            TcpSocket accepted = listener.acceptConnection();
            peers.push_back(TcpSocket::dottedAddress(accepted.peerAddress().value_or(0)));
        }
        return peers;
    }
};

TEST(AddressProbe, TriesTheHostsInOrderUntilOneAnswers) {
    const std::string unresolvable = "no such host";  // fails without asking any resolver
    const struct {
        const char* name;
        std::optional<std::string> hosts;  // nothing: no inethosts.dat
        bool listening;
        std::optional<std::string> found;
        std::size_t connections;
    } cases[] = {
        {"no file", std::nullopt, true, std::nullopt, 0},
        {"second line answers, third untried", unresolvable + "\r\n127.0.0.1\r\n127.0.0.1\r\n",
         true, "127.0.0.1", 1},
        {"only line without line end", "127.0.0.1", true, "127.0.0.1", 1},
        {"nobody listens", "127.0.0.1\n127.0.0.1\n", false, std::nullopt, 0},
        {"empty lines and a long one skipped", "\n" + std::string(600, 'a') + "\n\n127.0.0.1\n",
         true, "127.0.0.1", 1},
        {"no host answers", unresolvable + "\n", true, std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        if (c.hosts) dir.write("inethosts.dat", *c.hosts);
        ProbeTarget target;
        std::uint16_t port = target.port;
        if (!c.listening) target.listener.release();
        auto found = probeServerAddress(FileSystem(dir.str()), port, 3000);
        EXPECT_EQ(found, c.found);
        if (!c.listening) continue;
        std::vector<std::string> arrivals = target.arrivals();
        EXPECT_EQ(arrivals.size(), c.connections);
        // The address shown is the probe's own end of its connection.
        if (found && !arrivals.empty()) {
            EXPECT_EQ(arrivals.front(), *found);
        }
    }
}

// A listener whose queue is full drops further connection requests, so
// connects to it hang as toward a host that does not answer.
struct DeafTarget : ProbeTarget {
    std::vector<TcpSocket> fillers;

    DeafTarget() : ProbeTarget(0) {
        for (int i = 0; i < 4; ++i) {
            fillers.emplace_back(true);
            fillers.back().connectTo("127.0.0.1", port, 200);
        }
    }
};

TEST(AddressProbe, HostThatNeverAnswersIsGivenUpAtTheTimeOut) {
    DeafTarget target;
    TempDir dir;
    dir.write("inethosts.dat", "127.0.0.1\n");
    auto start = Clock::now();
    auto found = probeServerAddress(FileSystem(dir.str()), target.port, 300);
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_EQ(found, std::nullopt);
    EXPECT_GE(spent.count(), 250);
    EXPECT_LT(spent.count(), 2000);
}

// A resolver that holds a name until the test lets it go, as one that waits
// for an unreachable name server does; the lookup thread calls it.
std::atomic<bool> slowNameReleased{false};
std::atomic<int> slowLookupsEnded{0};

std::uint32_t slowResolver(const char* host) {
    if (std::string_view(host) == "slow.example") {
        for (int i = 0; i < 3000 && !slowNameReleased.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++slowLookupsEnded;
        return TcpSocket::ADDRESS_NONE;
    }
    return TcpSocket::resolveHost(host);
}

class SlowNames : public ::testing::Test {
protected:
    void SetUp() override {
        slowNameReleased = false;
        slowLookupsEnded = 0;
    }
    // The held lookup threads end before the next test; nothing of the
    // probe they were dropped by may be touched by them.
    void TearDown() override {
        slowNameReleased = true;
        for (int i = 0; i < 400 && slowLookupsEnded.load() < started_; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(slowLookupsEnded.load(), started_);
    }
    int started_ = 0;
};

TEST_F(SlowNames, LookupThatDoesNotAnswerCostsItsHostTheTimeOutOnly) {
    started_ = 1;
    TempDir dir;
    dir.write("inethosts.dat", "slow.example\nlocalhost\n");
    ProbeTarget target;
    // The loop keeps turning during the lookup: a timer of the console fires
    // on time while the resolver holds the name.
    long timerLate = -1;
    auto start = Clock::now();
    QTimer::singleShot(100, [&] { timerLate = msSince(start) - 100; });
    auto found = probeServerAddress(FileSystem(dir.str()), target.port, 400, &slowResolver);
    long spent = msSince(start);
    EXPECT_EQ(found, "127.0.0.1") << "the name after it was looked up and connected to";
    EXPECT_GE(spent, 350);
    EXPECT_LT(spent, 3000);
    EXPECT_GE(timerLate, 0);
    EXPECT_LT(timerLate, 200);
    EXPECT_EQ(target.arrivals().size(), 1u);
}

TEST_F(SlowNames, AbandonedProbeTriesNoFurtherHost) {
    started_ = 1;
    TempDir dir;
    dir.write("inethosts.dat", "slow.example\n127.0.0.1\n");
    ProbeTarget target;
    FileSystem files(dir.str());
    bool finished = false;
    {
        AddressProbe probe(files, target.port, 200, nullptr, &slowResolver);
        QObject::connect(&probe, &AddressProbe::finished, [&] { finished = true; });
        probe.start();
        ASSERT_TRUE(probe.running());
        probe.abandon();
        EXPECT_FALSE(probe.running());
        // Past the first host's time-out: an abandoned probe stays ended.
        QEventLoop loop;
        QTimer::singleShot(500, &loop, &QEventLoop::quit);
        loop.exec();
        EXPECT_FALSE(probe.running());
    }
    EXPECT_FALSE(finished);
    EXPECT_TRUE(target.arrivals().empty());
}

class ConnectingInfo : public ConsoleFixture {};

TEST_F(ConnectingInfo, ShowsTheFixedPortsAndNoAddressWithoutHostsFile) {
    auto* dialog = openDialog<ConnectingInfoDialog>(MainWindow::CONNECTING_INFO);
    EXPECT_EQ(textOf(dialog, ConnectingInfoDialog::ADDRESS), "Could not find IP");
    EXPECT_EQ(textOf(dialog, ConnectingInfoDialog::CONTROL_PORT_TEXT), "23322");
    EXPECT_EQ(textOf(dialog, ConnectingInfoDialog::TRANSFER_PORT_TEXT), "23323");
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(ConnectingInfo, ShowsTheLocalAddressOfTheConnectionToPort80) {
    TcpSocket web(true);
    if (!web.bindAndListen(ConnectingInfoDialog::PROBE_PORT, 4))
        GTEST_SKIP() << "port 80 is not available here";
    dir_.write("inethosts.dat", "no such host\n127.0.0.1\n");
    auto* dialog = openDialog<ConnectingInfoDialog>(MainWindow::CONNECTING_INFO);
    EXPECT_EQ(textOf(dialog, ConnectingInfoDialog::ADDRESS), ConnectingInfoDialog::LOOKING_UP);
    ASSERT_TRUE(serveUntil([&] { return web.isReadable(); }));
    TcpSocket accepted = web.acceptConnection();
    ASSERT_TRUE(serveUntil([&] {
        return textOf(dialog, ConnectingInfoDialog::ADDRESS) != ConnectingInfoDialog::LOOKING_UP;
    }));
    EXPECT_EQ(textOf(dialog, ConnectingInfoDialog::ADDRESS).toStdString(),
              TcpSocket::dottedAddress(accepted.peerAddress().value_or(0)));
}

// Three hosts that never answer cost the probe three time-outs, and the
// clients nothing.
TEST_F(ConnectingInfo, ProbeOfDeafHostsNeverHoldsTheClients) {
    DeafTarget deaf;
    dir_.write("inethosts.dat", "127.0.0.1\n127.0.0.2\n127.0.0.3\n");
    auto client = loginAs("GUEST", "");
    auto start = Clock::now();
    auto* dialog = new ConnectingInfoDialog(server_->files(), &mainWindow(), deaf.port);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    EXPECT_LT(msSince(start), 500) << "the dialog opens at once";
    EXPECT_EQ(textOf(dialog, ConnectingInfoDialog::ADDRESS), ConnectingInfoDialog::LOOKING_UP);

    std::atomic<bool> probing{true};
    auto requests = inBackground([&] {
        std::vector<long> trips;
        while (probing.load()) {
            auto sent = Clock::now();
            if (!client->listCatalog()) return std::vector<long>{-1};
            trips.push_back(msSince(sent));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return trips;
    });
    bool ended = serveUntil(
        [&] {
            return textOf(dialog, ConnectingInfoDialog::ADDRESS) !=
                   ConnectingInfoDialog::LOOKING_UP;
        },
        20000);
    long spent = msSince(start);
    probing = false;
    std::vector<long> trips = finish(requests);
    ASSERT_TRUE(ended);
    EXPECT_EQ(textOf(dialog, ConnectingInfoDialog::ADDRESS), "Could not find IP");
    EXPECT_GE(spent, 3 * ConnectingInfoDialog::PROBE_TIMEOUT_MS - 300);
    EXPECT_LT(spent, 3 * ConnectingInfoDialog::PROBE_TIMEOUT_MS + 3000);
    ASSERT_GT(trips.size(), 100u) << "requests went on through the whole probe";
    ASSERT_GE(trips.front(), 0) << "every request was answered";
    std::sort(trips.begin(), trips.end());
    // A loop held by a host's time-out holds every request for up to 3 s; a
    // busy machine delays a few now and then, which the 99th percentile
    // leaves aside.
    EXPECT_LT(trips[trips.size() * 99 / 100], 50) << "99th percentile round trip, in ms";
    EXPECT_LT(trips.back(), 1000) << "the longest round trip, in ms";
}

TEST_F(ConnectingInfo, ClosingTheDialogAbandonsItsProbe) {
    DeafTarget deaf;
    dir_.write("inethosts.dat", "127.0.0.1\n");
    QPointer<ConnectingInfoDialog> dialog =
        new ConnectingInfoDialog(server_->files(), &mainWindow(), deaf.port);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    server_->runPass();
    click(dialog, ConnectingInfoDialog::DONE);
    ASSERT_TRUE(serveUntil([&] { return dialog.isNull(); }));
    // Room in the queue again: a connect still trying would be taken at its
    // next attempt, a second after the first.
    TcpSocket filler = deaf.listener.acceptConnection();
    auto waited = Clock::now();
    serveUntil([] { return false; }, 1800);
    EXPECT_GE(msSince(waited), 1800);
    EXPECT_TRUE(deaf.arrivals().empty()) << "the probe's connection was closed";
}

}  // namespace
}  // namespace vextora::test
