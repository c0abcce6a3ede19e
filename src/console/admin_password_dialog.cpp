#include "console/admin_password_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "accounts/account_store.h"
#include "console/controls.h"

namespace vextora::console {

namespace {

QLineEdit* makePasswordEntry(int id) {
    auto* entry = new QLineEdit;
    setControlId(entry, id);
    entry->setEchoMode(QLineEdit::Password);
    entry->setMinimumWidth(220);
    return entry;
}

}  // namespace

AdminPasswordDialog::AdminPasswordDialog(const FileSystem& files, QWidget* parent)
    : QDialog(parent), files_(files) {
    setWindowTitle(QStringLiteral("Change Admin Password"));

    auto* layout = new QGridLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("New password:")), 0, 0);
    password_ = makePasswordEntry(NEW_PASSWORD);
    layout->addWidget(password_, 0, 1);
    layout->addWidget(new QLabel(QStringLiteral("Retype password:")), 1, 0);
    retyped_ = makePasswordEntry(RETYPED_PASSWORD);
    layout->addWidget(retyped_, 1, 1);

    auto* ok = new QPushButton(QStringLiteral("OK"));
    setControlId(ok, OK);
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    setControlId(cancel, CANCEL);
    cancel->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons, 2, 0, 1, 2);

    connect(ok, &QPushButton::clicked, this, &AdminPasswordDialog::onOkClicked);
    connect(cancel, &QPushButton::clicked, this, &QDialog::close);
}

std::string AdminPasswordDialog::counted(const QString& entry) {
    std::string bytes = bytesOf(entry);
    if (bytes.size() <= MAX_PASSWORD) return bytes;
    std::size_t end = MAX_PASSWORD;
    // Back off to the start of a UTF-8 sequence, so no character is cut.
    while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) --end;
    bytes.resize(end);
    return bytes;
}

void AdminPasswordDialog::onOkClicked() {
    std::string password = counted(password_->text());
    if (password != counted(retyped_->text())) return;
    // The file is replaced in one rename, so a login never reads half of it.
    // A password that did not reach the disk is not in force: say so, and
    // keep the dialog for another try.
    if (!AccountStore(files_).setAdminPassword(password)) {
        showErrorBox(this, QStringLiteral("The password could not be saved."));
        return;
    }
    close();
}

}  // namespace vextora::console
