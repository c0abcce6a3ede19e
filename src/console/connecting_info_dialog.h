// ConnectingInfoDialog: what a client needs to reach this server, namely
// the server's address and its two ports.
//
// The address is probed when the dialog opens: the hosts listed in
// inethosts.dat (one per line, written by the operator) are tried in order
// on port 80 until one connection succeeds, and the local address the system
// chose for that connection is shown. Nothing is sent on it. The probe runs
// on the server's thread, so each connect is cut off after 3 s; a name
// lookup takes as long as the system's resolver does.
#pragma once

#include <QDialog>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vextora {

class FileSystem;

namespace console {

// The local IPv4 address, dotted, of the first connection to `port` that one
// of the hosts of inethosts.dat accepts within timeoutMs. Empty lines are
// skipped; of a longer line only the first 511 characters are taken. Nothing
// when the file cannot be read or no host answers.
std::optional<std::string> probeServerAddress(const FileSystem& files, std::uint16_t port,
                                              int timeoutMs);

class ConnectingInfoDialog final : public QDialog {
    Q_OBJECT
public:
    static constexpr int DONE = 1018;
    static constexpr int ADDRESS = 1022;
    static constexpr int CONTROL_PORT_TEXT = 1032;
    static constexpr int TRANSFER_PORT_TEXT = 1033;

    static constexpr std::string_view HOSTS_FILE = "inethosts.dat";
    static constexpr std::uint16_t PROBE_PORT = 80;
    static constexpr int PROBE_TIMEOUT_MS = 3000;

    // Probes before it returns. files (the server's data folder) must
    // outlive the dialog.
    ConnectingInfoDialog(const FileSystem& files, QWidget* parent);
};

}  // namespace console
}  // namespace vextora
