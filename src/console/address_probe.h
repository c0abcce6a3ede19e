// AddressProbe: the local address through which this machine reaches other
// hosts, found without ever stopping the server.
//
// The hosts of inethosts.dat (one a line, written by the operator) are tried
// in file order on one port until a connection succeeds; the local address
// the system chose for that connection is the result, and nothing is sent on
// it. No step waits: a name is looked up on a thread of its own (NameLookup),
// a connect is started without waiting, and both are watched by Qt's event
// loop, in which the server loop also waits when it has nothing to do. A
// host gets timeoutMs from the start of its lookup to the end of its
// connect, so an unreachable host or a resolver that does not answer costs
// that long and no longer. Empty lines are skipped; of a longer line only
// the first 511 characters are taken.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/name_lookup.h"
#include "net/tcp_socket.h"

class QSocketNotifier;

namespace vextora {

class FileSystem;
class LineReader;

namespace console {

class AddressProbe final : public QObject {
    Q_OBJECT
public:
    static constexpr std::string_view HOSTS_FILE = "inethosts.dat";
    static constexpr std::size_t MAX_HOST_LINE = 511;

    // files must outlive the probe. `resolve` looks names up, on the lookup
    // thread.
    AddressProbe(const FileSystem& files, std::uint16_t port, int timeoutMs,
                 QObject* parent = nullptr, NameLookup::Resolver resolve = &TcpSocket::resolveHost);
    ~AddressProbe() override;

    // Starts at the first host. finished() may come before this returns,
    // when there is nothing to wait for (no file, no host in it).
    void start();
    // Ends a probe under way without a result; finished() does not come. The
    // connection under way closes at once; a lookup is left to end by itself.
    void abandon();
    bool running() const { return running_; }
    // After finished(): the dotted local address, or nothing when the file
    // cannot be read or no host answered.
    const std::optional<std::string>& result() const { return result_; }

signals:
    void finished();

private slots:
    void onLookupAnswered();
    void onConnectEnded();
    void onHostTimedOut();

private:
    // Goes down the file until a host is under way; finishes at its end.
    void tryNextHost();
    // False when the host failed at once.
    bool beginHost(const std::string& host);
    bool beginConnect(std::uint32_t address);
    void dropHost();
    void finish(std::optional<std::string> result);

    const FileSystem& files_;
    std::uint16_t port_;
    int timeoutMs_;
    NameLookup::Resolver resolve_;
    bool running_ = false;
    std::unique_ptr<LineReader> hosts_;  // open while the probe runs
    NameLookup lookup_;
    TcpSocket connection_;
    std::unique_ptr<QSocketNotifier> lookupWatch_;   // on lookup_'s handle
    std::unique_ptr<QSocketNotifier> connectWatch_;  // on connection_
    QTimer hostDeadline_;
    std::optional<std::string> result_;
};

}  // namespace console
}  // namespace vextora
