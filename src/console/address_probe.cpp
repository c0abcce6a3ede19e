#include "console/address_probe.h"

#include <QSocketNotifier>

#include "platform/file_system.h"

namespace vextora::console {

AddressProbe::AddressProbe(const FileSystem& files, std::uint16_t port, int timeoutMs,
                           QObject* parent, NameLookup::Resolver resolve)
    : QObject(parent), files_(files), port_(port), timeoutMs_(timeoutMs), resolve_(resolve) {
    hostDeadline_.setSingleShot(true);
    hostDeadline_.setTimerType(Qt::PreciseTimer);
    connect(&hostDeadline_, &QTimer::timeout, this, &AddressProbe::onHostTimedOut);
}

AddressProbe::~AddressProbe() {
    abandon();
}

void AddressProbe::start() {
    abandon();
    result_.reset();
    hosts_ = std::make_unique<LineReader>(files_.nativePath(HOSTS_FILE));
    running_ = true;
    if (!hosts_->isOpen()) return finish(std::nullopt);
    tryNextHost();
}

void AddressProbe::abandon() {
    dropHost();
    hosts_.reset();
    running_ = false;
}

void AddressProbe::tryNextHost() {
    TextLine line;
    while (hosts_->next(line)) {
        std::string host = line.text.substr(0, MAX_HOST_LINE);
        if (host.empty()) continue;
        if (beginHost(host)) return;
    }
    finish(std::nullopt);
}

bool AddressProbe::beginHost(const std::string& host) {
    if (!lookup_.start(host, resolve_)) return false;
    if (std::optional<std::uint32_t> address = lookup_.take()) {
        if (*address == TcpSocket::ADDRESS_NONE) return false;
        if (!beginConnect(*address)) return false;
    } else {
        lookupWatch_ = std::make_unique<QSocketNotifier>(lookup_.handle(), QSocketNotifier::Read);
        connect(lookupWatch_.get(), &QSocketNotifier::activated, this,
                &AddressProbe::onLookupAnswered);
    }
    // One bound for the lookup and the connect together.
    hostDeadline_.start(timeoutMs_);
    return true;
}

bool AddressProbe::beginConnect(std::uint32_t address) {
    connection_ = TcpSocket(true);
    if (!connection_.startConnect(address, port_)) {
        connection_.release();
        return false;
    }
    connectWatch_ =
        std::make_unique<QSocketNotifier>(connection_.nativeHandle(), QSocketNotifier::Write);
    connect(connectWatch_.get(), &QSocketNotifier::activated, this, &AddressProbe::onConnectEnded);
    return true;
}

void AddressProbe::onLookupAnswered() {
    std::optional<std::uint32_t> address = lookup_.take();
    if (!address) return;  // woken early; the answer is still on its way
    lookupWatch_.reset();
    if (*address == TcpSocket::ADDRESS_NONE || !beginConnect(*address)) {
        dropHost();
        tryNextHost();
    }
}

void AddressProbe::onConnectEnded() {
    // Writable: the connect has ended, one way or the other.
    connectWatch_.reset();
    std::optional<std::uint32_t> local;
    if (connection_.connectError() == 0) local = connection_.localAddress();
    dropHost();
    if (local) return finish(TcpSocket::dottedAddress(*local));
    tryNextHost();
}

void AddressProbe::onHostTimedOut() {
    dropHost();
    tryNextHost();
}

void AddressProbe::dropHost() {
    hostDeadline_.stop();
    // Each watch goes before the handle it watches is closed.
    lookupWatch_.reset();
    lookup_.drop();
    connectWatch_.reset();
    connection_.release();
}

void AddressProbe::finish(std::optional<std::string> result) {
    abandon();
    result_ = std::move(result);
    emit finished();
}

}  // namespace vextora::console
