#include "console/connecting_info_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/address_probe.h"
#include "console/controls.h"
#include "server/protocol.h"

namespace vextora::console {

namespace {

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

ConnectingInfoDialog::ConnectingInfoDialog(const FileSystem& files, QWidget* parent,
                                           std::uint16_t probePort, int probeTimeoutMs)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Server Connecting Information"));

    auto* grid = new QGridLayout;
    address_ = addRow(grid, 0, QStringLiteral("Server Address:"), ADDRESS,
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
    // The probe runs while the server goes on serving; the address shows
    // when it is known.
    address_->setText(LOOKING_UP);
    probe_ = new AddressProbe(files, probePort, probeTimeoutMs, this);
    connect(probe_, &AddressProbe::finished, this, &ConnectingInfoDialog::onProbeFinished);
    probe_->start();
}

void ConnectingInfoDialog::onProbeFinished() {
    const std::optional<std::string>& found = probe_->result();
    address_->setText(found ? displayText(*found) : QStringLiteral("Could not find IP"));
}

void ConnectingInfoDialog::done(int result) {
    // Closed while probing: no further host is tried, and the connection
    // under way closes now, not when the dialog is finally deleted.
    probe_->abandon();
    QDialog::done(result);
}

}  // namespace vextora::console
