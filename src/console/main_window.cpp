#include "console/main_window.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWindow>

#include "console/admin_password_dialog.h"
#include "console/connecting_info_dialog.h"
#include "console/controls.h"
#include "console/current_users_dialog.h"
#include "console/manage_files_dialog.h"

namespace vextora::console {

namespace {

// What a window manager's title bar holds besides the caption: the window
// menu or icon, the minimize and close buttons (some draw a disabled
// maximize button as well) and the padding between them. Some 150 px on
// common window managers with their default themes; the rest is to spare
// for a larger title font.
constexpr int TITLE_BAR_CONTROLS = 180;

QPushButton* addButton(QBoxLayout* layout, int id, const QString& caption) {
    auto* button = new QPushButton(caption);
    setControlId(button, id);
    button->setAutoDefault(false);
    layout->addWidget(button);
    return button;
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Vextora Server"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);  // a fixed-size window
    // The buttons alone would make the window narrower than its title bar
    // needs, and the window manager would cut the caption short.
    QFont titleFont = font();
    titleFont.setBold(true);
    layout->addStrut(QFontMetrics(titleFont).horizontalAdvance(windowTitle()) + TITLE_BAR_CONTROLS);

    auto* countRow = new QHBoxLayout;
    countRow->addWidget(new QLabel(QStringLiteral("Clients connected:")));
    clientCount_ = new QLabel(QStringLiteral("0"));
    setControlId(clientCount_, CLIENT_COUNT);
    countRow->addWidget(clientCount_);
    countRow->addStretch();
    layout->addLayout(countRow);

    QPushButton* users = addButton(layout, CURRENT_USERS, QStringLiteral("Get Current User Info"));
    users->setDefault(true);
    QPushButton* info =
        addButton(layout, CONNECTING_INFO, QStringLiteral("Server Connecting Info"));
    QPushButton* files = addButton(layout, MANAGE_FILES, QStringLiteral("Set Server Shared Files"));
    QPushButton* password =
        addButton(layout, SET_ADMIN_PASSWORD, QStringLiteral("Set Admin Password"));
    QPushButton* exit = addButton(layout, EXIT, QStringLiteral("Exit"));

    connect(users, &QPushButton::clicked, this, &MainWindow::onCurrentUsersClicked);
    connect(info, &QPushButton::clicked, this, &MainWindow::onConnectingInfoClicked);
    connect(files, &QPushButton::clicked, this, &MainWindow::onManageFilesClicked);
    connect(password, &QPushButton::clicked, this, &MainWindow::onAdminPasswordClicked);
    connect(exit, &QPushButton::clicked, this, &MainWindow::onExitClicked);
}

void MainWindow::attach(ClientList& clients, const FileSystem& files) {
    clients_ = &clients;
    files_ = &files;
}

void MainWindow::setClientCount(std::size_t count) {
    clientCount_->setText(QString::number(count));
}

void MainWindow::closeEvent(QCloseEvent* event) {
    stopRequested_ = true;
    // The tool dialogs go with the window; each deletes itself on close.
    for (QDialog* dialog : findChildren<QDialog*>(QString(), Qt::FindDirectChildrenOnly))
        dialog->close();
    event->accept();
}

void MainWindow::onCurrentUsersClicked() {
    if (clients_ == nullptr) return;
    openToolDialog(new CurrentUsersDialog(*clients_, this), true);
}

void MainWindow::onConnectingInfoClicked() {
    if (files_ == nullptr) return;
    openToolDialog(new ConnectingInfoDialog(*files_, this), true);
}

void MainWindow::onManageFilesClicked() {
    if (files_ == nullptr) return;
    openToolDialog(new ManageFilesDialog(*files_, this), true);
}

void MainWindow::onAdminPasswordClicked() {
    if (files_ == nullptr) return;
    openToolDialog(new AdminPasswordDialog(*files_, this), false);
}

void MainWindow::onExitClicked() {
    close();
}

void MainWindow::openToolDialog(QDialog* dialog, bool centred) {
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // Unplaced, a dialog opens over the window that owns it.
    if (centred) centreOnScreen(dialog);
    dialog->show();
    // A message box is modal for the dialog it belongs to and for nothing
    // else: the main window, its buttons and the other dialogs keep working
    // while it waits. Qt holds every window up the owner chain of a modal
    // box, so the chain is cut at the dialog. The cut is in Qt's own
    // bookkeeping only: the window system was told the owner when the dialog
    // was shown, so the dialog still stays above the main window.
    if (QWindow* handle = dialog->windowHandle()) handle->setTransientParent(nullptr);
}

}  // namespace vextora::console
