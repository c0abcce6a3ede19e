// The connecting information dialog and its address probe, against
// listeners on this machine only.
#include <optional>

#include "console/connecting_info_dialog.h"
#include "console/console_fixture.h"
#include "net/tcp_socket.h"
#include "platform/file_system.h"

namespace vextora::test {
namespace {

using console::ConnectingInfoDialog;
using console::MainWindow;
using console::probeServerAddress;
using Clock = std::chrono::steady_clock;

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

TEST(AddressProbe, HostThatNeverAnswersIsGivenUpAtTheTimeOut) {
    // A listener whose queue is full drops further connection requests, so
    // those connects hang as toward a host that does not answer.
    ProbeTarget target(0);
    std::vector<TcpSocket> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.emplace_back(true);
        fillers.back().connectTo("127.0.0.1", target.port, 200);
    }
    TempDir dir;
    dir.write("inethosts.dat", "127.0.0.1\n");
    auto start = Clock::now();
    auto found = probeServerAddress(FileSystem(dir.str()), target.port, 300);
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_EQ(found, std::nullopt);
    EXPECT_GE(spent.count(), 250);
    EXPECT_LT(spent.count(), 2000);
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
    ASSERT_TRUE(web.waitReadable(1000));
    TcpSocket accepted = web.acceptConnection();
    EXPECT_EQ(textOf(dialog, ConnectingInfoDialog::ADDRESS).toStdString(),
              TcpSocket::dottedAddress(accepted.peerAddress().value_or(0)));
}

}  // namespace
}  // namespace vextora::test
