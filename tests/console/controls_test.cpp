// The pieces every console window is built from, and the captions and ids
// of every window as the operator and the tests find them.
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>

#include "console/admin_password_dialog.h"
#include "console/connecting_info_dialog.h"
#include "console/console_fixture.h"
#include "console/current_users_dialog.h"
#include "console/manage_files_dialog.h"

namespace vextora::test {
namespace {

using console::MainWindow;
using console::SortedListBox;

TEST(SortedList, KeepsEntriesInOrderWithoutRegardToCase) {
    const struct {
        std::vector<std::string> added;
        QStringList shown;
    } cases[] = {
        {{"bob", "Alice", "carol"}, {"Alice", "bob", "carol"}},
        {{"b", "B", "a", "A"}, {"A", "a", "B", "b"}},
        {{"127.0.0.1", "ADMIN", "127.0.0.1"}, {"127.0.0.1", "127.0.0.1", "ADMIN"}},
        {{"..", "Zeta", "alpha"}, {"..", "alpha", "Zeta"}},
    };
    for (const auto& c : cases) {
        SortedListBox list;
        for (const std::string& entry : c.added) list.addEntry(entry);
        QStringList shown;
        for (int i = 0; i < list.count(); ++i) shown << list.item(i)->text();
        EXPECT_EQ(shown, c.shown);
    }
}

TEST(SortedList, SelectedEntryKeepsBytesThatAreNotText) {
    SortedListBox list;
    const std::string raw = "caf\xe9.txt";  // Latin-1, not UTF-8
    list.addEntry(raw);
    EXPECT_EQ(list.selectedEntry(), std::nullopt);
    list.setCurrentRow(0);
    EXPECT_EQ(list.selectedEntry(), raw);
    list.removeSelectedEntry();
    EXPECT_EQ(list.count(), 0);
}

class Windows : public ConsoleFixture {};

// What the operator reads: every caption and initial text, by control id
// (0 for the labels and frames that have none).
TEST_F(Windows, ShowTheirCaptionsAndControls) {
    struct Control {
        int id;
        QString text;
    };
    const struct {
        int opener;  // 0: the main window itself
        QString caption;
        std::vector<Control> controls;
    } windows[] = {
        {0,
         "Vextora Server",
         {{0, "Clients connected:"},
          {1001, "0"},
          {1019, "Get Current User Info"},
          {1022, "Server Connecting Info"},
          {1021, "Set Server Shared Files"},
          {1018, "Set Admin Password"},
          {1017, "Exit"}}},
        {MainWindow::CURRENT_USERS,
         "User Information",
         {{0, "Current Users:"},
          {0, "User Info"},
          {0, "IP Address:"},
          {0, "Files Shared:"},
          {0, "Connected Time:"},
          {0, "File Transfer:"},
          {0, "Transfer Rate:"},
          {0, "File Size:"},
          {0, "Bytes Transferred:"},
          {1022, ""},
          {1023, ""},
          {1024, ""},
          {1025, ""},
          {1026, ""},
          {1027, ""},
          {1028, ""},
          {1019, "Get User Info"},
          {1020, "Drop User"},
          {1018, "Done"}}},
        {MainWindow::MANAGE_FILES,
         "Manage Files",
         {{0, "Local Files"},
          {0, "Current Directory:"},
          {0, "Directories"},
          {0, "Files in directory"},
          {0, "Files In Shared Folder"},
          {1035, "/"},
          {3, "-> Share File      "},
          {6, " Unshare File <-"},
          {1018, "Done"}}},
        {MainWindow::SET_ADMIN_PASSWORD,
         "Change Admin Password",
         {{0, "New password:"},
          {0, "Retype password:"},
          {1000, ""},
          {1001, ""},
          {1, "OK"},
          {2, "Cancel"}}},
        {MainWindow::CONNECTING_INFO,
         "Server Connecting Information",
         {{0, "Server Address:"},
          {0, "Communication Port:"},
          {0, "File Transfer Port:"},
          {0,
           "Note: If you are behind a router, the Server Address is your LAN address. To "
           "obtain your external IP, visit:"},
          {1022, "Could not find IP"},
          {1032, "23322"},
          {1033, "23323"},
          {1018, "Done"}}},
    };
    for (const auto& w : windows) {
        SCOPED_TRACE(w.caption.toStdString());
        QWidget* window = &mainWindow();
        if (w.opener != 0) {
            click(&mainWindow(), w.opener);
            window = mainWindow().findChildren<QDialog*>().back();
        }
        EXPECT_EQ(window->windowTitle(), w.caption);
        QStringList captions;
        for (QLabel* label : window->findChildren<QLabel*>()) captions << label->text();
        for (QGroupBox* frame : window->findChildren<QGroupBox*>()) captions << frame->title();
        for (const Control& c : w.controls) {
            if (c.id == 0)
                EXPECT_TRUE(captions.contains(c.text)) << c.text.toStdString();
            else
                EXPECT_EQ(textOf(window, c.id), c.text) << c.id;
        }
    }
    // The password entries mask what is typed.
    auto* password = mainWindow().findChildren<console::AdminPasswordDialog*>().back();
    for (int id : {1000, 1001})
        EXPECT_EQ(control<QLineEdit>(password, id)->echoMode(), QLineEdit::Password);
}

TEST_F(Windows, MainWindowControlsRunTopToBottomInTheirOrder) {
    int previous = -1;
    for (int id : {1001, 1019, 1022, 1021, 1018, 1017}) {
        QWidget* widget = control<QWidget>(&mainWindow(), id);
        int top = widget->mapTo(&mainWindow(), QPoint(0, 0)).y();
        EXPECT_GT(top, previous) << id;
        previous = top;
    }
    EXPECT_TRUE(control<QPushButton>(&mainWindow(), 1019)->isDefault());
}

}  // namespace
}  // namespace vextora::test
