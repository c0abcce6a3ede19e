// CurrentUsersDialog: the connected clients, one client's figures, and the
// way to drop a client.
//
// The list (1021) is filled once, when the dialog opens, with the userName of
// every session: clients that connect later are not listed, and entries of
// clients that leave stay until an action finds them gone. The dialog keeps
// names only and looks the selected name up again for each action, so a
// client that left is reported missing, never used. Removing an entry leaves
// nothing selected and the fields empty: the operator picks the next client.
#pragma once

#include <QDialog>

class QLabel;

namespace vextora {

class ClientList;

namespace console {

class SortedListBox;

class CurrentUsersDialog final : public QDialog {
    Q_OBJECT
public:
    static constexpr int DONE = 1018;
    static constexpr int GET_USER_INFO = 1019;
    static constexpr int DROP_USER = 1020;
    static constexpr int USERS = 1021;
    static constexpr int ADDRESS = 1022;
    static constexpr int FILES_SHARED = 1023;
    static constexpr int CONNECTED_TIME = 1024;
    static constexpr int DIRECTION = 1025;
    static constexpr int RATE = 1026;
    static constexpr int FILE_SIZE = 1027;
    static constexpr int BYTES_DONE = 1028;

    // clients must outlive the dialog.
    CurrentUsersDialog(ClientList& clients, QWidget* parent);

private slots:
    // Shows the selected client's figures of this moment; they do not update
    // by themselves.
    void onGetUserInfoClicked();
    // Disconnects the first client with the selected name and removes the
    // entry, whether or not that client was still there.
    void onDropUserClicked();

private:
    // Removes the entry of a client that is gone; nothing stays selected and
    // the fields are cleared.
    void removeSelectedEntry();

    ClientList& clients_;
    SortedListBox* users_;
    QLabel* address_;
    QLabel* filesShared_;
    QLabel* connectedTime_;
    QLabel* direction_;
    QLabel* rate_;
    QLabel* fileSize_;
    QLabel* bytesDone_;
};

}  // namespace console
}  // namespace vextora
