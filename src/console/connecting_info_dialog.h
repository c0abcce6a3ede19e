// ConnectingInfoDialog: what a client needs to reach this server, namely
// the server's address and its two ports.
//
// The ports shown are the program's fixed ones. The address is probed when
// the dialog opens (see AddressProbe): the hosts listed in inethosts.dat are
// tried in order on port 80, each for at most 3 s, and the local address of
// the first connection that succeeds is shown, or "Could not find IP". The
// server keeps serving meanwhile, and the address field reads "Looking
// up..." until the probe ends. Closing the dialog abandons its probe.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <string_view>

class QLabel;

namespace vextora {

class FileSystem;

namespace console {

class AddressProbe;

class ConnectingInfoDialog final : public QDialog {
    Q_OBJECT
public:
    static constexpr int DONE = 1018;
    static constexpr int ADDRESS = 1022;
    static constexpr int CONTROL_PORT_TEXT = 1032;
    static constexpr int TRANSFER_PORT_TEXT = 1033;

    static constexpr std::uint16_t PROBE_PORT = 80;
    static constexpr int PROBE_TIMEOUT_MS = 3000;
    inline static const QString LOOKING_UP = QStringLiteral("Looking up...");

    // Starts the probe, which ends after the constructor returns unless
    // there is nothing to wait for (no inethosts.dat, no host in it). files
    // (the server's data folder) must outlive the dialog.
    ConnectingInfoDialog(const FileSystem& files, QWidget* parent,
                         std::uint16_t probePort = PROBE_PORT,
                         int probeTimeoutMs = PROBE_TIMEOUT_MS);

    void done(int result) override;

private slots:
    void onProbeFinished();

private:
    QLabel* address_;
    AddressProbe* probe_;
};

}  // namespace console
}  // namespace vextora
