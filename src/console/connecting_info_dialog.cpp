#include "console/connecting_info_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/controls.h"
#include "net/tcp_socket.h"
#include "platform/file_system.h"
#include "server/protocol.h"

namespace vextora::console {

namespace {

constexpr std::size_t MAX_HOST_LINE = 511;

QLabel* addRow(QGridLayout* grid, int row, const QString& caption, int id, const QString& text) {
    auto* label = new QLabel(caption);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    grid->addWidget(label, row, 0);
    auto* value = new QLabel(text);
    setControlId(value, id);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(value, row, 1);
    return value;
}

}  // namespace

std::optional<std::string> probeServerAddress(const FileSystem& files, std::uint16_t port,
                                              int timeoutMs) {
    LineReader hosts(files.nativePath(ConnectingInfoDialog::HOSTS_FILE));
    if (!hosts.isOpen()) return std::nullopt;
    TcpSocket probe(true);
    std::optional<std::string> found;
    TextLine line;
    while (!found && hosts.next(line)) {
        std::string host = line.text.substr(0, MAX_HOST_LINE);
        if (host.empty()) continue;
        if (!probe.connectTo(host.c_str(), port, timeoutMs)) continue;
        std::optional<std::uint32_t> local = probe.localAddress();
        if (local) found = TcpSocket::dottedAddress(*local);
        break;
    }
    probe.release();
    return found;
}

ConnectingInfoDialog::ConnectingInfoDialog(const FileSystem& files, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Server Connecting Information"));

    auto* grid = new QGridLayout;
    QLabel* address = addRow(grid, 0, QStringLiteral("Server Address:"), ADDRESS,
                             QStringLiteral("255.255.255.255"));
    QLabel* control = addRow(grid, 1, QStringLiteral("Communication Port:"), CONTROL_PORT_TEXT,
                             QStringLiteral("65535"));
    QLabel* transfer = addRow(grid, 2, QStringLiteral("File Transfer Port:"), TRANSFER_PORT_TEXT,
                              QStringLiteral("65535"));

    auto* note = new QLabel(
        QStringLiteral("Note: If you are behind a router, the Server Address is your LAN address. "
                       "To obtain your external IP, visit:"));
    note->setAlignment(Qt::AlignCenter);
    note->setWordWrap(true);
    auto* site = new QLabel(QStringLiteral("https://ifconfig.me"));
    site->setAlignment(Qt::AlignCenter);
    site->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* done = new QPushButton(QStringLiteral("Done"));
    setControlId(done, DONE);
    done->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(done);
    buttons->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(note);
    layout->addWidget(site);
    layout->addLayout(buttons);
    setFixedWidth(360);

    connect(done, &QPushButton::clicked, this, &QDialog::close);

    // The fixed ports of the program, not those of this run's sockets.
    control->setText(QString::number(CONTROL_PORT));
    transfer->setText(QString::number(TRANSFER_PORT));
    std::optional<std::string> found = probeServerAddress(files, PROBE_PORT, PROBE_TIMEOUT_MS);
    address->setText(found ? displayText(*found) : QStringLiteral("Could not find IP"));
}

}  // namespace vextora::console
