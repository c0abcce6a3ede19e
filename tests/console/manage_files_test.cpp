// The manage files dialog: browsing the disk from "/", sharing files into
// Users/SERVERSHARE with their catalog lines, and unsharing them.
#include <fcntl.h>
#include <unistd.h>

#include <QListWidget>
#include <QTest>
#include <filesystem>

#include "console/console_fixture.h"
#include "console/manage_files_dialog.h"
#include "platform/event_log.h"

namespace vextora::test {
namespace {

namespace fs = std::filesystem;
using console::MainWindow;
using console::ManageFilesDialog;

class ManageFiles : public ConsoleFixture {
protected:
    void SetUp() override {
        ConsoleFixture::SetUp();
        fs::create_directories(local_ / "music");
        dir_.write("local/notes.txt", "local notes");
    }

    ManageFilesDialog* open() { return openDialog<ManageFilesDialog>(MainWindow::MANAGE_FILES); }

    static QStringList entries(ManageFilesDialog* dialog, int list) {
        QStringList shown;
        auto* box = control<QListWidget>(dialog, list);
        for (int i = 0; i < box->count(); ++i) shown << box->item(i)->text();
        return shown;
    }
    static bool select(ManageFilesDialog* dialog, int list, const std::string& name) {
        auto* box = control<QListWidget>(dialog, list);
        auto found = box->findItems(QString::fromStdString(name), Qt::MatchExactly);
        if (found.isEmpty()) return false;
        box->setCurrentItem(found.front());
        return true;
    }
    // Double-clicks a folder of the browser, as the operator does.
    static void enter(ManageFilesDialog* dialog, const std::string& folder) {
        auto* box = control<QListWidget>(dialog, ManageFilesDialog::FOLDERS);
        auto found = box->findItems(QString::fromStdString(folder), Qt::MatchExactly);
        ASSERT_FALSE(found.isEmpty()) << "no folder " << folder;
        box->doItemsLayout();  // the view lays its items out lazily
        box->scrollToItem(found.front());
        QRect place = box->visualItemRect(found.front());
        // The view takes a double-click only on the entry it saw pressed.
        QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, place.center());
        QTest::mouseDClick(box->viewport(), Qt::LeftButton, {}, place.center());
    }
    static std::string directory(ManageFilesDialog* dialog) {
        return textOf(dialog, ManageFilesDialog::CURRENT_DIRECTORY).toStdString();
    }
    // Walks from "/" down to `path`, one double-click per folder.
    static void browseTo(ManageFilesDialog* dialog, const fs::path& path) {
        for (const fs::path& part : path.relative_path()) enter(dialog, part.string());
        ASSERT_EQ(directory(dialog), path.string());
    }
    void shareFromLocal(ManageFilesDialog* dialog, const std::string& name) {
        browseTo(dialog, local_);
        ASSERT_TRUE(select(dialog, ManageFilesDialog::LOCAL_FILES, name)) << name;
        click(dialog, ManageFilesDialog::SHARE);
    }

    fs::path local_ = dir_ / "local";
};

TEST_F(ManageFiles, BrowserStartsAtTheRootAndWalksDownAndUp) {
    dir_.write("local/music/.hidden", "");
    ManageFilesDialog* dialog = open();
    EXPECT_EQ(directory(dialog), "/");
    EXPECT_FALSE(entries(dialog, ManageFilesDialog::FOLDERS).contains(".."));
    EXPECT_TRUE(entries(dialog, ManageFilesDialog::FOLDERS).contains("tmp"));

    browseTo(dialog, local_);
    EXPECT_EQ(entries(dialog, ManageFilesDialog::FOLDERS), QStringList({"..", "music"}));
    EXPECT_EQ(entries(dialog, ManageFilesDialog::LOCAL_FILES), QStringList({"notes.txt"}));
    enter(dialog, "music");
    EXPECT_EQ(directory(dialog), (local_ / "music").string());
    EXPECT_EQ(entries(dialog, ManageFilesDialog::LOCAL_FILES), QStringList({".hidden"}));
    enter(dialog, "..");
    EXPECT_EQ(directory(dialog), local_.string());

    // Up from the first level gives the root, not an empty path.
    fs::path first = *local_.relative_path().begin();
    for (std::size_t depth = std::distance(local_.begin(), local_.end()); depth > 2; --depth)
        enter(dialog, "..");
    EXPECT_EQ(directory(dialog), "/" + first.string());
    enter(dialog, "..");
    EXPECT_EQ(directory(dialog), "/");
    enter(dialog, first.string());
    EXPECT_EQ(directory(dialog), "/" + first.string()) << "no doubled separator below the root";
}

TEST_F(ManageFiles, EnterOpensTheSelectedFolderAsADoubleClickDoes) {
    ManageFilesDialog* dialog = open();
    auto* folders = control<QListWidget>(dialog, ManageFilesDialog::FOLDERS);
    for (const fs::path& part : local_.relative_path()) {
        ASSERT_TRUE(select(dialog, ManageFilesDialog::FOLDERS, part.string()));
        QTest::keyClick(folders, Qt::Key_Return);
    }
    EXPECT_EQ(directory(dialog), local_.string());
    EXPECT_EQ(entries(dialog, ManageFilesDialog::LOCAL_FILES), QStringList({"notes.txt"}));

    ASSERT_TRUE(select(dialog, ManageFilesDialog::FOLDERS, "music"));
    QTest::keyClick(folders, Qt::Key_Enter);  // the keypad's Enter
    EXPECT_EQ(directory(dialog), (local_ / "music").string());
    ASSERT_TRUE(select(dialog, ManageFilesDialog::FOLDERS, ".."));
    QTest::keyClick(folders, Qt::Key_Return);
    EXPECT_EQ(directory(dialog), local_.string());

    // A single click only selects, and Enter with nothing selected does nothing.
    folders->doItemsLayout();
    auto found = folders->findItems("music", Qt::MatchExactly);
    ASSERT_FALSE(found.isEmpty());
    QTest::mouseClick(folders->viewport(), Qt::LeftButton, {},
                      folders->visualItemRect(found.front()).center());
    EXPECT_EQ(folders->currentItem(), found.front());
    EXPECT_EQ(directory(dialog), local_.string());
    folders->selectionModel()->clear();
    QTest::keyClick(folders, Qt::Key_Return);
    EXPECT_EQ(directory(dialog), local_.string());
    EXPECT_EQ(openBox(dialog), nullptr);
}

TEST_F(ManageFiles, LongPathIsElidedInTheMiddleAndWholeInItsTooltip) {
    fs::path deep = local_;
    for (const char* part : {"a-rather-long-folder-name", "another-long-folder-name",
                             "yet-another-folder", "the-last-folder"})
        deep /= part;
    fs::create_directories(deep);
    ManageFilesDialog* dialog = open();
    auto* field = control<console::PathField>(dialog, ManageFilesDialog::CURRENT_DIRECTORY);
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->shownText(), "/") << "a short path is shown whole";
    int width = dialog->width();

    browseTo(dialog, deep);
    const QString whole = QString::fromStdString(deep.string());
    EXPECT_EQ(field->text(), whole);
    EXPECT_EQ(field->toolTip(), whole);
    const QString shown = field->shownText();
    ASSERT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
    EXPECT_TRUE(shown.startsWith(whole.left(4))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(whole.right(4))) << "the end of the path stays in sight";
    EXPECT_LE(field->fontMetrics().horizontalAdvance(shown), field->contentsRect().width());
    EXPECT_EQ(dialog->width(), width) << "a long path does not widen the dialog";
}

TEST_F(ManageFiles, ServerPasswordFilesAreNeverSharedByAnyPath) {
    dir_.write("users.dat", "BOB\r\npw\r\n");
    dir_.write("adminpass.cfg", "secret");
    fs::create_symlink(dir_ / "users.dat", local_ / "innocent.txt");
    fs::create_hard_link(dir_ / "adminpass.cfg", local_ / "settings.cfg");
    fs::create_directory_symlink(dir_.path(), local_ / "data");
    const std::string accounts =
        "This file cannot be shared: it is the server's users.dat, "
        "which holds passwords.";
    const std::string password =
        "This file cannot be shared: it is the server's adminpass.cfg, "
        "which holds passwords.";
    const struct {
        fs::path folder;
        std::string name;
        std::string error;
    } cases[] = {
        {dir_.path(), "users.dat", accounts},     {dir_.path(), "adminpass.cfg", password},
        {local_, "innocent.txt", accounts},        // a link to it
        {local_, "settings.cfg", password},        // a second name of the same file
        {local_ / "data", "users.dat", accounts},  // through a linked folder
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder.string() + " " + c.name);
        ManageFilesDialog* dialog = open();
        browseTo(dialog, c.folder);
        ASSERT_TRUE(select(dialog, ManageFilesDialog::LOCAL_FILES, c.name));
        std::string before = treeFingerprint(dir_.path());
        click(dialog, ManageFilesDialog::SHARE);
        EXPECT_EQ(takeError(dialog), c.error);
        EXPECT_EQ(treeFingerprint(dir_.path()), before) << "nothing copied, nothing listed";
        EXPECT_FALSE(dir_.exists("Users/SERVERSHARE/" + c.name));
        EXPECT_FALSE(dir_.exists("shared.dat"));
        dialog->close();
    }
    // Another file of the data folder is shared as any file is.
    dir_.write("readme.txt", "welcome");
    ManageFilesDialog* dialog = open();
    browseTo(dialog, dir_.path());
    ASSERT_TRUE(select(dialog, ManageFilesDialog::LOCAL_FILES, "readme.txt"));
    click(dialog, ManageFilesDialog::SHARE);
    EXPECT_EQ(openBox(dialog), nullptr);
    EXPECT_EQ(dir_.read("shared.dat"), "SERVERSHARE\\readme.txt\r\n");
}

TEST_F(ManageFiles, FolderThatCannotBeListedShowsTwoEmptyLists) {
    fs::create_directories(local_ / "gone");
    ManageFilesDialog* dialog = open();
    browseTo(dialog, local_);
    fs::remove(local_ / "gone");
    enter(dialog, "gone");
    EXPECT_EQ(directory(dialog), (local_ / "gone").string());
    EXPECT_TRUE(entries(dialog, ManageFilesDialog::FOLDERS).isEmpty());
    EXPECT_TRUE(entries(dialog, ManageFilesDialog::LOCAL_FILES).isEmpty());
}

TEST_F(ManageFiles, SharedFileIsCopiedListedAndDownloadable) {
    dir_.write("shared.dat", "BOB\\notes.txt\r\n");
    ManageFilesDialog* dialog = open();
    shareFromLocal(dialog, "notes.txt");
    EXPECT_EQ(openBox(dialog), nullptr);
    EXPECT_EQ(dir_.read("Users/SERVERSHARE/notes.txt"), "local notes");
    EXPECT_EQ(dir_.read("local/notes.txt"), "local notes");
    EXPECT_EQ(dir_.read("shared.dat"), "BOB\\notes.txt\r\nSERVERSHARE\\notes.txt\r\n");
    EXPECT_EQ(entries(dialog, ManageFilesDialog::SHARED_FILES), QStringList({"notes.txt"}));

    auto guest = loginAs("GUEST", "");
    std::string received;
    client::Status status = whileServing([&] {
        return guest->download("SERVERSHARE\\notes.txt", 0,
                               [&](const std::uint8_t* data, std::size_t length) {
                                   received.append(reinterpret_cast<const char*>(data), length);
                                   return true;
                               });
    });
    EXPECT_TRUE(status.ok()) << status.message;
    EXPECT_EQ(received, "local notes");
}

TEST_F(ManageFiles, ReplacingAskedAndAnsweredKeepsTheCatalogLine) {
    const struct {
        QMessageBox::StandardButton answer;
        const char* copyAfter;
    } cases[] = {
        {QMessageBox::No, "old copy"},
        {QMessageBox::Yes, "local notes"},
    };
    for (const auto& c : cases) {
        dir_.write("Users/SERVERSHARE/notes.txt", "old copy");
        dir_.write("shared.dat", "SERVERSHARE\\notes.txt\r\n");
        std::string before = treeFingerprint(dir_.path());
        ManageFilesDialog* dialog = open();
        shareFromLocal(dialog, "notes.txt");
        QMessageBox* question = openBox(dialog);
        ASSERT_NE(question, nullptr);
        EXPECT_EQ(question->windowTitle(), "Overwrite File");
        EXPECT_EQ(question->text(),
                  "A file with the same name already\nexists in the shared folder. Replace?");
        EXPECT_EQ(question->standardButtons(), QMessageBox::Yes | QMessageBox::No);
        EXPECT_EQ(dir_.read("Users/SERVERSHARE/notes.txt"), "old copy")
            << "nothing changes before the answer";
        ASSERT_TRUE(answerBox(dialog, c.answer));
        if (c.answer == QMessageBox::No) {
            EXPECT_EQ(treeFingerprint(dir_.path()), before) << "No changes nothing";
        }
        EXPECT_EQ(dir_.read("Users/SERVERSHARE/notes.txt"), c.copyAfter);
        EXPECT_EQ(dir_.read("shared.dat"), "SERVERSHARE\\notes.txt\r\n");
        EXPECT_EQ(openBox(dialog), nullptr);
        dialog->close();
    }
}

TEST_F(ManageFiles, AReadOnlyCopyIsNotReplaced) {
    dir_.write("Users/SERVERSHARE/notes.txt", "old copy");
    dir_.write("shared.dat", "SERVERSHARE\\notes.txt\r\n");
    fs::permissions(dir_ / "Users/SERVERSHARE/notes.txt", fs::perms::owner_read);
    ManageFilesDialog* dialog = open();
    shareFromLocal(dialog, "notes.txt");
    ASSERT_TRUE(answerBox(dialog, QMessageBox::Yes));
    EXPECT_EQ(takeError(dialog), "The file could not be copied into the shared folder.");
    EXPECT_EQ(dir_.read("Users/SERVERSHARE/notes.txt"), "old copy");
    EXPECT_EQ(dir_.read("shared.dat"), "SERVERSHARE\\notes.txt\r\n");
}

TEST_F(ManageFiles, ClientsAreServedWhileTheQuestionWaits) {
    dir_.write("Users/SERVERSHARE/notes.txt", "old copy");
    dir_.write("shared.dat", "SERVERSHARE\\notes.txt\r\n");
    auto guest = loginAs("GUEST", "");
    ManageFilesDialog* dialog = open();
    shareFromLocal(dialog, "notes.txt");
    ASSERT_NE(openBox(dialog), nullptr);
    auto listed = whileServing([&] { return guest->listCatalog(); });
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ(*listed, std::vector<std::string>({"SERVERSHARE\\notes.txt"}));
    EXPECT_TRUE(answerBox(dialog, QMessageBox::No)) << "the question still waits";
}

TEST_F(ManageFiles, FileChosenInsideTheShareFolderIsNotLost) {
    dir_.write("Users/SERVERSHARE/own.txt", "only copy");
    dir_.write("shared.dat", "SERVERSHARE\\own.txt\r\n");
    ManageFilesDialog* dialog = open();
    browseTo(dialog, dir_ / "Users" / "SERVERSHARE");
    ASSERT_TRUE(select(dialog, ManageFilesDialog::LOCAL_FILES, "own.txt"));
    click(dialog, ManageFilesDialog::SHARE);
    ASSERT_TRUE(answerBox(dialog, QMessageBox::Yes));
    EXPECT_EQ(dir_.read("Users/SERVERSHARE/own.txt"), "only copy");
    EXPECT_EQ(dir_.read("shared.dat"), "SERVERSHARE\\own.txt\r\n");
}

TEST_F(ManageFiles, FailedShareShowsAnErrorAndAddsNoLine) {
    const std::string copyFailed = "The file could not be copied into the shared folder.";
    const std::string refused =
        "This file cannot be shared: its name is too long, or holds a backslash or a line break.";
    const struct {
        std::string name;
        std::function<void()> arrange;  // after the file was listed
        std::string error;
    } cases[] = {
        {"vanished.txt", [&] { fs::remove(local_ / "vanished.txt"); }, copyFailed},
        {"taken.txt", [&] { fs::create_directories(dir_ / "Users/SERVERSHARE/taken.txt"); },
         copyFailed},
        {"..\\..\\users.dat", [] {}, refused},
        {std::string(250, 'n'), [] {}, refused},  // its catalog line would pass 255 bytes
    };
    fs::create_directories(dir_ / "Users/SERVERSHARE");
    dir_.write("users.dat", "BOB\r\npw\r\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir_.write("local/" + c.name, "payload");
        ManageFilesDialog* dialog = open();
        browseTo(dialog, local_);
        ASSERT_TRUE(select(dialog, ManageFilesDialog::LOCAL_FILES, c.name));
        c.arrange();
        std::string before = treeFingerprint(dir_.path());
        click(dialog, ManageFilesDialog::SHARE);
        EXPECT_EQ(takeError(dialog), c.error);
        EXPECT_EQ(treeFingerprint(dir_.path()), before) << "nothing written, nothing replaced";
        EXPECT_FALSE(dir_.exists("shared.dat"));
        dialog->close();
        fs::remove(local_ / c.name);
    }
}

TEST_F(ManageFiles, UnshareRemovesTheCopyAndEveryEqualLineOnly) {
    dir_.write("Users/SERVERSHARE/a.txt", "a");
    dir_.write("Users/SERVERSHARE/b.txt", "b");
    dir_.write("shared.dat",
               "SERVERSHARE\\a.txt\r\nBOB\\a.txt\r\nSERVERSHARE\\b.txt\r\nSERVERSHARE\\a.txt\r\n"
               "SERVERSHARE\\a.txt.bak\r\n");
    ManageFilesDialog* dialog = open();
    EXPECT_EQ(entries(dialog, ManageFilesDialog::SHARED_FILES), QStringList({"a.txt", "b.txt"}));
    ASSERT_TRUE(select(dialog, ManageFilesDialog::SHARED_FILES, "a.txt"));
    click(dialog, ManageFilesDialog::UNSHARE);
    EXPECT_EQ(openBox(dialog), nullptr);
    EXPECT_FALSE(dir_.exists("Users/SERVERSHARE/a.txt"));
    EXPECT_EQ(dir_.read("Users/SERVERSHARE/b.txt"), "b");
    EXPECT_EQ(dir_.read("shared.dat"),
              "BOB\\a.txt\r\nSERVERSHARE\\b.txt\r\nSERVERSHARE\\a.txt.bak\r\n");
    EXPECT_FALSE(dir_.exists("vxtTemp.tmp"));
    EXPECT_EQ(entries(dialog, ManageFilesDialog::SHARED_FILES), QStringList({"b.txt"}));
}

TEST_F(ManageFiles, ShareAndUnshareAreLoggedAsTheConsoles) {
    // The process's log into a pipe this test reads; the log keeps the
    // descriptor for the rest of the process, so it is never closed here.
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_NONBLOCK), 0);
    EventLog::process().open(ends[1], LogLevel::Events, "");
    ManageFilesDialog* dialog = open();
    shareFromLocal(dialog, "notes.txt");
    ASSERT_TRUE(select(dialog, ManageFilesDialog::SHARED_FILES, "notes.txt"));
    click(dialog, ManageFilesDialog::UNSHARE);
    EXPECT_EQ(openBox(dialog), nullptr);

    std::string log;
    char buffer[4096];
    for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;)
        log.append(buffer, static_cast<std::size_t>(got));
    EXPECT_NE(log.find(" event=publish by=console line=SERVERSHARE\\notes.txt result=ok\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" event=withdraw by=console line=SERVERSHARE\\notes.txt result=ok\n"),
              std::string::npos)
        << log;
    ::close(ends[0]);
}

TEST_F(ManageFiles, UnshareWithoutCatalogCreatesNone) {
    dir_.write("Users/SERVERSHARE/hand.txt", "put there by hand");
    ManageFilesDialog* dialog = open();
    ASSERT_TRUE(select(dialog, ManageFilesDialog::SHARED_FILES, "hand.txt"));
    click(dialog, ManageFilesDialog::UNSHARE);
    EXPECT_EQ(openBox(dialog), nullptr);
    EXPECT_FALSE(dir_.exists("Users/SERVERSHARE/hand.txt"));
    EXPECT_FALSE(dir_.exists("shared.dat"));
    EXPECT_FALSE(dir_.exists("vxtTemp.tmp"));
}

TEST_F(ManageFiles, UnshareRefusesANameThatWouldReachAnotherFile) {
    dir_.write("Users/SERVERSHARE/..\\..\\users.dat", "x");
    dir_.write("users.dat", "BOB\r\npw\r\n");
    ManageFilesDialog* dialog = open();
    ASSERT_TRUE(select(dialog, ManageFilesDialog::SHARED_FILES, "..\\..\\users.dat"));
    std::string before = treeFingerprint(dir_.path());
    click(dialog, ManageFilesDialog::UNSHARE);
    EXPECT_EQ(takeError(dialog), "This file cannot be unshared here: its name holds a backslash.");
    EXPECT_EQ(treeFingerprint(dir_.path()), before);
}

TEST_F(ManageFiles, NothingSelectedIsReportedByBothButtons) {
    dir_.write("Users/SERVERSHARE/a.txt", "a");
    for (int button : {ManageFilesDialog::SHARE, ManageFilesDialog::UNSHARE}) {
        ManageFilesDialog* dialog = open();
        std::string before = treeFingerprint(dir_.path());
        click(dialog, button);
        EXPECT_EQ(takeError(dialog), "No file selected.");
        EXPECT_EQ(treeFingerprint(dir_.path()), before);
        dialog->close();
    }
}

}  // namespace
}  // namespace vextora::test
