// Pictures of the console for the documentation: the main window and the
// four dialogs with realistic content, saved as PNG files into the folder
// named by VEXTORA_SCREENSHOT_DIR (default: the working directory). On an X
// display with a window manager each picture takes the window with its
// frame and title bar, as the operator sees it; elsewhere the window alone.
// scripts/screenshots.sh builds and runs this; it is not a test.
#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QScreen>
#include <QTest>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "console/admin_password_dialog.h"
#include "console/connecting_info_dialog.h"
#include "console/console_fixture.h"
#include "console/current_users_dialog.h"
#include "console/manage_files_dialog.h"
#include "net/tcp_socket.h"

namespace vextora::test {
namespace {

using namespace console;

class Screenshots : public ConsoleFixture {
protected:
    void save(QWidget* window, const char* name) {
        const char* folder = std::getenv("VEXTORA_SCREENSHOT_DIR");
        std::string path = std::string(folder ? folder : ".") + "/" + name;
        QPixmap picture;
        if (QGuiApplication::platformName() == QLatin1String("xcb")) {
            // The window manager frames a window a moment after it is shown.
            bool framed = serveUntil(
                [&] { return window->frameGeometry().size() != window->geometry().size(); }, 5000);
            EXPECT_TRUE(framed) << "no window manager framed " << name;
            window->raise();
            window->activateWindow();
            serveUntil([&] { return window->isActiveWindow(); }, 2000);
            serveUntil([] { return false; }, 300);  // the frame's own paint
            QRect frame = window->frameGeometry();
            picture = window->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(),
                                                   frame.height());
        } else {
            server_->runPass();  // let layouts and paints settle
            picture = window->grab();
        }
        EXPECT_TRUE(picture.save(QString::fromStdString(path))) << path;
    }
};

TEST_F(Screenshots, Capture) {
    dir_.write("Users/BOB/holiday.mp4", std::string(24 * 1024 * 1024, 'v'));
    dir_.write("shared.dat", "BOB\\holiday.mp4\r\nBOB\\notes.txt\r\nSERVERSHARE\\manual.pdf\r\n");
    dir_.write("Users/SERVERSHARE/manual.pdf", "pdf");
    dir_.write("Users/SERVERSHARE/price-list.ods", "ods");
    dir_.write("music/album.flac", "flac");
    dir_.write("music/cover.jpg", "jpg");
    dir_.write("music/track01.ogg", "ogg");
    std::filesystem::create_directories(dir_ / "music/live");

    auto admin = loginAs("ADMIN", "");
    auto bob = loginAs("BOB");
    auto anonymous = connect();
    save(&mainWindow(), "console-main.png");

    // BOB downloads, held half-way so that his figures show a transfer.
    std::atomic<bool> release{false};
    client::TransferOptions options;
    options.cancel = &release;
    auto transfer = inBackground([&] {
        return bob->download(
            "BOB\\holiday.mp4", 0,
            [&](const std::uint8_t*, std::size_t) {
                for (int i = 0; i < 2000 && !release.load(); ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                return true;
            },
            options);
    });
    ClientSession& session = server_->clients().at(1);
    serveUntil([&] { return session.snapshot().transferDone > 0; });
    clock_.advance(83000);
    serveUntil([&] { return session.snapshot().rateKBps > 0; }, 1000);
    auto* users = openDialog<CurrentUsersDialog>(MainWindow::CURRENT_USERS);
    auto* list = control<QListWidget>(users, CurrentUsersDialog::USERS);
    list->setCurrentItem(list->findItems("BOB", Qt::MatchExactly).front());
    click(users, CurrentUsersDialog::GET_USER_INFO);
    save(users, "console-current-users.png");
    release = true;
    finish(transfer);
    users->close();

    auto* files = openDialog<ManageFilesDialog>(MainWindow::MANAGE_FILES);
    auto* folders = control<QListWidget>(files, ManageFilesDialog::FOLDERS);
    for (const auto& part : (dir_ / "music").relative_path()) {
        folders->setCurrentItem(
            folders->findItems(QString::fromStdString(part.string()), Qt::MatchExactly).front());
        emit folders->itemDoubleClicked(folders->currentItem());
    }
    auto* local = control<QListWidget>(files, ManageFilesDialog::LOCAL_FILES);
    local->setCurrentItem(local->findItems("album.flac", Qt::MatchExactly).front());
    save(files, "console-manage-files.png");
    files->close();

    auto* password = openDialog<AdminPasswordDialog>(MainWindow::SET_ADMIN_PASSWORD);
    QTest::keyClicks(control<QLineEdit>(password, AdminPasswordDialog::NEW_PASSWORD), "secret");
    QTest::keyClicks(control<QLineEdit>(password, AdminPasswordDialog::RETYPED_PASSWORD), "sec");
    save(password, "console-admin-password.png");
    password->close();

    // A local listener stands in for the web host whose port 80 the probe
    // would connect to.
    TcpSocket web(true);
    ASSERT_TRUE(web.bindAndListen(0, 4));
    dir_.write("inethosts.dat", "127.0.0.1\n");
    auto* info =
        new ConnectingInfoDialog(server_->files(), &mainWindow(), web.localPort().value_or(0));
    info->setAttribute(Qt::WA_DeleteOnClose);
    centreOnScreen(info);
    info->show();
    serveUntil([&] {
        return textOf(info, ConnectingInfoDialog::ADDRESS) != ConnectingInfoDialog::LOOKING_UP;
    });
    save(info, "console-connecting-info.png");
}

}  // namespace
}  // namespace vextora::test
