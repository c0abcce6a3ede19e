// AdminPasswordDialog: sets the password of the ADMIN account, which lives
// alone in adminpass.cfg.
//
// OK stores the new password when both entries agree, in their first 254
// characters, and closes the dialog; entries that differ are ignored without
// a word and the dialog stays open. The file then holds exactly the typed
// characters, with no line end, and the next ADMIN login uses it; a client
// already logged in as ADMIN stays logged in. Cancel and the close box store
// nothing.
#pragma once

#include <QDialog>
#include <cstddef>
#include <string>

class QLineEdit;

namespace vextora {

class FileSystem;

namespace console {

class AdminPasswordDialog final : public QDialog {
    Q_OBJECT
public:
    static constexpr int OK = 1;
    static constexpr int CANCEL = 2;
    static constexpr int NEW_PASSWORD = 1000;
    static constexpr int RETYPED_PASSWORD = 1001;
    // What of an entry counts: its first 254 bytes, never a character cut
    // in half.
    static constexpr std::size_t MAX_PASSWORD = 254;

    // files (the server's data folder) must outlive the dialog.
    AdminPasswordDialog(const FileSystem& files, QWidget* parent);

    static std::string counted(const QString& entry);

private slots:
    void onOkClicked();

private:
    const FileSystem& files_;
    QLineEdit* password_;
    QLineEdit* retyped_;
};

}  // namespace console
}  // namespace vextora
