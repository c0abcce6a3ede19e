// MainWindow: the server's only top-level window. It shows how many clients
// are connected (control 1001), opens the four tool dialogs, and is the
// operator's way to stop the server: "Exit" (1017) or the close box.
//
// Each click on a tool button opens one more independent, modeless dialog
// owned by this window; nothing checks whether one is open already. A
// message box in a dialog holds that dialog alone: this window and the other
// dialogs keep working. Stopping closes every tool dialog with the window,
// asks nothing, and leaves the rest to the loop, which ends after its current
// pass and tells every client.
#pragma once

#include <QDialog>
#include <cstddef>

class QCloseEvent;
class QLabel;

namespace vextora {

class ClientList;
class FileSystem;

namespace console {

class MainWindow final : public QDialog {
    Q_OBJECT
public:
    static constexpr int CLIENT_COUNT = 1001;
    static constexpr int EXIT = 1017;
    static constexpr int SET_ADMIN_PASSWORD = 1018;
    static constexpr int CURRENT_USERS = 1019;
    static constexpr int MANAGE_FILES = 1021;
    static constexpr int CONNECTING_INFO = 1022;

    explicit MainWindow(QWidget* parent = nullptr);

    // The server the tool dialogs work on; both must outlive this window.
    // Until then the tool buttons open nothing.
    void attach(ClientList& clients, const FileSystem& files);
    void setClientCount(std::size_t count);
    bool stopRequested() const { return stopRequested_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    // Escape is no way to stop the server: only Exit and the close box are.
    void reject() override {}

private slots:
    void onCurrentUsersClicked();
    void onConnectingInfoClicked();
    void onManageFilesClicked();
    void onAdminPasswordClicked();
    void onExitClicked();

private:
    void openToolDialog(QDialog* dialog, bool centred);

    ClientList* clients_ = nullptr;
    const FileSystem* files_ = nullptr;
    QLabel* clientCount_;
    bool stopRequested_ = false;
};

}  // namespace console
}  // namespace vextora
