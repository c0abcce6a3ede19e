// The main window and the window-system seam: the count, the stop, the tool
// buttons, and how the loop waits with the console open.
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "console/admin_password_dialog.h"
#include "console/connecting_info_dialog.h"
#include "console/console.h"
#include "console/console_fixture.h"
#include "console/current_users_dialog.h"
#include "console/manage_files_dialog.h"
#include "platform/process.h"
#include "support/server_fixture.h"

namespace vextora::test {
namespace {

using console::MainWindow;

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class Console : public ConsoleFixture {};

TEST_F(Console, CountFollowsConnectionsAndDepartures) {
    auto count = [&] { return textOf(&mainWindow(), MainWindow::CLIENT_COUNT); };
    EXPECT_EQ(count(), "0");
    auto first = connect();
    auto second = connect();
    auto third = loginAs("BOB");
    EXPECT_EQ(count(), "3") << "every connection counts, logged in or not";
    second->disconnect();
    EXPECT_TRUE(serveUntil([&] { return count() == "2"; }));
    ASSERT_TRUE(whileServing([&] { return third->quit(); }));
    first->disconnect();
    EXPECT_TRUE(serveUntil([&] { return count() == "0"; }));
}

// Exit (true) or the close box (false).
class StopFromConsole : public ConsoleFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(StopFromConsole, StopsTheServerClosesTheDialogsAndTellsEveryClient) {
    auto client = connect();
    QPointer<QDialog> tool =
        openDialog<console::AdminPasswordDialog>(MainWindow::SET_ADMIN_PASSWORD);
    if (GetParam())
        click(&mainWindow(), MainWindow::EXIT);
    else
        mainWindow().close();
    EXPECT_TRUE(window_->stopRequested());
    server_->runPass();
    EXPECT_TRUE(server_->stopping());
    EXPECT_TRUE(tool.isNull()) << "a tool dialog goes with the main window";
    EXPECT_FALSE(mainWindow().isVisible());
    server_->shutdown();
    EXPECT_EQ(drain(client->connection()), "\x0b") << "each client is told before it is closed";
    EXPECT_TRUE(client->connection().closedByPeer());
}

INSTANTIATE_TEST_SUITE_P(ExitOrCloseBox, StopFromConsole, ::testing::Bool());

// A message box waits in one tool dialog: an "Error" box (true) or the
// "Overwrite File" question (false). Everything but that dialog works on,
// the operator's Exit included.
class BoxInADialog : public ConsoleFixture, public ::testing::WithParamInterface<bool> {
protected:
    // Opens a dialog through the main window, as the operator does.
    template <typename Dialog>
    Dialog* pressOpen(int buttonId) {
        auto before = mainWindow().findChildren<Dialog*>();
        press(&mainWindow(), buttonId);
        for (Dialog* dialog : mainWindow().findChildren<Dialog*>()) {
            if (!before.contains(dialog)) return dialog;
        }
        return nullptr;
    }
    // A dialog with a box waiting, and a button of it that must do nothing.
    std::pair<QDialog*, int> openHeldDialog() {
        using console::CurrentUsersDialog;
        using console::ManageFilesDialog;
        if (GetParam()) {
            auto* users = pressOpen<CurrentUsersDialog>(MainWindow::CURRENT_USERS);
            if (users != nullptr) press(users, CurrentUsersDialog::GET_USER_INFO);
            return {users, CurrentUsersDialog::GET_USER_INFO};
        }
        dir_.write("Users/SERVERSHARE/notes.txt", "only copy");
        auto* files = pressOpen<ManageFilesDialog>(MainWindow::MANAGE_FILES);
        if (files == nullptr) return {nullptr, 0};
        // Into the share folder, where sharing a file asks whether to replace it.
        auto* folders = control<QListWidget>(files, ManageFilesDialog::FOLDERS);
        for (const auto& part : (dir_ / "Users/SERVERSHARE").relative_path()) {
            auto found =
                folders->findItems(QString::fromStdString(part.string()), Qt::MatchExactly);
            if (found.isEmpty()) return {nullptr, 0};
            folders->setCurrentItem(found.front());
            QTest::keyClick(folders, Qt::Key_Return);
        }
        auto* local = control<QListWidget>(files, ManageFilesDialog::LOCAL_FILES);
        auto found = local->findItems("notes.txt", Qt::MatchExactly);
        if (found.isEmpty()) return {nullptr, 0};
        local->setCurrentItem(found.front());
        press(files, ManageFilesDialog::SHARE);
        return {files, ManageFilesDialog::UNSHARE};
    }
};

TEST_P(BoxInADialog, HoldsThatDialogAloneAndExitStillStopsTheServer) {
    auto client = connect();
    auto [held, heldButton] = openHeldDialog();
    ASSERT_NE(held, nullptr);
    ASSERT_EQ(openBoxes(held), 1);
    EXPECT_EQ(openBox(held)->windowModality(), Qt::WindowModal);

    // Its own dialog takes no press until the box is answered...
    press(held, heldButton);
    server_->runPass();
    EXPECT_EQ(openBoxes(held), 1);

    // ...while the main window opens dialogs whose buttons work, box and all.
    auto* other = pressOpen<console::CurrentUsersDialog>(MainWindow::CURRENT_USERS);
    ASSERT_NE(other, nullptr) << "the main window's buttons work";
    press(other, console::CurrentUsersDialog::DROP_USER);
    EXPECT_EQ(takeError(other), "No user selected.") << "another dialog's buttons work";
    QPointer<QDialog> password =
        pressOpen<console::AdminPasswordDialog>(MainWindow::SET_ADMIN_PASSWORD);
    ASSERT_FALSE(password.isNull());
    press(password, console::AdminPasswordDialog::CANCEL);
    EXPECT_TRUE(serveUntil([&] { return password.isNull(); })) << "Cancel closed it";
    EXPECT_TRUE(whileServing([&] { return client->listCatalog().has_value(); }))
        << "clients are served";
    EXPECT_EQ(openBoxes(held), 1) << "the box still waits";

    press(&mainWindow(), MainWindow::EXIT);
    EXPECT_TRUE(window_->stopRequested());
    server_->runPass();
    EXPECT_TRUE(server_->stopping());
    EXPECT_FALSE(mainWindow().isVisible());
    server_->shutdown();
    EXPECT_EQ(drain(client->connection()), "\x0b");
}

INSTANTIATE_TEST_SUITE_P(ErrorOrQuestion, BoxInADialog, ::testing::Bool());

TEST_F(Console, MainWindowIsWideEnoughForItsTitle) {
    // A title bar holds the caption beside the window menu and the minimize
    // and close buttons, some 150 px of them on common window managers, and
    // its font is often bold.
    QFont title = mainWindow().font();
    title.setBold(true);
    int caption = QFontMetrics(title).horizontalAdvance(mainWindow().windowTitle());
    EXPECT_GE(mainWindow().width(), caption + 150);
    EXPECT_LT(mainWindow().width(), caption + 300) << "still the small window it was";
    EXPECT_EQ(mainWindow().minimumSize(), mainWindow().maximumSize()) << "of a fixed size";
    auto* exit = control<QPushButton>(&mainWindow(), MainWindow::EXIT);
    EXPECT_GE(exit->width(), mainWindow().width() - 40) << "the buttons span the window";
}

TEST_F(Console, EachClickOpensOneMoreIndependentDialog) {
    const struct {
        int button;
        QString caption;
        bool centredOnScreen;  // else over the main window
    } cases[] = {
        {MainWindow::CURRENT_USERS, "User Information", true},
        {MainWindow::CONNECTING_INFO, "Server Connecting Information", true},
        {MainWindow::MANAGE_FILES, "Manage Files", true},
        {MainWindow::SET_ADMIN_PASSWORD, "Change Admin Password", false},
    };
    // Moved off the middle, so that "over the main window" differs.
    mainWindow().move(0, 0);
    for (const auto& c : cases) {
        click(&mainWindow(), c.button);
        click(&mainWindow(), c.button);
        QList<QDialog*> open;
        for (QDialog* dialog : mainWindow().findChildren<QDialog*>()) {
            if (dialog->windowTitle() == c.caption && dialog->isVisible()) open.append(dialog);
        }
        ASSERT_EQ(open.size(), 2) << c.caption.toStdString();
        EXPECT_FALSE(open[0]->isModal());
        if (c.centredOnScreen) {
            QPoint offset =
                open[0]->frameGeometry().center() - open[0]->screen()->availableGeometry().center();
            EXPECT_LE(offset.manhattanLength(), 8) << c.caption.toStdString();  // frame rounding
        }
        QPointer<QDialog> closed = open[0];
        closed->close();
        server_->runPass();
        EXPECT_TRUE(closed.isNull()) << "a closed dialog is destroyed";
        EXPECT_TRUE(open[1]->isVisible()) << "closing one leaves the other";
        open[1]->close();
    }
}

// The loop may sleep in the wait only because the wait ends on every
// kind of activity, and a round with nothing pending reports nothing.
TEST_F(Console, IdleWaitEndsOnReadinessOnAWindowEventOrAtItsTimeOut) {
    WakeEvent handle;
    // Settle: the window's first paint and layout are events too.
    for (int round = 0; round < 20 && window_->processPendingEvents(); ++round) {
    }
    EXPECT_FALSE(window_->processPendingEvents()) << "an idle console must not keep the loop busy";

    auto start = Clock::now();
    window_->waitForActivity(handle.handle(), 150);
    EXPECT_GE(msSince(start), 140);
    EXPECT_LT(msSince(start), 2000);

    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        handle.notify();
    });
    start = Clock::now();
    window_->waitForActivity(handle.handle(), 10000);
    EXPECT_LT(msSince(start), 5000) << "readiness of the handle ends the wait";
    waker.join();
    handle.drain();

    bool delivered = false;
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        QMetaObject::invokeMethod(
            &mainWindow(), [&] { delivered = true; }, Qt::QueuedConnection);
    });
    start = Clock::now();
    window_->waitForActivity(handle.handle(), 10000);
    EXPECT_LT(msSince(start), 5000) << "a window event ends the wait";
    poster.join();
    EXPECT_TRUE(window_->processPendingEvents() || delivered);
}

// With a long idle bound, only the wait's watch on the server's readiness
// handle can bring a client's answer back quickly.
class IdleConsole : public ConsoleFixture {
protected:
    void SetUp() override {
        idleWaitMs_ = 30000;
        ConsoleFixture::SetUp();
    }
};

TEST_F(IdleConsole, SleepingLoopWakesForAClientAtOnce) {
    auto client = connect();
    std::atomic<int> passes{0};
    // The request goes out once the loop has fallen idle: its passes stop.
    auto answered = inBackground([&] {
        int seen = -1;
        for (int i = 0; i < 100 && passes.load() != seen; ++i) {
            seen = passes.load();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        auto start = Clock::now();
        bool ok = client->login("GUEST", "").ok();
        long ms = msSince(start);
        client->disconnect();  // wakes the loop once more, so the test ends soon
        return std::make_pair(ok, ms);
    });
    serveUntil(
        [&] {
            ++passes;
            return answered.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        },
        20000);
    auto result = answered.get();
    EXPECT_TRUE(result.first);
    EXPECT_LT(result.second, 3000);
}

TEST_F(Console, StartupFailureIsShownInAnErrorBox) {
    std::string shown;
    QTimer::singleShot(0, &mainWindow(), [&] {
        for (QMessageBox* box : mainWindow().findChildren<QMessageBox*>()) {
            if (!box->isVisible()) continue;
            shown = (box->windowTitle() + "|" + box->text()).toStdString();
            box->button(QMessageBox::Ok)->click();
        }
    });
    window_->showStartupError("cannot listen on port 23322: Address already in use");
    EXPECT_EQ(shown, "Error|cannot listen on port 23322: Address already in use");
}

TEST(ConsoleStart, WithoutADisplayThereIsNoConsole) {
    const char* names[] = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    std::vector<std::optional<std::string>> saved;
    for (const char* name : names) {
        const char* value = std::getenv(name);
        saved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
        ::unsetenv(name);
    }
    int argc = 1;
    char program[] = "vextora-server";
    char* argv[] = {program, nullptr};
    EXPECT_EQ(createConsole(argc, argv), nullptr);
    for (std::size_t i = 0; i < saved.size(); ++i) {
        if (saved[i]) ::setenv(names[i], saved[i]->c_str(), 1);
    }
}

}  // namespace
}  // namespace vextora::test
