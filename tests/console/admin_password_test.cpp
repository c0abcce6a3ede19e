// The admin password dialog: what OK stores in adminpass.cfg, and that the
// next ADMIN login takes it.
#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <filesystem>

#include "console/admin_password_dialog.h"
#include "console/console_fixture.h"

namespace vextora::test {
namespace {

using console::AdminPasswordDialog;
using console::MainWindow;

class AdminPassword : public ConsoleFixture {
protected:
    AdminPasswordDialog* open() {
        return openDialog<AdminPasswordDialog>(MainWindow::SET_ADMIN_PASSWORD);
    }
    static void type(AdminPasswordDialog* dialog, const std::string& first,
                     const std::string& second) {
        QTest::keyClicks(control<QLineEdit>(dialog, AdminPasswordDialog::NEW_PASSWORD),
                         QString::fromStdString(first));
        QTest::keyClicks(control<QLineEdit>(dialog, AdminPasswordDialog::RETYPED_PASSWORD),
                         QString::fromStdString(second));
    }
};

TEST_F(AdminPassword, OkStoresTheAgreedEntryExactlyAsTyped) {
    const std::string long300(300, 'p');
    const struct {
        std::string first, second;
        bool stored;
        std::string content;
    } cases[] = {
        {"Secret 1", "Secret 1", true, "Secret 1"},
        {"Secret", "secret", false, ""},  // letter case counts
        {"", "", true, ""},
        {long300, long300, true, std::string(254, 'p')},
        {std::string(254, 'p') + "A", std::string(254, 'p') + "B", true, std::string(254, 'p')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first.substr(0, 20));
        dir_.write("adminpass.cfg", "old\r\nsecond line\r\n");
        QPointer<AdminPasswordDialog> dialog = open();
        type(dialog, c.first, c.second);
        click(dialog, AdminPasswordDialog::OK);
        server_->runPass();
        EXPECT_EQ(openBox(&mainWindow()), nullptr) << "no message either way";
        EXPECT_EQ(dir_.read("adminpass.cfg"), c.stored ? c.content : "old\r\nsecond line\r\n");
        EXPECT_EQ(dialog.isNull(), c.stored) << "closes only when it stored";
        if (c.stored) continue;
        EXPECT_EQ(textOf(dialog, AdminPasswordDialog::NEW_PASSWORD).toStdString(), c.first);
        click(dialog, AdminPasswordDialog::CANCEL);
        server_->runPass();
        EXPECT_TRUE(dialog.isNull());
        EXPECT_EQ(dir_.read("adminpass.cfg"), "old\r\nsecond line\r\n");
    }
    EXPECT_EQ(
        std::filesystem::status(dir_ / "adminpass.cfg").permissions() & std::filesystem::perms::all,
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(AdminPassword, NextAdminLoginUsesTheNewPassword) {
    auto before = loginAs("ADMIN", "");
    AdminPasswordDialog* dialog = open();
    type(dialog, "n3w pass", "n3w pass");
    click(dialog, AdminPasswordDialog::OK);
    auto tries = whileServing([&] {
        client::Client wrong("127.0.0.1", server_->controlPort(), server_->transferPort());
        client::Client right("127.0.0.1", server_->controlPort(), server_->transferPort());
        wrong.connect(3000);
        right.connect(3000);
        return std::make_pair(wrong.login("ADMIN", ""), right.login("admin", "n3w pass"));
    });
    EXPECT_EQ(tries.first.reply, REPLY_BAD_PASSWORD);
    EXPECT_TRUE(tries.second.ok()) << tries.second.message;
    EXPECT_TRUE(whileServing([&] { return before->listUsers().has_value(); }))
        << "an administrator already logged in stays logged in";
}

TEST_F(AdminPassword, PasswordThatCannotBeStoredIsReported) {
    std::filesystem::create_directories(dir_ / "adminpass.cfg");
    QPointer<AdminPasswordDialog> dialog = open();
    type(dialog, "abc", "abc");
    click(dialog, AdminPasswordDialog::OK);
    EXPECT_EQ(takeError(dialog), "The password could not be saved.");
    EXPECT_FALSE(dialog.isNull()) << "the dialog stays for another try";
    EXPECT_TRUE(std::filesystem::is_directory(dir_ / "adminpass.cfg"));
}

}  // namespace
}  // namespace vextora::test
