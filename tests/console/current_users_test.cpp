// The current users dialog against connected clients: the list, one
// client's figures (a running transfer's too), and dropping clients.
#include <QListWidget>
#include <atomic>
#include <thread>

#include "console/console_fixture.h"
#include "console/current_users_dialog.h"
#include "support/server_fixture.h"

namespace vextora::test {
namespace {

using console::CurrentUsersDialog;
using console::MainWindow;

class CurrentUsers : public ConsoleFixture {
protected:
    CurrentUsersDialog* open() { return openDialog<CurrentUsersDialog>(MainWindow::CURRENT_USERS); }
    static QStringList entries(CurrentUsersDialog* dialog) {
        QStringList shown;
        auto* list = control<QListWidget>(dialog, CurrentUsersDialog::USERS);
        for (int i = 0; i < list->count(); ++i) shown << list->item(i)->text();
        return shown;
    }
    static void select(CurrentUsersDialog* dialog, const QString& name, int nth = 0) {
        auto* list = control<QListWidget>(dialog, CurrentUsersDialog::USERS);
        auto found = list->findItems(name, Qt::MatchExactly);
        ASSERT_GT(found.size(), nth) << name.toStdString();
        list->setCurrentItem(found[nth]);
    }
    static bool nothingSelected(CurrentUsersDialog* dialog) {
        return control<QListWidget>(dialog, CurrentUsersDialog::USERS)->selectedItems().isEmpty();
    }
    static QStringList fields(CurrentUsersDialog* dialog) {
        QStringList shown;
        for (int id = CurrentUsersDialog::ADDRESS; id <= CurrentUsersDialog::BYTES_DONE; ++id)
            shown << textOf(dialog, id);
        return shown;
    }
};

TEST_F(CurrentUsers, ListIsSortedWithoutRegardToCaseAndTakenWhenOpened) {
    auto first = connect();
    auto second = connect();
    auto third = connect();
    const char* names[] = {"bob", "Alice", "carol"};
    for (std::size_t i = 0; i < 3; ++i) server_->clients().at(i).userName = names[i];
    CurrentUsersDialog* dialog = open();
    EXPECT_EQ(entries(dialog), QStringList({"Alice", "bob", "carol"}));

    auto late = loginAs("ZED");
    EXPECT_EQ(entries(dialog).size(), 3) << "a client that came later is not listed";
    EXPECT_EQ(entries(open()), QStringList({"Alice", "bob", "carol", "ZED"}));
}

TEST_F(CurrentUsers, NothingSelectedIsReportedByBothButtons) {
    auto client = loginAs("BOB");
    for (int button : {CurrentUsersDialog::GET_USER_INFO, CurrentUsersDialog::DROP_USER}) {
        CurrentUsersDialog* dialog = open();
        click(dialog, button);
        EXPECT_EQ(takeError(dialog), "No user selected.");
        EXPECT_EQ(entries(dialog), QStringList({"BOB"}));
        EXPECT_EQ(fields(dialog).join(""), "");
    }
    EXPECT_EQ(server_->clients().size(), 1u);
}

TEST_F(CurrentUsers, IdleClientShowsItsFiguresAndNoTransfer) {
    auto client = loginAs("BOB");
    dir_.write("shared.dat", "BOB\\a.txt\r\nBOBBY\\b.txt\r\nALICE\\c.txt\r\n");
    clock_.advance(61500);
    CurrentUsersDialog* dialog = open();
    select(dialog, "BOB");
    click(dialog, CurrentUsersDialog::GET_USER_INFO);
    EXPECT_EQ(fields(dialog), QStringList({"127.0.0.1", "2", "61 seconds", "None", "", "", ""}));
}

// A transfer held half-way: the client's side of it blocks until released.
struct HeldTransfer {
    const char* direction;
    std::function<client::Status(client::Client&, std::atomic<bool>& release)> run;
};

TEST_F(CurrentUsers, RunningTransferShowsDirectionRateSizeAndBytes) {
    constexpr std::uint32_t SIZE = 16 * 1024 * 1024;
    auto waitFor = [](std::atomic<bool>& release) {
        for (int i = 0; i < 2000 && !release.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    const HeldTransfer cases[] = {
        {"To Client",
         [&](client::Client& client, std::atomic<bool>& release) {
             client::TransferOptions options;
             options.cancel = &release;
             return client.download(
                 "BOB\\big.bin", 0,
                 [&](const std::uint8_t*, std::size_t) {
                     waitFor(release);
                     return true;
                 },
                 options);
         }},
        {"To Server",
         [&](client::Client& client, std::atomic<bool>& release) {
             client::TransferOptions options;
             options.cancel = &release;
             bool gaveSome = false;
             return client.upload(
                 "up.bin", SIZE,
                 [&](std::uint8_t* buffer, std::size_t capacity) -> long {
                     if (gaveSome) waitFor(release);
                     gaveSome = true;
                     std::fill_n(buffer, capacity, 'u');
                     return static_cast<long>(capacity);
                 },
                 options);
         }},
    };
    dir_.write("Users/BOB/big.bin", std::string(SIZE, 'd'));
    dir_.write("shared.dat", "BOB\\big.bin\r\n");
    for (const HeldTransfer& c : cases) {
        SCOPED_TRACE(c.direction);
        auto client = loginAs("BOB");
        ClientSession& session = server_->clients().at(server_->clients().size() - 1);
        std::atomic<bool> release{false};
        auto transfer = inBackground([&] { return c.run(*client, release); });
        // Bytes move in the first rate window; the next one closes it.
        ASSERT_TRUE(serveUntil([&] { return session.snapshot().transferDone > 0; }));
        clock_.advance(1000);
        serveUntil([&] { return session.snapshot().rateKBps > 0; }, 1000);

        CurrentUsersDialog* dialog = open();
        select(dialog, "BOB");
        click(dialog, CurrentUsersDialog::GET_USER_INFO);
        UserInfoSnapshot now = session.snapshot();
        EXPECT_GT(now.rateKBps, 0u);
        EXPECT_GT(now.transferDone, 0u);
        EXPECT_LT(now.transferDone, SIZE);
        QStringList shown = fields(dialog);
        EXPECT_EQ(shown[3], c.direction);
        EXPECT_EQ(shown[4], QString::number(now.rateKBps) + " kb/s");
        EXPECT_EQ(shown[5], QString::number(SIZE) + " bytes");
        EXPECT_EQ(shown[6], QString::number(now.transferDone) + " bytes");

        release = true;
        finish(transfer);
        ASSERT_TRUE(whileServing([&] { return client->quit(); }));
        ASSERT_TRUE(serveUntil([&] { return server_->clients().empty(); }));
        dialog->close();
    }
}

TEST_F(CurrentUsers, DropUserClosesTheClientAfterTellingIt) {
    auto bob = loginAs("BOB");
    auto other = loginAs("CAROL");
    CurrentUsersDialog* dialog = open();
    select(dialog, "BOB");
    click(dialog, CurrentUsersDialog::DROP_USER);
    EXPECT_EQ(openBox(dialog), nullptr);
    EXPECT_EQ(drain(bob->connection()), "\x0b");
    EXPECT_TRUE(bob->connection().closedByPeer());
    EXPECT_EQ(entries(dialog), QStringList({"CAROL"}));
    EXPECT_EQ(textOf(&mainWindow(), MainWindow::CLIENT_COUNT), "1");
    EXPECT_TRUE(whileServing([&] { return other->listCatalog().has_value(); }))
        << "the others are still served";
}

TEST_F(CurrentUsers, DropUserLeavesNothingSelectedSoASecondPressDropsNobody) {
    auto alice = loginAs("ALICE");
    auto bob = loginAs("BOB");
    auto carol = loginAs("CAROL");
    CurrentUsersDialog* dialog = open();
    select(dialog, "BOB");
    press(dialog, CurrentUsersDialog::GET_USER_INFO);
    ASSERT_EQ(fields(dialog)[0], "127.0.0.1");
    press(dialog, CurrentUsersDialog::DROP_USER);
    EXPECT_EQ(openBox(dialog), nullptr);
    EXPECT_EQ(entries(dialog), QStringList({"ALICE", "CAROL"}));
    EXPECT_TRUE(nothingSelected(dialog)) << "the next entry is not picked for the operator";
    EXPECT_EQ(fields(dialog).join(""), "") << "no figures of a client no longer listed";

    press(dialog, CurrentUsersDialog::DROP_USER);  // the second press of a double click
    EXPECT_EQ(takeError(dialog), "No user selected.");
    EXPECT_EQ(entries(dialog), QStringList({"ALICE", "CAROL"}));
    EXPECT_EQ(server_->clients().size(), 2u) << "nobody else is dropped";
}

// How a listed client left before the operator's press: dropped from another
// dialog (true), or quit by itself (false).
class DepartedClient : public CurrentUsers, public ::testing::WithParamInterface<bool> {
protected:
    void depart(client::Client& client) {
        if (GetParam()) {
            CurrentUsersDialog* other = open();
            select(other, "BOB");
            click(other, CurrentUsersDialog::DROP_USER);
        } else {
            ASSERT_TRUE(whileServing([&] { return client.quit(); }));
            ASSERT_TRUE(serveUntil([&] { return server_->clients().size() == 1; }));
        }
    }
};

TEST_P(DepartedClient, DropUserReportsItGoneAndRemovesTheEntry) {
    auto bob = loginAs("BOB");
    auto carol = loginAs("CAROL");
    CurrentUsersDialog* dialog = open();
    depart(*bob);
    select(dialog, "BOB");
    click(dialog, CurrentUsersDialog::DROP_USER);
    EXPECT_EQ(takeError(dialog), "Client already disconnected.");
    EXPECT_EQ(entries(dialog), QStringList({"CAROL"}));
    EXPECT_TRUE(nothingSelected(dialog));
    EXPECT_EQ(server_->clients().size(), 1u) << "nobody else is dropped";
}

// The fields showed another client's figures; with the entry removed and
// nothing selected they would pass for the figures of no one listed.
TEST_P(DepartedClient, GetUserInfoReportsItGoneAndClearsTheFields) {
    auto bob = loginAs("BOB");
    auto carol = loginAs("CAROL");
    CurrentUsersDialog* dialog = open();
    select(dialog, "CAROL");
    click(dialog, CurrentUsersDialog::GET_USER_INFO);
    QStringList before = fields(dialog);
    depart(*bob);
    select(dialog, "BOB");
    click(dialog, CurrentUsersDialog::GET_USER_INFO);
    EXPECT_EQ(takeError(dialog), "Client has already disconnected.");
    EXPECT_EQ(entries(dialog), QStringList({"CAROL"}));
    EXPECT_TRUE(nothingSelected(dialog)) << "CAROL is not picked for the operator";
    ASSERT_EQ(before[0], "127.0.0.1");
    EXPECT_EQ(fields(dialog).join(""), "");
}

INSTANTIATE_TEST_SUITE_P(DroppedOrQuit, DepartedClient, ::testing::Bool());

}  // namespace
}  // namespace vextora::test
